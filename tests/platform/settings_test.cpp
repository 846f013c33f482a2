// The settings store: keys created or opened, values read within a limit,
// changes that never leave a partial file, and damaged files.
#include "platform/settings.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace {

namespace fs = std::filesystem;
using platform::KeyDisposition;
using platform::SettingsKey;

const std::string kKey = "HKEY_LOCAL_MACHINE\\SOFTWARE\\Maker\\Product";

class SettingsTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_dir = fs::temp_directory_path() / ("fw-settings-" + std::to_string(::getpid()));
        fs::remove_all(m_dir);
        m_file = m_dir / "firmware-update" / "settings.conf";
    }
    void TearDown() override { fs::remove_all(m_dir); }

    std::optional<SettingsKey> Open(KeyDisposition* disposition = nullptr,
                                    std::string* error = nullptr) {
        KeyDisposition ignored{};
        return SettingsKey::create_or_open(m_file, kKey, disposition ? disposition : &ignored,
                                           error);
    }
    std::string FileText() const {
        std::ifstream in(m_file, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), {}};
    }
    void WriteFile(const std::string& text) {
        fs::create_directories(m_file.parent_path());
        std::ofstream(m_file, std::ios::binary) << text;
    }

    fs::path m_dir;
    fs::path m_file;
};

TEST_F(SettingsTest, AKeyIsCreatedOnceAndOpenedAfterwards) {
    KeyDisposition disposition{};
    auto key = Open(&disposition);
    ASSERT_TRUE(key);
    EXPECT_EQ(disposition, KeyDisposition::created_new_key);
    EXPECT_EQ(FileText(), "[" + kKey + "]\n");
    EXPECT_EQ(key->query_value("ReleaseDirectory", 1024), std::nullopt);

    ASSERT_TRUE(Open(&disposition));
    EXPECT_EQ(disposition, KeyDisposition::opened_existing_key);
}

TEST_F(SettingsTest, ValuesComeBackAsStoredWithinTheReadLimit) {
    auto key = Open();
    ASSERT_TRUE(key);
    const std::string odd = "/srv/a\\b/new\nline\r/=x/";
    ASSERT_TRUE(key->set_value("ReleaseDirectory", odd));
    EXPECT_EQ(Open()->query_value("ReleaseDirectory", 1024), odd);
    EXPECT_EQ(FileText(), "[" + kKey + "]\nReleaseDirectory=/srv/a\\\\b/new\\nline\\r/=x/\n");

    // Replaced in place, not added again.
    ASSERT_TRUE(key->set_value("ReleaseDirectory", "/second/"));
    EXPECT_EQ(FileText(), "[" + kKey + "]\nReleaseDirectory=/second/\n");

    // The terminator counts: 1023 characters fit 1024 bytes, 1024 do not.
    ASSERT_TRUE(key->set_value("ReleaseDirectory", std::string(1023, 'x')));
    EXPECT_EQ(key->query_value("ReleaseDirectory", 1024), std::string(1023, 'x'));
    ASSERT_TRUE(key->set_value("ReleaseDirectory", std::string(1024, 'x')));
    EXPECT_EQ(key->query_value("ReleaseDirectory", 1024), std::nullopt);
    EXPECT_EQ(key->query_value("ReleaseDirectory", 1025), std::string(1024, 'x'));

    EXPECT_FALSE(key->set_value("ReleaseDirectory", std::string("a\0b", 3)));
}

TEST_F(SettingsTest, AnAdministratorsFileKeepsItsCommentsAndOtherKeys) {
    WriteFile("# preset for the lab\r\n[Other]\nReleaseDirectory=/elsewhere/\n[" + kKey +
              "]\nReleaseDirectory=/srv/releases/\n");
    KeyDisposition disposition{};
    auto key = Open(&disposition);
    ASSERT_TRUE(key);
    EXPECT_EQ(disposition, KeyDisposition::opened_existing_key);
    EXPECT_EQ(key->query_value("ReleaseDirectory", 1024), "/srv/releases/");
    ASSERT_TRUE(key->set_value("ReleaseDirectory", "/srv/releases/2.4/"));
    EXPECT_EQ(FileText(), "# preset for the lab\n[Other]\nReleaseDirectory=/elsewhere/\n[" + kKey +
                              "]\nReleaseDirectory=/srv/releases/2.4/\n");
}

TEST_F(SettingsTest, DamagedStoresReadAsEmpty) {
    const std::string damaged[] = {
        "ReleaseDirectory=/before/any/key/\n",
        "[" + kKey + "]\nno equals sign\n",
        "[" + kKey + "]\nReleaseDirectory=/a" + std::string(1, '\0') + "b/\n",
        "[" + kKey + "]\nReleaseDirectory=" + std::string(70000, 'x') + "\n",
    };
    for (const std::string& text : damaged) {
        SCOPED_TRACE(text.substr(0, 40));
        WriteFile(text);
        KeyDisposition disposition{};
        auto key = Open(&disposition);
        ASSERT_TRUE(key);
        // The damaged file gives way to a fresh store holding the key.
        EXPECT_EQ(disposition, KeyDisposition::created_new_key);
        EXPECT_EQ(key->query_value("ReleaseDirectory", 1024), std::nullopt);
        EXPECT_EQ(FileText(), "[" + kKey + "]\n");
    }

    // A bad escape spoils that value only.
    WriteFile("[" + kKey + "]\nReleaseDirectory=/a\\q/\nOther=fine\n");
    EXPECT_EQ(Open()->query_value("ReleaseDirectory", 1024), std::nullopt);
    EXPECT_EQ(Open()->query_value("Other", 1024), "fine");
}

TEST_F(SettingsTest, FailuresSayWhereAndLeaveNoPartialFile) {
    // The store's path is a folder: it cannot be read, and must not be replaced.
    fs::create_directories(m_file);
    std::string error;
    EXPECT_FALSE(Open(nullptr, &error));
    EXPECT_NE(error.find("reading " + m_file.string() + ": "), std::string::npos) << error;
    fs::remove_all(m_file.parent_path());

    // Its folder cannot be made: a file stands where it would go.
    fs::create_directories(m_dir);
    std::ofstream(m_dir / "firmware-update") << "in the way";
    EXPECT_FALSE(Open(nullptr, &error));
    EXPECT_NE(error.find(m_file.string() + ": Not a directory"), std::string::npos) << error;
    fs::remove(m_dir / "firmware-update");

    // After every write only the store itself is left in its folder.
    auto key = Open();
    ASSERT_TRUE(key);
    ASSERT_TRUE(key->set_value("ReleaseDirectory", "/x/"));
    int entries = 0;
    for (const auto& entry : fs::directory_iterator(m_file.parent_path())) {
        EXPECT_EQ(entry.path(), m_file);
        ++entries;
    }
    EXPECT_EQ(entries, 1);
}

TEST(SettingsFileTest, LivesUnderTheUsersConfigFolder) {
    const char* oldConfig = std::getenv("XDG_CONFIG_HOME");
    const std::string saved = oldConfig ? oldConfig : "";
    setenv("XDG_CONFIG_HOME", "/cfg", 1);
    EXPECT_EQ(platform::default_settings_file(), fs::path("/cfg/firmware-update/settings.conf"));
    // A relative value is not a config folder.
    setenv("XDG_CONFIG_HOME", "cfg", 1);
    const char* home = std::getenv("HOME");
    if (home && *home) {
        EXPECT_EQ(platform::default_settings_file(),
                  fs::path(home) / ".config/firmware-update/settings.conf");
    }
    if (oldConfig)
        setenv("XDG_CONFIG_HOME", saved.c_str(), 1);
    else
        unsetenv("XDG_CONFIG_HOME");
}

}  // namespace
