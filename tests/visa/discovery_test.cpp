#include "visa/discovery.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

namespace visa {
namespace {

TEST(DiscoveryConfig, LinesInOrderCanonicalAndFiltered) {
    auto cfg = parse_discovery_config(
        "# bench\n"
        "TCPIP0::127.0.0.2::inst0::INSTR\n"
        "\n"
        "   tcpip::127.0.0.3   # trailing comment\r\n"
        "TCPIP0::127.0.0.4::5025::SOCKET\n"
        "not a resource\n"
        "USB0::0x1A2B::0x0C3D::SN1::INSTR\n"  // not a LAN instrument
        "TCPIP0::127.0.0.2::INSTR\n"          // same as the first, once
        "TCPIP0::127.0.0.5::inst0::INSTR");   // no final newline
    EXPECT_EQ(cfg.lan, (std::vector<std::string>{
                           "TCPIP0::127.0.0.2::inst0::INSTR", "TCPIP0::127.0.0.3::inst0::INSTR",
                           "TCPIP0::127.0.0.4::5025::SOCKET", "TCPIP0::127.0.0.5::inst0::INSTR"}));
    EXPECT_TRUE(cfg.serial);
    EXPECT_FALSE(parse_discovery_config("Serial = OFF\n").serial);
    EXPECT_TRUE(parse_discovery_config("serial=off\nserial = on\n").serial);
    EXPECT_TRUE(parse_discovery_config("").lan.empty());
}

TEST(DiscoverySerial, RealPortsOnlyNumberedFromOne) {
    namespace fs = std::filesystem;
    char tmpl[] = "/tmp/fwvisa-serial-test-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    fs::path root = tmpl;
    fs::create_directories(root / "dev");
    for (const char* n : {"ttyS0", "ttyS1", "ttyS10", "ttyUSB0", "ttyACM3", "ttySx", "tty0"})
        std::ofstream(root / "dev" / n).put('\n');
    // ttyS1 has no UART behind it.
    for (auto [n, type] : {std::pair{"ttyS0", "4"}, {"ttyS1", "0"}, {"ttyS10", "4"}}) {
        fs::create_directories(root / "sys" / n);
        std::ofstream(root / "sys" / n / "type") << type << "\n";
    }
    EXPECT_EQ(
        list_serial_ports((root / "dev").string(), (root / "sys").string()),
        (std::vector<std::string>{"ASRL1::INSTR", "ASRL2::INSTR", "ASRL3::INSTR", "ASRL4::INSTR"}));
    fs::remove_all(root);
}

}  // namespace
}  // namespace visa
