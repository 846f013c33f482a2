// Starting a program as a child process, with chosen descriptors wired to
// pipes, and making sure it is reaped: the batch's children and gpgv alike.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "platform/unique_fd.h"

namespace platform {

struct ChildOptions {
    // The program and its arguments; argv[0] is also the path run (no PATH
    // search) unless `path` is given.
    std::vector<std::string> argv;
    std::string path;
    // Descriptor numbers in the child (1, 2, 3, ...) each wired to a pipe whose
    // read end the parent keeps, in this order.
    std::vector<int> captured;
    // Standard descriptors that are not captured read and write /dev/null
    // instead of being inherited.
    bool null_stdio = false;
    // A process group of its own: a terminal's Ctrl-C then reaches only the
    // parent, which decides what to pass on.
    bool own_process_group = false;
    // Sent to the child when the parent dies (0: nothing).
    int parent_death_signal = 0;
};

// One started child. It starts with no signal blocked and the usual signals
// at their defaults, whatever the parent's threads did with theirs; it holds
// no descriptor of ours but those asked for (ours are close-on-exec).
// Destroying one that has not been reaped kills (SIGKILL) and reaps it, so
// no child outlives its owner unnoticed and none is left a zombie.
class ChildProcess {
public:
    // Starts the child; on failure returns one that is not running, with
    // step() what failed ("pipe", "/dev/null", "fork" or "exec"), error()
    // its errno and why() both as "<step>: <strerror>".
    static ChildProcess start(const ChildOptions& options);

    ChildProcess() = default;
    ChildProcess(ChildProcess&& other) noexcept;
    ChildProcess& operator=(ChildProcess&& other) noexcept;
    ~ChildProcess();

    bool running() const { return pid_ > 0; }
    pid_t pid() const { return pid_; }
    int error() const { return error_; }
    const char* step() const { return step_; }
    const std::string& why() const { return why_; }
    // The read end of the pipe of `captured[i]`; the caller may reset it.
    UniqueFd& output(std::size_t i) { return outputs_[i]; }

    // Sends `sig` while the child has not been reaped.
    void signal(int sig) const;
    // The wait status once the child ended, without waiting; -1 while it
    // runs (or when there is nothing to wait for).
    int poll_exit();
    // Waits for the child to end; its wait status.
    int wait();
    // SIGKILL, then reaps it; its wait status.
    int kill_and_wait();

private:
    pid_t pid_ = -1;
    int error_ = 0;
    const char* step_ = "";
    std::string why_;
    std::vector<UniqueFd> outputs_;
};

// What run_collecting saw of a child.
struct ChildRun {
    bool ended = false;      // false: not started, timed out or stopped (then killed)
    int wait_status = 0;     // when ended
    std::string output;      // what it wrote to captured[0], at most the cap
    bool timed_out = false;  // killed at the deadline
    bool stopped = false;    // killed because stop_requested said so
};

// Runs `child` (already started, one descriptor captured) to its end,
// collecting up to `cap` bytes of that descriptor's output; kills and reaps
// it at `timeout` or as soon as `stop_requested` (when given) answers true.
ChildRun run_collecting(ChildProcess& child, std::size_t cap, std::chrono::milliseconds timeout,
                        const std::function<bool()>& stop_requested);

}  // namespace platform
