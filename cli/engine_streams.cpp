#include "engine_streams.h"

#include <cctype>
#include <cmath>
#include <cstring>
#include <deque>
#include <mutex>
#include <optional>
#include <utility>

#include "visa/lock_table.h"
#include "visa/log.h"

namespace cli {

EngineStreams::EngineStreams(LineFn diagnostic)
    : progress_{nullptr, {}}, diagnostic_{std::move(diagnostic), {}} {
    const cookie_io_functions_t functions{nullptr, &EngineStreams::write_cookie, nullptr, nullptr};
    out_ = fopencookie(&progress_, "w", functions);
    err_ = fopencookie(&diagnostic_, "w", functions);
    // Unbuffered: a line reaches its callback when the engine writes it.
    if (out_) std::setvbuf(out_, nullptr, _IONBF, 0);
    if (err_) std::setvbuf(err_, nullptr, _IONBF, 0);
    update_set_streams(out_, err_);
    previous_ = current_;
    current_ = this;
}

EngineStreams* EngineStreams::current_ = nullptr;

EngineStreams::~EngineStreams() {
    if (previous_)
        update_set_streams(previous_->out_, previous_->err_);
    else
        update_set_streams(nullptr, nullptr);
    current_ = previous_;
    if (out_) std::fclose(out_);
    if (err_) std::fclose(err_);
}

ssize_t EngineStreams::write_cookie(void* cookie, const char* data, std::size_t size) {
    auto* sink = static_cast<Sink*>(cookie);
    for (std::size_t i = 0; i < size; ++i) {
        const char c = data[i];
        if (c != '\n') {
            sink->pending += c;
            continue;
        }
        // Only a line feed ends a line: a carriage return inside one (an
        // instrument's reply quoted in it) is shown written out, never taken
        // for the start of a line of its own. A reply's CR LF ends as LF does.
        if (!sink->pending.empty() && sink->pending.back() == '\r') sink->pending.pop_back();
        if (!sink->pending.empty() && sink->line) sink->line(sink->pending);
        sink->pending.clear();
    }
    return static_cast<ssize_t>(size);
}

// ---- typed engine events ----------------------------------------------------

EngineEvents::EngineEvents(Callbacks callbacks) : callbacks_(std::move(callbacks)) {
    observer_.context = this;
    observer_.on_operation = &EngineEvents::on_operation;
    observer_.on_bytes_sent = &EngineEvents::on_bytes_sent;
    observer_.on_block_sent = &EngineEvents::on_block_sent;
    observer_.on_programming = &EngineEvents::on_programming;
    observer_.on_locked = &EngineEvents::on_locked;
    observer_.on_visa_error = &EngineEvents::on_visa_error;
    observer_.on_scpi_error = &EngineEvents::on_scpi_error;
    installed_ = update_add_observer(&observer_);
}

EngineEvents::~EngineEvents() {
    if (installed_) update_remove_observer(&observer_);
}

std::chrono::steady_clock::duration EngineEvents::operation_time() const {
    return failure_at_ - operation_start_;
}

void EngineEvents::on_operation(void* context, const char* operation, const char* /*resource*/,
                                bool ended, int result) {
    auto* self = static_cast<EngineEvents*>(context);
    if (!ended) {
        // What a failure says is about the operation it ends.
        self->operation_ = operation;
        self->operation_start_ = std::chrono::steady_clock::now();
        self->failure_at_ = self->operation_start_;
        self->failure_ = {};
        if (std::strcmp(operation, "image") == 0) self->bytes_sent_ = 0;
        VisaLogTail::mark();
    }
    if (self->callbacks_.operation) self->callbacks_.operation(operation, ended, result);
}

void EngineEvents::on_bytes_sent(void* context, const char* /*image*/, int64_t sent,
                                 int64_t total) {
    auto* self = static_cast<EngineEvents*>(context);
    self->bytes_sent_ = sent;
    if (self->callbacks_.bytes) self->callbacks_.bytes(sent, total, false);
}

void EngineEvents::on_block_sent(void* context, const char* /*image*/, int64_t sent,
                                 int64_t total) {
    auto* self = static_cast<EngineEvents*>(context);
    self->bytes_sent_ = sent;
    if (self->callbacks_.bytes) self->callbacks_.bytes(sent, total, true);
}

void EngineEvents::on_programming(void* context, const char* /*image*/) {
    auto* self = static_cast<EngineEvents*>(context);
    if (self->callbacks_.programming) self->callbacks_.programming();
}

void EngineEvents::on_locked(void* context, const char* /*resource*/) {
    auto* self = static_cast<EngineEvents*>(context);
    self->locked_ = true;
    self->locked_in_ = self->operation_;
    // Called right after the refused viLock, on its thread.
    const std::optional<visa::LockRefusal> refusal = visa::LockTable::last_refusal();
    self->lock_refusal_ = refusal ? refusal->text() : std::string();
}

void EngineEvents::on_visa_error(void* context, ViStatus status, const char* function,
                                 const char* resource) {
    auto* self = static_cast<EngineEvents*>(context);
    // The first failure of an operation is its cause; what follows (an
    // unlock or close after a lost link) is consequence.
    if (self->failure_.status != VI_SUCCESS) return;
    self->failure_ = {status, function ? function : "", resource ? resource : ""};
    self->failure_at_ = std::chrono::steady_clock::now();
}

void EngineEvents::on_scpi_error(void* context, const char* entry) {
    static_cast<EngineEvents*>(context)->scpi_errors_.emplace_back(entry ? entry : "");
}

// ---- the VISA library's log ---------------------------------------------------

namespace {

// A failed connection logs three or four lines; more than this is history.
constexpr std::size_t kKeptLines = 16;

struct TailState {
    std::mutex mutex;
    bool installed = false;
    VisaLogTail::LineFn forward;
    std::deque<std::string> lines;
};

TailState& tail() {
    static TailState state;
    return state;
}

void keep_line(const char* line) {
    TailState& state = tail();
    VisaLogTail::LineFn forward;
    {
        std::lock_guard lock(state.mutex);
        state.lines.emplace_back(line);
        if (state.lines.size() > kKeptLines) state.lines.pop_front();
        forward = state.forward;
    }
    if (forward) forward(line);
}

}  // namespace

VisaLogTail::VisaLogTail(LineFn forward) {
    {
        std::lock_guard lock(tail().mutex);
        tail().installed = true;
        tail().forward = std::move(forward);
        tail().lines.clear();
    }
    visa::set_log_sink(&keep_line);
}

VisaLogTail::~VisaLogTail() {
    visa::set_log_sink(nullptr);
    std::lock_guard lock(tail().mutex);
    tail().installed = false;
    tail().forward = nullptr;
    tail().lines.clear();
}

void VisaLogTail::mark() {
    std::lock_guard lock(tail().mutex);
    tail().lines.clear();
}

std::vector<std::string> VisaLogTail::lines() {
    std::lock_guard lock(tail().mutex);
    return {tail().lines.begin(), tail().lines.end()};
}

// ---- causes in plain words ------------------------------------------------------

namespace {

// The text after `marker` in `line`, or nothing.
std::optional<std::string> after(const std::string& line, const std::string& marker) {
    const std::size_t at = line.find(marker);
    if (at == std::string::npos) return std::nullopt;
    return line.substr(at + marker.size());
}

std::string seconds_text(double seconds) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f s", seconds);
    return text;
}

// What is served at `address`, as the lines around the failed connection
// name it: " (the portmapper)" and the like, or "".
std::string service_at(const std::vector<std::string>& lines, const std::string& address) {
    static const std::pair<const char*, const char*> kServices[] = {
        {"no portmapper at ", " (the portmapper, which VXI-11 asks first)"},
        {"no HiSLIP server at ", " (HiSLIP)"},
        {"no socket service at ", " (raw socket)"},
    };
    for (const std::string& line : lines)
        for (const auto& [marker, name] : kServices)
            if (after(line, marker) == address) return name;
    return "";
}

}  // namespace

std::string unreachable_cause(const std::vector<std::string>& log_lines, const VisaFailure& failure,
                              double elapsed_s) {
    // The most telling line first, whatever order they came in.
    for (const std::string& line : log_lines) {
        const std::optional<std::string> rest = after(line, "connecting to ");
        if (!rest) continue;
        const std::size_t colon = rest->find(": ");
        if (colon == std::string::npos) continue;
        const std::string address = rest->substr(0, colon);
        std::string reason = rest->substr(colon + 2);
        if (reason == "no answer in time")
            reason = "timed out after " + seconds_text(elapsed_s);
        else if (!reason.empty())
            reason[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(reason[0])));
        return "connecting to " + address + service_at(log_lines, address) + ": " + reason;
    }
    for (const std::string& line : log_lines) {
        if (const auto rest = after(line, "portmapper at "); rest) {
            const std::size_t end = rest->find(" gave no usable answer");
            if (end != std::string::npos)
                return "the portmapper at " + rest->substr(0, end) + " did not answer within " +
                       seconds_text(elapsed_s);
        }
        if (const auto rest = after(line, "no VXI-11 core registered at "); rest)
            return "no VXI-11 server is registered with the portmapper at " + *rest;
        if (const auto rest = after(line, ": resolving "); rest) return "resolving " + *rest;
    }
    if (failure.status == VI_SUCCESS) return "";
    if (failure.function == "viRead" && failure.status == VI_ERROR_TMO)
        return "connected, but no reply within " + seconds_text(elapsed_s);
    ViChar description[256] = "";
    if (viStatusDesc(VI_NULL, failure.status, description) < VI_SUCCESS) description[0] = '\0';
    char code[16];
    std::snprintf(code, sizeof code, "0x%08X", static_cast<unsigned>(failure.status));
    return failure.function + " failed: " + (description[0] ? description : code);
}

std::string connection_cause(const EngineEvents& events) {
    return unreachable_cause(VisaLogTail::lines(), events.last_failure(),
                             std::chrono::duration<double>(events.operation_time()).count());
}

namespace {

std::string size_text(double bytes) {
    char text[32];
    if (bytes < 1024)
        std::snprintf(text, sizeof text, "%.0f B", bytes);
    else if (bytes < 1024.0 * 1024)
        std::snprintf(text, sizeof text, "%.1f KiB", bytes / 1024);
    else
        std::snprintf(text, sizeof text, "%.1f MiB", bytes / (1024.0 * 1024));
    return text;
}

}  // namespace

std::string progress_text(int64_t sent, int64_t total, double seconds) {
    std::string text = size_text(static_cast<double>(sent));
    if (total > 0) {
        text += " of " + size_text(static_cast<double>(total)) + "  " +
                std::to_string(sent * 100 / total) + "%";
    }
    // A rate from the first moments says nothing yet.
    if (seconds < 0.2 || sent <= 0) return text;
    const double rate = static_cast<double>(sent) / seconds;
    text += "  " + size_text(rate) + "/s";
    if (total > sent) {
        const auto left = static_cast<long>(std::ceil(static_cast<double>(total - sent) / rate));
        char when[32];
        if (left >= 60)
            std::snprintf(when, sizeof when, "%ld:%02ld left", left / 60, left % 60);
        else
            std::snprintf(when, sizeof when, "%ld s left", left);
        text += "  " + std::string(when);
    }
    return text;
}

}  // namespace cli
