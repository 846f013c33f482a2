// Release integrity: whether the images a run is about to send are the ones
// the release's SHA256SUMS lists, and whether that list carries a detached
// OpenPGP signature by a key this machine trusts (checked by running gpgv).
#pragma once

#include <functional>
#include <map>
#include <optional>
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
    // Whether m_keyrings may count at all: policy.conf's allow-user-keyrings,
    // which defaults to no where policy.conf requires signatures. An
    // operator's keyring must not widen what the administrator trusts.
    bool m_allowUserKeyrings = true;
    std::string m_trustedKeysDir = kTrustedKeysDir;  // tests point it elsewhere
    std::string m_gpgvPath = kGpgvPath;              // tests point it elsewhere
    // The policy file and the trusted keys must be root's and writable by
    // root alone (with every folder above them); tests that do not run as
    // root name themselves here as a second owner.
    unsigned m_keyOwner = 0;
};

// Reads the administrator's policy file: lines "setting = value", blank lines
// and '#' comments, where the settings are
//   require-signature = yes|no
//   allow-user-keyrings = yes|no  (whether --keyring counts; the default is
//                                  no where require-signature = yes)
// A missing file is the default policy. False, with the reason in `error`
// ("policy <path>: line 3: ..."), for a file that cannot be read, is no
// regular file, is larger than 64 KiB, is not root's or is writable by
// anyone else (it or a folder above it), or holds a line or setting it does
// not know or a setting twice with different values (a misspelt or doubled
// setting must not quietly weaken the policy). Settings the file does not
// name keep their value in `policy`.
bool LoadVerifyPolicy(VerifyPolicy& policy, std::string& error,
                      const std::string& path = kPolicyPath);

// Said, once, of a signed release on a machine that neither holds a trusted
// key nor requires a signature: its checksums were checked, its signature not.
inline constexpr const char* kSignatureNotCheckedNote =
    "signature not checked: no trusted keys installed";

struct ReleaseVerification {
    enum class Status { NotChecksummed, Checksummed, Signed, Failed };
    Status m_status = Status::NotChecksummed;
    // Failed: names the file and what failed, one sentence for people.
    std::string m_message;
    // Signed: the signing key's fingerprint (40 hex digits, as VALIDSIG gives it).
    std::string m_fingerprint;
    std::vector<std::string> m_filesChecked;  // relative paths checked against SHA256SUMS
    // Sentences to warn of that do not fail the release: files under host/
    // that SHA256SUMS does not list ("host/x.bin: not listed in SHA256SUMS").
    std::vector<std::string> m_warnings;
    // Whether SHA256SUMS lists Firmware_Upgrade.txt, and then its bytes as
    // read once and verified: the images a run may send are the ones these
    // offer, never those of a second read of the file.
    bool m_configListed = false;
    std::string m_config;
    // "not checksummed", "checksummed", "signed", "failed".
    const char* ResultWord() const;

    // Checksummed, with a SHA256SUMS.sig nothing could check (see
    // kSignatureNotCheckedNote).
    bool m_signatureNotChecked = false;
};

// Checks a release before anything is sent. `digests` maps each image the
// run will send, by its path relative to the release directory
// ("host/vxWorks_rom.bin"), to its lower-case hex SHA-256, hashed by the
// caller from the bytes it will send.
// - SHA256SUMS present ("<64 hex>  <path>" or "<64 hex> *<path>" lines, as
//   sha256sum writes them; paths relative, without ".."): every digest must
//   be listed and equal, and every other file it lists must exist and match
//   too (read here, once each), whether a run sends it or not: a release is
//   checked whole. Files under host/ that it does not list are warned of.
// - SHA256SUMS.sig present (binary or armored): SHA256SUMS must list
//   Firmware_Upgrade.txt, and it must be a good signature of SHA256SUMS by a
//   trusted key, checked by gpgv within kGpgvTimeoutMs; gpgv is killed when
//   that passes or when `stopRequested` turns true.
//   The trusted keys are those of the trusted folder (root's, see
//   VerifyPolicy), and the keyrings given where the policy allows them; with
//   none at all and no requirement the release stays Checksummed, with
//   m_signatureNotChecked set.
// - A required signature that is missing or not good fails the release.
// - Without SHA256SUMS (and without SHA256SUMS.sig, whose list must not
//   simply be deleted) and without a requirement the release is
//   NotChecksummed, and used as it always was.
// The files are read once each, size-capped where they are small, and what
// was read is what gpgv checks, so a file swapped in between cannot slip
// through.
using Digests = std::map<std::string, std::string>;
ReleaseVerification VerifyRelease(const std::string& releaseDir, const Digests& digests,
                                  const VerifyPolicy& policy,
                                  const std::function<bool()>& stopRequested = {});

// The same checks, with the images hashed by `hashImages` on the calling
// thread while gpgv checks the signature beside it: the run then waits for
// whichever takes longer, not for both one after the other. `hashImages`
// gives the digests, or nothing when the images could not be checked (the
// result is then Failed, and the caller says why). `stopRequested` is asked
// on the calling thread only.
ReleaseVerification VerifyReleaseWhile(const std::string& releaseDir,
                                       const std::function<std::optional<Digests>()>& hashImages,
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
