// Another process of this machine that opens an instrument through its own
// session and holds the exclusive lock until it is killed: what a second
// program holding the instrument looks like to the one under test.
#pragma once

#include <signal.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "visa.h"

class LockHolder {
public:
    // Forks the holder and waits until it has the lock or has failed to get it.
    explicit LockHolder(const std::string& resource) {
        int ready[2];
        if (::pipe(ready) != 0) return;
        child_ = ::fork();
        if (child_ == 0) {
            ViSession rm, vi;
            char c = 'n';
            if (viOpenDefaultRM(&rm) == VI_SUCCESS &&
                viOpen(rm, resource.c_str(), VI_NULL, 0, &vi) == VI_SUCCESS &&
                viLock(vi, VI_EXCLUSIVE_LOCK, 0, VI_NULL, VI_NULL) == VI_SUCCESS)
                c = 'y';
            (void)!::write(ready[1], &c, 1);
            ::pause();  // hold the lock until killed
            ::_exit(0);
        }
        ::close(ready[1]);
        char c = 0;
        holds_ = child_ > 0 && ::read(ready[0], &c, 1) == 1 && c == 'y';
        ::close(ready[0]);
    }
    ~LockHolder() { Kill(); }
    LockHolder(const LockHolder&) = delete;
    LockHolder& operator=(const LockHolder&) = delete;

    bool holds() const { return holds_; }

    // Ends the holder the hard way, as a crash would: nothing unlocks.
    void Kill() {
        if (child_ <= 0) return;
        ::kill(child_, SIGKILL);
        ::waitpid(child_, nullptr, 0);
        child_ = -1;
    }

private:
    pid_t child_ = -1;
    bool holds_ = false;
};
