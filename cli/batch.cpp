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
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "children.h"
#include "commands.h"
#include "exit_codes.h"
#include "interrupt.h"
#include "progress.h"
#include "prompt.h"
#include "workflow/discovery.h"
#include "workflow/identification.h"
#include "workflow/operator.h"
#include "workflow/release_config.h"
#include "workflow/run_lock.h"
#include "workflow/upgrade.h"

namespace cli {

namespace {

using workflow::FlagOf;
using workflow::IntegerOf;
using workflow::Json;
using workflow::TextOf;
using workflow::TextOrNull;

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
    if (settings.require_signature) args.emplace_back("--require-signature");
    if (settings.skip_current) args.emplace_back("--skip-current");
    if (settings.verbose && library_log_on()) args.emplace_back("--verbose");
    return args;
}

std::string seconds_text(long long ms) {
    char text[32];
    std::snprintf(text, sizeof text, "%.2f s", static_cast<double>(ms) / 1000.0);
    return text;
}

// A child's event, shown to people (without --json) or passed on as it is.
void relay_event(Output& out, BatchProgress& progress, Child& child, const std::string& line) {
    std::optional<Json> event = workflow::ParseJsonObject(line);
    if (!event) {
        progress.erase();
        out.diagnostic("[" + child.resource + "] " + line);
        progress.redraw();
        return;
    }
    const std::string name = TextOf(*event, "event");
    progress.on_event(child.resource, *event);
    if (name == "identified") child.identified = *event;
    if (name == "finished") child.finished = *event;
    if (name == "back") child.identified["firmware_after"] = TextOf(*event, "firmware");
    if (out.json()) {
        out.raw_event_line(line);
        return;
    }
    const std::string tag = "[" + child.resource + "] ";
    if (name != "identified" && name != "image_done" && name != "back") return;
    progress.erase();
    if (name == "identified" && FlagOf(*event, "accepted")) {
        out.text(tag + "identified " + TextOf(*event, "model") + ", serial " +
                 TextOf(*event, "serial") + ", firmware " + TextOf(*event, "firmware"));
    } else if (name == "image_done") {
        const std::string image = TextOf(*event, "image");
        const std::string result = TextOf(*event, "result");
        out.text(tag + image_name(image) + " upgrade..." +
                 (result == "ok"        ? "successful"
                  : result == "unknown" ? "not known whether kept"
                                        : "FAILED!") +
                 " (" + seconds_text(IntegerOf(*event, "duration_ms")) + ")");
    } else if (name == "back") {
        out.text(tag + "answers again with firmware " + TextOf(*event, "firmware"));
    }
    progress.redraw();
}

Outcome outcome_of(const Child& child) {
    Outcome o;
    o.resource = child.resource;
    o.exit_code = child.exit_code;
    o.model = TextOf(child.identified, "model");
    o.serial = TextOf(child.identified, "serial");
    o.before = TextOf(child.identified, "firmware");
    o.after = TextOf(child.identified, "firmware_after");
    if (!child.finished.is_null()) {
        o.message = TextOf(child.finished, "message");
        o.after = TextOf(child.finished, "firmware_after", o.after);
    } else if (child.exit_code < 0) {
        o.message = "the child process ended without a result";
    }
    o.result = child.exit_code < 0 ? "error" : result_word(child.exit_code);
    if (!child.finished.is_null() && FlagOf(child.finished, "skipped")) o.result = "skipped";
    return o;
}

// Asks each of `listed` who it is, each in a child process (-j at once).
std::vector<std::unique_ptr<Child>> identify_all(const CommandLine& settings,
                                                 const std::vector<std::string>& listed,
                                                 Output& out) {
    ChildRunner runner(
        settings.jobs,
        [](Child& child, const std::string& line) {
            std::optional<Json> event = workflow::ParseJsonObject(line);
            if (event && TextOf(*event, "event") == "identified") child.identified = *event;
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
    return asked;
}

// Why an instrument of --all is left out. A missing one (no answer, not an
// accepted model) is one the line expected to upgrade and could not: it
// fails the batch unless --allow-missing. One left out only because --model
// did not ask for it, or because it was already chosen under another name,
// is not missing.
struct Skip {
    std::string reason;  // empty: chosen
    bool missing = false;
};

// Why the instrument `id` (its "identified" event) is left out. One
// instrument may be listed more than once (over USB and over LAN): two
// upgrades of it at once could interleave, so only its first resource is
// kept, found by `by_serial`.
Skip skip_of(const CommandLine& settings, const Json& id, const std::string& resource,
             std::map<std::string, std::string>& by_serial) {
    const std::string model = TextOf(id, "model");
    if (FlagOf(id, "locked")) return {};
    if (!FlagOf(id, "answered")) return {"no answer", true};
    if (!FlagOf(id, "accepted")) return {"not an accepted model", true};
    if (!settings.models.empty() &&
        std::find(settings.models.begin(), settings.models.end(), model) == settings.models.end())
        return {"model " + model + " not asked for"};
    const std::string key = model + "," + TextOf(id, "serial");
    if (by_serial.count(key) != 0) return {"the same instrument as " + by_serial[key]};
    by_serial[key] = resource;
    return {};
}

// What --all found: the resources to upgrade, and the outcomes of those
// missing.
struct Selection {
    std::vector<std::string> chosen;
    std::vector<Outcome> missing;
};

// Which instruments --all means: those discovery lists that identify as an
// accepted model of the filter, each asked in a child process of its own
// (-j at once), so that silent ones cost their time-out in parallel. Locked
// ones are kept (their upgrade reports the lock); silent or foreign ones are
// noted as missing and left out, and so is a second resource of the same
// instrument.
Selection all_instruments(const CommandLine& settings, Output& out) {
    const std::vector<std::string> listed = discovered_resources(out);
    const std::vector<std::unique_ptr<Child>> asked = identify_all(settings, listed, out);

    Selection selection;
    std::map<std::string, std::string> by_serial;
    for (const std::string& resource : listed) {
        Json id = Json{{"resource", resource}};
        for (const auto& child : asked)
            if (child->resource == resource && !child->identified.empty()) id = child->identified;
        const Skip skip = skip_of(settings, id, resource, by_serial);
        if (skip.reason.empty()) selection.chosen.push_back(resource);
        if (skip.missing) {
            Outcome o;
            o.resource = resource;
            o.exit_code = exit_not_found;
            o.result = "skipped";
            o.message = skip.reason;
            o.model = TextOf(id, "model");
            o.serial = TextOf(id, "serial");
            o.before = TextOf(id, "firmware");
            selection.missing.push_back(o);
        }
        Json fields = Json::object();
        for (const auto& member : id.items())
            if (member.key() != "schema" && member.key() != "event" && member.key() != "time")
                fields[member.key()] = member.value();
        fields["selected"] = skip.reason.empty();
        if (!skip.reason.empty()) fields["reason"] = skip.reason;
        fields["missing"] = skip.missing;
        const std::string fails = skip.missing && !settings.allow_missing
                                      ? " (fails the batch; --allow-missing to accept)"
                                      : "";
        out.event(
            "instrument", fields,
            resource + (skip.reason.empty() ? ": selected" : ": skipped, " + skip.reason + fails));
    }
    return selection;
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
        summary_output(out).text(line);
    };
    summary_output(out).text("");
    row("RESOURCE", "MODEL", "SERIAL", "BEFORE", "AFTER", "RESULT");
    const auto dash = [](const std::string& s) { return s.empty() ? std::string("-") : s; };
    for (const Outcome& o : outcomes) {
        std::string result = o.result;
        if (!o.message.empty() && (o.exit_code != exit_ok || o.result == "same instrument"))
            result += ": " + o.message;
        row(o.resource, dash(o.model), dash(o.serial), dash(o.before), dash(o.after), result);
    }
}

// The "finished" event of a batch; returns `code`.
int finish_batch(Output& out, int code, const std::string& message) {
    out.event("finished", Json{{"command", "upgrade"},
                               {"result", result_word(code)},
                               {"exit_code", code},
                               {"message", TextOrNull(message)}});
    return code;
}

// Asks once for the whole batch before the Host application erases the
// instruments' saved states. exit_ok when the batch may go on.
int confirm_host(Output& out, std::size_t count) {
    const std::string question = "Instrument saved state(s) will be erased on " +
                                 std::to_string(count) + " instruments. Do you want to proceed?";
    if (::isatty(0) != 1) {
        const std::string message =
            "writing the Host application (HPAP) erases the instruments' saved states; "
            "confirm with --yes (no terminal to ask on)";
        out.diagnostic("fwupgrade: " + message);
        return finish_batch(out, exit_usage, message);
    }
    const Answer answer = ask_yes_no(question);
    if (answer == Answer::interrupted || interrupt::requested())
        return finish_batch(out, exit_interrupted, "stopped at the warning");
    if (answer == Answer::no)
        return finish_batch(out, exit_declined, "the warning was answered no");
    return exit_ok;
}

// One child per resource, at most -j at once, their events passed on; an
// interrupt is passed on to every child.
std::vector<std::unique_ptr<Child>> run_children(const CommandLine& settings,
                                                 const std::string& release, Output& out,
                                                 const std::vector<std::string>& resources,
                                                 int64_t bytes_each) {
    BatchProgress progress(out, static_cast<int>(resources.size()), bytes_each);
    ChildRunner runner(
        settings.jobs,
        [&](Child& child, const std::string& line) { relay_event(out, progress, child, line); },
        [&](Child& child, const std::string& line) {
            // Its diagnostics, already events with --json; for people.
            const std::string tagged = "[" + child.resource + "] " + line;
            progress.erase();
            if (out.json())
                std::fprintf(stderr, "%s\n", tagged.c_str());
            else
                out.diagnostic(tagged);
            progress.redraw();
        },
        [&](Child& child) {
            progress.on_finished(child.resource);
            if (out.json()) return;
            const Outcome o = outcome_of(child);
            progress.erase();
            out.text("[" + child.resource + "] " + o.result +
                     (o.message.empty() || o.exit_code == exit_ok ? "" : ": " + o.message));
            progress.redraw();
        });
    interrupt::on_first([&] {
        out.diagnostic(
            "fwupgrade: interrupted; running instruments finish their current image, no new "
            "ones start (interrupt again to end at once)");
        runner.signal_all();
    });
    interrupt::on_second([&] { runner.signal_all(); });
    std::vector<std::unique_ptr<Child>> ended = runner.run(
        resources,
        [&](const std::string& resource) { return child_arguments(settings, release, resource); },
        out);
    interrupt::on_first(nullptr);
    interrupt::on_second(nullptr);
    return ended;
}

// The outcome of every resource in the order given, then of each other name
// of an instrument (not failures: each has the outcome of its first name);
// their summary rows go to `instruments`.
std::vector<Outcome> collect_outcomes(const std::vector<std::string>& resources,
                                      const std::vector<std::unique_ptr<Child>>& ended,
                                      const std::vector<std::pair<std::string, std::string>>& same,
                                      Json& instruments, int& succeeded) {
    std::vector<Outcome> outcomes;
    for (const std::string& resource : resources) {
        Outcome o;
        o.resource = resource;
        o.result = "not started";
        o.exit_code = exit_interrupted;
        for (const auto& child : ended)
            if (child->resource == resource) o = outcome_of(*child);
        if (o.exit_code == exit_ok) ++succeeded;
        instruments.push_back(Json{{"resource", o.resource},
                                   {"result", o.result},
                                   {"exit_code", o.exit_code},
                                   {"model", TextOrNull(o.model)},
                                   {"serial", TextOrNull(o.serial)},
                                   {"firmware_before", TextOrNull(o.before)},
                                   {"firmware_after", TextOrNull(o.after)},
                                   {"message", TextOrNull(o.message)}});
        outcomes.push_back(o);
    }
    // Not failures: each is reported with the outcome of its first name.
    for (const auto& [resource, first] : same) {
        Outcome o;
        for (const Outcome& done : outcomes)
            if (done.resource == first) o = done;
        o.resource = resource;
        o.message = "same instrument as " + first;
        instruments.push_back(Json{{"resource", resource},
                                   {"result", "same_instrument"},
                                   {"same_as", first},
                                   {"exit_code", o.exit_code},
                                   {"message", o.message}});
        o.result = "same instrument";
        outcomes.push_back(o);
    }
    return outcomes;
}

// The instruments --all left out as missing, after the others.
void add_missing(const std::vector<Outcome>& missing, std::vector<Outcome>& outcomes,
                 Json& instruments) {
    for (const Outcome& o : missing) {
        instruments.push_back(Json{{"resource", o.resource},
                                   {"result", result_word(o.exit_code)},
                                   {"exit_code", o.exit_code},
                                   {"skipped", true},
                                   {"model", TextOrNull(o.model)},
                                   {"serial", TextOrNull(o.serial)},
                                   {"firmware_before", TextOrNull(o.before)},
                                   {"firmware_after", nullptr},
                                   {"message", TextOrNull(o.message)}});
        outcomes.push_back(o);
    }
}

// --all: the instruments to upgrade into `resources`, those missing into
// `missing`; exit_ok when there is something to upgrade.
int select_all(const CommandLine& settings, Output& out, std::vector<std::string>& resources,
               std::vector<Outcome>& missing) {
    Selection selection = all_instruments(settings, out);
    resources = std::move(selection.chosen);
    missing = std::move(selection.missing);
    if (interrupt::requested())
        return finish_batch(out, exit_interrupted, "stopped while identifying");
    if (!resources.empty()) return exit_ok;
    const std::string message =
        "no instrument to upgrade was found" +
        (missing.empty() ? std::string()
                         : " (" + std::to_string(missing.size()) +
                               " did not answer or are not an accepted model)");
    out.diagnostic("fwupgrade: " + message);
    return finish_batch(out, exit_not_found, message);
}

// The bytes one instrument is sent: the chosen images' sizes as they are now.
int64_t image_bytes(const CommandLine& settings, const std::string& release,
                    const workflow::ImageChoice& offered) {
    int64_t bytes = 0;
    for (const workflow::ImageInfo& image : workflow::kImages) {
        const bool chosen = settings.images.empty()
                                ? offered.*image.m_flag != 0
                                : std::find(settings.images.begin(), settings.images.end(),
                                            image.m_id) != settings.images.end();
        const std::string file =
            *image.m_file ? image.m_file
                          : std::string(workflow::kImageFolder) + workflow::kHostImageFile;
        struct stat status {};
        if (chosen && ::stat((release + file).c_str(), &status) == 0) bytes += status.st_size;
    }
    return bytes;
}

}  // namespace

// The resources of the command line, named as every event names them (bare
// addresses rewritten). One instrument named several ways (inst0, hislip0,
// a socket, a bare address) is upgraded once, under its first name: two runs
// would only find each other holding it. `same` gets each other name with
// the first.
std::vector<std::string> distinct_resources(const CommandLine& settings, Output& out,
                                            std::vector<std::pair<std::string, std::string>>& same,
                                            const char* done_once) {
    std::vector<std::string> resources;
    std::map<std::string, std::string> by_key;
    for (const std::string& r : settings.resources) {
        const std::string resource = workflow::ResourceFromInstrumentText(r);
        std::string unparsed;
        std::string key = workflow::RunLockKey(resource, &unparsed);
        if (key.empty()) key = resource;
        if (const auto first = by_key.find(key); first != by_key.end()) {
            if (resource != first->second) same.emplace_back(resource, first->second);
            out.event("instrument",
                      Json{{"resource", resource},
                           {"selected", false},
                           {"reason", "same instrument as " + first->second}},
                      resource + ": same instrument as " + first->second + "; " + done_once);
            continue;
        }
        by_key[key] = resource;
        resources.push_back(resource);
    }
    return resources;
}

std::vector<std::string> discovered_resources(Output& out) {
    workflow::SilentOperator op;
    const workflow::FoundInstruments found =
        workflow::FindInstruments(op, workflow::kFindInstrumentsAndSockets);
    if (!found.m_searched) out.diagnostic("fwupgrade: " + found.m_error);
    return found.m_resources;
}

std::string all_skip_reason(const CommandLine& settings, const Json& identified,
                            const std::string& resource,
                            std::map<std::string, std::string>& by_serial, bool& missing) {
    const Skip skip = skip_of(settings, identified, resource, by_serial);
    missing = skip.missing;
    return skip.reason;
}

int upgrade_batch(const CommandLine& settings, Output& out) {
    const std::string release = release_directory(settings.release);
    // Checked once here rather than failing in every child.
    workflow::ImageChoice offered;
    std::string why;
    if (!workflow::ReadReleaseConfig(release + workflow::kConfigFileName, offered, &why)) {
        const std::string message = "release directory " + release + ": cannot read " +
                                    workflow::kConfigFileName + " (" + why + ")";
        out.diagnostic("fwupgrade: " + message);
        return finish_batch(out, exit_error, message);
    }
    bool host = settings.images.empty() ? offered.m_host != 0
                                        : std::find(settings.images.begin(), settings.images.end(),
                                                    "HPAP") != settings.images.end();
    std::vector<std::pair<std::string, std::string>> same;  // name, first name of it
    std::vector<std::string> resources = distinct_resources(settings, out, same, "upgraded once");
    std::vector<Outcome> missing;
    if (settings.all) {
        if (const int code = select_all(settings, out, resources, missing); code != exit_ok)
            return code;
    }
    if (host && !settings.yes) {
        if (const int code = confirm_host(out, resources.size()); code != exit_ok) return code;
    }
    Json listed = Json::array();
    for (const std::string& r : resources)
        listed.push_back(r);
    out.event("batch_started", Json{{"resources", listed}, {"jobs", settings.jobs}},
              "Upgrading " + std::to_string(resources.size()) + " instruments, at most " +
                  std::to_string(settings.jobs) + " at once");
    const std::vector<std::unique_ptr<Child>> ended =
        run_children(settings, release, out, resources, image_bytes(settings, release, offered));

    Json instruments = Json::array();
    int succeeded = 0;
    std::vector<Outcome> outcomes =
        collect_outcomes(resources, ended, same, instruments, succeeded);
    add_missing(missing, outcomes, instruments);
    // Missing instruments count as failures unless the line said they may be.
    const int counted_missing = settings.allow_missing ? 0 : static_cast<int>(missing.size());
    const int total = static_cast<int>(resources.size()) + counted_missing;
    const int code = succeeded == total       ? exit_ok
                     : interrupt::requested() ? exit_interrupted
                                              : exit_batch_failed;
    out.event("summary", Json{{"instruments", instruments},
                              {"succeeded", succeeded},
                              {"failed", total - succeeded},
                              {"missing", missing.size()},
                              {"exit_code", code}});
    if (!out.json()) print_summary(out, outcomes);
    std::string message;
    if (succeeded != total) {
        message =
            std::to_string(total - succeeded) + " of " + std::to_string(total) + " did not succeed";
        if (counted_missing > 0)
            message += " (" + std::to_string(counted_missing) +
                       " did not answer or are not an accepted model)";
    }
    return finish_batch(out, code, message);
}

}  // namespace cli
