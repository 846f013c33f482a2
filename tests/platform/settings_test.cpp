// The settings store: keys created or opened, values read within a limit,
// changes that never leave a partial file, and damaged files.
#include "platform/settings.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
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
    static std::string FileTextOf(const fs::path& file) {
        std::ifstream in(file, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), {}};
    }
    std::string FileText() const { return FileTextOf(m_file); }
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
    EXPECT_EQ(FileText(), "# preset for the lab\r\n[Other]\nReleaseDirectory=/elsewhere/\n[" +
                              kKey + "]\nReleaseDirectory=/srv/releases/2.4/\n");
}

TEST_F(SettingsTest, LinesKeepTheirEndsSoAnotherKeysValueNeverChanges) {
    // One carriage return is the line end's; the one before it is the value's.
    WriteFile("[Other]\r\nReleaseDirectory=/elsewhere/\r\r\n");
    KeyDisposition disposition{};
    auto other = SettingsKey::create_or_open(m_file, "Other", &disposition);
    ASSERT_TRUE(other);
    EXPECT_EQ(other->query_value("ReleaseDirectory", 1024), "/elsewhere/\r");
    auto key = Open(&disposition);
    ASSERT_TRUE(key);
    ASSERT_TRUE(key->set_value("ReleaseDirectory", "/srv/releases/"));
    EXPECT_EQ(other->query_value("ReleaseDirectory", 1024), "/elsewhere/\r");
    EXPECT_EQ(FileText(), "[Other]\r\nReleaseDirectory=/elsewhere/\r\r\n[" + kKey +
                              "]\nReleaseDirectory=/srv/releases/\n");
}

TEST_F(SettingsTest, LinesItDoesNotUnderstandAreKeptInPlace) {
    const std::string kept = "ReleaseDirectory=/before/any/key/\n# lab preset\n[" + kKey +
                             "]\nno equals sign\n; note\nOther=fine\n";
    WriteFile(kept + "ReleaseDirectory=/a" + std::string(1, '\0') + "b/\n[broken\nX=1\n");
    KeyDisposition disposition{};
    auto key = Open(&disposition);
    ASSERT_TRUE(key);
    EXPECT_EQ(disposition, KeyDisposition::opened_existing_key);
    EXPECT_EQ(key->query_value("ReleaseDirectory", 1024), std::nullopt);
    EXPECT_EQ(key->query_value("Other", 1024), "fine");
    // After a broken key line nothing belongs to the key before it.
    EXPECT_EQ(key->query_value("X", 1024), std::nullopt);

    // The new value joins the key's values; every other line stays as it was.
    ASSERT_TRUE(key->set_value("ReleaseDirectory", "/srv/x/"));
    EXPECT_EQ(FileText(), kept + "ReleaseDirectory=/srv/x/\nReleaseDirectory=/a" +
                              std::string(1, '\0') + "b/\n[broken\nX=1\n");
    EXPECT_EQ(key->query_value("ReleaseDirectory", 1024), "/srv/x/");

    // A bad escape spoils that value only.
    WriteFile("[" + kKey + "]\nReleaseDirectory=/a\\q/\nOther=fine\n");
    EXPECT_EQ(Open()->query_value("ReleaseDirectory", 1024), std::nullopt);
    EXPECT_EQ(Open()->query_value("Other", 1024), "fine");
}

TEST_F(SettingsTest, BlanksAroundTheNameAndAfterTheEqualsSignAreNotPartOfIt) {
    WriteFile("  [" + kKey + "]  \n\tReleaseDirectory \t=  /srv/x/ \nEmpty =\n");
    auto key = Open();
    ASSERT_TRUE(key);
    EXPECT_EQ(key->query_value("ReleaseDirectory", 1024), "/srv/x/ ");
    EXPECT_EQ(key->query_value("Empty", 1024), "");
    ASSERT_TRUE(key->set_value("ReleaseDirectory", "/srv/y/"));
    EXPECT_EQ(FileText(), "  [" + kKey + "]  \nReleaseDirectory=/srv/y/\nEmpty =\n");

    // A value's own leading blanks are escaped, so they survive the trimming.
    for (const std::string value : {" /lead/", "\t/tab/", "  two"}) {
        ASSERT_TRUE(key->set_value("ReleaseDirectory", value));
        EXPECT_EQ(key->query_value("ReleaseDirectory", 1024), value);
    }
    // Names that would not read back as themselves are refused.
    for (const std::string name : {"", " Lead", "Trail ", "[Key", "#Name", "a=b"}) {
        EXPECT_FALSE(key->set_value(name, "/x/")) << name;
    }
}

TEST_F(SettingsTest, AStoreThatIsNotASmallRegularFileIsRefusedAndKept) {
    fs::create_directories(m_file.parent_path());
    std::string error;
    // Over the 1 MiB cap: not cut short, not rewritten.
    const std::string big = "[" + kKey + "]\nReleaseDirectory=" + std::string(1 << 20, 'x') + "\n";
    WriteFile(big);
    EXPECT_FALSE(Open(nullptr, &error));
    EXPECT_EQ(error, "reading " + m_file.string() + ": larger than 1048576 bytes");
    EXPECT_EQ(fs::file_size(m_file), big.size());

    // Devices and FIFOs are refused at once: a test that hangs fails by alarm.
    fs::remove(m_file);
    fs::create_symlink("/dev/urandom", m_file);
    alarm(10);
    EXPECT_FALSE(Open(nullptr, &error));
    EXPECT_NE(error.find("not a regular file (a character device)"), std::string::npos) << error;
    fs::remove(m_file);
    ASSERT_EQ(::mkfifo(m_file.c_str(), 0600), 0);
    EXPECT_FALSE(Open(nullptr, &error));
    EXPECT_NE(error.find("not a regular file (a FIFO)"), std::string::npos) << error;
    alarm(0);
    EXPECT_TRUE(fs::is_fifo(m_file));

    // A symlink to a regular file is read through.
    fs::remove(m_file);
    std::ofstream(m_dir / "real.conf") << "[" << kKey << "]\nReleaseDirectory=/linked/\n";
    fs::create_symlink(m_dir / "real.conf", m_file);
    EXPECT_EQ(Open()->query_value("ReleaseDirectory", 1024), "/linked/");
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

    // The temporary file's name cannot be guessed: a symlink planted where a
    // name made from the process id would go is never written through.
    fs::create_directories(m_file.parent_path());
    const fs::path victim = m_dir / "victim";
    std::ofstream(victim) << "untouched";
    const fs::path planted = m_file.string() + ".tmp-" + std::to_string(::getpid());
    fs::create_symlink(victim, planted);
    auto key = Open();
    ASSERT_TRUE(key);
    ASSERT_TRUE(key->set_value("ReleaseDirectory", "/x/"));
    EXPECT_EQ(FileTextOf(victim), "untouched");
    fs::remove(planted);

    // After every write only the store itself is left in its folder, and a
    // new store is its owner's alone.
    int entries = 0;
    for (const auto& entry : fs::directory_iterator(m_file.parent_path())) {
        EXPECT_EQ(entry.path(), m_file);
        ++entries;
    }
    EXPECT_EQ(entries, 1);
    EXPECT_EQ(fs::status(m_file).permissions(), fs::perms::owner_read | fs::perms::owner_write);

    // A failed write leaves no temporary file behind either.
    if (::geteuid() != 0) {
        fs::permissions(m_file.parent_path(), fs::perms::owner_read | fs::perms::owner_exec);
        EXPECT_FALSE(key->set_value("ReleaseDirectory", "/y/", &error));
        EXPECT_NE(error.find("writing " + m_file.string() + ": "), std::string::npos) << error;
        fs::permissions(m_file.parent_path(), fs::perms::owner_all);
        EXPECT_EQ(std::distance(fs::directory_iterator(m_file.parent_path()), {}), 1);
    }
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
