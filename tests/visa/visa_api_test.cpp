// The entry points as a program sees them: resource managers, discovery from
// the configuration file, handles, status texts.
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

class VisaApi : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/fwvisa-api-test-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        std::filesystem::create_directories(dir_ + "/firmware-update");
        setenv("XDG_CONFIG_HOME", dir_.c_str(), 1);
        write_config(
            "serial = off\n"
            "TCPIP0::127.0.0.2::inst0::INSTR\n"
            "TCPIP::127.0.0.3::5025::SOCKET\n"
            "TCPIP0::192.0.2.7::INSTR\n");
        ASSERT_EQ(viOpenDefaultRM(&rm_), VI_SUCCESS);
    }
    void TearDown() override {
        viClose(rm_);
        std::filesystem::remove_all(dir_);
    }
    void write_config(const std::string& text) {
        std::ofstream(dir_ + "/firmware-update/visa.conf") << text;
    }

    std::string dir_;
    ViSession rm_ = VI_NULL;
};

TEST_F(VisaApi, FindListsConfiguredInstrumentsInOrder) {
    ViFindList fl = VI_NULL;
    ViUInt32 count = 0;
    char desc[VI_FIND_BUFLEN];
    ASSERT_EQ(viFindRsrc(rm_, "?*INSTR", &fl, &count, desc), VI_SUCCESS);
    EXPECT_EQ(count, 2u);
    EXPECT_STREQ(desc, "TCPIP0::127.0.0.2::inst0::INSTR");
    ASSERT_EQ(viFindNext(fl, desc), VI_SUCCESS);
    EXPECT_STREQ(desc, "TCPIP0::192.0.2.7::inst0::INSTR");
    EXPECT_EQ(viFindNext(fl, desc), VI_ERROR_RSRC_NFOUND);

    ASSERT_EQ(viFindRsrc(rm_, "?*", nullptr, &count, desc), VI_SUCCESS);
    EXPECT_EQ(count, 3u);
    EXPECT_EQ(viFindRsrc(rm_, "USB?*", &fl, &count, desc), VI_ERROR_RSRC_NFOUND);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(viFindRsrc(rm_, "?*[", &fl, &count, desc), VI_ERROR_INV_EXPR);
}

TEST_F(VisaApi, NoConfigurationMeansNoLanInstruments) {
    std::filesystem::remove(dir_ + "/firmware-update/visa.conf");
    ViFindList fl;
    ViUInt32 count = 5;
    char desc[VI_FIND_BUFLEN];
    EXPECT_EQ(viFindRsrc(rm_, "TCPIP?*", &fl, &count, desc), VI_ERROR_RSRC_NFOUND);
}

TEST_F(VisaApi, ClosingTheManagerEndsItsFindListsOnly) {
    ViSession rm2;
    ASSERT_EQ(viOpenDefaultRM(&rm2), VI_SUCCESS);
    EXPECT_NE(rm2, rm_);
    ViFindList fl1, fl2;
    ViUInt32 count;
    char desc[VI_FIND_BUFLEN];
    ASSERT_EQ(viFindRsrc(rm_, "?*", &fl1, &count, desc), VI_SUCCESS);
    ASSERT_EQ(viFindRsrc(rm2, "?*", &fl2, &count, desc), VI_SUCCESS);
    EXPECT_EQ(viClose(rm2), VI_SUCCESS);
    EXPECT_EQ(viFindNext(fl2, desc), VI_ERROR_INV_OBJECT);
    EXPECT_EQ(viFindNext(fl1, desc), VI_SUCCESS);
    EXPECT_EQ(viClose(rm2), VI_ERROR_INV_OBJECT);
    EXPECT_EQ(viClose(fl1), VI_SUCCESS);
    EXPECT_EQ(viFindNext(fl1, desc), VI_ERROR_INV_OBJECT);
    EXPECT_EQ(viClose(VI_NULL), VI_WARN_NULL_OBJECT);
}

TEST_F(VisaApi, OpenRefusals) {
    ViSession vi = 123;
    EXPECT_EQ(viOpen(rm_, "TCPIP0::127.0.0.2::inst0::BOGUS", VI_NULL, 0, &vi),
              VI_ERROR_INV_RSRC_NAME);
    EXPECT_EQ(vi, ViSession(VI_NULL));
    EXPECT_EQ(viOpen(rm_, "USB0::0x1A2B::0x0C3D::SN1::INSTR", VI_NULL, 0, &vi),
              VI_ERROR_RSRC_NFOUND);
    EXPECT_EQ(viOpen(rm_, "ASRL1::INSTR", VI_NULL, 0, &vi), VI_ERROR_RSRC_NFOUND);
    EXPECT_EQ(viOpen(rm_, "TCPIP0::127.0.0.2::hislip0::INSTR", VI_NULL, 0, &vi),
              VI_ERROR_RSRC_NFOUND);
    EXPECT_EQ(viOpen(rm_, "TCPIP0::127.0.0.2::INSTR", VI_SHARED_LOCK, 0, &vi),
              VI_ERROR_INV_ACC_MODE);
    EXPECT_EQ(viOpen(999999, "TCPIP0::127.0.0.2::INSTR", VI_NULL, 0, &vi), VI_ERROR_INV_OBJECT);
}

TEST_F(VisaApi, SocketSessionEndToEnd) {
    // A listening socket is enough to open; the kernel accepts for us.
    int srv = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(srv, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    socklen_t len = sizeof addr;
    getsockname(srv, reinterpret_cast<sockaddr*>(&addr), &len);
    listen(srv, 4);
    std::string name = "tcpip::127.0.0.1::" + std::to_string(ntohs(addr.sin_port)) + "::socket";

    ViSession a, b;
    ASSERT_EQ(viOpen(rm_, name.c_str(), VI_NULL, 0, &a), VI_SUCCESS);
    ASSERT_EQ(viOpen(rm_, name.c_str(), VI_NULL, 0, &b), VI_SUCCESS);
    // Nobody answers on this peer: keep the closing handshake short.
    viSetAttribute(b, VI_ATTR_TMO_VALUE, 10);
    char text[256];
    ASSERT_EQ(viGetAttribute(a, VI_ATTR_RSRC_NAME, text), VI_SUCCESS);
    EXPECT_EQ(std::string(text),
              "TCPIP0::127.0.0.1::" + std::to_string(ntohs(addr.sin_port)) + "::SOCKET");
    ViUInt16 intf = 0;
    EXPECT_EQ(viGetAttribute(a, VI_ATTR_INTF_TYPE, &intf), VI_SUCCESS);
    EXPECT_EQ(intf, VI_INTF_TCPIP);

    EXPECT_EQ(viLock(a, VI_EXCLUSIVE_LOCK, 0, VI_NULL, VI_NULL), VI_SUCCESS);
    EXPECT_EQ(viLock(b, VI_EXCLUSIVE_LOCK, 0, VI_NULL, VI_NULL), VI_ERROR_TMO);
    ViUInt32 n;
    EXPECT_EQ(viWrite(b, reinterpret_cast<const ViByte*>("x"), 1, &n), VI_ERROR_RSRC_LOCKED);
    EXPECT_EQ(viWrite(a, reinterpret_cast<const ViByte*>("x"), 1, &n), VI_SUCCESS);

    viSetAttribute(a, VI_ATTR_TMO_VALUE, 0);
    ViByte buf[4];
    EXPECT_EQ(viRead(a, buf, sizeof buf, &n), VI_ERROR_TMO);
    EXPECT_EQ(n, 0u);

    // Closing the manager closes its sessions and frees their locks.
    ViSession rm2, c;
    ASSERT_EQ(viOpenDefaultRM(&rm2), VI_SUCCESS);
    ASSERT_EQ(viOpen(rm2, name.c_str(), VI_NULL, 0, &c), VI_SUCCESS);
    viSetAttribute(c, VI_ATTR_TMO_VALUE, 10);
    EXPECT_EQ(viClose(rm_), VI_SUCCESS);
    EXPECT_EQ(viGetAttribute(a, VI_ATTR_INTF_TYPE, &intf), VI_ERROR_INV_OBJECT);
    EXPECT_EQ(viLock(c, VI_EXCLUSIVE_LOCK, 0, VI_NULL, VI_NULL), VI_SUCCESS);
    EXPECT_EQ(viClose(rm2), VI_SUCCESS);
    ASSERT_EQ(viOpenDefaultRM(&rm_), VI_SUCCESS);  // for TearDown
    close(srv);
}

TEST_F(VisaApi, StatusDescriptions) {
    char desc[1024];
    EXPECT_EQ(viStatusDesc(rm_, VI_ERROR_RSRC_NFOUND, desc), VI_SUCCESS);
    EXPECT_EQ(std::string(desc).rfind("VI_ERROR_RSRC_NFOUND: ", 0), 0u);
    EXPECT_EQ(viStatusDesc(rm_, ViStatus(0xBFFF7777u), desc), VI_WARN_UNKNOWN_STATUS);
    EXPECT_LT(std::strlen(desc), 256u);
}

}  // namespace
