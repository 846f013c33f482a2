// The loader on its own: which library a run chooses, and what it makes of
// our own libfwvisa.so, of libraries that lack functions, and of ones that do
// not load. (The choice a whole process makes is tested through fwvisa-info.)
#include "visa/loader.h"

#include <gtest/gtest.h>

#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>

#include <filesystem>
#include <fstream>

namespace {

TEST(LoaderTest, EnvironmentWinsOverConfigurationWhichWinsOverDefault) {
    auto c = visa::choose_library("/opt/x/libvisa.so", "/usr/lib/liby.so", "/cfg");
    EXPECT_EQ(c.path, "/opt/x/libvisa.so");
    EXPECT_EQ(c.source, "FW_VISA_LIBRARY");
    c = visa::choose_library("", "/usr/lib/liby.so", "/cfg");
    EXPECT_EQ(c.path, "/usr/lib/liby.so");
    EXPECT_EQ(c.source, "/cfg");
    EXPECT_TRUE(c.from_config_file);
    c = visa::choose_library(nullptr, "", "/cfg");
    EXPECT_EQ(c.path, "");
    EXPECT_EQ(c.source, "default");
    // "builtin" names the built-in library, so one run can undo the file.
    c = visa::choose_library("builtin", "/usr/lib/liby.so", "/cfg");
    EXPECT_EQ(c.path, "");
    EXPECT_EQ(c.source, "FW_VISA_LIBRARY");
}

TEST(LoaderTest, OurSharedLibraryLoadsAndAnswers) {
    auto lib = visa::load_library(FWVISA_SHARED_PATH);
    ASSERT_TRUE(lib.usable()) << lib.error;
    ViSession rm = VI_NULL;
    ASSERT_EQ(lib.viOpenDefaultRM(&rm), VI_SUCCESS);
    ViVersion version = 0;
    EXPECT_EQ(lib.viGetAttribute(rm, VI_ATTR_RSRC_IMPL_VERSION, &version), VI_SUCCESS);
    EXPECT_EQ(version, 0x00100000u);
    ViUInt16 type = 0, board = 9;
    EXPECT_EQ(lib.viParseRsrc(rm, "tcpip::192.0.2.7::5025::socket", &type, &board), VI_SUCCESS);
    EXPECT_EQ(type, VI_INTF_TCPIP);
    EXPECT_EQ(board, 0);
    ViChar desc[256] = {};
    EXPECT_EQ(lib.viStatusDesc(rm, VI_ERROR_TMO, desc), VI_SUCCESS);
    EXPECT_STREQ(desc,
                 "VI_ERROR_TMO: The time-out expired before the operation could be completed.");
    // The shared library keeps its own handles: ours mean nothing to it.
    EXPECT_EQ(lib.viClose(rm), VI_SUCCESS);
    EXPECT_EQ(lib.viClose(rm), VI_ERROR_INV_OBJECT);
}

TEST(LoaderTest, OptionalFunctionsALibraryLacksAnswerNotSupported) {
    auto lib = visa::load_library(PARTIAL_VISA_PATH);
    ASSERT_TRUE(lib.usable()) << lib.error;
    ViSession rm = VI_NULL;
    EXPECT_EQ(lib.viOpenDefaultRM(&rm), VI_SUCCESS);
    EXPECT_EQ(rm, 7u);
    ViUInt16 stb = 0;
    EXPECT_EQ(lib.viReadSTB(rm, &stb), VI_ERROR_NSUP_OPER);
    EXPECT_EQ(lib.viParseRsrc(rm, "ASRL1::INSTR", &stb, &stb), VI_ERROR_NSUP_OPER);
}

// The extension is looked up by name: our own library answers it, another
// maker's (which has none of it) answers "unsupported" for each function, and
// so does a library that could not be loaded.
TEST(LoaderTest, TheExtensionIsUsedWhereTheLibraryHasIt) {
    auto ours = visa::load_library(FWVISA_SHARED_PATH);
    ASSERT_TRUE(ours.usable()) << ours.error;
    EXPECT_EQ(ours.fwvisa_ext_version(), FWVISA_EXT_VERSION);
    fwvisa_resource r{};
    r.size = sizeof r;
    ASSERT_EQ(ours.fwvisa_parse_resource("tcpip::H::5025::socket", &r), FWVISA_OK);
    EXPECT_STREQ(r.canonical, "TCPIP0::h::5025::SOCKET");

    for (const char* path : {PARTIAL_VISA_PATH, "/nonexistent/libvisa.so"}) {
        auto lib = visa::load_library(path);
        fwvisa_failure f{};
        f.size = sizeof f;
        EXPECT_EQ(lib.fwvisa_last_failure(VI_NULL, &f), FWVISA_E_UNSUPPORTED) << path;
        EXPECT_EQ(lib.fwvisa_parse_resource("ASRL1::INSTR", &r), FWVISA_E_UNSUPPORTED);
        char key[64];
        EXPECT_EQ(lib.fwvisa_instrument_key("ASRL1::INSTR", key, sizeof key), FWVISA_E_UNSUPPORTED);
        fwvisa_search search{};
        search.size = sizeof search;
        EXPECT_EQ(lib.fwvisa_search_lan(&search, nullptr, nullptr), FWVISA_E_UNSUPPORTED);
        EXPECT_EQ(lib.fwvisa_set_log_callback(nullptr, nullptr, FWVISA_LOG_ERROR),
                  FWVISA_E_UNSUPPORTED);
        EXPECT_EQ(lib.fwvisa_ext_version(), FWVISA_E_UNSUPPORTED);
    }
}

TEST(LoaderTest, MissingLibrariesAndNeededFunctionsAreNamed) {
    auto lib = visa::load_library("/nonexistent/libvisa.so");
    EXPECT_FALSE(lib.usable());
    EXPECT_NE(lib.error.find("cannot load the VISA library /nonexistent/libvisa.so: "),
              std::string::npos)
        << lib.error;
    ViSession rm = VI_NULL;
    EXPECT_EQ(lib.viOpenDefaultRM(&rm), VI_ERROR_LIBRARY_NFOUND);
    EXPECT_EQ(lib.viClose(rm), VI_ERROR_LIBRARY_NFOUND);

    lib = visa::load_library(PARTIAL_VISA_NO_LOCK_PATH);
    EXPECT_FALSE(lib.usable());
    EXPECT_EQ(lib.error, std::string("the VISA library ") + PARTIAL_VISA_NO_LOCK_PATH +
                             " lacks viLock, which this program needs");
    EXPECT_EQ(lib.viOpenDefaultRM(&rm), VI_ERROR_LIBRARY_NFOUND);
}

// A process running as root takes a library from the configuration file only
// when nobody else can have written or replaced it (file and folders,
// checked on what was opened), and loads that very file.
class RootLibraryTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/fwvisa-root-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        dir_ = pattern;
        ::chmod(dir_.c_str(), 0755);
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }
    static void Copy(const char* from, const std::string& path) {
        std::filesystem::copy_file(from, path);
        ::chmod(path.c_str(), 0755);
    }
    // The refusal without its head, or "" with the library loaded into `lib`.
    std::string Load(const std::string& library, visa::VisaLibrary* lib = nullptr) const {
        std::string refusal;
        const int fd = visa::open_config_library_as_root(library, "/c", refusal);
        if (fd < 0) return refusal.substr(("refusing library " + library + " from /c: ").size());
        if (lib) *lib = visa::load_library_fd(fd, library);
        ::close(fd);
        return {};
    }
    std::string dir_;
};

TEST_F(RootLibraryTest, RefusalsNameTheFileOrFolderAndTheRule) {
    EXPECT_EQ(Load("libx.so"), "not an absolute path (running as root)");
    const std::string sub = dir_ + "/lib", lib = sub + "/libx.so";
    std::filesystem::create_directory(sub);
    ::chmod(sub.c_str(), 0755);
    Copy(PARTIAL_VISA_PATH, lib);
    if (::geteuid() != 0) {
        EXPECT_EQ(Load(lib), "folder " + dir_ + " is not owned by root (running as root)");
        return;
    }
    visa::VisaLibrary loaded;
    ASSERT_EQ(Load(lib, &loaded), "");
    ViSession rm = VI_NULL;
    EXPECT_EQ(loaded.viOpenDefaultRM(&rm), VI_SUCCESS);
    EXPECT_EQ(rm, 7u);
    EXPECT_EQ(loaded.path, lib);

    ::chmod(lib.c_str(), 0775);
    EXPECT_EQ(Load(lib), lib + " is writable by group or others (running as root)");
    ::chmod(lib.c_str(), 0755);
    ::chmod(sub.c_str(), 0757);
    EXPECT_EQ(Load(lib), "folder " + sub + " is writable by group or others (running as root)");
    // Root's sticky folder, as /tmp: nobody can replace root's file in it.
    ::chmod(sub.c_str(), 01777);
    EXPECT_EQ(Load(lib), "");
    ASSERT_EQ(::chown(lib.c_str(), 65534, 65534), 0);
    EXPECT_EQ(Load(lib), lib + " is not owned by root (running as root)");
    ASSERT_EQ(::chown(lib.c_str(), 0, 0), 0);
    // Nor can another's symlink there choose where the path leads.
    std::filesystem::create_directory_symlink(".", sub + "/here");
    ASSERT_EQ(::lchown((sub + "/here").c_str(), 65534, 65534), 0);
    EXPECT_EQ(Load(sub + "/here/libx.so"),
              "symlink " + sub + "/here is not owned by root (running as root)");

    // A symlink at the library's path is refused; one among the folders is
    // followed, and where it leads is checked.
    std::filesystem::create_symlink(lib, dir_ + "/link.so");
    EXPECT_EQ(Load(dir_ + "/link.so"),
              dir_ + "/link.so is a symlink, which is not followed here (running as root)");
    std::filesystem::create_directory_symlink("lib", dir_ + "/current");
    ::chmod(sub.c_str(), 0777);
    EXPECT_EQ(Load(dir_ + "/current/libx.so"),
              "folder " + sub + " is writable by group or others (running as root)");
}

// The attack: another user owns the folder named in root's configuration
// and keeps swapping their own library with root's there. Never loaded.
TEST_F(RootLibraryTest, AnotherUsersFolderNeverGetsItsLibraryLoaded) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to act as another user";
    const std::string user = "fwvisa" + std::to_string(::getpid() % 100000);
    ASSERT_EQ(std::system(("useradd -M -N -s /usr/sbin/nologin " + user).c_str()), 0);
    struct Remove {
        std::string user;
        ~Remove() { std::system(("userdel " + user + " 2>/dev/null").c_str()); }
    } remove{user};
    const passwd* pw = ::getpwnam(user.c_str());
    ASSERT_NE(pw, nullptr);
    const std::string theirs = dir_ + "/theirs", lib = theirs + "/libvisa.so";
    const std::string evil = theirs + "/evil.so", aside = theirs + "/aside.so";
    std::filesystem::create_directory(theirs);
    Copy(PARTIAL_VISA_PATH, lib);  // root's own file, in their folder
    Copy(PARTIAL_VISA_NO_LOCK_PATH, evil);
    ASSERT_EQ(::chown(theirs.c_str(), pw->pw_uid, pw->pw_gid), 0);
    ASSERT_EQ(::chown(evil.c_str(), pw->pw_uid, pw->pw_gid), 0);

    const pid_t swapper = ::fork();
    ASSERT_GE(swapper, 0);
    if (swapper == 0) {
        if (::setgid(pw->pw_gid) != 0 || ::setuid(pw->pw_uid) != 0) ::_exit(1);
        for (int i = 0; i < 2000000; ++i) {
            ::rename(lib.c_str(), aside.c_str());
            ::rename(evil.c_str(), lib.c_str());
            ::rename(lib.c_str(), evil.c_str());
            ::rename(aside.c_str(), lib.c_str());
        }
        ::_exit(0);
    }
    int refused = 0;
    for (int attempt = 0; attempt < 300; ++attempt)
        refused += Load(lib) == "folder " + theirs + " is not owned by root (running as root)";
    ::kill(swapper, SIGKILL);
    ::waitpid(swapper, nullptr, 0);
    EXPECT_EQ(refused, 300);
}

}  // namespace
