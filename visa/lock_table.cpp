#include "visa/lock_table.h"

#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include "platform/abstract_socket.h"
#include "visa/log.h"

namespace visa {

using platform::abstract_names;
using platform::bind_abstract;
using platform::BindResult;
using platform::connect_abstract;
using platform::describe;
using platform::drain_listener;
using platform::max_abstract_name;
using platform::name_piece;
using platform::NameOwner;
using platform::owner_of;
using platform::Probe;

namespace {

// Names this file's lines in the library's log.
constexpr char log_module[] = "visa.lock";

// How often a waiter looks again at a lock held by another process (a name
// gives no notice when it is freed).
constexpr auto name_retry = std::chrono::milliseconds(10);

// Room a shared name needs after the key piece: "/" pid "." counter.
constexpr size_t shared_suffix_room = 1 + 10 + 1 + 16;

// Makes this process's shared names unique across its tables; a clash with
// a process of the same pid in another pid namespace just takes the next.
std::atomic<uint64_t> shared_counter{0};
constexpr int max_shared_name_tries = 8;

// The name that kept this thread's last refused acquire() out, with the
// instrument key it was asked for; empty after anything else.
thread_local std::string refused_rsrc;
thread_local std::string refused_name;

void close_fd(int* fd) {
    if (*fd >= 0) ::close(*fd);
    *fd = -1;
}

}  // namespace

LockTable::LockTable(std::string prefix) : prefix_(std::move(prefix)) {}

LockTable::~LockTable() {
    for (auto& [name, e] : entries_) {
        close_fd(&e.exclusive_fd);
        close_fd(&e.shared_fd);
    }
}

std::string LockRefusal::text() const {
    return "lock unavailable: " + name + " is held by " + describe(owner);
}

std::optional<LockRefusal> LockTable::last_refusal() {
    if (refused_name.empty()) return std::nullopt;
    return LockRefusal{refused_rsrc, refused_name, owner_of(refused_name)};
}

std::string LockTable::last_refused_name() {
    return refused_name;
}

LockTable& LockTable::process() {
    // Never destroyed, like the handle table that uses it.
    static LockTable& table = *new LockTable("fwvisa/");
    return table;
}

std::string LockTable::key_piece(const std::string& rsrc) const {
    // "x/" or "s/" before the piece, the shared suffix after it.
    const size_t used = prefix_.size() + 2 + shared_suffix_room;
    return name_piece(rsrc, used < max_abstract_name ? max_abstract_name - used : 0);
}

std::string LockTable::exclusive_name(const std::string& rsrc) const {
    return prefix_ + "x/" + key_piece(rsrc);
}

std::string LockTable::shared_prefix(const std::string& rsrc) const {
    return prefix_ + "s/" + key_piece(rsrc) + "/";
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

void LockTable::drain_probes() {
    for (auto& [name, e] : entries_) {
        if (e.exclusive_fd >= 0) drain_listener(e.exclusive_fd);
        if (e.shared_fd >= 0) drain_listener(e.shared_fd);
    }
}

LockTable::NameLock LockTable::bind_shared(const std::string& rsrc, Entry& e) {
    const std::string base = shared_prefix(rsrc) + std::to_string(::getpid()) + ".";
    for (int i = 0; i < max_shared_name_tries; ++i) {
        char counter[24];
        std::snprintf(counter, sizeof counter, "%llx",
                      static_cast<unsigned long long>(++shared_counter));
        const std::string name = base + counter;
        std::string why;
        int fd;
        switch (bind_abstract(name, &fd, &why)) {
            case BindResult::bound:
                e.shared_fd = fd;
                e.shared_name = name;
                return NameLock::granted;
            case BindResult::in_use:
                continue;  // someone took this very name: the next one
            case BindResult::failed:
                log_error(log_module, "%s: shared lock: %s", rsrc.c_str(), why.c_str());
                return NameLock::failed;
        }
    }
    log_error(log_module, "%s: shared lock: every name tried was taken (%s...)", rsrc.c_str(),
              base.c_str());
    return NameLock::failed;
}

LockTable::NameLock LockTable::try_name_lock(const std::string& rsrc, Entry& e, bool exclusive,
                                             std::string* blocker) {
    if (prefix_.empty()) return NameLock::granted;  // a private table, by request
    const std::string xname = exclusive_name(rsrc);
    std::string why;
    if (exclusive) {
        if (e.exclusive_fd >= 0) return NameLock::granted;
        int fd;
        switch (bind_abstract(xname, &fd, &why)) {
            case BindResult::bound:
                break;
            case BindResult::in_use:
                *blocker = xname;
                return NameLock::busy;
            case BindResult::failed:
                log_error(log_module, "%s: exclusive lock: %s", rsrc.c_str(), why.c_str());
                return NameLock::failed;
        }
        // Published; now any shared holder elsewhere keeps us out. One that
        // binds after this read sees our name and backs off itself.
        std::vector<std::string> shared;
        if (!abstract_names(shared_prefix(rsrc), &shared, &why)) {
            log_error(log_module, "%s: exclusive lock: looking for shared holders: %s",
                      rsrc.c_str(), why.c_str());
            ::close(fd);
            return NameLock::failed;
        }
        for (const std::string& name : shared) {
            if (name == e.shared_name) continue;  // this process's own
            ::close(fd);
            *blocker = name;
            return NameLock::busy;
        }
        e.exclusive_fd = fd;
        return NameLock::granted;
    }
    if (e.shared_fd >= 0 || e.exclusive_fd >= 0) return NameLock::granted;
    NameLock bound = bind_shared(rsrc, e);
    if (bound != NameLock::granted) return bound;
    // Published; now an exclusive holder elsewhere keeps us out. Only a
    // listener counts: every holder listens, and a name bound without
    // listening belongs to no holder.
    int fd;
    switch (connect_abstract(xname, &fd, &why)) {
        case Probe::absent:
            return NameLock::granted;
        case Probe::listening:
            ::close(fd);
            [[fallthrough]];
        case Probe::busy:
            *blocker = xname;
            break;
        case Probe::failed:
            log_error(log_module, "%s: shared lock: %s", rsrc.c_str(), why.c_str());
            break;
    }
    close_fd(&e.shared_fd);
    e.shared_name.clear();
    return blocker->empty() ? NameLock::failed : NameLock::busy;
}

void LockTable::settle_name_lock(const std::string& rsrc, Entry& e) {
    bool any_exclusive = false, any_shared = false;
    for (const auto& [id, h] : e.holders) {
        any_exclusive |= h.exclusive > 0;
        any_shared |= h.shared > 0;
    }
    if (any_exclusive) return;
    if (any_shared && e.exclusive_fd >= 0) {
        // From exclusive to shared: the shared name is bound while the
        // exclusive one still keeps others out, so nobody slips in between.
        // Without it, the exclusive name stays (stricter, never looser).
        if (e.shared_fd < 0 && bind_shared(rsrc, e) != NameLock::granted) return;
        close_fd(&e.exclusive_fd);
        return;
    }
    if (any_shared) return;
    close_fd(&e.exclusive_fd);
    close_fd(&e.shared_fd);
    e.shared_name.clear();
}

// Ends a wait for a lock that was not granted: forgets what the wait set up
// for `who` and remembers the name held elsewhere that kept it out.
ViStatus LockTable::give_up(const std::string& rsrc, Entry& e, ViSession who, bool failed,
                            const std::string& blocker) {
    Holder& h = e.holders[who];
    if (h.exclusive == 0 && h.shared == 0) e.holders.erase(who);
    settle_name_lock(rsrc, e);
    if (e.holders.empty() && !e.holds_names()) entries_.erase(rsrc);
    if (failed) return VI_ERROR_SYSTEM_ERROR;
    if (!blocker.empty()) {
        refused_rsrc = rsrc;
        refused_name = blocker;
    }
    // Asking who holds it may mean a walk through /proc: only when someone
    // will read the answer.
    if (!blocker.empty() && log_active())
        log_error(log_module, "%s: %s", rsrc.c_str(), last_refusal()->text().c_str());
    return VI_ERROR_TMO;
}

ViStatus LockTable::acquire(const std::string& rsrc, ViSession who, ViAccessMode type,
                            const std::string& key, uint32_t timeout_ms) {
    std::unique_lock<std::mutex> guard(mutex_);
    refused_name.clear();
    drain_probes();
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
    const bool exclusive = type == VI_EXCLUSIVE_LOCK || mine.exclusive > 0;
    std::string blocker;  // the name that kept us out last, held elsewhere
    for (;;) {
        drain_probes();
        // `e` stays valid: entries are erased only by release paths, which skip
        // entries with holders, and we are one.
        NameLock name = NameLock::busy;
        blocker.clear();
        if (!others_block(e, who, type, key)) {
            name = try_name_lock(rsrc, e, exclusive, &blocker);
            if (name == NameLock::granted) break;
        }
        // A lock that cannot be made is refused, never taken as granted.
        if (name == NameLock::failed || (!infinite && std::chrono::steady_clock::now() >= until))
            return give_up(rsrc, e, who, name == NameLock::failed, blocker);
        // Woken by releases here; names elsewhere are looked at every few ms.
        auto wake = std::chrono::steady_clock::now() + name_retry;
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
    drain_probes();
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
    settle_name_lock(rsrc, e);
    if (e.holders.empty() && !e.holds_names()) entries_.erase(it);
    changed_.notify_all();
    return st;
}

void LockTable::release_all(const std::string& rsrc, ViSession who) {
    std::lock_guard<std::mutex> guard(mutex_);
    drain_probes();
    auto it = entries_.find(rsrc);
    if (it == entries_.end()) return;
    it->second.holders.erase(who);
    settle_name_lock(rsrc, it->second);
    if (it->second.holders.empty() && !it->second.holds_names()) entries_.erase(it);
    changed_.notify_all();
}

bool LockTable::may_access(const std::string& rsrc, ViSession who) {
    std::lock_guard<std::mutex> guard(mutex_);
    // An accept4 that finds nothing still makes and drops a socket, which
    // cost a 4096-byte write as much again. A probe that waits a little
    // longer loses nothing: a full queue still tells its sender "held".
    const auto now = std::chrono::steady_clock::now();
    if (now >= next_access_drain_) {
        drain_probes();
        next_access_drain_ = now + access_drain_interval;
    }
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
