// What the engine and the VISA library tell the command line while a run
// talks to an instrument: the engine's printed lines, which become
// diagnostics; its typed events, from which every decision is made; and the
// library's log lines, which name the cause of a failed connection.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "update.h"

namespace cli {

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
        LineFn line;
        std::string pending;
    };
    static ssize_t write_cookie(void* cookie, const char* data, std::size_t size);

    static EngineStreams* current_;
    EngineStreams* previous_ = nullptr;
    Sink progress_;
    Sink diagnostic_;
    std::FILE* out_ = nullptr;
    std::FILE* err_ = nullptr;
};

// A VISA call of the engine that failed.
struct VisaFailure {
    ViStatus status = VI_SUCCESS;  // VI_SUCCESS: none
    std::string function;          // "viOpen", "viWrite", ...
    std::string resource;
};

// An engine observer for as long as it lives, keeping what the engine
// reported as values. The callbacks, each optional, are called on the
// engine's thread as the events come; the state is read on that thread too.
class EngineEvents {
public:
    struct Callbacks {
        // An entry operation begins (`ended` false) or ends with `result`.
        std::function<void(const std::string& operation, bool ended, int result)> operation;
        // Image bytes sent so far of `total`; `block_end` when a block was
        // sent and taken.
        std::function<void(int64_t sent, int64_t total, bool block_end)> bytes;
        std::function<void()> programming;
    };

    // False from installed() when the engine already has as many observers
    // as it takes; the run then goes on without typed state.
    explicit EngineEvents(Callbacks callbacks = {});
    ~EngineEvents();
    EngineEvents(const EngineEvents&) = delete;
    EngineEvents& operator=(const EngineEvents&) = delete;

    bool installed() const { return installed_; }
    // Another session held the instrument's lock in some operation.
    bool locked() const { return locked_; }
    // The operation that found the lock held, "" when none did.
    const std::string& locked_in() const { return locked_in_; }
    // When a lock name held outside this process kept it out, who holds it:
    // "lock unavailable: <name> is held by <user> (uid <uid>), pid <pid>";
    // "" when the library in use does not say (another machine's lock, a
    // vendor library).
    const std::string& lock_refusal() const { return lock_refusal_; }
    const VisaFailure& last_failure() const { return failure_; }
    const std::vector<std::string>& scpi_errors() const { return scpi_errors_; }
    // Of the image under way or last sent: bytes the instrument is known to
    // have taken (the engine reports them at least every MiB and 100 ms, so
    // after a failure the true count may be a little higher).
    int64_t bytes_sent() const { return bytes_sent_; }
    // How long the current (or last) operation has run.
    std::chrono::steady_clock::duration operation_time() const;

private:
    static void on_operation(void* context, const char* operation, const char* resource, bool ended,
                             int result);
    static void on_bytes_sent(void* context, const char* image, int64_t sent, int64_t total);
    static void on_block_sent(void* context, const char* image, int64_t sent, int64_t total);
    static void on_programming(void* context, const char* image);
    static void on_locked(void* context, const char* resource);
    static void on_visa_error(void* context, ViStatus status, const char* function,
                              const char* resource);
    static void on_scpi_error(void* context, const char* entry);

    update_observer observer_{};
    Callbacks callbacks_;
    bool installed_ = false;
    bool locked_ = false;
    std::string operation_;
    std::string locked_in_;
    std::string lock_refusal_;
    VisaFailure failure_;
    std::vector<std::string> scpi_errors_;
    int64_t bytes_sent_ = 0;
    std::chrono::steady_clock::time_point operation_start_ = std::chrono::steady_clock::now();
    std::chrono::steady_clock::time_point failure_at_ = operation_start_;
};

// The VISA library's log for this process: the lines since the engine's
// current operation began are kept (the last few), to name what a failed
// connection met; with `forward`, every line is passed on as well (FW_VISA_LOG
// shows them all). One instance at a time, installed for its lifetime.
class VisaLogTail {
public:
    using LineFn = std::function<void(const std::string& line)>;
    explicit VisaLogTail(LineFn forward = nullptr);
    ~VisaLogTail();
    VisaLogTail(const VisaLogTail&) = delete;
    VisaLogTail& operator=(const VisaLogTail&) = delete;

    // Forgets the lines kept so far: a new operation begins. Safe without
    // an instance.
    static void mark();
    // The lines kept since the last mark, oldest first; none without an
    // instance.
    static std::vector<std::string> lines();
};

// Why an instrument could not be reached, in plain words, from the
// library's log lines of the failed operation ("connecting to
// 127.0.0.190:111: connection refused (the portmapper)"), else from the
// failed call's status; `elapsed_s` is how long the operation tried.
// Empty when neither says anything.
std::string unreachable_cause(const std::vector<std::string>& log_lines, const VisaFailure& failure,
                              double elapsed_s);

// unreachable_cause of the engine's last operation, from the library's lines
// kept since it began.
std::string connection_cause(const EngineEvents& events);

// "1.5 MiB of 4.0 MiB  37%  820 KiB/s  3 s left": an image's progress for a
// terminal line, after `seconds` of sending. Rate and time left only once
// they can be told.
std::string progress_text(int64_t sent, int64_t total, double seconds);

}  // namespace cli
