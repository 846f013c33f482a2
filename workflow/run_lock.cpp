#include "workflow/run_lock.h"

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
#include <optional>
#include <sstream>
#include <vector>

#include "platform/abstract_socket.h"
#include "workflow/visa_extension.h"

namespace workflow {
namespace {

constexpr char kNamePrefix[] = "fwvisa/run/";
// The first word of a holder's answer: what tells a run lock from any other
// listener on the name.
constexpr char kGreetingWord[] = "fwvisa-run-lock";
constexpr int kGreetingVersion = 1;
// How long an asker waits for the holder's line; its thread answers at once.
constexpr auto kAnswerWait = std::chrono::milliseconds(200);
constexpr size_t kMaxAnswer = 256;
constexpr size_t kMaxTool = 64;
// Binding after a holder vanished, or asking past a full queue: a few more
// tries, then the name counts as taken by something that does not answer.
constexpr int kMaxAttempts = 4;
constexpr auto kBusyRetry = std::chrono::milliseconds(10);
// Connections one wake of the answering thread serves before it looks at the
// stop signal again.
constexpr int kMaxAnswersPerWake = 64;

using platform::UniqueFd;

std::string UtcNow() {
    const std::time_t now = std::time(nullptr);
    std::tm tm{};
    ::gmtime_r(&now, &tm);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &tm);
    return text;
}

// A declared tool is one word of printable ASCII, so the line stays one line.
std::string ToolWord(const std::string& tool) {
    std::string out;
    for (char c : tool.substr(0, kMaxTool))
        out += c > ' ' && c < 0x7f ? c : '_';
    return out.empty() ? "unnamed" : out;
}

bool IsUtcStamp(const std::string& s) {
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
bool ParseGreeting(const std::string& line, std::string* tool, std::string* since) {
    std::istringstream in(line);
    std::string word, version;
    if (!(in >> word >> version) || word != kGreetingWord) return false;
    for (char c : version)
        if (!std::isdigit(static_cast<unsigned char>(c))) return false;
    bool have_tool = false;
    while (in >> word) {
        if (word.rfind("tool=", 0) == 0) {
            *tool = word.substr(5);
            have_tool = !tool->empty() && tool->size() <= kMaxTool;
        } else if (word.rfind("since=", 0) == 0) {
            *since = word.substr(6);
        }
    }
    return have_tool && IsUtcStamp(*since);
}

// Reads one line from the connected socket `fd` within kAnswerWait.
std::string ReadAnswer(int fd) {
    const auto until = std::chrono::steady_clock::now() + kAnswerWait;
    std::string line;
    while (line.size() < kMaxAnswer && line.find('\n') == std::string::npos) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            until - std::chrono::steady_clock::now());
        if (left.count() <= 0) break;
        pollfd p{fd, POLLIN, 0};
        const int n = ::poll(&p, 1, int(left.count()));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        char buf[kMaxAnswer];
        const ssize_t got = ::recv(fd, buf, kMaxAnswer - line.size(), 0);
        if (got < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (got <= 0) break;
        line.append(buf, size_t(got));
    }
    const size_t end = line.find('\n');
    return end == std::string::npos ? std::string() : line.substr(0, end);
}

enum class Asked { Ours, Foreign, Busy, Absent, Failed };

void SetOwner(RunLockHolder* holder, const platform::NameOwner& owner) {
    holder->m_known = owner.known;
    holder->m_uid = owner.uid;
    holder->m_pid = owner.pid;
    holder->m_user = owner.user;
}

// Asks whoever listens on `name` who they are.
Asked Ask(const std::string& name, RunLockHolder* holder, std::string* why) {
    int connected;
    switch (platform::connect_abstract(name, &connected, why)) {
        case platform::Probe::listening:
            break;
        case platform::Probe::busy:
            return Asked::Busy;
        case platform::Probe::absent:
            return Asked::Absent;
        case platform::Probe::failed:
            return Asked::Failed;
    }
    const UniqueFd fd(connected);
    SetOwner(holder, platform::peer_of(fd.get()));
    std::string tool, since;
    if (!ParseGreeting(ReadAnswer(fd.get()), &tool, &since)) return Asked::Foreign;
    holder->m_tool = tool;
    holder->m_since = since;
    return Asked::Ours;
}

std::string HeldBy(const std::string& key, const RunLockHolder& h) {
    return "lock unavailable: run lock " + key + " is held by " + h.m_user + " (pid " +
           std::to_string(h.m_pid) + ")";
}

}  // namespace

RunLock::RunLock(UniqueFd listenFd, UniqueFd stopFd, std::string greeting)
    : m_listenFd(std::move(listenFd)),
      m_stopFd(std::move(stopFd)),
      m_greeting(std::move(greeting)) {}

RunLock::~RunLock() {
    if (m_thread.joinable()) {
        const uint64_t one = 1;
        (void)!::write(m_stopFd.get(), &one, sizeof one);
        m_thread.join();
    }
}

void RunLock::Serve() {
    pollfd fds[2] = {{m_listenFd.get(), POLLIN, 0}, {m_stopFd.get(), POLLIN, 0}};
    for (;;) {
        const int n = ::poll(fds, 2, -1);
        if (n < 0 && errno == EINTR) continue;
        // Without poll there is no answering; the name stays held regardless.
        if (n < 0 || fds[1].revents != 0) return;
        for (int i = 0; i < kMaxAnswersPerWake; ++i) {
            const UniqueFd c(
                ::accept4(m_listenFd.get(), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK));
            if (!c) break;
            // One small write into an empty socket buffer never blocks; an
            // asker that went away is no concern of ours.
            (void)!::send(c.get(), m_greeting.data(), m_greeting.size(),
                          MSG_NOSIGNAL | MSG_DONTWAIT);
        }
    }
}

namespace {

// Why a name that is taken, but on which nobody answers (bound without
// listening, or a queue kept full), cannot be had; `holder` gets what is known.
std::string TakenSilently(const std::string& name, const std::string& key, RunLockHolder* holder) {
    const platform::NameOwner owner = platform::owner_of(name);
    SetOwner(holder, owner);
    return owner.known
               ? HeldBy(key, *holder)
               : "lock unavailable: run lock " + key + " is held by " + platform::describe(owner);
}

}  // namespace

std::unique_ptr<RunLock> RunLock::Hold(UniqueFd fd, const std::string& key, const std::string& tool,
                                       std::string* why) {
    UniqueFd stop(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!stop) {
        *why = "run lock " + key + ": eventfd: " + std::strerror(errno);
        return nullptr;
    }
    const std::string greeting = std::string(kGreetingWord) + " " +
                                 std::to_string(kGreetingVersion) + " tool=" + ToolWord(tool) +
                                 " since=" + UtcNow() + "\n";
    // Owns both descriptors from here, even if the thread fails.
    std::unique_ptr<RunLock> lock(new RunLock(std::move(fd), std::move(stop), greeting));
    // The thread wants no signals: it is born with all of them blocked, so
    // that a program's own handling (a thread in sigwait, EINTR in its main
    // loop) sees them as before.
    sigset_t all, old;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &old);
    try {
        lock->m_thread = std::thread(&RunLock::Serve, lock.get());
    } catch (...) {
        pthread_sigmask(SIG_SETMASK, &old, nullptr);
        throw;
    }
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    return lock;
}

std::unique_ptr<RunLock> RunLock::TryOnce(const std::string& name, const std::string& key,
                                          const std::string& tool, RunLockResult* result,
                                          RunLockHolder* holder, std::string* why, bool* done) {
    *done = true;
    int bound;
    std::string err;
    switch (platform::bind_abstract(name, &bound, &err)) {
        case platform::BindResult::bound: {
            auto lock = Hold(UniqueFd(bound), key, tool, why);
            if (lock) *result = RunLockResult::Granted;
            return lock;
        }
        case platform::BindResult::failed:
            *why = "run lock " + key + ": " + err;
            return nullptr;
        case platform::BindResult::in_use:
            break;
    }
    *holder = RunLockHolder{};
    switch (Ask(name, holder, &err)) {
        case Asked::Ours:
            *result = RunLockResult::Held;
            *why = "locked by another upgrade: " + holder->m_user + ", pid " +
                   std::to_string(holder->m_pid) + ", since " + holder->m_since;
            return nullptr;
        case Asked::Foreign:
            *why = HeldBy(key, *holder);
            return nullptr;
        case Asked::Failed:
            *why = "run lock " + key + ": " + err;
            return nullptr;
        case Asked::Busy:
            std::this_thread::sleep_for(kBusyRetry);
            break;
        case Asked::Absent:
            break;  // freed meanwhile, or bound by a non-listener
    }
    *done = false;
    return nullptr;
}

std::unique_ptr<RunLock> RunLock::TryAcquire(const std::string& key, const std::string& tool,
                                             RunLockResult* result, RunLockHolder* holder,
                                             std::string* why) {
    RunLockResult resultUnused;
    RunLockHolder holderUnused;
    std::string whyUnused;
    if (result == nullptr) result = &resultUnused;
    if (holder == nullptr) holder = &holderUnused;
    if (why == nullptr) why = &whyUnused;
    *result = RunLockResult::Unavailable;
    *holder = RunLockHolder{};
    why->clear();
    try {
        const std::string name = RunLockName(key);
        for (int attempt = 0; attempt < kMaxAttempts; ++attempt) {
            bool done = false;
            auto lock = TryOnce(name, key, tool, result, holder, why, &done);
            if (done) return lock;
        }
        *why = TakenSilently(name, key, holder);
    } catch (const std::exception& ex) {
        *result = RunLockResult::Unavailable;
        *why = "run lock " + key + ": " + ex.what();
    }
    return nullptr;
}

std::string RunLockKey(const std::string& resource, std::string* why) {
    const std::optional<std::string> key = InstrumentKey(resource);
    if (!key || key->empty()) {
        if (why != nullptr) *why = "\"" + resource + "\" is not a VISA resource string";
        return {};
    }
    return "instrument:" + *key;
}

std::string RunLockName(const std::string& key) {
    return kNamePrefix +
           platform::name_piece(key, platform::max_abstract_name - (sizeof kNamePrefix - 1));
}

std::string RunLockSerialKey(const std::string& model, const std::string& serial) {
    std::string key = "serial:" + model + "/" + serial;
    for (char& c : key)
        c = char(std::tolower(static_cast<unsigned char>(c)));
    return key;
}

}  // namespace workflow
