#include "workflow/release_verify.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <future>
#include <optional>
#include <system_error>

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/root_owned.h"
#include "platform/write_all.h"
#include "workflow/release_config.h"
#include "workflow/sha256.h"

extern char** environ;

namespace workflow {

namespace {

using Status = ReleaseVerification::Status;

constexpr std::size_t kSumsCap = std::size_t{1} << 20;
constexpr std::size_t kSignatureCap = std::size_t{1} << 20;
constexpr std::size_t kKeyCap = std::size_t{16} << 20;
constexpr std::size_t kPolicyCap = std::size_t{64} << 10;
constexpr std::size_t kStatusCap = std::size_t{64} << 10;
constexpr int kPollMs = 100;
constexpr const char* kRequiredText = "missing, and this machine requires signed releases";

enum class ReadResult { Ok, Missing, Error };

// Reads the open file `fd` whole when it is a regular file of at most `cap`
// bytes; false with `why` otherwise. Leaves `fd` open.
bool ReadDescriptor(int fd, std::size_t cap, std::string& content, std::string& why) {
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        why = std::strerror(errno);
        return false;
    }
    if (!S_ISREG(st.st_mode)) {
        why = "not a regular file";
        return false;
    }
    const std::string tooLarge = "larger than " + std::to_string(cap) + " bytes";
    if (static_cast<unsigned long long>(st.st_size) > cap) {
        why = tooLarge;
        return false;
    }
    content.clear();
    char buffer[65536];
    while (true) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n == 0) return true;
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            why = std::strerror(errno);
            return false;
        }
        if (content.size() + static_cast<std::size_t>(n) > cap) {
            why = tooLarge;
            return false;
        }
        content.append(buffer, static_cast<std::size_t>(n));
    }
}

// Reads a small file whole: regular files only (opened without waiting, so a
// FIFO or a device named in its place is refused at once), at most `cap`
// bytes. Missing only when the name does not exist.
ReadResult ReadSmallFile(const std::string& path, std::size_t cap, std::string& content,
                         std::string& why) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        if (errno == ENOENT) return ReadResult::Missing;
        why = std::strerror(errno);
        return ReadResult::Error;
    }
    const bool read = ReadDescriptor(fd, cap, content, why);
    ::close(fd);
    return read ? ReadResult::Ok : ReadResult::Error;
}

// The administrator's files, read only when nobody but root can have written
// them or the folders above them (see platform/root_owned.h); `why` names
// the file or folder and the rule. Missing only when the name does not exist
// below folders that are safe.
ReadResult ReadRootOwnedFile(const std::string& path, std::size_t cap, unsigned owner,
                             std::string& content, std::string& why) {
    bool missing = false;
    const int fd =
        platform::open_root_owned(path, O_RDONLY | O_NONBLOCK | O_NOCTTY, why, &missing, owner);
    if (fd < 0) return missing ? ReadResult::Missing : ReadResult::Error;
    const bool read = ReadDescriptor(fd, cap, content, why);
    ::close(fd);
    return read ? ReadResult::Ok : ReadResult::Error;
}

std::string Trim(const std::string& text) {
    const auto blank = [](unsigned char c) { return std::isspace(c) != 0; };
    std::size_t start = 0, end = text.size();
    while (start < end && blank(static_cast<unsigned char>(text[start])))
        ++start;
    while (end > start && blank(static_cast<unsigned char>(text[end - 1])))
        --end;
    return text.substr(start, end - start);
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(std::move(line));
        start = end + 1;
    }
    return lines;
}

// "./host//x.bin" -> "host/x.bin". False for absolute paths, ".." anywhere
// and empty paths: a list entry must stay inside the release directory.
bool NormalizeRelative(const std::string& path, std::string& normal) {
    if (path.empty() || path[0] == '/') return false;
    normal.clear();
    std::size_t start = 0;
    while (start <= path.size()) {
        std::size_t end = path.find('/', start);
        if (end == std::string::npos) end = path.size();
        const std::string part = path.substr(start, end - start);
        if (part == "..") return false;
        if (!part.empty() && part != ".") normal += (normal.empty() ? "" : "/") + part;
        start = end + 1;
    }
    return !normal.empty();
}

// sha256sum writes a name holding '\\', '\n' or '\r' escaped, and marks the
// line with a leading backslash.
bool Unescape(const std::string& escaped, std::string& name) {
    name.clear();
    for (std::size_t i = 0; i < escaped.size(); ++i) {
        if (escaped[i] != '\\') {
            name += escaped[i];
            continue;
        }
        if (++i == escaped.size()) return false;
        switch (escaped[i]) {
            case '\\':
                name += '\\';
                break;
            case 'n':
                name += '\n';
                break;
            case 'r':
                name += '\r';
                break;
            default:
                return false;
        }
    }
    return true;
}

// SHA256SUMS as `sha256sum -c` reads it: relative path -> lower-case digest.
bool ParseSums(const std::string& content, std::map<std::string, std::string>& sums,
               std::string& why) {
    const std::vector<std::string> lines = Lines(content);
    for (std::size_t number = 1; number <= lines.size(); ++number) {
        std::string line = lines[number - 1];
        if (Trim(line).empty()) continue;
        const std::string where = "line " + std::to_string(number) + ": ";
        const bool escaped = line[0] == '\\';
        if (escaped) line.erase(0, 1);
        if (line.size() < 67 || line[64] != ' ' || (line[65] != ' ' && line[65] != '*') ||
            !std::all_of(line.begin(), line.begin() + 64,
                         [](unsigned char c) { return std::isxdigit(c) != 0; })) {
            why = where + "not \"<SHA-256>  <file>\" as sha256sum writes it";
            return false;
        }
        std::string digest = line.substr(0, 64);
        std::transform(digest.begin(), digest.end(), digest.begin(),
                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        std::string name = line.substr(66), path;
        if (escaped && !Unescape(line.substr(66), name)) {
            why = where + "a bad escape in the file name";
            return false;
        }
        if (!NormalizeRelative(name, path)) {
            why = where + "'" + name + "' is not a path inside the release directory";
            return false;
        }
        const auto [at, added] = sums.emplace(path, digest);
        if (!added && at->second != digest) {
            why = where + path + " is listed again with another SHA-256";
            return false;
        }
    }
    return true;
}

// A private, empty directory for gpgv's home and the copies it checks;
// removed with everything in it when this goes.
class TempDir {
public:
    TempDir() {
        const char* base = std::getenv("TMPDIR");
        std::string pattern = std::string(base && *base ? base : "/tmp") + "/fwverify-XXXXXX";
        if (::mkdtemp(pattern.data()) != nullptr) m_path = pattern;
    }
    ~TempDir() {
        std::error_code ignored;
        if (!m_path.empty()) std::filesystem::remove_all(m_path, ignored);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    bool Ok() const { return !m_path.empty(); }
    const std::string& Path() const { return m_path; }

    // Writes `content` to a new file `name` inside; its full path, or "".
    std::string Write(const std::string& name, const std::string& content) const {
        const std::string path = m_path + "/" + name;
        const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd < 0) return {};
        const bool written = platform::write_all(fd, content);
        ::close(fd);
        return written ? path : std::string();
    }

private:
    std::string m_path;
};

bool IsArmored(const std::string& data) {
    return data.find("-----BEGIN PGP ") != std::string::npos;
}

bool EndsWith(const std::string& name, const char* suffix) {
    const std::size_t n = std::strlen(suffix);
    return name.size() > n && name.compare(name.size() - n, n, suffix) == 0;
}

// The trusted folder's keys (*.gpg and *.asc), each read through the folder
// checked as root's, as (path, content). A missing folder holds no keys; a
// folder or key someone else could have written fails, with the reason.
bool ReadTrustedKeys(const VerifyPolicy& policy,
                     std::vector<std::pair<std::string, std::string>>& keys, std::string& why) {
    const std::string& folder = policy.m_trustedKeysDir;
    bool missing = false;
    const int folderFd =
        platform::open_root_owned(folder, O_RDONLY | O_DIRECTORY, why, &missing, policy.m_keyOwner);
    if (folderFd < 0) {
        if (!missing) why = "trusted keys: " + why;
        return missing;
    }
    DIR* dir = ::fdopendir(folderFd);
    if (dir == nullptr) {
        why = "trusted keys: " + folder + ": " + std::strerror(errno);
        ::close(folderFd);
        return false;
    }
    std::vector<std::string> names;
    while (const dirent* entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        if (name[0] != '.' && (EndsWith(name, ".gpg") || EndsWith(name, ".asc")))
            names.push_back(name);
    }
    std::sort(names.begin(), names.end());
    bool ok = true;
    for (const std::string& name : names) {
        const std::string path = folder + "/" + name;
        const int fd = platform::open_root_owned_at(
            ::dirfd(dir), name, path, O_RDONLY | O_NONBLOCK | O_NOCTTY, why, policy.m_keyOwner);
        std::string content;
        ok = fd >= 0 && ReadDescriptor(fd, kKeyCap, content, why);
        if (fd >= 0) {
            ::close(fd);
            if (!ok) why = path + ": " + why;
        }
        if (!ok) break;
        keys.emplace_back(path, std::move(content));
    }
    ::closedir(dir);
    if (!ok) why = "trusted keys: " + why;
    return ok;
}

// The keyrings gpgv is given, each a binary copy in `temp` of what was read
// and checked (gpgv reads binary keyrings only, and must not open a name
// whose file may have changed since): the trusted folder's keys, then the
// caller's keyrings where the policy lets them count. False with the reason
// when a keyring cannot be used.
bool CollectKeyrings(const VerifyPolicy& policy, const TempDir& temp,
                     std::vector<std::string>& keyrings, std::string& why) {
    std::vector<std::pair<std::string, std::string>> keys;
    if (!ReadTrustedKeys(policy, keys, why)) return false;
    if (!policy.m_keyrings.empty() && !policy.m_allowUserKeyrings) {
        why = "keyring " + policy.m_keyrings.front() +
              ": not used, as the administrator's policy counts only the keys in " +
              policy.m_trustedKeysDir + " (allow-user-keyrings = no)";
        return false;
    }
    for (const std::string& keyring : policy.m_keyrings) {
        std::string content, reason;
        if (ReadSmallFile(keyring, kKeyCap, content, reason) != ReadResult::Ok) {
            why = "keyring " + keyring + ": " + (reason.empty() ? "missing" : reason);
            return false;
        }
        keys.emplace_back(keyring, std::move(content));
    }
    for (const auto& [name, content] : keys) {
        std::string binary;
        if (IsArmored(content) && !DearmorOpenPgp(content, binary)) {
            why = "keyring " + name + ": not a readable armored OpenPGP key";
            return false;
        }
        const std::string copy = temp.Write("keyring-" + std::to_string(keyrings.size()) + ".gpg",
                                            IsArmored(content) ? binary : content);
        if (copy.empty()) {
            why = "keyring " + name + ": cannot copy it for gpgv into " + temp.Path();
            return false;
        }
        keyrings.push_back(copy);
    }
    return true;
}

std::vector<std::string> Words(const std::string& line) {
    std::vector<std::string> words;
    std::size_t start = 0;
    while (start < line.size()) {
        std::size_t end = line.find(' ', start);
        if (end == std::string::npos) end = line.size();
        if (end > start) words.push_back(line.substr(start, end - start));
        start = end + 1;
    }
    return words;
}

struct SignatureCheck {
    bool m_good = false;
    std::string m_fingerprint;
    std::string m_reason;  // why not good
};

// What gpgv's status lines say. Good only when gpgv exited 0 and every
// signature in the file was good: one good signature beside a bad one is a
// file someone has tampered with.
SignatureCheck ReadGpgvStatus(const std::string& status, int exitCode) {
    SignatureCheck check;
    bool goodSig = false;
    std::string problem;
    for (const std::string& line : Lines(status)) {
        const std::vector<std::string> w = Words(line);
        if (w.size() < 2 || w[0] != "[GNUPG:]") continue;
        const std::string& key = w[1];
        const std::string arg = w.size() > 2 ? w[2] : std::string();
        if (key == "GOODSIG") {
            goodSig = true;
        } else if (key == "VALIDSIG") {
            check.m_fingerprint = arg;
        } else if (problem.empty()) {
            if (key == "BADSIG")
                problem =
                    "bad signature (SHA256SUMS was changed after it was signed, or the "
                    "signature belongs to another file)";
            else if (key == "NO_PUBKEY")
                problem = "signed by key " + arg + ", which is not among the trusted keys";
            else if (key == "EXPSIG")
                problem = "the signature has expired";
            else if (key == "EXPKEYSIG")
                problem = "the signing key " + arg + " has expired";
            else if (key == "REVKEYSIG")
                problem = "the signing key " + arg + " has been revoked";
            else if (key == "NODATA")
                problem = "holds no OpenPGP signature";
            else if (key == "ERRSIG" && w.size() > 7 && w[7] != "9")
                problem = "the signature cannot be checked (gpgv error " + w[7] + ")";
        }
    }
    const bool fingerprintOk = check.m_fingerprint.size() == 40 &&
                               std::all_of(check.m_fingerprint.begin(), check.m_fingerprint.end(),
                                           [](unsigned char c) { return std::isxdigit(c) != 0; });
    check.m_good = exitCode == 0 && goodSig && fingerprintOk && problem.empty();
    if (!check.m_good) {
        check.m_fingerprint.clear();
        check.m_reason = !problem.empty() ? problem
                                          : "gpgv did not confirm a good signature (exit status " +
                                                std::to_string(exitCode) + ")";
    }
    return check;
}

// Starts gpgv on the copies in `temp` with its status lines on descriptor
// 3, a copy of `statusWrite`; nothing of the user's GnuPG set-up is consulted
// (its own empty home, only our keyrings). 0 with `pid` set, or the error.
int SpawnGpgv(const VerifyPolicy& policy, const TempDir& temp,
              const std::vector<std::string>& keyrings, const std::string& signature,
              const std::string& sums, int statusWrite, pid_t& pid) {
    std::vector<std::string> args{policy.m_gpgvPath, "--homedir", temp.Path(), "--status-fd", "3"};
    for (const std::string& keyring : keyrings)
        args.insert(args.end(), {"--keyring", keyring});
    args.insert(args.end(), {"--", signature, sums});
    std::vector<char*> argv;
    argv.reserve(args.size() + 1);
    for (std::string& arg : args)
        argv.push_back(arg.data());
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, statusWrite, 3);
    // The caller may block signals for its own watcher thread; gpgv gets the
    // defaults, whatever the caller did.
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t none, defaults;
    sigemptyset(&none);
    sigemptyset(&defaults);
    for (const int sig : {SIGINT, SIGTERM, SIGPIPE, SIGHUP, SIGQUIT, SIGCHLD})
        sigaddset(&defaults, sig);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setsigdefault(&attr, &defaults);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    const int spawnError =
        statusWrite < 0 ? errno
                        : ::posix_spawn(&pid, argv[0], &actions, &attr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    return spawnError;
}

// Reads gpgv's status lines into `status` until it ends, bounded in time and
// cut short on request (then it is killed). Empty when gpgv ended by itself,
// with its wait status in `waitStatus`; otherwise why it was cut short.
std::string CollectGpgv(pid_t pid, int statusRead, const std::function<bool()>& stopRequested,
                        std::string& status, int& waitStatus) {
    using Clock = std::chrono::steady_clock;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(kGpgvTimeoutMs);
    bool open = true;
    bool exited = false;
    std::string cutShort;
    while (!exited) {
        if (stopRequested && stopRequested()) {
            cutShort = "the check was stopped on request";
        } else if (Clock::now() >= deadline) {
            cutShort = "gpgv did not finish within " + std::to_string(kGpgvTimeoutMs / 1000) + " s";
        }
        if (!cutShort.empty()) {
            ::kill(pid, SIGKILL);
            while (::waitpid(pid, &waitStatus, 0) < 0 && errno == EINTR) {
            }
            break;
        }
        if (open) {
            pollfd p{statusRead, POLLIN, 0};
            if (::poll(&p, 1, kPollMs) > 0) {
                char buffer[4096];
                const ssize_t n = ::read(statusRead, buffer, sizeof buffer);
                if (n > 0 && status.size() < kStatusCap)
                    status.append(buffer, static_cast<std::size_t>(n));
                if (n == 0 || (n < 0 && errno != EINTR && errno != EAGAIN)) open = false;
            }
        } else {
            ::poll(nullptr, 0, 10);
        }
        const pid_t done = ::waitpid(pid, &waitStatus, WNOHANG);
        exited = done == pid || (done < 0 && errno == ECHILD);
    }
    // What is left in the pipe after gpgv ended.
    for (char buffer[4096]; open && status.size() < kStatusCap && cutShort.empty();) {
        pollfd p{statusRead, POLLIN, 0};
        if (::poll(&p, 1, 0) <= 0) break;
        const ssize_t n = ::read(statusRead, buffer, sizeof buffer);
        if (n <= 0) break;
        status.append(buffer, static_cast<std::size_t>(n));
    }
    return cutShort;
}

// Runs gpgv on the copies in `temp`, bounded in time, with nothing of the
// user's GnuPG set-up consulted (its own empty home, only our keyrings).
SignatureCheck RunGpgv(const VerifyPolicy& policy, const TempDir& temp,
                       const std::vector<std::string>& keyrings, const std::string& signature,
                       const std::string& sums, const std::function<bool()>& stopRequested) {
    SignatureCheck failed;
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0) {
        failed.m_reason = std::string("cannot run gpgv: ") + std::strerror(errno);
        return failed;
    }
    // Above the standard descriptors, so that the child's dup2 onto 3 never
    // meets the descriptor it copies.
    const int statusWrite = ::fcntl(pipeFds[1], F_DUPFD_CLOEXEC, 10);
    ::close(pipeFds[1]);
    const int statusRead = pipeFds[0];
    pid_t pid = -1;
    const int spawnError = SpawnGpgv(policy, temp, keyrings, signature, sums, statusWrite, pid);
    if (statusWrite >= 0) ::close(statusWrite);
    if (spawnError != 0) {
        ::close(statusRead);
        failed.m_reason = "cannot run " + policy.m_gpgvPath + ": " + std::strerror(spawnError);
        return failed;
    }
    std::string status;
    int waitStatus = 0;
    const std::string cutShort = CollectGpgv(pid, statusRead, stopRequested, status, waitStatus);
    ::close(statusRead);
    if (!cutShort.empty()) {
        failed.m_reason = cutShort;
        return failed;
    }
    const int exitCode = WIFEXITED(waitStatus) ? WEXITSTATUS(waitStatus) : 128;
    return ReadGpgvStatus(status, exitCode);
}

ReleaseVerification Failed(std::string message, std::vector<std::string> checked = {}) {
    ReleaseVerification result;
    result.m_status = Status::Failed;
    result.m_message = std::move(message);
    result.m_filesChecked = std::move(checked);
    return result;
}

}  // namespace

const char* ReleaseVerification::ResultWord() const {
    switch (m_status) {
        case Status::NotChecksummed:
            return "not checksummed";
        case Status::Checksummed:
            return "checksummed";
        case Status::Signed:
            return "signed";
        case Status::Failed:
            break;
    }
    return "failed";
}

bool LoadVerifyPolicy(VerifyPolicy& policy, std::string& error, const std::string& path) {
    std::string content, why;
    switch (ReadRootOwnedFile(path, kPolicyCap, policy.m_keyOwner, content, why)) {
        case ReadResult::Missing:
            return true;
        case ReadResult::Error:
            error = "policy " + path + ": " + why;
            return false;
        case ReadResult::Ok:
            break;
    }
    // Each setting's value and the line that gave it first.
    std::map<std::string, std::pair<bool, std::size_t>> given;
    const std::vector<std::string> lines = Lines(content);
    for (std::size_t number = 1; number <= lines.size(); ++number) {
        std::string line = lines[number - 1];
        if (const std::size_t hash = line.find('#'); hash != std::string::npos) line.resize(hash);
        line = Trim(line);
        if (line.empty()) continue;
        const std::string where = "policy " + path + ": line " + std::to_string(number) + ": ";
        const std::size_t eq = line.find('=');
        if (eq == std::string::npos) {
            error = where + "not \"setting = value\"";
            return false;
        }
        const std::string key = Trim(line.substr(0, eq));
        const std::string value = Trim(line.substr(eq + 1));
        if (key != "require-signature" && key != "allow-user-keyrings") {
            error = where + "unknown setting '" + key + "'";
            return false;
        }
        if (value != "yes" && value != "no") {
            error = where + key + " is yes or no, not '" + value + "'";
            return false;
        }
        const auto [at, first] = given.emplace(key, std::make_pair(value == "yes", number));
        if (!first && at->second.first != (value == "yes")) {
            error = where + key + " is set again, to another value than on line " +
                    std::to_string(at->second.second);
            return false;
        }
    }
    const auto require = given.find("require-signature");
    const auto allow = given.find("allow-user-keyrings");
    if (require != given.end()) policy.m_requireSignature = require->second.first;
    if (allow != given.end())
        policy.m_allowUserKeyrings = allow->second.first;
    else if (require != given.end())
        policy.m_allowUserKeyrings = !require->second.first;
    return true;
}

bool DearmorOpenPgp(const std::string& armored, std::string& binary) {
    static constexpr std::string_view kAlphabet =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    binary.clear();
    enum class Where { Outside, Headers, Body, Checksum } where = Where::Outside;
    std::string body;
    bool any = false;
    for (const std::string& raw : Lines(armored)) {
        const std::string line = Trim(raw);
        if (line.rfind("-----BEGIN PGP ", 0) == 0) {
            if (where != Where::Outside) return false;
            where = Where::Headers;
            body.clear();
        } else if (line.rfind("-----END PGP ", 0) == 0) {
            if (where != Where::Body && where != Where::Checksum) return false;
            where = Where::Outside;
            // Six bits a character; the bits left over after the last whole
            // byte are padding.
            unsigned bits = 0;
            int held = 0;
            for (const char c : body) {
                if (c == '=') break;
                const std::size_t value = kAlphabet.find(c);
                if (value == std::string_view::npos) return false;
                bits = ((bits << 6) | static_cast<unsigned>(value)) & 0xFFFFFF;
                held += 6;
                if (held >= 8) {
                    held -= 8;
                    binary += static_cast<char>((bits >> held) & 0xFF);
                }
            }
            any = true;
        } else if (where == Where::Headers) {
            // "Key: value" lines, ended by a blank line.
            if (line.empty()) where = Where::Body;
        } else if (where == Where::Body) {
            // "=XXXX", the 24-bit CRC, closes the data.
            if (!line.empty() && line[0] == '=')
                where = Where::Checksum;
            else
                body += line;
        }
    }
    return any && where == Where::Outside && !binary.empty();
}

namespace {

// Compares each file's digest with its line in the list, adding the files
// that match to `checked`; the failure, or nothing when every one matches.
std::optional<ReleaseVerification> CompareDigests(const std::map<std::string, std::string>& listed,
                                                  const std::map<std::string, std::string>& digests,
                                                  std::vector<std::string>& checked) {
    const std::string sumsName = kSumsFileName;
    for (const auto& [file, digest] : digests) {
        std::string path;
        if (!NormalizeRelative(file, path)) path = file;
        const auto entry = listed.find(path);
        if (entry == listed.end()) return Failed(path + ": not listed in " + sumsName, checked);
        std::string lower = digest;
        std::transform(lower.begin(), lower.end(), lower.begin(),
                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        if (entry->second != lower)
            return Failed(path + ": SHA-256 differs from " + sumsName, checked);
        checked.push_back(path);
    }
    return std::nullopt;
}

// Checks one listed file the caller did not hash: read once, a regular file
// only (a FIFO or a device in its place is refused without waiting). The
// configuration file is read whole into `config`, as the run's offer must
// come from the bytes verified here. The failure, or nothing when it matches.
std::optional<ReleaseVerification> CheckListedFile(const std::string& dir, const std::string& path,
                                                   const std::string& listed, std::string* config,
                                                   const std::vector<std::string>& checked,
                                                   const std::function<bool()>& stopRequested) {
    const std::string sumsName = kSumsFileName;
    const std::string missing = path + ": listed in " + sumsName + " but missing";
    std::string digest, why;
    if (config) {
        switch (ReadSmallFile(dir + path, kSumsCap, *config, why)) {
            case ReadResult::Missing:
                return Failed(missing, checked);
            case ReadResult::Error:
                return Failed(path + ": " + why, checked);
            case ReadResult::Ok:
                break;
        }
        digest = Sha256Hex(*config);
    } else {
        const int fd = ::open((dir + path).c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
        if (fd < 0)
            return Failed(errno == ENOENT ? missing : path + ": " + std::strerror(errno), checked);
        const std::optional<FileDigest> read = DigestDescriptor(fd, path, &why, stopRequested);
        ::close(fd);
        if (!read) return Failed(why, checked);
        digest = read->sha256;
    }
    if (digest != listed) return Failed(path + ": SHA-256 differs from " + sumsName, checked);
    return std::nullopt;
}

// Checks every listed file that `checked` (the caller's images, compared
// already) does not hold, adding each to it; the configuration file's bytes
// go into `result`. The first failure, or nothing.
std::optional<ReleaseVerification> CheckListedFiles(
    const std::string& dir, const std::map<std::string, std::string>& listed,
    std::vector<std::string>& checked, ReleaseVerification& result,
    const std::function<bool()>& stopRequested) {
    const std::vector<std::string> compared = checked;
    for (const auto& [path, digest] : listed) {
        if (std::find(compared.begin(), compared.end(), path) != compared.end()) continue;
        const bool config = path == kConfigFileName;
        if (std::optional<ReleaseVerification> failed = CheckListedFile(
                dir, path, digest, config ? &result.m_config : nullptr, checked, stopRequested))
            return failed;
        result.m_configListed = result.m_configListed || config;
        checked.push_back(path);
    }
    std::sort(checked.begin(), checked.end());
    return std::nullopt;
}

// Warnings for the files under host/ that the list leaves out: nothing
// checks them, so nothing may pass them off as part of the release. The walk
// is bounded and follows no links; what cannot be read is passed over.
std::vector<std::string> UnlistedImages(const std::string& dir,
                                        const std::map<std::string, std::string>& listed) {
    constexpr int kMaxEntries = 10000;
    namespace fs = std::filesystem;
    std::vector<std::string> warnings;
    std::error_code error;
    fs::recursive_directory_iterator it(dir + kImageFolder,
                                        fs::directory_options::skip_permission_denied, error);
    int seen = 0;
    for (; !error && it != fs::recursive_directory_iterator() && ++seen <= kMaxEntries;
         it.increment(error)) {
        if (it->is_directory(error)) continue;
        const std::string relative = it->path().lexically_relative(dir).generic_string();
        if (listed.find(relative) == listed.end())
            warnings.push_back(relative + ": not listed in " + kSumsFileName);
    }
    std::sort(warnings.begin(), warnings.end());
    return warnings;
}

// Has gpgv check `signature` over the list `sums`: `checksummed` raised to
// signed, or the failure.
ReleaseVerification CheckSignature(const VerifyPolicy& policy, const std::string& sums,
                                   const std::string& signature, ReleaseVerification checksummed,
                                   const std::function<bool()>& stopRequested) {
    const std::string sumsName = kSumsFileName, sigName = kSignatureFileName;
    const std::vector<std::string>& checked = checksummed.m_filesChecked;
    // gpgv checks the very bytes read before, copied where nobody else can
    // write, not whatever the release directory holds by the time it runs.
    const TempDir temp;
    if (!temp.Ok())
        return Failed(sigName + ": cannot make a temporary directory: " + std::strerror(errno),
                      checked);
    std::vector<std::string> keyrings;
    std::string why;
    if (!CollectKeyrings(policy, temp, keyrings, why)) return Failed(sigName + ": " + why, checked);
    if (keyrings.empty()) {
        if (policy.m_requireSignature)
            return Failed(sigName + ": no trusted keys to check it with (none in " +
                              policy.m_trustedKeysDir + " and no --keyring)",
                          checked);
        // A maker's signed release on a machine that trusts no key yet: the
        // list still holds the images to account, and whoever runs it is told
        // that the signature was not checked.
        checksummed.m_signatureNotChecked = true;
        return checksummed;
    }
    const std::string sumsCopy = temp.Write(sumsName, sums);
    const std::string sigCopy = temp.Write(sigName, signature);
    if (sumsCopy.empty() || sigCopy.empty())
        return Failed(sigName + ": cannot copy it for gpgv into " + temp.Path(), checked);
    const SignatureCheck check = RunGpgv(policy, temp, keyrings, sigCopy, sumsCopy, stopRequested);
    if (!check.m_good) return Failed(sigName + ": " + check.m_reason, checked);
    checksummed.m_status = Status::Signed;
    checksummed.m_fingerprint = check.m_fingerprint;
    return checksummed;
}

}  // namespace

namespace {

// The release's list and its signature, each read once before any image is.
struct ListAndSignature {
    // The result, when the list alone settles it (none, or a bad one).
    std::optional<ReleaseVerification> m_settled;
    std::string m_sums;
    std::map<std::string, std::string> m_listed;
    ReadResult m_signatureRead = ReadResult::Missing;
    std::string m_signature;
    std::string m_signatureWhy;
};

ListAndSignature ReadListAndSignature(const std::string& dir, const VerifyPolicy& policy) {
    const std::string sumsName = kSumsFileName, sigName = kSignatureFileName;
    ListAndSignature release;
    std::string why;
    switch (ReadSmallFile(dir + sumsName, kSumsCap, release.m_sums, why)) {
        case ReadResult::Missing: {
            struct stat st {};
            if (policy.m_requireSignature) {
                release.m_settled = Failed(sumsName + ": " + kRequiredText);
            } else if (::lstat((dir + sigName).c_str(), &st) == 0) {
                // A signature without its list: the list was lost or
                // removed, and removing it must not turn a signed release
                // into one that is merely unchecked.
                release.m_settled = Failed(sumsName + ": missing, though " + sigName + " is there");
            } else {
                release.m_settled = ReleaseVerification{};
            }
            return release;
        }
        case ReadResult::Error:
            release.m_settled = Failed(sumsName + ": " + why);
            return release;
        case ReadResult::Ok:
            break;
    }
    if (!ParseSums(release.m_sums, release.m_listed, why)) {
        release.m_settled = Failed(sumsName + ": " + why);
        return release;
    }
    release.m_signatureRead =
        ReadSmallFile(dir + sigName, kSignatureCap, release.m_signature, release.m_signatureWhy);
    return release;
}

// Every listed file against the digests and on disk, then what a signature
// needs; `signatureCheck` gives gpgv's verdict on the list.
ReleaseVerification Conclude(const std::string& dir, const ListAndSignature& release,
                             const std::map<std::string, std::string>& digests,
                             const VerifyPolicy& policy, const std::function<bool()>& stopRequested,
                             const std::function<ReleaseVerification()>& signatureCheck) {
    const std::string sumsName = kSumsFileName, sigName = kSignatureFileName;
    std::vector<std::string> checked;
    if (std::optional<ReleaseVerification> failed =
            CompareDigests(release.m_listed, digests, checked))
        return *failed;
    ReleaseVerification result;
    if (std::optional<ReleaseVerification> failed =
            CheckListedFiles(dir, release.m_listed, checked, result, stopRequested))
        return *failed;
    result.m_status = Status::Checksummed;
    result.m_filesChecked = checked;
    result.m_warnings = UnlistedImages(dir, release.m_listed);
    switch (release.m_signatureRead) {
        case ReadResult::Missing:
            if (policy.m_requireSignature) return Failed(sigName + ": " + kRequiredText, checked);
            return result;
        case ReadResult::Error:
            return Failed(sigName + ": " + release.m_signatureWhy, checked);
        case ReadResult::Ok:
            break;
    }
    // Which images a release offers is part of what its maker signs: an
    // offer read from an unlisted file could be anyone's.
    if (!result.m_configListed)
        return Failed(std::string(kConfigFileName) + ": not listed in " + sumsName +
                          ", which a signed release must do",
                      checked);
    ReleaseVerification verdict = signatureCheck();
    verdict.m_filesChecked = checked;
    if (verdict.m_status == Status::Failed) return verdict;
    verdict.m_warnings = std::move(result.m_warnings);
    verdict.m_configListed = true;
    verdict.m_config = std::move(result.m_config);
    return verdict;
}

}  // namespace

ReleaseVerification VerifyReleaseWhile(const std::string& releaseDir,
                                       const std::function<std::optional<Digests>()>& hashImages,
                                       const VerifyPolicy& policy,
                                       const std::function<bool()>& stopRequested) {
    const std::string dir =
        releaseDir.empty() || releaseDir.back() == '/' ? releaseDir : releaseDir + "/";
    const ListAndSignature release = ReadListAndSignature(dir, policy);

    // gpgv needs only the list and its signature: it runs while the images
    // are hashed, on another core where there is one. It is told to stop,
    // and waited for, on every way out.
    std::atomic<bool> abandon{false};
    const auto checkSignature = [&] {
        ReleaseVerification checksummed;
        checksummed.m_status = Status::Checksummed;
        return CheckSignature(policy, release.m_sums, release.m_signature, std::move(checksummed),
                              [&] { return abandon.load(); });
    };
    std::future<ReleaseVerification> beside;
    if (!release.m_settled && release.m_signatureRead == ReadResult::Ok &&
        release.m_listed.count(kConfigFileName) != 0) {
        try {
            beside = std::async(std::launch::async, checkSignature);
        } catch (const std::system_error&) {
            // No thread to be had: gpgv runs after the images instead.
        }
    }
    struct Abandon {
        std::atomic<bool>& m_flag;
        ~Abandon() { m_flag = true; }
    } abandonOnReturn{abandon};
    const auto awaitSignature = [&] {
        if (!beside.valid()) return checkSignature();
        while (beside.wait_for(std::chrono::milliseconds(50)) != std::future_status::ready)
            if (stopRequested && stopRequested()) abandon = true;
        return beside.get();
    };

    const std::optional<Digests> digests = hashImages();
    if (!digests) return Failed("the images were not checked");
    if (release.m_settled) return *release.m_settled;
    return Conclude(dir, release, *digests, policy, stopRequested, awaitSignature);
}

ReleaseVerification VerifyRelease(const std::string& releaseDir, const Digests& digests,
                                  const VerifyPolicy& policy,
                                  const std::function<bool()>& stopRequested) {
    return VerifyReleaseWhile(
        releaseDir, [&] { return std::optional<Digests>(digests); }, policy, stopRequested);
}

bool ParseSha256Sums(const std::string& content, std::map<std::string, std::string>& sums,
                     std::string& why) {
    return ParseSums(content, sums, why);
}

}  // namespace workflow
