#include "platform/root_owned.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "platform/unique_fd.h"

namespace platform {

namespace {

// As the kernel bounds symlinks in one lookup.
constexpr int kMaxSymlinks = 40;

std::string owner_name(unsigned owner) {
    return owner == 0 ? "root" : "root or uid " + std::to_string(owner);
}

// Why what `info` describes may not be trusted, or "" when it may.
std::string broken_rule(const struct stat& info, bool folder, unsigned owner) {
    const bool owned = info.st_uid == 0 || info.st_uid == owner;
    if (folder && S_ISDIR(info.st_mode) && (info.st_mode & S_ISVTX) != 0 && info.st_uid == 0)
        return {};
    if (!owned) return "is not owned by " + owner_name(owner);
    if ((info.st_mode & (S_IWGRP | S_IWOTH)) != 0) return "is writable by group or others";
    return {};
}

std::string child_of(const std::string& folder, const std::string& name) {
    return folder == "/" ? "/" + name : folder + "/" + name;
}

std::vector<std::string> components(const std::string& path) {
    std::vector<std::string> parts;
    std::size_t start = 0;
    while (start < path.size()) {
        std::size_t end = path.find('/', start);
        if (end == std::string::npos) end = path.size();
        if (end > start) parts.push_back(path.substr(start, end - start));
        start = end + 1;
    }
    return parts;
}

// The folders walked so far, each open and checked: back() is the current one.
class FolderStack {
public:
    void Push(UniqueFd fd, std::string shown) {
        m_fds.push_back(std::move(fd));
        m_shown.push_back(std::move(shown));
    }
    void Reset(std::size_t keep) {
        while (m_fds.size() > keep) {
            m_fds.pop_back();
            m_shown.pop_back();
        }
    }
    std::size_t Size() const { return m_fds.size(); }
    int Fd() const { return m_fds.back().get(); }
    const std::string& Shown() const { return m_shown.back(); }

private:
    std::vector<UniqueFd> m_fds;
    std::vector<std::string> m_shown;
};

// Steps into the folder `name` below the current one, or, when it is a
// symlink, puts what it points to in front of `todo`. False with `error`.
bool step(FolderStack& folders, const std::string& name, std::vector<std::string>& todo,
          int& symlinks, std::string& error, bool* missing, unsigned owner) {
    const std::string shown = child_of(folders.Shown(), name);
    UniqueFd fd(::openat(folders.Fd(), name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
    struct stat info {};
    if (!fd || ::fstat(fd.get(), &info) != 0) {
        if (missing) *missing = errno == ENOENT;
        error = shown + ": " + std::strerror(errno);
        return false;
    }
    if (S_ISLNK(info.st_mode)) {
        // Followed only when root's: in a sticky folder such as /tmp, anyone
        // could have put a link to choose where the path leads.
        if (info.st_uid != 0 && info.st_uid != owner) {
            error = "symlink " + shown + " is not owned by " + owner_name(owner);
            return false;
        }
        char target[PATH_MAX];
        const ssize_t n = ::readlinkat(fd.get(), "", target, sizeof target - 1);
        if (n <= 0 || ++symlinks > kMaxSymlinks) {
            error = shown + ": " + (n <= 0 ? "cannot read the symlink" : "too many symlinks");
            return false;
        }
        const std::string where(target, static_cast<std::size_t>(n));
        if (where[0] == '/') folders.Reset(1);
        const std::vector<std::string> parts = components(where);
        todo.insert(todo.end(), parts.rbegin(), parts.rend());
        return true;
    }
    if (!S_ISDIR(info.st_mode)) {
        error = shown + ": not a folder";
        return false;
    }
    if (const std::string rule = broken_rule(info, true, owner); !rule.empty()) {
        error = "folder " + shown + " " + rule;
        return false;
    }
    folders.Push(std::move(fd), shown);
    return true;
}

}  // namespace

int open_root_owned_at(int dir_fd, const std::string& name, const std::string& shown, int flags,
                       std::string& error, unsigned owner, bool* missing) {
    UniqueFd fd(::openat(dir_fd, name.c_str(), flags | O_NOFOLLOW | O_CLOEXEC));
    if (!fd) {
        if (missing) *missing = errno == ENOENT;
        error = shown + (errno == ELOOP ? std::string(" is a symlink, which is not followed here")
                                        : ": " + std::string(std::strerror(errno)));
        return -1;
    }
    struct stat info {};
    std::string rule;
    if (::fstat(fd.get(), &info) != 0)
        rule = std::string(": ") + std::strerror(errno);
    else
        rule = broken_rule(info, false, owner);
    if (rule.empty()) return fd.release();
    fd.reset();
    // A folder opened as the target (a folder of keys) gets no sticky pass:
    // anyone could add to it.
    error =
        (rule[0] == ':' ? shown : (S_ISDIR(info.st_mode) ? "folder " : "") + shown + " ") + rule;
    return -1;
}

int open_root_owned(const std::string& path, int flags, std::string& error, bool* missing,
                    unsigned owner) {
    if (missing) *missing = false;
    if (path.empty() || path[0] != '/') {
        error = path + ": not an absolute path";
        return -1;
    }
    FolderStack folders;
    UniqueFd root(::open("/", O_PATH | O_DIRECTORY | O_CLOEXEC));
    struct stat info {};
    if (!root || ::fstat(root.get(), &info) != 0) {
        error = std::string("/: ") + std::strerror(errno);
        return -1;
    }
    folders.Push(std::move(root), "/");
    if (const std::string rule = broken_rule(info, true, owner); !rule.empty()) {
        error = "folder / " + rule;
        return -1;
    }
    std::vector<std::string> todo = components(path);
    std::reverse(todo.begin(), todo.end());
    if (todo.empty()) {
        error = path + ": not a file";
        return -1;
    }
    int symlinks = 0;
    while (todo.size() > 1 || todo.back() == "." || todo.back() == "..") {
        const std::string name = todo.back();
        todo.pop_back();
        if (name == "..") {
            if (folders.Size() > 1) folders.Reset(folders.Size() - 1);
        } else if (name != "." && !step(folders, name, todo, symlinks, error, missing, owner)) {
            return -1;
        }
        if (todo.empty()) {
            error = path + ": not a file";
            return -1;
        }
    }
    const std::string shown = child_of(folders.Shown(), todo.back());
    return open_root_owned_at(folders.Fd(), todo.back(), shown, flags, error, owner, missing);
}

}  // namespace platform
