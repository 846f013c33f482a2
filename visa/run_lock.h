#pragma once

#include <memory>
#include <string>
#include <thread>

namespace visa {

// Who holds a run lock, as far as can be learnt.
struct RunLockHolder {
    bool known = false;  // false: only that the name is taken
    long uid = -1;
    long pid = -1;
    std::string user;   // login name of uid, or the number as text
    std::string tool;   // what the holder declared ("fwupgrade", "window"); empty if not ours
    std::string since;  // ISO 8601 UTC with seconds, when the holder took it; empty if unknown
};

enum class RunLockResult { granted, held, unavailable };

// A firmware run's hold on one instrument, from identification to restart,
// for every process of this machine (per network namespace): the abstract
// socket name "fwvisa/run/<key>" (see abstract_socket.h), beside the VISA
// lock names, so that the run may still take per-operation locks on the same
// instrument. A small thread answers each asker with one line naming the tool
// and the time it was taken; the asker learns uid and pid from the kernel.
// Every descriptor is close-on-exec, so children a run starts never hold it;
// a child forked without exec shares it until it exits.
class RunLock {
public:
    // Takes the run lock `key` at once, without waiting. `tool` is declared to later askers.
    // granted: returns the lock. held: another run of this program holds it (holder filled,
    // `why` = "locked by another upgrade: <user>, pid <pid>, since <since>").
    // unavailable: the name is taken by something that does not answer as a run lock, or a
    // socket cannot be made (`why` = "lock unavailable: run lock <key> is held by <user> (pid
    // <pid>)" or names the system error). Never throws.
    static std::unique_ptr<RunLock> try_acquire(const std::string& key, const std::string& tool,
                                                RunLockResult* result, RunLockHolder* holder,
                                                std::string* why);
    ~RunLock();  // releases: the name is free when this returns
    RunLock(const RunLock&) = delete;
    RunLock& operator=(const RunLock&) = delete;

private:
    RunLock(int listen_fd, int stop_fd, std::string greeting);
    // Holds the bound socket `fd` (closed on failure) and starts answering on
    // it; null with `why` set when that cannot be done.
    static std::unique_ptr<RunLock> hold(int fd, const std::string& key, const std::string& tool,
                                         std::string* why);
    // The answering thread: one line to each connection until stop_fd_ fires.
    void serve();

    int listen_fd_;
    int stop_fd_;  // an eventfd the destructor signals
    std::string greeting_;
    std::thread thread_;
};

// The run-lock key of the instrument a VISA resource string names: "instrument:" + the
// library's instrument_key() (visa/instrument_key.h; every name of one instrument gives one key).
// Empty, with `why` set, when the string is not a resource the library can parse.
std::string run_lock_key(const std::string& resource, std::string* why);

// The abstract socket name (without its leading NUL) the run lock `key` binds:
// for diagnostics and tests.
std::string run_lock_name(const std::string& key);

// The key for an instrument known by its identification: "serial:" + model + "/" + serial,
// case-folded.
std::string run_lock_serial_key(const std::string& model, const std::string& serial);

}  // namespace visa
