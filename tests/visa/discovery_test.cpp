#include "visa/discovery.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>

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
        "127.0.0.6\n"                         // a bare address, as the programs take it
        "TCPIP0::127.0.0.5::inst0::INSTR");   // no final newline
    EXPECT_EQ(cfg.lan, (std::vector<std::string>{
                           "TCPIP0::127.0.0.2::inst0::INSTR", "TCPIP0::127.0.0.3::inst0::INSTR",
                           "TCPIP0::127.0.0.4::5025::SOCKET", "TCPIP0::127.0.0.6::inst0::INSTR",
                           "TCPIP0::127.0.0.5::inst0::INSTR"}));
    EXPECT_TRUE(cfg.serial);
    // Every line not taken is kept with its number and why, for fwvisa-info.
    using Reason = SkippedLine::Reason;
    ASSERT_EQ(cfg.skipped.size(), 3u);
    EXPECT_EQ(cfg.skipped[0].number, 6);
    EXPECT_EQ(cfg.skipped[0].text, "not a resource");
    EXPECT_EQ(cfg.skipped[0].reason, Reason::not_a_resource);
    EXPECT_EQ(cfg.skipped[1].number, 7);
    EXPECT_EQ(cfg.skipped[1].reason, Reason::not_lan);
    EXPECT_EQ(cfg.skipped[2].number, 8);
    EXPECT_EQ(skip_reason_text(cfg.skipped[2]), "the same instrument as line 2");
    auto settings = parse_discovery_config("usb = maybe\nserial = off # quiet\nserial=1\n");
    ASSERT_EQ(settings.skipped.size(), 2u);
    EXPECT_EQ(settings.skipped[0].number, 1);
    EXPECT_EQ(settings.skipped[0].reason, Reason::bad_setting);
    EXPECT_EQ(settings.skipped[1].text, "serial=1");
    EXPECT_TRUE(settings.usb);
    EXPECT_FALSE(settings.serial);  // a bad line does not undo a good one
    EXPECT_FALSE(parse_discovery_config("Serial = OFF\n").serial);
    EXPECT_TRUE(parse_discovery_config("serial=off\nserial = on\n").serial);
    EXPECT_TRUE(parse_discovery_config("").lan.empty());
}

// A FIFO, a directory or a device where the file should be lists nothing,
// and at once: reading it must not wait for a writer that never comes.
TEST(DiscoveryConfig, OnlyARegularFileIsRead) {
    const auto dir =
        std::filesystem::temp_directory_path() / ("fwvisa-conf-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    const std::string fifo = (dir / "fifo.conf").string();
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    auto reading = std::async(std::launch::async, [&] { return read_config_file(fifo); });
    if (reading.wait_for(std::chrono::seconds(5)) != std::future_status::ready) {
        // Release the blocked reader before failing.
        int fd = ::open(fifo.c_str(), O_WRONLY);
        ::close(fd);
        FAIL() << "reading a FIFO blocked";
    }
    std::string error;
    EXPECT_FALSE(reading.get());
    EXPECT_FALSE(read_config_file(dir.string(), &error));
    EXPECT_EQ(error, "reading " + dir.string() + ": not a regular file (a directory)");
    error.clear();
    EXPECT_FALSE(read_config_file((dir / "absent.conf").string(), &error));
    EXPECT_EQ(error, "");  // missing is no fault: the defaults apply

    // A symlink to an endless device is refused before a byte is read.
    const std::string endless = (dir / "endless.conf").string();
    std::filesystem::create_symlink("/dev/urandom", endless);
    auto spinning = std::async(std::launch::async, [&] { return read_config_file(endless); });
    ASSERT_EQ(spinning.wait_for(std::chrono::seconds(5)), std::future_status::ready)
        << "reading /dev/urandom did not stop";
    EXPECT_FALSE(spinning.get());

    const std::string regular = (dir / "visa.conf").string();
    std::ofstream(regular) << "tcpip::127.0.0.9\n";
    EXPECT_EQ(read_config_file(regular), "tcpip::127.0.0.9\n");
    // Over 1 MiB is refused whole: half a file would list half the instruments.
    std::ofstream(regular, std::ios::app) << std::string(1 << 20, '#');
    bool found = true;
    auto cfg = read_discovery_config(regular, &found, &error);
    EXPECT_FALSE(found);
    EXPECT_TRUE(cfg.lan.empty());
    EXPECT_EQ(error, "reading " + regular + ": larger than 1048576 bytes");
    std::filesystem::remove_all(dir);
}

TEST(DiscoveryConfig, ManyRepeatsKeepTheFirstOfEach) {
    std::string text;
    for (int i = 0; i < 50000; ++i)
        text += "TCPIP0::127.0." + std::to_string(i % 250) + "." + std::to_string(i % 7 + 1) +
                "::inst0::INSTR\n";
    auto cfg = parse_discovery_config(text);
    ASSERT_EQ(cfg.lan.size(), 1750u);  // every pair of residues once
    EXPECT_EQ(cfg.lan.front(), "TCPIP0::127.0.0.1::inst0::INSTR");
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

TEST(DiscoveryConfig, LanDiscoveryKeys) {
    const auto off = parse_discovery_config("");
    EXPECT_FALSE(off.discover_lan);
    EXPECT_EQ(off.discover_window_ms, 1000u);
    const auto cfg = parse_discovery_config(
        "Discover = LAN\n"
        "discover_window = 2500\n"
        "discover = maybe\n"         // skipped: lan stays on
        "discover_window = 99\n"     // below the range
        "discover_window = 10001\n"  // above it
        "discover_window = 1e3\n"    // not a plain number
        "discover_window = 99999999999\n");
    EXPECT_TRUE(cfg.discover_lan);
    EXPECT_EQ(cfg.discover_window_ms, 2500u);
    ASSERT_EQ(cfg.skipped.size(), 5u);
    EXPECT_EQ(skip_reason_text(cfg.skipped[0]), "the value is neither lan nor off");
    for (size_t i = 1; i < 5; ++i)
        EXPECT_EQ(skip_reason_text(cfg.skipped[i]),
                  "the window is not a number of milliseconds from 100 to 10000")
            << cfg.skipped[i].text;
    EXPECT_FALSE(parse_discovery_config("discover = lan\ndiscover = off\n").discover_lan);
}

// The find with LAN discovery on: configured instruments first, then those a
// search found that are not configured, each once. The search result is put
// in place beforehand, so nothing is sent.
TEST(DiscoveryLan, FoundInstrumentsFollowTheConfiguredOnes) {
    namespace fs = std::filesystem;
    char tmpl[] = "/tmp/fwvisa-lan-test-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    const fs::path conf = fs::path(tmpl) / "firmware-update" / "visa.conf";
    fs::create_directories(conf.parent_path());
    const char* old_home = std::getenv("XDG_CONFIG_HOME");
    const std::string saved = old_home ? old_home : "";
    ::setenv("XDG_CONFIG_HOME", tmpl, 1);
    std::ofstream(conf) << "usb = off\nserial = off\ndiscover = lan\ntcpip::127.0.0.30\n";
    lan::keep_lan_search(lan::merge_found({
        {"TCPIP0::127.0.0.31::5025::SOCKET", "127.0.0.31", "mDNS _scpi-raw._tcp"},
        {"TCPIP0::127.0.0.30::inst0::INSTR", "127.0.0.30", "VXI-11 broadcast"},
    }));
    EXPECT_EQ(discover_resources(), (std::vector<std::string>{"TCPIP0::127.0.0.30::inst0::INSTR",
                                                              "TCPIP0::127.0.0.31::5025::SOCKET"}));
    EXPECT_EQ(discover_resources(/*lan_search=*/false),
              (std::vector<std::string>{"TCPIP0::127.0.0.30::inst0::INSTR"}));

    // Without an interface to broadcast on (the suite's own network
    // namespace) a find that has to search does not sit out its window (ten
    // seconds here): there is nothing to wait for.
    lan::forget_lan_search();
    if (lan::broadcast_destinations().empty()) {
        std::ofstream(conf, std::ios::app) << "discover_window = 10000\n";
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(discover_resources(),
                  (std::vector<std::string>{"TCPIP0::127.0.0.30::inst0::INSTR"}));
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    }
    lan::forget_lan_search();
    if (old_home)
        ::setenv("XDG_CONFIG_HOME", saved.c_str(), 1);
    else
        ::unsetenv("XDG_CONFIG_HOME");
    fs::remove_all(tmpl);
}

// --save: what is there stays byte for byte, and only what the file does not
// name yet is added.
TEST(DiscoveryConfig, AppendKeepsTheFileAndAddsOnlyNewResources) {
    namespace fs = std::filesystem;
    char tmpl[] = "/tmp/fwvisa-save-test-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    const std::string path = std::string(tmpl) + "/new/folder/visa.conf";
    std::string error;
    // Missing file and folder: made.
    EXPECT_EQ(append_to_config(path, {"TCPIP0::127.0.0.40::inst0::INSTR"}, &error), 1) << error;
    const std::string original = "# bench\ntcpip::127.0.0.41  # the old one\nserial = off";
    std::ofstream(path) << original;  // no final newline
    EXPECT_EQ(
        append_to_config(path,
                         {"TCPIP0::127.0.0.41::inst0::INSTR", "TCPIP0::127.0.0.42::inst0::INSTR",
                          "TCPIP0::127.0.0.42::inst0::INSTR", "not a resource"},
                         &error),
        1);
    EXPECT_EQ(append_to_config(path, {"TCPIP0::127.0.0.42::inst0::INSTR"}, &error), 0);
    std::ifstream in(path);
    const std::string text((std::istreambuf_iterator<char>(in)), {});
    EXPECT_EQ(text, original + "\n# found by LAN discovery\nTCPIP0::127.0.0.42::inst0::INSTR\n");
    // A file that cannot be read as configuration is not written either.
    const std::string dir_path = std::string(tmpl) + "/new";
    EXPECT_EQ(append_to_config(dir_path, {"TCPIP0::127.0.0.43::inst0::INSTR"}, &error), -1);
    EXPECT_EQ(error, "reading " + dir_path + ": not a regular file (a directory)");
    fs::remove_all(tmpl);
}

}  // namespace
}  // namespace visa
