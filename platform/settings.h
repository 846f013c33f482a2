// A small per-user settings store with registry-key semantics.
//
// The store is one text file. It holds keys, each named by a path, and under
// each key named text values:
//
//   # comment
//   [HKEY_LOCAL_MACHINE\SOFTWARE\Tavrion Technologies\Tavrion K7141 Vovev]
//   ReleaseDirectory=/srv/releases/2.4/
//
// A value is the rest of its line after the first '='; a backslash, a line
// feed and a carriage return in it are written as "\\", "\n" and "\r". Keys
// are created or opened, and the caller learns which, so that code written
// against a registry keeps its read-then-write logic. Every change rewrites
// the file through a temporary file and a rename, so a crash or a full disk
// never leaves a half-written store. A file that cannot be read or parsed
// counts as an empty store.
#pragma once

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>

namespace platform {

enum class KeyDisposition {
    created_new_key,
    opened_existing_key,
};

// The store the program uses: "firmware-update/settings.conf" under
// $XDG_CONFIG_HOME, or under ~/.config when that is unset or not absolute.
// Empty when neither that variable nor HOME gives a folder.
std::filesystem::path default_settings_file();

class SettingsKey {
public:
    // Opens `key_path` in the store `file`, creating the key (and the file
    // and its folder) when it does not exist yet. On failure returns nothing
    // and, if `error` is given, a sentence naming the file and the reason.
    static std::optional<SettingsKey> create_or_open(const std::filesystem::path& file,
                                                     const std::string& key_path,
                                                     KeyDisposition* disposition,
                                                     std::string* error = nullptr);

    // The value `name` if it is stored under this key and its text with a
    // terminator fits in `max_bytes`; nothing otherwise (absent, too long,
    // store unreadable or corrupt).
    std::optional<std::string> query_value(const std::string& name, std::size_t max_bytes) const;

    // Stores `value` (which must not contain a NUL) as `name` under this key,
    // replacing an earlier value. False, with the reason in `error`, when the
    // store could not be written; the file on disk is then unchanged.
    bool set_value(const std::string& name, const std::string& value, std::string* error = nullptr);

private:
    SettingsKey(std::filesystem::path file, std::string key_path)
        : file_(std::move(file)), key_path_(std::move(key_path)) {}

    std::filesystem::path file_;
    std::string key_path_;
};

}  // namespace platform
