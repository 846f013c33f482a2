// check, and upgrade --dry-run: everything an upgrade checks before it
// writes, with nothing written. The release's checks are the run's own (the
// workflow's run, stopped once they are done); each instrument is then asked
// who it is, under this machine's run lock and the instrument's VISA lock,
// both given back at once. Instruments are asked at once, -j at a time, each
// on a thread with an engine of its own, so that a fleet costs about what one
// instrument costs.
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

#include <unistd.h>

#include "commands.h"
#include "exit_codes.h"
#include "interrupt.h"
#include "platform/small_file.h"
#include "progress.h"
#include "run_plan.h"
#include "workflow/discovery.h"
#include "workflow/firmware_version.h"
#include "workflow/identification.h"
#include "workflow/identify_failure.h"
#include "workflow/operator.h"
#include "workflow/outcome.h"
#include "workflow/preflight.h"
#include "workflow/release_config.h"
#include "workflow/upgrade.h"
#include "workflow/visa_extension.h"

namespace cli {

namespace {

using workflow::Json;
using workflow::TextOrNull;

// What the release gives every instrument's check.
struct ReleaseCheck {
    std::string dir;
    Json images = Json::array();  // what an upgrade would write, in its order
    std::string version;          // the version Firmware_Upgrade.txt gives HPAP; empty: none
};

// What check found about one instrument.
struct Probe {
    std::string resource;
    Identification id;
    bool run_lock_free = true;
    std::optional<bool> visa_lock_free;  // unknown until identification tried it
    std::optional<bool> current;  // already at the release's version; unknown when not comparable
    workflow::Cause cause;
    int code = exit_ok;
    std::string message;
    bool skipped = false;  // --skip-current left it alone
};

// The run's boxes, kept as the reason it cannot start; its notes as diagnostics.
class CheckOperator : public workflow::SilentOperator {
public:
    explicit CheckOperator(Output& out) : out_(out) {}
    int MessageBox(const std::string& text, const std::string&, unsigned type) override {
        if (type == workflow::kBoxYesNoWarning) return workflow::kAnswerYes;
        message_ = text;
        while (!message_.empty() && message_.back() == '\n')
            message_.pop_back();
        for (char& c : message_)
            if (c == '\n') c = ' ';
        return workflow::kAnswerOk;
    }
    void Diagnostic(const std::string& line) override { out_.diagnostic("fwupgrade: " + line); }
    const std::string& message() const { return message_; }

private:
    Output& out_;
    std::string message_;
};

// Stops the run as soon as its checks before contact are done.
class ReleaseObserver : public workflow::UpgradeObserver {
public:
    void OnChecked(const std::vector<workflow::CheckedImage>&,
                   const workflow::ReleaseVerification& verification) override {
        verification_ = verification;
        checked_ = true;
    }
    bool StopRequested() override { return checked_ || interrupt::requested(); }
    bool checked() const { return checked_; }
    const workflow::ReleaseVerification& verification() const { return verification_; }

private:
    bool checked_ = false;
    workflow::ReleaseVerification verification_;
};

// The check ends before any instrument is asked: said once, and as the
// "finished" event with its reason.
int release_failed(Output& out, int code, const workflow::Cause& cause) {
    out.diagnostic("fwupgrade: " + cause.m_sentence);
    out.event("finished", finished_fields("check", code, cause));
    return code;
}

void report_verification(Output& out, const workflow::ReleaseVerification& v) {
    std::string human = std::string("Release: ") + v.ResultWord();
    if (!v.m_fingerprint.empty()) human += ", signed by " + v.m_fingerprint;
    if (v.m_signatureNotChecked) human += std::string("; ") + workflow::kSignatureNotCheckedNote;
    if (!v.m_message.empty()) human += ": " + v.m_message;
    out.event("verification",
              Json{{"result", v.ResultWord()},
                   {"fingerprint", TextOrNull(v.m_fingerprint)},
                   {"files", v.m_filesChecked},
                   {"warnings", v.m_warnings},
                   {"message", TextOrNull(v.m_message)},
                   {"note", verification_note(v)}},
              human);
}

// The release checked as a run checks it: its configuration, the chosen
// image files, SHA256SUMS and signature under the run's policy. exit_ok
// when an upgrade could start from it.
int check_release(const CommandLine& settings, Output& out, ReleaseCheck& release) {
    using Kind = workflow::Cause::Kind;
    release.dir = release_directory(settings.release);
    // The upgrade's own plan; a check asks no question, so none needs --yes.
    CommandLine asked = settings;
    asked.yes = true;
    Plan plan;
    int code = exit_error;
    if (workflow::Cause cause; !plan_run(asked, release.dir, plan, code, cause))
        return release_failed(out, code, cause);
    release.images = plan.images;
    CheckOperator op(out);
    ReleaseObserver observer;
    // The run needs an instrument's name, but is stopped before it is used;
    // each instrument's own name is judged when it is checked.
    std::string instrument = "check";
    std::string family, host_file;
    const workflow::UpgradeEnd end = workflow::RunUpgrade(
        op, release.dir, instrument, plan.chosen, family, host_file, &observer, plan.options);
    if (interrupt::requested())
        return release_failed(out, exit_interrupted,
                              workflow::MakeCause(Kind::Interrupted, "stopped on request"));
    if (!observer.checked()) {
        const bool usage = end == workflow::UpgradeEnd::TooLong;
        return release_failed(out, usage ? exit_usage : exit_error,
                              workflow::MakeCause(usage ? Kind::Usage : Kind::File, op.message(),
                                                  unusable_image(release.dir, plan.chosen)));
    }
    const workflow::ReleaseVerification& verification = observer.verification();
    report_verification(out, verification);
    if (verification.m_status == workflow::ReleaseVerification::Status::Failed)
        return release_failed(
            out, exit_verify_failed,
            workflow::MakeCause(Kind::Verification,
                                "the release failed verification: " + verification.m_message));
    std::string config = verification.m_config;
    if (!verification.m_configListed) {
        const auto file = platform::read_small_file(release.dir + workflow::kConfigFileName,
                                                    platform::small_file_cap, nullptr);
        config = file ? file->text : "";
    }
    release.version = workflow::ReleaseImageVersion(config, "HPAP").value_or("");
    return exit_ok;
}

// Whether an upgrade of `instrument` would start, asking it only who it is.
Probe probe(const std::string& instrument, const ReleaseCheck& release) {
    Probe p;
    p.resource = workflow::ResourceFromInstrumentText(instrument);
    p.id.resource = p.resource;
    if (p.resource.size() > workflow::kMaxResourceChars) {
        p.code = exit_usage;
        p.message = "the resource is too long (" + std::to_string(p.resource.size()) +
                    " characters, at most " + std::to_string(workflow::kMaxResourceChars) + ")";
        p.cause = workflow::MakeCause(workflow::Cause::Kind::Usage, p.message);
        return p;
    }
    const workflow::InstrumentProbe found =
        workflow::ProbeInstrument(p.resource, "fwupgrade check");
    p.run_lock_free = found.m_runLockFree;
    p.visa_lock_free = found.m_visaLockFree;
    p.id.answered = found.m_answered;
    p.id.accepted = found.m_accepted;
    p.id.locked = !found.m_runLockFree || found.m_visaLockFree == false;
    p.id.reply = found.m_reply;
    p.id.fields = found.m_fields;
    p.id.cause = found.m_cause;
    if (found.m_cause.failed()) {
        p.cause = found.m_cause;
        p.code = p.cause.m_kind == workflow::Cause::Kind::Locked ? exit_locked : exit_not_found;
        p.message = p.cause.m_sentence;
        return p;
    }
    if (!release.version.empty())
        p.current = workflow::FirmwareIsCurrent(p.id.fields.firmware, release.version);
    return p;
}

// Probes every instrument, at most `jobs` at once; `done` hears of each as
// it ends (on its thread). The probes come back in the order given.
std::vector<Probe> probe_all(const std::vector<std::string>& resources, int jobs,
                             const ReleaseCheck& release,
                             const std::function<void(const Probe&)>& done) {
    std::vector<Probe> probes(resources.size());
    std::atomic<std::size_t> next{0};
    const std::size_t count =
        std::min<std::size_t>(static_cast<std::size_t>(jobs), resources.size());
    const auto work = [&] {
        for (std::size_t i; (i = next++) < resources.size();) {
            probes[i] = probe(resources[i], release);
            done(probes[i]);
        }
    };
    std::vector<std::thread> threads;
    for (std::size_t t = 1; t < count; ++t)
        threads.emplace_back(work);
    work();
    for (std::thread& t : threads)
        t.join();
    return probes;
}

std::string ready_text(const Probe& p, const ReleaseCheck& release) {
    std::string text =
        p.id.fields.model + ", serial " + p.id.fields.serial + ", firmware " + p.id.fields.firmware;
    if (p.current == true) return text + "; already at " + release.version;
    if (p.current == false) return text + "; the release gives " + release.version;
    return text;
}

// The per-instrument event: the typed facts, and the reason of a failure.
void report(Output& out, const Probe& p, const ReleaseCheck& release) {
    Json fields = identification_json(p.id);
    fields["run_lock_free"] = p.run_lock_free;
    fields["visa_lock_free"] = p.visa_lock_free ? Json(*p.visa_lock_free) : Json();
    fields["release_version"] = TextOrNull(release.version);
    fields["images"] = release.images;
    fields["current"] = p.current ? Json(*p.current) : Json();
    fields["skipped"] = p.skipped;
    fields["would_start"] = p.code == exit_ok && !p.skipped;
    fields["result"] = result_word(p.code, workflow::KindWord(p.cause.m_kind));
    fields["exit_code"] = p.code;
    fields["message"] = TextOrNull(p.message);
    if (p.cause.failed()) fields["reason"] = workflow::ReasonJson(p.cause);
    if (p.code != exit_ok) {
        // A failure is said once, on standard error, as every command says it.
        out.event("checked", fields);
        out.diagnostic("fwupgrade: " + p.resource + ": cannot start: " + p.message, p.resource);
        return;
    }
    out.event(
        "checked", fields,
        "[" + p.resource + "] " + (p.skipped ? "skipped: " : "ready: ") + ready_text(p, release));
}

Json summary_row(const Probe& p) {
    return Json{
        {"resource", p.resource},
        {"result", p.skipped ? "skipped" : result_word(p.code, workflow::KindWord(p.cause.m_kind))},
        {"exit_code", p.code},
        {"model", TextOrNull(p.id.fields.model)},
        {"serial", TextOrNull(p.id.fields.serial)},
        {"firmware", TextOrNull(p.id.fields.firmware)},
        {"current", p.current ? Json(*p.current) : Json()},
        {"message", TextOrNull(p.message)}};
}

std::string summary_message(int ready, int failed, int missing, const std::vector<Probe>& probes) {
    if (ready + failed == 0) return "no instrument to check was found";
    const auto skipped =
        std::count_if(probes.begin(), probes.end(), [](const Probe& p) { return p.skipped; });
    std::string message =
        std::to_string(ready) + " of " + std::to_string(ready + failed) + " would start";
    if (skipped > 0)
        message += " (" + std::to_string(skipped) + " left alone: already at the release)";
    if (missing > 0)
        message += "; " + std::to_string(missing) + " did not answer or are not an accepted model";
    return message;
}

// Several instruments: each reported (--all: once judged), then a summary.
int finish_batch(const CommandLine& settings, Output& out, const std::vector<Probe>& probes,
                 const ReleaseCheck& release,
                 const std::vector<std::pair<std::string, std::string>>& same) {
    Json rows = Json::array();
    int ready = 0, failed = 0, missing = 0;
    std::map<std::string, std::string> by_serial;
    for (const Probe& p : probes) {
        Json row = summary_row(p);
        if (settings.all) {
            bool is_missing = false;
            const std::string why = all_skip_reason(settings, identification_json(p.id), p.resource,
                                                    by_serial, is_missing);
            if (!why.empty() && !is_missing) {
                out.event("instrument",
                          Json{{"resource", p.resource}, {"selected", false}, {"reason", why}},
                          p.resource + ": not checked, " + why);
                continue;
            }
            report(out, p, release);
            if (is_missing) {
                ++missing;
                row["skipped"] = true;
                if (settings.allow_missing) {
                    rows.push_back(row);
                    continue;
                }
            }
        }
        (p.code == exit_ok ? ready : failed) += 1;
        rows.push_back(row);
    }
    for (const auto& [resource, first] : same)
        rows.push_back(Json{{"resource", resource},
                            {"result", "same_instrument"},
                            {"same_as", first},
                            {"exit_code", exit_ok}});
    const int code = ready + failed == 0 ? exit_not_found
                     : failed > 0        ? exit_batch_failed
                                         : exit_ok;
    const std::string message = summary_message(ready, failed, missing, probes);
    out.event("summary", Json{{"instruments", rows},
                              {"succeeded", ready},
                              {"failed", failed},
                              {"missing", missing},
                              {"exit_code", code}});
    if (!out.json()) summary_output(out).text("Checked: " + message);
    out.event("finished", Json{{"command", "check"},
                               {"result", result_word(code)},
                               {"exit_code", code},
                               {"message", message}});
    return code;
}

}  // namespace

int run_check(const CommandLine& settings, Output& out) {
    ReleaseCheck release;
    if (const int code = check_release(settings, out, release); code != exit_ok) return code;
    interrupt::on_first([&out] {
        // Asking who an instrument is changes nothing: the check ends at once.
        release_failed(out, exit_interrupted,
                       workflow::MakeCause(workflow::Cause::Kind::Interrupted,
                                           "stopped on request while checking"));
        ::_exit(exit_interrupted);
    });
    std::vector<std::pair<std::string, std::string>> same;  // name, first name of it
    const std::vector<std::string> resources =
        settings.all ? discovered_resources(out)
                     : distinct_resources(settings, out, same, "checked once");
    std::vector<Probe> probes = probe_all(resources, settings.jobs, release, [&](const Probe& p) {
        if (settings.all) return;  // reported once judged, below
        Probe shown = p;
        shown.skipped = settings.skip_current && p.code == exit_ok && p.current == true;
        report(out, shown, release);
    });
    interrupt::on_first(nullptr);
    for (Probe& p : probes)
        p.skipped = settings.skip_current && p.code == exit_ok && p.current == true;
    if (!settings.all && probes.size() == 1 && same.empty()) {
        const Probe& p = probes.front();
        Json fields = finished_fields("check", p.code, p.cause);
        fields["resource"] = p.resource;
        fields["skipped"] = p.skipped;
        out.event("finished", fields);
        return p.code;
    }
    return finish_batch(settings, out, probes, release, same);
}

int skip_if_current(const CommandLine& settings, Output& out, const std::string& resource) {
    // Only ever a reason to write nothing: the run that follows otherwise
    // verifies the release as always.
    ReleaseCheck release;
    release.dir = release_directory(settings.release);
    const auto config = platform::read_small_file(release.dir + workflow::kConfigFileName,
                                                  platform::small_file_cap, nullptr);
    if (!config) return -1;
    release.version = workflow::ReleaseImageVersion(config->text, "HPAP").value_or("");
    if (release.version.empty()) return -1;
    const Probe p = probe(resource, release);
    if (p.code != exit_ok || p.current != true) return -1;
    const std::string message = "already at " + release.version + "; not upgraded (--skip-current)";
    out.event("finished",
              Json{{"command", "upgrade"},
                   {"resource", p.resource},
                   {"result", result_word(exit_ok)},
                   {"exit_code", exit_ok},
                   {"skipped", true},
                   {"firmware_before", TextOrNull(p.id.fields.firmware)},
                   {"message", message}},
              p.resource + ": " + message);
    return exit_ok;
}

}  // namespace cli
