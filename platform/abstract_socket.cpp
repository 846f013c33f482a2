#include "platform/abstract_socket.h"

#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "platform/unique_fd.h"

namespace platform {
namespace {

// Queued probes beyond this make further probes see a busy (held) name,
// which is still the right answer; holders drain the queue.
constexpr int listen_backlog = 16;

// /proc/net/unix lists every socket of the namespace; past this, reading it
// is refused rather than grown without bound.
constexpr size_t max_socket_table = size_t(64) << 20;

bool make_address(const std::string& name, sockaddr_un* addr, socklen_t* len, std::string* why) {
    if (name.empty() || name.size() > max_abstract_name || name.find('\0') != std::string::npos) {
        *why = "\"" + name + "\" is not a usable abstract socket name";
        return false;
    }
    std::memset(addr, 0, sizeof *addr);
    addr->sun_family = AF_UNIX;
    // Leading NUL: the abstract namespace. The length counts exactly the
    // name, else the kernel would take trailing NULs as part of it.
    std::memcpy(addr->sun_path + 1, name.data(), name.size());
    *len = socklen_t(offsetof(sockaddr_un, sun_path) + 1 + name.size());
    return true;
}

std::string hex64(uint64_t v) {
    static const char digits[] = "0123456789abcdef";
    std::string out(16, '0');
    for (int i = 15; i >= 0; --i, v >>= 4)
        out[size_t(i)] = digits[v & 15];
    return out;
}

bool read_socket_table(std::string* text, std::string* why) {
    const UniqueFd fd(::open("/proc/net/unix", O_RDONLY | O_CLOEXEC));
    if (!fd) {
        *why = std::string("opening /proc/net/unix: ") + std::strerror(errno);
        return false;
    }
    text->clear();
    char buf[16384];
    for (;;) {
        ssize_t n = ::read(fd.get(), buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            *why = std::string("reading /proc/net/unix: ") + std::strerror(errno);
            return false;
        }
        if (n == 0) break;
        text->append(buf, size_t(n));
        if (text->size() > max_socket_table) {
            *why = "reading /proc/net/unix: more sockets than a lock may look through";
            return false;
        }
    }
    return true;
}

// Calls `each(inode, path)` for every line of /proc/net/unix with a path.
// Lines are "Num RefCount Protocol Flags Type St Inode Path"; an abstract
// path starts with '@'.
template <typename Each>
void for_each_socket(const std::string& table, Each each) {
    size_t at = 0;
    while (at < table.size()) {
        size_t end = table.find('\n', at);
        if (end == std::string::npos) end = table.size();
        const std::string_view line(table.data() + at, end - at);
        at = end + 1;
        size_t p = 0;
        std::string_view inode;
        for (int field = 0; field < 7; ++field) {
            while (p < line.size() && line[p] == ' ')
                ++p;
            const size_t start = p;
            while (p < line.size() && line[p] != ' ')
                ++p;
            if (field == 6) inode = line.substr(start, p - start);
        }
        if (p + 1 >= line.size()) continue;  // no path
        each(inode, line.substr(p + 1));
    }
}

// The process holding the socket with `inode` open, looked for in /proc.
NameOwner find_holder(const std::string& inode) {
    NameOwner owner;
    const std::string link = "socket:[" + inode + "]";
    DIR* procs = ::opendir("/proc");
    if (procs == nullptr) {
        owner.detail = std::string("opening /proc: ") + std::strerror(errno);
        return owner;
    }
    while (dirent* p = ::readdir(procs)) {
        if (p->d_name[0] < '1' || p->d_name[0] > '9') continue;
        const std::string dir = std::string("/proc/") + p->d_name;
        DIR* fds = ::opendir((dir + "/fd").c_str());
        if (fds == nullptr) continue;  // gone, or not ours to look at
        bool found = false;
        while (dirent* f = ::readdir(fds)) {
            char target[64];
            ssize_t n = ::readlinkat(::dirfd(fds), f->d_name, target, sizeof target - 1);
            if (n > 0 && std::string_view(target, size_t(n)) == link) {
                found = true;
                break;
            }
        }
        ::closedir(fds);
        struct stat st;
        if (found && ::stat(dir.c_str(), &st) == 0) {
            owner.known = true;
            owner.uid = long(st.st_uid);
            owner.pid = std::strtol(p->d_name, nullptr, 10);
            owner.user = user_name(owner.uid);
            break;
        }
    }
    ::closedir(procs);
    if (!owner.known) owner.detail = "it does not answer and its process is not visible here";
    return owner;
}

}  // namespace

std::string name_piece(const std::string& key, size_t room) {
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : key) {
        if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
            c == '.' || c == '-' || c == '_') {
            out += char(c);
        } else {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
    if (out.size() <= room) return out;
    // FNV-1a: two long keys that share a hash merely share a lock.
    uint64_t h = 14695981039346656037ull;
    for (unsigned char c : key) {
        h ^= c;
        h *= 1099511628211ull;
    }
    const std::string tail = "~" + hex64(h);
    return out.substr(0, room > tail.size() ? room - tail.size() : 0) + tail;
}

BindResult bind_abstract(const std::string& name, int* fd, std::string* why) {
    *fd = -1;
    sockaddr_un addr;
    socklen_t len;
    if (!make_address(name, &addr, &len, why)) return BindResult::failed;
    UniqueFd s(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!s) {
        *why = std::string("making a socket for @") + name + ": " + std::strerror(errno);
        return BindResult::failed;
    }
    if (::bind(s.get(), reinterpret_cast<sockaddr*>(&addr), len) != 0) {
        if (errno == EADDRINUSE) return BindResult::in_use;
        *why = std::string("binding @") + name + ": " + std::strerror(errno);
        return BindResult::failed;
    }
    if (::listen(s.get(), listen_backlog) != 0) {
        *why = std::string("listening on @") + name + ": " + std::strerror(errno);
        return BindResult::failed;
    }
    *fd = s.release();
    return BindResult::bound;
}

Probe connect_abstract(const std::string& name, int* fd, std::string* why) {
    *fd = -1;
    sockaddr_un addr;
    socklen_t len;
    if (!make_address(name, &addr, &len, why)) return Probe::failed;
    UniqueFd s(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!s) {
        *why = std::string("making a socket for @") + name + ": " + std::strerror(errno);
        return Probe::failed;
    }
    // A Unix stream connect completes at once or fails at once, even without
    // blocking: EAGAIN is a full queue, ECONNREFUSED no listener.
    int rc;
    do {
        rc = ::connect(s.get(), reinterpret_cast<sockaddr*>(&addr), len);
    } while (rc != 0 && errno == EINTR);
    if (rc == 0) {
        *fd = s.release();
        return Probe::listening;
    }
    const int err = errno;
    if (err == EAGAIN) return Probe::busy;
    if (err == ECONNREFUSED || err == ENOENT) return Probe::absent;
    *why = std::string("connecting to @") + name + ": " + std::strerror(err);
    return Probe::failed;
}

void drain_listener(int fd) {
    // Bounded: a peer connecting as fast as we accept cannot hold us here.
    for (int i = 0; i < 4 * listen_backlog; ++i) {
        const UniqueFd c(::accept4(fd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK));
        if (!c) {
            if (errno == EINTR) continue;
            return;
        }
    }
}

NameOwner peer_of(int fd) {
    NameOwner owner;
    ucred cred{};
    socklen_t len = sizeof cred;
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0) {
        owner.detail = std::string("SO_PEERCRED: ") + std::strerror(errno);
        return owner;
    }
    owner.known = true;
    owner.uid = long(cred.uid);
    owner.pid = long(cred.pid);
    owner.user = user_name(owner.uid);
    return owner;
}

NameOwner owner_of(const std::string& name) {
    int connected;
    std::string why;
    switch (connect_abstract(name, &connected, &why)) {
        case Probe::listening:
            return peer_of(UniqueFd(connected).get());
        case Probe::failed: {
            NameOwner owner;
            owner.detail = why;
            return owner;
        }
        case Probe::busy:
        case Probe::absent:
            break;
    }
    // Bound without listening, or too busy to take us: the socket table
    // gives its inode, and /proc the process that has it open.
    NameOwner owner;
    std::string table;
    if (!read_socket_table(&table, &owner.detail)) return owner;
    std::string inode;
    const std::string wanted = "@" + name;
    for_each_socket(table, [&](std::string_view ino, std::string_view path) {
        if (path == wanted) inode = std::string(ino);
    });
    if (inode.empty()) {
        owner.detail = "the name is free now";
        return owner;
    }
    return find_holder(inode);
}

std::string describe(const NameOwner& owner) {
    if (!owner.known) return "an unknown process (" + owner.detail + ")";
    return owner.user + " (uid " + std::to_string(owner.uid) + "), pid " +
           std::to_string(owner.pid);
}

std::string user_name(long uid) {
    std::string buf(1024, '\0');
    for (int i = 0; i < 6; ++i) {
        passwd pw;
        passwd* found = nullptr;
        int rc = ::getpwuid_r(uid_t(uid), &pw, buf.data(), buf.size(), &found);
        if (rc == ERANGE) {
            buf.resize(buf.size() * 4);
            continue;
        }
        if (rc == 0 && found != nullptr && found->pw_name != nullptr) return found->pw_name;
        break;
    }
    return std::to_string(uid);
}

bool abstract_names(const std::string& prefix, std::vector<std::string>* names, std::string* why) {
    names->clear();
    std::string table;
    if (!read_socket_table(&table, why)) return false;
    const std::string wanted = "@" + prefix;
    for_each_socket(table, [&](std::string_view, std::string_view path) {
        if (path.substr(0, wanted.size()) == wanted) names->emplace_back(path.substr(1));
    });
    return true;
}

}  // namespace platform
