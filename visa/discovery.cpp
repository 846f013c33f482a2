// Discovery lists only what is known without a network scan:
//
// 1. The LAN instruments named in the configuration file
//    ${XDG_CONFIG_HOME:-$HOME/.config}/firmware-update/visa.conf, in the order
//    written, each in canonical form. The file holds one resource string per
//    line; '#' starts a comment, blank lines are ignored, a line that is not a
//    TCPIP resource string is skipped (logged, and kept in the parsed
//    configuration's `skipped` for fwvisa-info), a repeated resource is listed
//    once. A missing file lists no LAN instruments.
// 2. The USBTMC interfaces plugged in, each with its full canonical string
//    (ids in hex, serial, interface number). "usb = off" turns this off.
// 3. The serial ports present, as ASRL<n>::INSTR, after the others. A line
//    "serial = off" in the same file turns this off (tests do, so that the
//    machine's ports do not leak into their expectations).
//
// Example:
//   # bench instruments
//   TCPIP0::127.0.0.2::inst0::INSTR
//   tcpip::127.0.0.3            # listed as TCPIP0::127.0.0.3::inst0::INSTR
//   TCPIP0::127.0.0.4::5025::SOCKET
//   127.0.0.5                   # listed as TCPIP0::127.0.0.5::inst0::INSTR
//   serial = off
//
// 4. LAN discovery, off unless the file says "discover = lan": the find then
//    also lists the instruments that answer a VXI-11 broadcast or announce
//    themselves over mDNS, after the configured ones and without repeating
//    them, searching for "discover_window = <ms>" (100 to 10000, default
//    1000) and keeping what it found for 30 s. "discover = off" is the
//    default.
//
// The same file chooses the VISA implementation the programs use: a line
// "library = /path/to/libvisa.so" loads that one instead of the built-in
// library ("library = builtin" names the built-in one). See loader.cpp.

#include "visa/discovery.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <unordered_map>

#include "platform/small_file.h"
#include "platform/xdg.h"
#include "visa/log.h"
#include "visa/rsrc_name.h"
#include "visa/usbtmc/usb_pipe.h"

namespace visa {
namespace {

// Names this file's lines in the library's log.
constexpr char log_module[] = "visa.discovery";

std::string_view trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t' || s.front() == '\r'))
        s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r'))
        s.remove_suffix(1);
    return s;
}

std::string lowered_without_blanks(std::string_view s) {
    std::string out;
    for (char c : s)
        if (c != ' ' && c != '\t') out += char((c >= 'A' && c <= 'Z') ? c - 'A' + 'a' : c);
    return out;
}

// Numbers of the devices `prefix`<n> in `dev`, ascending.
std::vector<unsigned> device_numbers(const std::string& dev, const std::string& prefix) {
    std::vector<unsigned> out;
    DIR* d = ::opendir(dev.c_str());
    if (d == nullptr) return out;
    while (dirent* ent = ::readdir(d)) {
        std::string_view name = ent->d_name;
        if (name.size() <= prefix.size() || name.substr(0, prefix.size()) != prefix) continue;
        std::string_view num = name.substr(prefix.size());
        if (num.size() > 6 ||
            !std::all_of(num.begin(), num.end(), [](char c) { return c >= '0' && c <= '9'; }))
            continue;
        out.push_back(unsigned(std::stoul(std::string(num))));
    }
    ::closedir(d);
    std::sort(out.begin(), out.end());
    return out;
}

// The kernel makes ttyS nodes for every possible 8250 port; only those whose
// UART type is not 0 (unknown) are real.
bool uart_present(const std::string& sys, unsigned n) {
    std::ifstream type(sys + "/ttyS" + std::to_string(n) + "/type");
    if (!type) return true;  // no sysfs to ask: believe the node
    int value = 0;
    type >> value;
    return value != 0;
}

bool parse_window(std::string_view text, uint32_t* ms) {
    if (text.empty() || text.size() > 5 ||
        !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return false;
    const unsigned long value = std::stoul(std::string(text));
    if (value < lan::min_window_ms || value > lan::max_window_ms) return false;
    *ms = uint32_t(value);
    return true;
}

}  // namespace

std::string skip_reason_text(const SkippedLine& line) {
    switch (line.reason) {
        case SkippedLine::Reason::bad_setting:
            return "the value is neither on nor off";
        case SkippedLine::Reason::bad_discover:
            return "the value is neither lan nor off";
        case SkippedLine::Reason::bad_window:
            return "the window is not a number of milliseconds from " +
                   std::to_string(lan::min_window_ms) + " to " + std::to_string(lan::max_window_ms);
        case SkippedLine::Reason::not_a_resource:
            return "not a resource string";
        case SkippedLine::Reason::not_lan:
            return "not a LAN resource (USB instruments and serial ports are found without "
                   "being written here)";
        case SkippedLine::Reason::repeated:
            return "the same instrument as line " + std::to_string(line.first_line);
    }
    return "skipped";
}

namespace {

// A resource string, or a bare address as the programs take one: its
// VXI-11 instrument.
std::optional<RsrcName> parse_configured_resource(std::string_view line) {
    if (line.find("::") != std::string_view::npos) return parse_rsrc_name(line);
    return parse_rsrc_name("TCPIP0::" + std::string(line) + "::INSTR");
}

// For a line that is one of the settings ("usb =", "serial =", "discover =",
// "discover_window =", "library ="): applies it to `cfg`, or sets `bad` to
// why its value cannot be used, and answers true. False for any other line.
bool apply_setting(std::string_view line, DiscoveryConfig& cfg,
                   std::optional<SkippedLine::Reason>* bad) {
    const std::string key = lowered_without_blanks(line);
    const std::string_view value = std::string_view(key).substr(key.find('=') + 1);
    if (key.rfind("usb=", 0) == 0 || key.rfind("serial=", 0) == 0) {
        if (value != "on" && value != "off")
            *bad = SkippedLine::Reason::bad_setting;
        else
            (key[0] == 'u' ? cfg.usb : cfg.serial) = value == "on";
    } else if (key.rfind("discover=", 0) == 0) {
        if (value != "lan" && value != "off")
            *bad = SkippedLine::Reason::bad_discover;
        else
            cfg.discover_lan = value == "lan";
    } else if (key.rfind("discover_window=", 0) == 0) {
        uint32_t ms = 0;
        if (!parse_window(value, &ms))
            *bad = SkippedLine::Reason::bad_window;
        else
            cfg.discover_window_ms = ms;
    } else if (key.rfind("library=", 0) == 0) {
        cfg.library = std::string(trim(line.substr(line.find('=') + 1)));
    } else {
        return false;
    }
    return true;
}

}  // namespace

DiscoveryConfig parse_discovery_config(std::string_view text) {
    DiscoveryConfig cfg;
    // Canonical name -> the line that named it; a long file must not cost n^2.
    std::unordered_map<std::string, int> seen;
    int line_no = 0;
    auto skip = [&cfg, &line_no](std::string_view line, SkippedLine::Reason reason,
                                 int first_line = 0) {
        SkippedLine s{line_no, std::string(line), reason, first_line};
        log_warning(log_module, "visa.conf line %d skipped: %s: %.*s", line_no,
                    skip_reason_text(s).c_str(), int(line.size()), line.data());
        cfg.skipped.push_back(std::move(s));
    };
    while (!text.empty()) {
        size_t nl = text.find('\n');
        std::string_view line = text.substr(0, nl);
        text = nl == std::string_view::npos ? std::string_view{} : text.substr(nl + 1);
        ++line_no;
        line = trim(line.substr(0, line.find('#')));
        if (line.empty()) continue;
        std::optional<SkippedLine::Reason> bad;
        if (apply_setting(line, cfg, &bad)) {
            if (bad) skip(line, *bad);
            continue;
        }
        auto name = parse_configured_resource(line);
        if (!name) {
            skip(line, SkippedLine::Reason::not_a_resource);
            continue;
        }
        if (name->intf_type() != VI_INTF_TCPIP) {
            skip(line, SkippedLine::Reason::not_lan);
            continue;
        }
        std::string canonical = name->canonical();
        if (auto [at, added] = seen.emplace(canonical, line_no); !added)
            skip(line, SkippedLine::Reason::repeated, at->second);
        else
            cfg.lan.push_back(std::move(canonical));
    }
    return cfg;
}

std::string discovery_config_path(std::string* why) {
    std::string error;
    const std::optional<std::string> base =
        platform::xdg_base_dir(platform::XdgBase::config, &error);
    if (!base) {
        log(log_module, "no configuration file: %s", error.c_str());
        if (why) *why = error;
        return {};
    }
    return *base + "/firmware-update/visa.conf";
}

namespace {

std::optional<platform::SmallFile> read_config(const std::string& path, std::string* error) {
    // Opened without blocking and then insisted on as a regular file of a
    // sane size: a FIFO, a device or a huge file put there must not freeze
    // whoever asks for the list.
    std::string why;
    platform::ReadFailure failure{};
    auto file = platform::read_small_file(path, platform::small_file_cap, &why, &failure);
    if (!file && failure != platform::ReadFailure::missing) {
        log_warning(log_module, "%s: no LAN instruments listed", why.c_str());
        if (error) *error = why;
    }
    return file;
}

}  // namespace

DiscoveryConfig read_discovery_config(const std::string& path, bool* found, std::string* error) {
    auto file = read_config(path, error);
    *found = file.has_value();
    if (!file) return {};
    DiscoveryConfig cfg = parse_discovery_config(file->text);
    return cfg;
}

std::vector<std::string> list_serial_ports(const std::string& dev, const std::string& sys) {
    std::vector<std::string> out;
    unsigned board = 1;
    for (unsigned n : device_numbers(dev, "ttyS"))
        if (uart_present(sys, n)) out.push_back("ASRL" + std::to_string(board++) + "::INSTR");
    for (const char* prefix : {"ttyUSB", "ttyACM"})
        for (size_t i = device_numbers(dev, prefix).size(); i > 0; --i)
            out.push_back("ASRL" + std::to_string(board++) + "::INSTR");
    return out;
}

std::optional<std::string> read_config_file(const std::string& path, std::string* error) {
    auto file = read_config(path, error);
    if (!file) return std::nullopt;
    return std::move(file->text);
}

std::vector<std::string> list_usb_instruments() {
    std::vector<std::string> out;
    for (const auto& found : usbtmc::list_usbtmc_interfaces()) {
        RsrcName name;
        name.kind = RsrcKind::usb;
        name.usb_vendor = found.vendor;
        name.usb_model = found.product;
        name.usb_serial = found.serial;
        name.usb_interface = found.interface_number;
        if (!found.opened)
            log_warning(log_module,
                        "USB device /dev/bus/usb/%03u/%03u (0x%04X:0x%04X) cannot be opened (%s): "
                        "install the udev rule 70-fwvisa-usbtmc.rules",
                        unsigned(found.bus), unsigned(found.address), unsigned(found.vendor),
                        unsigned(found.product), found.open_failure.c_str());
        // A resource string cannot carry an empty serial or one with "::".
        std::string canonical = name.canonical();
        auto parsed = parse_rsrc_name(canonical);
        if (found.serial.empty() || !parsed || parsed->usb_serial != found.serial) {
            log_warning(
                log_module,
                "USB device /dev/bus/usb/%03u/%03u (0x%04X:0x%04X): no usable serial number, "
                "not listed",
                unsigned(found.bus), unsigned(found.address), unsigned(found.vendor),
                unsigned(found.product));
            continue;
        }
        out.push_back(std::move(canonical));
    }
    return out;
}

std::vector<std::string> discover_resources(bool lan_search) {
    std::string path = discovery_config_path();
    DiscoveryConfig cfg;
    if (auto text = read_config_file(path)) {
        cfg = parse_discovery_config(*text);
    } else {
        log(log_module, "no configuration at %s: no LAN instruments listed", path.c_str());
    }
    std::vector<std::string> out = std::move(cfg.lan);
    if (cfg.discover_lan && lan_search) {
        auto found = lan::new_resources(out, lan::recent_lan_search(cfg.discover_window_ms));
        out.insert(out.end(), found.begin(), found.end());
    }
    if (cfg.usb) {
        auto usb = list_usb_instruments();
        out.insert(out.end(), usb.begin(), usb.end());
    }
    if (cfg.serial) {
        auto serial = list_serial_ports("/dev", "/sys/class/tty");
        out.insert(out.end(), serial.begin(), serial.end());
    }
    return out;
}

namespace {

// Writes all of `text` to `fd`; false with errno set when it cannot.
bool write_all(int fd, const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += size_t(n);
    }
    return true;
}

}  // namespace

int append_to_config(const std::string& path, const std::vector<std::string>& resources,
                     std::string* error) {
    std::string why;
    platform::ReadFailure failure{};
    auto file = platform::read_small_file(path, platform::small_file_cap, &why, &failure);
    if (!file && failure != platform::ReadFailure::missing) {
        *error = why;
        return -1;
    }
    const std::string text = file ? file->text : std::string();
    const DiscoveryConfig cfg = parse_discovery_config(text);
    std::set<std::string> named(cfg.lan.begin(), cfg.lan.end());
    std::string lines;
    int added = 0;
    for (const std::string& r : resources) {
        auto name = parse_rsrc_name(r);
        if (!name || name->intf_type() != VI_INTF_TCPIP) continue;
        if (!named.insert(name->canonical()).second) continue;
        lines += name->canonical() + "\n";
        ++added;
    }
    if (added == 0) return 0;
    std::error_code ec;
    const std::filesystem::path folder = std::filesystem::path(path).parent_path();
    if (!folder.empty()) std::filesystem::create_directories(folder, ec);
    if (ec) {
        *error = "creating " + folder.string() + ": " + ec.message();
        return -1;
    }
    // Appended in place, never rewritten: every line and comment there stays
    // as it is, and a file another program holds open keeps its identity.
    // Not following a symlink and insisting on a regular file keep the write
    // where the read was.
    const int fd = ::open(
        path.c_str(),
        O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY, 0644);
    if (fd < 0) {
        *error = "writing " + path + ": " + std::strerror(errno);
        return -1;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        *error = "writing " + path + ": not a regular file";
        ::close(fd);
        return -1;
    }
    const std::string out = std::string(!text.empty() && text.back() != '\n' ? "\n" : "") +
                            "# found by LAN discovery\n" + lines;
    const bool written = write_all(fd, out);
    const int saved_errno = errno;
    if (::close(fd) != 0 || !written) {
        *error = "writing " + path + ": " + std::strerror(written ? errno : saved_errno);
        return -1;
    }
    return added;
}

}  // namespace visa
