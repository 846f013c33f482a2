// The loader on its own: which library a run chooses, and what it makes of
// our own libfwvisa.so, of libraries that lack functions, and of ones that do
// not load. (The choice a whole process makes is tested through fwvisa-info.)
#include "visa/loader.h"

#include <gtest/gtest.h>

namespace {

TEST(LoaderTest, EnvironmentWinsOverConfigurationWhichWinsOverDefault) {
    auto c = visa::choose_library("/opt/x/libvisa.so", "/usr/lib/liby.so", "/cfg");
    EXPECT_EQ(c.path, "/opt/x/libvisa.so");
    EXPECT_EQ(c.source, "FW_VISA_LIBRARY");
    c = visa::choose_library("", "/usr/lib/liby.so", "/cfg");
    EXPECT_EQ(c.path, "/usr/lib/liby.so");
    EXPECT_EQ(c.source, "/cfg");
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

}  // namespace
