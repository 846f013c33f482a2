// The audit trail: two JSON lines per upgrade attempt that reaches an
// instrument, from the window and from the command line alike, in a per-user
// log under the XDG state folder. A "started" line goes out before the first
// command reaches the instrument, so that a run killed outright still leaves
// a trace; the final line, which refers to it by its attempt id, says how
// the attempt ended.
//
// A line is written whole or not at all: appends are serialised by an
// exclusive flock(2) on the log and go out in one write(2); the log is opened
// for appending only and never truncated. A failure to write is returned to
// the caller to report; it never stops an upgrade that is under way.
#pragma once

#include <chrono>
#include <string>
#include <vector>

#include "workflow/image_files.h"
#include "workflow/images.h"
#include "workflow/json_fields.h"
#include "workflow/upgrade.h"

namespace workflow {

// Version of the record layout, written into every line as "schema".
inline constexpr int kAuditSchema = 1;

// Results of an attempt and of an image, as written in the log.
inline constexpr const char* kAuditOk = "ok";
inline constexpr const char* kAuditFailed = "failed";
inline constexpr const char* kAuditInterrupted = "interrupted";
// An instrument that answered, but not as a model this program upgrades;
// "not identified" is left for one that gave no answer.
inline constexpr const char* kAuditNotAccepted = "not accepted";
// The whole image reached the instrument and its done command may have gone
// out, but the run ended before that was known: whether the instrument kept
// the image cannot be told.
inline constexpr const char* kAuditUnknown = "unknown";

struct AuditImage {
    std::string id;    // "HPAP", "HREC", "HBRM" or "HUBL"
    std::string file;  // the path handed to the engine
    long long size = -1;
    // Of the bytes the engine read and sent, computed as it read them (in a
    // started record: of the file as checked before the run). Empty when the
    // engine did not read the whole file.
    std::string sha256;
    std::string result;  // "ok", "failed", "interrupted", "unknown" or "not attempted"
    long long durationMs = 0;
};

struct AuditRecord {
    // "started", "final" or "restart" (lines without one are final). An
    // attempt may have a second started line once the instrument told who it
    // is, and a restart line after its final one.
    std::string kind = "final";
    std::string attempt;  // joins an attempt's two lines; filled in when empty
    std::string time;     // ISO 8601 UTC with milliseconds; filled in when empty
    std::string tool;     // "fwupgrade" or "window"
    std::string user;     // filled in when empty
    std::string host;     // filled in when empty
    std::string resource;
    std::string release;
    std::string identity;  // the raw identification reply, line end removed
    std::string model;
    std::string serial;
    std::string firmwareBefore;
    std::string firmwareAfter;  // only when the instrument was asked again
    // Whether the restart command went out: 1 or 0 once the run tried to
    // restart the instrument, -1 when it did not try.
    int restartSent = -1;
    // The release's verification: "signed", "checksummed", "not checksummed"
    // or "failed", and the signing key's fingerprint when signed.
    std::string verification;
    std::string fingerprint;
    // What the verification leaves to be said ("signature not checked: no
    // trusted keys installed"); written as "verification_note" when set.
    std::string verificationNote;
    // "ok", "failed", "interrupted", "unknown", "unreachable", "not
    // identified", "not accepted", "locked", "declined"
    std::string result;
    // Why no instrument could be upgraded, when that is how the run ended.
    IdentifyFailure cause;
    std::string message;  // what went wrong, for people; empty on success
    std::vector<AuditImage> images;
    long long durationMs = 0;
};

Json AuditRecordToJson(const AuditRecord& record);
// The record a line holds, of any layout the log has had: what a line does
// not say stays as a new record has it ("final", unknown texts, no restart
// tried, size -1), and a field of the wrong kind counts as missing.
AuditRecord AuditRecordFromJson(const Json& json);

// The cause's kind as the log writes it ("unreachable", "no reply",
// "locked", "other model"); empty when there is none.
const char* AuditCauseWord(const IdentifyFailure& cause);

// $XDG_STATE_HOME/firmware-update/audit.jsonl, or ~/.local/state/... when
// XDG_STATE_HOME is unset or not absolute; empty when neither is known.
std::string AuditLogPath();

// Appends `line` and a line feed to the log at `path`, creating its folder.
// On failure leaves the log as it was (a partial line is taken back) and
// says why in `error`: "audit log <path>: <what failed>: <system error>".
bool AppendAuditLine(const std::string& path, const std::string& line, std::string& error);
bool AppendAuditRecord(const AuditRecord& record, std::string& error,
                       const std::string& path = AuditLogPath());

// The records of the log, oldest first. Lines that are not JSON objects are
// skipped and described in `problems` ("line N: ..."). False with `error`
// set only when the log exists and cannot be read; a missing log is empty.
bool ReadAuditLog(const std::string& path, std::vector<Json>& records,
                  std::vector<std::string>& problems, std::string& error);

// Collects one attempt while it runs and writes it at its start and end. The
// clock for the whole attempt starts at construction; images are timed from
// Start to Finish.
class AuditTrail {
public:
    AuditTrail(std::string tool, std::string resource, std::string release);

    void SetIdentity(const std::string& reply);
    // The images the run checked and will send, and the release's
    // verification: what the started record says.
    void SetChecked(const std::vector<CheckedImage>& images, const std::string& verification,
                    const std::string& fingerprint, const std::string& note = {});
    // Appends the started record; false with `error` set when it could not
    // be written. Once per attempt, before the instrument is contacted.
    bool WriteStarted(std::string& error, const std::string& path = AuditLogPath());
    bool Started() const { return m_started; }

    void StartImage(const std::string& id, const std::string& file, long long size);
    // Ends the image last started, with the digest of the bytes sent.
    void FinishImage(const std::string& result, const std::string& sentSha256);
    // Lists an image that was chosen but never started.
    void SkipImage(const std::string& id, const std::string& file);
    void SetFirmwareAfter(const std::string& firmware) { m_record.firmwareAfter = firmware; }
    void SetRestartSent(bool sent) { m_record.restartSent = sent ? 1 : 0; }
    void SetCause(const IdentifyFailure& cause) { m_record.cause = cause; }
    // What an image still under way when the attempt ends is recorded as
    // (until then "interrupted").
    void SetOpenImageResult(const std::string& result);

    // Sets the result and appends the record; false with `error` set when it
    // could not be written. Write once per attempt.
    bool Write(const std::string& result, const std::string& message, std::string& error,
               const std::string& path = AuditLogPath());

    // Appends a restart line for the attempt after its final record.
    bool WriteRestart(std::string& error, const std::string& path = AuditLogPath());

    const AuditRecord& Record() const { return m_record; }

private:
    using Clock = std::chrono::steady_clock;
    AuditRecord m_record;
    std::vector<AuditImage> m_checked;
    bool m_started = false;
    Clock::time_point m_start;
    Clock::time_point m_imageStart;
    std::size_t m_openImage = kNoImage;  // index of the image under way
    static constexpr std::size_t kNoImage = static_cast<std::size_t>(-1);
};

// The result an upgrade run's end is recorded as; null for runs that never
// reached the instrument, which leave no record.
const char* AuditResult(UpgradeEnd end);

// Records an upgrade run from its observer events, passing each on to
// `next` when there is one (StopRequested is next's to answer). The started
// record goes out with the first operation, which is the first contact.
class AuditObserver : public UpgradeObserver {
public:
    AuditObserver(std::string tool, std::string resource, const std::string& releaseDir,
                  const ImageChoice& chosen, UpgradeObserver* next = nullptr,
                  std::string path = AuditLogPath());

    void OnChecked(const std::vector<CheckedImage>& images,
                   const ReleaseVerification& verification) override;
    void OnOperation(const char* operation) override;
    void OnIdentified(const std::string& reply, bool accepted) override;
    void OnImageStart(const ImageEvent& event) override;
    void OnImageDone(const ImageEvent& event) override;
    void OnIdentifyFailed(const IdentifyFailure& failure) override;
    void OnRestart(bool sent) override;
    void OnEnding(UpgradeEnd end) override;
    bool StopRequested() override;

    AuditTrail& Trail() { return m_trail; }

    // Appends the final record of a run that ended with `end`, listing the
    // chosen images that never started; `result` and `message` replace the
    // ones `end` gives when not empty. NotIdentified after a reply that is
    // not an accepted model is recorded as "not accepted", with a message
    // naming the model it answered and the accepted ones, unless `result` is
    // given. True without writing for a run that never reached the
    // instrument. A started record that could not be written is reported
    // here too. A run that found no instrument to upgrade is recorded by the
    // cause OnIdentifyFailed gave, unless `result` is given.
    bool Write(UpgradeEnd end, std::string& error, const std::string& result = {},
               const std::string& message = {});
    // After Write: the restart as OnRestart told it, in a line of its own.
    bool WriteRestart(std::string& error);

private:
    std::string m_path;
    std::string m_startError;
    AuditTrail m_trail;
    std::string m_releaseDir;
    ImageChoice m_chosen;
    UpgradeObserver* m_next;
    bool m_notAccepted = false;   // answered, but not as an accepted model
    bool m_failureKnown = false;  // OnIdentifyFailed came
};

}  // namespace workflow
