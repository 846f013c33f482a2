// Release verification: SHA256SUMS against the digests a run would send, the
// detached signature through the real gpgv with throwaway keys, the policy
// file, and the inputs that must never hang a run (FIFOs, devices, a gpgv
// that does not return).
#include "workflow/release_verify.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>

#include "test_signer.h"
#include "workflow/sha256.h"

namespace {

namespace fs = std::filesystem;
using namespace workflow;
using Status = ReleaseVerification::Status;
using Clock = std::chrono::steady_clock;

void WriteFile(const fs::path& path, const std::string& content) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << content;
}

const std::string kConfig = "HREC\nHBRM\n";

class ReleaseVerifyTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_dir = fs::temp_directory_path() / ("fw-release-" + std::to_string(::getpid()));
        fs::remove_all(m_dir);
        WriteFile(m_dir / "host/RecoveryApp.bin", "recovery image");
        WriteFile(m_dir / "host/bootrom.bin", "boot rom image");
        m_digests = {{"host/RecoveryApp.bin", Sha256Hex("recovery image")},
                     {"host/bootrom.bin", Sha256Hex("boot rom image")}};
        WriteFile(m_dir / "Firmware_Upgrade.txt", kConfig);
        m_sums = Sha256Hex("recovery image") + "  host/RecoveryApp.bin\n" +
                 Sha256Hex("boot rom image") + " *./host/bootrom.bin\n" + Sha256Hex(kConfig) +
                 "  Firmware_Upgrade.txt\n";
        m_policy.m_trustedKeysDir = (m_dir / "trusted").string();
        m_policy.m_keyOwner = ::geteuid();
    }
    void TearDown() override { fs::remove_all(m_dir); }

    ReleaseVerification Verify(const std::function<bool()>& stop = {}) const {
        return VerifyRelease(m_dir.string(), m_digests, m_policy, stop);
    }
    std::string Path(const std::string& name) const { return (m_dir / name).string(); }

    fs::path m_dir;
    std::map<std::string, std::string> m_digests;
    std::string m_sums;
    VerifyPolicy m_policy;
};

TEST_F(ReleaseVerifyTest, ChecksumsNameTheFileThatDoesNotMatch) {
    // No SHA256SUMS: used as before, unless a signature is required.
    EXPECT_EQ(Verify().m_status, Status::NotChecksummed);
    m_policy.m_requireSignature = true;
    EXPECT_EQ(Verify().m_message, "SHA256SUMS: missing, and this machine requires signed releases");
    m_policy.m_requireSignature = false;
    WriteFile(m_dir / "SHA256SUMS.sig", "a signature of a list that was deleted");
    EXPECT_EQ(Verify().m_message, "SHA256SUMS: missing, though SHA256SUMS.sig is there");
    fs::remove(m_dir / "SHA256SUMS.sig");
    m_policy.m_requireSignature = true;

    WriteFile(m_dir / "SHA256SUMS", m_sums);
    EXPECT_EQ(Verify().m_message,
              "SHA256SUMS.sig: missing, and this machine requires signed releases");
    m_policy.m_requireSignature = false;
    const ReleaseVerification good = Verify();
    EXPECT_EQ(good.m_status, Status::Checksummed);
    EXPECT_STREQ(good.ResultWord(), "checksummed");
    EXPECT_EQ(good.m_filesChecked,
              (std::vector<std::string>{"Firmware_Upgrade.txt", "host/RecoveryApp.bin",
                                        "host/bootrom.bin"}));

    m_digests["host/bootrom.bin"] = Sha256Hex("boot rom image, altered");
    EXPECT_EQ(Verify().m_message, "host/bootrom.bin: SHA-256 differs from SHA256SUMS");
    m_digests.erase("host/bootrom.bin");
    m_digests["host/ubl-nor-ais.bin"] = Sha256Hex("ubl");
    const ReleaseVerification unlisted = Verify();
    EXPECT_EQ(unlisted.m_status, Status::Failed);
    EXPECT_EQ(unlisted.m_message, "host/ubl-nor-ais.bin: not listed in SHA256SUMS");
}

TEST_F(ReleaseVerifyTest, EveryListedFileCountsWhetherTheRunSendsItOrNot) {
    WriteFile(m_dir / "SHA256SUMS", m_sums);
    m_digests.erase("host/bootrom.bin");
    WriteFile(m_dir / "host/notes.bin", "not listed");
    ReleaseVerification result = Verify();
    EXPECT_EQ(result.m_status, Status::Checksummed) << result.m_message;
    EXPECT_TRUE(result.m_configListed);
    EXPECT_EQ(result.m_config, kConfig);
    EXPECT_EQ(result.m_warnings,
              (std::vector<std::string>{"host/notes.bin: not listed in SHA256SUMS"}));

    // An image this run leaves out, altered or gone; the offer edited.
    WriteFile(m_dir / "host/bootrom.bin", "boot rom image, altered");
    EXPECT_EQ(Verify().m_message, "host/bootrom.bin: SHA-256 differs from SHA256SUMS");
    fs::remove(m_dir / "host/bootrom.bin");
    EXPECT_EQ(Verify().m_message, "host/bootrom.bin: listed in SHA256SUMS but missing");
    WriteFile(m_dir / "host/bootrom.bin", "boot rom image");
    WriteFile(m_dir / "Firmware_Upgrade.txt", kConfig + "HUBL\n");
    result = Verify();
    EXPECT_EQ(result.m_message, "Firmware_Upgrade.txt: SHA-256 differs from SHA256SUMS");
    EXPECT_FALSE(result.m_configListed);
}

TEST_F(ReleaseVerifyTest, RefusesListsThatLeaveTheReleaseOrAreNoPlainFile) {
    const std::string digest = Sha256Hex("recovery image");
    for (const std::string& line :
         {digest + "  /etc/passwd", digest + "  host/../../x.bin", digest + " host/RecoveryApp.bin",
          digest.substr(1) + "  host/RecoveryApp.bin",
          digest + "  host/RecoveryApp.bin\n" + Sha256Hex("other") + "  host/RecoveryApp.bin"}) {
        WriteFile(m_dir / "SHA256SUMS", line + "\n");
        const ReleaseVerification result = Verify();
        EXPECT_EQ(result.m_status, Status::Failed) << line;
        EXPECT_EQ(result.m_message.rfind("SHA256SUMS: line ", 0), 0u) << result.m_message;
    }

    // A device or a FIFO in its place is refused at once, not read forever
    // or waited on.
    const std::string fifo = Path("fifo");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    for (const std::string& target : {std::string("/dev/zero"), fifo}) {
        fs::remove(m_dir / "SHA256SUMS");
        fs::create_symlink(target, m_dir / "SHA256SUMS");
        const Clock::time_point start = Clock::now();
        EXPECT_EQ(Verify().m_message, "SHA256SUMS: not a regular file") << target;
        std::string error;
        EXPECT_FALSE(DigestFile(target, &error));
        EXPECT_EQ(error, target + ": not a regular file");
        EXPECT_LT(Clock::now() - start, std::chrono::seconds(1)) << target;
    }
}

TEST_F(ReleaseVerifyTest, DigestDescriptorStopsOnRequestAndWhenTheFileGrows) {
    const std::string path = Path("big.bin");
    WriteFile(path, std::string(3 << 20, 'x'));
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    std::string error;
    const std::optional<FileDigest> whole = DigestDescriptor(fd, "big.bin", &error);
    ASSERT_TRUE(whole) << error;
    EXPECT_EQ(whole->size, 3 << 20);
    EXPECT_EQ(whole->sha256, Sha256Hex(std::string(3 << 20, 'x')));

    // Asked between reads: the first request ends it.
    ::lseek(fd, 0, SEEK_SET);
    int asked = 0;
    EXPECT_FALSE(DigestDescriptor(fd, "big.bin", &error, [&] { return ++asked == 2; }));
    EXPECT_EQ(error, "big.bin: stopped on request");

    // Bytes appended while it reads: what was hashed is no longer the file.
    ::lseek(fd, 0, SEEK_SET);
    EXPECT_FALSE(DigestDescriptor(fd, "big.bin", &error, [&] {
        std::ofstream(path, std::ios::binary | std::ios::app) << std::string(2 << 20, 'y');
        return false;
    }));
    EXPECT_EQ(error, "big.bin: the file grew while it was being read");
    ::close(fd);
}

TEST_F(ReleaseVerifyTest, AStuckGpgvIsKilledWhenAStopIsRequested) {
    WriteFile(m_dir / "SHA256SUMS", m_sums);
    WriteFile(m_dir / "SHA256SUMS.sig", "not really a signature");
    WriteFile(m_dir / "trusted/lab.gpg", "not really a key");
    const fs::path fake = m_dir / "gpgv";
    WriteFile(fake, "#!/bin/sh\necho $$ > '" + Path("gpgv.pid") + "'\nexec sleep 30\n");
    fs::permissions(fake, fs::perms::owner_all);
    m_policy.m_gpgvPath = fake.string();

    const Clock::time_point start = Clock::now();
    const ReleaseVerification result =
        Verify([&] { return Clock::now() - start > std::chrono::milliseconds(300); });
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(2));
    EXPECT_EQ(result.m_message, "SHA256SUMS.sig: the check was stopped on request");
    // Killed and reaped: the pid names no process any more.
    pid_t pid = 0;
    std::ifstream(Path("gpgv.pid")) >> pid;
    ASSERT_GT(pid, 0);
    EXPECT_NE(::kill(pid, 0), 0);
}

class SignedReleaseTest : public ReleaseVerifyTest {
protected:
    static void SetUpTestSuite() {
        s_trusted = std::make_unique<TestSigner>("lab");
        s_stranger = std::make_unique<TestSigner>("stranger");
    }
    static void TearDownTestSuite() {
        s_trusted.reset();
        s_stranger.reset();
    }
    void SetUp() override {
        if (!s_trusted->ready() || !s_stranger->ready()) GTEST_SKIP() << "needs gpg (gnupg)";
        ReleaseVerifyTest::SetUp();
        WriteFile(m_dir / "SHA256SUMS", m_sums);
        fs::create_directories(m_policy.m_trustedKeysDir);
    }

    static inline std::unique_ptr<TestSigner> s_trusted, s_stranger;
};

TEST_F(SignedReleaseTest, AGoodSignatureGivesTheKeysFingerprintInEitherForm) {
    const std::string sums = Path("SHA256SUMS"), sig = Path("SHA256SUMS.sig");
    ASSERT_TRUE(s_trusted->export_key(Path("trusted/lab.gpg"), false));
    ASSERT_TRUE(s_trusted->sign(sums, sig, false));
    m_policy.m_requireSignature = true;
    ReleaseVerification result = Verify();
    EXPECT_EQ(result.m_status, Status::Signed) << result.m_message;
    EXPECT_EQ(result.m_fingerprint, s_trusted->fingerprint());
    EXPECT_EQ(result.m_filesChecked.size(), 3u);

    // Armored signature, armored key (which gpgv alone would not read), given
    // as a keyring of the run rather than installed.
    fs::remove(m_dir / "trusted/lab.gpg");
    ASSERT_TRUE(s_trusted->export_key(Path("lab.asc"), true));
    ASSERT_TRUE(s_trusted->sign(sums, sig, true));
    m_policy.m_keyrings = {Path("lab.asc")};
    result = Verify();
    EXPECT_EQ(result.m_status, Status::Signed) << result.m_message;
    EXPECT_EQ(result.m_fingerprint, s_trusted->fingerprint());
}

TEST_F(SignedReleaseTest, ASignedListMustNameTheConfigurationFile) {
    // Signed, but the offer is not among what was signed.
    const std::string sums = Path("SHA256SUMS"), sig = Path("SHA256SUMS.sig");
    WriteFile(sums, m_sums.substr(0, m_sums.find(Sha256Hex(kConfig))));
    ASSERT_TRUE(s_trusted->export_key(Path("trusted/lab.gpg"), false));
    ASSERT_TRUE(s_trusted->sign(sums, sig, false));
    EXPECT_EQ(Verify().m_message,
              "Firmware_Upgrade.txt: not listed in SHA256SUMS, which a signed release must do");
}

TEST_F(SignedReleaseTest, BadOrUntrustedSignaturesFailNamingTheSignature) {
    const std::string sums = Path("SHA256SUMS"), sig = Path("SHA256SUMS.sig");
    ASSERT_TRUE(s_trusted->export_key(Path("trusted/lab.gpg"), false));

    // Signed, then another file and its entry added: the files still match
    // the list.
    ASSERT_TRUE(s_trusted->sign(sums, sig, false));
    WriteFile(m_dir / "host/extra.bin", "x");
    WriteFile(m_dir / "SHA256SUMS", m_sums + Sha256Hex("x") + "  host/extra.bin\n");
    ReleaseVerification result = Verify();
    EXPECT_EQ(result.m_status, Status::Failed);
    EXPECT_EQ(result.m_message.rfind("SHA256SUMS.sig: bad signature", 0), 0u) << result.m_message;
    EXPECT_TRUE(result.m_fingerprint.empty());

    WriteFile(m_dir / "SHA256SUMS", m_sums);
    ASSERT_TRUE(s_stranger->sign(sums, sig, false));
    result = Verify();
    EXPECT_EQ(result.m_status, Status::Failed);
    EXPECT_NE(result.m_message.find("which is not among the trusted keys"), std::string::npos)
        << result.m_message;
    EXPECT_NE(result.m_message.find(s_stranger->fingerprint().substr(24)), std::string::npos);

    // No key at all: gpgv is not asked (it would fall back to the user's own
    // keyring). Nothing required: the list is still checked, and the
    // signature said to be unchecked; required: refused.
    fs::remove(m_dir / "trusted/lab.gpg");
    result = Verify();
    EXPECT_EQ(result.m_status, Status::Checksummed) << result.m_message;
    EXPECT_TRUE(result.m_signatureNotChecked);
    EXPECT_EQ(result.m_filesChecked.size(), 3u);
    m_digests["host/bootrom.bin"] = Sha256Hex("boot rom image, altered");
    EXPECT_EQ(Verify().m_message, "host/bootrom.bin: SHA-256 differs from SHA256SUMS");
    m_digests["host/bootrom.bin"] = Sha256Hex("boot rom image");
    m_policy.m_requireSignature = true;
    EXPECT_EQ(Verify().m_message.rfind("SHA256SUMS.sig: no trusted keys", 0), 0u);
    m_policy.m_keyrings = {Path("missing.gpg")};
    EXPECT_EQ(Verify().m_message, "SHA256SUMS.sig: keyring " + Path("missing.gpg") + ": missing");
}

// Where policy.conf requires signatures, an operator's keyring counts only
// where policy.conf allows it (refused otherwise: see the whole run in
// upgrade_test.cpp); the trusted keys count only while nobody but root can
// change them.
TEST_F(SignedReleaseTest, TheAdministratorsPolicyHolds) {
    const std::string sums = Path("SHA256SUMS"), sig = Path("SHA256SUMS.sig");
    ASSERT_TRUE(s_trusted->export_key(Path("trusted/lab.gpg"), false));
    ASSERT_TRUE(s_stranger->export_key(Path("mine.gpg"), false));
    ASSERT_TRUE(s_stranger->sign(sums, sig, false));
    WriteFile(Path("policy.conf"), "require-signature = yes\nallow-user-keyrings = yes\n");
    std::string error;
    ASSERT_TRUE(LoadVerifyPolicy(m_policy, error, Path("policy.conf"))) << error;
    m_policy.m_keyrings = {Path("mine.gpg")};
    EXPECT_EQ(Verify().m_fingerprint, s_stranger->fingerprint());

    // Signed by the trusted key, in a folder or a file someone else could
    // have changed: refused, naming it and the rule.
    ASSERT_TRUE(s_trusted->sign(sums, sig, false));
    m_policy.m_keyrings.clear();
    ::chmod(m_policy.m_trustedKeysDir.c_str(), 0775);
    EXPECT_EQ(Verify().m_message, "SHA256SUMS.sig: trusted keys: folder " +
                                      m_policy.m_trustedKeysDir +
                                      " is writable by group or others");
    ::chmod(m_policy.m_trustedKeysDir.c_str(), 0755);
    EXPECT_EQ(Verify().m_status, Status::Signed);
    if (::geteuid() != 0) return;
    ASSERT_EQ(::chown(Path("trusted/lab.gpg").c_str(), 65534, 65534), 0);
    EXPECT_EQ(Verify().m_message,
              "SHA256SUMS.sig: trusted keys: " + Path("trusted/lab.gpg") + " is not owned by root");
}

TEST(VerifyPolicyTest, ReadsTheAdministratorsSettingAndRefusesWhatItDoesNotKnow) {
    const fs::path file = fs::temp_directory_path() / ("fw-policy-" + std::to_string(::getpid()));
    VerifyPolicy policy;
    std::string error;
    const auto load = [&] {
        policy = {};
        policy.m_keyOwner = ::geteuid();
        error.clear();
        return LoadVerifyPolicy(policy, error, file.string());
    };
    fs::remove(file);
    EXPECT_TRUE(load());
    EXPECT_FALSE(policy.m_requireSignature);
    EXPECT_TRUE(policy.m_allowUserKeyrings);

    // Content, then the error, or the settings read: require, allow.
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"# lab policy\n\n  require-signature = yes  # since 2.1\n", "yes no"},
        {"require-signature=no\n", "no yes"},
        {"require-signature = yes\nallow-user-keyrings = yes\nrequire-signature = yes\n",
         "yes yes"},
        {"require-signatures = yes\n", "line 1: unknown setting 'require-signatures'"},
        {"\nrequire-signature = maybe\n", "line 2: require-signature is yes or no, not 'maybe'"},
        {"require-signature\n", "line 1: not \"setting = value\""},
        {"require-signature = yes\n# later\nrequire-signature = no\n",
         "line 3: require-signature is set again, to another value than on line 1"},
    };
    for (const auto& [content, expected] : cases) {
        WriteFile(file, content);
        const bool read = load();
        EXPECT_EQ(read, expected.size() < 8) << content;
        if (read)
            EXPECT_EQ(std::string(policy.m_requireSignature ? "yes " : "no ") +
                          (policy.m_allowUserKeyrings ? "yes" : "no"),
                      expected);
        else
            EXPECT_EQ(error, "policy " + file.string() + ": " + expected);
    }
    // A file others could have written counts for nothing, not even as missing.
    ::chmod(file.c_str(), 0664);
    EXPECT_FALSE(load());
    EXPECT_EQ(error,
              "policy " + file.string() + ": " + file.string() + " is writable by group or others");
    fs::remove(file);
    fs::create_directory(file);
    EXPECT_FALSE(load());
    EXPECT_EQ(error, "policy " + file.string() + ": not a regular file");
    fs::remove(file);
}

}  // namespace
