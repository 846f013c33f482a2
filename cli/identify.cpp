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
    if (id.locked) return id.lock_refusal.empty() ? "locked by another session" : id.lock_refusal;
    if (!id.answered)
        return "no answer" + (id.diagnostic.empty() ? "" : " (" + id.diagnostic + ")");
    std::string text =
        id.fields.model + ", serial " + id.fields.serial + ", firmware " + id.fields.firmware;
    if (!id.accepted)
        text = "not an accepted model: " + id.reply +
               " (accepted models: " + workflow::AcceptedModelsText() + ")";
    return text;
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
    for (const workflow::ImageInfo& image : workflow::kImages) {
        if (id != image.m_id) continue;
        std::string name = image.m_logText;
        const std::size_t suffix = name.find(" upgrade...");
        return suffix == std::string::npos ? name : name.substr(0, suffix);
    }
    return id;
}

Identification identify(const std::string& instrument) {
    Identification id;
    id.resource = workflow::ResourceFromInstrumentText(instrument);
    EngineStreams streams([&](const std::string& line) { id.diagnostic = line; });
    EngineEvents events;
    std::string family;
    std::string host_file;
    std::string reply;
    id.accepted = workflow::IdentifyInstrument(id.resource, family, host_file, &reply);
    while (!reply.empty() && (reply.back() == '\n' || reply.back() == '\r'))
        reply.pop_back();
    id.answered = !reply.empty();
    id.locked = events.locked();
    id.lock_refusal = events.lock_refusal();
    if (!id.answered && !id.locked) {
        // The library's words for what the connection met say more than
        // the engine's status line.
        if (std::string cause = connection_cause(events); !cause.empty())
            id.diagnostic = std::move(cause);
    }
    id.reply = reply;
    id.fields = workflow::SplitIdentity(reply);
    return id;
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
                {"firmware", TextOrNull(id.fields.firmware)}};
}

// While instruments are asked who they are, a stop ends the command at once:
// asking changes nothing on an instrument.
static void stop_at_once_while_identifying(Output& out, const char* command) {
    interrupt::on_first([&out, command] {
        const std::string message = "stopped on request while identifying";
        out.diagnostic(std::string("fwupgrade: ") + message);
        out.event("finished", workflow::Json{{"command", command},
                                             {"result", result_word(exit_interrupted)},
                                             {"exit_code", exit_interrupted},
                                             {"message", message}});
        ::_exit(exit_interrupted);
    });
}

int run_list(const CommandLine& settings, Output& out) {
    using workflow::Json;
    workflow::LanSearch found;
    if (settings.discover) found = search_lan(out);
    auto buffer = std::make_unique<char[]>(workflow::kResourceListSize);
    // Discovery reports to a window; here nothing is shown while it runs.
    workflow::SilentOperator op;
    workflow::DiscoverInstruments(op, buffer.get(), workflow::kResourceListSize);
    const std::vector<std::string> resources = workflow::SplitResourceList(buffer.get());
    if (resources.size() == 1 && resources.front() == "viOpenDefaultRM failed") {
        out.diagnostic("fwupgrade: the VISA library could not be opened");
        out.event("finished", Json{{"command", "list"},
                                   {"result", result_word(exit_error)},
                                   {"exit_code", exit_error}});
        return exit_error;
    }
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
    out.event("finished", Json{{"command", "list"},
                               {"count", resources.size() + found.m_found.size()},
                               {"result", result_word(exit_ok)},
                               {"exit_code", exit_ok}});
    return exit_ok;
}

int run_identify(const CommandLine& settings, Output& out) {
    using workflow::Json;
    // The engine holds at most this much; longer is bad input, not an
    // instrument that failed to answer.
    const std::string resource = workflow::ResourceFromInstrumentText(settings.resources.front());
    if (resource.size() > workflow::kMaxResourceChars) {
        const std::string message = "the resource is too long (" + std::to_string(resource.size()) +
                                    " characters, at most " +
                                    std::to_string(workflow::kMaxResourceChars) + ")";
        out.diagnostic("fwupgrade: " + message);
        out.event("finished", Json{{"command", "identify"},
                                   {"resource", resource},
                                   {"result", result_word(exit_usage)},
                                   {"exit_code", exit_usage},
                                   {"message", message}});
        return exit_usage;
    }
    // Rather than after the reply's time limit.
    stop_at_once_while_identifying(out, "identify");
    const Identification id = identify(resource);
    interrupt::on_first(nullptr);
    out.event("identified", identification_json(id), id.resource + "  " + describe(id));
    const int code = identification_exit(id);
    if (code != exit_ok) {
        out.diagnostic(id.locked && id.lock_refusal.empty()
                           ? "fwupgrade: " + id.resource + " is locked by another session"
                           : "fwupgrade: " + id.resource + ": " + describe(id));
    }
    out.event("finished", Json{{"command", "identify"},
                               {"resource", id.resource},
                               {"result", result_word(code)},
                               {"exit_code", code}});
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
