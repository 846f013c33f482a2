#include "visa/rsrc_name.h"

#include <gtest/gtest.h>

namespace visa {
namespace {

struct Canonical {
    const char* input;
    const char* canonical;
    RsrcKind kind;
};

TEST(RsrcName, ParsesAndCanonicalises) {
    const Canonical cases[] = {
        {"TCPIP0::127.0.0.2::inst0::INSTR", "TCPIP0::127.0.0.2::inst0::INSTR", RsrcKind::vxi11},
        {"TCPIP::127.0.0.2::INSTR", "TCPIP0::127.0.0.2::inst0::INSTR", RsrcKind::vxi11},
        {"TCPIP::127.0.0.2", "TCPIP0::127.0.0.2::inst0::INSTR", RsrcKind::vxi11},
        {"tcpip3::Host-A.example::INST1::instr", "TCPIP3::host-a.example::inst1::INSTR",
         RsrcKind::vxi11},
        {"TCPIP0::192.0.2.7::gpib0,5", "TCPIP0::192.0.2.7::gpib0,5::INSTR", RsrcKind::vxi11},
        {"TCPIP0::127.0.0.2::5025::SOCKET", "TCPIP0::127.0.0.2::5025::SOCKET", RsrcKind::socket},
        {"tcpip::localhost::5025::socket", "TCPIP0::localhost::5025::SOCKET", RsrcKind::socket},
        {"TCPIP0::127.0.0.2::hislip0::INSTR", "TCPIP0::127.0.0.2::hislip0::INSTR",
         RsrcKind::hislip},
        {"TCPIP0::127.0.0.2::HiSLIP0,4881::INSTR", "TCPIP0::127.0.0.2::hislip0,4881::INSTR",
         RsrcKind::hislip},
        {"USB::0x1A2B::0x0C3D::SN1::INSTR", "USB0::0x1A2B::0x0C3D::SN1::INSTR", RsrcKind::usb},
        {"usb1::6699::3133::SN1::2", "USB1::0x1A2B::0x0C3D::SN1::2::INSTR", RsrcKind::usb},
        {"USB0::0x1a2b::0x0c3d::abc-1::0::INSTR", "USB0::0x1A2B::0x0C3D::abc-1::0::INSTR",
         RsrcKind::usb},
        {"ASRL1::INSTR", "ASRL1::INSTR", RsrcKind::serial},
        {"asrl", "ASRL0::INSTR", RsrcKind::serial},
    };
    for (const auto& c : cases) {
        auto r = parse_rsrc_name(c.input);
        ASSERT_TRUE(r) << c.input;
        EXPECT_EQ(r->canonical(), c.canonical) << c.input;
        EXPECT_EQ(r->kind, c.kind) << c.input;
    }
}

TEST(RsrcName, FieldsAndAttributes) {
    auto vxi = parse_rsrc_name("TCPIP7::127.0.0.2::INSTR");
    ASSERT_TRUE(vxi);
    EXPECT_EQ(vxi->board, 7);
    EXPECT_EQ(vxi->host, "127.0.0.2");
    EXPECT_EQ(vxi->device_name, "inst0");
    EXPECT_STREQ(vxi->rsrc_class(), "INSTR");
    EXPECT_EQ(vxi->intf_type(), VI_INTF_TCPIP);

    auto sock = parse_rsrc_name("TCPIP0::127.0.0.2::65535::SOCKET");
    ASSERT_TRUE(sock);
    EXPECT_EQ(sock->port, 65535);
    EXPECT_STREQ(sock->rsrc_class(), "SOCKET");

    auto usb = parse_rsrc_name("USB0::0x1A2B::0x0C3D::SN1::INSTR");
    ASSERT_TRUE(usb);
    EXPECT_EQ(usb->usb_interface, -1);
    EXPECT_EQ(usb->intf_type(), VI_INTF_USB);
    EXPECT_EQ(parse_rsrc_name("ASRL4")->intf_type(), VI_INTF_ASRL);
}

TEST(RsrcName, RefusesMalformed) {
    const char* bad[] = {
        "",
        "TCPIP",                               // no host
        "TCPIP0::",                            // empty host
        "TCPIP0::::INSTR",                     // empty field
        "TCPIP0::127.0.0.2::",                 // trailing separator
        "TCPIP0::127.0.0.2::SOCKET",           // socket without port
        "TCPIP0::127.0.0.2::0::SOCKET",        // port 0
        "TCPIP0::127.0.0.2::65536::SOCKET",    // port too large
        "TCPIP0::127.0.0.2::50x5::SOCKET",     // port not a number
        "TCPIP0::127.0.0.2::inst0::INSTR::X",  // too many fields
        "TCPIP0::127.0.0.2::inst0::RAW",       // unknown class
        "TCPIPX::127.0.0.2::INSTR",            // board not a number
        "TCPIP-1::127.0.0.2::INSTR",
        "TCPIP99999::127.0.0.2::INSTR",    // board out of range
        "TCPIP0::127.0.0.2:5025::SOCKET",  // single colon in host
        "TCPIP0::host name::INSTR",        // blank in host
        "TCPIP0::127.0.0.2::hislip0,0::INSTR",
        "TCPIP0::127.0.0.2::hislip0,abc::INSTR",
        "USB0::0x1A2B::0x0C3D",              // no serial
        "USB0::0x1A2B::0x10000::SN::INSTR",  // id too large
        "USB0::0xZZ::0x0C3D::SN::INSTR",
        "USB0::0x1A2B::0x0C3D::SN::256::INSTR",
        "USB0::0x1A2B::0x0C3D::SN::0::INSTR::X",
        "ASRL1::SOCKET",
        "ASRL1::INSTR::X",
        "GPIB0::5::INSTR",  // no GPIB support in this library
        "::INSTR",
        "TCPIP0::127.0.0.2::inst0::INSTR\n",
    };
    for (const char* s : bad)
        EXPECT_FALSE(parse_rsrc_name(s)) << '"' << s << '"';
    EXPECT_FALSE(parse_rsrc_name(std::string(300, 'a')));
    // Short enough as written, too long once the defaults are spelled out.
    EXPECT_FALSE(parse_rsrc_name("TCPIP::" + std::string(240, 'h')));
    EXPECT_TRUE(parse_rsrc_name("TCPIP::" + std::string(200, 'h')));
}

}  // namespace
}  // namespace visa
