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

// Names this file's lines in the library's log.
constexpr char log_module[] = "visa.lock";

// How often a waiter looks again at a lock file held by another process
// (the kernel offers no timed flock).
constexpr auto file_retry = std::chrono::milliseconds(10);
// Opening a lock file races with its removal by the last holder elsewhere;
// this bounds the retries of one attempt.
constexpr int max_open_races = 16;

// A directory lock files may live in: a real directory (not a link to one),
// that either belongs to us or has the sticky bit, so that nobody else can
// remove or replace the files in it.
bool trusted_dir(const std::string& dir, std::string* why) {
    struct stat st;
    if (::lstat(dir.c_str(), &st) != 0) {
        *why = dir + ": " + std::strerror(errno);
        return false;
    }
    if (!S_ISDIR(st.st_mode)) {
        *why = dir + ": not a directory";
        return false;
    }
    if (st.st_uid != ::geteuid() && (st.st_mode & S_ISVTX) == 0) {
        *why = dir + ": belongs to another user and is not sticky";
        return false;
    }
    return true;
}

// One place for every process of every user on this machine, chosen from the
// system's layout, never from the environment: processes of two users, or of
// one user started with and without a login session, must meet in it. The
// directory is sticky and world-writable like /tmp itself, so each user can
// add lock files and none can remove another's.
std::string shared_dir(std::string* why) {
    for (const char* parent : {"/run/lock", "/tmp"}) {
        struct stat st;
        if (::lstat(parent, &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != 0 ||
            (st.st_mode & (S_ISVTX | S_IWOTH)) != (S_ISVTX | S_IWOTH))
            continue;
        std::string dir = std::string(parent) + "/fwvisa";
        if (::mkdir(dir.c_str(), 0700) == 0) ::chmod(dir.c_str(), 01777);  // past the umask
        struct stat mine;
        if (::lstat(dir.c_str(), &mine) == 0 && S_ISDIR(mine.st_mode) &&
            mine.st_uid == ::geteuid() && (mine.st_mode & 07777) != 01777)
            ::chmod(dir.c_str(), 01777);
        if (!trusted_dir(dir, why)) return {};
        if (::lstat(dir.c_str(), &mine) != 0 || (mine.st_mode & 01777) != 01777) {
            *why = dir + ": not open to every user (mode " + std::to_string(mine.st_mode & 07777) +
                   ")";
            return {};
        }
        return dir;
    }
    *why = "neither /run/lock nor /tmp is a system directory for shared files";
    return {};
}

// Keys hold ':' and maybe other characters a file name should not; %XX
// keeps the mapping one-to-one.
std::string file_name(const std::string& key) {
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
    return out + ".lock";
}

bool same_file(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

}  // namespace

LockTable::LockTable(std::string dir) : dir_(std::move(dir)) {
    if (!dir_.empty() && !trusted_dir(dir_, &dir_error_)) dir_.clear();
}

LockTable::~LockTable() {
    for (auto& [name, e] : entries_)
        if (e.fd >= 0) ::close(e.fd);
}

LockTable& LockTable::process() {
    // Never destroyed, like the handle table that uses it.
    static LockTable& table = []() -> LockTable& {
        std::string why;
        std::string dir = shared_dir(&why);
        auto* t = new LockTable(dir);
        if (dir.empty()) {
            t->dir_error_ = why;
            log(log_module, "no lock directory (%s): exclusive locks cannot be granted",
                why.c_str());
        }
        return *t;
    }();
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

LockTable::FileLock LockTable::try_file_lock(const std::string& key, Entry& e, int mode) {
    if (e.file_mode == mode) return FileLock::granted;
    if (dir_.empty()) {
        if (dir_error_.empty()) return FileLock::granted;  // a private table, by request
        log(log_module, "%s: no lock file: %s", key.c_str(), dir_error_.c_str());
        return FileLock::failed;
    }
    const std::string path = dir_ + "/" + file_name(key);
    for (int race = 0; race < max_open_races; ++race) {
        if (e.fd < 0) {
            // Never created over something already there: a file another user
            // made is used as it is (read access is all flock needs), and a
            // link or a FIFO in its place is refused, not followed or waited on.
            const int flags = O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY;
            e.fd = ::open(path.c_str(), flags);
            if (e.fd < 0 && errno == ENOENT) {
                e.fd = ::open(path.c_str(), flags | O_CREAT | O_EXCL, 0644);
                if (e.fd >= 0) ::fchmod(e.fd, 0644);  // readable by all, whatever the umask
                if (e.fd < 0 && errno == EEXIST) continue;
            }
            if (e.fd < 0) {
                log(log_module, "%s: opening lock file %s: %s", key.c_str(), path.c_str(),
                    std::strerror(errno));
                return FileLock::failed;
            }
            struct stat st;
            if (::fstat(e.fd, &st) != 0 || !S_ISREG(st.st_mode)) {
                log(log_module, "%s: %s is not a regular file", key.c_str(), path.c_str());
                ::close(e.fd);
                e.fd = -1;
                return FileLock::failed;
            }
        }
        if (::flock(e.fd, mode | LOCK_NB) != 0) {
            if (errno == EWOULDBLOCK) return FileLock::busy;
            log(log_module, "%s: flock %s: %s", key.c_str(), path.c_str(), std::strerror(errno));
            return FileLock::failed;
        }
        // The last holder elsewhere may have removed the file between our
        // open and our flock: a lock on a file no longer in the directory
        // excludes nobody. Then open again.
        struct stat held, named;
        if (::fstat(e.fd, &held) == 0 && ::lstat(path.c_str(), &named) == 0 &&
            same_file(held, named)) {
            e.file_mode = mode;
            return FileLock::granted;
        }
        ::close(e.fd);
        e.fd = -1;
        e.file_mode = 0;
    }
    log(log_module, "%s: lock file %s keeps being replaced", key.c_str(), path.c_str());
    return FileLock::failed;
}

void LockTable::settle_file_lock(const std::string& key, Entry& e) {
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
    // The last holder here removes the file when no other process holds it,
    // so files do not pile up: only instruments locked right now have one.
    // Removing it while holding it exclusively is what keeps this safe (see
    // the check after flock above). In a sticky directory another user's
    // file stays; its owner removes it.
    if (!dir_.empty() && (e.file_mode == LOCK_EX || ::flock(e.fd, LOCK_EX | LOCK_NB) == 0))
        ::unlink((dir_ + "/" + file_name(key)).c_str());
    ::flock(e.fd, LOCK_UN);
    ::close(e.fd);
    e.fd = -1;
    e.file_mode = 0;
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
        FileLock file = FileLock::busy;
        if (!others_block(e, who, type, key)) {
            file = try_file_lock(rsrc, e, mode);
            if (file == FileLock::granted) break;
        }
        // A lock that cannot be made is refused, never taken as granted.
        if (file == FileLock::failed || (!infinite && std::chrono::steady_clock::now() >= until)) {
            Holder& h = e.holders[who];
            if (h.exclusive == 0 && h.shared == 0) e.holders.erase(who);
            settle_file_lock(rsrc, e);
            if (e.holders.empty() && e.fd < 0) entries_.erase(rsrc);
            return file == FileLock::failed ? VI_ERROR_SYSTEM_ERROR : VI_ERROR_TMO;
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
