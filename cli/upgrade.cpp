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
#include "workflow/audit.h"
#include "workflow/identification.h"
#include "workflow/images.h"
#include "workflow/operator.h"
#include "workflow/release_config.h"
#include "workflow/socket_warning.h"
#include "workflow/upgrade.h"

namespace cli {

namespace {

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

// What the run shows: boxes become diagnostics or questions, the log and the
// progress bar are left to the events.
class CliOperator : public workflow::SilentOperator {
public:
    CliOperator(Output& out, const CommandLine& settings, const std::string& resource)
        : out_(out), settings_(settings), resource_(resource) {}

    int MessageBox(const std::string& text, const std::string& caption, unsigned type) override {
        if (type == workflow::kBoxYesNoWarning) {
            if (settings_.yes) {
                out_.text("Warning: " + one_line(text) + " Yes (--yes).");
                return workflow::kAnswerYes;
            }
            return ask_yes_no(one_line(text)) == Answer::yes ? workflow::kAnswerYes
                                                             : workflow::kAnswerNo;
        }
        if (type == workflow::kBoxInformation) {
            // The window's box waits for OK before the restart; here the
            // restart simply follows.
            out_.text("Upgrade complete.");
            return workflow::kAnswerOk;
        }
        message_ = one_line(text);
        // A box that says less than the run knows (no instrument found, when
        // its lock was held) is left to the closing line, which says more.
        if (!(says_less_ && says_less_()))
            out_.diagnostic("fwupgrade: " + caption + ": " + message_, resource_);
        return workflow::kAnswerOk;
    }

    const std::string& message() const { return message_; }
    void hide_boxes_when(std::function<bool()> says_less) { says_less_ = std::move(says_less); }

private:
    Output& out_;
    const CommandLine& settings_;
    const std::string& resource_;
    std::string message_;
    std::function<bool()> says_less_;
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
        before_ = id.fields.firmware;
        model_ = id.fields.model;
        if (!id.answered && !id.locked) unreachable_ = connection_cause(engine_);
        out_.event("identified", identification_json(id),
                   accepted ? "Identified " + id.fields.model + ", serial " + id.fields.serial +
                                  ", firmware " + id.fields.firmware
                            : "");
    }

    void OnIdentifyFailed(const workflow::IdentifyFailure& failure) override {
        std::lock_guard lock(mutex);
        failure_ = failure;
        // The library's log lines name what the connection met when the
        // library itself could not say.
        if (failure_.m_reason.empty()) failure_.m_reason = unreachable_;
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
        {
            std::lock_guard lock(mutex);
            audit_.OnImageDone(event);
            image_.clear();
            if (event.m_result == 0) {
                written_.emplace_back(event.m_id);
                std::erase(not_written_, event.m_id);
            }
        }
        out_.end_progress();
        const bool ok = event.m_result == 0;
        const long long sent = engine_.bytes_sent();
        char seconds[32];
        std::snprintf(seconds, sizeof seconds, "%.2f s",
                      static_cast<double>(event.m_duration.count()) / 1000.0);
        std::string human = image_name(event.m_id) + " upgrade..." +
                            (ok ? "successful" : "FAILED!") + " (" + seconds;
        if (ok && event.m_size >= 0)
            human += ", " + std::to_string(event.m_size) + " bytes";
        else if (!ok)
            human += ", " + std::to_string(sent) + " of " +
                     (event.m_size >= 0 ? std::to_string(event.m_size) : std::string("?")) +
                     " bytes sent";
        human += ")";
        out_.event("image_done",
                   Json{{"resource", resource_},
                        {"image", event.m_id},
                        {"result", ok ? "ok" : "failed"},
                        {"sha256", TextOrNull(event.m_sentSha256)},
                        {"bytes_sent", sent},
                        {"duration_ms", static_cast<long long>(event.m_duration.count())}},
                   human);
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

    // The engine's diagnostics, as they come.
    void on_diagnostic(const std::string& line) { out_.diagnostic(line, resource_); }

    bool locked_in_step(const std::string& step) const {
        return engine_.locked() && engine_.locked_in() == step;
    }
    bool locked_anywhere() const { return engine_.locked(); }
    // Who holds the lock that kept the run out, when the library says.
    const std::string& lock_refusal() const { return engine_.lock_refusal(); }
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
    // Why identification had no answer, in plain words ("" when unknown).
    const std::string& unreachable() const { return unreachable_; }
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
        const int64_t sent = engine_.bytes_sent();
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
    std::string unreachable_;
    workflow::IdentifyFailure failure_;
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
    bool say = false;  // the message is news: printed, not only in "finished"
};

// Why identification failed, in plain words; the audit result follows the
// run's typed cause.
Ending not_identified(const CliObserver& observer, const CliOperator& op,
                      const std::string& resource) {
    using Kind = workflow::IdentifyFailure::Kind;
    const Kind kind = observer.failure().m_kind;
    if (kind == Kind::Locked || observer.locked_in_step("identify"))
        return {exit_locked,
                {},
                observer.lock_refusal().empty() ? "the instrument is locked by another session"
                                                : observer.lock_refusal(),
                true};
    if (kind == Kind::OtherModel) {
        const std::string& model = observer.failure().m_model;
        return {exit_not_found,
                {},
                resource +
                    (model.empty() ? " answered \"" + observer.failure().m_reply + "\""
                                   : " answered as model " + model) +
                    ", which this program does not upgrade (accepted models: " +
                    workflow::AcceptedModelsText() + ")",
                true};
    }
    if (!observer.unreachable().empty())
        return {
            exit_not_found, {}, resource + " is not reachable: " + observer.unreachable(), true};
    return {exit_not_found, {}, op.message()};
}

Ending ending_of(workflow::UpgradeEnd end, CliObserver& observer, const CliOperator& op,
                 const std::string& resource) {
    using workflow::UpgradeEnd;
    switch (end) {
        case UpgradeEnd::NoInstrument:
        case UpgradeEnd::TooLong:
            return {exit_usage, {}, op.message()};
        case UpgradeEnd::NothingChosen:
            return {exit_error, {}, "nothing to write"};
        case UpgradeEnd::BadImage:
            return {exit_error, {}, op.message()};
        case UpgradeEnd::NotVerified:
            return {exit_verify_failed, {}, op.message()};
        case UpgradeEnd::Locked:
            return {exit_locked, "locked", op.message()};
        case UpgradeEnd::NotIdentified:
            return not_identified(observer, op, resource);
        case UpgradeEnd::Declined:
            if (interrupt::requested())
                return {exit_interrupted, "interrupted", "stopped at the warning"};
            return {exit_declined, {}, "the warning was answered no"};
        case UpgradeEnd::HostFailed:
        case UpgradeEnd::ImageFailed:
            if (observer.locked_anywhere())
                return {exit_locked,
                        {},
                        observer.lock_refusal().empty()
                            ? "the instrument was locked by another session"
                            : observer.lock_refusal(),
                        true};
            return {exit_image_failed, {}, op.message()};
        case UpgradeEnd::Interrupted:
            return {exit_interrupted,
                    {},
                    "stopped on request; " + observer.written_summary() +
                        "; the instrument was left out of update mode" +
                        (observer.all_written() ? " and was not restarted" : ""),
                    true};
        case UpgradeEnd::Complete:
            if (observer.restart_sent() == 0)
                return {exit_ok,
                        {},
                        "every image was written, but the restart command could not be "
                        "delivered: power-cycle the instrument"};
            return {exit_ok, {}, {}};
    }
    return {};
}

// The "finished" event of one instrument's run; returns `code`.
int finish_one(Output& out, const std::string& resource, int code, const std::string& message,
               const Json& extra = Json::object()) {
    Json fields = Json{{"command", "upgrade"},
                       {"resource", resource},
                       {"result", result_word(code)},
                       {"exit_code", code},
                       {"message", TextOrNull(message)}};
    for (const auto& member : extra.items())
        fields[member.key()] = member.value();
    out.event("finished", fields);
    return code;
}

// What a run will write, from the release's offer and the command line.
struct Plan {
    workflow::ImageChoice chosen;
    Json images = Json::array();
    int count = 0;
    workflow::RunOptions options;
};

// Reads the release as the window's Browse does and picks the images. False
// with the exit code and a sentence in `code` and `message` when the run
// cannot start.
bool plan_run(const CommandLine& settings, const std::string& release, Plan& plan, int& code,
              std::string& message) {
    code = exit_error;
    workflow::ImageChoice offered;
    std::string why;
    if (!workflow::ReadReleaseConfig(release + workflow::kConfigFileName, offered, &why)) {
        message = "release directory " + release + ": cannot read " + workflow::kConfigFileName +
                  " (" + why + ")";
        return false;
    }
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
        plan.chosen.*image.m_flag = 1;
        plan.images.push_back(image.m_id);
        ++plan.count;
    }
    if (plan.count == 0) {
        message = "the release offers no images";
        return false;
    }
    if (plan.chosen.m_host && !settings.yes && ::isatty(0) != 1) {
        code = exit_usage;
        message =
            "writing the Host application (HPAP) erases the instrument's saved states; "
            "confirm with --yes (no terminal to ask on)";
        return false;
    }
    plan.options.m_tool = "fwupgrade";
    return load_run_policy(settings, plan.options.m_policy, message);
}

// Ends the process now with the interrupted status, after recording the
// attempt as `result` with `message` and saying so. The kernel closes the
// instrument's connections, which releases its lock.
[[noreturn]] void end_at_once(Output& out, const std::string& resource, CliObserver& observer,
                              const std::string& result, const std::string& message) {
    std::string error;
    if (!observer.audit().Write(workflow::UpgradeEnd::Interrupted, error, result, message))
        out.diagnostic("fwupgrade: warning: " + error, resource);
    out.diagnostic("fwupgrade: " + message, resource);
    finish_one(out, resource, exit_interrupted, message);
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
            ending = {exit_not_changed, "firmware not changed",
                      "the instrument still reports firmware " + back.id.fields.firmware +
                          " after the restart"};
            out.diagnostic("fwupgrade: " + ending.message, resource);
        }
    } else if (back.interrupted) {
        ending = {exit_interrupted, "ok",
                  "interrupted while waiting for the instrument to answer again"};
    } else {
        ending = {
            exit_not_back, "no answer after restart",
            "no answer within " + std::to_string(settings.wait_timeout_s) + " s after the restart"};
        out.diagnostic("fwupgrade: " + ending.message, resource);
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
    if (settings.skip_current)
        if (const int skipped = skip_if_current(settings, out, resource); skipped >= 0)
            return skipped;
    const std::string release = release_directory(settings.release);
    Plan plan;
    int code = 0;
    if (std::string message; !plan_run(settings, release, plan, code, message)) {
        out.diagnostic("fwupgrade: " + message, resource);
        return finish_one(out, resource, code, message);
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

    CliOperator op(out, settings, resource);
    CliObserver observer(out, resource, release, plan.chosen, plan.images);
    op.hide_boxes_when([&observer] { return observer.locked_in_step("identify"); });
    // The engine's printed progress is for its own standard output; here
    // progress comes from its events, and only its diagnostics are shown.
    EngineStreams streams([&](const std::string& line) { observer.on_diagnostic(line); });
    bool recorded = false;  // under observer.mutex
    watch_interrupts(out, resource, observer, recorded, settings.wait);

    std::string instrument_text = resource;
    std::string family;
    std::string host_file;
    const workflow::UpgradeEnd end = workflow::RunUpgrade(
        op, release, instrument_text, plan.chosen, family, host_file, &observer, plan.options);
    Ending ending = ending_of(end, observer, op, resource);
    if (ending.say) out.diagnostic("fwupgrade: " + ending.message, resource);
    Json extra = Json{{"firmware_before", TextOrNull(observer.firmware_before())}};
    if (observer.restart_sent() >= 0) extra["restart_sent"] = observer.restart_sent() == 1;
    // A restart that did not go out leaves nothing to wait for.
    if (end == workflow::UpgradeEnd::Complete && settings.wait && observer.restart_sent() != 0)
        wait_for_restart(settings, out, resource, observer, ending, extra);
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
        out.text("Upgrade of " + resource + " complete" +
                 (observer.restart_sent() == 0 ? "; the instrument was not restarted." : "."));
    return finish_one(out, resource, ending.code, ending.message, extra);
}

int run_upgrade(const CommandLine& settings, Output& out) {
    if (!settings.all && settings.resources.size() == 1)
        return upgrade_one(settings, out, settings.resources.front());
    return upgrade_batch(settings, out);
}

}  // namespace cli
