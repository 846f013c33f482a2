// list and identify, and the identification they share with upgrade.
#include <algorithm>
#include <chrono>
#include <memory>

#include <unistd.h>

#include "commands.h"
#include "engine_streams.h"
#include "exit_codes.h"
#include "interrupt.h"
#include "visa/discovery.h"
#include "visa/lan/lan_discovery.h"
#include "workflow/discovery.h"
#include "workflow/identification.h"
#include "workflow/images.h"
#include "workflow/operator.h"
#include "workflow/upgrade.h"

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

// list --discover: one LAN search, kept for the library's find that follows
// (which searches too when visa.conf says "discover = lan"), so that the
// list waits once. The window is the one visa.conf sets for the library's
// find, so that both wait alike.
std::vector<visa::lan::Found> search_lan(Output& out) {
    bool found_config = false;
    const visa::DiscoveryConfig config =
        visa::read_discovery_config(visa::discovery_config_path(), &found_config);
    visa::lan::LanSearch search = visa::lan::search_lan(config.discover_window_ms);
    if (search.broadcast_to.empty())
        out.diagnostic("fwupgrade: no up, broadcast-capable IPv4 interface: no LAN searched");
    else if (!search.mdns_skipped.empty())
        out.diagnostic("fwupgrade: mDNS skipped: " + search.mdns_skipped);
    visa::lan::keep_lan_search(search.found);
    return std::move(search.found);
}

// Of `found`, those `listed` does not hold yet.
std::vector<visa::lan::Found> not_listed(const std::vector<std::string>& listed,
                                         std::vector<visa::lan::Found> found) {
    const std::vector<std::string> fresh = visa::lan::new_resources(listed, found);
    std::erase_if(found, [&fresh](const visa::lan::Found& f) {
        return std::find(fresh.begin(), fresh.end(), f.resource) == fresh.end();
    });
    return found;
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
    std::vector<visa::lan::Found> found;
    if (settings.discover) found = search_lan(out);
    auto buffer = std::make_unique<char[]>(workflow::kResourceListSize);
    // Discovery reports to a window; here nothing is shown while it runs.
    workflow::SilentOperator op;
    workflow::DiscoverInstruments(op, buffer.get(), workflow::kResourceListSize,
                                  workflow::kFindInstrumentsAndSockets);
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
    for (const visa::lan::Found& f : found)
        show(f.resource, f.how.c_str());
    interrupt::on_first(nullptr);
    if (resources.empty() && found.empty()) out.text("No instruments found.");
    out.event("finished", Json{{"command", "list"},
                               {"count", resources.size() + found.size()},
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
