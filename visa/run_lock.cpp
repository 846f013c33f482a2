#include "visa/run_lock.h"

#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <exception>
#include <sstream>
#include <vector>

#include "visa/abstract_socket.h"
#include "visa/instrument_key.h"
#include "visa/rsrc_name.h"

namespace visa {
namespace {

constexpr char name_prefix[] = "fwvisa/run/";
// The first word of a holder's answer: what tells a run lock from any other
// listener on the name.
constexpr char greeting_word[] = "fwvisa-run-lock";
constexpr int greeting_version = 1;
// How long an asker waits for the holder's line; its thread answers at once.
constexpr auto answer_wait = std::chrono::milliseconds(200);
constexpr size_t max_answer = 256;
constexpr size_t max_tool = 64;
// Binding after a holder vanished, or asking past a full queue: a few more
// tries, then the name counts as taken by something that does not answer.
constexpr int max_attempts = 4;
constexpr auto busy_retry = std::chrono::milliseconds(10);
// Connections one wake of the answering thread serves before it looks at the
// stop signal again.
constexpr int max_answers_per_wake = 64;

std::string utc_now() {
    const std::time_t now = std::time(nullptr);
    std::tm tm{};
    ::gmtime_r(&now, &tm);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &tm);
    return text;
}

// A declared tool is one word of printable ASCII, so the line stays one line.
std::string tool_word(const std::string& tool) {
    std::string out;
    for (char c : tool.substr(0, max_tool))
        out += c > ' ' && c < 0x7f ? c : '_';
    return out.empty() ? "unnamed" : out;
}

bool is_utc_stamp(const std::string& s) {
    static const char pattern[] = "dddd-dd-ddTdd:dd:ddZ";
    if (s.size() != sizeof pattern - 1) return false;
    for (size_t i = 0; i < s.size(); ++i) {
        const bool digit = std::isdigit(static_cast<unsigned char>(s[i])) != 0;
        if (pattern[i] == 'd' ? !digit : s[i] != pattern[i]) return false;
    }
    return true;
}

// Parses "fwvisa-run-lock <version> tool=<tool> since=<stamp>"; false for
// anything else (not one of ours).
bool parse_greeting(const std::string& line, std::string* tool, std::string* since) {
    std::istringstream in(line);
    std::string word, version;
    if (!(in >> word >> version) || word != greeting_word) return false;
    for (char c : version)
        if (!std::isdigit(static_cast<unsigned char>(c))) return false;
    bool have_tool = false;
    while (in >> word) {
        if (word.rfind("tool=", 0) == 0) {
            *tool = word.substr(5);
            have_tool = !tool->empty() && tool->size() <= max_tool;
        } else if (word.rfind("since=", 0) == 0) {
            *since = word.substr(6);
        }
    }
    return have_tool && is_utc_stamp(*since);
}

// Reads one line from the connected socket `fd` within answer_wait.
std::string read_answer(int fd) {
    const auto until = std::chrono::steady_clock::now() + answer_wait;
    std::string line;
    while (line.size() < max_answer && line.find('\n') == std::string::npos) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            until - std::chrono::steady_clock::now());
        if (left.count() <= 0) break;
        pollfd p{fd, POLLIN, 0};
        const int n = ::poll(&p, 1, int(left.count()));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        char buf[max_answer];
        const ssize_t got = ::recv(fd, buf, max_answer - line.size(), 0);
        if (got < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (got <= 0) break;
        line.append(buf, size_t(got));
    }
    const size_t end = line.find('\n');
    return end == std::string::npos ? std::string() : line.substr(0, end);
}

enum class Asked { ours, foreign, busy, absent, failed };

// Asks whoever listens on `name` who they are.
Asked ask(const std::string& name, RunLockHolder* holder, std::string* why) {
    int fd;
    switch (connect_abstract(name, &fd, why)) {
        case Probe::listening:
            break;
        case Probe::busy:
            return Asked::busy;
        case Probe::absent:
            return Asked::absent;
        case Probe::failed:
            return Asked::failed;
    }
    const NameOwner owner = peer_of(fd);
    holder->known = owner.known;
    holder->uid = owner.uid;
    holder->pid = owner.pid;
    holder->user = owner.user;
    std::string tool, since;
    const bool ours = parse_greeting(read_answer(fd), &tool, &since);
    ::close(fd);
    if (!ours) return Asked::foreign;
    holder->tool = tool;
    holder->since = since;
    return Asked::ours;
}

std::string held_by(const std::string& key, const RunLockHolder& h) {
    return "lock unavailable: run lock " + key + " is held by " + h.user + " (pid " +
           std::to_string(h.pid) + ")";
}

}  // namespace

RunLock::RunLock(int listen_fd, int stop_fd, std::string greeting)
    : listen_fd_(listen_fd), stop_fd_(stop_fd), greeting_(std::move(greeting)) {}

RunLock::~RunLock() {
    if (thread_.joinable()) {
        const uint64_t one = 1;
        (void)!::write(stop_fd_, &one, sizeof one);
        thread_.join();
    }
    ::close(listen_fd_);
    ::close(stop_fd_);
}

void RunLock::serve() {
    pollfd fds[2] = {{listen_fd_, POLLIN, 0}, {stop_fd_, POLLIN, 0}};
    for (;;) {
        const int n = ::poll(fds, 2, -1);
        if (n < 0 && errno == EINTR) continue;
        // Without poll there is no answering; the name stays held regardless.
        if (n < 0 || fds[1].revents != 0) return;
        for (int i = 0; i < max_answers_per_wake; ++i) {
            const int c = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
            if (c < 0) break;
            // One small write into an empty socket buffer never blocks; an
            // asker that went away is no concern of ours.
            (void)!::send(c, greeting_.data(), greeting_.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
            ::close(c);
        }
    }
}

namespace {

// Why a name that is taken, but on which nobody answers (bound without
// listening, or a queue kept full), cannot be had; `holder` gets what is known.
std::string taken_silently(const std::string& name, const std::string& key, RunLockHolder* holder) {
    const NameOwner owner = owner_of(name);
    holder->known = owner.known;
    holder->uid = owner.uid;
    holder->pid = owner.pid;
    holder->user = owner.user;
    return owner.known ? held_by(key, *holder)
                       : "lock unavailable: run lock " + key + " is held by " + describe(owner);
}

}  // namespace

std::unique_ptr<RunLock> RunLock::hold(int fd, const std::string& key, const std::string& tool,
                                       std::string* why) {
    const int stop = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (stop < 0) {
        *why = "run lock " + key + ": eventfd: " + std::strerror(errno);
        ::close(fd);
        return nullptr;
    }
    const std::string greeting = std::string(greeting_word) + " " +
                                 std::to_string(greeting_version) + " tool=" + tool_word(tool) +
                                 " since=" + utc_now() + "\n";
    // Owns both descriptors from here, even if the thread fails.
    std::unique_ptr<RunLock> lock(new RunLock(fd, stop, greeting));
    // The thread wants no signals: it is born with all of them blocked, so
    // that a program's own handling (a thread in sigwait, EINTR in its main
    // loop) sees them as before.
    sigset_t all, old;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &old);
    try {
        lock->thread_ = std::thread(&RunLock::serve, lock.get());
    } catch (...) {
        pthread_sigmask(SIG_SETMASK, &old, nullptr);
        throw;
    }
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    return lock;
}

std::unique_ptr<RunLock> RunLock::try_acquire(const std::string& key, const std::string& tool,
                                              RunLockResult* result, RunLockHolder* holder,
                                              std::string* why) {
    RunLockResult result_unused;
    RunLockHolder holder_unused;
    std::string why_unused;
    if (result == nullptr) result = &result_unused;
    if (holder == nullptr) holder = &holder_unused;
    if (why == nullptr) why = &why_unused;
    *result = RunLockResult::unavailable;
    *holder = RunLockHolder{};
    why->clear();
    try {
        const std::string name = run_lock_name(key);
        for (int attempt = 0; attempt < max_attempts; ++attempt) {
            int fd;
            std::string err;
            switch (bind_abstract(name, &fd, &err)) {
                case BindResult::bound: {
                    auto lock = hold(fd, key, tool, why);
                    if (lock) *result = RunLockResult::granted;
                    return lock;
                }
                case BindResult::failed:
                    *why = "run lock " + key + ": " + err;
                    return nullptr;
                case BindResult::in_use:
                    break;
            }
            *holder = RunLockHolder{};
            switch (ask(name, holder, &err)) {
                case Asked::ours:
                    *result = RunLockResult::held;
                    *why = "locked by another upgrade: " + holder->user + ", pid " +
                           std::to_string(holder->pid) + ", since " + holder->since;
                    return nullptr;
                case Asked::foreign:
                    *why = held_by(key, *holder);
                    return nullptr;
                case Asked::failed:
                    *why = "run lock " + key + ": " + err;
                    return nullptr;
                case Asked::busy:
                    std::this_thread::sleep_for(busy_retry);
                    break;
                case Asked::absent:
                    break;  // freed meanwhile, or bound by a non-listener
            }
        }
        *why = taken_silently(name, key, holder);
    } catch (const std::exception& ex) {
        *result = RunLockResult::unavailable;
        *why = "run lock " + key + ": " + ex.what();
    }
    return nullptr;
}

std::string run_lock_key(const std::string& resource, std::string* why) {
    const auto parsed = parse_rsrc_name(resource);
    if (!parsed) {
        if (why != nullptr) *why = "\"" + resource + "\" is not a VISA resource string";
        return {};
    }
    return "instrument:" + instrument_key(*parsed);
}

std::string run_lock_name(const std::string& key) {
    return name_prefix + name_piece(key, max_abstract_name - (sizeof name_prefix - 1));
}

std::string run_lock_serial_key(const std::string& model, const std::string& serial) {
    std::string key = "serial:" + model + "/" + serial;
    for (char& c : key)
        c = char(std::tolower(static_cast<unsigned char>(c)));
    return key;
}

}  // namespace visa
