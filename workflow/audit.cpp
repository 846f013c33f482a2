#include "workflow/audit.h"

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <system_error>

#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/utc_time.h"
#include "platform/write_all.h"
#include "platform/xdg.h"
#include "workflow/audit_journal.h"
#include "workflow/identification.h"
#include "workflow/identity.h"
#include "workflow/sha256.h"

namespace workflow {

namespace {

std::string SystemError(const char* what, int code) {
    return std::string(what) + ": " + std::strerror(code);
}

std::string UserName() {
    // The account, not $USER, which a script may have set to anything.
    if (const passwd* pw = ::getpwuid(::geteuid()); pw && pw->pw_name) return pw->pw_name;
    return std::to_string(::geteuid());
}

std::string HostName() {
    char name[256] = {};
    if (::gethostname(name, sizeof name - 1) != 0) return {};
    return name;
}

// Creates every missing folder of `dir` with owner-only access.
bool MakeFolders(const std::string& dir, std::string& error) {
    std::string partial;
    std::size_t at = 0;
    while (at != std::string::npos) {
        at = dir.find('/', at + 1);
        partial = dir.substr(0, at);
        if (partial.empty()) continue;
        if (::mkdir(partial.c_str(), 0700) != 0 && errno != EEXIST) {
            error = SystemError(("creating " + partial).c_str(), errno);
            return false;
        }
    }
    struct stat st {};
    if (::stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        error = "creating " + dir + ": not a folder";
        return false;
    }
    return true;
}

// A name for one attempt, unique on this machine: its start, the process and
// a count within the process.
std::string NewAttemptId() {
    static std::atomic<unsigned> count{0};
    return platform::utc_now() + "-" + std::to_string(::getpid()) + "-" + std::to_string(++count);
}

// The most of the log that is read at once.
constexpr off_t kMaxAuditRead = off_t{256} << 20;

// How long an append waits for other writers of the log before it gives up.
constexpr int kAppendWaitMs = 5000;

}  // namespace

std::string AuditLogPath() {
    const std::optional<std::string> base = platform::xdg_base_dir(platform::XdgBase::state);
    return base ? *base + "/firmware-update/audit.jsonl" : std::string();
}

namespace {

// Opens the log at `path` for appending and takes its lock; the descriptor,
// or -1 with `error` set after `prefix`.
int OpenLogLocked(const std::string& path, const std::string& prefix, std::string& error) {
    // Append-only: O_APPEND puts every write at the end, and the log is
    // never opened in a way that could cut it. Never through a link, and
    // never waiting: a FIFO put in its place fails at once (no reader) or is
    // refused below, instead of holding the run.
    const int fd = ::open(
        path.c_str(),
        O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY, 0600);
    if (fd < 0) {
        error = prefix + ": " +
                (errno == ELOOP ? std::string("is a symbolic link; not written")
                                : SystemError("opening", errno));
        return -1;
    }
    struct stat before {};
    if (::fstat(fd, &before) != 0 || !S_ISREG(before.st_mode)) {
        ::close(fd);
        error = prefix + ": not a regular file; not written";
        return -1;
    }
    // Writers of other processes (parallel batch children, the window) take
    // turns here, so that a line that has to be taken back is surely our own;
    // a writer that keeps the log locked is not waited for without end.
    for (int waited = 0; ::flock(fd, LOCK_EX | LOCK_NB) != 0; waited += 10) {
        if (errno != EWOULDBLOCK && errno != EINTR) break;  // no flock here: append anyway
        if (waited >= kAppendWaitMs) {
            ::close(fd);
            error = prefix + ": another process keeps it locked; not written";
            return -1;
        }
        ::usleep(10000);
    }
    return fd;
}

}  // namespace

bool AppendAuditLine(const std::string& path, const std::string& line, std::string& error) {
    const std::string prefix = "audit log " + (path.empty() ? std::string("(no home)") : path);
    if (path.empty()) {
        error = prefix + ": neither XDG_STATE_HOME nor HOME is set";
        return false;
    }
    std::string detail;
    const std::size_t slash = path.rfind('/');
    if (slash != std::string::npos && slash > 0 && !MakeFolders(path.substr(0, slash), detail)) {
        error = prefix + ": " + detail;
        return false;
    }
    const int fd = OpenLogLocked(path, prefix, error);
    if (fd < 0) return false;
    struct stat before {};
    if (::fstat(fd, &before) != 0) before.st_size = -1;
    const bool sized = before.st_size >= 0;
    const std::string text = line + "\n";
    int code = 0;
    bool ok = platform::write_all(fd, text);
    if (!ok) code = errno;
    if (ok && ::fdatasync(fd) != 0 && errno != EINVAL && errno != EROFS) {
        code = errno;
        ok = false;
    }
    if (!ok) {
        error = prefix + ": " + SystemError("appending", code);
        // A full disk may have taken part of the line: cut back to exactly
        // what was there before, so that the log holds only whole lines.
        if (sized) {
            struct stat after {};
            if (::fstat(fd, &after) == 0 && after.st_size > before.st_size &&
                ::ftruncate(fd, before.st_size) != 0)
                error += " (a partial line remains)";
        }
    }
    ::close(fd);  // also releases the flock
    return ok;
}

namespace {

// The record with what its writer may leave empty filled in.
AuditRecord Filled(const AuditRecord& record) {
    AuditRecord filled = record;
    if (filled.time.empty()) filled.time = platform::utc_now();
    if (filled.attempt.empty()) filled.attempt = NewAttemptId();
    if (filled.user.empty()) filled.user = UserName();
    if (filled.host.empty()) filled.host = HostName();
    return filled;
}

// The user's own trail also goes to the system journal; a log elsewhere (a
// test's, a tool's) does not, so that only real runs reach the machine's.
void Journal(const AuditRecord& record, const std::string& path) {
    if (!path.empty() && path == AuditLogPath()) SendAuditToJournal(Filled(record));
}

}  // namespace

bool AppendAuditRecord(const AuditRecord& record, std::string& error, const std::string& path) {
    return AppendAuditLine(path, JsonLine(AuditRecordToJson(Filled(record))), error);
}

bool ReadAuditLog(const std::string& path, std::vector<Json>& records,
                  std::vector<std::string>& problems, std::string& error) {
    // Never waits: a FIFO in the log's place is refused, not read.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) {
        if (errno == ENOENT) return true;
        error = "audit log " + path + ": " + SystemError("opening", errno);
        return false;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        error = "audit log " + path + ": not a regular file";
        return false;
    }
    // Years of records stay far below this; beyond it the newest part is
    // read, and the reader is told.
    off_t from = 0;
    if (st.st_size > kMaxAuditRead) {
        from = st.st_size - kMaxAuditRead;
        problems.push_back("only the last " + std::to_string(kMaxAuditRead >> 20) +
                           " MiB of the log were read");
    }
    std::string text;
    text.resize(static_cast<std::size_t>(st.st_size - from));
    std::size_t got = 0;
    while (got < text.size()) {
        const ssize_t n =
            ::pread(fd, text.data() + got, text.size() - got, from + static_cast<off_t>(got));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            ::close(fd);
            error = "audit log " + path + ": " + SystemError("reading", errno);
            return false;
        }
        if (n == 0) break;
        got += static_cast<std::size_t>(n);
    }
    ::close(fd);
    text.resize(got);
    std::size_t at = 0;
    if (from > 0) at = text.find('\n') == std::string::npos ? text.size() : text.find('\n') + 1;
    for (long number = 1; at < text.size(); ++number) {
        std::size_t lineEnd = text.find('\n', at);
        if (lineEnd == std::string::npos) lineEnd = text.size();
        const std::string line = text.substr(at, lineEnd - at);
        at = lineEnd + 1;
        if (line.empty()) continue;
        std::string why;
        std::optional<Json> record = ParseJsonObject(line, &why);
        if (!record) {
            problems.push_back("line " + std::to_string(number) + ": " + why);
            continue;
        }
        records.push_back(std::move(*record));
    }
    return true;
}

AuditTrail::AuditTrail(std::string tool, std::string resource, std::string release)
    : m_start(Clock::now()) {
    m_record.attempt = NewAttemptId();
    m_record.time = platform::utc_now();
    m_record.tool = std::move(tool);
    m_record.resource = std::move(resource);
    m_record.release = std::move(release);
}

void AuditTrail::SetIdentity(const std::string& reply) {
    std::string identity = reply;
    while (!identity.empty() && (identity.back() == '\n' || identity.back() == '\r'))
        identity.pop_back();
    m_record.identity = identity;
    const IdentityFields fields = SplitIdentity(identity);
    m_record.model = fields.model;
    m_record.serial = fields.serial;
    m_record.firmwareBefore = fields.firmware;
}

void AuditTrail::SetChecked(const std::vector<CheckedImage>& images,
                            const std::string& verification, const std::string& fingerprint,
                            const std::string& note) {
    m_checked.clear();
    for (const CheckedImage& checked : images) {
        AuditImage image;
        image.id = checked.m_info ? checked.m_info->m_id : "";
        image.file = checked.m_path;
        image.size = checked.m_size;
        image.sha256 = checked.m_sha256;
        m_checked.push_back(std::move(image));
    }
    m_record.verification = verification;
    m_record.fingerprint = fingerprint;
    m_record.verificationNote = note;
}

bool AuditTrail::WriteStarted(std::string& error, const std::string& path) {
    AuditRecord started = m_record;
    started.kind = "started";
    started.images = m_checked;
    // The journal gets the attempt's start once; the log's second started
    // line only adds who answered, which the final entry says too.
    if (!m_started) Journal(started, path);
    m_started = true;
    return AppendAuditRecord(started, error, path);
}

void AuditTrail::StartImage(const std::string& id, const std::string& file, long long size) {
    AuditImage image;
    image.id = id;
    image.file = file;
    image.size = size;
    image.result = kAuditInterrupted;  // until FinishImage says otherwise
    m_record.images.push_back(std::move(image));
    m_imageStart = Clock::now();
    m_openImage = m_record.images.size() - 1;
}

void AuditTrail::FinishImage(const std::string& result, const std::string& sentSha256) {
    if (m_openImage == kNoImage) return;
    AuditImage& image = m_record.images[m_openImage];
    image.result = result;
    image.sha256 = sentSha256;
    image.durationMs =
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - m_imageStart).count();
    m_openImage = kNoImage;
}

void AuditTrail::SkipImage(const std::string& id, const std::string& file) {
    AuditImage image;
    image.id = id;
    image.file = file;
    image.result = "not attempted";
    m_record.images.push_back(std::move(image));
}

bool AuditTrail::Write(const std::string& result, const std::string& message, std::string& error,
                       const std::string& path) {
    if (m_openImage != kNoImage) {
        // Still under way when the attempt ended: it stays "interrupted".
        m_record.images[m_openImage].durationMs =
            std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - m_imageStart)
                .count();
        m_openImage = kNoImage;
    }
    m_record.result = result;
    m_record.message = message;
    m_record.durationMs =
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - m_start).count();
    Journal(m_record, path);
    return AppendAuditRecord(m_record, error, path);
}

void AuditTrail::SetOpenImageResult(const std::string& result) {
    if (m_openImage != kNoImage) m_record.images[m_openImage].result = result;
}

bool AuditTrail::WriteRestart(std::string& error, const std::string& path) {
    AuditRecord restart = m_record;
    restart.kind = "restart";
    restart.time.clear();  // now, not the attempt's start
    Journal(restart, path);
    return AppendAuditRecord(restart, error, path);
}

const char* AuditResult(UpgradeEnd end) {
    switch (end) {
        case UpgradeEnd::NoInstrument:
        case UpgradeEnd::NothingChosen:
        case UpgradeEnd::TooLong:
        case UpgradeEnd::BadImage:
        case UpgradeEnd::NotVerified:
            return nullptr;
        case UpgradeEnd::Locked:
            return "locked";
        case UpgradeEnd::NotIdentified:
            return "not identified";
        case UpgradeEnd::Declined:
            return "declined";
        case UpgradeEnd::HostFailed:
        case UpgradeEnd::ImageFailed:
            return kAuditFailed;
        case UpgradeEnd::Complete:
            return kAuditOk;
        case UpgradeEnd::Interrupted:
            return kAuditInterrupted;
    }
    return kAuditFailed;
}

namespace {

// Says what a foreign instrument answered: its model, or its whole reply
// when that has no model field.
std::string NotAcceptedMessage(const AuditRecord& record) {
    const std::string answered = record.model.empty() ? "answered \"" + record.identity + "\""
                                                      : "answered as model " + record.model;
    return answered + ", not an accepted model (" + AcceptedModelsText() + ")";
}

const char* EndMessage(UpgradeEnd end) {
    switch (end) {
        case UpgradeEnd::NotIdentified:
            return "no identification reply";
        case UpgradeEnd::Locked:
            return "another upgrade owns the instrument";
        case UpgradeEnd::Declined:
            return "the Host application warning was answered No";
        case UpgradeEnd::HostFailed:
            return "the Host application failed; the instrument is still in update mode";
        case UpgradeEnd::ImageFailed:
            return "an image failed; the instrument was not restarted";
        case UpgradeEnd::Interrupted:
            return "stopped on request before the next step";
        default:
            return "";
    }
}

}  // namespace

AuditObserver::AuditObserver(std::string tool, std::string resource, const std::string& releaseDir,
                             const ImageChoice& chosen, UpgradeObserver* next, std::string path)
    : m_path(std::move(path)),
      m_trail(std::move(tool), std::move(resource), releaseDir),
      m_releaseDir(releaseDir),
      m_chosen(chosen),
      m_next(next) {}

void AuditObserver::OnChecked(const std::vector<CheckedImage>& images,
                              const ReleaseVerification& verification) {
    m_trail.SetChecked(images, verification.ResultWord(), verification.m_fingerprint,
                       verification.m_signatureNotChecked ? kSignatureNotCheckedNote : "");
    if (m_next) m_next->OnChecked(images, verification);
}

void AuditObserver::OnOperation(const char* operation) {
    if (!m_trail.Started()) m_trail.WriteStarted(m_startError, m_path);
    if (m_next) m_next->OnOperation(operation);
}

void AuditObserver::OnIdentified(const std::string& reply, bool accepted) {
    m_trail.SetIdentity(reply);
    m_notAccepted = !accepted && !m_trail.Record().identity.empty();
    // A run killed from here on still leaves which instrument it wrote to.
    if (accepted && m_trail.Started()) {
        std::string error;
        if (!m_trail.WriteStarted(error, m_path) && m_startError.empty()) m_startError = error;
    }
    if (m_next) m_next->OnIdentified(reply, accepted);
}

void AuditObserver::OnIdentifyFailed(const IdentifyFailure& failure) {
    m_trail.SetCause(failure);
    m_failureKnown = failure.m_kind != IdentifyFailure::Kind::None;
    if (m_next) m_next->OnIdentifyFailed(failure);
}

void AuditObserver::OnEnding(UpgradeEnd end) {
    if (m_next) m_next->OnEnding(end);
}

void AuditObserver::OnImageStart(const ImageEvent& event) {
    m_trail.StartImage(event.m_id, event.m_path, event.m_size);
    if (m_next) m_next->OnImageStart(event);
}

void AuditObserver::OnImageDone(const ImageEvent& event) {
    m_trail.FinishImage(event.m_result == 0 ? kAuditOk : kAuditFailed, event.m_sentSha256);
    if (m_next) m_next->OnImageDone(event);
}

void AuditObserver::OnRestart(bool sent) {
    m_trail.SetRestartSent(sent);
    if (m_next) m_next->OnRestart(sent);
}

bool AuditObserver::StopRequested() {
    return m_next && m_next->StopRequested();
}

bool AuditObserver::Write(UpgradeEnd end, std::string& error, const std::string& result,
                          const std::string& message) {
    const char* endResult = AuditResult(end);
    // Only what reached the instrument is an attempt.
    if (!endResult || !m_trail.Started()) return true;
    for (const ImageInfo& image : kImages) {
        if (m_chosen.*image.m_flag == 0) continue;
        bool started = false;
        for (const AuditImage& recorded : m_trail.Record().images)
            started = started || recorded.id == image.m_id;
        if (started) continue;
        const std::string file = *image.m_file ? m_releaseDir + image.m_file
                                               : m_releaseDir + kImageFolder + kHostImageFile;
        m_trail.SkipImage(image.m_id, file);
    }
    std::string finalResult = result.empty() ? endResult : result;
    std::string finalMessage = message.empty() ? EndMessage(end) : message;
    const bool notFound = end == UpgradeEnd::NotIdentified || end == UpgradeEnd::Locked;
    if (notFound && result.empty() && m_failureKnown) {
        finalResult = AuditResultOf(m_trail.Record().cause);
        if (message.empty()) finalMessage = DescribeIdentifyFailure(m_trail.Record().cause);
    } else if (end == UpgradeEnd::NotIdentified && result.empty() && m_notAccepted) {
        finalResult = kAuditNotAccepted;
        finalMessage = NotAcceptedMessage(m_trail.Record());
    }
    const bool written = m_trail.Write(finalResult, finalMessage, error, m_path);
    if (!m_startError.empty()) {
        error = m_startError + (written ? "" : "; " + error);
        return false;
    }
    return written;
}

bool AuditObserver::WriteRestart(std::string& error) {
    return m_trail.WriteRestart(error, m_path);
}

}  // namespace workflow
