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
    Run(Operator& op, UpgradeObserver* observer, const std::string& resource)
        : m_op(op), m_observer(observer), m_resource(resource) {}

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
        update_start(m_resource.c_str());
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
        if (m_observer && watching)
            m_observer->OnRestart(outcome.m_completed || outcome.m_linkLost);
    }

    // Sends one checked image from its snapshot, never from the release's
    // file: a file changed after the check cannot reach the instrument.
    int Transfer(const CheckedImage& image, bool verified) {
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
        {
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

    Operator& m_op;
    UpgradeObserver* m_observer;
    const std::string& m_resource;
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

// Checks the image files and verifies the release; no instrument is
// contacted. UpgradeEnd::Complete when the run may go on.
UpgradeEnd PrepareRun(Operator& op, const std::string& releaseDir, const ImageChoice& images,
                      UpgradeObserver* observer, const RunOptions& options, Prepared& prepared) {
    const auto stopRequested = [observer] { return observer && observer->StopRequested(); };
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
        op.MessageBox(imageError + kBadImageText, "Error", kBoxError);
        return UpgradeEnd::BadImage;
    }
    HoldToVerifiedOffer(images, prepared.m_verification);
    for (const std::string& warning : prepared.m_verification.m_warnings)
        op.Diagnostic("release " + releaseDir + ": " + warning);
    if (observer) observer->OnChecked(prepared.m_images, prepared.m_verification);
    if (stopRequested()) return UpgradeEnd::Interrupted;
    switch (prepared.m_verification.m_status) {
        case ReleaseVerification::Status::Failed:
            op.MessageBox(kNotVerifiedText + prepared.m_verification.m_message, "Error", kBoxError);
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
                        const ImageChoice& images, int& stages) {
    if (instrument.empty()) {
        op.MessageBox(kNoInstrumentText, "Error", kBoxError);
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
        op.MessageBox(tooLong, "Error", kBoxError);
        return UpgradeEnd::TooLong;
    }
    return UpgradeEnd::Complete;
}

// What the engine told while it identified: whether another session held
// the instrument, and the first VISA call that failed.
class IdentifyWatch {
public:
    IdentifyWatch() {
        m_watch.context = this;
        m_watch.on_locked = [](void* context, const char*) {
            static_cast<IdentifyWatch*>(context)->m_locked = true;
        };
        m_watch.on_visa_error = [](void* context, ViStatus status, const char* function,
                                   const char*) {
            auto* self = static_cast<IdentifyWatch*>(context);
            if (self->m_status != VI_SUCCESS) return;  // what follows is consequence
            self->m_status = status;
            self->m_function = function ? function : "";
        };
        m_installed = update_add_observer(&m_watch);
    }
    ~IdentifyWatch() {
        if (m_installed) update_remove_observer(&m_watch);
    }
    IdentifyWatch(const IdentifyWatch&) = delete;
    IdentifyWatch& operator=(const IdentifyWatch&) = delete;

    // Why identifying `resource` gave `reply` and no accepted instrument.
    IdentifyFailure Failure(const std::string& resource, const std::string& reply) const {
        using Kind = IdentifyFailure::Kind;
        IdentifyFailure failure;
        if (m_locked) {
            failure.m_kind = Kind::Locked;
        } else if (!reply.empty()) {
            failure.m_kind = Kind::OtherModel;
            failure.m_reply = reply;
            while (!failure.m_reply.empty() &&
                   (failure.m_reply.back() == '\n' || failure.m_reply.back() == '\r'))
                failure.m_reply.pop_back();
            failure.m_model = SplitIdentity(failure.m_reply).model;
        } else {
            // Only a connection that could not be opened is "unreachable";
            // a link that opened and then said nothing is not.
            failure.m_kind = m_function == "viOpen" ? Kind::Unreachable : Kind::NoReply;
            SetAddress(resource, failure);
            if (const auto met = LastConnectFailure(); met && met->m_status == m_status)
                failure.m_reason = met->m_text;
            if (failure.m_reason.empty() && !m_function.empty()) {
                char status[16];
                std::snprintf(status, sizeof status, "0x%08X", static_cast<unsigned>(m_status));
                failure.m_reason = m_function + " failed (" + status + ")";
            }
        }
        return failure;
    }

private:
    update_observer m_watch{};
    bool m_installed = false;
    bool m_locked = false;
    ViStatus m_status = VI_SUCCESS;
    std::string m_function;
};

// Tells the observer why no instrument may be upgraded, then the operator.
UpgradeEnd NoInstrumentToUpgrade(Operator& op, UpgradeObserver* observer, UpgradeEnd end,
                                 const IdentifyFailure& failure, const std::string& text) {
    if (observer) {
        observer->OnIdentifyFailed(failure);
        observer->OnEnding(end);
    }
    op.MessageBox(text, "Error", kBoxError);
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
                           Ownership& ownership) {
    // Every name of one instrument gives one key; a name the library cannot
    // parse is left to the serial number below.
    std::string why;
    RunLockHolder holder;
    if (const std::string key = RunLockKey(instrument, &why);
        !key.empty() && !ownership.Take(key, options.m_tool, why, holder)) {
        return NoInstrumentToUpgrade(op, observer, UpgradeEnd::Locked, HeldBy(holder),
                                     kLockedText + why);
    }

    if (observer) observer->OnOperation("identify");
    std::string reply;
    IdentifyFailure failure;
    bool identified = false;
    {
        const IdentifyWatch watch;
        identified = IdentifyInstrument(instrument, familyName, hostImageFile, &reply);
        if (!identified) failure = watch.Failure(instrument, reply);
    }
    if (observer) observer->OnIdentified(reply, identified);
    if (!identified)
        return NoInstrumentToUpgrade(op, observer, UpgradeEnd::NotIdentified, failure,
                                     kNotIdentifiedText);
    // Two names the library cannot tell apart (a LAN and a USB name of one
    // sensor) still meet here, before anything but the question is sent.
    if (const IdentityFields fields = SplitIdentity(reply);
        !fields.serial.empty() && !ownership.Take(RunLockSerialKey(fields.model, fields.serial),
                                                  options.m_tool, why, holder)) {
        return NoInstrumentToUpgrade(op, observer, UpgradeEnd::Locked, HeldBy(holder),
                                     kLockedText + why);
    }
    if (images.m_host != 0 &&
        op.MessageBox(kHostWarningText, "Warning", kBoxYesNoWarning) == kAnswerNo) {
        return UpgradeEnd::Declined;
    }
    if (observer && observer->StopRequested()) return UpgradeEnd::Interrupted;
    return UpgradeEnd::Complete;
}

// Sends the checked images in their order, each update session ended and a
// new one started after the Host application. UpgradeEnd::Complete when
// every image was tried, with the failures counted in `failedStages`.
UpgradeEnd ProgramImages(Operator& op, Run& run, const Prepared& prepared, bool verified,
                         UpgradeObserver* observer, int& failedStages) {
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
    for (const CheckedImage& checked : prepared.m_images) {
        const ImageInfo& image = *checked.m_info;
        if (stopRequested()) return stop();
        op.AppendLog(image.m_logText);
        run.ShowLog();
        const int result = run.Transfer(checked, verified);
        run.StepProgress();
        op.AppendLog(result != 0 ? kLogFailure : kLogSuccess);
        run.ShowAndScrollLog();
        failedStages += result != 0 ? 1 : 0;

        if (!IsHost(image)) continue;
        if (result != 0) {
            // The instrument stays in update mode and the bar where it is:
            // the operator is told to start again from the Host image.
            if (observer) observer->OnEnding(UpgradeEnd::HostFailed);
            op.MessageBox(kHostFailedText, "Failed", kBoxError);
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
UpgradeEnd FinishRun(Operator& op, Run& run, int failedStages, UpgradeObserver* observer) {
    UpgradeEnd end = UpgradeEnd::ImageFailed;
    if (failedStages == 0 && observer && observer->StopRequested()) {
        // Every image went in, but the restart is a step of its own that
        // the caller asked us not to take.
        end = UpgradeEnd::Interrupted;
    } else if (failedStages == 0) {
        end = UpgradeEnd::Complete;
        if (observer) observer->OnEnding(end);
        op.MessageBox(kCompleteText, "Complete", kBoxInformation);
        // A stop asked for while the box was up leaves out the restart, as
        // one asked for before it.
        if (observer && observer->StopRequested())
            end = UpgradeEnd::Interrupted;
        else
            run.Reboot();
    } else {
        if (observer) observer->OnEnding(end);
        op.MessageBox(kImageFailedText, "Error", kBoxError);
    }
    op.SetProgressRange(0, 0);
    return end;
}

UpgradeEnd RunSequence(Operator& op, const std::string& releaseDir, std::string& instrument,
                       const ImageChoice& images, std::string& familyName,
                       std::string& hostImageFile, UpgradeObserver* observer,
                       const RunOptions& options) {
    int stages = 0;
    if (const UpgradeEnd end = CheckRequest(op, releaseDir, instrument, images, stages);
        end != UpgradeEnd::Complete)
        return end;
    Prepared prepared;
    if (const UpgradeEnd end = PrepareRun(op, releaseDir, images, observer, options, prepared);
        end != UpgradeEnd::Complete)
        return end;
    const bool verified =
        prepared.m_verification.m_status == ReleaseVerification::Status::Checksummed ||
        prepared.m_verification.m_status == ReleaseVerification::Status::Signed;
    if (const std::string warning = UnlockableResourceWarning(instrument); !warning.empty())
        op.Diagnostic(warning);
    Ownership ownership;
    if (const UpgradeEnd end = ClaimInstrument(op, instrument, images, familyName, hostImageFile,
                                               observer, options, ownership);
        end != UpgradeEnd::Complete)
        return end;

    Run run(op, observer, instrument);
    run.BeginWaitCursor();
    run.StartProgress(stages);
    op.SetLog(kLogHeading + familyName + "\r\n");
    run.ShowLog();
    int failedStages = 0;
    if (const UpgradeEnd end = ProgramImages(op, run, prepared, verified, observer, failedStages);
        end != UpgradeEnd::Complete)
        return end;
    return FinishRun(op, run, failedStages, observer);
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

}  // namespace

UpgradeEnd RunUpgrade(Operator& op, const std::string& releaseDir, std::string& instrument,
                      const ImageChoice& images, std::string& familyName,
                      std::string& hostImageFile, UpgradeObserver* observer,
                      const RunOptions& options) {
    if (observer)
        return RunSequence(op, releaseDir, instrument, images, familyName, hostImageFile, observer,
                           options);
    OwnRecord record(op, options, ResourceFromInstrumentText(instrument), releaseDir, images);
    const UpgradeEnd end = RunSequence(op, releaseDir, instrument, images, familyName,
                                       hostImageFile, &record, options);
    record.Finish(end);
    return end;
}

}  // namespace workflow
