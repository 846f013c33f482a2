#include "workflow/upgrade.h"

#include <cstring>
#include <map>
#include <memory>
#include <vector>

#include "update.h"
#include "visa/run_lock.h"
#include "workflow/audit.h"
#include "workflow/identification.h"
#include "workflow/identity.h"
#include "workflow/operator.h"
#include "workflow/release_config.h"

namespace workflow {

namespace {

constexpr const char* kNoInstrumentText = "Please select VISA instrument or \nenter IP address.";
constexpr const char* kNotIdentifiedText =
    "Unable to find K7141HA or K7142HA instrument.\nPlease make sure your\ninstrument is "
    "connected.";
constexpr const char* kHostWarningText =
    "Instrument saved state(s) will be erased.\nDo you want to proceed?";
constexpr const char* kHostFailedText = "Host Upgrade Failed.\n";
constexpr const char* kImageFailedText = "Upgrade failed!\nPlease re-run the upgrade application.";
constexpr const char* kCompleteText =
    "Upgrade complete.\nInstrument will be power cycled on pressing OK";

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
    bool Take(const std::string& key, const std::string& tool, std::string& why) {
        visa::RunLockResult result = visa::RunLockResult::unavailable;
        visa::RunLockHolder holder;
        auto lock = visa::RunLock::try_acquire(key, tool, &result, &holder, &why);
        if (!lock) return false;
        m_locks.push_back(std::move(lock));
        return true;
    }

private:
    std::vector<std::unique_ptr<visa::RunLock>> m_locks;
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
    if (!LoadVerifyPolicy(administrator, error, options.m_policyFile)) {
        // A policy that cannot be read may be one that requires signatures.
        op.Diagnostic(error + "; a signature is required");
        administrator.m_requireSignature = true;
    }
    policy.m_requireSignature = policy.m_requireSignature || administrator.m_requireSignature;
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
    if (const std::string key = visa::run_lock_key(instrument, &why);
        !key.empty() && !ownership.Take(key, options.m_tool, why)) {
        op.MessageBox(kLockedText + why, "Error", kBoxError);
        return UpgradeEnd::Locked;
    }

    if (observer) observer->OnOperation("identify");
    std::string reply;
    const bool identified = IdentifyInstrument(instrument, familyName, hostImageFile, &reply);
    if (observer) observer->OnIdentified(reply, identified);
    if (!identified) {
        op.MessageBox(kNotIdentifiedText, "Error", kBoxError);
        return UpgradeEnd::NotIdentified;
    }
    // Two names the library cannot tell apart (a LAN and a USB name of one
    // sensor) still meet here, before anything but the question is sent.
    if (const IdentityFields fields = SplitIdentity(reply);
        !fields.serial.empty() &&
        !ownership.Take(visa::run_lock_serial_key(fields.model, fields.serial), options.m_tool,
                        why)) {
        op.MessageBox(kLockedText + why, "Error", kBoxError);
        return UpgradeEnd::Locked;
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
        op.MessageBox(kCompleteText, "Complete", kBoxInformation);
        run.Reboot();
        end = UpgradeEnd::Complete;
    } else {
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

}  // namespace

UpgradeEnd RunUpgrade(Operator& op, const std::string& releaseDir, std::string& instrument,
                      const ImageChoice& images, std::string& familyName,
                      std::string& hostImageFile, UpgradeObserver* observer,
                      const RunOptions& options) {
    if (observer)
        return RunSequence(op, releaseDir, instrument, images, familyName, hostImageFile, observer,
                           options);
    AuditObserver audit(options.m_tool, ResourceFromInstrumentText(instrument), releaseDir, images);
    const UpgradeEnd end =
        RunSequence(op, releaseDir, instrument, images, familyName, hostImageFile, &audit, options);
    // The record is the run's by-product: failing to keep it is said, but
    // changes nothing of what the run did or reports.
    if (std::string error; !audit.Write(end, error)) {
        op.AppendLog("Audit log not written: " + error + "\r\n");
        op.ShowLog();
        op.Repaint();
    }
    return end;
}

}  // namespace workflow
