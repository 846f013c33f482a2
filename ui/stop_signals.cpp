#include "stop_signals.h"

#include <fcntl.h>
#include <unistd.h>
#include <atomic>
#include <cerrno>
#include <csignal>

namespace stop_signals {

namespace {

std::atomic<bool> g_requested{false};
static_assert(std::atomic<bool>::is_always_lock_free, "the handler needs a lock-free flag");
int g_pipe[2] = {-1, -1};

// Only async-signal-safe work: a flag and one byte into a non-blocking pipe
// (a full pipe already says what the byte would).
void OnSignal(int) {
    const int saved = errno;
    g_requested.store(true);
    const char byte = 1;
    [[maybe_unused]] const ssize_t n = ::write(g_pipe[1], &byte, 1);
    errno = saved;
}

}  // namespace

bool Install() {
    if (g_pipe[0] >= 0) return true;
    if (::pipe2(g_pipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        g_pipe[0] = g_pipe[1] = -1;
        return false;
    }
    struct sigaction action {};
    action.sa_handler = OnSignal;
    // The VISA library and Qt retry calls a signal interrupts; restarting
    // spares the rest.
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    bool ok = true;
    for (const int signal : {SIGTERM, SIGHUP, SIGINT})
        ok = ::sigaction(signal, &action, nullptr) == 0 && ok;
    return ok;
}

bool Requested() {
    return g_requested.load();
}

int WakeFd() {
    return g_pipe[0];
}

void Drain() {
    char bytes[64];
    for (int i = 0; i < 16 && ::read(g_pipe[0], bytes, sizeof bytes) > 0; ++i) {
    }
}

void Clear() {
    Drain();
    g_requested.store(false);
}

}  // namespace stop_signals
