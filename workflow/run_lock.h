#pragma once

#include <memory>
#include <string>
#include <thread>

#include "platform/unique_fd.h"

namespace workflow {

// Who holds a run lock, as far as can be learnt.
struct RunLockHolder {
    bool m_known = false;  // false: only that the name is taken
    long m_uid = -1;
    long m_pid = -1;
    std::string m_user;   // login name of uid, or the number as text
    std::string m_tool;   // what the holder declared ("fwupgrade", "window"); empty if not ours
    std::string m_since;  // ISO 8601 UTC with seconds, when the holder took it; empty if unknown
};

enum class RunLockResult { Granted, Held, Unavailable };

// A firmware run's hold on one instrument, from identification to restart,
// for every process of this machine (per network namespace): the abstract
// socket name "fwvisa/run/<key>" (see platform/abstract_socket.h), beside the VISA
// lock names, so that the run may still take per-operation locks on the same
// instrument. A small thread answers each asker with one line naming the tool
// and the time it was taken; the asker learns uid and pid from the kernel.
// Every descriptor is close-on-exec, so children a run starts never hold it;
// a child forked without exec shares it until it exits.
class RunLock {
public:
    // Takes the run lock `key` at once, without waiting. `tool` is declared to later askers.
    // Granted: returns the lock. Held: another run of this program holds it (holder filled,
    // `why` = "locked by another upgrade: <user>, pid <pid>, since <since>").
    // Unavailable: the name is taken by something that does not answer as a run lock, or a
    // socket cannot be made (`why` = "lock unavailable: run lock <key> is held by <user> (pid
    // <pid>)" or names the system error). Never throws.
    static std::unique_ptr<RunLock> TryAcquire(const std::string& key, const std::string& tool,
                                               RunLockResult* result, RunLockHolder* holder,
                                               std::string* why);
    ~RunLock();  // releases: the name is free when this returns
    RunLock(const RunLock&) = delete;
    RunLock& operator=(const RunLock&) = delete;

private:
    RunLock(platform::UniqueFd listenFd, platform::UniqueFd stopFd, std::string greeting);
    // Holds the bound socket `fd` and starts answering on it; null with `why`
    // set when that cannot be done.
    static std::unique_ptr<RunLock> Hold(platform::UniqueFd fd, const std::string& key,
                                         const std::string& tool, std::string* why);
    // One try at the name: the lock when bound, else what the holder said
    // (`done` false when another try may still get it).
    static std::unique_ptr<RunLock> TryOnce(const std::string& name, const std::string& key,
                                            const std::string& tool, RunLockResult* result,
                                            RunLockHolder* holder, std::string* why, bool* done);
    // The answering thread: one line to each connection until m_stopFd fires.
    void Serve();

    platform::UniqueFd m_listenFd;
    platform::UniqueFd m_stopFd;  // an eventfd the destructor signals
    std::string m_greeting;
    std::thread m_thread;
};

// The run-lock key of the instrument a VISA resource string names: "instrument:" + the
// library's instrument key (InstrumentKey in visa_extension.h: every name of one instrument
// gives one key). Empty, with `why` set, when the library in use cannot say (a string it cannot
// parse, or a library without the extension): the serial-number key then keeps runs apart.
std::string RunLockKey(const std::string& resource, std::string* why);

// The abstract socket name (without its leading NUL) the run lock `key` binds:
// for diagnostics and tests.
std::string RunLockName(const std::string& key);

// The key for an instrument known by its identification: "serial:" + model + "/" + serial,
// case-folded.
std::string RunLockSerialKey(const std::string& model, const std::string& serial);

}  // namespace workflow
