// verify: a release checked on its own, as an upgrade checks it before
// sending anything: every image its configuration file offers is hashed and
// compared with SHA256SUMS, whose signature gpgv checks.
#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>

#include <sys/stat.h>

#include "commands.h"
#include "exit_codes.h"
#include "interrupt.h"
#include "platform/regular_file.h"
#include "workflow/identification.h"
#include "workflow/images.h"
#include "workflow/release_config.h"
#include "workflow/sha256.h"

namespace cli {

namespace {

using workflow::Json;
using workflow::ReleaseVerification;
using workflow::TextOrNull;

// The largest image a run sends: its size goes to the instrument as a
// signed 32-bit count.
constexpr long long max_image_size = INT_MAX;

// Hashes `release` + `relative` as a run would send it: a regular file, not
// too large, opened without waiting. "" on success, else why not.
std::string digest_image(const std::string& release, const std::string& relative,
                         std::map<std::string, std::string>& digests) {
    const platform::RegularFile file = platform::open_regular(release + relative, max_image_size);
    switch (file.refusal) {
        case platform::FileRefusal::none:
            break;
        case platform::FileRefusal::not_regular:
            return relative + ": not a regular file";
        case platform::FileRefusal::too_large:
            return relative + ": larger than " + std::to_string(max_image_size) + " bytes";
        default:
            return relative + ": " + std::strerror(file.error);
    }
    std::string why;
    if (const std::optional<workflow::FileDigest> digest =
            workflow::DigestDescriptor(file.fd.get(), relative, &why, interrupt::requested))
        digests[relative] = digest->sha256;
    return why;
}

// Every image `offered` must be one the list checked; without a list each
// must still be a file a run could send. Failures go into `result`.
void check_offered(const std::string& release, const workflow::ImageChoice& offered,
                   ReleaseVerification& result) {
    const std::vector<std::string>& checked = result.m_filesChecked;
    for (const workflow::ImageInfo& image : workflow::kImages) {
        if (!(offered.*image.m_flag)) continue;
        const std::string relative =
            *image.m_file ? std::string(image.m_file)
                          : std::string(workflow::kImageFolder) + workflow::kHostImageFile;
        std::string why;
        if (result.m_status != ReleaseVerification::Status::NotChecksummed) {
            if (std::find(checked.begin(), checked.end(), relative) == checked.end())
                why = relative + ": not listed in " + workflow::kSumsFileName;
        } else {
            std::map<std::string, std::string> digests;
            why = digest_image(release, relative, digests);
        }
        if (!why.empty()) {
            result.m_status = ReleaseVerification::Status::Failed;
            result.m_message = why;
            result.m_fingerprint.clear();
            return;
        }
    }
}

std::string human_line(const std::string& release, const ReleaseVerification& result) {
    const std::string files = std::to_string(result.m_filesChecked.size()) + " file" +
                              (result.m_filesChecked.size() == 1 ? "" : "s") + " match " +
                              workflow::kSumsFileName;
    switch (result.m_status) {
        case ReleaseVerification::Status::Signed:
            return "Release " + release + ": signed by key " + result.m_fingerprint + "; " + files;
        case ReleaseVerification::Status::Checksummed:
            if (result.m_signatureNotChecked)
                return "Release " + release + ": checksummed; " + files + "; " +
                       workflow::kSignatureNotCheckedNote;
            return "Release " + release + ": checksummed, not signed; " + files;
        case ReleaseVerification::Status::NotChecksummed:
            return "Release " + release + ": not checksummed (no " + workflow::kSumsFileName +
                   "); its files cannot be checked";
        case ReleaseVerification::Status::Failed:
            break;
    }
    return "Release " + release + ": verification FAILED: " + result.m_message;
}

}  // namespace

Json verification_note(const ReleaseVerification& result) {
    return result.m_signatureNotChecked ? Json(workflow::kSignatureNotCheckedNote) : Json();
}

bool load_run_policy(const CommandLine& settings, workflow::VerifyPolicy& policy,
                     std::string& error) {
    policy = workflow::VerifyPolicy{};
    if (!workflow::LoadVerifyPolicy(policy, error)) return false;
    policy.m_requireSignature = policy.m_requireSignature || settings.require_signature;
    policy.m_keyrings = settings.keyrings;
    return true;
}

int run_verify(const CommandLine& settings, Output& out) {
    const std::string release = release_directory(settings.release);
    const auto finish = [&](int code, const std::string& message) {
        out.event("finished", Json{{"command", "verify"},
                                   {"release", release},
                                   {"result", result_word(code)},
                                   {"exit_code", code},
                                   {"message", TextOrNull(message)}});
        return code;
    };

    workflow::VerifyPolicy policy;
    std::string error;
    if (!load_run_policy(settings, policy, error)) {
        out.diagnostic("fwupgrade: " + error);
        return finish(exit_error, error);
    }
    // The release whole first: every file SHA256SUMS lists, the
    // configuration file among them, then the signature.
    ReleaseVerification result = workflow::VerifyRelease(release, {}, policy, interrupt::requested);
    if (interrupt::requested()) return finish(exit_interrupted, "stopped while verifying");
    // The images offered, from the configuration file's verified bytes
    // where the list holds it.
    workflow::ImageChoice offered;
    if (result.m_configListed) {
        workflow::ParseReleaseConfig(result.m_config, offered);
    } else if (result.m_status != ReleaseVerification::Status::Failed &&
               !workflow::ReadReleaseConfig(release + workflow::kConfigFileName, offered)) {
        const std::string message =
            "release directory " + release + ": cannot read " + workflow::kConfigFileName;
        out.diagnostic("fwupgrade: " + message);
        return finish(exit_error, message);
    }
    if (result.m_status != ReleaseVerification::Status::Failed)
        check_offered(release, offered, result);
    if (interrupt::requested()) return finish(exit_interrupted, "stopped while verifying");
    for (const std::string& warning : result.m_warnings)
        out.diagnostic("fwupgrade: warning: " + warning);

    Json files = Json::array();
    for (const std::string& file : result.m_filesChecked)
        files.push_back(file);
    out.event("verification",
              Json{{"release", release},
                   {"result", result.ResultWord()},
                   {"fingerprint", TextOrNull(result.m_fingerprint)},
                   {"files", files},
                   {"warnings", result.m_warnings},
                   {"message", TextOrNull(result.m_message)},
                   {"note", verification_note(result)}},
              human_line(release, result));
    // The failure is in the event (and its human line) already.
    if (result.m_status == ReleaseVerification::Status::Failed)
        return finish(exit_verify_failed, result.m_message);
    return finish(exit_ok, {});
}

}  // namespace cli
