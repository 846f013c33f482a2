#include "children.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "interrupt.h"

namespace cli {

namespace {

bool spawn(Child& child, const std::vector<std::string>& args, std::string& error) {
    int out_pipe[2], err_pipe[2];
    if (::pipe2(out_pipe, O_CLOEXEC) != 0) {
        error = std::string("pipe: ") + std::strerror(errno);
        return false;
    }
    if (::pipe2(err_pipe, O_CLOEXEC) != 0) {
        error = std::string("pipe: ") + std::strerror(errno);
        ::close(out_pipe[0]);
        ::close(out_pipe[1]);
        return false;
    }
    std::vector<char*> argv;
    argv.reserve(args.size() + 1);
    for (const std::string& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    const pid_t pid = ::fork();
    if (pid == 0) {
        // A process group of its own: the terminal's Ctrl-C reaches only the
        // parent, which passes each signal on once. If the parent dies, the
        // child is told to stop as after a first signal.
        ::setpgid(0, 0);
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        interrupt::restore_child_signals();
        ::dup2(out_pipe[1], 1);
        ::dup2(err_pipe[1], 2);
        ::execv("/proc/self/exe", argv.data());
        ::_exit(127);
    }
    ::close(out_pipe[1]);
    ::close(err_pipe[1]);
    if (pid < 0) {
        error = std::string("fork: ") + std::strerror(errno);
        ::close(out_pipe[0]);
        ::close(err_pipe[0]);
        return false;
    }
    child.pid = pid;
    child.out_fd = out_pipe[0];
    child.err_fd = err_pipe[0];
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
        ::kill(child->pid, SIGTERM);
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
        if (child.out_fd >= 0 && fds[2 * i].revents != 0 &&
            !read_pipe(child.out_fd, child.out_pending,
                       [&](const std::string& line) { on_out_(child, line); })) {
            ::close(child.out_fd);
            child.out_fd = -1;
        }
        if (child.err_fd >= 0 && fds[2 * i + 1].revents != 0 &&
            !read_pipe(child.err_fd, child.err_pending,
                       [&](const std::string& line) { on_err_(child, line); })) {
            ::close(child.err_fd);
            child.err_fd = -1;
        }
    }
}

void ChildRunner::collect_ended(std::vector<std::unique_ptr<Child>>& ended) {
    std::lock_guard lock(mutex_);
    for (auto it = running_.begin(); it != running_.end();) {
        Child& child = **it;
        if (child.out_fd >= 0 || child.err_fd >= 0) {
            ++it;
            continue;
        }
        int status = 0;
        while (::waitpid(child.pid, &status, 0) < 0 && errno == EINTR) {
        }
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
            fds.push_back({child->out_fd, POLLIN, 0});
            fds.push_back({child->err_fd, POLLIN, 0});
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
