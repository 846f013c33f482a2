#pragma once

#include <condition_variable>
#include <map>
#include <mutex>
#include <string>

#include "visa.h"

namespace visa {

// Who holds which lock on which resource, across the sessions of this
// process and, through a flock(2) on one file per resource, across the
// processes of this machine. The kernel drops a process's flocks when it
// dies, so a crash never leaves a resource locked. Resources are keyed by
// their canonical name.
//
// Rules: one exclusive holder at a time, and only when no other session holds
// any lock; shared holders must present the same key; a session may nest its
// own locks (counted). The instrument's own lock (over the wire) is the
// session's business, taken after this table grants.
class LockTable {
public:
    // `dir` holds the per-resource lock files; empty turns the cross-process
    // part off (only for tests that want a private table).
    explicit LockTable(std::string dir);
    ~LockTable();

    // The process-wide table, with its files under $XDG_RUNTIME_DIR or
    // /tmp/fwvisa-locks-<uid>.
    static LockTable& process();

    // Grants `type` (VI_EXCLUSIVE_LOCK or VI_SHARED_LOCK; `key` used for
    // shared) to session `who`, waiting at most `timeout_ms`. Returns
    // VI_SUCCESS, VI_SUCCESS_NESTED_EXCLUSIVE / _SHARED for a lock the session
    // already held, VI_ERROR_TMO, or VI_ERROR_INV_ACCESS_KEY when a nested
    // shared request brings another key.
    ViStatus acquire(const std::string& rsrc, ViSession who, ViAccessMode type,
                     const std::string& key, uint32_t timeout_ms);

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
        int fd = -1;
        int file_mode = 0;  // 0, LOCK_SH or LOCK_EX held on fd
    };

    bool others_block(const Entry& e, ViSession who, ViAccessMode type, const std::string& key);
    // Tries to move this process's file lock to `mode` at once.
    bool try_file_lock(const std::string& rsrc, Entry& e, int mode);
    // Adjusts the file lock to what the remaining holders need.
    void settle_file_lock(const std::string& rsrc, Entry& e);

    std::string dir_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::map<std::string, Entry> entries_;
};

}  // namespace visa
