// The release configuration: the remembered release directory, the release's
// configuration file, and Browse, which ties them together.
#pragma once

#include <cstddef>
#include <filesystem>
#include <string>

#include "workflow/images.h"

namespace workflow {

class Operator;

// The configuration file in a release directory, naming the images offered.
inline constexpr const char* kConfigFileName = "Firmware_Upgrade.txt";

// Where the release directory is remembered, in the settings store.
inline constexpr const char* kSettingsKeyPath =
    R"(HKEY_LOCAL_MACHINE\SOFTWARE\Tavrion Technologies\Tavrion K7141 Vovev)";
inline constexpr const char* kReleaseDirValue = "ReleaseDirectory";
// A remembered value is taken only if it fits this buffer, terminator included.
inline constexpr std::size_t kReleaseDirReadSize = 1024;
// Where the picker starts when nothing usable is remembered.
inline constexpr const char* kDefaultStartDir = "/tmp";

// What the release directory becomes when it cannot be made current.
inline constexpr const char* kInvalidDirectory = "Invalid directory";

// Marks in `offered` the image a configuration line names: a line whose
// first four characters are an image identifier, exactly. Empty lines,
// comments ('#' or ';' first) and anything else change nothing.
void ApplyConfigLine(const std::string& line, ImageChoice& offered);

// Marks in `offered` the images the configuration file's text names, line
// by line as ApplyConfigLine reads them (lines may end in "\r\n").
void ParseReleaseConfig(const std::string& text, ImageChoice& offered);

// Reads the configuration file at `path` line by line into `offered` (which
// it only ever sets). False, with "reading <path>: <why>" in `error` when
// given, if it is missing, cannot be read, is not a regular file (a folder,
// a FIFO, a device) or holds more than 1 MiB; such a file is refused whole
// and `offered` is left as it was.
bool ReadReleaseConfig(const std::string& path, ImageChoice& offered, std::string* error = nullptr);

// Makes the folder before the last '/' of `releaseDir` the current
// directory; for a directory ending in '/' that is the directory itself. If
// that fails, `releaseDir` becomes kInvalidDirectory. No '/', no change.
void UpdateReleaseDir(std::string& releaseDir);

// What Browse needs from the window besides the Operator.
class BrowseSite {
public:
    // Runs the directory picker modally, starting at `start`; true with the
    // chosen directory (ending in '/') in `chosen` when the operator chose OK.
    virtual bool PickReleaseDir(const std::string& start, std::string& chosen) = 0;
    // Shows `dir` in the release-directory field. The field's text-update
    // handler (UpdateReleaseDir on the member Browse was given) has run when
    // this returns.
    virtual void ShowReleaseDir(const std::string& dir) = 0;
    // Takes the images the release offers (all 0 before its configuration
    // is read) into the window's image members.
    virtual void SetOffered(const ImageChoice& offered) = 0;
    // Enables the image choices and the Upgrade command from the members.
    virtual void UpdateControlStates() = 0;

protected:
    ~BrowseSite() = default;
};

// The settings store the program remembers the release directory in.
std::filesystem::path SettingsFile();

// Browse: offers the remembered directory (from the store `settingsFile`) to
// the picker, and after OK sets `releaseDir`, remembers it, and reads its
// configuration file into the site's offer (BrowseSite::SetOffered) and
// `configLoaded`. A cancelled picker changes nothing.
void Browse(Operator& op, BrowseSite& site, const std::filesystem::path& settingsFile,
            std::string& releaseDir, bool& configLoaded);

}  // namespace workflow
