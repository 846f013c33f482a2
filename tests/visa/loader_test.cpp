// The loader on its own: which library a run chooses, and what it makes of
// our own libfwvisa.so, of libraries that lack functions, and of ones that do
// not load. (The choice a whole process makes is tested through fwvisa-info.)
#include "visa/loader.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

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
// when neither the file nor the library can have been changed by anyone else.
TEST(LoaderTest, RootRefusesALibraryAnotherUserCouldHaveWritten) {
    namespace fs = std::filesystem;
    const fs::path dir = fs::temp_directory_path() / ("fwvisa-root-" + std::to_string(::getpid()));
    fs::create_directories(dir);
    const std::string conf = (dir / "visa.conf").string();
    const std::string lib = (dir / "libx.so").string();
    std::ofstream(lib) << "not really";
    ::chmod(lib.c_str(), 0755);
    std::string resolved;
    auto refuse = [&](const std::string& library, unsigned owner, unsigned mode) {
        resolved.clear();
        return visa::refuse_config_library_as_root(library, conf, owner, mode, &resolved);
    };
    const std::string head = "refusing library " + lib + " from " + conf + ": ";

    EXPECT_EQ(refuse(lib, 1000, 0644), head + conf + " is not owned by root (running as root)");
    EXPECT_EQ(refuse(lib, 0, 0664),
              head + conf + " is writable by group or others (running as root)");
    EXPECT_EQ(refuse("libx.so", 0, 0644),
              "refusing library libx.so from " + conf + ": not an absolute path (running as root)");
    EXPECT_EQ(refuse(lib + ".gone", 0, 0644), "refusing library " + lib + ".gone from " + conf +
                                                  ": No such file or directory (running as root)");

    // A system library, owned by root and written by root alone, is taken,
    // at its resolved path.
    const std::string system_lib = "/usr/lib/x86_64-linux-gnu/libc.so.6";
    if (fs::exists(system_lib)) {
        EXPECT_EQ(refuse(system_lib, 0, 0644), "");
        EXPECT_EQ(resolved, fs::canonical(system_lib).string());
    }

    if (::geteuid() == 0) {
        // Ours, but writable by others; then owned by someone else, also
        // when reached through a symlink.
        ::chmod(lib.c_str(), 0757);
        EXPECT_EQ(refuse(lib, 0, 0644), head + "writable by group or others (running as root)");
        ::chmod(lib.c_str(), 0755);
        EXPECT_EQ(refuse(lib, 0, 0644), "");
        EXPECT_EQ(resolved, lib);
        ASSERT_EQ(::chown(lib.c_str(), 65534, 65534), 0);
        EXPECT_EQ(refuse(lib, 0, 0644), head + "not owned by root (running as root)");
        const std::string link = (dir / "link.so").string();
        fs::create_symlink(lib, link);
        EXPECT_EQ(refuse(link, 0, 0644), "refusing library " + link + " from " + conf + ": " + lib +
                                             " is not owned by root (running as root)");
    } else {
        // Ours, so not root's.
        EXPECT_EQ(refuse(lib, 0, 0644), head + "not owned by root (running as root)");
    }
    fs::remove_all(dir);
}

}  // namespace
