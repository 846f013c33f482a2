#pragma once

#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <optional>
#include <string>

#include "platform/abstract_socket.h"
#include "visa.h"

namespace visa {

// Who holds which lock on which instrument, across the sessions of this
// process and, through names in the kernel's abstract socket namespace (see
// platform/abstract_socket.h), across the processes of every user of this machine
// that share its network namespace. Nobody can remove or replace a name
// another process holds, and the kernel drops a process's names when it
// dies, so a crash never leaves an instrument locked. Instruments are keyed
// by instrument_key() (see instrument_key.h), so that every name of one
// instrument meets the same lock.
//
// Across processes: an exclusive holder binds <prefix>x/<key>; each process
// with shared holders binds its own <prefix>s/<key>/<pid>.<n>. A taker
// publishes its name first and then looks for the other kind (the exclusive
// one reads /proc/net/unix, the shared one connects to the exclusive name),
// so of two racing takers at least one sees the other and backs off; the
// wait loop retries. A name held by another user's process is a lock like
// any other: refused, and logged as "lock unavailable" with its owner.
// Forked children share the sockets (and so the locks) until they exec.
//
// A lock that cannot be made (no socket, no /proc/net/unix to look through)
// is refused with VI_ERROR_SYSTEM_ERROR: never granted without its name.
//
// Rules: one exclusive holder at a time, and only when no other session holds
// any lock; shared holders must present the same key; a session may nest its
// own locks (counted). The instrument's own lock (over the wire) is the
// session's business, taken after this table grants.
// A lock refused because a name held outside this process kept it out.
struct LockRefusal {
    std::string rsrc;           // the instrument key asked for
    std::string name;           // the abstract name that was held
    platform::NameOwner owner;  // who holds it, as far as can be learnt
    // "lock unavailable: <name> is held by <user> (uid <uid>), pid <pid>"
    std::string text() const;
};

class LockTable {
public:
    // `prefix` starts every name the table binds; tables with one prefix
    // exclude each other across processes. Empty turns the cross-process part
    // off (only for tests that want a private table). Names are at most 107
    // bytes, so a prefix should stay under 40.
    explicit LockTable(std::string prefix);
    ~LockTable();

    // The process-wide table, prefix "fwvisa/": one name space for all users
    // of the machine (per network namespace).
    static LockTable& process();

    // The name (without its leading NUL) an exclusive holder of `rsrc` binds:
    // for diagnostics and tests.
    std::string exclusive_name(const std::string& rsrc) const;

    // Grants `type` (VI_EXCLUSIVE_LOCK or VI_SHARED_LOCK; `key` used for
    // shared) to session `who`, waiting at most `timeout_ms`. Returns
    // VI_SUCCESS, VI_SUCCESS_NESTED_EXCLUSIVE / _SHARED for a lock the session
    // already held, VI_ERROR_TMO, VI_ERROR_INV_ACCESS_KEY when a nested
    // shared request brings another key, or VI_ERROR_SYSTEM_ERROR when the
    // lock's name cannot be made or checked.
    ViStatus acquire(const std::string& rsrc, ViSession who, ViAccessMode type,
                     const std::string& key, uint32_t timeout_ms);

    // Why this thread's last acquire() on any table was refused, when a name
    // held outside this process kept it out; nothing after a grant, a
    // refusal within the process, or before any acquire. Who holds the name
    // is looked up here (it may take a walk through /proc), and so may name
    // a later holder, or none, when the first has gone.
    static std::optional<LockRefusal> last_refusal();
    // The name of last_refusal(), without looking up who holds it; "" when none.
    static std::string last_refused_name();

    // Releases one level, the exclusive lock before the shared one. Returns
    // VI_SUCCESS, VI_SUCCESS_NESTED_* when the session still holds that lock
    // type, or VI_ERROR_SESN_NLOCKED. `*exclusive_ended` tells whether this
    // call ended the session's exclusive lock.
    ViStatus release(const std::string& rsrc, ViSession who, bool* exclusive_ended);

    // Drops every lock `who` holds on `rsrc` (the session is closing).
    void release_all(const std::string& rsrc, ViSession who);

    // False when another session of this process holds a lock that keeps
    // `who` out of the resource.
    bool may_access(const std::string& rsrc, ViSession who);

    // VI_NO_LOCK, VI_EXCLUSIVE_LOCK or VI_SHARED_LOCK as seen by `who`.
    ViAccessMode state(const std::string& rsrc, ViSession who);

private:
    struct Holder {
        int exclusive = 0;
        int shared = 0;
    };
    struct Entry {
        std::map<ViSession, Holder> holders;
        std::string shared_key;
        int exclusive_fd = -1;  // listening on exclusive_name(), when held
        int shared_fd = -1;     // listening on shared_name, when held
        std::string shared_name;
        bool holds_names() const { return exclusive_fd >= 0 || shared_fd >= 0; }
    };

    enum class NameLock { granted, busy, failed };

    bool others_block(const Entry& e, ViSession who, ViAccessMode type, const std::string& key);
    // Tries at once to hold this process's exclusive (or shared) name for
    // `rsrc`. busy: *blocker is the name of who holds it elsewhere.
    NameLock try_name_lock(const std::string& rsrc, Entry& e, bool exclusive, std::string* blocker);
    // Adjusts the names held to what the remaining holders need.
    void settle_name_lock(const std::string& rsrc, Entry& e);
    ViStatus give_up(const std::string& rsrc, Entry& e, ViSession who, bool failed,
                     const std::string& blocker);
    // Binds a fresh shared name for `rsrc` into e (no check of the exclusive one).
    NameLock bind_shared(const std::string& rsrc, Entry& e);
    // Accepts and drops the probes queued on every name held.
    void drain_probes();
    std::string key_piece(const std::string& rsrc) const;
    std::string shared_prefix(const std::string& rsrc) const;

    std::string prefix_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::map<std::string, Entry> entries_;
    // may_access() runs on every read and write; it drains the probes no more
    // often than this.
    static constexpr std::chrono::milliseconds access_drain_interval{100};
    std::chrono::steady_clock::time_point next_access_drain_{};
};

}  // namespace visa
