#include "workflow/engine_events.h"

#include <cstring>
#include <utility>

#include "update.h"

namespace workflow {

void SetEngineStreams(std::FILE* out, std::FILE* err) {
    update_set_streams(out, err);
}

EngineStreams* EngineStreams::s_current = nullptr;

EngineStreams::EngineStreams(LineFn diagnostic)
    : m_progress{nullptr, {}}, m_diagnostic{std::move(diagnostic), {}} {
    const cookie_io_functions_t functions{nullptr, &EngineStreams::WriteCookie, nullptr, nullptr};
    m_out = fopencookie(&m_progress, "w", functions);
    m_err = fopencookie(&m_diagnostic, "w", functions);
    // Unbuffered: a line reaches its callback when the engine writes it.
    if (m_out) std::setvbuf(m_out, nullptr, _IONBF, 0);
    if (m_err) std::setvbuf(m_err, nullptr, _IONBF, 0);
    update_set_streams(m_out, m_err);
    m_previous = s_current;
    s_current = this;
}

EngineStreams::~EngineStreams() {
    if (m_previous)
        update_set_streams(m_previous->m_out, m_previous->m_err);
    else
        update_set_streams(nullptr, nullptr);
    s_current = m_previous;
    if (m_out) std::fclose(m_out);
    if (m_err) std::fclose(m_err);
}

ssize_t EngineStreams::WriteCookie(void* cookie, const char* data, std::size_t size) {
    auto* sink = static_cast<Sink*>(cookie);
    for (std::size_t i = 0; i < size; ++i) {
        const char c = data[i];
        if (c != '\n') {
            sink->m_pending += c;
            continue;
        }
        // Only a line feed ends a line: a carriage return inside one (an
        // instrument's reply quoted in it) is shown written out, never taken
        // for the start of a line of its own. A reply's CR LF ends as LF does.
        if (!sink->m_pending.empty() && sink->m_pending.back() == '\r') sink->m_pending.pop_back();
        if (!sink->m_pending.empty() && sink->m_line) sink->m_line(sink->m_pending);
        sink->m_pending.clear();
    }
    return static_cast<ssize_t>(size);
}

// ---- typed engine events ----------------------------------------------------

struct EngineEvents::Hooks {
    static EngineEvents* Self(void* context) { return static_cast<EngineEvents*>(context); }

    static void OnOperation(void* context, const char* operation, const char* resource, bool ended,
                            int result) {
        EngineEvents* self = Self(context);
        if (!ended) {
            // What a failure says is about the operation it ends.
            self->m_operationStart = std::chrono::steady_clock::now();
            self->m_failureAt = self->m_operationStart;
            self->m_failure = {};
            self->m_failure.m_operation = operation;
            self->m_failure.m_resource = resource ? resource : "";
            if (std::strcmp(operation, "image") == 0) self->m_bytesSent = 0;
        }
        if (self->m_callbacks.m_operation) self->m_callbacks.m_operation(operation, ended, result);
    }
    static void OnBytes(EngineEvents* self, std::int64_t sent, std::int64_t total, bool blockEnd) {
        self->m_bytesSent = sent;
        if (self->m_callbacks.m_bytes) self->m_callbacks.m_bytes(sent, total, blockEnd);
    }
    static void OnBytesSent(void* context, const char*, std::int64_t sent, std::int64_t total) {
        OnBytes(Self(context), sent, total, false);
    }
    static void OnBlockSent(void* context, const char*, std::int64_t sent, std::int64_t total) {
        OnBytes(Self(context), sent, total, true);
    }
    static void OnProgramming(void* context, const char*) {
        EngineEvents* self = Self(context);
        if (self->m_callbacks.m_programming) self->m_callbacks.m_programming();
    }
    static void OnLocked(void* context, const char*) {
        EngineEvents* self = Self(context);
        self->m_locked = true;
        self->m_lockedIn = self->m_failure.m_operation;
        self->m_failure.m_locked = true;
        // Called right after the refused viLock, on its thread.
        self->m_lockRefusal = LastConnectFailure();
    }
    static void OnVisaError(void* context, ViStatus status, const char* function, const char*) {
        EngineEvents* self = Self(context);
        // The first failure of an operation is its cause; what follows (an
        // unlock or close after a lost link) is consequence.
        if (self->m_failure.m_status != VI_SUCCESS) return;
        self->m_failure.m_status = status;
        self->m_failure.m_function = function ? function : "";
        self->m_failureAt = std::chrono::steady_clock::now();
    }
    static void OnScpiError(void* context, const char* entry) {
        Self(context)->m_failure.m_scpiErrors.emplace_back(entry ? entry : "");
    }
};

EngineEvents::EngineEvents(Callbacks callbacks)
    : m_observer(std::make_unique<update_observer>()), m_callbacks(std::move(callbacks)) {
    m_observer->context = this;
    m_observer->on_operation = &Hooks::OnOperation;
    m_observer->on_bytes_sent = &Hooks::OnBytesSent;
    m_observer->on_block_sent = &Hooks::OnBlockSent;
    m_observer->on_programming = &Hooks::OnProgramming;
    m_observer->on_locked = &Hooks::OnLocked;
    m_observer->on_visa_error = &Hooks::OnVisaError;
    m_observer->on_scpi_error = &Hooks::OnScpiError;
    m_installed = update_add_observer(m_observer.get());
}

EngineEvents::~EngineEvents() {
    if (m_installed) update_remove_observer(m_observer.get());
}

EngineFailure EngineEvents::Failure() const {
    EngineFailure failure = m_failure;
    // A failure is timed to its first failed call; without one, to now.
    const auto end =
        failure.m_status != VI_SUCCESS ? m_failureAt : std::chrono::steady_clock::now();
    failure.m_elapsedS = std::chrono::duration<double>(end - m_operationStart).count();
    return failure;
}

}  // namespace workflow
