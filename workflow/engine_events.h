// What the engine tells while it talks to an instrument, as the command line
// takes it: its printed lines, off the process's streams, and its typed
// events, from which every decision and every cause is made.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "workflow/outcome.h"
#include "workflow/visa_extension.h"

struct update_observer;

namespace workflow {

// Where the engine prints for the rest of the process: its progress text to
// `out`, its diagnostics to `err` (for a program that shows them as they
// are, such as the window's standard streams).
void SetEngineStreams(std::FILE* out, std::FILE* err);

class EngineStreams {
public:
    using LineFn = std::function<void(const std::string& line)>;

    // Installs the streams for the engine until destruction, when those of
    // the instance it replaced come back (instances nest). Each diagnostic
    // line goes to `diagnostic` (lines end at "\n", a "\r" just before it is
    // dropped, blank lines are dropped). The engine's progress text is
    // dropped: its events say more.
    explicit EngineStreams(LineFn diagnostic);
    ~EngineStreams();
    EngineStreams(const EngineStreams&) = delete;
    EngineStreams& operator=(const EngineStreams&) = delete;

private:
    struct Sink {
        LineFn m_line;
        std::string m_pending;
    };
    static ssize_t WriteCookie(void* cookie, const char* data, std::size_t size);

    static EngineStreams* s_current;
    EngineStreams* m_previous = nullptr;
    Sink m_progress;
    Sink m_diagnostic;
    std::FILE* m_out = nullptr;
    std::FILE* m_err = nullptr;
};

// An engine observer for as long as it lives, keeping what the engine
// reported as values. The callbacks, each optional, are called on the
// engine's thread as the events come; the state is read on that thread too.
class EngineEvents {
public:
    struct Callbacks {
        // An entry operation begins (`ended` false) or ends with `result`.
        std::function<void(const std::string& operation, bool ended, int result)> m_operation;
        // Image bytes sent so far of `total`; `blockEnd` when a block was
        // sent and taken.
        std::function<void(std::int64_t sent, std::int64_t total, bool blockEnd)> m_bytes;
        std::function<void()> m_programming;
    };

    // False from Installed() when the engine took no observer; the run then
    // goes on without typed state.
    explicit EngineEvents(Callbacks callbacks = {});
    ~EngineEvents();
    EngineEvents(const EngineEvents&) = delete;
    EngineEvents& operator=(const EngineEvents&) = delete;

    bool Installed() const { return m_installed; }
    // Another session held the instrument's lock in some operation, and in
    // which ("" when none did).
    bool Locked() const { return m_locked; }
    const std::string& LockedIn() const { return m_lockedIn; }
    // What the library recorded of the refused lock (who holds it), when it says.
    const std::optional<ConnectFailure>& LockRefusal() const { return m_lockRefusal; }
    // The current (or last) operation as a failure: its first failed VISA
    // call, whether it met a held lock, the instrument's error queue and how
    // long it had run. Its cause: CauseOf(Failure(), LastConnectFailure()).
    EngineFailure Failure() const;
    // Of the image under way or last sent: bytes the instrument is known to
    // have taken (the engine reports them at least every MiB and 100 ms, so
    // after a failure the true count may be a little higher).
    std::int64_t BytesSent() const { return m_bytesSent; }

private:
    // The engine's callbacks, which reach the members below.
    struct Hooks;
    friend struct Hooks;

    std::unique_ptr<update_observer> m_observer;
    Callbacks m_callbacks;
    bool m_installed = false;
    bool m_locked = false;
    std::string m_lockedIn;
    std::optional<ConnectFailure> m_lockRefusal;
    EngineFailure m_failure;  // of the current operation
    std::int64_t m_bytesSent = 0;
    std::chrono::steady_clock::time_point m_operationStart = std::chrono::steady_clock::now();
    std::chrono::steady_clock::time_point m_failureAt = m_operationStart;
};

}  // namespace workflow
