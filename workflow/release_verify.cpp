#include "workflow/release_verify.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <future>
#include <optional>
#include <system_error>

#include <sys/stat.h>

#include "platform/regular_file.h"
#include "workflow/release_config.h"
#include "workflow/release_verify_parts.h"
#include "workflow/sha256.h"

namespace workflow {

namespace {

using detail::Failed;
using detail::ReadResult;
using detail::ReadSmallFile;
using Status = ReleaseVerification::Status;

constexpr const char* kRequiredText = "missing, and this machine requires signed releases";

// Compares each file's digest with its line in the list, adding the files
// that match to `checked`; the failure, or nothing when every one matches.
std::optional<ReleaseVerification> CompareDigests(const std::map<std::string, std::string>& listed,
                                                  const std::map<std::string, std::string>& digests,
                                                  std::vector<std::string>& checked) {
    const std::string sumsName = kSumsFileName;
    for (const auto& [file, digest] : digests) {
        std::string path;
        if (!detail::NormalizeRelative(file, path)) path = file;
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
        switch (ReadSmallFile(dir + path, detail::kSumsCap, *config, why)) {
            case ReadResult::Missing:
                return Failed(missing, checked);
            case ReadResult::Error:
                return Failed(path + ": " + why, checked);
            case ReadResult::Ok:
                break;
        }
        digest = Sha256Hex(*config);
    } else {
        const platform::RegularFile file = platform::open_regular(dir + path, platform::no_cap);
        if (file.refusal == platform::FileRefusal::missing) return Failed(missing, checked);
        if (file.refusal == platform::FileRefusal::not_regular)
            return Failed(path + ": not a regular file", checked);
        if (!file) return Failed(path + ": " + std::strerror(file.error), checked);
        const std::optional<FileDigest> read =
            DigestDescriptor(file.fd.get(), path, &why, stopRequested);
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
    switch (ReadSmallFile(dir + sumsName, detail::kSumsCap, release.m_sums, why)) {
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
    if (!ParseSha256Sums(release.m_sums, release.m_listed, why)) {
        release.m_settled = Failed(sumsName + ": " + why);
        return release;
    }
    release.m_signatureRead = ReadSmallFile(dir + sigName, detail::kSignatureCap,
                                            release.m_signature, release.m_signatureWhy);
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
        return detail::CheckSignature(policy, release.m_sums, release.m_signature,
                                      std::move(checksummed), [&] { return abandon.load(); });
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

}  // namespace workflow
