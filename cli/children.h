#pragma once

// Child processes of this program, one per resource, at most -j at once,
// with their output handed on line by line.

#include <poll.h>
#include <sys/types.h>

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "output.h"
#include "platform/child_process.h"
#include "workflow/json_fields.h"

namespace cli {

struct Child {
    std::string resource;
    // Its stdout and stderr are the process's outputs 0 and 1, each reset
    // once it is closed.
    platform::ChildProcess process;
    std::string out_pending;
    std::string err_pending;
    workflow::Json identified = workflow::Json::object();
    workflow::Json finished;  // null until the child said how it ended
    int exit_code = -1;
};

// Runs one child process per resource, at most `jobs` at once, and hands
// their output on line by line. Once a stop is requested no new child
// starts; signal_all passes a signal on to those running.
class ChildRunner {
public:
    using LineFn = std::function<void(Child&, const std::string&)>;
    using EndFn = std::function<void(Child&)>;
    using ArgsFn = std::function<std::vector<std::string>(const std::string&)>;

    ChildRunner(int jobs, LineFn on_out, LineFn on_err, EndFn on_end)
        : jobs_(static_cast<std::size_t>(jobs)),
          on_out_(std::move(on_out)),
          on_err_(std::move(on_err)),
          on_end_(std::move(on_end)) {}

    // Every child started, or refused to start, in the order they ended.
    std::vector<std::unique_ptr<Child>> run(const std::vector<std::string>& resources,
                                            const ArgsFn& args, Output& out);
    // Safe from the signal watcher's thread.
    void signal_all();

private:
    // Starts children until -j run or a stop was requested; one that cannot
    // start goes to `ended` at once.
    void start_more(const std::vector<std::string>& resources, std::size_t& next,
                    const ArgsFn& args, Output& out, std::vector<std::unique_ptr<Child>>& ended);
    // Hands on what `fds` (two per running child, in order) says is there.
    void read_output(const std::vector<pollfd>& fds);
    // Reaps the children whose pipes are both closed into `ended`.
    void collect_ended(std::vector<std::unique_ptr<Child>>& ended);

    std::size_t jobs_;
    LineFn on_out_, on_err_;
    EndFn on_end_;
    std::mutex mutex_;  // guards running_ against the signal watcher
    std::vector<std::unique_ptr<Child>> running_;
};

}  // namespace cli
