// The release configuration: configuration-file lines, the release directory
// made current, and Browse with its remembered directory.
#include "workflow/release_config.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/settings.h"
#include "recording_operator.h"

namespace {

using namespace workflow;
namespace fs = std::filesystem;

const char* const kConfigMissingBox =
    "box:Error:Config File missing or corrupt\nNote this problem and report it to \n Tavrion "
    "Technologies:16";

TEST(ConfigLineTest, OnlyTheFirstFourCharactersNameAnImage) {
    struct Case {
        const char* line;
        ImageChoice offered;
    };
    const Case cases[] = {
        {"HPAP", {1, 0, 0, 0}},
        {"HPAP 2.4.1", {1, 0, 0, 0}},
        {"HPAPvxWorks_rom.bin", {1, 0, 0, 0}},
        {"HREC", {0, 1, 0, 0}},
        {"HBRM bootrom.bin", {0, 0, 1, 0}},
        {"HUBL\t1.0", {0, 0, 0, 1}},
        {" HPAP", {}},
        {"hpap", {}},
        {"HPA", {}},
        {"#HPAP", {}},
        {";HPAP", {}},
        {"", {}},
        {"XHPAP", {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        ImageChoice offered;
        ApplyConfigLine(c.line, offered);
        EXPECT_EQ(offered.m_host, c.offered.m_host);
        EXPECT_EQ(offered.m_recovery, c.offered.m_recovery);
        EXPECT_EQ(offered.m_bootRom, c.offered.m_bootRom);
        EXPECT_EQ(offered.m_ubl, c.offered.m_ubl);
    }
}

// A scratch folder per test, and the current directory put back after it.
class ReleaseDirTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_cwd = fs::current_path();
        m_dir = fs::temp_directory_path() / ("fw-release-" + std::to_string(::getpid()));
        fs::remove_all(m_dir);
        fs::create_directories(m_dir / "rel");
    }
    void TearDown() override {
        fs::current_path(m_cwd);
        fs::remove_all(m_dir);
    }
    std::string Write(const std::string& name, const std::string& text) {
        const fs::path path = m_dir / name;
        fs::create_directories(path.parent_path());
        std::ofstream(path, std::ios::binary) << text;
        return path.string();
    }

    fs::path m_cwd;
    fs::path m_dir;
};

TEST_F(ReleaseDirTest, ConfigFilesAreReadLineByLineWhateverTheirLineEnds) {
    ImageChoice offered;
    EXPECT_TRUE(ReadReleaseConfig(Write("a.txt", "HPAP 1\r\n# HREC\r\nHUBL"), offered));
    EXPECT_EQ(offered.m_host, 1);
    EXPECT_EQ(offered.m_recovery, 0);
    EXPECT_EQ(offered.m_ubl, 1);

    // Lines on their own: an identifier twice, order free.
    ImageChoice twice;
    EXPECT_TRUE(ReadReleaseConfig(Write("b.txt", "HBRM\nHREC\nHBRM x\n"), twice));
    EXPECT_EQ(twice.m_bootRom, 1);
    EXPECT_EQ(twice.m_recovery, 1);
    EXPECT_EQ(twice.m_host, 0);

    for (const char* empty : {"", "# only\n; comments\n\n"}) {
        ImageChoice none;
        EXPECT_TRUE(ReadReleaseConfig(Write("c.txt", empty), none));
        EXPECT_EQ(none.m_host + none.m_recovery + none.m_bootRom + none.m_ubl, 0);
    }

    ImageChoice missing;
    EXPECT_FALSE(ReadReleaseConfig((m_dir / "none.txt").string(), missing));
    fs::create_directories(m_dir / "Firmware_Upgrade.txt");
    EXPECT_FALSE(ReadReleaseConfig((m_dir / "Firmware_Upgrade.txt").string(), missing));
}

// Reads `path` in a child process that an alarm ends after five seconds, so
// that a read which blocks or never ends fails the test instead of hanging
// it. The child's exit status: 0 refused with `reason` in the message, 1
// read, 2 refused for another reason; killed by SIGALRM when it hung.
int ReadInWatchedChild(const std::string& path, const std::string& reason) {
    const pid_t child = ::fork();
    if (child == 0) {
        ::alarm(5);
        ImageChoice offered;
        std::string error;
        if (ReadReleaseConfig(path, offered, &error)) ::_exit(1);
        ::_exit(error == "reading " + path + ": " + reason ? 0 : 2);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return WEXITSTATUS(status);
}

TEST_F(ReleaseDirTest, OnlyASmallRegularConfigFileIsRead) {
    const std::string config = (m_dir / "rel" / kConfigFileName).string();
    // A FIFO nobody writes to, and a link to an endless device: both used
    // to block or spin for ever.
    ASSERT_EQ(::mkfifo(config.c_str(), 0600), 0);
    EXPECT_EQ(ReadInWatchedChild(config, "not a regular file (a FIFO)"), 0);
    fs::remove(config);
    fs::create_symlink("/dev/urandom", config);
    EXPECT_EQ(ReadInWatchedChild(config, "not a regular file (a character device)"), 0);
    fs::remove(config);

    // Over 1 MiB is refused, not read in part; a link to a regular file is read.
    Write("big.txt", "HPAP\n" + std::string(1 << 20, '#'));
    ImageChoice offered;
    std::string error;
    EXPECT_FALSE(ReadReleaseConfig((m_dir / "big.txt").string(), offered, &error));
    EXPECT_EQ(error, "reading " + (m_dir / "big.txt").string() + ": larger than 1048576 bytes");
    EXPECT_EQ(offered.m_host, 0);
    fs::create_symlink(Write("real.txt", "HREC\n"), config);
    EXPECT_TRUE(ReadReleaseConfig(config, offered));
    EXPECT_EQ(offered.m_recovery, 1);
}

TEST_F(ReleaseDirTest, TheDirectoryBeforeTheLastSlashBecomesCurrent) {
    std::string releaseDir = (m_dir / "rel").string() + "/";
    UpdateReleaseDir(releaseDir);
    EXPECT_EQ(fs::current_path(), m_dir / "rel");
    EXPECT_EQ(releaseDir, (m_dir / "rel").string() + "/");

    // A typed path without the last slash names its parent.
    releaseDir = (m_dir / "rel").string();
    UpdateReleaseDir(releaseDir);
    EXPECT_EQ(fs::current_path(), m_dir);

    std::string root = "/";
    UpdateReleaseDir(root);
    EXPECT_EQ(fs::current_path(), fs::path("/"));
    EXPECT_EQ(root, "/");

    std::string noSlash = "relative";
    UpdateReleaseDir(noSlash);
    EXPECT_EQ(noSlash, "relative");
    EXPECT_EQ(fs::current_path(), fs::path("/"));

    std::string gone = (m_dir / "gone").string() + "/";
    UpdateReleaseDir(gone);
    EXPECT_EQ(gone, "Invalid directory");
}

// The window as Browse sees it: a scripted picker, and the field whose text
// update runs UpdateReleaseDir on the member, as the dialog's does.
class FakeSite : public BrowseSite {
public:
    bool PickReleaseDir(const std::string& start, std::string& chosen) override {
        m_starts.push_back(start);
        m_events->push_back("picker");
        if (m_answer.empty()) return false;
        chosen = m_answer;
        return true;
    }
    void ShowReleaseDir(const std::string& dir) override {
        m_field = dir;
        m_events->push_back("field");
        UpdateReleaseDir(*m_member);
    }
    void SetOffered(const ImageChoice& offered) override { *m_offered = offered; }
    void UpdateControlStates() override { m_events->push_back("controls"); }

    std::string m_answer;
    std::string m_field;
    std::string* m_member = nullptr;
    ImageChoice* m_offered = nullptr;
    std::vector<std::string>* m_events = nullptr;
    std::vector<std::string> m_starts;
};

class BrowseTest : public ReleaseDirTest {
protected:
    void SetUp() override {
        ReleaseDirTest::SetUp();
        m_settings = m_dir / "config" / "firmware-update" / "settings.conf";
        m_site.m_member = &m_releaseDir;
        m_site.m_offered = &m_offered;
        m_site.m_events = &m_op.m_events;
        m_site.m_answer = (m_dir / "rel").string() + "/";
    }

    void Browse() { workflow::Browse(m_op, m_site, m_settings, m_releaseDir, m_configLoaded); }
    std::optional<std::string> Stored() const {
        platform::KeyDisposition disposition{};
        auto key =
            platform::SettingsKey::create_or_open(m_settings, kSettingsKeyPath, &disposition);
        if (!key) return std::nullopt;
        return key->query_value(kReleaseDirValue, 100000);
    }
    void Store(const std::string& value) {
        platform::KeyDisposition disposition{};
        auto key =
            platform::SettingsKey::create_or_open(m_settings, kSettingsKeyPath, &disposition);
        ASSERT_TRUE(key);
        ASSERT_TRUE(key->set_value(kReleaseDirValue, value));
    }

    RecordingOperator m_op;
    FakeSite m_site;
    fs::path m_settings;
    std::string m_releaseDir;
    ImageChoice m_offered;
    bool m_configLoaded = false;
};

TEST_F(BrowseTest, TheFirstBrowseStartsAtTheDefaultAndRemembersTheChoice) {
    Write("rel/Firmware_Upgrade.txt", "HPAP 3.1\nHUBL\n");
    ASSERT_FALSE(fs::exists(m_settings));
    Browse();
    EXPECT_EQ(m_site.m_starts, std::vector<std::string>{"/tmp"});
    EXPECT_EQ(m_releaseDir, m_site.m_answer);
    EXPECT_EQ(m_site.m_field, m_site.m_answer);
    EXPECT_EQ(Stored(), m_site.m_answer);
    EXPECT_TRUE(m_configLoaded);
    EXPECT_EQ(m_offered.m_host, 1);
    EXPECT_EQ(m_offered.m_ubl, 1);
    EXPECT_EQ(m_offered.m_recovery, 0);
    EXPECT_EQ(m_op.m_events, (std::vector<std::string>{"picker", "field", "controls"}));
    EXPECT_EQ(fs::current_path(), m_dir / "rel");

    // The next Browse starts where this one ended.
    Browse();
    EXPECT_EQ(m_site.m_starts.back(), m_site.m_answer);
}

TEST_F(BrowseTest, ARememberedValueThatDoesNotFitTheReadBufferIsNotOffered) {
    Store("/" + std::string(1022, 'x'));  // 1023 characters and the terminator: fits
    m_site.m_answer.clear();
    Browse();
    EXPECT_EQ(m_site.m_starts.back(), "/" + std::string(1022, 'x'));
    Store("/" + std::string(1023, 'x'));
    Browse();
    EXPECT_EQ(m_site.m_starts.back(), "/tmp");
}

TEST_F(BrowseTest, ACancelledPickerChangesNothingButMayLeaveAnEmptyKey) {
    m_site.m_answer.clear();
    m_releaseDir = "/previous/";
    m_offered = {1, 0, 0, 1};
    m_configLoaded = true;
    Browse();
    EXPECT_EQ(m_releaseDir, "/previous/");
    EXPECT_EQ(m_offered.m_host, 1);
    EXPECT_TRUE(m_configLoaded);
    EXPECT_EQ(m_op.m_events, std::vector<std::string>{"picker"});
    EXPECT_TRUE(fs::exists(m_settings));
    EXPECT_EQ(Stored(), std::nullopt);
}

TEST_F(BrowseTest, AMissingConfigFileDisablesEverythingAfterStoringTheDirectory) {
    m_offered = {1, 1, 1, 1};
    m_configLoaded = true;
    Browse();
    EXPECT_FALSE(m_configLoaded);
    EXPECT_EQ(m_offered.m_host + m_offered.m_recovery + m_offered.m_bootRom + m_offered.m_ubl, 0);
    EXPECT_EQ(m_op.m_events,
              (std::vector<std::string>{"picker", "field", "controls", kConfigMissingBox}));
    EXPECT_EQ(Stored(), m_site.m_answer);
    EXPECT_EQ(m_releaseDir, m_site.m_answer);
}

TEST_F(BrowseTest, ADirectoryThatCannotBeEnteredKeepsTheRememberedOne) {
    Store("/remembered/");
    // Gone by the time the field's handler tries to enter it.
    m_site.m_answer = (m_dir / "vanished").string() + "/";
    Browse();
    EXPECT_EQ(m_releaseDir, "Invalid directory");
    EXPECT_EQ(m_site.m_field, m_site.m_answer);
    EXPECT_EQ(Stored(), "/remembered/");
    // The file is still looked for in the chosen directory.
    EXPECT_EQ(m_op.m_events.back(), kConfigMissingBox);
}

TEST_F(BrowseTest, BrowseKeepsTheAdministratorsLinesAndReadsTheirSpacing) {
    const std::string before =
        std::string("# preset by the lab\n[") + kSettingsKeyPath + "]\nWindowSize 640x480\n";
    fs::create_directories(m_settings.parent_path());
    std::ofstream(m_settings) << before << "ReleaseDirectory = /srv/preset/\n";
    Write("rel/Firmware_Upgrade.txt", "HPAP\n");
    Browse();
    EXPECT_EQ(m_site.m_starts, std::vector<std::string>{"/srv/preset/"});
    std::ifstream in(m_settings);
    const std::string after{std::istreambuf_iterator<char>(in), {}};
    EXPECT_EQ(after, before + "ReleaseDirectory=" + m_site.m_answer + "\n");
}

TEST_F(BrowseTest, WithoutAUsableStoreBrowseStillWorks) {
    // The store's path is a folder: it can be neither read nor written.
    fs::create_directories(m_settings);
    Write("rel/Firmware_Upgrade.txt", "HREC\n");
    Browse();
    EXPECT_EQ(m_site.m_starts, std::vector<std::string>{"/tmp"});
    EXPECT_TRUE(m_configLoaded);
    EXPECT_EQ(m_offered.m_recovery, 1);
    EXPECT_TRUE(fs::is_directory(m_settings));
}

}  // namespace
