#include "platform/settings.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <utility>
#include <vector>

#include "platform/small_file.h"
#include "platform/unique_fd.h"
#include "platform/write_all.h"
#include "platform/xdg.h"

namespace platform {

namespace {

struct Line {
    // `other` is a line kept as written and otherwise ignored: a blank line,
    // a comment, or one this parser does not understand. `other_key` is a
    // line that starts like a key but is not one: it is kept too, and the
    // lines after it belong to no key rather than to the one before.
    enum class Kind { other, key, other_key, value } kind = Kind::other;
    std::string name;          // key path or value name
    std::string text;          // the whole line as stored, without its line end
    std::size_t value_at = 0;  // for a value: where its stored text starts
    // Written back as read: a line that ended in "\r\n" keeps that end, so
    // that a carriage return left at the end of its text is still there on
    // the next read, and the value stays what it was.
    const char* end = "\n";
};

struct Store {
    std::vector<Line> lines;
    // A new store is its owner's alone; a rewritten one keeps its file's mode.
    mode_t mode = 0600;
};

enum class LoadResult { loaded, missing, unreadable };

std::string reason(int error_number) {
    return std::strerror(error_number);
}

// Decodes a stored value; nothing if an escape is malformed.
std::optional<std::string> decode(const std::string& stored) {
    std::string value;
    for (std::size_t i = 0; i < stored.size(); ++i) {
        if (stored[i] != '\\') {
            value += stored[i];
            continue;
        }
        if (++i == stored.size()) return std::nullopt;
        switch (stored[i]) {
            case '\\':
                value += '\\';
                break;
            case 'n':
                value += '\n';
                break;
            case 'r':
                value += '\r';
                break;
            case 't':
                value += '\t';
                break;
            case ' ':
                value += ' ';
                break;
            default:
                return std::nullopt;
        }
    }
    return value;
}

std::string encode(const std::string& value) {
    std::string stored;
    for (const char c : value) {
        if (c == '\\')
            stored += "\\\\";
        else if (c == '\n')
            stored += "\\n";
        else if (c == '\r')
            stored += "\\r";
        // Blanks after '=' are dropped on reading: a value's own leading
        // blank is escaped so that it comes back.
        else if (stored.empty() && c == ' ')
            stored += "\\ ";
        else if (stored.empty() && c == '\t')
            stored += "\\t";
        else
            stored += c;
    }
    return stored;
}

bool is_blank(char c) {
    return c == ' ' || c == '\t';
}

// Splits the file's text into lines and tells what each one is. Every line
// is kept, understood or not, so that a rewrite gives back the user's
// comments, other keys and lines this version cannot read.
std::vector<Line> parse(const std::string& text) {
    std::vector<Line> lines;
    bool in_key = false;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        Line line;
        line.text = text.substr(start, end - start);
        if (!line.text.empty() && line.text.back() == '\r') {
            line.text.pop_back();
            line.end = "\r\n";
        }
        start = end + 1;

        const std::string& t = line.text;
        const std::size_t first = t.find_first_not_of(" \t");
        const std::size_t last = t.find_last_not_of(" \t");
        const std::size_t eq = t.find('=');
        // Blank lines, comments and lines holding a NUL are kept as they are.
        const bool other = first == std::string::npos || t[first] == '#' || t[first] == ';' ||
                           t.find('\0') != std::string::npos;
        if (!other && t[first] == '[') {
            // "[path]", blanks around it allowed; "[path" and "[a]b" are not keys.
            in_key = t[last] == ']' && last > first;
            line.kind = in_key ? Line::Kind::key : Line::Kind::other_key;
            if (in_key) line.name = t.substr(first + 1, last - first - 1);
        } else if (!other && in_key && eq != std::string::npos && eq > first) {
            // "Name=value" or "Name = value": the name without its blanks,
            // the value from its first non-blank character to the line's end.
            line.kind = Line::Kind::value;
            std::size_t name_end = eq;
            while (is_blank(t[name_end - 1]))
                --name_end;
            line.name = t.substr(first, name_end - first);
            line.value_at = eq + 1;
            while (line.value_at < t.size() && is_blank(t[line.value_at]))
                ++line.value_at;
        } else {
            line.kind = Line::Kind::other;
        }
        lines.push_back(std::move(line));
    }
    return lines;
}

// Reads the store. A missing file is an empty store; a file that is there
// but cannot be read (not a regular file, over the size cap, no permission)
// is `unreadable`, and is never replaced.
LoadResult load(const std::filesystem::path& file, Store& store, std::string* error) {
    store = Store{};
    ReadFailure failure{};
    std::optional<SmallFile> read = read_small_file(file, small_file_cap, error, &failure);
    if (!read)
        return failure == ReadFailure::missing ? LoadResult::missing : LoadResult::unreadable;
    store.mode = read->mode;
    store.lines = parse(read->text);
    return LoadResult::loaded;
}

// Replaces the file with the store's lines: written to a new file beside it,
// flushed, then renamed over it, so readers see the old or the new store and
// never a part. The new file gets a name nobody can predict and is created
// exclusively (mkstemp), so a file or symlink planted in the folder is never
// written through; it is removed again on every failure.
bool save(const std::filesystem::path& file, const Store& store, std::string* error) {
    std::error_code ec;
    const std::filesystem::path folder = file.has_parent_path() ? file.parent_path() : ".";
    std::filesystem::create_directories(folder, ec);
    if (ec) {
        if (error) *error = "creating " + folder.string() + ": " + ec.message();
        return false;
    }
    std::string text;
    for (const Line& line : store.lines)
        text += line.text + line.end;

    std::string temp = (folder / ("." + file.filename().string() + ".XXXXXX")).string();
    const int fd = ::mkostemp(temp.data(), O_CLOEXEC);
    if (fd < 0) {
        if (error) *error = "writing " + file.string() + ": " + reason(errno);
        return false;
    }
    bool ok = ::fchmod(fd, store.mode) == 0 && write_all(fd, text) && ::fsync(fd) == 0;
    int saved = errno;
    if (::close(fd) != 0 && ok) {
        ok = false;
        saved = errno;
    }
    if (ok && ::rename(temp.c_str(), file.c_str()) != 0) {
        ok = false;
        saved = errno;
    }
    if (!ok) {
        ::unlink(temp.c_str());
        if (error) *error = "writing " + file.string() + ": " + reason(saved);
        return false;
    }
    // The rename itself reaches the disk with the folder.
    if (const UniqueFd dir(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)); dir)
        ::fsync(dir.get());
    return true;
}

std::vector<Line>::iterator find_key(std::vector<Line>& lines, const std::string& key_path) {
    for (auto it = lines.begin(); it != lines.end(); ++it) {
        if (it->kind == Line::Kind::key && it->name == key_path) return it;
    }
    return lines.end();
}

Line key_line(const std::string& key_path) {
    return {Line::Kind::key, key_path, "[" + key_path + "]", 0};
}

bool ends_key(const Line& line) {
    return line.kind == Line::Kind::key || line.kind == Line::Kind::other_key;
}

}  // namespace

std::filesystem::path default_settings_file() {
    const std::optional<std::string> base = xdg_base_dir(XdgBase::config);
    if (!base) return {};
    return std::filesystem::path(*base) / "firmware-update" / "settings.conf";
}

std::optional<SettingsKey> SettingsKey::create_or_open(const std::filesystem::path& file,
                                                       const std::string& key_path,
                                                       KeyDisposition* disposition,
                                                       std::string* error) {
    if (file.empty()) {
        if (error) *error = "no settings file: neither XDG_CONFIG_HOME nor HOME is set";
        return std::nullopt;
    }
    Store store;
    // A file we cannot read may still be one we could replace; never do that.
    if (load(file, store, error) == LoadResult::unreadable) return std::nullopt;
    if (find_key(store.lines, key_path) != store.lines.end()) {
        if (disposition) *disposition = KeyDisposition::opened_existing_key;
        return SettingsKey(file, key_path);
    }
    store.lines.push_back(key_line(key_path));
    if (!save(file, store, error)) return std::nullopt;
    if (disposition) *disposition = KeyDisposition::created_new_key;
    return SettingsKey(file, key_path);
}

std::optional<std::string> SettingsKey::query_value(const std::string& name,
                                                    std::size_t max_bytes) const {
    Store store;
    if (load(file_, store, nullptr) != LoadResult::loaded) return std::nullopt;
    auto it = find_key(store.lines, key_path_);
    if (it == store.lines.end()) return std::nullopt;
    for (++it; it != store.lines.end() && !ends_key(*it); ++it) {
        if (it->kind != Line::Kind::value || it->name != name) continue;
        std::optional<std::string> value = decode(it->text.substr(it->value_at));
        // The terminator is counted, as a reader's buffer must hold it too.
        if (!value || value->size() + 1 > max_bytes) return std::nullopt;
        return value;
    }
    return std::nullopt;
}

bool SettingsKey::set_value(const std::string& name, const std::string& value, std::string* error) {
    // A name must read back as itself: not empty, no '=', no line end, no
    // blank or '[' or comment mark where the parser would take it otherwise.
    const bool bad_name = name.empty() || name.find_first_of("=\n\r") != std::string::npos ||
                          is_blank(name.front()) || is_blank(name.back()) ||
                          name.find_first_of("[#;", 0) == 0 || name.find('\0') != std::string::npos;
    if (value.find('\0') != std::string::npos || bad_name) {
        if (error) *error = "storing " + name + " in " + file_.string() + ": not storable text";
        return false;
    }
    Store store;
    if (load(file_, store, error) == LoadResult::unreadable) return false;
    auto it = find_key(store.lines, key_path_);
    if (it == store.lines.end()) {
        // Someone removed the key since it was opened: put it back.
        store.lines.push_back(key_line(key_path_));
        it = std::prev(store.lines.end());
    }
    Line line{Line::Kind::value, name, name + "=" + encode(value), name.size() + 1};
    auto at = std::next(it);
    auto insert_at = at;
    for (; at != store.lines.end() && !ends_key(*at); ++at) {
        if (at->kind == Line::Kind::value && at->name == name) {
            *at = std::move(line);
            return save(file_, store, error);
        }
        if (at->kind == Line::Kind::value) insert_at = std::next(at);
    }
    store.lines.insert(insert_at, std::move(line));
    return save(file_, store, error);
}

}  // namespace platform
