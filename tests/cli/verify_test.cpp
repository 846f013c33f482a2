// fwupgrade verify as a script runs it: exit status 0 or 10 and the
// verification event, for releases checksummed, altered, signed and unsigned.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "test_signer.h"
#include "workflow/json_fields.h"
#include "workflow/release_verify.h"
#include "workflow/sha256.h"

namespace {

namespace fs = std::filesystem;
using workflow::Json;
using workflow::TextOf;

struct VerifyRun {
    int code = -1;
    Json verification;  // the event, null when there was none
    Json finished;
};

VerifyRun Verify(const std::string& arguments) {
    VerifyRun run;
    const std::string command = std::string(FWUPGRADE_PATH) + " verify --json " + arguments;
    FILE* pipe = ::popen(command.c_str(), "r");
    if (!pipe) return run;
    char line[8192];
    while (std::fgets(line, sizeof line, pipe)) {
        const std::optional<Json> event = workflow::ParseJsonObject(line);
        if (!event) continue;
        if (TextOf(*event, "event") == "verification") run.verification = *event;
        if (TextOf(*event, "event") == "finished") run.finished = *event;
    }
    const int status = ::pclose(pipe);
    run.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

class VerifyCommandTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_dir = fs::temp_directory_path() / ("fw-verify-cli-" + std::to_string(::getpid()));
        fs::remove_all(m_dir);
        fs::create_directories(m_dir / "host");
        Write("Firmware_Upgrade.txt", "HPAP\nHUBL\n");
        Write("host/vxWorks_rom.bin", "host application");
        Write("host/ubl-nor-ais.bin", "ubl");
        Write("SHA256SUMS", workflow::Sha256Hex("HPAP\nHUBL\n") + "  Firmware_Upgrade.txt\n" +
                                workflow::Sha256Hex("host application") +
                                "  host/vxWorks_rom.bin\n" + workflow::Sha256Hex("ubl") +
                                "  host/ubl-nor-ais.bin\n");
    }
    void TearDown() override { fs::remove_all(m_dir); }
    void Write(const std::string& name, const std::string& content) {
        std::ofstream(m_dir / name, std::ios::binary) << content;
    }
    std::string Release() const { return "--release '" + m_dir.string() + "'"; }

    fs::path m_dir;
};

TEST_F(VerifyCommandTest, ChecksummedPassesAndAnAlteredImageFailsWithTen) {
    VerifyRun run = Verify(Release());
    EXPECT_EQ(run.code, 0);
    EXPECT_EQ(TextOf(run.verification, "result"), "checksummed");
    EXPECT_TRUE(run.verification.at("fingerprint").is_null());
    ASSERT_EQ(run.verification.at("files").size(), 3u);
    EXPECT_EQ(run.verification.at("files")[1].get<std::string>(), "host/ubl-nor-ais.bin");

    // Unsigned is not enough once a signature is required.
    run = Verify(Release() + " --require-signature");
    EXPECT_EQ(run.code, 10);
    EXPECT_EQ(TextOf(run.verification, "result"), "failed");
    EXPECT_EQ(TextOf(run.finished, "result"), "verify_failed");

    Write("host/ubl-nor-ais.bin", "ubl, altered");
    run = Verify(Release());
    EXPECT_EQ(run.code, 10);
    EXPECT_EQ(TextOf(run.verification, "message"),
              "host/ubl-nor-ais.bin: SHA-256 differs from SHA256SUMS");

    // An image the release offers but lacks is no complete release.
    fs::remove(m_dir / "host/ubl-nor-ais.bin");
    run = Verify(Release());
    EXPECT_EQ(run.code, 10);
    EXPECT_EQ(TextOf(run.verification, "message"),
              "host/ubl-nor-ais.bin: listed in SHA256SUMS but missing");

    // Offered but not listed, though everything listed matches.
    Write("SHA256SUMS", workflow::Sha256Hex("host application") + "  host/vxWorks_rom.bin\n");
    run = Verify(Release());
    EXPECT_EQ(run.code, 10);
    EXPECT_EQ(TextOf(run.verification, "message"),
              "host/ubl-nor-ais.bin: not listed in SHA256SUMS");
}

TEST_F(VerifyCommandTest, ASignedReleaseOffersWhatItsSignedConfigurationOffers) {
    const TestSigner signer("cli-offer");
    if (!signer.ready()) GTEST_SKIP() << "needs gpg (gnupg)";
    const std::string keyring = (m_dir / "lab.gpg").string();
    ASSERT_TRUE(signer.export_key(keyring, false));
    const auto sign = [&] {
        return signer.sign((m_dir / "SHA256SUMS").string(), (m_dir / "SHA256SUMS.sig").string(),
                           false);
    };
    const std::string options = Release() + " --keyring '" + keyring + "'";
    // The configuration edited after signing, to offer an image that is
    // not in the list: the edit is what fails.
    ASSERT_TRUE(sign());
    Write("Firmware_Upgrade.txt", "HPAP\nHUBL\nHBRM\n");
    VerifyRun run = Verify(options);
    EXPECT_EQ(run.code, 10);
    EXPECT_EQ(TextOf(run.verification, "message"),
              "Firmware_Upgrade.txt: SHA-256 differs from SHA256SUMS");
    // A signed list that leaves the configuration out.
    Write("SHA256SUMS", workflow::Sha256Hex("host application") + "  host/vxWorks_rom.bin\n" +
                            workflow::Sha256Hex("ubl") + "  host/ubl-nor-ais.bin\n");
    ASSERT_TRUE(sign());
    run = Verify(options);
    EXPECT_EQ(run.code, 10);
    EXPECT_EQ(TextOf(run.verification, "message"),
              "Firmware_Upgrade.txt: not listed in SHA256SUMS, which a signed release must do");
}

TEST_F(VerifyCommandTest, SignedReportsTheFingerprint) {
    const TestSigner signer("cli");
    if (!signer.ready()) GTEST_SKIP() << "needs gpg (gnupg)";
    const std::string keyring = (m_dir / "lab.gpg").string();
    ASSERT_TRUE(signer.export_key(keyring, false));
    ASSERT_TRUE(
        signer.sign((m_dir / "SHA256SUMS").string(), (m_dir / "SHA256SUMS.sig").string(), false));
    VerifyRun run = Verify(Release() + " --require-signature --keyring '" + keyring + "'");
    EXPECT_EQ(run.code, 0);
    EXPECT_EQ(TextOf(run.verification, "result"), "signed");
    EXPECT_EQ(TextOf(run.verification, "fingerprint"), signer.fingerprint());

    // No key installed, nothing required: the list is checked, and the
    // signature said to be unchecked.
    if (fs::exists(workflow::kTrustedKeysDir) || fs::exists(workflow::kPolicyPath)) return;
    run = Verify(Release());
    EXPECT_EQ(run.code, 0);
    EXPECT_EQ(TextOf(run.verification, "result"), "checksummed");
    EXPECT_EQ(TextOf(run.verification, "note"), workflow::kSignatureNotCheckedNote);
}

}  // namespace
