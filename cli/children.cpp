#include "children.h"

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "interrupt.h"

namespace cli {

namespace {

bool spawn(Child& child, const std::vector<std::string>& args, std::string& error) {
    platform::ChildOptions options;
    options.argv = args;
    options.path = "/proc/self/exe";
    options.captured = {1, 2};
    // A process group of its own: the terminal's Ctrl-C reaches only the
    // parent, which passes each signal on once. If the parent dies, the
    // child is told to stop as after a first signal.
    options.own_process_group = true;
    options.parent_death_signal = SIGTERM;
    child.process = platform::ChildProcess::start(options);
    if (!child.process.running()) {
        error = child.process.why();
        return false;
    }
    return true;
}

void drain_lines(std::string& pending, const char* data, std::size_t size,
                 const std::function<void(const std::string&)>& line) {
    pending.append(data, size);
    std::size_t at;
    while ((at = pending.find('\n')) != std::string::npos) {
        const std::string one = pending.substr(0, at);
        pending.erase(0, at + 1);
        if (!one.empty()) line(one);
    }
}

// Reads what is there; false once the pipe is closed.
bool read_pipe(int fd, std::string& pending, const std::function<void(const std::string&)>& line) {
    char buffer[4096];
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) return true;
    if (n <= 0) {
        if (!pending.empty()) line(pending);
        pending.clear();
        return false;
    }
    drain_lines(pending, buffer, static_cast<std::size_t>(n), line);
    return true;
}

}  // namespace

void ChildRunner::signal_all() {
    std::lock_guard lock(mutex_);
    for (const auto& child : running_)
        child->process.signal(SIGTERM);
}

void ChildRunner::start_more(const std::vector<std::string>& resources, std::size_t& next,
                             const ArgsFn& args, Output& out,
                             std::vector<std::unique_ptr<Child>>& ended) {
    while (!interrupt::requested() && next < resources.size() && running_.size() < jobs_) {
        auto child = std::make_unique<Child>();
        child->resource = resources[next++];
        std::string error;
        if (!spawn(*child, args(child->resource), error)) {
            out.diagnostic("fwupgrade: " + child->resource + ": " + error);
            ended.push_back(std::move(child));
            continue;
        }
        std::lock_guard lock(mutex_);
        running_.push_back(std::move(child));
    }
}

void ChildRunner::read_output(const std::vector<pollfd>& fds) {
    for (std::size_t i = 0; i < running_.size(); ++i) {
        Child& child = *running_[i];
        platform::UniqueFd& out = child.process.output(0);
        platform::UniqueFd& err = child.process.output(1);
        if (out && fds[2 * i].revents != 0 &&
            !read_pipe(out.get(), child.out_pending,
                       [&](const std::string& line) { on_out_(child, line); }))
            out.reset();
        if (err && fds[2 * i + 1].revents != 0 &&
            !read_pipe(err.get(), child.err_pending,
                       [&](const std::string& line) { on_err_(child, line); }))
            err.reset();
    }
}

void ChildRunner::collect_ended(std::vector<std::unique_ptr<Child>>& ended) {
    std::lock_guard lock(mutex_);
    for (auto it = running_.begin(); it != running_.end();) {
        Child& child = **it;
        if (child.process.output(0) || child.process.output(1)) {
            ++it;
            continue;
        }
        const int status = child.process.wait();
        child.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        on_end_(child);
        ended.push_back(std::move(*it));
        it = running_.erase(it);
    }
}

std::vector<std::unique_ptr<Child>> ChildRunner::run(const std::vector<std::string>& resources,
                                                     const ArgsFn& args, Output& out) {
    std::vector<std::unique_ptr<Child>> ended;
    std::size_t next = 0;
    bool wake_seen = false;
    for (;;) {
        start_more(resources, next, args, out, ended);
        if (running_.empty()) break;

        std::vector<pollfd> fds;
        for (const auto& child : running_) {
            fds.push_back({child->process.output(0).get(), POLLIN, 0});
            fds.push_back({child->process.output(1).get(), POLLIN, 0});
        }
        if (!wake_seen) fds.push_back({interrupt::wake_fd(), POLLIN, 0});
        if (::poll(fds.data(), fds.size(), -1) < 0 && errno != EINTR) break;
        if (interrupt::requested()) wake_seen = true;
        read_output(fds);
        // Children whose pipes are both closed have ended.
        collect_ended(ended);
    }
    return ended;
}

}  // namespace cli
