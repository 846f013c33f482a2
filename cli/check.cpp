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
#include "engine_streams.h"
#include "exit_codes.h"
#include "interrupt.h"
#include "platform/small_file.h"
#include "progress.h"
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
    workflow::ImageChoice chosen;
    Json images = Json::array();
    std::string version;  // the version Firmware_Upgrade.txt gives HPAP; empty: none
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

// The images the command line chooses of those the release offers; false
// with the reason when one asked for is not offered or none is.
bool choose_images(const CommandLine& settings, const workflow::ImageChoice& offered,
                   ReleaseCheck& release, std::string& message) {
    for (const workflow::ImageInfo& image : workflow::kImages) {
        bool wanted = settings.images.empty() && offered.*image.m_flag != 0;
        for (const std::string& id : settings.images)
            wanted |= id == image.m_id;
        if (!wanted) continue;
        if (offered.*image.m_flag == 0) {
            message = std::string("the release does not offer ") + image.m_id + " (" +
                      image_name(image.m_id) + ")";
            return false;
        }
        release.chosen.*image.m_flag = 1;
        release.images.push_back(image.m_id);
    }
    if (release.images.empty()) message = "the release offers no images";
    return !release.images.empty();
}

int release_failed(Output& out, int code, const std::string& message) {
    out.diagnostic("fwupgrade: " + message);
    out.event("finished", Json{{"command", "check"},
                               {"result", result_word(code)},
                               {"exit_code", code},
                               {"message", message}});
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
    release.dir = release_directory(settings.release);
    workflow::ImageChoice offered;
    std::string message;
    if (!workflow::ReadReleaseConfig(release.dir + workflow::kConfigFileName, offered, &message))
        return release_failed(out, exit_error,
                              "release directory " + release.dir + ": cannot read " +
                                  workflow::kConfigFileName + " (" + message + ")");
    if (!choose_images(settings, offered, release, message))
        return release_failed(out, exit_error, message);
    workflow::RunOptions options;
    options.m_tool = "fwupgrade";
    if (!load_run_policy(settings, options.m_policy, message))
        return release_failed(out, exit_error, message);
    CheckOperator op(out);
    ReleaseObserver observer;
    // The run needs an instrument's name, but is stopped before it is used.
    std::string instrument = settings.resources.empty() ? "check" : settings.resources.front();
    std::string family, host_file;
    const workflow::UpgradeEnd end = workflow::RunUpgrade(
        op, release.dir, instrument, release.chosen, family, host_file, &observer, options);
    if (interrupt::requested()) return release_failed(out, exit_interrupted, "stopped on request");
    if (!observer.checked())
        return release_failed(out, end == workflow::UpgradeEnd::TooLong ? exit_usage : exit_error,
                              op.message());
    const workflow::ReleaseVerification& verification = observer.verification();
    report_verification(out, verification);
    if (verification.m_status == workflow::ReleaseVerification::Status::Failed)
        return release_failed(out, exit_verify_failed,
                              "the release failed verification: " + verification.m_message);
    std::string config = verification.m_config;
    if (!verification.m_configListed) {
        const auto file = platform::read_small_file(release.dir + workflow::kConfigFileName,
                                                    platform::small_file_cap, nullptr);
        config = file ? file->text : "";
    }
    release.version = workflow::ReleaseImageVersion(config, "HPAP").value_or("");
    return exit_ok;
}

// The typed cause of an identification that found no instrument to upgrade.
workflow::Cause cause_of(const workflow::IdentifyFailure& failure) {
    using Kind = workflow::IdentifyFailure::Kind;
    using CauseKind = workflow::Cause::Kind;
    workflow::Cause cause;
    cause.m_kind = failure.m_kind == Kind::Unreachable  ? CauseKind::Unreachable
                   : failure.m_kind == Kind::NoReply    ? CauseKind::NoReply
                   : failure.m_kind == Kind::Locked     ? CauseKind::Locked
                   : failure.m_kind == Kind::OtherModel ? CauseKind::NotAccepted
                                                        : CauseKind::None;
    cause.m_host = failure.m_host;
    cause.m_port = failure.m_port;
    cause.m_holder = failure.m_holder;
    cause.m_since = failure.m_since;
    cause.m_model = failure.m_model;
    cause.m_reply = failure.m_reply;
    cause.m_sentence = workflow::DescribeIdentifyFailure(failure);
    // What the library recorded of this thread's connection says most.
    if (const auto met = workflow::LastConnectFailure();
        met && (cause.m_kind == CauseKind::Unreachable || cause.m_kind == CauseKind::NoReply)) {
        cause.m_stage = met->m_stage;
        cause.m_errno = met->m_errno;
        cause.m_elapsedS = met->m_elapsedS;
        if (!met->m_host.empty()) cause.m_host = met->m_host;
        if (met->m_port != 0) cause.m_port = met->m_port;
    }
    return cause;
}

// Why `found` met no instrument, in plain words: the library's when it
// recorded some, else what the failed call says.
std::string unreachable_reason(const workflow::InstrumentProbe& found, bool alone) {
    if (const auto met = workflow::LastConnectFailure(); met && !met->m_text.empty())
        return met->m_text;
    VisaFailure failure;
    failure.status = static_cast<ViStatus>(found.m_failedStatus);
    failure.function = found.m_failedFunction;
    // The library's log is the process's: its lines tell this instrument's
    // story only while no other is asked at the same time.
    return unreachable_cause(alone ? VisaLogTail::lines() : std::vector<std::string>{}, failure,
                             found.m_elapsedS);
}

// Whether an upgrade of `instrument` would start, asking it only who it is.
Probe probe(const std::string& instrument, const ReleaseCheck& release, bool alone) {
    Probe p;
    p.resource = workflow::ResourceFromInstrumentText(instrument);
    p.id.resource = p.resource;
    if (p.resource.size() > workflow::kMaxResourceChars) {
        p.code = exit_usage;
        p.message = "the resource is too long (" + std::to_string(p.resource.size()) +
                    " characters, at most " + std::to_string(workflow::kMaxResourceChars) + ")";
        p.cause.m_kind = workflow::Cause::Kind::Usage;
        p.cause.m_sentence = p.message;
        return p;
    }
    if (alone) VisaLogTail::mark();
    const workflow::InstrumentProbe found =
        workflow::ProbeInstrument(p.resource, "fwupgrade check");
    p.run_lock_free = found.m_runLockFree;
    p.visa_lock_free = found.m_visaLockFree;
    p.id.answered = found.m_answered;
    p.id.accepted = found.m_accepted;
    p.id.locked = !found.m_runLockFree || found.m_visaLockFree == false;
    p.id.reply = found.m_reply;
    p.id.fields = found.m_fields;
    p.id.diagnostic = found.m_engineText;
    using Kind = workflow::IdentifyFailure::Kind;
    if (found.m_failure.m_kind != Kind::None) {
        workflow::IdentifyFailure failure = found.m_failure;
        const bool silent = failure.m_kind == Kind::Unreachable || failure.m_kind == Kind::NoReply;
        if (silent) failure.m_reason = unreachable_reason(found, alone);
        p.cause = cause_of(failure);
        if (!found.m_runLockFree) p.cause.m_sentence = found.m_runLockWhy;
        p.code = p.id.locked ? exit_locked : exit_not_found;
        p.message = silent && !failure.m_reason.empty()
                        ? p.resource + " is not reachable: " + failure.m_reason
                        : p.cause.m_sentence;
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
            probes[i] = probe(resources[i], release, count <= 1);
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
    fields["current"] = p.current ? Json(*p.current) : Json();
    fields["skipped"] = p.skipped;
    fields["would_start"] = p.code == exit_ok && !p.skipped;
    fields["result"] = result_word(p.code);
    fields["exit_code"] = p.code;
    fields["message"] = TextOrNull(p.message);
    if (p.cause.failed()) fields["reason"] = workflow::ReasonJson(p.cause);
    std::string human = "[" + p.resource + "] ";
    if (p.code != exit_ok && quiet_output()) out.diagnostic("fwupgrade: " + human + p.message);
    if (p.code != exit_ok)
        human += "cannot start: " + p.message;
    else
        human += (p.skipped ? "skipped: " : "ready: ") + ready_text(p, release);
    out.event("checked", fields, human);
}

Json summary_row(const Probe& p) {
    return Json{{"resource", p.resource},
                {"result", p.skipped ? "skipped" : result_word(p.code)},
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
        release_failed(out, exit_interrupted, "stopped on request while checking");
        ::_exit(exit_interrupted);
    });
    std::vector<std::pair<std::string, std::string>> same;  // name, first name of it
    const std::vector<std::string> resources =
        settings.all ? discovered_resources()
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
        out.event("finished", Json{{"command", "check"},
                                   {"resource", p.resource},
                                   {"result", result_word(p.code)},
                                   {"exit_code", p.code},
                                   {"skipped", p.skipped},
                                   {"message", TextOrNull(p.message)}});
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
    const Probe p = probe(resource, release, true);
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
