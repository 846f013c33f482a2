// The upgrade run: identify the instrument, write each chosen image through
// the transfer engine in a fixed order, report in the log and progress bar,
// and restart the instrument when every image went through.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "workflow/identify_failure.h"
#include "workflow/image_files.h"
#include "workflow/images.h"
#include "workflow/outcome.h"
#include "workflow/release_verify.h"

namespace workflow {

class Operator;

// The longest texts the engine takes: its copies of the resource and of an
// image path hold 64 and 256 bytes with the terminator.
inline constexpr std::size_t kMaxResourceChars = 63;
inline constexpr std::size_t kMaxImagePathChars = 255;

// How a run ended. Everything before Declined ends before the update mode is
// entered; NotIdentified and Declined have asked the instrument who it is,
// and so may Locked (when only the serial number told that another run owns
// the instrument).
enum class UpgradeEnd {
    NoInstrument,   // empty instrument text: box, no instrument contact
    NothingChosen,  // no image chosen: silent, no instrument contact
    TooLong,        // resource or an image path too long: box, no contact
    BadImage,       // an image file cannot be sent as it is: box, no contact
    NotVerified,    // the release failed its checksums or signature: box, no contact
    Locked,         // another upgrade owns the instrument: box, nothing after identification
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
    std::int64_t m_size = -1;  // bytes, as the check before the run found them
    // In OnImageDone: the SHA-256 of the bytes the engine read and sent from
    // its own descriptor (empty when it did not read the whole file), and
    // how many it read.
    std::string m_sentSha256;
    std::int64_t m_bytesRead = 0;
    std::chrono::system_clock::time_point m_start;
    int m_result = 1;  // the engine's result, in OnImageDone: 0 success
    std::chrono::milliseconds m_duration{0};
};

// Optional listener for a run's steps (the window has no use for it; the
// command line turns them into events and an audit record). Called on the
// run's thread, in order; the references live for the call only.
class UpgradeObserver {
public:
    // After the image files were checked and the release verified, before
    // the instrument is contacted; only when both passed or the release
    // failed verification (then `images` holds what was checked).
    virtual void OnChecked(const std::vector<CheckedImage>& images,
                           const ReleaseVerification& verification) {
        (void)images;
        (void)verification;
    }
    // Before each engine operation: "identify", "start", "end" or "reboot".
    virtual void OnOperation(const char* operation) { (void)operation; }
    // After identification: the reply as received (empty when none came).
    virtual void OnIdentified(const std::string& reply, bool accepted) {
        (void)reply;
        (void)accepted;
    }
    // When the run found no instrument it may upgrade (it ends NotIdentified
    // or Locked): why, before the box that says so.
    virtual void OnIdentifyFailed(const IdentifyFailure& failure) { (void)failure; }
    virtual void OnImageStart(const ImageEvent& event) { (void)event; }
    virtual void OnImageDone(const ImageEvent& event) { (void)event; }
    // After the restart was tried: whether every command of it went out. A
    // restart that was not delivered leaves the old firmware running.
    virtual void OnRestart(bool sent) { (void)sent; }
    // Once the run's outcome is settled after the instrument was contacted:
    // before the box that tells it (a box may wait long for its OK), and
    // before the restart that follows a complete run. Not called for runs
    // that end without such a box (declined, interrupted).
    virtual void OnEnding(UpgradeEnd end) { (void)end; }
    // Last of every run, however it ended: everything the run knows of it.
    virtual void OnOutcome(const RunOutcome& outcome) { (void)outcome; }
    // Asked before update mode is entered, before each image and before the
    // restart; true ends the run there (Interrupted). An image under way
    // always runs to its end first: the engine is never cut off mid-image.
    virtual bool StopRequested() { return false; }

protected:
    ~UpgradeObserver() = default;
};

// What a run is told beyond the operator's choices.
struct RunOptions {
    // Declared to a second run that finds the instrument owned by this one.
    std::string m_tool = "window";
    // Whether a signature is required, and the keys a signature may be by.
    // The administrator's policy file is read on top of it for every run: a
    // signature it requires is required whatever the caller says.
    VerifyPolicy m_policy;
    std::string m_policyFile = kPolicyPath;
    // For a run without an observer (which keeps its own record): asked
    // where an observer's StopRequested is, with the same effect.
    std::function<bool()> m_stopRequested;
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
// Before the instrument hears anything, every chosen image file is checked
// and digested (CheckImages) and the release verified against its
// SHA256SUMS and signature (VerifyRelease); then the run takes this
// machine's run lock on the instrument, so that no second run of the window
// or of fwupgrade, under any name of the same instrument, writes to it until
// this one has ended. The engine's own per-operation locks stay as they are.
// Blocks until the run ends, including the uploads and the wait before the
// restart.
// Without an observer (the window) the run appends its record to the audit
// trail itself, and says in the log when that fails; an observer that wants
// a record uses an AuditObserver (workflow/audit.h).
// `outcome`, when given, gets the run's outcome (the observer's OnOutcome
// gets it too).
UpgradeEnd RunUpgrade(Operator& op, const std::string& releaseDir, std::string& instrument,
                      const ImageChoice& images, std::string& familyName,
                      std::string& hostImageFile, UpgradeObserver* observer = nullptr,
                      const RunOptions& options = RunOptions(), RunOutcome* outcome = nullptr);

// The rewrite above on its own: a text without "::" is taken as an address.
std::string ResourceFromInstrumentText(const std::string& text);

}  // namespace workflow
