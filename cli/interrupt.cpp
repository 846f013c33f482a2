#include "interrupt.h"

#include <atomic>
#include <mutex>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>
#include <csignal>

#include "exit_codes.h"

namespace cli::interrupt {

namespace {

std::atomic<bool> g_requested{false};
int g_pipe[2] = {-1, -1};
std::mutex g_mutex;
std::function<void()> g_first;
std::function<void()> g_second;

sigset_t stop_signals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    return set;
}

void watch() {
    const sigset_t set = stop_signals();
    for (int count = 1;; ++count) {
        int signal = 0;
        if (sigwait(&set, &signal) != 0) continue;
        if (count >= 3) ::_exit(exit_interrupted);  // whatever the second began, end now
        if (count == 1) {
            g_requested = true;
            const char byte = 1;
            [[maybe_unused]] const ssize_t n = ::write(g_pipe[1], &byte, 1);
        }
        // Held while the action runs, so that whoever replaces an action
        // knows the old one is no longer running.
        std::lock_guard lock(g_mutex);
        const std::function<void()>& action = count == 1 ? g_first : g_second;
        if (action)
            action();
        else if (count == 2)
            ::_exit(exit_interrupted);
    }
}

}  // namespace

void start() {
    if (::pipe2(g_pipe, O_CLOEXEC) != 0) g_pipe[0] = g_pipe[1] = -1;
    const sigset_t set = stop_signals();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    std::thread(watch).detach();
}

void on_first(std::function<void()> action) {
    std::lock_guard lock(g_mutex);
    g_first = std::move(action);
}

void on_second(std::function<void()> action) {
    std::lock_guard lock(g_mutex);
    g_second = std::move(action);
}

bool requested() {
    return g_requested;
}

bool sleep_ms(int milliseconds) {
    if (g_requested) return true;
    pollfd p{g_pipe[0], POLLIN, 0};
    if (g_pipe[0] < 0) {
        ::usleep(static_cast<useconds_t>(milliseconds) * 1000);
        return g_requested;
    }
    ::poll(&p, 1, milliseconds);
    return g_requested;
}

int wake_fd() {
    return g_pipe[0];
}

}  // namespace cli::interrupt
