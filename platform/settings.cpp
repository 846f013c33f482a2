#include "platform/settings.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <utility>
#include <vector>

namespace platform {

namespace {

// A store larger than this is not one we wrote: it counts as corrupt.
constexpr std::size_t max_store_bytes = 64 * 1024;

struct Line {
    enum class Kind { other, key, value } kind = Kind::other;
    std::string name;  // key path or value name
    std::string text;  // the whole line as stored, without its line end
};

struct Store {
    std::vector<Line> lines;
    mode_t mode = 0644;
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
        else
            stored += c;
    }
    return stored;
}

// Splits the file's text into lines; false if it is not a store.
bool parse(const std::string& text, std::vector<Line>& lines) {
    if (text.find('\0') != std::string::npos) return false;
    bool in_key = false;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        Line line;
        line.text = text.substr(start, end - start);
        if (!line.text.empty() && line.text.back() == '\r') line.text.pop_back();
        start = end + 1;

        const std::string& t = line.text;
        const std::size_t first = t.find_first_not_of(" \t");
        if (first == std::string::npos || t[first] == '#' || t[first] == ';') {
            line.kind = Line::Kind::other;
        } else if (t.front() == '[' && t.back() == ']' && t.size() >= 2) {
            line.kind = Line::Kind::key;
            line.name = t.substr(1, t.size() - 2);
            in_key = true;
        } else if (const std::size_t eq = t.find('='); in_key && eq != std::string::npos) {
            line.kind = Line::Kind::value;
            line.name = t.substr(0, eq);
        } else {
            return false;
        }
        lines.push_back(std::move(line));
    }
    return true;
}

// Reads the store. A file that is there but cannot be read is `unreadable`;
// one that is read but is not a store loads as empty.
LoadResult load(const std::filesystem::path& file, Store& store, std::string* error) {
    store = Store{};
    const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT) return LoadResult::missing;
        if (error) *error = "reading " + file.string() + ": " + reason(errno);
        return LoadResult::unreadable;
    }
    struct stat info {};
    if (::fstat(fd, &info) == 0) store.mode = info.st_mode & 07777;
    std::string text;
    char buffer[4096];
    bool too_large = false;
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            const int saved = errno;
            ::close(fd);
            if (error) *error = "reading " + file.string() + ": " + reason(saved);
            return LoadResult::unreadable;
        }
        if (n == 0) break;
        text.append(buffer, static_cast<std::size_t>(n));
        if (text.size() > max_store_bytes) {
            too_large = true;
            break;
        }
    }
    ::close(fd);
    if (too_large || !parse(text, store.lines)) store.lines.clear();
    return LoadResult::loaded;
}

bool write_all(int fd, const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

// Replaces the file with the store's lines: written beside it, flushed, then
// renamed over it, so readers see the old or the new store and never a part.
bool save(const std::filesystem::path& file, const Store& store, std::string* error) {
    std::error_code ec;
    if (file.has_parent_path()) std::filesystem::create_directories(file.parent_path(), ec);
    if (ec) {
        if (error) *error = "creating " + file.parent_path().string() + ": " + ec.message();
        return false;
    }
    std::string text;
    for (const Line& line : store.lines)
        text += line.text + "\n";

    const std::filesystem::path temp = file.string() + ".tmp-" + std::to_string(::getpid());
    const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, store.mode);
    if (fd < 0) {
        if (error) *error = "writing " + temp.string() + ": " + reason(errno);
        return false;
    }
    bool ok = write_all(fd, text) && ::fsync(fd) == 0;
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
    }
    return ok;
}

std::vector<Line>::iterator find_key(std::vector<Line>& lines, const std::string& key_path) {
    for (auto it = lines.begin(); it != lines.end(); ++it) {
        if (it->kind == Line::Kind::key && it->name == key_path) return it;
    }
    return lines.end();
}

Line key_line(const std::string& key_path) {
    return {Line::Kind::key, key_path, "[" + key_path + "]"};
}

}  // namespace

std::filesystem::path default_settings_file() {
    std::filesystem::path base;
    const char* config = std::getenv("XDG_CONFIG_HOME");
    if (config && config[0] == '/') {
        base = config;
    } else if (const char* home = std::getenv("HOME"); home && home[0] != '\0') {
        base = std::filesystem::path(home) / ".config";
    } else {
        return {};
    }
    return base / "firmware-update" / "settings.conf";
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
    for (++it; it != store.lines.end() && it->kind != Line::Kind::key; ++it) {
        if (it->kind != Line::Kind::value || it->name != name) continue;
        std::optional<std::string> value = decode(it->text.substr(name.size() + 1));
        // The terminator is counted, as a reader's buffer must hold it too.
        if (!value || value->size() + 1 > max_bytes) return std::nullopt;
        return value;
    }
    return std::nullopt;
}

bool SettingsKey::set_value(const std::string& name, const std::string& value, std::string* error) {
    if (value.find('\0') != std::string::npos || name.find_first_of("=\n\r") != std::string::npos) {
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
    Line line{Line::Kind::value, name, name + "=" + encode(value)};
    auto at = std::next(it);
    auto insert_at = at;
    for (; at != store.lines.end() && at->kind != Line::Kind::key; ++at) {
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
