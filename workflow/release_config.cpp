#include "workflow/release_config.h"

#include <optional>

#include "platform/current_directory.h"
#include "platform/lines.h"
#include "platform/settings.h"
#include "platform/small_file.h"
#include "workflow/operator.h"

namespace workflow {

namespace {

constexpr const char* kConfigMissingText =
    "Config File missing or corrupt\nNote this problem and report it to \n Tavrion "
    "Technologies";

// The remembered directory, or the default when the store has none to give.
// Reads only from a key that already existed: a key made just now is empty.
std::string StartDirectory(const std::filesystem::path& settingsFile) {
    platform::KeyDisposition disposition{};
    const std::optional<platform::SettingsKey> key =
        platform::SettingsKey::create_or_open(settingsFile, kSettingsKeyPath, &disposition);
    if (!key || disposition != platform::KeyDisposition::opened_existing_key)
        return kDefaultStartDir;
    return key->query_value(kReleaseDirValue, kReleaseDirReadSize).value_or(kDefaultStartDir);
}

void RememberDirectory(const std::filesystem::path& settingsFile, const std::string& releaseDir) {
    // "Invalid directory" is a verdict, not a path: storing it would throw
    // away the directory the operator last used, so the store keeps that.
    if (releaseDir == kInvalidDirectory) return;
    platform::KeyDisposition disposition{};
    std::optional<platform::SettingsKey> key =
        platform::SettingsKey::create_or_open(settingsFile, kSettingsKeyPath, &disposition);
    // Only into the key the first look opened or made; failures are silent,
    // as the operator can do nothing about them here.
    if (key && disposition == platform::KeyDisposition::opened_existing_key)
        key->set_value(kReleaseDirValue, releaseDir);
}

}  // namespace

std::filesystem::path SettingsFile() {
    return platform::default_settings_file();
}

void ApplyConfigLine(const std::string& line, ImageChoice& offered) {
    // A shorter line, a comment or an empty one names no image; only the
    // first four characters count, whatever follows them.
    if (line.size() < 4) return;
    for (const ImageInfo& image : kImages) {
        if (line.compare(0, 4, image.m_id) == 0) offered.*image.m_flag = 1;
    }
}

bool ReadReleaseConfig(const std::string& path, ImageChoice& offered, std::string* error) {
    // Only a regular file of sane size: a folder of that name, a FIFO or a
    // link to a device is no configuration file, and reading one must not
    // block or run without end.
    const std::optional<platform::SmallFile> file =
        platform::read_small_file(path, platform::small_file_cap, error);
    if (!file) return false;
    ParseReleaseConfig(file->text, offered);
    return true;
}

void ParseReleaseConfig(const std::string& text, ImageChoice& offered) {
    for (const std::string& line : platform::split_lines(text))
        ApplyConfigLine(line, offered);
}

void UpdateReleaseDir(std::string& releaseDir) {
    const std::size_t slash = releaseDir.rfind('/');
    if (slash == std::string::npos) return;
    // Before the root's only slash there is nothing; the root itself is meant.
    const std::string folder = slash == 0 ? "/" : releaseDir.substr(0, slash);
    if (!platform::change_directory(folder)) releaseDir = kInvalidDirectory;
}

void Browse(Operator& op, BrowseSite& site, const std::filesystem::path& settingsFile,
            std::string& releaseDir, bool& configLoaded) {
    const std::string start = StartDirectory(settingsFile);
    std::string chosen;
    if (!site.PickReleaseDir(start, chosen)) return;

    releaseDir = chosen;
    // Formed before the field is set: the text-update handler may replace
    // the member, but the file is read from the directory that was chosen.
    const std::string configPath = releaseDir + kConfigFileName;
    site.ShowReleaseDir(releaseDir);
    RememberDirectory(settingsFile, releaseDir);

    configLoaded = false;
    site.SetOffered({});
    ImageChoice found;
    if (!ReadReleaseConfig(configPath, found)) {
        site.UpdateControlStates();
        op.MessageBox(kConfigMissingText, "Error", kBoxError);
        return;
    }
    configLoaded = true;
    site.SetOffered(found);
    site.UpdateControlStates();
}

}  // namespace workflow
