// The calls a general VISA client makes beyond what the engine needs, through
// the loader as a program makes them (so also the built-in default): resource
// name parsing, the library's own attributes, buffers, triggers and the event
// calls that answer "none". A raw-socket session to a listener on 127.0.0.1
// stands in for an instrument.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "visa.h"

namespace {

class GeneralClient : public ::testing::Test {
protected:
    void SetUp() override {
        // The loader chooses once per process: the built-in library.
        unsetenv("FW_VISA_LIBRARY");
        char tmpl[] = "/tmp/fwvisa-general-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        setenv("XDG_CONFIG_HOME", dir_.c_str(), 1);
        listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ASSERT_EQ(::bind(listener_, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
        ASSERT_EQ(::listen(listener_, 4), 0);
        socklen_t len = sizeof addr;
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&addr), &len);
        rsrc_ = "TCPIP0::127.0.0.1::" + std::to_string(ntohs(addr.sin_port)) + "::SOCKET";
        ASSERT_EQ(viOpenDefaultRM(&rm_), VI_SUCCESS);
        ASSERT_EQ(viOpen(rm_, rsrc_.c_str(), VI_NULL, 2000, &vi_), VI_SUCCESS);
        // Closing waits this long for the listener, which never answers.
        ASSERT_EQ(viSetAttribute(vi_, VI_ATTR_TMO_VALUE, 50), VI_SUCCESS);
    }
    void TearDown() override {
        viClose(rm_);
        ::close(listener_);
        std::filesystem::remove_all(dir_);
    }

    std::string dir_, rsrc_;
    int listener_ = -1;
    ViSession rm_ = VI_NULL, vi_ = VI_NULL;
};

TEST_F(GeneralClient, ParsesResourceNamesWithoutOpeningThem) {
    ViUInt16 type = 0, board = 0;
    ViChar cls[VI_FIND_BUFLEN], expanded[VI_FIND_BUFLEN], alias[VI_FIND_BUFLEN] = "x";
    ASSERT_EQ(viParseRsrcEx(rm_, "tcpip3::192.0.2.7::instr", &type, &board, cls, expanded, alias),
              VI_SUCCESS);
    EXPECT_EQ(type, VI_INTF_TCPIP);
    EXPECT_EQ(board, 3);
    EXPECT_STREQ(cls, "INSTR");
    EXPECT_STREQ(expanded, "TCPIP3::192.0.2.7::inst0::INSTR");
    EXPECT_STREQ(alias, "");
    ASSERT_EQ(viParseRsrc(rm_, "ASRL2::INSTR", &type, &board), VI_SUCCESS);
    EXPECT_EQ(type, VI_INTF_ASRL);
    EXPECT_EQ(board, 2);
    // Optional outputs may be left out.
    EXPECT_EQ(
        viParseRsrcEx(rm_, "TCPIP::h::5025::SOCKET", nullptr, nullptr, nullptr, nullptr, nullptr),
        VI_SUCCESS);
    EXPECT_EQ(viParseRsrc(rm_, "TCPIP0::::INSTR", &type, &board), VI_ERROR_INV_RSRC_NAME);
    EXPECT_EQ(viParseRsrc(rm_, nullptr, &type, &board), VI_ERROR_INV_RSRC_NAME);
    EXPECT_EQ(viParseRsrc(vi_, "ASRL1::INSTR", &type, &board), VI_ERROR_INV_OBJECT);
}

TEST_F(GeneralClient, EveryObjectNamesTheLibraryAndItsVersion) {
    for (ViObject obj : {rm_, vi_}) {
        ViChar name[256] = {};
        ViVersion version = 0;
        EXPECT_EQ(viGetAttribute(obj, VI_ATTR_RSRC_MANF_NAME, name), VI_SUCCESS);
        EXPECT_STREQ(name, "fwvisa");
        EXPECT_EQ(viGetAttribute(obj, VI_ATTR_RSRC_IMPL_VERSION, &version), VI_SUCCESS);
        EXPECT_EQ(version, 0x00100000u);
        EXPECT_EQ(viSetAttribute(obj, VI_ATTR_RSRC_IMPL_VERSION, 2), VI_ERROR_ATTR_READONLY);
    }
    ViUInt32 tmo = 0;
    EXPECT_EQ(viGetAttribute(rm_, VI_ATTR_TMO_VALUE, &tmo), VI_ERROR_NSUP_ATTR);
    ViUInt16 prot = 0;
    EXPECT_EQ(viGetAttribute(vi_, VI_ATTR_IO_PROT, &prot), VI_SUCCESS);
    EXPECT_EQ(prot, VI_PROT_NORMAL);
    EXPECT_EQ(viSetAttribute(vi_, VI_ATTR_IO_PROT, 4), VI_ERROR_NSUP_ATTR_STATE);
    EXPECT_EQ(viSetAttribute(vi_, VI_ATTR_USER_DATA_32, 0x100000000ull), VI_ERROR_NSUP_ATTR_STATE);
}

TEST_F(GeneralClient, UnsupportedCallsSayWhatIsNotSupported) {
    ViUInt16 stb = 0;
    EXPECT_EQ(viReadSTB(vi_, &stb), VI_ERROR_NSUP_OPER);
    EXPECT_EQ(viReadSTB(vi_, nullptr), VI_ERROR_INV_PARAMETER);
    EXPECT_EQ(viAssertTrigger(vi_, VI_TRIG_PROT_DEFAULT), VI_ERROR_NSUP_OPER);
    EXPECT_EQ(viAssertTrigger(vi_, 5), VI_ERROR_INV_PROT);
    EXPECT_EQ(viTerminate(vi_, 0, 0), VI_ERROR_NSUP_OPER);
    EXPECT_EQ(viFlush(vi_, VI_READ_BUF | VI_WRITE_BUF_DISCARD), VI_SUCCESS);
    EXPECT_EQ(viFlush(vi_, VI_IO_IN_BUF_DISCARD), VI_ERROR_NSUP_OPER);
    EXPECT_EQ(viFlush(vi_, 0), VI_ERROR_INV_MASK);
    EXPECT_EQ(viFlush(vi_, 0x100), VI_ERROR_INV_MASK);

    // No events: none can be enabled, and "all enabled" finds none.
    EXPECT_EQ(viEnableEvent(vi_, VI_EVENT_SERVICE_REQ, VI_QUEUE, 0), VI_ERROR_INV_EVENT);
    EXPECT_EQ(viDisableEvent(vi_, VI_ALL_ENABLED_EVENTS, VI_ALL_MECH), VI_SUCCESS_EVENT_DIS);
    EXPECT_EQ(viDiscardEvents(vi_, VI_ALL_ENABLED_EVENTS, VI_ALL_MECH), VI_SUCCESS_QUEUE_EMPTY);
    ViEventType type = 1;
    ViEvent event = 1;
    EXPECT_EQ(viWaitOnEvent(vi_, VI_ALL_ENABLED_EVENTS, 0, &type, &event), VI_ERROR_NENABLED);
    EXPECT_EQ(type, 0u);
    EXPECT_EQ(event, VI_NULL);
    EXPECT_EQ(viInstallHandler(vi_, VI_EVENT_SERVICE_REQ, nullptr, nullptr), VI_ERROR_INV_EVENT);

    // A closed session is no session for any of them.
    ASSERT_EQ(viClose(vi_), VI_SUCCESS);
    EXPECT_EQ(viDisableEvent(vi_, VI_ALL_ENABLED_EVENTS, VI_ALL_MECH), VI_ERROR_INV_OBJECT);
    EXPECT_EQ(viWaitOnEvent(vi_, VI_ALL_ENABLED_EVENTS, 0, nullptr, nullptr), VI_ERROR_INV_OBJECT);
    EXPECT_EQ(viClear(vi_), VI_ERROR_INV_OBJECT);
    EXPECT_EQ(viFlush(vi_, VI_READ_BUF), VI_ERROR_INV_OBJECT);
    ViChar desc[256];
    EXPECT_EQ(viStatusDesc(rm_, VI_ERROR_INV_EVENT, desc), VI_SUCCESS);
    EXPECT_EQ(std::strncmp(desc, "VI_ERROR_INV_EVENT: ", 20), 0) << desc;
}

}  // namespace
