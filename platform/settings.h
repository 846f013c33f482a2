// A small per-user settings store with registry-key semantics.
//
// The store is one text file. It holds keys, each named by a path, and under
// each key named text values:
//
//   # comment
//   [HKEY_LOCAL_MACHINE\SOFTWARE\Tavrion Technologies\Tavrion K7141 Vovev]
//   ReleaseDirectory=/srv/releases/2.4/
//
// A value line is "Name=value"; blanks around the name and right after the
// first '=' are dropped ("Name = /srv/x/" holds "/srv/x/"), the rest of the
// line is the value as written. In a value, a backslash, a line feed and a
// carriage return are written "\\", "\n" and "\r", and a leading blank or
// tab "\ " or "\t". Keys are created or opened, and the caller learns which,
// so that code written against a registry keeps its read-then-write logic.
//
// A line this parser does not understand (text outside any key, a line
// without '=', a broken "[key" line) is kept as written, in its place, and
// otherwise ignored; values after a broken key line belong to no key. Every
// change rewrites the file through a new, unpredictably named file in the
// same folder, flushed and renamed over it, so a crash or a full disk never
// leaves a half-written store. A missing file is an empty store; one that
// cannot be read (not a regular file, over 1 MiB, no permission) is never
// replaced: opening a key in it fails with the reason.
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
    // malformed escape, store unreadable).
    std::optional<std::string> query_value(const std::string& name, std::size_t max_bytes) const;

    // Stores `value` (which must not contain a NUL) as `name` under this key,
    // replacing an earlier value. `name` must read back as itself: not empty,
    // without '=' or a line end, not starting with '[', '#' or ';', no blank
    // at either end. False, with the reason in `error`, when the store could
    // not be read or written; the file on disk is then unchanged.
    bool set_value(const std::string& name, const std::string& value, std::string* error = nullptr);

private:
    SettingsKey(std::filesystem::path file, std::string key_path)
        : file_(std::move(file)), key_path_(std::move(key_path)) {}

    std::filesystem::path file_;
    std::string key_path_;
};

}  // namespace platform
