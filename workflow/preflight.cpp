#include "workflow/preflight.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <vector>

#include "update.h"
#include "workflow/identification.h"
#include "workflow/run_lock.h"
#include "workflow/visa_extension.h"

namespace workflow {

namespace {

// What the engine met while it identified.
struct EngineWatch {
    bool locked = false;
    long status = 0;
    std::string function;

    static void OnLocked(void* context, const char*) {
        static_cast<EngineWatch*>(context)->locked = true;
    }
    static void OnVisaError(void* context, ViStatus status, const char* function, const char*) {
        auto* self = static_cast<EngineWatch*>(context);
        if (self->status != 0) return;  // what follows is consequence
        self->status = status;
        self->function = function ? function : "";
    }
};

// Takes the run lock `key` for as long as `held` lives; false, with the
// probe's failure set, when another run holds it.
bool TakeRunLock(const std::string& key, const std::string& tool, InstrumentProbe& probe,
                 std::vector<std::unique_ptr<RunLock>>& held) {
    RunLockResult result = RunLockResult::Unavailable;
    RunLockHolder holder;
    std::string why;
    auto lock = RunLock::TryAcquire(key, tool, &result, &holder, &why);
    if (lock) {
        held.push_back(std::move(lock));
        return true;
    }
    probe.m_runLockFree = false;
    probe.m_runLockWhy = why;
    probe.m_cause = MakeCause(Cause::Kind::Locked, why);
    if (holder.m_known) probe.m_cause.m_holder = holder.m_user;
    probe.m_cause.m_since = holder.m_since;
    return false;
}

// Asks who the instrument is on an engine of this call's own; `failure`
// gets what the engine met.
void Identify(const std::string& resource, InstrumentProbe& probe, EngineFailure& failure) {
    update_engine engine;
    char* text = nullptr;
    std::size_t length = 0;
    std::FILE* sink = ::open_memstream(&text, &length);
    engine.set_streams(sink, sink);
    EngineWatch watch;
    update_observer observer{};
    observer.context = &watch;
    observer.on_locked = &EngineWatch::OnLocked;
    observer.on_visa_error = &EngineWatch::OnVisaError;
    engine.add_observer(&observer);
    const auto began = std::chrono::steady_clock::now();
    char reply[kIdentityReplySize] = {};
    engine.identify(resource.c_str(), reply, sizeof reply, kIdentifyTimeoutMs);
    failure.m_elapsedS =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
    engine.remove_observer(&observer);
    engine.set_streams(nullptr, nullptr);
    if (sink) std::fclose(sink);
    probe.m_engineText = text ? std::string(text, length) : "";
    std::free(text);
    probe.m_reply = reply;
    while (!probe.m_reply.empty() && (probe.m_reply.back() == '\n' || probe.m_reply.back() == '\r'))
        probe.m_reply.pop_back();
    probe.m_answered = !probe.m_reply.empty();
    probe.m_accepted = IsAcceptedIdentity(reply);
    probe.m_fields = SplitIdentity(probe.m_reply);
    probe.m_visaLockFree = !watch.locked;
    failure.m_resource = resource;
    failure.m_operation = "identify";
    failure.m_status = watch.status;
    failure.m_function = watch.function;
    failure.m_locked = watch.locked;
}

}  // namespace

InstrumentProbe ProbeInstrument(const std::string& resource, const std::string& tool) {
    InstrumentProbe probe;
    std::vector<std::unique_ptr<RunLock>> held;
    // Every name of one instrument gives one key; a name the library cannot
    // parse is left to the serial number, as a run leaves it.
    std::string why;
    if (const std::string key = RunLockKey(resource, &why);
        !key.empty() && !TakeRunLock(key, tool, probe, held))
        return probe;
    EngineFailure failure;
    Identify(resource, probe, failure);
    if (probe.m_answered && !probe.m_accepted && !failure.m_locked) {
        probe.m_cause = NotAcceptedCause(probe.m_reply);
    } else if (!probe.m_accepted) {
        probe.m_cause = CauseOf(failure, LastConnectFailure());
    } else if (!probe.m_fields.serial.empty()) {
        TakeRunLock(RunLockSerialKey(probe.m_fields.model, probe.m_fields.serial), tool, probe,
                    held);
    }
    return probe;
}

}  // namespace workflow
