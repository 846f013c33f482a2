// One instrument's upgrade in this process: the window's Upgrade run through
// workflow::RunUpgrade, reported as events, recorded in the audit trail, and
// stopped only at the run's safe points when interrupted.
#include <chrono>
#include <filesystem>
#include <map>
#include <mutex>

#include <poll.h>
#include <unistd.h>

#include "commands.h"
#include "engine_streams.h"
#include "exit_codes.h"
#include "interrupt.h"
#include "workflow/audit.h"
#include "workflow/identification.h"
#include "workflow/images.h"
#include "workflow/operator.h"
#include "workflow/release_config.h"
#include "workflow/upgrade.h"

namespace cli {

namespace {

using workflow::Json;

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

// Asks on the terminal; any answer but y or yes is no, and so is a stop
// request while waiting.
bool ask_yes_no(const std::string& question) {
    const std::string prompt = question + " [y/N] ";
    [[maybe_unused]] const ssize_t n = ::write(2, prompt.data(), prompt.size());
    std::string answer;
    for (;;) {
        pollfd fds[2] = {{0, POLLIN, 0}, {interrupt::wake_fd(), POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) continue;
        if (interrupt::requested()) return false;
        char c = 0;
        if (::read(0, &c, 1) != 1 || c == '\n') break;
        answer += c;
    }
    return answer == "y" || answer == "Y" || answer == "yes" || answer == "Yes";
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
            return ask_yes_no(one_line(text)) ? workflow::kAnswerYes : workflow::kAnswerNo;
        }
        if (type == workflow::kBoxInformation) {
            // The window's box waits for OK before the restart; here the
            // restart simply follows.
            out_.text("Upgrade complete.");
            return workflow::kAnswerOk;
        }
        message_ = one_line(text);
        out_.diagnostic("fwupgrade: " + caption + ": " + message_, resource_);
        return workflow::kAnswerOk;
    }

    const std::string& message() const { return message_; }

private:
    Output& out_;
    const CommandLine& settings_;
    const std::string& resource_;
    std::string message_;
};

// Turns the run's steps into events and keeps its audit record. The record
// is touched under `mutex`, which a second signal tries to take to write it;
// nothing slow (no file is read) happens while it is held.
class CliObserver : public workflow::UpgradeObserver {
public:
    CliObserver(Output& out, const std::string& resource, const std::string& release,
                const workflow::ImageChoice& chosen, int count)
        : out_(out),
          resource_(resource),
          audit_("fwupgrade", resource, release, chosen),
          count_(count) {}

    void OnOperation(const char* operation) override {
        {
            std::lock_guard lock(mutex);
            step_ = operation;
            // The first operation is the first contact: the started record
            // goes out before it.
            audit_.OnOperation(operation);
        }
        out_.event("step", Json::MakeObject().Set("resource", resource_).Set("step", operation),
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
        Json files = Json::MakeArray();
        for (const std::string& file : verification.m_filesChecked)
            files.Push(file);
        using Status = workflow::ReleaseVerification::Status;
        std::string human;
        if (verification.m_status == Status::Signed)
            human = "Release verified: signed by " + verification.m_fingerprint;
        else if (verification.m_status == Status::Checksummed)
            human = "Release verified against SHA256SUMS (not signed)";
        else if (verification.m_status == Status::NotChecksummed)
            human = "Release not checksummed (no SHA256SUMS): images are sent as they are";
        out_.event("verification",
                   Json::MakeObject()
                       .Set("resource", resource_)
                       .Set("result", verification.ResultWord())
                       .Set("fingerprint", Json::TextOrNull(verification.m_fingerprint))
                       .Set("files", files)
                       .Set("message", Json::TextOrNull(verification.m_message)),
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
        out_.event("identified", identification_json(id),
                   accepted ? "Identified " + id.fields.model + ", serial " + id.fields.serial +
                                  ", firmware " + id.fields.firmware
                            : "");
    }

    void OnImageStart(const workflow::ImageEvent& event) override {
        std::string sha256;
        {
            std::lock_guard lock(mutex);
            audit_.OnImageStart(event);
            sha256 = checked_[event.m_id];
            image_ = event.m_id;
            ++index_;
        }
        out_.event("image_started",
                   Json::MakeObject()
                       .Set("resource", resource_)
                       .Set("image", image_)
                       .Set("name", image_name(image_))
                       .Set("file", event.m_path)
                       .Set("size",
                            event.m_size >= 0 ? Json(static_cast<long long>(event.m_size)) : Json())
                       .Set("sha256", Json::TextOrNull(sha256))
                       .Set("index", index_)
                       .Set("count", count_));
        out_.bar(label(), 0, "starting");
    }

    // A progress line of the engine during the current image.
    void on_progress(const std::string& line) {
        const EngineProgress p = parse_engine_progress(line);
        const char* phase = nullptr;
        int percent = 0;
        switch (p.kind) {
            case EngineProgress::sending:
                phase = "sending";
                break;
            case EngineProgress::sent:
                phase = "sent";
                percent = 100;
                break;
            case EngineProgress::programming:
                phase = "programming";
                percent = 100;
                break;
            case EngineProgress::percent:
                phase = "sending";
                percent = static_cast<int>(p.value);
                break;
            default:
                return;
        }
        Json fields = Json::MakeObject()
                          .Set("resource", resource_)
                          .Set("image", image_)
                          .Set("phase", phase)
                          .Set("percent", percent);
        if (p.kind == EngineProgress::sent) fields.Set("bytes", p.value);
        out_.event("progress", fields);
        out_.bar(label(), percent, phase);
    }

    void OnImageDone(const workflow::ImageEvent& event) override {
        {
            std::lock_guard lock(mutex);
            audit_.OnImageDone(event);
            image_.clear();
        }
        const bool ok = event.m_result == 0;
        char seconds[32];
        std::snprintf(seconds, sizeof seconds, "%.2f s",
                      static_cast<double>(event.m_duration.count()) / 1000.0);
        std::string human = image_name(event.m_id) + " upgrade..." +
                            (ok ? "successful" : "FAILED!") + " (" + seconds;
        if (event.m_size >= 0) human += ", " + std::to_string(event.m_size) + " bytes";
        human += ")";
        out_.event("image_done",
                   Json::MakeObject()
                       .Set("resource", resource_)
                       .Set("image", event.m_id)
                       .Set("result", ok ? "ok" : "failed")
                       .Set("sha256", Json::TextOrNull(event.m_sentSha256))
                       .Set("duration_ms", static_cast<long long>(event.m_duration.count())),
                   human);
    }

    bool StopRequested() override { return interrupt::requested(); }

    // The engine's diagnostics, with the step they came in.
    void on_diagnostic(const std::string& line) {
        if (is_lock_diagnostic(line)) {
            std::lock_guard lock(mutex);
            locked_steps_ += step_ + ";";
        }
        out_.diagnostic(line, resource_);
    }

    bool locked_in_step(const std::string& step) {
        std::lock_guard lock(mutex);
        return locked_steps_.find(step + ";") != std::string::npos;
    }
    bool locked_anywhere() {
        std::lock_guard lock(mutex);
        return !locked_steps_.empty();
    }
    // The same, for a caller that holds `mutex` already.
    const std::string& current_image_held() const { return image_; }
    std::string current_image() {
        std::lock_guard lock(mutex);
        return image_;
    }
    std::string current_step() {
        std::lock_guard lock(mutex);
        return step_;
    }

    const std::string& firmware_before() const { return before_; }
    workflow::AuditObserver& audit() { return audit_; }

    std::timed_mutex mutex;

private:
    std::string label() const {
        return image_ + " " + std::to_string(index_) + "/" + std::to_string(count_);
    }

    Output& out_;
    const std::string& resource_;
    workflow::AuditObserver audit_;
    int count_;
    int index_ = 0;
    std::string image_;
    std::string step_;
    std::string locked_steps_;
    std::string before_;
    std::map<std::string, std::string> checked_;  // image id -> SHA-256 as checked
};

struct Ending {
    int code = exit_error;
    std::string audit_result;  // empty: as the run's end says
    std::string message;
};

Ending ending_of(workflow::UpgradeEnd end, CliObserver& observer, const CliOperator& op) {
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
            if (observer.locked_in_step("identify"))
                return {exit_locked, "locked", "the instrument is locked by another session"};
            return {exit_not_found, {}, op.message()};
        case UpgradeEnd::Declined:
            if (interrupt::requested())
                return {exit_interrupted, "interrupted", "stopped at the warning"};
            return {exit_declined, {}, "the warning was answered no"};
        case UpgradeEnd::HostFailed:
        case UpgradeEnd::ImageFailed:
            if (observer.locked_anywhere())
                return {exit_locked, {}, "the instrument was locked by another session"};
            return {exit_image_failed, {}, op.message()};
        case UpgradeEnd::Interrupted:
            return {exit_interrupted,
                    {},
                    "stopped on request; the instrument was left out of update mode"};
        case UpgradeEnd::Complete:
            return {exit_ok, {}, {}};
    }
    return {};
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
    const auto finish = [&](int code, const std::string& message,
                            const Json& extra = Json::MakeObject()) {
        Json fields = Json::MakeObject()
                          .Set("command", "upgrade")
                          .Set("resource", resource)
                          .Set("result", result_word(code))
                          .Set("exit_code", code)
                          .Set("message", Json::TextOrNull(message));
        for (const auto& [key, value] : extra.Members())
            fields.Set(key, value);
        out.event("finished", fields);
        return code;
    };

    // The release as the window's Browse reads it.
    workflow::ImageChoice offered;
    std::string why;
    if (!workflow::ReadReleaseConfig(release + workflow::kConfigFileName, offered, &why)) {
        const std::string message = "release directory " + release + ": cannot read " +
                                    workflow::kConfigFileName + " (" + why + ")";
        out.diagnostic("fwupgrade: " + message, resource);
        return finish(exit_error, message);
    }
    workflow::ImageChoice chosen;
    Json images = Json::MakeArray();
    int count = 0;
    for (const workflow::ImageInfo& image : workflow::kImages) {
        bool wanted = settings.images.empty() && offered.*image.m_flag != 0;
        for (const std::string& id : settings.images)
            wanted |= id == image.m_id;
        if (!wanted) continue;
        if (offered.*image.m_flag == 0) {
            const std::string message = std::string("the release does not offer ") + image.m_id +
                                        " (" + image_name(image.m_id) + ")";
            out.diagnostic("fwupgrade: " + message, resource);
            return finish(exit_error, message);
        }
        chosen.*image.m_flag = 1;
        images.Push(image.m_id);
        ++count;
    }
    if (count == 0) {
        out.diagnostic("fwupgrade: the release offers no images", resource);
        return finish(exit_error, "the release offers no images");
    }
    if (chosen.m_host && !settings.yes && ::isatty(0) != 1) {
        const std::string message =
            "writing the Host application (HPAP) erases the instrument's saved states; "
            "confirm with --yes (no terminal to ask on)";
        out.diagnostic("fwupgrade: " + message, resource);
        return finish(exit_usage, message);
    }

    workflow::RunOptions options;
    options.m_tool = "fwupgrade";
    if (std::string error; !load_run_policy(settings, options.m_policy, error)) {
        out.diagnostic("fwupgrade: " + error, resource);
        return finish(exit_error, error);
    }

    out.event("start",
              Json::MakeObject()
                  .Set("command", "upgrade")
                  .Set("resource", resource)
                  .Set("release", release)
                  .Set("images", images),
              "Upgrading " + resource + " from " + release);

    CliOperator op(out, settings, resource);
    CliObserver observer(out, resource, release, chosen, count);
    EngineStreams streams([&](const std::string& line) { observer.on_progress(line); },
                          [&](const std::string& line) { observer.on_diagnostic(line); });

    bool recorded = false;  // under observer.mutex
    interrupt::on_first([&] {
        const std::string image = observer.current_image();
        const std::string text =
            image.empty() ? "fwupgrade: interrupted; stopping at the next safe point"
                          : "fwupgrade: interrupted; " + image +
                                " is finished first, then the run stops (interrupt again to "
                                "end at once)";
        out.diagnostic(text, resource);
    });
    interrupt::on_second([&] {
        // Ends the process now. The kernel closes the instrument's
        // connections, which releases its lock; the image under way is left
        // incomplete and is recorded so, never as written.
        std::string error;
        // The main thread holds this only for moments; should it not come
        // free, the started record already tells that the run was cut short.
        std::unique_lock lock(observer.mutex, std::chrono::milliseconds(300));
        if (!lock.owns_lock() || recorded) ::_exit(exit_interrupted);
        const std::string image = observer.current_image_held();
        std::string message = "ended at once by a second interrupt";
        if (!image.empty()) {
            message += "; " + image + " is incomplete and was not kept by the instrument";
            out.event("image_done", Json::MakeObject()
                                        .Set("resource", resource)
                                        .Set("image", image)
                                        .Set("result", "interrupted"));
        }
        if (!observer.audit().Write(workflow::UpgradeEnd::Interrupted, error, "interrupted",
                                    message))
            out.diagnostic("fwupgrade: warning: " + error, resource);
        out.diagnostic("fwupgrade: " + message, resource);
        finish(exit_interrupted, message);
        ::_exit(exit_interrupted);
    });

    std::string instrument_text = resource;
    std::string family;
    std::string host_file;
    const workflow::UpgradeEnd end = workflow::RunUpgrade(op, release, instrument_text, chosen,
                                                          family, host_file, &observer, options);
    Ending ending = ending_of(end, observer, op);

    Json extra =
        Json::MakeObject().Set("firmware_before", Json::TextOrNull(observer.firmware_before()));
    if (end == workflow::UpgradeEnd::Complete && settings.wait) {
        out.event(
            "waiting",
            Json::MakeObject().Set("resource", resource).Set("timeout_s", settings.wait_timeout_s),
            "Waiting for the instrument to answer again (at most " +
                std::to_string(settings.wait_timeout_s) + " s)...");
        const BackAfterRestart back = wait_until_back(resource, settings.wait_timeout_s, 10);
        if (back.back) {
            std::lock_guard lock(observer.mutex);
            observer.audit().Trail().SetFirmwareAfter(back.id.fields.firmware);
            extra.Set("firmware_after", Json::TextOrNull(back.id.fields.firmware));
            out.event("back", identification_json(back.id),
                      "The instrument answers again: " + back.id.fields.model + ", firmware " +
                          back.id.fields.firmware + " (before: " + observer.firmware_before() +
                          ")");
        } else if (back.interrupted) {
            ending = {exit_interrupted, "ok",
                      "interrupted while waiting for the instrument to answer again"};
        } else {
            ending = {exit_not_back, "no answer after restart",
                      "no answer within " + std::to_string(settings.wait_timeout_s) +
                          " s after the restart"};
            out.diagnostic("fwupgrade: " + ending.message, resource);
        }
    }

    {
        std::lock_guard lock(observer.mutex);
        std::string error;
        recorded = true;
        if (!observer.audit().Write(end, error, ending.audit_result, ending.message)) {
            out.diagnostic("fwupgrade: warning: " + error, resource);
            extra.Set("audit_error", error);
        }
    }
    interrupt::on_second(nullptr);
    interrupt::on_first(nullptr);
    if (ending.code == exit_ok) out.text("Upgrade of " + resource + " complete.");
    return finish(ending.code, ending.message, extra);
}

int run_upgrade(const CommandLine& settings, Output& out) {
    if (!settings.all && settings.resources.size() == 1)
        return upgrade_one(settings, out, settings.resources.front());
    return upgrade_batch(settings, out);
}

}  // namespace cli
