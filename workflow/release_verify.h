// Release integrity: whether the images a run is about to send are the ones
// the release's SHA256SUMS lists, and whether that list carries a detached
// OpenPGP signature by a key this machine trusts (checked by running gpgv).
#pragma once

#include <functional>
#include <map>
#include <string>
#include <vector>

namespace workflow {

// The administrator's settings for every run on this machine.
inline constexpr const char* kPolicyPath = "/etc/firmware-update/policy.conf";
// Keys whose signatures make a release "signed": *.gpg binary keyrings, and
// *.asc armored keys (which gpgv itself does not read; they are decoded here).
inline constexpr const char* kTrustedKeysDir = "/etc/firmware-update/trusted.gpg.d";
// Run by its full path, never looked up in PATH.
inline constexpr const char* kGpgvPath = "/usr/bin/gpgv";
// In the release directory, beside Firmware_Upgrade.txt.
inline constexpr const char* kSumsFileName = "SHA256SUMS";
inline constexpr const char* kSignatureFileName = "SHA256SUMS.sig";
// How long gpgv may take before it is killed and the release counts as failed.
inline constexpr int kGpgvTimeoutMs = 30000;

struct VerifyPolicy {
    bool m_requireSignature = false;      // policy.conf or --require-signature
    std::vector<std::string> m_keyrings;  // --keyring FILE, besides m_trustedKeysDir's keys
    std::string m_trustedKeysDir = kTrustedKeysDir;  // tests point it elsewhere
    std::string m_gpgvPath = kGpgvPath;              // tests point it elsewhere
};

// Reads the administrator's policy file: lines "require-signature = yes|no",
// blank lines and '#' comments. A missing file is the default policy. False,
// with the reason in `error` ("policy <path>: line 3: ..."), for a file that
// cannot be read, is no regular file, is larger than 64 KiB, or holds a line
// or setting it does not know (a misspelt setting must not quietly weaken
// the policy). Settings the file does not name keep their value in `policy`.
bool LoadVerifyPolicy(VerifyPolicy& policy, std::string& error,
                      const std::string& path = kPolicyPath);

struct ReleaseVerification {
    enum class Status { NotChecksummed, Checksummed, Signed, Failed };
    Status m_status = Status::NotChecksummed;
    // Failed: names the file and what failed, one sentence for people.
    std::string m_message;
    // Signed: the signing key's fingerprint (40 hex digits, as VALIDSIG gives it).
    std::string m_fingerprint;
    std::vector<std::string> m_filesChecked;  // relative paths checked against SHA256SUMS
    // "not checksummed", "checksummed", "signed", "failed".
    const char* ResultWord() const;
};

// Checks a release before anything is sent. `digests` maps each image the
// run will send, by its path relative to the release directory
// ("host/vxWorks_rom.bin"), to its lower-case hex SHA-256, hashed by the
// caller from the descriptor it will send from.
// - SHA256SUMS present ("<64 hex>  <path>" or "<64 hex> *<path>" lines, as
//   sha256sum writes them; paths relative, without ".."): every digest must
//   be listed and equal.
// - SHA256SUMS.sig present (binary or armored): it must be a good signature
//   of SHA256SUMS by a trusted key, checked by gpgv within kGpgvTimeoutMs;
//   gpgv is killed when that passes or when `stopRequested` turns true.
// - A required signature that is missing or not good fails the release.
// - Without SHA256SUMS (and without SHA256SUMS.sig, whose list must not
//   simply be deleted) and without a requirement the release is
//   NotChecksummed, and used as it always was.
// The files are read once each, size-capped, and what was read is what gpgv
// checks, so a file swapped in between cannot slip through.
ReleaseVerification VerifyRelease(const std::string& releaseDir,
                                  const std::map<std::string, std::string>& digests,
                                  const VerifyPolicy& policy,
                                  const std::function<bool()>& stopRequested = {});

// Decodes ASCII-armored OpenPGP data (one or more "-----BEGIN PGP ...-----"
// blocks) into the binary packets; false when there is no well-formed block.
bool DearmorOpenPgp(const std::string& armored, std::string& binary);

// Reads SHA256SUMS text into relative path -> lower-case digest, as
// VerifyRelease does; false with the line and the reason in `why`.
bool ParseSha256Sums(const std::string& content, std::map<std::string, std::string>& sums,
                     std::string& why);

}  // namespace workflow
