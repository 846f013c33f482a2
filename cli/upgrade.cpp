// One instrument's upgrade in this process: the window's Upgrade run through
// workflow::RunUpgrade, reported as events, recorded in the audit trail, and
// stopped only at the run's safe points when interrupted.
#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>

#include <poll.h>
#include <unistd.h>

#include "commands.h"
#include "engine_streams.h"
#include "exit_codes.h"
#include "interrupt.h"
#include "progress.h"
#include "prompt.h"
#include "run_plan.h"
#include "workflow/audit.h"
#include "workflow/identification.h"
#include "workflow/images.h"
#include "workflow/operator.h"
#include "workflow/release_config.h"
#include "workflow/socket_warning.h"
#include "workflow/upgrade.h"

namespace cli {

namespace {

using workflow::Cause;
using workflow::Json;
using workflow::TextOrNull;

// A box's text on one line, for a diagnostic.
std::string one_line(std::string text) {
    while (!text.empty() && text.back() == '\n')
        text.pop_back();
    std::string out;
    for (const char c : text) {
        if (c == '\n') {
            if (!out.empty() && out.back() != ' ') out += ' ';
        } else {
            out += c;
        }
    }
    return out;
}

// "Host UBL upgrade...": what the window's log shows before an image's result.
std::string log_text(const std::string& id) {
    for (const workflow::ImageInfo& image : workflow::kImages)
        if (id == image.m_id) return image.m_logText;
    return id + " upgrade...";
}

// What the run shows: the warning becomes a question, the other boxes and
// reports are kept for the closing line, which says each failure once; the
// log and the progress bar are left to the events.
class CliOperator : public workflow::SilentOperator {
public:
    CliOperator(Output& out, const CommandLine& settings) : out_(out), settings_(settings) {}

    int MessageBox(const std::string& text, const std::string& caption, unsigned type) override {
        (void)caption;
        if (type == workflow::kBoxYesNoWarning) {
            if (settings_.yes) {
                out_.text("Warning: " + one_line(text) + " Yes (--yes).");
                return workflow::kAnswerYes;
            }
            return ask_yes_no(one_line(text)) == Answer::yes ? workflow::kAnswerYes
                                                             : workflow::kAnswerNo;
        }
        // The window's box waits for OK before the restart; here the
        // restart simply follows.
        if (type == workflow::kBoxInformation)
            out_.text("Upgrade complete.");
        else
            message_ = one_line(text);
        return workflow::kAnswerOk;
    }

    // A run that reports its causes as values: they are taken as they are.
    void ReportNotStarted(const std::string& text, const workflow::Cause& cause) override {
        message_ = one_line(text);
        cause_ = cause;
    }
    void ReportNotIdentified(const workflow::Cause& cause) override { cause_ = cause; }
    void ReportLocked(const std::string& text, const workflow::Cause& cause) override {
        message_ = one_line(text);
        cause_ = cause;
    }
    void ReportHostFailed(const workflow::ImageOutcome& image,
                          const workflow::RunOutcome& run) override {
        cause_ = image.m_cause.failed() ? image.m_cause : run.m_cause;
    }
    void ReportImageFailed(const workflow::ImageOutcome& image,
                           const workflow::RunOutcome& run) override {
        cause_ = image.m_cause.failed() ? image.m_cause : run.m_cause;
    }

    // The last error box's text on one line.
    const std::string& message() const { return message_; }
    // The cause the run reported, when it did.
    const workflow::Cause& cause() const { return cause_; }

private:
    Output& out_;
    const CommandLine& settings_;
    std::string message_;
    workflow::Cause cause_;
};

// Turns the run's steps into events and keeps its audit record. The record
// is touched under `mutex`, which a second signal tries to take to write it;
// nothing slow (no file is read) happens while it is held. What the engine
// did comes from its typed events, on the run's thread.
class CliObserver : public workflow::UpgradeObserver {
public:
    CliObserver(Output& out, const std::string& resource, const std::string& release,
                const workflow::ImageChoice& chosen, const Json& images)
        : out_(out),
          resource_(resource),
          audit_("fwupgrade", resource, release, chosen),
          count_(static_cast<int>(images.size())),
          engine_(EngineEvents::Callbacks{nullptr,
                                          [this](int64_t sent, int64_t total, bool block_end) {
                                              on_bytes(sent, total, block_end);
                                          },
                                          [this] { on_programming(); }}) {
        for (const Json& id : images)
            not_written_.push_back(id.get<std::string>());
    }

    void OnOperation(const char* operation) override {
        {
            std::lock_guard lock(mutex);
            step_ = operation;
            // The first operation is the first contact: the started record
            // goes out before it.
            audit_.OnOperation(operation);
        }
        out_.event("step", Json{{"resource", resource_}, {"step", operation}},
                   std::string(operation) == "reboot" ? "Restarting the instrument..." : "");
    }

    void OnChecked(const std::vector<workflow::CheckedImage>& images,
                   const workflow::ReleaseVerification& verification) override {
        {
            std::lock_guard lock(mutex);
            audit_.OnChecked(images, verification);
            for (const workflow::CheckedImage& image : images)
                checked_[image.m_info->m_id] = image.m_sha256;
        }
        Json files = Json::array();
        for (const std::string& file : verification.m_filesChecked)
            files.push_back(file);
        using Status = workflow::ReleaseVerification::Status;
        std::string human;
        if (verification.m_status == Status::Signed)
            human = "Release verified: signed by " + verification.m_fingerprint;
        else if (verification.m_status == Status::Checksummed)
            human = verification.m_signatureNotChecked
                        ? std::string("Release verified against SHA256SUMS; ") +
                              workflow::kSignatureNotCheckedNote
                        : "Release verified against SHA256SUMS (not signed)";
        else if (verification.m_status == Status::NotChecksummed)
            human = "Release not checksummed (no SHA256SUMS): images are sent as they are";
        out_.event("verification",
                   Json{{"resource", resource_},
                        {"result", verification.ResultWord()},
                        {"fingerprint", TextOrNull(verification.m_fingerprint)},
                        {"files", files},
                        {"warnings", verification.m_warnings},
                        {"message", TextOrNull(verification.m_message)},
                        {"note", verification_note(verification)}},
                   human);
    }

    void OnIdentified(const std::string& reply, bool accepted) override {
        // On the run's thread, right after the identification.
        const std::optional<workflow::ConnectFailure> connect = workflow::LastConnectFailure();
        Identification id;
        {
            std::lock_guard lock(mutex);
            audit_.OnIdentified(reply, accepted);
            id.reply = audit_.Trail().Record().identity;
        }
        id.resource = resource_;
        id.answered = !id.reply.empty();
        id.accepted = accepted;
        id.locked = locked_in_step("identify");
        id.fields = workflow::SplitIdentity(id.reply);
        if (!accepted) id.cause = identification_cause(id, engine_, connect);
        identified_ = id.cause;
        before_ = id.fields.firmware;
        model_ = id.fields.model;
        out_.event("identified", identification_json(id),
                   accepted ? "Identified " + id.fields.model + ", serial " + id.fields.serial +
                                  ", firmware " + id.fields.firmware
                            : "");
    }

    void OnIdentifyFailed(const workflow::IdentifyFailure& failure) override {
        std::lock_guard lock(mutex);
        failure_ = failure;
        audit_.OnIdentifyFailed(failure_);
    }

    void OnImageStart(const workflow::ImageEvent& event) override {
        std::string sha256;
        {
            std::lock_guard lock(mutex);
            audit_.OnImageStart(event);
            sha256 = checked_[event.m_id];
            image_ = event.m_id;
            programming_ = false;
            ++index_;
        }
        image_began_ = std::chrono::steady_clock::now();
        last_progress_ = {};
        out_.event(
            "image_started",
            Json{{"resource", resource_},
                 {"image", image_},
                 {"name", image_name(image_)},
                 {"file", event.m_path},
                 {"size", event.m_size >= 0 ? Json(static_cast<long long>(event.m_size)) : Json()},
                 {"sha256", TextOrNull(sha256)},
                 {"index", index_},
                 {"count", count_}});
    }

    void OnImageDone(const workflow::ImageEvent& event) override {
        const bool ok = event.m_result == 0;
        workflow::Cause cause;
        if (!ok) cause = image_cause(event.m_id);
        {
            std::lock_guard lock(mutex);
            audit_.OnImageDone(event);
            image_.clear();
            if (ok) {
                written_.emplace_back(event.m_id);
                std::erase(not_written_, event.m_id);
            } else if (!image_failed_.failed()) {
                image_failed_ = cause;
            }
        }
        out_.end_progress();
        const long long sent = engine_.BytesSent();
        char seconds[32];
        std::snprintf(seconds, sizeof seconds, "%.2f s",
                      static_cast<double>(event.m_duration.count()) / 1000.0);
        std::string human = log_text(event.m_id) + (ok ? "successful" : "FAILED!") + " (" + seconds;
        if (ok && event.m_size >= 0)
            human += ", " + std::to_string(event.m_size) + " bytes";
        else if (!ok)
            human += ", " + std::to_string(sent) + " of " +
                     (event.m_size >= 0 ? std::to_string(event.m_size) : std::string("?")) +
                     " bytes sent";
        human += ")";
        Json fields{{"resource", resource_},
                    {"image", event.m_id},
                    {"result", ok ? "ok" : "failed"},
                    {"sha256", TextOrNull(event.m_sentSha256)},
                    {"bytes_sent", sent},
                    {"duration_ms", static_cast<long long>(event.m_duration.count())}};
        if (!ok) fields["reason"] = workflow::ReasonJson(cause);
        out_.event("image_done", fields, human);
    }

    void OnRestart(bool sent) override {
        {
            std::lock_guard lock(mutex);
            audit_.OnRestart(sent);
        }
        restart_sent_ = sent ? 1 : 0;
        if (!sent)
            out_.diagnostic(
                "fwupgrade: warning: the restart command could not be delivered; the instrument "
                "runs its old firmware until it is power-cycled",
                resource_);
    }

    bool StopRequested() override { return interrupt::requested(); }

    bool locked_in_step(const std::string& step) const {
        return engine_.Locked() && engine_.LockedIn() == step;
    }
    bool locked_anywhere() const { return engine_.Locked(); }
    // Who held the instrument's lock when an operation met it.
    workflow::Cause lock_cause() const {
        workflow::EngineFailure held;
        held.m_locked = true;
        return workflow::CauseOf(held, engine_.LockRefusal());
    }
    // Why the engine's last operation failed, as its events and the
    // library's record tell it.
    workflow::Cause engine_cause() const {
        return workflow::CauseOf(engine_.Failure(), engine_.Locked()
                                                        ? engine_.LockRefusal()
                                                        : workflow::LastConnectFailure());
    }
    // The same, for a caller that holds `mutex` already.
    const std::string& current_image_held() const { return image_; }
    // Whether the whole image under way is with the instrument, which may
    // already have had its done command (under `mutex`).
    bool programming_held() const { return programming_; }
    // The operation under way or last begun (under `mutex`).
    const std::string& step_held() const { return step_; }
    std::string current_image() {
        std::lock_guard lock(mutex);
        return image_;
    }

    const std::string& firmware_before() const { return before_; }
    const std::string& model() const { return model_; }
    // Why no instrument could be upgraded, as the run found it.
    const workflow::IdentifyFailure& failure() const { return failure_; }
    // Why identification accepted nothing, from the engine's events.
    const workflow::Cause& identified() const { return identified_; }
    // The first image that failed and why.
    const workflow::Cause& image_failed() const { return image_failed_; }
    // 1 or 0 once a restart was tried, -1 before.
    int restart_sent() const { return restart_sent_; }
    // "written: HPAP, HREC; not written: HBRM, HUBL": for the closing line.
    std::string written_summary() {
        std::lock_guard lock(mutex);
        const auto list = [](const std::vector<std::string>& ids) {
            std::string text;
            for (const std::string& id : ids)
                text += (text.empty() ? "" : ", ") + id;
            return text.empty() ? std::string("none") : text;
        };
        return "written: " + list(written_) + "; not written: " + list(not_written_);
    }
    bool all_written() {
        std::lock_guard lock(mutex);
        return not_written_.empty();
    }
    workflow::AuditObserver& audit() { return audit_; }

    std::timed_mutex mutex;

private:
    // Progress goes out at most this often, besides each image's last.
    static constexpr std::chrono::milliseconds kProgressEvery{100};

    // Why image `id` failed, named after it.
    workflow::Cause image_cause(const std::string& id) const {
        workflow::Cause cause = engine_cause();
        cause.m_sentence = id + " (" + image_name(id) + "): " + cause.m_sentence;
        return cause;
    }

    std::string label() const {
        return image_ + " " + std::to_string(index_) + "/" + std::to_string(count_);
    }

    // The engine's count of image bytes sent: "sending" events with rising
    // bytes, at most ten a second, and "sent" once the whole image went out.
    void on_bytes(int64_t sent, int64_t total, bool block_end) {
        const bool whole = block_end && sent >= total;
        const auto now = std::chrono::steady_clock::now();
        if (!whole && sent < total && now - last_progress_ < kProgressEvery) return;
        last_progress_ = now;
        const double seconds = std::chrono::duration<double>(now - image_began_).count();
        progress(whole ? "sent" : "sending", sent, total,
                 label() + "  " + progress_text(sent, total, seconds));
    }
    void on_programming() {
        {
            std::lock_guard lock(mutex);
            programming_ = true;
        }
        const int64_t sent = engine_.BytesSent();
        progress("programming", sent, sent,
                 label() + "  " + progress_text(sent, sent, 0) + "  programming the flash...");
    }
    void progress(const char* phase, int64_t sent, int64_t total, const std::string& line) {
        const int percent = total > 0 ? static_cast<int>(sent * 100 / total) : 100;
        out_.event("progress", Json{{"resource", resource_},
                                    {"image", image_},
                                    {"phase", phase},
                                    {"percent", percent},
                                    {"bytes", static_cast<long long>(sent)},
                                    {"total", static_cast<long long>(total)}});
        image_progress(out_, image_, sent, total, line);
    }

    Output& out_;
    const std::string& resource_;
    workflow::AuditObserver audit_;
    int count_;
    int index_ = 0;
    std::string image_;
    std::string step_;
    std::string before_;
    std::string model_;
    workflow::IdentifyFailure failure_;
    workflow::Cause identified_;
    workflow::Cause image_failed_;
    bool programming_ = false;
    int restart_sent_ = -1;
    std::vector<std::string> written_;
    std::vector<std::string> not_written_;
    std::map<std::string, std::string> checked_;  // image id -> SHA-256 as checked
    std::chrono::steady_clock::time_point image_began_;
    std::chrono::steady_clock::time_point last_progress_;
    EngineEvents engine_;  // last: its callbacks reach the members above
};

struct Ending {
    int code = exit_error;
    std::string audit_result;  // empty: as the run's end says
    std::string message;
    workflow::Cause cause;  // None for a run that succeeded
};

// Why no instrument could be upgraded: the run's typed failure where it
// knows more (a foreign model, a run lock's holder), else what the engine's
// events told of the identification.
workflow::Cause identify_cause(const CliObserver& observer) {
    using Kind = workflow::IdentifyFailure::Kind;
    const workflow::IdentifyFailure& failure = observer.failure();
    if (failure.m_kind == Kind::OtherModel || observer.identified().m_kind == Cause::Kind::None)
        return workflow::CauseOf(failure, std::nullopt);
    return observer.identified();
}

// Why the run ended as it did. Every cause comes from values: the one the
// run reported to the operator when it did, else the observer's events.
Cause run_cause(workflow::UpgradeEnd end, const CliObserver& observer, const CliOperator& op,
                const std::string& bad_file) {
    using workflow::MakeCause;
    using workflow::UpgradeEnd;
    if (op.cause().failed()) return op.cause();
    switch (end) {
        case UpgradeEnd::NoInstrument:
        case UpgradeEnd::TooLong:
            return MakeCause(Cause::Kind::Usage, op.message());
        case UpgradeEnd::NothingChosen:
            return MakeCause(Cause::Kind::File, "nothing to write");
        case UpgradeEnd::BadImage:
            return MakeCause(Cause::Kind::File, op.message(), bad_file);
        case UpgradeEnd::NotVerified:
            return MakeCause(Cause::Kind::Verification, op.message());
        case UpgradeEnd::Locked: {
            // The run lock's own words name its holder and since when.
            Cause cause = workflow::CauseOf(observer.failure(), std::nullopt);
            cause.m_kind = Cause::Kind::Locked;
            if (!op.message().empty()) cause.m_sentence = op.message();
            return cause;
        }
        case UpgradeEnd::NotIdentified:
            return identify_cause(observer);
        case UpgradeEnd::Declined:
            if (interrupt::requested())
                return MakeCause(Cause::Kind::Interrupted, "stopped at the warning");
            return MakeCause(Cause::Kind::Declined, "the warning was answered no");
        case UpgradeEnd::HostFailed:
        case UpgradeEnd::ImageFailed:
            // A lock met on the way says more than the transfer it ended.
            if (observer.locked_anywhere()) return observer.lock_cause();
            if (observer.image_failed().failed()) return observer.image_failed();
            return observer.engine_cause();
        case UpgradeEnd::Interrupted:
        case UpgradeEnd::Complete:
            break;
    }
    return {};
}

Ending ending_of(workflow::UpgradeEnd end, CliObserver& observer, const CliOperator& op,
                 const std::string& bad_file) {
    using workflow::UpgradeEnd;
    Ending ending;
    ending.cause = run_cause(end, observer, op, bad_file);
    ending.message = ending.cause.m_sentence;
    switch (ending.cause.m_kind) {
        case Cause::Kind::Usage:
            ending.code = exit_usage;
            break;
        case Cause::Kind::Verification:
            ending.code = exit_verify_failed;
            break;
        case Cause::Kind::Locked:
            ending.code = exit_locked;
            if (end == UpgradeEnd::Locked) ending.audit_result = "locked";
            break;
        case Cause::Kind::Unreachable:
        case Cause::Kind::NoReply:
        case Cause::Kind::NotAccepted:
            ending.code = end == UpgradeEnd::NotIdentified ? exit_not_found : exit_image_failed;
            break;
        case Cause::Kind::Transfer:
            ending.code = exit_image_failed;
            break;
        case Cause::Kind::Interrupted:
            ending.code = exit_interrupted;
            ending.audit_result = "interrupted";
            break;
        case Cause::Kind::Declined:
            ending.code = exit_declined;
            break;
        default:
            ending.code = exit_error;
            break;
    }
    if (end == UpgradeEnd::Interrupted) {
        ending = {exit_interrupted,
                  {},
                  "stopped on request; " + observer.written_summary() +
                      "; the instrument was left out of update mode" +
                      (observer.all_written() ? " and was not restarted" : ""),
                  {}};
        ending.cause = workflow::MakeCause(Cause::Kind::Interrupted, ending.message);
    } else if (end == UpgradeEnd::Complete) {
        ending = {exit_ok, {}, {}, {}};
        if (observer.restart_sent() == 0)
            ending.message =
                "every image was written, but the restart command could not be delivered: "
                "power-cycle the instrument";
    }
    return ending;
}

// The "finished" event of one instrument's run; returns `code`.
int finish_one(Output& out, const std::string& resource, int code, const std::string& message,
               const Cause& cause, const Json& extra = Json::object()) {
    Json fields = finished_fields("upgrade", code, cause);
    fields["resource"] = resource;
    fields["message"] = TextOrNull(message);
    for (const auto& member : extra.items())
        fields[member.key()] = member.value();
    out.event("finished", fields);
    return code;
}

// Ends the process now with the interrupted status, after recording the
// attempt as `result` with `message` and saying so. The kernel closes the
// instrument's connections, which releases its lock.
[[noreturn]] void end_at_once(Output& out, const std::string& resource, CliObserver& observer,
                              const std::string& result, const std::string& message) {
    std::string error;
    if (!observer.audit().Write(workflow::UpgradeEnd::Interrupted, error, result, message))
        out.diagnostic("fwupgrade: warning: " + error, resource);
    out.diagnostic("fwupgrade: " + resource + ": " + message, resource);
    finish_one(out, resource, exit_interrupted, message,
               workflow::MakeCause(Cause::Kind::Interrupted, message));
    ::_exit(exit_interrupted);
}

// The first interrupt is announced, and ends the process at once while the
// instrument has only been asked who it is (nothing there to finish); the
// second ends the process at once after recording the attempt, unless
// `recorded` (under observer.mutex) says that the main thread has already
// done so.
void watch_interrupts(Output& out, const std::string& resource, CliObserver& observer,
                      const bool& recorded, bool waits_after_restart) {
    interrupt::on_first([&out, &observer, &recorded, resource, waits_after_restart] {
        {
            // The main thread holds this only for moments; should it not
            // come free, the run stops at its next safe point as usual.
            std::unique_lock lock(observer.mutex, std::chrono::milliseconds(300));
            if (lock.owns_lock() && !recorded && observer.step_held() == "identify")
                end_at_once(out, resource, observer, {},
                            "stopped on request before the instrument entered update mode");
            // Waiting for the restarted instrument leaves nothing to finish.
            if (lock.owns_lock() && !recorded && waits_after_restart &&
                observer.step_held() == "reboot" &&
                observer.audit().Trail().Record().restartSent >= 0)
                end_at_once(out, resource, observer, workflow::kAuditOk,
                            "interrupted while waiting for the instrument to answer again");
        }
        const std::string image = observer.current_image();
        const std::string text =
            image.empty() ? "fwupgrade: interrupted; stopping at the next safe point"
                          : "fwupgrade: interrupted; " + image +
                                " is finished first, then the run stops (interrupt again to "
                                "end at once)";
        out.diagnostic(text, resource);
    });
    interrupt::on_second([&out, &observer, &recorded, resource] {
        // The image under way is left incomplete and is recorded so, never
        // as written; once all of it was sent, its done command may already
        // be with the instrument, and whether it was kept cannot be told.
        std::unique_lock lock(observer.mutex, std::chrono::milliseconds(300));
        if (!lock.owns_lock() || recorded) ::_exit(exit_interrupted);
        const std::string image = observer.current_image_held();
        std::string message = "ended at once by a second interrupt";
        std::string result;
        if (!image.empty()) {
            const bool unknown = observer.programming_held();
            result = unknown ? workflow::kAuditUnknown : workflow::kAuditInterrupted;
            message += unknown ? "; unknown whether the instrument kept " + image
                               : "; " + image + " is incomplete and was not kept by the instrument";
            if (unknown) observer.audit().Trail().SetOpenImageResult(workflow::kAuditUnknown);
            out.event("image_done",
                      Json{{"resource", resource}, {"image", image}, {"result", result}});
        }
        end_at_once(out, resource, observer, result, message);
    });
}

// After a complete run with --wait: waits for the instrument to answer again
// and notes its new firmware in the record and in `extra`, or changes
// `ending` to say why it did not come back.
void wait_for_restart(const CommandLine& settings, Output& out, const std::string& resource,
                      CliObserver& observer, Ending& ending, Json& extra) {
    out.event("waiting", Json{{"resource", resource}, {"timeout_s", settings.wait_timeout_s}},
              "Waiting for the instrument to answer again (at most " +
                  std::to_string(settings.wait_timeout_s) + " s)...");
    const BackAfterRestart back = wait_until_back(resource, settings.wait_timeout_s, 10);
    if (back.back) {
        std::lock_guard lock(observer.mutex);
        observer.audit().Trail().SetFirmwareAfter(back.id.fields.firmware);
        extra["firmware_after"] = TextOrNull(back.id.fields.firmware);
        out.event("back", identification_json(back.id),
                  "The instrument answers again: " + back.id.fields.model + ", firmware " +
                      back.id.fields.firmware + " (before: " + observer.firmware_before() + ")");
        if (!back.id.fields.firmware.empty() &&
            back.id.fields.firmware == observer.firmware_before()) {
            // The images went out, but the instrument runs what it ran: an
            // upgrade that did not take is no success.
            ending = {exit_not_changed,
                      "firmware not changed",
                      "the instrument still reports firmware " + back.id.fields.firmware +
                          " after the restart",
                      {}};
            ending.cause = workflow::MakeCause(Cause::Kind::NotChanged, ending.message);
        }
    } else if (back.interrupted) {
        ending = {exit_interrupted,
                  "ok",
                  "interrupted while waiting for the instrument to answer again",
                  {}};
        ending.cause = workflow::MakeCause(Cause::Kind::Interrupted, ending.message);
    } else {
        ending = {
            exit_not_back,
            "no answer after restart",
            "no answer within " + std::to_string(settings.wait_timeout_s) + " s after the restart",
            {}};
        ending.cause = workflow::MakeCause(Cause::Kind::NoReply, ending.message);
    }
}

}  // namespace

std::string release_directory(const std::string& given) {
    std::error_code error;
    std::string dir = std::filesystem::absolute(given, error).lexically_normal().string();
    if (error) dir = given;
    if (dir.empty() || dir.back() != '/') dir += '/';
    return dir;
}

int upgrade_one(const CommandLine& settings, Output& out, const std::string& instrument) {
    const std::string resource = workflow::ResourceFromInstrumentText(instrument);
    const std::string release = release_directory(settings.release);
    Plan plan;
    int code = 0;
    if (Cause cause; !plan_run(settings, release, plan, code, cause)) {
        out.diagnostic("fwupgrade: " + cause.m_sentence, resource);
        return finish_one(out, resource, code, cause.m_sentence, cause);
    }
    out.event("start",
              Json{{"command", "upgrade"},
                   {"resource", resource},
                   {"release", release},
                   {"images", plan.images}},
              "Upgrading " + resource + " from " + release);
    // The window says this in its diagnostics; here the operator sees it.
    if (const std::string warning = workflow::UnlockableResourceWarning(resource); !warning.empty())
        out.diagnostic("fwupgrade: " + warning, resource);

    CliOperator op(out, settings);
    CliObserver observer(out, resource, release, plan.chosen, plan.images);
    // The engine's printed lines say less than the causes made from its
    // events, which the closing line says once.
    const EngineStreams streams(nullptr);
    bool recorded = false;  // under observer.mutex
    watch_interrupts(out, resource, observer, recorded, settings.wait);

    std::string instrument_text = resource;
    std::string family;
    std::string host_file;
    const workflow::UpgradeEnd end = workflow::RunUpgrade(
        op, release, instrument_text, plan.chosen, family, host_file, &observer, plan.options);
    Ending ending =
        ending_of(end, observer, op,
                  end == workflow::UpgradeEnd::BadImage ? unusable_image(release, plan.chosen)
                                                        : std::string());
    Json extra = Json{{"firmware_before", TextOrNull(observer.firmware_before())}};
    if (observer.restart_sent() >= 0) extra["restart_sent"] = observer.restart_sent() == 1;
    // A restart that did not go out leaves nothing to wait for.
    if (end == workflow::UpgradeEnd::Complete && settings.wait && observer.restart_sent() != 0)
        wait_for_restart(settings, out, resource, observer, ending, extra);
    if (ending.cause.failed())
        out.diagnostic("fwupgrade: " + resource + ": " + ending.message, resource);
    {
        std::lock_guard lock(observer.mutex);
        std::string error;
        recorded = true;
        if (!observer.audit().Write(end, error, ending.audit_result, ending.message)) {
            out.diagnostic("fwupgrade: warning: " + error, resource);
            extra["audit_error"] = error;
        }
    }
    interrupt::on_second(nullptr);
    interrupt::on_first(nullptr);
    if (ending.code == exit_ok)
        summary_output(out).text(
            "Upgrade of " + resource + " complete" +
            (observer.restart_sent() == 0 ? "; the instrument was not restarted." : "."));
    return finish_one(out, resource, ending.code, ending.message, ending.cause, extra);
}

int run_upgrade(const CommandLine& settings, Output& out) {
    if (!settings.all && settings.resources.size() == 1) {
        if (settings.skip_current)
            if (const int skipped = skip_if_current(settings, out, settings.resources.front());
                skipped >= 0)
                return skipped;
        return upgrade_one(settings, out, settings.resources.front());
    }
    return upgrade_batch(settings, out);
}

}  // namespace cli
