// The upgrade run: identify the instrument, write each chosen image through
// the transfer engine in a fixed order, report in the log and progress bar,
// and restart the instrument when every image went through.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

#include "workflow/images.h"

namespace workflow {

class Operator;

// The longest texts the engine takes: its copies of the resource and of an
// image path hold 64 and 256 bytes with the terminator.
inline constexpr std::size_t kMaxResourceChars = 63;
inline constexpr std::size_t kMaxImagePathChars = 255;

// How a run ended. Everything before Declined ends before the update mode is
// entered; NotIdentified and Declined have asked the instrument who it is.
enum class UpgradeEnd {
    NoInstrument,   // empty instrument text: box, no instrument contact
    NothingChosen,  // no image chosen: silent, no instrument contact
    TooLong,        // resource or an image path too long: box, no contact
    NotIdentified,  // no answer, or not an accepted model: box
    Declined,       // the operator answered No to the Host warning
    HostFailed,     // the Host application failed: instrument left in update mode
    ImageFailed,    // a later image failed: update mode ended, no restart
    Complete,       // every image written; the instrument was restarted
    Interrupted,    // the observer asked to stop: update mode ended, no restart
};

// What a run reports about one image transfer.
struct ImageEvent {
    const char* m_id = "";     // "HPAP", "HREC", "HBRM" or "HUBL"
    std::string m_path;        // as handed to the engine
    std::int64_t m_size = -1;  // bytes; -1 when the file cannot be read
    std::chrono::system_clock::time_point m_start;
    int m_result = 1;  // the engine's result, in OnImageDone: 0 success
    std::chrono::milliseconds m_duration{0};
};

// Optional listener for a run's steps (the window has no use for it; the
// command line turns them into events and an audit record). Called on the
// run's thread, in order; the references live for the call only.
class UpgradeObserver {
public:
    // Before each engine operation: "identify", "start", "end" or "reboot".
    virtual void OnOperation(const char* operation) { (void)operation; }
    // After identification: the reply as received (empty when none came).
    virtual void OnIdentified(const std::string& reply, bool accepted) {
        (void)reply;
        (void)accepted;
    }
    virtual void OnImageStart(const ImageEvent& event) { (void)event; }
    virtual void OnImageDone(const ImageEvent& event) { (void)event; }
    // Asked before update mode is entered, before each image and before the
    // restart; true ends the run there (Interrupted). An image under way
    // always runs to its end first: the engine is never cut off mid-image.
    virtual bool StopRequested() { return false; }

protected:
    ~UpgradeObserver() = default;
};

// One upgrade run, reporting through `op`:
// - `releaseDir` ends in '/'; image paths are it followed by "host/" and the
//   file name.
// - `instrument` is a VISA resource string or a bare address; an address
//   (a text without "::") is rewritten in place into "TCPIP0::" + it +
//   "::INSTR", which every engine call then uses.
// - `images` says which images are written.
// - `familyName` and `hostImageFile` are set by an accepted identification
//   and left alone otherwise.
// Blocks until the run ends, including the uploads and the wait before the
// restart.
// Without an observer (the window) the run appends its record to the audit
// trail itself, and says in the log when that fails; an observer that wants
// a record uses an AuditObserver (workflow/audit.h).
UpgradeEnd RunUpgrade(Operator& op, const std::string& releaseDir, std::string& instrument,
                      const ImageChoice& images, std::string& familyName,
                      std::string& hostImageFile, UpgradeObserver* observer = nullptr);

// The rewrite above on its own: a text without "::" is taken as an address.
std::string ResourceFromInstrumentText(const std::string& text);

}  // namespace workflow
