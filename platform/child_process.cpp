#include "platform/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

namespace platform {

namespace {

// Descriptors the parent prepares stay above the ones a child is given, so
// that a dup2 onto 0..3 never meets the descriptor it copies.
constexpr int first_private_fd = 10;

// How often run_collecting looks at the clock and at stop_requested.
constexpr int poll_ms = 100;

UniqueFd above_standard(int fd) {
    UniqueFd low(fd);
    if (!low) return low;
    UniqueFd high(::fcntl(low.get(), F_DUPFD_CLOEXEC, first_private_fd));
    const int saved = errno;
    low.reset();
    errno = saved;
    return high;
}

// What the child does between fork and exec: async-signal-safe calls only,
// as the parent may have other threads. Reports a failed exec's errno on
// `report` and exits 127.
[[noreturn]] void become(const ChildOptions& options, const char* path, char* const* argv,
                         int dev_null, const std::vector<int>& write_ends, int report) {
    if (options.own_process_group) ::setpgid(0, 0);
    if (options.parent_death_signal != 0) ::prctl(PR_SET_PDEATHSIG, options.parent_death_signal);
    struct sigaction defaults {};
    defaults.sa_handler = SIG_DFL;
    for (const int sig : {SIGINT, SIGTERM, SIGPIPE, SIGHUP, SIGQUIT, SIGCHLD})
        ::sigaction(sig, &defaults, nullptr);
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    for (int fd = 0; fd <= 2 && dev_null >= 0; ++fd)
        ::dup2(dev_null, fd);
    for (std::size_t i = 0; i < write_ends.size(); ++i)
        ::dup2(write_ends[i], options.captured[i]);
    ::execv(path, argv);
    const int error = errno;
    (void)!::write(report, &error, sizeof error);
    ::_exit(127);
}

}  // namespace

ChildProcess::ChildProcess(ChildProcess&& other) noexcept
    : pid_(std::exchange(other.pid_, -1)),
      error_(other.error_),
      step_(other.step_),
      why_(std::move(other.why_)),
      outputs_(std::move(other.outputs_)) {}

ChildProcess& ChildProcess::operator=(ChildProcess&& other) noexcept {
    if (this != &other) {
        if (running()) kill_and_wait();
        pid_ = std::exchange(other.pid_, -1);
        error_ = other.error_;
        step_ = other.step_;
        why_ = std::move(other.why_);
        outputs_ = std::move(other.outputs_);
    }
    return *this;
}

ChildProcess::~ChildProcess() {
    if (running()) kill_and_wait();
}

ChildProcess ChildProcess::start(const ChildOptions& options) {
    ChildProcess child;
    const auto fail = [&child](const char* step, int error) {
        child.error_ = error;
        child.step_ = step;
        child.why_ = std::string(step) + ": " + std::strerror(error);
        child.outputs_.clear();
        return std::move(child);
    };
    std::vector<char*> argv;
    for (const std::string& arg : options.argv)
        argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    if (argv.size() < 2) return fail("exec", EINVAL);
    UniqueFd dev_null;
    if (options.null_stdio) {
        dev_null = above_standard(::open("/dev/null", O_RDWR | O_CLOEXEC));
        if (!dev_null) return fail("/dev/null", errno);
    }
    std::vector<UniqueFd> write_ends;
    std::vector<int> write_numbers;
    for (std::size_t i = 0; i < options.captured.size(); ++i) {
        int ends[2];
        if (::pipe2(ends, O_CLOEXEC) != 0) return fail("pipe", errno);
        child.outputs_.emplace_back(ends[0]);
        write_ends.push_back(above_standard(ends[1]));
        if (!write_ends.back()) return fail("pipe", errno);
        write_numbers.push_back(write_ends.back().get());
    }
    int report_ends[2];
    if (::pipe2(report_ends, O_CLOEXEC) != 0) return fail("pipe", errno);
    UniqueFd report_read(report_ends[0]), report_write(report_ends[1]);

    const pid_t pid = ::fork();
    if (pid == 0)
        become(options, options.path.empty() ? argv[0] : options.path.c_str(), argv.data(),
               dev_null.get(), write_numbers, report_write.get());
    if (pid < 0) return fail("fork", errno);
    child.pid_ = pid;
    write_ends.clear();
    report_write.reset();
    // The report pipe closes on a successful exec; otherwise it says why not.
    int exec_error = 0;
    ssize_t got;
    do {
        got = ::read(report_read.get(), &exec_error, sizeof exec_error);
    } while (got < 0 && errno == EINTR);
    if (got == sizeof exec_error) {
        child.wait();
        return fail("exec", exec_error);
    }
    return child;
}

void ChildProcess::signal(int sig) const {
    if (running()) ::kill(pid_, sig);
}

int ChildProcess::poll_exit() {
    if (!running()) return -1;
    int status = 0;
    const pid_t done = ::waitpid(pid_, &status, WNOHANG);
    if (done == 0 || (done < 0 && errno != ECHILD)) return -1;
    pid_ = -1;
    return done < 0 ? 0 : status;
}

int ChildProcess::wait() {
    if (!running()) return -1;
    int status = 0;
    while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    pid_ = -1;
    return status;
}

int ChildProcess::kill_and_wait() {
    signal(SIGKILL);
    return wait();
}

namespace {

// Reads what the pipe has now, up to `cap` kept; false once it is closed.
bool read_some(int fd, std::string& output, std::size_t cap) {
    char buffer[4096];
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0) return errno == EINTR || errno == EAGAIN;
    if (n == 0) return false;
    const std::size_t room = output.size() < cap ? cap - output.size() : 0;
    output.append(buffer, std::min(room, static_cast<std::size_t>(n)));
    return true;
}

}  // namespace

ChildRun run_collecting(ChildProcess& child, std::size_t cap, std::chrono::milliseconds timeout,
                        const std::function<bool()>& stop_requested) {
    using Clock = std::chrono::steady_clock;
    const Clock::time_point deadline = Clock::now() + timeout;
    ChildRun run;
    UniqueFd& pipe = child.output(0);
    while (child.running()) {
        run.stopped = stop_requested && stop_requested();
        run.timed_out = !run.stopped && Clock::now() >= deadline;
        if (run.stopped || run.timed_out) {
            child.kill_and_wait();
            return run;
        }
        pollfd p{pipe.get(), POLLIN, 0};
        if (pipe && ::poll(&p, 1, poll_ms) > 0 && !read_some(pipe.get(), run.output, cap))
            pipe.reset();
        if (!pipe) ::poll(nullptr, 0, 10);
        if (const int status = child.poll_exit(); !child.running()) run.wait_status = status;
    }
    // What is left in the pipe after the child ended.
    for (pollfd p{pipe.get(), POLLIN, 0}; pipe && ::poll(&p, 1, 0) > 0;)
        if (!read_some(pipe.get(), run.output, cap)) break;
    run.ended = true;
    return run;
}

}  // namespace platform
