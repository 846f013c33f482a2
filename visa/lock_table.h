#pragma once

#include <condition_variable>
#include <map>
#include <mutex>
#include <string>

#include "visa.h"

namespace visa {

// Who holds which lock on which instrument, across the sessions of this
// process and, through a flock(2) on one file per instrument, across the
// processes of every user of this machine. The kernel drops a process's
// flocks when it dies, so a crash never leaves an instrument locked.
// Instruments are keyed by instrument_key() (see instrument_key.h), so that
// every name of one instrument meets the same lock.
//
// A lock that cannot be made (no trustworthy directory, a lock file that
// cannot be opened or is not a regular file) is refused with
// VI_ERROR_SYSTEM_ERROR: never granted without the file. A lock file exists
// only while some process holds or waits for its instrument.
//
// Rules: one exclusive holder at a time, and only when no other session holds
// any lock; shared holders must present the same key; a session may nest its
// own locks (counted). The instrument's own lock (over the wire) is the
// session's business, taken after this table grants.
class LockTable {
public:
    // `dir` holds the lock files: a directory that is ours or sticky (else
    // every lock is refused). Empty turns the cross-process part off (only
    // for tests that want a private table).
    explicit LockTable(std::string dir);
    ~LockTable();

    // The process-wide table, with its files in /run/lock/fwvisa (or
    // /tmp/fwvisa without /run/lock): one sticky directory for all users.
    static LockTable& process();

    // Grants `type` (VI_EXCLUSIVE_LOCK or VI_SHARED_LOCK; `key` used for
    // shared) to session `who`, waiting at most `timeout_ms`. Returns
    // VI_SUCCESS, VI_SUCCESS_NESTED_EXCLUSIVE / _SHARED for a lock the session
    // already held, VI_ERROR_TMO, VI_ERROR_INV_ACCESS_KEY when a nested
    // shared request brings another key, or VI_ERROR_SYSTEM_ERROR when the
    // lock file cannot be used.
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

    enum class FileLock { granted, busy, failed };

    bool others_block(const Entry& e, ViSession who, ViAccessMode type, const std::string& key);
    // Tries to move this process's file lock to `mode` at once.
    FileLock try_file_lock(const std::string& rsrc, Entry& e, int mode);
    // Adjusts the file lock to what the remaining holders need.
    void settle_file_lock(const std::string& rsrc, Entry& e);

    std::string dir_;
    std::string dir_error_;  // why there is no usable directory, if so
    std::mutex mutex_;
    std::condition_variable changed_;
    std::map<std::string, Entry> entries_;
};

}  // namespace visa
