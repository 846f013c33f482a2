// Discovery and identification through the built-in VISA library against
// simulated instruments on their own loopback addresses.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include <unistd.h>

#include "engine_output.h"
#include "recording_operator.h"
#include "sim_process.h"
#include "update.h"
#include "workflow/discovery.h"
#include "workflow/identification.h"
#include "workflow/sha256.h"
#include "workflow/upgrade.h"

namespace {

using namespace workflow;

class WorkflowSimTest : public ::testing::Test {
protected:
    void SetUp() override {
        // VXI-11 reaches the simulator through its portmapper on port 111,
        // which only root may bind.
        if (::geteuid() != 0) GTEST_SKIP() << "VXI-11 needs the simulator's port 111 (root)";
        // The library lists LAN instruments from its configuration file,
        // found through XDG_CONFIG_HOME.
        m_config = std::filesystem::temp_directory_path() /
                   ("fw-workflow-sim-" + std::to_string(::getpid()));
        std::filesystem::create_directories(m_config / "firmware-update");
        if (const char* old = std::getenv("XDG_CONFIG_HOME")) m_oldConfig = old;
        setenv("XDG_CONFIG_HOME", m_config.c_str(), 1);
        m_engineOutput = std::make_unique<EngineOutput>();
    }

    void TearDown() override {
        m_engineOutput.reset();
        if (m_oldConfig.empty())
            unsetenv("XDG_CONFIG_HOME");
        else
            setenv("XDG_CONFIG_HOME", m_oldConfig.c_str(), 1);
        std::filesystem::remove_all(m_config);
    }

    void Configure(const std::string& text) {
        std::ofstream(m_config / "firmware-update" / "visa.conf") << text;
    }

    std::string Discover() {
        auto buffer = std::make_unique<char[]>(kResourceListSize);
        DiscoverInstruments(m_operator, buffer.get(), kResourceListSize);
        return buffer.get();
    }

    std::filesystem::path m_config;
    std::string m_oldConfig;
    std::unique_ptr<EngineOutput> m_engineOutput;
    RecordingOperator m_operator;
};

TEST_F(WorkflowSimTest, ConfiguredLanInstrumentsAreListedAndIdentified) {
    SimProcess older("127.0.0.61", {"--model", "K7141B"});
    SimProcess stranger("127.0.0.62", {"--model", "other"});
    Configure("# bench\n" + older.vxi11() + "\n" + stranger.vxi11() + "\nserial = off\n");

    EXPECT_EQ(Discover(), older.vxi11() + "\n" + stranger.vxi11() + "\n");
    EXPECT_EQ(m_operator.m_log, "Finding VISA instruments...done\r\n");

    std::string family;
    std::string hostImage;
    EXPECT_TRUE(IdentifyInstrument(older.vxi11(), family, hostImage));
    EXPECT_EQ(family, "K7100x");
    EXPECT_EQ(hostImage, "vxWorks_rom.bin");

    family.clear();
    EXPECT_FALSE(IdentifyInstrument(stranger.vxi11(), family, hostImage));
    EXPECT_TRUE(family.empty());
}

TEST_F(WorkflowSimTest, NothingConfiguredListsNothing) {
    Configure("serial = off\n");
    EXPECT_EQ(Discover(), "");
    EXPECT_EQ(m_operator.m_pane, "Finding VISA instruments...done\r\n");
}

TEST_F(WorkflowSimTest, InstrumentLockedElsewhereIsNotIdentified) {
    SimProcess locked("127.0.0.63", {"--hold-lock"});
    std::string family;
    std::string hostImage;
    EXPECT_FALSE(IdentifyInstrument(locked.vxi11(), family, hostImage));
}

// Swaps an image for another file once the run has checked it, and keeps
// the digest the run reports for the bytes it sent.
class SwapAfterChecking : public UpgradeObserver {
public:
    SwapAfterChecking(std::filesystem::path file, std::string replacement)
        : m_file(std::move(file)), m_replacement(std::move(replacement)) {}
    void OnChecked(const std::vector<CheckedImage>&, const ReleaseVerification&) override {
        const std::filesystem::path next = m_file.string() + ".new";
        std::ofstream(next, std::ios::binary) << m_replacement;
        std::filesystem::rename(next, m_file);
    }
    void OnImageDone(const ImageEvent& event) override { m_sent = event.m_sentSha256; }

    std::filesystem::path m_file;
    std::string m_replacement;
    std::string m_sent;
};

TEST_F(WorkflowSimTest, TheInstrumentKeepsTheBytesCheckedAndTheRecordNamesThem) {
    SimProcess sim("127.0.0.63", {"--reboot-ms", "200"});
    const std::filesystem::path release = m_config / "release";
    std::filesystem::create_directories(release / "host");
    const std::string image(3 << 20, 'o');
    std::ofstream(release / "host" / "ubl-nor-ais.bin", std::ios::binary) << image;
    std::string replacement(2 << 20, '\0');
    for (std::size_t i = 0; i < replacement.size(); ++i)
        replacement[i] = static_cast<char>(i * 13 + i / 4093);
    SwapAfterChecking swap(release / "host" / "ubl-nor-ais.bin", replacement);
    std::string instrument = sim.hislip();
    std::string family;
    std::string hostImage;
    EXPECT_EQ(RunUpgrade(m_operator, release.string() + "/", instrument, {0, 0, 0, 1}, family,
                         hostImage, &swap),
              UpgradeEnd::Complete);
    ASSERT_TRUE(sim.wait_stored("HUBL", image));
    EXPECT_EQ(swap.m_sent, Sha256Hex(sim.stored("HUBL")));
}

}  // namespace
