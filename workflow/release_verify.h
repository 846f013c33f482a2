// STUB (replaced by the verify branch at merge)
#pragma once
#include <functional>
#include <map>
#include <string>
#include <vector>
namespace workflow {
inline constexpr const char* kPolicyPath = "/etc/firmware-update/policy.conf";
inline constexpr const char* kTrustedKeysDir = "/etc/firmware-update/trusted.gpg.d";
struct VerifyPolicy {
    bool m_requireSignature = false;
    std::vector<std::string> m_keyrings;
    std::string m_trustedKeysDir = kTrustedKeysDir;
};
bool LoadVerifyPolicy(VerifyPolicy& policy, std::string& error,
                      const std::string& path = kPolicyPath);
struct ReleaseVerification {
    enum class Status { NotChecksummed, Checksummed, Signed, Failed };
    Status m_status = Status::NotChecksummed;
    std::string m_message;
    std::string m_fingerprint;
    std::vector<std::string> m_filesChecked;
    const char* ResultWord() const;
};
ReleaseVerification VerifyRelease(const std::string& releaseDir,
                                  const std::map<std::string, std::string>& digests,
                                  const VerifyPolicy& policy,
                                  const std::function<bool()>& stopRequested = {});
}  // namespace workflow
