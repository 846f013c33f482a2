// Several instruments at once: one child process per instrument (the engine
// keeps per-process state), at most -j at a time. Each child is this program
// running "upgrade RESOURCE --json"; its events come back through a pipe and
// are passed on, and a summary closes the run.
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include "children.h"
#include "commands.h"
#include "exit_codes.h"
#include "interrupt.h"
#include "visa/run_lock.h"
#include "workflow/discovery.h"
#include "workflow/operator.h"
#include "workflow/release_config.h"
#include "workflow/upgrade.h"

namespace cli {

namespace {

using workflow::Json;

struct Outcome {
    std::string resource;
    int exit_code = exit_error;
    std::string result;
    std::string message;
    std::string model, serial, before, after;
};

std::vector<std::string> child_arguments(const CommandLine& settings, const std::string& release,
                                         const std::string& resource) {
    std::vector<std::string> args{"fwupgrade", "upgrade", resource, "--release",
                                  release,     "--yes",   "--json"};
    if (!settings.images.empty()) {
        std::string list;
        for (const std::string& id : settings.images)
            list += (list.empty() ? "" : ",") + id;
        args.insert(args.end(), {"--images", list});
    }
    if (settings.wait)
        args.insert(args.end(), {"--wait-timeout", std::to_string(settings.wait_timeout_s)});
    for (const std::string& keyring : settings.keyrings)
        args.insert(args.end(), {"--keyring", keyring});
    if (settings.require_signature) args.push_back("--require-signature");
    return args;
}

std::string seconds_text(long long ms) {
    char text[32];
    std::snprintf(text, sizeof text, "%.2f s", static_cast<double>(ms) / 1000.0);
    return text;
}

// A child's event, shown to people (without --json) or passed on as it is.
void relay_event(Output& out, Child& child, const std::string& line) {
    std::optional<Json> event = Json::Parse(line);
    if (!event || event->GetKind() != Json::Kind::Object) {
        out.diagnostic("[" + child.resource + "] " + line);
        return;
    }
    const std::string name = event->TextOf("event");
    if (name == "identified") child.identified = *event;
    if (name == "finished") child.finished = *event;
    if (name == "back") child.identified.Set("firmware_after", event->TextOf("firmware"));
    if (out.json()) {
        out.raw_event_line(line);
        return;
    }
    const std::string tag = "[" + child.resource + "] ";
    if (name == "identified" && event->Find("accepted") && event->Find("accepted")->Bool()) {
        out.text(tag + "identified " + event->TextOf("model") + ", serial " +
                 event->TextOf("serial") + ", firmware " + event->TextOf("firmware"));
    } else if (name == "image_done") {
        const std::string image = event->TextOf("image");
        out.text(tag + image_name(image) + " upgrade..." +
                 (event->TextOf("result") == "ok" ? "successful" : "FAILED!") + " (" +
                 seconds_text(event->IntegerOf("duration_ms")) + ")");
    } else if (name == "back") {
        out.text(tag + "answers again with firmware " + event->TextOf("firmware"));
    }
}

Outcome outcome_of(const Child& child) {
    Outcome o;
    o.resource = child.resource;
    o.exit_code = child.exit_code;
    o.model = child.identified.TextOf("model");
    o.serial = child.identified.TextOf("serial");
    o.before = child.identified.TextOf("firmware");
    o.after = child.identified.TextOf("firmware_after");
    if (!child.finished.IsNull()) {
        o.message = child.finished.TextOf("message");
        o.after = child.finished.TextOf("firmware_after", o.after);
    } else if (child.exit_code < 0) {
        o.message = "the child process ended without a result";
    }
    o.result = child.exit_code < 0 ? "error" : result_word(child.exit_code);
    return o;
}

// Which instruments --all means: those discovery lists that identify as an
// accepted model of the filter, each asked in a child process of its own
// (-j at once), so that silent ones cost their time-out in parallel. Locked
// ones are kept (their upgrade reports the lock); silent or foreign ones are
// noted and left out, and so is a second resource of the same instrument.
std::vector<std::string> all_instruments(const CommandLine& settings, Output& out) {
    workflow::SilentOperator op;
    auto buffer = std::make_unique<char[]>(workflow::kResourceListSize);
    workflow::DiscoverInstruments(op, buffer.get(), workflow::kResourceListSize);
    std::vector<std::string> listed;
    for (const std::string& resource : workflow::SplitResourceList(buffer.get()))
        if (resource != "viOpenDefaultRM failed") listed.push_back(resource);

    ChildRunner runner(
        settings.jobs,
        [](Child& child, const std::string& line) {
            std::optional<Json> event = Json::Parse(line);
            if (event && event->TextOf("event") == "identified") child.identified = *event;
        },
        [](Child&, const std::string&) {}, [](Child&) {});
    interrupt::on_first([&] { runner.signal_all(); });
    std::vector<std::unique_ptr<Child>> asked = runner.run(
        listed,
        [](const std::string& resource) {
            return std::vector<std::string>{"fwupgrade", "identify", resource, "--json"};
        },
        out);
    interrupt::on_first(nullptr);

    std::vector<std::string> chosen;
    // One instrument may be listed more than once (over USB and over LAN):
    // two upgrades of it at once could interleave, so only its first
    // resource is kept.
    std::map<std::string, std::string> by_serial;
    for (const std::string& resource : listed) {
        Json id = Json::MakeObject().Set("resource", resource);
        for (const auto& child : asked)
            if (child->resource == resource && !child->identified.Members().empty())
                id = child->identified;
        const bool answered = id.Find("answered") && id.Find("answered")->Bool();
        const bool accepted = id.Find("accepted") && id.Find("accepted")->Bool();
        const std::string model = id.TextOf("model");
        std::string skip;
        if (id.Find("locked") && id.Find("locked")->Bool()) {
            chosen.push_back(resource);
        } else if (!answered) {
            skip = "no answer";
        } else if (!accepted) {
            skip = "not an accepted model";
        } else if (!settings.models.empty() &&
                   std::find(settings.models.begin(), settings.models.end(), model) ==
                       settings.models.end()) {
            skip = "model " + model + " not asked for";
        } else if (const std::string key = model + "," + id.TextOf("serial");
                   by_serial.count(key) != 0) {
            skip = "the same instrument as " + by_serial[key];
        } else {
            by_serial[key] = resource;
            chosen.push_back(resource);
        }
        Json fields = Json::MakeObject();
        for (const auto& [key, value] : id.Members())
            if (key != "schema" && key != "event" && key != "time") fields.Set(key, value);
        fields.Set("selected", skip.empty());
        if (!skip.empty()) fields.Set("reason", skip);
        out.event("instrument", fields,
                  resource + (skip.empty() ? ": selected" : ": skipped, " + skip));
    }
    return chosen;
}

void print_summary(Output& out, const std::vector<Outcome>& outcomes) {
    std::size_t width = 8;
    for (const Outcome& o : outcomes)
        width = std::max(width, o.resource.size());
    const auto row = [&](const std::string& a, const std::string& b, const std::string& c,
                         const std::string& d, const std::string& e, const std::string& f) {
        char line[1024];
        std::snprintf(line, sizeof line, "%-*s  %-8s  %-10s  %-10s  %-10s  %s",
                      static_cast<int>(width), a.c_str(), b.c_str(), c.c_str(), d.c_str(),
                      e.c_str(), f.c_str());
        out.text(line);
    };
    out.text("");
    row("RESOURCE", "MODEL", "SERIAL", "BEFORE", "AFTER", "RESULT");
    const auto dash = [](const std::string& s) { return s.empty() ? std::string("-") : s; };
    for (const Outcome& o : outcomes) {
        std::string result = o.result;
        if (!o.message.empty() && (o.exit_code != exit_ok || o.result == "same instrument"))
            result += ": " + o.message;
        row(o.resource, dash(o.model), dash(o.serial), dash(o.before), dash(o.after), result);
    }
}

}  // namespace

int upgrade_batch(const CommandLine& settings, Output& out) {
    const std::string release = release_directory(settings.release);
    const auto finish = [&](int code, const std::string& message) {
        out.event("finished", Json::MakeObject()
                                  .Set("command", "upgrade")
                                  .Set("result", result_word(code))
                                  .Set("exit_code", code)
                                  .Set("message", Json::TextOrNull(message)));
        return code;
    };

    // Checked once here rather than failing in every child.
    workflow::ImageChoice offered;
    std::string why;
    if (!workflow::ReadReleaseConfig(release + workflow::kConfigFileName, offered, &why)) {
        const std::string message = "release directory " + release + ": cannot read " +
                                    workflow::kConfigFileName + " (" + why + ")";
        out.diagnostic("fwupgrade: " + message);
        return finish(exit_error, message);
    }
    bool host = settings.images.empty() ? offered.m_host != 0
                                        : std::find(settings.images.begin(), settings.images.end(),
                                                    "HPAP") != settings.images.end();

    // Named as every event names them, bare addresses rewritten. One
    // instrument named several ways (inst0, hislip0, a socket, a bare
    // address) is upgraded once, under its first name: two runs would only
    // find each other holding it.
    std::vector<std::string> resources;
    std::vector<std::pair<std::string, std::string>> same;  // name, first name of it
    std::map<std::string, std::string> by_key;
    for (const std::string& r : settings.resources) {
        const std::string resource = workflow::ResourceFromInstrumentText(r);
        std::string unparsed;
        std::string key = visa::run_lock_key(resource, &unparsed);
        if (key.empty()) key = resource;
        if (const auto first = by_key.find(key); first != by_key.end()) {
            if (resource != first->second) same.emplace_back(resource, first->second);
            out.event("instrument",
                      Json::MakeObject()
                          .Set("resource", resource)
                          .Set("selected", false)
                          .Set("reason", "same instrument as " + first->second),
                      resource + ": same instrument as " + first->second + "; upgraded once");
            continue;
        }
        by_key[key] = resource;
        resources.push_back(resource);
    }
    if (settings.all) {
        resources = all_instruments(settings, out);
        if (interrupt::requested()) return finish(exit_interrupted, "stopped while identifying");
        if (resources.empty()) {
            out.diagnostic("fwupgrade: no instrument to upgrade was found");
            return finish(exit_not_found, "no instrument to upgrade was found");
        }
    }
    if (host && !settings.yes) {
        const std::string question = "Instrument saved state(s) will be erased on " +
                                     std::to_string(resources.size()) +
                                     " instruments. Do you want to proceed?";
        if (::isatty(0) != 1) {
            const std::string message =
                "writing the Host application (HPAP) erases the instruments' saved states; "
                "confirm with --yes (no terminal to ask on)";
            out.diagnostic("fwupgrade: " + message);
            return finish(exit_usage, message);
        }
        const std::string prompt = question + " [y/N] ";
        [[maybe_unused]] ssize_t n = ::write(2, prompt.data(), prompt.size());
        std::string answer;
        char c = 0;
        while (::read(0, &c, 1) == 1 && c != '\n')
            answer += c;
        if (interrupt::requested()) return finish(exit_interrupted, "stopped at the warning");
        if (answer != "y" && answer != "yes" && answer != "Y" && answer != "Yes")
            return finish(exit_declined, "the warning was answered no");
    }

    Json listed = Json::MakeArray();
    for (const std::string& r : resources)
        listed.Push(r);
    out.event("batch_started",
              Json::MakeObject().Set("resources", listed).Set("jobs", settings.jobs),
              "Upgrading " + std::to_string(resources.size()) + " instruments, at most " +
                  std::to_string(settings.jobs) + " at once");

    ChildRunner runner(
        settings.jobs,
        [&](Child& child, const std::string& line) { relay_event(out, child, line); },
        [&](Child& child, const std::string& line) {
            // Its diagnostics, already events with --json; for people.
            const std::string tagged = "[" + child.resource + "] " + line;
            if (out.json())
                std::fprintf(stderr, "%s\n", tagged.c_str());
            else
                out.diagnostic(tagged);
        },
        [&](Child& child) {
            if (out.json()) return;
            const Outcome o = outcome_of(child);
            out.text("[" + child.resource + "] " + o.result +
                     (o.message.empty() || o.exit_code == exit_ok ? "" : ": " + o.message));
        });
    interrupt::on_first([&] {
        out.diagnostic(
            "fwupgrade: interrupted; running instruments finish their current image, no new "
            "ones start (interrupt again to end at once)");
        runner.signal_all();
    });
    interrupt::on_second([&] { runner.signal_all(); });
    const std::vector<std::unique_ptr<Child>> ended = runner.run(
        resources,
        [&](const std::string& resource) { return child_arguments(settings, release, resource); },
        out);
    interrupt::on_first(nullptr);
    interrupt::on_second(nullptr);

    std::vector<Outcome> outcomes;
    Json instruments = Json::MakeArray();
    int succeeded = 0;
    for (const std::string& resource : resources) {
        Outcome o;
        o.resource = resource;
        o.result = "not started";
        o.exit_code = exit_interrupted;
        for (const auto& child : ended)
            if (child->resource == resource) o = outcome_of(*child);
        if (o.exit_code == exit_ok) ++succeeded;
        instruments.Push(Json::MakeObject()
                             .Set("resource", o.resource)
                             .Set("result", o.result)
                             .Set("exit_code", o.exit_code)
                             .Set("model", Json::TextOrNull(o.model))
                             .Set("serial", Json::TextOrNull(o.serial))
                             .Set("firmware_before", Json::TextOrNull(o.before))
                             .Set("firmware_after", Json::TextOrNull(o.after))
                             .Set("message", Json::TextOrNull(o.message)));
        outcomes.push_back(o);
    }
    // Not failures: each is reported with the outcome of its first name.
    for (const auto& [resource, first] : same) {
        Outcome o;
        for (const Outcome& done : outcomes)
            if (done.resource == first) o = done;
        o.resource = resource;
        o.message = "same instrument as " + first;
        instruments.Push(Json::MakeObject()
                             .Set("resource", resource)
                             .Set("result", "same_instrument")
                             .Set("same_as", first)
                             .Set("exit_code", o.exit_code)
                             .Set("message", o.message));
        o.result = "same instrument";
        outcomes.push_back(o);
    }
    const int total = static_cast<int>(resources.size());
    const int code = succeeded == total       ? exit_ok
                     : interrupt::requested() ? exit_interrupted
                                              : exit_batch_failed;
    out.event("summary", Json::MakeObject()
                             .Set("instruments", instruments)
                             .Set("succeeded", succeeded)
                             .Set("failed", total - succeeded)
                             .Set("exit_code", code));
    if (!out.json()) print_summary(out, outcomes);
    return finish(code, succeeded == total ? std::string()
                                           : std::to_string(total - succeeded) + " of " +
                                                 std::to_string(total) + " did not succeed");
}

}  // namespace cli
