#include "workflow/upgrade.h"

#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <vector>

#include "update.h"
#include "workflow/audit.h"
#include "workflow/identification.h"
#include "workflow/identity.h"
#include "workflow/operator.h"
#include "workflow/release_config.h"
#include "workflow/run_lock.h"
#include "workflow/socket_warning.h"
#include "workflow/upgrade_watch.h"
#include "workflow/visa_extension.h"

namespace workflow {

namespace {

constexpr const char* kBadImageText = "\nNothing was sent to the instrument.";
constexpr const char* kNotVerifiedText = "Release verification failed:\n";
constexpr const char* kLockedText = "The instrument cannot be upgraded now:\n";

constexpr const char* kLogHeading = "Upgrading firmware for ";
constexpr const char* kLogSuccess = "successful\r\n";
constexpr const char* kLogFailure = "FAILED!\r\n";
constexpr const char* kLogPowerCycle = "Requires Power Cycle...\r\n";

// Lets the engine choose the block size (it then sends the file as one).
constexpr int32_t kEngineBlockSize = -1;

bool IsHost(const ImageInfo& image) {
    return image.m_flag == &ImageChoice::m_host;
}

// The texts the engine would refuse, checked before anything is sent; an
// empty text when everything fits.
std::string TooLongMessage(const std::string& resource, const std::string& releaseDir,
                           const ImageChoice& images) {
    if (resource.size() > kMaxResourceChars) {
        return "The instrument resource is too long (" + std::to_string(resource.size()) +
               " characters, at most " + std::to_string(kMaxResourceChars) + "):\n" + resource;
    }
    for (const ImageInfo& image : kImages) {
        if (images.*image.m_flag == 0) continue;
        // Identification always names the same Host file, so its path is
        // known before the instrument is asked.
        const std::string path = ImagePathOf(releaseDir, image);
        if (path.size() > kMaxImagePathChars) {
            return "The image path is too long (" + std::to_string(path.size()) +
                   " characters, at most " + std::to_string(kMaxImagePathChars) + "):\n" + path +
                   "\nPlease choose a release directory with a shorter path.";
        }
    }
    return {};
}

// The part of a run that talks to the instrument, with its progress and wait
// cursor state.
class Run {
public:
    Run(Operator& op, UpgradeObserver* observer, const std::string& resource, RunOutcome& out)
        : m_op(op), m_observer(observer), m_resource(resource), m_out(out) {}

    void ShowLog() {
        m_op.ShowLog();
        m_op.Repaint();
    }
    void ShowAndScrollLog() {
        m_op.ShowLog();
        m_op.ScrollLog(1);
        m_op.Repaint();
    }

    void BeginWaitCursor() {
        m_op.BeginWaitCursor();
        m_waiting = true;
    }
    // Ends the busy indication once, however often a path asks.
    void EndWaitCursor() {
        if (!m_waiting) return;
        m_waiting = false;
        m_op.EndWaitCursor();
    }

    // The bar runs from 0 to one more than the stage count and starts at 1,
    // so it is never empty while the run works and full when it is done.
    void StartProgress(int stages) {
        m_pos = 1;
        m_op.SetProgressRange(0, stages + 1);
        m_op.SetProgressPos(m_pos);
    }
    void StepProgress() { m_op.SetProgressPos(++m_pos); }

    // The engine's start result says nothing the transfers will not: a
    // failed start shows as failing images.
    void Start() {
        Notify("start");
        if (update_start(m_resource.c_str()) != 0) m_out.m_updateModeEntered = true;
    }
    void End() {
        Notify("end");
        update_end(m_resource.c_str());
    }
    void Reboot() {
        Notify("reboot");
        // The engine tells only its observers whether the restart went out.
        // An instrument may restart as soon as the command is in, before it
        // answers the write: a link lost on that write counts as delivered,
        // a write refused or never made does not.
        struct Outcome {
            bool m_completed = false;
            bool m_linkLost = false;
        } outcome;
        update_observer watch{};
        watch.context = &outcome;
        watch.on_operation = [](void* context, const char* operation, const char*, bool ended,
                                int result) {
            if (ended && std::strcmp(operation, "reboot") == 0)
                static_cast<Outcome*>(context)->m_completed = result != 0;
        };
        watch.on_visa_error = [](void* context, ViStatus status, const char* function,
                                 const char*) {
            if (status == VI_ERROR_CONN_LOST && std::strcmp(function, "viWrite") == 0)
                static_cast<Outcome*>(context)->m_linkLost = true;
        };
        const bool watching = update_add_observer(&watch);
        update_reboot_host(m_resource.c_str());
        if (watching) update_remove_observer(&watch);
        m_out.m_restartSent = watching && (outcome.m_completed || outcome.m_linkLost);
        if (m_observer && watching) m_observer->OnRestart(m_out.m_restartSent);
    }

    // Sends one checked image from its snapshot, never from the release's
    // file: a file changed after the check cannot reach the instrument.
    int Transfer(const CheckedImage& image, bool verified, ImageOutcome& told) {
        ImageEvent event;
        event.m_id = image.m_info->m_id;
        event.m_path = image.m_path;
        event.m_size = image.m_size;
        if (m_observer) {
            event.m_start = std::chrono::system_clock::now();
            m_observer->OnImageStart(event);
        }
        const auto began = std::chrono::steady_clock::now();
        int result = 1;
        told.m_attempted = true;
        {
            const TransferWatch watch;
            SentFromSnapshot sent(image);
            if (sent.Installed())
                result = update_image(m_resource.c_str(), event.m_id, image.m_path.c_str(),
                                      kEngineBlockSize);
            else
                m_op.Diagnostic("image " + image.m_path +
                                " not sent: its checked copy could not be handed to the engine");
            event.m_sentSha256 = sent.Digest();
            event.m_bytesRead = sent.BytesRead();
            if (sent.Refused())
                m_op.Diagnostic("image file " + image.m_path + " not sent: its copy " +
                                (verified ? "verified" : "checked") + " was changed");
            Tell(result, watch, sent, told);
        }
        if (m_observer) {
            event.m_result = result;
            event.m_duration = std::chrono::duration_cast<std::chrono::milliseconds>(
                std::chrono::steady_clock::now() - began);
            m_observer->OnImageDone(event);
        }
        return result;
    }

private:
    void Notify(const char* operation) {
        if (m_observer) m_observer->OnOperation(operation);
    }

    // What one transfer did, for the outcome. The instrument keeps an image
    // only once it has had all of it and the transfer was closed; a failed
    // transfer that never got that far (refused, cut off, its link lost)
    // leaves the flash as it was, and a second run writes the same bytes
    // again from the start. Where the instrument had the whole image and
    // then failed it, it may have begun to program its flash, whose
    // contents are then not known; nor is anything known when the engine
    // could not say how far it got.
    void Tell(int result, const TransferWatch& watch, const SentFromSnapshot& sent,
              ImageOutcome& told) {
        told.m_ok = result == 0;
        told.m_bytesSent = told.m_ok ? told.m_total : watch.BytesSent();
        told.m_bytesConfirmed = told.m_ok ? told.m_total : watch.BytesConfirmed();
        // The outcome tells of the first failed transfer's close.
        if (told.m_ok) {
            if (!m_failed) m_out.m_doneSent = true;
            return;
        }
        told.m_cause = sent.Refused()
                           ? MakeCause(Cause::Kind::File,
                                       "the image file was changed after its check", told.m_path)
                           : watch.FailureCause();
        // Once the transfer was opened, the engine closes it on every path;
        // a lost link keeps that close from arriving.
        if (!m_failed) m_out.m_doneSent = watch.Opened() && !watch.LinkLost();
        m_failed = true;
        if (!watch.Installed() || watch.Programming()) m_out.m_safeToRetry = false;
    }

    Operator& m_op;
    UpgradeObserver* m_observer;
    const std::string& m_resource;
    RunOutcome& m_out;
    bool m_failed = false;
    int m_pos = 0;
    bool m_waiting = false;
};

}  // namespace

std::string ResourceFromInstrumentText(const std::string& text) {
    if (text.find("::") != std::string::npos) return text;
    return "TCPIP0::" + text + "::INSTR";
}

namespace {

// This machine's run locks on one instrument, held for a whole run.
class Ownership {
public:
    // Takes the lock `key` as well; false with a sentence for people when
    // another run (or anything else) holds it.
    // `holder` gets who holds it, when that is known.
    bool Take(const std::string& key, const std::string& tool, std::string& why,
              RunLockHolder& holder) {
        RunLockResult result = RunLockResult::Unavailable;
        auto lock = RunLock::TryAcquire(key, tool, &result, &holder, &why);
        if (!lock) return false;
        m_locks.push_back(std::move(lock));
        return true;
    }

private:
    std::vector<std::unique_ptr<RunLock>> m_locks;
};

// What the checks before any contact found.
struct Prepared {
    std::vector<CheckedImage> m_images;
    ReleaseVerification m_verification;
};

// When the release lists its configuration file, the images it offers are
// those of the bytes verified: an image chosen from another reading of the
// file fails the release.
void HoldToVerifiedOffer(const ImageChoice& images, ReleaseVerification& verification) {
    if (verification.m_status == ReleaseVerification::Status::Failed ||
        !verification.m_configListed)
        return;
    ImageChoice offered;
    ParseReleaseConfig(verification.m_config, offered);
    for (const ImageInfo& image : kImages) {
        if (images.*image.m_flag == 0 || offered.*image.m_flag != 0) continue;
        verification.m_status = ReleaseVerification::Status::Failed;
        verification.m_message = std::string(kConfigFileName) + ": does not offer " + image.m_id +
                                 " as verified against " + kSumsFileName;
        verification.m_fingerprint.clear();
        return;
    }
}

// The caller's verification policy with the administrator's on top.
VerifyPolicy EffectivePolicy(Operator& op, const RunOptions& options) {
    std::string error;
    VerifyPolicy policy = options.m_policy;
    VerifyPolicy administrator;
    administrator.m_keyOwner = policy.m_keyOwner;
    if (!LoadVerifyPolicy(administrator, error, options.m_policyFile)) {
        // A policy that cannot be read may be one that requires signatures.
        op.Diagnostic(error + "; a signature by a trusted key is required");
        administrator.m_requireSignature = true;
        administrator.m_allowUserKeyrings = false;
    }
    policy.m_requireSignature = policy.m_requireSignature || administrator.m_requireSignature;
    policy.m_allowUserKeyrings = policy.m_allowUserKeyrings && administrator.m_allowUserKeyrings;
    return policy;
}

// The images a run will send, in their order, before any was tried.
void ListImages(const std::vector<CheckedImage>& checked, RunOutcome& out) {
    out.m_images.clear();
    for (const CheckedImage& image : checked) {
        ImageOutcome told;
        told.m_id = image.m_info->m_id;
        told.m_name = image.m_info->m_name;
        told.m_path = image.m_path;
        told.m_total = image.m_size;
        out.m_images.push_back(std::move(told));
    }
}

// The image CheckImages stopped at: the first chosen one it did not pass.
std::string FailedImagePath(const std::string& releaseDir, const ImageChoice& images,
                            const Prepared& prepared) {
    std::size_t passed = 0;
    for (const ImageInfo& image : kImages) {
        if (images.*image.m_flag == 0) continue;
        if (passed++ == prepared.m_images.size()) return ImagePathOf(releaseDir, image);
    }
    return {};
}

// Checks the image files and verifies the release; no instrument is
// contacted. UpgradeEnd::Complete when the run may go on.
UpgradeEnd PrepareRun(Operator& op, const std::string& releaseDir, const ImageChoice& images,
                      UpgradeObserver* observer, const RunOptions& options, Prepared& prepared,
                      RunOutcome& out) {
    const auto stopRequested = [observer] { return observer && observer->StopRequested(); };
    const VerifyPolicy policy = EffectivePolicy(op, options);
    // The images are copied and hashed while gpgv checks the signature.
    std::string imageError;
    prepared.m_verification = VerifyReleaseWhile(
        releaseDir,
        [&]() -> std::optional<Digests> {
            if (!CheckImages(releaseDir, images, prepared.m_images, imageError, stopRequested))
                return std::nullopt;
            Digests digests;
            for (const CheckedImage& image : prepared.m_images)
                digests[image.m_relativePath] = image.m_sha256;
            return digests;
        },
        policy, stopRequested);
    if (!imageError.empty()) {
        if (stopRequested()) return UpgradeEnd::Interrupted;
        out.m_cause =
            MakeCause(Cause::Kind::File, imageError, FailedImagePath(releaseDir, images, prepared));
        op.ReportNotStarted(imageError + kBadImageText, out.m_cause);
        return UpgradeEnd::BadImage;
    }
    HoldToVerifiedOffer(images, prepared.m_verification);
    out.m_verification = prepared.m_verification;
    ListImages(prepared.m_images, out);
    for (const std::string& warning : prepared.m_verification.m_warnings)
        op.Diagnostic("release " + releaseDir + ": " + warning);
    if (observer) observer->OnChecked(prepared.m_images, prepared.m_verification);
    if (stopRequested()) return UpgradeEnd::Interrupted;
    switch (prepared.m_verification.m_status) {
        case ReleaseVerification::Status::Failed:
            out.m_cause = MakeCause(
                Cause::Kind::Verification,
                "release verification failed: " + prepared.m_verification.m_message, releaseDir);
            op.ReportNotStarted(kNotVerifiedText + prepared.m_verification.m_message, out.m_cause);
            return UpgradeEnd::NotVerified;
        case ReleaseVerification::Status::NotChecksummed:
            op.Diagnostic("release " + releaseDir + " is not checksummed (no SHA256SUMS)");
            break;
        case ReleaseVerification::Status::Checksummed:
            if (prepared.m_verification.m_signatureNotChecked)
                op.Diagnostic("release " + releaseDir + ": " + kSignatureNotCheckedNote);
            break;
        default:
            break;
    }
    return UpgradeEnd::Complete;
}

// The checks of the request itself: an instrument named, an image chosen,
// every text within the engine's limits. Sets `stages` to the number of
// images chosen; UpgradeEnd::Complete when the run may go on.
UpgradeEnd CheckRequest(Operator& op, const std::string& releaseDir, std::string& instrument,
                        const ImageChoice& images, int& stages, RunOutcome& out) {
    if (instrument.empty()) {
        out.m_cause = MakeCause(Cause::Kind::Usage, "no instrument was named");
        op.ReportNotStarted(kNoInstrumentText, out.m_cause);
        return UpgradeEnd::NoInstrument;
    }
    instrument = ResourceFromInstrumentText(instrument);

    stages = 0;
    for (const ImageInfo& image : kImages) {
        if (images.*image.m_flag == 1) ++stages;
    }
    if (stages == 0) return UpgradeEnd::NothingChosen;

    // The engine would cut or refuse these; say so before the instrument is
    // contacted rather than fail half-way through a run.
    if (const std::string tooLong = TooLongMessage(instrument, releaseDir, images);
        !tooLong.empty()) {
        // The first line says what is too long; the next ones show it.
        out.m_cause = MakeCause(Cause::Kind::Usage, tooLong.substr(0, tooLong.find(":\n")));
        op.ReportNotStarted(tooLong, out.m_cause);
        return UpgradeEnd::TooLong;
    }
    return UpgradeEnd::Complete;
}

// Tells the observer why no instrument may be upgraded, then the operator:
// `why` is the run lock's sentence (UpgradeEnd::Locked), `met` what the
// library recorded of the identification (UpgradeEnd::NotIdentified).
UpgradeEnd NoInstrumentToUpgrade(Operator& op, UpgradeObserver* observer, UpgradeEnd end,
                                 const IdentifyFailure& failure, const std::string& why,
                                 RunOutcome& out,
                                 const std::optional<ConnectFailure>& met = std::nullopt) {
    out.m_cause = CauseOf(failure, met);
    // Another run of this machine: the run lock's own words name who.
    if (end == UpgradeEnd::Locked && !why.empty()) out.m_cause.m_sentence = why;
    if (observer) {
        observer->OnIdentifyFailed(failure);
        observer->OnEnding(end);
    }
    if (end == UpgradeEnd::Locked)
        op.ReportLocked(kLockedText + why, out.m_cause);
    else
        op.ReportNotIdentified(out.m_cause);
    return end;
}

// The run lock's holder as the audit names it.
IdentifyFailure HeldBy(const RunLockHolder& holder) {
    IdentifyFailure failure;
    failure.m_kind = IdentifyFailure::Kind::Locked;
    if (!holder.m_known) return failure;
    failure.m_holder = holder.m_user;
    if (!holder.m_tool.empty()) failure.m_holder += " (" + holder.m_tool + ")";
    if (holder.m_pid > 0) failure.m_holder += ", process " + std::to_string(holder.m_pid);
    failure.m_since = holder.m_since;
    return failure;
}

// Takes the instrument for this run, asks who it is and, when the Host image
// is chosen, asks the operator. UpgradeEnd::Complete when the run may go on;
// the locks taken stay in `ownership`.
UpgradeEnd ClaimInstrument(Operator& op, const std::string& instrument, const ImageChoice& images,
                           std::string& familyName, std::string& hostImageFile,
                           UpgradeObserver* observer, const RunOptions& options,
                           Ownership& ownership, RunOutcome& out) {
    // Every name of one instrument gives one key; a name the library cannot
    // parse is left to the serial number below.
    std::string why;
    RunLockHolder holder;
    if (const std::string key = RunLockKey(instrument, &why);
        !key.empty() && !ownership.Take(key, options.m_tool, why, holder)) {
        return NoInstrumentToUpgrade(op, observer, UpgradeEnd::Locked, HeldBy(holder), why, out);
    }

    if (observer) observer->OnOperation("identify");
    std::string reply;
    IdentifyFailure failure;
    std::optional<ConnectFailure> met;
    bool identified = false;
    {
        const IdentifyWatch watch;
        identified = IdentifyInstrument(instrument, familyName, hostImageFile, &reply);
        if (!identified) {
            failure = watch.Failure(instrument, reply);
            met = watch.Met();
        }
    }
    if (observer) observer->OnIdentified(reply, identified);
    if (!reply.empty()) out.m_identity = IdentityOf(reply);
    if (!identified)
        return NoInstrumentToUpgrade(op, observer, UpgradeEnd::NotIdentified, failure, {}, out,
                                     met);
    // Two names the library cannot tell apart (a LAN and a USB name of one
    // sensor) still meet here, before anything but the question is sent.
    if (const IdentityFields fields = SplitIdentity(reply);
        !fields.serial.empty() && !ownership.Take(RunLockSerialKey(fields.model, fields.serial),
                                                  options.m_tool, why, holder)) {
        return NoInstrumentToUpgrade(op, observer, UpgradeEnd::Locked, HeldBy(holder), why, out);
    }
    if (images.m_host != 0 && !op.ConfirmErase(out)) {
        out.m_cause = MakeCause(Cause::Kind::Declined,
                                "the erase of the instrument's saved states was declined");
        return UpgradeEnd::Declined;
    }
    if (observer && observer->StopRequested()) return UpgradeEnd::Interrupted;
    return UpgradeEnd::Complete;
}

// Sends the checked images in their order, each update session ended and a
// new one started after the Host application. UpgradeEnd::Complete when
// every image was tried, with the failures counted in `failedStages`.
UpgradeEnd ProgramImages(Operator& op, Run& run, const Prepared& prepared, bool verified,
                         UpgradeObserver* observer, int& failedStages, RunOutcome& out) {
    const auto stopRequested = [observer] { return observer && observer->StopRequested(); };
    run.Start();
    failedStages = 0;
    // Stopping leaves the instrument out of update mode, never in it.
    const auto stop = [&] {
        run.End();
        run.EndWaitCursor();
        op.SetProgressRange(0, 0);
        return UpgradeEnd::Interrupted;
    };
    for (std::size_t i = 0; i < prepared.m_images.size(); ++i) {
        const CheckedImage& checked = prepared.m_images[i];
        const ImageInfo& image = *checked.m_info;
        if (stopRequested()) return stop();
        op.AppendLog(image.m_logText);
        run.ShowLog();
        const int result = run.Transfer(checked, verified, out.m_images[i]);
        run.StepProgress();
        op.AppendLog(result != 0 ? kLogFailure : kLogSuccess);
        run.ShowAndScrollLog();
        failedStages += result != 0 ? 1 : 0;

        if (!IsHost(image)) continue;
        if (result != 0) {
            // The instrument stays in update mode and the bar where it is:
            // the operator is told to start again from the Host image.
            if (observer) observer->OnEnding(UpgradeEnd::HostFailed);
            out.m_end = UpgradeEnd::HostFailed;
            out.m_cause = out.m_images[i].m_cause;
            op.ReportHostFailed(out.m_images[i], out);
            run.EndWaitCursor();
            return UpgradeEnd::HostFailed;
        }
        // The new Host application takes over only after its update
        // session has ended; the other images go in a fresh one.
        op.AppendLog(kLogPowerCycle);
        run.ShowLog();
        run.End();
        run.EndWaitCursor();
        if (stopRequested()) {
            op.SetProgressRange(0, 0);
            return UpgradeEnd::Interrupted;
        }
        run.Start();
    }
    run.End();
    run.EndWaitCursor();
    return UpgradeEnd::Complete;
}

// After every image was tried: the restart when all went in, the failure
// box otherwise.
UpgradeEnd FinishRun(Operator& op, Run& run, int failedStages, UpgradeObserver* observer,
                     RunOutcome& out) {
    UpgradeEnd end = UpgradeEnd::ImageFailed;
    if (failedStages == 0 && observer && observer->StopRequested()) {
        // Every image went in, but the restart is a step of its own that
        // the caller asked us not to take.
        end = UpgradeEnd::Interrupted;
    } else if (failedStages == 0) {
        end = UpgradeEnd::Complete;
        if (observer) observer->OnEnding(end);
        out.m_end = end;
        op.ReportComplete(out);
        // A stop asked for while the box was up leaves out the restart, as
        // one asked for before it.
        if (observer && observer->StopRequested())
            end = UpgradeEnd::Interrupted;
        else
            run.Reboot();
    } else {
        if (observer) observer->OnEnding(end);
        out.m_end = end;
        for (const ImageOutcome& image : out.m_images) {
            if (!image.m_attempted || image.m_ok) continue;
            out.m_cause = image.m_cause;
            op.ReportImageFailed(image, out);
            break;
        }
    }
    op.SetProgressRange(0, 0);
    return end;
}

UpgradeEnd RunSequence(Operator& op, const std::string& releaseDir, std::string& instrument,
                       const ImageChoice& images, std::string& familyName,
                       std::string& hostImageFile, UpgradeObserver* observer,
                       const RunOptions& options, RunOutcome& out) {
    int stages = 0;
    if (const UpgradeEnd end = CheckRequest(op, releaseDir, instrument, images, stages, out);
        end != UpgradeEnd::Complete)
        return end;
    out.m_resource = instrument;
    Prepared prepared;
    if (const UpgradeEnd end = PrepareRun(op, releaseDir, images, observer, options, prepared, out);
        end != UpgradeEnd::Complete)
        return end;
    const bool verified =
        prepared.m_verification.m_status == ReleaseVerification::Status::Checksummed ||
        prepared.m_verification.m_status == ReleaseVerification::Status::Signed;
    if (const std::string warning = UnlockableResourceWarning(instrument); !warning.empty())
        op.Diagnostic(warning);
    Ownership ownership;
    if (const UpgradeEnd end = ClaimInstrument(op, instrument, images, familyName, hostImageFile,
                                               observer, options, ownership, out);
        end != UpgradeEnd::Complete)
        return end;

    Run run(op, observer, instrument, out);
    run.BeginWaitCursor();
    run.StartProgress(stages);
    op.SetLog(kLogHeading + familyName + "\r\n");
    run.ShowLog();
    int failedStages = 0;
    if (const UpgradeEnd end =
            ProgramImages(op, run, prepared, verified, observer, failedStages, out);
        end != UpgradeEnd::Complete)
        return end;
    return FinishRun(op, run, failedStages, observer, out);
}

// The record of a run without an observer, kept by the run itself. Its final
// line goes out as soon as the outcome is settled, before the box that may
// wait long for its OK, and the restart is added once it was tried: a window
// closed or killed at the box still leaves the whole story.
class OwnRecord final : public AuditObserver {
public:
    OwnRecord(Operator& op, const RunOptions& options, const std::string& resource,
              const std::string& releaseDir, const ImageChoice& images)
        : AuditObserver(options.m_tool, resource, releaseDir, images),
          m_op(op),
          m_stop(options.m_stopRequested) {}

    bool StopRequested() override { return m_stop && m_stop(); }
    void OnEnding(UpgradeEnd end) override { Finish(end); }
    void OnRestart(bool sent) override {
        AuditObserver::OnRestart(sent);
        std::string error;
        if (m_written && !WriteRestart(error)) Say(error);
    }

    // Writes the final record once, whenever it is asked first.
    void Finish(UpgradeEnd end) {
        if (m_written) return;
        m_written = true;
        // The record is the run's by-product: failing to keep it is said,
        // but changes nothing of what the run did or reports.
        if (std::string error; !Write(end, error)) Say(error);
    }

private:
    void Say(const std::string& error) {
        m_op.AppendLog("Audit log not written: " + error + "\r\n");
        m_op.ShowLog();
        m_op.Repaint();
    }

    Operator& m_op;
    std::function<bool()> m_stop;
    bool m_written = false;
};

// The end and the causes no step has set.
void Settle(UpgradeEnd end, RunOutcome& out) {
    out.m_end = end;
    if (end == UpgradeEnd::Interrupted)
        out.m_cause = MakeCause(Cause::Kind::Interrupted, "the run was asked to stop");
    else if (end == UpgradeEnd::NothingChosen)
        out.m_cause = MakeCause(Cause::Kind::File, "nothing to write");
    else if (end == UpgradeEnd::Complete)
        out.m_cause = Cause();
}

}  // namespace

UpgradeEnd RunUpgrade(Operator& op, const std::string& releaseDir, std::string& instrument,
                      const ImageChoice& images, std::string& familyName,
                      std::string& hostImageFile, UpgradeObserver* observer,
                      const RunOptions& options, RunOutcome* outcome) {
    RunOutcome out;
    out.m_resource = ResourceFromInstrumentText(instrument);
    UpgradeEnd end = UpgradeEnd::Interrupted;
    if (observer) {
        end = RunSequence(op, releaseDir, instrument, images, familyName, hostImageFile, observer,
                          options, out);
    } else {
        OwnRecord record(op, options, out.m_resource, releaseDir, images);
        end = RunSequence(op, releaseDir, instrument, images, familyName, hostImageFile, &record,
                          options, out);
        record.Finish(end);
    }
    Settle(end, out);
    if (observer) observer->OnOutcome(out);
    if (outcome) *outcome = std::move(out);
    return end;
}

}  // namespace workflow
