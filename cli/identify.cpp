// list and identify, and the identification they share with upgrade.
#include <algorithm>
#include <chrono>
#include <memory>
#include <optional>
#include <set>

#include <unistd.h>

#include "commands.h"
#include "engine_streams.h"
#include "exit_codes.h"
#include "interrupt.h"
#include "workflow/discovery.h"
#include "workflow/identification.h"
#include "workflow/images.h"
#include "workflow/operator.h"
#include "workflow/upgrade.h"
#include "workflow/visa_extension.h"

namespace cli {

namespace {

using workflow::TextOrNull;

std::string describe(const Identification& id) {
    if (!id.accepted) return id.cause.m_sentence;
    return id.fields.model + ", serial " + id.fields.serial + ", firmware " + id.fields.firmware;
}

// list --discover: one LAN search through the library, in the window
// visa.conf sets for the library's own find (which, with "discover = lan",
// takes this search's result instead of waiting again).
workflow::LanSearch search_lan(Output& out) {
    workflow::LanSearch search = workflow::SearchLan(std::chrono::milliseconds(0));
    if (!search.m_supported)
        out.diagnostic("fwupgrade: the VISA library in use cannot search the LAN");
    else if (!search.m_error.empty())
        out.diagnostic("fwupgrade: " + search.m_error);
    else if (search.m_noNetwork)
        out.diagnostic("fwupgrade: no up, broadcast-capable IPv4 interface: no LAN searched");
    else if (!search.m_mdnsSkipped.empty())
        out.diagnostic("fwupgrade: mDNS skipped: " + search.m_mdnsSkipped);
    return search;
}

// Of `found`, those `listed` does not name yet (compared in the library's
// spelling), each once.
workflow::LanSearch not_listed(const std::vector<std::string>& listed, workflow::LanSearch found) {
    auto spelling = [](const std::string& r) {
        const std::optional<workflow::ParsedResource> p = workflow::ParseResource(r);
        return p ? p->m_canonical : r;
    };
    std::set<std::string> named;
    for (const std::string& r : listed)
        named.insert(spelling(r));
    workflow::LanSearch fresh;
    for (std::size_t i = 0; i < found.m_found.size(); ++i) {
        if (!named.insert(spelling(found.m_found[i])).second) continue;
        fresh.m_found.push_back(found.m_found[i]);
        fresh.m_how.push_back(i < found.m_how.size() ? found.m_how[i] : "");
    }
    return fresh;
}

int identification_exit(const Identification& id) {
    if (id.locked) return exit_locked;
    return id.accepted ? exit_ok : exit_not_found;
}

}  // namespace

std::string image_name(const std::string& id) {
    for (const workflow::ImageInfo& image : workflow::kImages)
        if (id == image.m_id) return image.m_name;
    return id;
}

Identification identify(const std::string& instrument) {
    Identification id;
    id.resource = workflow::ResourceFromInstrumentText(instrument);
    const EngineStreams streams(nullptr);
    const EngineEvents events;
    std::string family;
    std::string host_file;
    std::string reply;
    id.accepted = workflow::IdentifyInstrument(id.resource, family, host_file, &reply);
    // On this thread, right after the call that may have failed.
    const std::optional<workflow::ConnectFailure> connect = workflow::LastConnectFailure();
    while (!reply.empty() && (reply.back() == '\n' || reply.back() == '\r'))
        reply.pop_back();
    id.answered = !reply.empty();
    id.locked = events.Locked();
    id.reply = reply;
    id.fields = workflow::SplitIdentity(reply);
    if (!id.accepted) id.cause = identification_cause(id, events, connect);
    return id;
}

workflow::Cause identification_cause(const Identification& id, const EngineEvents& events,
                                     const std::optional<workflow::ConnectFailure>& connect) {
    if (id.answered && !id.locked) return workflow::NotAcceptedCause(id.reply);
    workflow::EngineFailure failure = events.Failure();
    failure.m_operation = "identify";
    failure.m_resource = id.resource;
    return workflow::CauseOf(failure, id.locked ? events.LockRefusal() : connect);
}

workflow::Json identification_json(const Identification& id) {
    using workflow::Json;
    return Json{{"resource", id.resource},
                {"answered", id.answered},
                {"accepted", id.accepted},
                {"locked", id.locked},
                {"identity", TextOrNull(id.reply)},
                {"maker", TextOrNull(id.fields.maker)},
                {"model", TextOrNull(id.fields.model)},
                {"serial", TextOrNull(id.fields.serial)},
                {"firmware", TextOrNull(id.fields.firmware)},
                {"reason", workflow::ReasonJson(id.cause)}};
}

workflow::Json finished_fields(const char* command, int code, const workflow::Cause& cause) {
    workflow::Json fields{{"command", command},
                          {"result", result_word(code, workflow::KindWord(cause.m_kind))},
                          {"exit_code", code},
                          {"message", TextOrNull(cause.m_sentence)}};
    if (cause.failed()) fields["reason"] = workflow::ReasonJson(cause);
    return fields;
}

// While instruments are asked who they are, a stop ends the command at once:
// asking changes nothing on an instrument.
static void stop_at_once_while_identifying(Output& out, const char* command) {
    interrupt::on_first([&out, command] {
        const std::string message = "stopped on request while identifying";
        out.diagnostic(std::string("fwupgrade: ") + message);
        out.event("finished", finished_fields(command, exit_interrupted,
                                              workflow::MakeCause(
                                                  workflow::Cause::Kind::Interrupted, message)));
        ::_exit(exit_interrupted);
    });
}

int run_list(const CommandLine& settings, Output& out) {
    using workflow::Json;
    workflow::LanSearch found;
    if (settings.discover) found = search_lan(out);
    // Discovery reports to a window; here nothing is shown while it runs.
    workflow::SilentOperator op;
    const workflow::FoundInstruments listed =
        workflow::FindInstruments(op, workflow::kFindInstrumentsAndSockets);
    if (!listed.m_searched) {
        // Nothing at all can be reached without the resource manager.
        workflow::Cause cause =
            workflow::MakeCause(workflow::Cause::Kind::Unreachable, listed.m_error);
        cause.m_stage = "resource manager";
        out.diagnostic("fwupgrade: " + listed.m_error);
        out.event("finished", finished_fields("list", exit_error, cause));
        return exit_error;
    }
    const std::vector<std::string>& resources = listed.m_resources;
    found = not_listed(resources, std::move(found));
    auto show = [&](const std::string& resource, const char* how) {
        Json fields{{"resource", resource}};
        std::string human = resource;
        if (settings.identify) {
            const Identification id = identify(resource);
            fields = identification_json(id);
            human += "  " + describe(id);
        }
        if (how != nullptr) fields["found_by"] = how;
        out.event("instrument", fields, human);
    };
    if (settings.identify) stop_at_once_while_identifying(out, "list");
    for (const std::string& resource : resources)
        show(resource, nullptr);
    for (std::size_t i = 0; i < found.m_found.size(); ++i)
        show(found.m_found[i], found.m_how[i].c_str());
    interrupt::on_first(nullptr);
    if (resources.empty() && found.m_found.empty()) out.text("No instruments found.");
    Json fields = finished_fields("list", exit_ok, {});
    fields["count"] = resources.size() + found.m_found.size();
    out.event("finished", fields);
    return exit_ok;
}

int run_identify(const CommandLine& settings, Output& out) {
    using workflow::Json;
    // The engine holds at most this much; longer is bad input, not an
    // instrument that failed to answer.
    const std::string resource = workflow::ResourceFromInstrumentText(settings.resources.front());
    if (resource.size() > workflow::kMaxResourceChars) {
        const workflow::Cause cause = workflow::MakeCause(
            workflow::Cause::Kind::Usage,
            "the resource is too long (" + std::to_string(resource.size()) +
                " characters, at most " + std::to_string(workflow::kMaxResourceChars) + ")");
        out.diagnostic("fwupgrade: " + cause.m_sentence);
        Json fields = finished_fields("identify", exit_usage, cause);
        fields["resource"] = resource;
        out.event("finished", fields);
        return exit_usage;
    }
    // Rather than after the reply's time limit.
    stop_at_once_while_identifying(out, "identify");
    const Identification id = identify(resource);
    interrupt::on_first(nullptr);
    const int code = identification_exit(id);
    // A failure is said once, on standard error; an answer on standard output.
    out.event("identified", identification_json(id),
              code == exit_ok ? id.resource + "  " + describe(id) : std::string());
    if (code != exit_ok)
        out.diagnostic("fwupgrade: " + id.resource + ": " + describe(id), id.resource);
    Json fields = finished_fields("identify", code, id.cause);
    fields["resource"] = id.resource;
    out.event("finished", fields);
    return code;
}

BackAfterRestart wait_until_back(const std::string& resource, int timeout_s, int settle_s) {
    using Clock = std::chrono::steady_clock;
    const auto start = Clock::now();
    const auto deadline = start + std::chrono::seconds(timeout_s);
    bool seen_silent = false;
    BackAfterRestart r;
    while (Clock::now() < deadline) {
        if (interrupt::requested()) {
            r.interrupted = true;
            return r;
        }
        Identification id = identify(resource);
        if (id.answered &&
            (seen_silent || Clock::now() - start >= std::chrono::seconds(settle_s))) {
            r.back = true;
            r.id = std::move(id);
            return r;
        }
        if (!id.answered && !id.locked) seen_silent = true;
        if (interrupt::sleep_ms(250)) {
            r.interrupted = true;
            return r;
        }
    }
    return r;
}

}  // namespace cli
