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
// when nobody else can have written it or replaced it: checked on what was
// opened, file and folders, and that very file is what is loaded.
class RootLibraryTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/fwvisa-root-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        dir_ = pattern;
        ::chmod(dir_.c_str(), 0755);
        conf_ = dir_ + "/visa.conf";
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }

    // A copy of a test library at `path`, with `mode`.
    void Copy(const char* from, const std::string& path, mode_t mode = 0755) const {
        std::filesystem::copy_file(from, path, std::filesystem::copy_options::overwrite_existing);
        ::chmod(path.c_str(), mode);
    }
    // The refusal, or "" with the library loaded into `lib`.
    std::string Load(const std::string& library, visa::VisaLibrary* lib = nullptr) const {
        std::string refusal;
        const int fd = visa::open_config_library_as_root(library, conf_, refusal);
        if (fd < 0) return refusal;
        if (lib) *lib = visa::load_library_fd(fd, library);
        ::close(fd);
        return {};
    }
    std::string Head(const std::string& library) const {
        return "refusing library " + library + " from " + conf_ + ": ";
    }

    std::string dir_, conf_;
};

constexpr char kAsRoot[] = " (running as root)";

TEST_F(RootLibraryTest, RefusalsNameTheFileOrFolderAndTheRule) {
    EXPECT_EQ(Load("libx.so"), Head("libx.so") + "not an absolute path" + kAsRoot);
    const std::string gone = dir_ + "/gone.so";
    if (::geteuid() != 0) {
        // Ours, so not root's: whatever the bits, the folder already fails.
        const std::string lib = dir_ + "/libx.so";
        Copy(PARTIAL_VISA_PATH, lib);
        EXPECT_EQ(Load(lib), Head(lib) + "folder " + dir_ + " is not owned by root" + kAsRoot);
        return;
    }
    EXPECT_EQ(Load(gone), Head(gone) + gone + ": No such file or directory" + kAsRoot);
    const std::string sub = dir_ + "/lib";
    std::filesystem::create_directory(sub);
    ::chmod(sub.c_str(), 0755);
    const std::string lib = sub + "/libx.so";
    Copy(PARTIAL_VISA_PATH, lib);
    visa::VisaLibrary loaded;
    ASSERT_EQ(Load(lib, &loaded), "");
    ASSERT_TRUE(loaded.usable()) << loaded.error;
    EXPECT_EQ(loaded.path, lib);
    ViSession rm = VI_NULL;
    EXPECT_EQ(loaded.viOpenDefaultRM(&rm), VI_SUCCESS);
    EXPECT_EQ(rm, 7u);

    ::chmod(lib.c_str(), 0775);
    EXPECT_EQ(Load(lib), Head(lib) + lib + " is writable by group or others" + kAsRoot);
    ::chmod(lib.c_str(), 0755);
    ::chmod(sub.c_str(), 0757);
    EXPECT_EQ(Load(lib), Head(lib) + "folder " + sub + " is writable by group or others" + kAsRoot);
    // A sticky folder of root's, as /tmp: nobody can replace root's file in it.
    ::chmod(sub.c_str(), 01777);
    EXPECT_EQ(Load(lib), "");
    ASSERT_EQ(::chown(lib.c_str(), 65534, 65534), 0);
    EXPECT_EQ(Load(lib), Head(lib) + lib + " is not owned by root" + kAsRoot);
    ASSERT_EQ(::chown(lib.c_str(), 0, 0), 0);
    ::chmod(sub.c_str(), 0755);

    // A symlink at the library's path is refused, even to a good file; one
    // among the folders is followed, and where it leads is checked.
    const std::string link = dir_ + "/link.so";
    std::filesystem::create_symlink(lib, link);
    EXPECT_EQ(Load(link),
              Head(link) + link + " is a symlink, which is not followed here" + kAsRoot);
    std::filesystem::create_directory_symlink("lib", dir_ + "/current");
    EXPECT_EQ(Load(dir_ + "/current/libx.so"), "");
    ::chmod(sub.c_str(), 0777);
    EXPECT_EQ(Load(dir_ + "/current/libx.so"), Head(dir_ + "/current/libx.so") + "folder " + sub +
                                                   " is writable by group or others" + kAsRoot);
}

// The attack itself: another user owns the folder named in root's
// configuration and keeps swapping their own library with root's there.
// Not once is their file loaded.
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
    const uid_t uid = pw->pw_uid;
    const gid_t gid = pw->pw_gid;

    const std::string theirs = dir_ + "/theirs";
    std::filesystem::create_directory(theirs);
    ASSERT_EQ(::chown(theirs.c_str(), uid, gid), 0);
    ::chmod(theirs.c_str(), 0755);
    const std::string lib = theirs + "/libvisa.so";
    Copy(PARTIAL_VISA_PATH, lib);  // root's own file, in their folder
    Copy(PARTIAL_VISA_NO_LOCK_PATH, theirs + "/evil.so");
    ASSERT_EQ(::chown((theirs + "/evil.so").c_str(), uid, gid), 0);

    const pid_t swapper = ::fork();
    ASSERT_GE(swapper, 0);
    if (swapper == 0) {
        if (::setgid(gid) != 0 || ::setuid(uid) != 0) ::_exit(1);
        const std::string evil = theirs + "/evil.so", aside = theirs + "/aside.so";
        for (int i = 0; i < 2000000; ++i) {
            ::rename(lib.c_str(), aside.c_str());
            ::rename(evil.c_str(), lib.c_str());
            ::rename(lib.c_str(), evil.c_str());
            ::rename(aside.c_str(), lib.c_str());
        }
        ::_exit(0);
    }
    int refused = 0;
    for (int attempt = 0; attempt < 300; ++attempt) {
        visa::VisaLibrary loaded;
        const std::string refusal = Load(lib, &loaded);
        if (!refusal.empty()) {
            ++refused;
            EXPECT_EQ(refusal, Head(lib) + "folder " + theirs + " is not owned by root" + kAsRoot);
        } else {
            ADD_FAILURE() << "loaded from " << theirs << ": " << loaded.error;
        }
    }
    ::kill(swapper, SIGKILL);
    ::waitpid(swapper, nullptr, 0);
    EXPECT_EQ(refused, 300);
}

}  // namespace
