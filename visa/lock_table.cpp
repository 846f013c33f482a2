#include "visa/lock_table.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>

#include "visa/log.h"

namespace visa {
namespace {

// How often a waiter looks again at a lock file held by another process
// (the kernel offers no timed flock).
constexpr auto file_retry = std::chrono::milliseconds(10);

// Makes (or checks) a directory only this user may write, so nobody else
// can plant or hold our lock files.
bool private_dir(const std::string& dir) {
    if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) return false;
    struct stat st;
    if (::lstat(dir.c_str(), &st) != 0) return false;
    return S_ISDIR(st.st_mode) && st.st_uid == ::getuid() && (st.st_mode & 022) == 0;
}

std::string default_dir() {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime != nullptr && runtime[0] == '/') {
        std::string dir = std::string(runtime) + "/fwvisa-locks";
        if (private_dir(dir)) return dir;
    }
    std::string dir = "/tmp/fwvisa-locks-" + std::to_string(::getuid());
    if (private_dir(dir)) return dir;
    log("no private lock directory (%s); locks are not seen by other processes", dir.c_str());
    return {};
}

// Canonical names hold ':' and maybe other characters a file name should not;
// %XX keeps the mapping one-to-one.
std::string file_name(const std::string& rsrc) {
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : rsrc) {
        if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
            c == '.' || c == '-' || c == '_') {
            out += char(c);
        } else {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
    return out + ".lock";
}

}  // namespace

LockTable::LockTable(std::string dir) : dir_(std::move(dir)) {}

LockTable::~LockTable() {
    for (auto& [name, e] : entries_)
        if (e.fd >= 0) ::close(e.fd);
}

LockTable& LockTable::process() {
    // Never destroyed, like the handle table that uses it.
    static LockTable& table = *new LockTable(default_dir());
    return table;
}

bool LockTable::others_block(const Entry& e, ViSession who, ViAccessMode type,
                             const std::string& key) {
    for (const auto& [id, h] : e.holders) {
        if (id == who || (h.exclusive == 0 && h.shared == 0)) continue;
        if (type == VI_EXCLUSIVE_LOCK || h.exclusive > 0) return true;
        if (h.shared > 0 && e.shared_key != key) return true;
    }
    return false;
}

bool LockTable::try_file_lock(const std::string& rsrc, Entry& e, int mode) {
    if (dir_.empty() || e.file_mode == mode) return true;
    if (e.fd < 0) {
        std::string path = dir_ + "/" + file_name(rsrc);
        e.fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
        if (e.fd < 0) {
            // Without the file we can still keep order inside this process.
            log("%s: opening lock file %s: %s", rsrc.c_str(), path.c_str(), std::strerror(errno));
            return true;
        }
    }
    if (::flock(e.fd, mode | LOCK_NB) == 0) {
        e.file_mode = mode;
        return true;
    }
    if (errno != EWOULDBLOCK) {
        log("%s: flock: %s", rsrc.c_str(), std::strerror(errno));
        return true;
    }
    return false;
}

void LockTable::settle_file_lock(const std::string& rsrc, Entry& e) {
    bool any_exclusive = false, any_shared = false;
    for (const auto& [id, h] : e.holders) {
        any_exclusive |= h.exclusive > 0;
        any_shared |= h.shared > 0;
    }
    if (any_exclusive || e.fd < 0) return;
    if (any_shared) {
        if (e.file_mode != LOCK_SH && ::flock(e.fd, LOCK_SH | LOCK_NB) == 0) e.file_mode = LOCK_SH;
        return;
    }
    ::flock(e.fd, LOCK_UN);
    ::close(e.fd);
    e.fd = -1;
    e.file_mode = 0;
    (void)rsrc;
}

ViStatus LockTable::acquire(const std::string& rsrc, ViSession who, ViAccessMode type,
                            const std::string& key, uint32_t timeout_ms) {
    std::unique_lock<std::mutex> guard(mutex_);
    Entry& e = entries_[rsrc];
    Holder& mine = e.holders[who];
    if (type == VI_EXCLUSIVE_LOCK && mine.exclusive > 0) {
        ++mine.exclusive;
        return VI_SUCCESS_NESTED_EXCLUSIVE;
    }
    if (type == VI_SHARED_LOCK && mine.shared > 0) {
        if (key != e.shared_key) return VI_ERROR_INV_ACCESS_KEY;
        ++mine.shared;
        return VI_SUCCESS_NESTED_SHARED;
    }
    const bool infinite = timeout_ms == VI_TMO_INFINITE;
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    const int mode = type == VI_EXCLUSIVE_LOCK || mine.exclusive > 0 ? LOCK_EX : LOCK_SH;
    for (;;) {
        // `e` stays valid: entries are erased only by release paths, which skip
        // entries with holders, and we are one.
        if (!others_block(e, who, type, key) && try_file_lock(rsrc, e, mode)) break;
        if (!infinite && std::chrono::steady_clock::now() >= until) {
            Holder& h = e.holders[who];
            if (h.exclusive == 0 && h.shared == 0) e.holders.erase(who);
            settle_file_lock(rsrc, e);
            if (e.holders.empty() && e.fd < 0) entries_.erase(rsrc);
            return VI_ERROR_TMO;
        }
        // Woken by releases here; the file is looked at again every few ms.
        auto wake = std::chrono::steady_clock::now() + file_retry;
        if (!infinite && wake > until) wake = until;
        changed_.wait_until(guard, wake);
    }
    Holder& h = e.holders[who];
    if (type == VI_EXCLUSIVE_LOCK) {
        h.exclusive = 1;
    } else {
        h.shared = 1;
        e.shared_key = key;
    }
    return VI_SUCCESS;
}

ViStatus LockTable::release(const std::string& rsrc, ViSession who, bool* exclusive_ended) {
    *exclusive_ended = false;
    std::lock_guard<std::mutex> guard(mutex_);
    auto it = entries_.find(rsrc);
    if (it == entries_.end()) return VI_ERROR_SESN_NLOCKED;
    Entry& e = it->second;
    auto h = e.holders.find(who);
    if (h == e.holders.end() || (h->second.exclusive == 0 && h->second.shared == 0))
        return VI_ERROR_SESN_NLOCKED;
    ViStatus st = VI_SUCCESS;
    if (h->second.exclusive > 0) {
        if (--h->second.exclusive > 0) return VI_SUCCESS_NESTED_EXCLUSIVE;
        *exclusive_ended = true;
    } else if (--h->second.shared > 0) {
        return VI_SUCCESS_NESTED_SHARED;
    }
    if (h->second.exclusive == 0 && h->second.shared == 0) e.holders.erase(h);
    settle_file_lock(rsrc, e);
    if (e.holders.empty() && e.fd < 0) entries_.erase(it);
    changed_.notify_all();
    return st;
}

void LockTable::release_all(const std::string& rsrc, ViSession who) {
    std::lock_guard<std::mutex> guard(mutex_);
    auto it = entries_.find(rsrc);
    if (it == entries_.end()) return;
    it->second.holders.erase(who);
    settle_file_lock(rsrc, it->second);
    if (it->second.holders.empty() && it->second.fd < 0) entries_.erase(it);
    changed_.notify_all();
}

bool LockTable::may_access(const std::string& rsrc, ViSession who) {
    std::lock_guard<std::mutex> guard(mutex_);
    auto it = entries_.find(rsrc);
    if (it == entries_.end()) return true;
    const Entry& e = it->second;
    bool shared_held = false;
    bool i_share = false;
    for (const auto& [id, h] : e.holders) {
        if (id != who && h.exclusive > 0) return false;
        shared_held |= h.shared > 0;
        if (id == who) i_share = h.shared > 0 || h.exclusive > 0;
    }
    return !shared_held || i_share;
}

ViAccessMode LockTable::state(const std::string& rsrc, ViSession who) {
    std::lock_guard<std::mutex> guard(mutex_);
    auto it = entries_.find(rsrc);
    if (it == entries_.end()) return VI_NO_LOCK;
    auto h = it->second.holders.find(who);
    if (h == it->second.holders.end()) return VI_NO_LOCK;
    if (h->second.exclusive > 0) return VI_EXCLUSIVE_LOCK;
    return h->second.shared > 0 ? VI_SHARED_LOCK : VI_NO_LOCK;
}

}  // namespace visa
