// Release verification's signature: gpgv on copies of the list and its
// signature, with the trusted keys and the caller's keyrings.
#include <sys/wait.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string_view>
#include <system_error>

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include "platform/child_process.h"
#include "platform/root_owned.h"
#include "platform/trim.h"
#include "platform/unique_fd.h"
#include "platform/write_all.h"
#include "workflow/release_verify.h"
#include "workflow/release_verify_parts.h"

namespace workflow {

namespace detail {

namespace {

constexpr std::size_t kStatusCap = std::size_t{64} << 10;

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
        const platform::UniqueFd fd(
            ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
        if (!fd) return {};
        return platform::write_all(fd.get(), content) ? path : std::string();
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
    platform::UniqueFd folderFd(platform::open_root_owned(folder, O_RDONLY | O_DIRECTORY, why,
                                                          &missing, policy.m_keyOwner));
    if (!folderFd) {
        if (!missing) why = "trusted keys: " + why;
        return missing;
    }
    DIR* dir = ::fdopendir(folderFd.get());
    if (dir == nullptr) {
        why = "trusted keys: " + folder + ": " + std::strerror(errno);
        return false;
    }
    folderFd.release();  // the directory stream owns it now
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
        const platform::UniqueFd fd(platform::open_root_owned_at(
            ::dirfd(dir), name, path, O_RDONLY | O_NONBLOCK | O_NOCTTY, why, policy.m_keyOwner));
        std::string content;
        ok = fd && ReadDescriptor(fd.get(), kKeyCap, content, why);
        if (fd && !ok) why = path + ": " + why;
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

// Runs gpgv on the copies in `temp`, bounded in time, with nothing of the
// user's GnuPG set-up consulted (its own empty home, only our keyrings); its
// status lines come on descriptor 3.
SignatureCheck RunGpgv(const VerifyPolicy& policy, const TempDir& temp,
                       const std::vector<std::string>& keyrings, const std::string& signature,
                       const std::string& sums, const std::function<bool()>& stopRequested) {
    platform::ChildOptions options;
    options.argv = {policy.m_gpgvPath, "--homedir", temp.Path(), "--status-fd", "3"};
    for (const std::string& keyring : keyrings)
        options.argv.insert(options.argv.end(), {"--keyring", keyring});
    options.argv.insert(options.argv.end(), {"--", signature, sums});
    options.captured = {3};
    options.null_stdio = true;
    SignatureCheck failed;
    platform::ChildProcess gpgv = platform::ChildProcess::start(options);
    if (!gpgv.running()) {
        const std::string what = gpgv.step() == std::string("pipe") ? "gpgv" : policy.m_gpgvPath;
        failed.m_reason = "cannot run " + what + ": " + std::strerror(gpgv.error());
        return failed;
    }
    const platform::ChildRun run = platform::run_collecting(
        gpgv, kStatusCap, std::chrono::milliseconds(kGpgvTimeoutMs), stopRequested);
    if (run.stopped) {
        failed.m_reason = "the check was stopped on request";
        return failed;
    }
    if (run.timed_out) {
        failed.m_reason =
            "gpgv did not finish within " + std::to_string(kGpgvTimeoutMs / 1000) + " s";
        return failed;
    }
    const int exitCode = WIFEXITED(run.wait_status) ? WEXITSTATUS(run.wait_status) : 128;
    return ReadGpgvStatus(run.output, exitCode);
}

}  // namespace

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
    checksummed.m_status = ReleaseVerification::Status::Signed;
    checksummed.m_fingerprint = check.m_fingerprint;
    return checksummed;
}

}  // namespace detail

bool DearmorOpenPgp(const std::string& armored, std::string& binary) {
    static constexpr std::string_view kAlphabet =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    binary.clear();
    enum class Where { Outside, Headers, Body, Checksum } where = Where::Outside;
    std::string body;
    bool any = false;
    for (const std::string& raw : detail::Lines(armored)) {
        const std::string line(platform::trim(raw));
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

}  // namespace workflow
