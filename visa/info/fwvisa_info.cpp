// fwvisa-info: what a person needs to know when instruments cannot be
// reached: which VISA library answers and its version, the configuration it
// read and every line of it that was skipped, the transports built in,
// whether each configured LAN instrument answers (portmapper, then a real
// open through the library in use, then *IDN?), USB instruments, whether
// this user may open them and who they say they are, and the serial ports
// with whether the library can open them. Of the LAN instruments only those
// named in the configuration file are contacted. The exit status tells a
// script whether everything configured was reached (see exit_status).
//
// With --discover it does something else: it searches the LAN once (the
// VXI-11 broadcast and mDNS, whatever the configuration file says), prints
// each instrument found on a line of its own, and with --save adds those the
// file does not name yet to it.

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string>
#include <string_view>
#include <vector>

#include "platform/option_parser.h"
#include "platform/shown_text.h"
#include "visa.h"
#include "visa/discovery.h"
#include "visa/info/usb_scan.h"
#include "visa/lan/lan_discovery.h"
#include "visa/lan/mdns.h"
#include "visa/library_info.h"
#include "visa/loader.h"
#include "visa/log.h"
#include "visa/net.h"
#include "visa/rsrc_name.h"
#include "visa/transports.h"
#include "visa/vxi11/portmap_client.h"
#include "visa/vxi11/rpc_wire.h"

namespace {

// The rule the package installs so that ordinary users may open USB
// instruments.
constexpr char udev_rule[] = "70-fwvisa-usbtmc.rules";

// The exit statuses, as the manual page lists them.
enum ExitStatus {
    exit_ok = 0,           // the library loaded and every configured instrument answered
    exit_no_library = 1,   // the VISA library (or its resource manager) is not usable
    exit_usage = 2,        // a bad option
    exit_unreachable = 3,  // a configured LAN instrument could not be opened or did not answer
    exit_not_saved = 4,    // --save could not write the configuration file
};

// More skipped configuration lines than this are counted, not listed: a
// file of junk must not bury the rest of the report.
constexpr size_t skipped_lines_shown = 20;
// Of a skipped line or a reply, this many characters are shown.
constexpr size_t text_shown = 100;

struct Options {
    uint32_t timeout_ms = 2000;
    bool help = false;
    bool version = false;
    bool discover = false;
    uint32_t discover_window_ms = 0;  // 0: the configuration file's, else the default
    bool save = false;
};

// A number of milliseconds from `low` to `high`, or a usage error that names
// the option.
uint32_t parse_ms(const std::string& option, const std::string& value, unsigned long low,
                  unsigned long high) {
    char* end = nullptr;
    const unsigned long ms = std::strtoul(value.c_str(), &end, 10);
    if (value.empty() || value[0] < '0' || value[0] > '9' || *end != '\0' || ms < low || ms > high)
        throw platform::UsageError(option + " needs MS from " + std::to_string(low) + " to " +
                                   std::to_string(high) + ", not '" + value + "'");
    return uint32_t(ms);
}

// The command line, which also prints --help.
void define_options(CLI::App& app, Options& o) {
    app.name("fwvisa-info");
    app.description(
        "Usage: fwvisa-info [OPTION]...\n"
        "Shows the VISA library in use, the configuration it read, the transports,\n"
        "whether each configured LAN instrument answers, USB instruments and serial ports.");
    app.footer(
        "The library is chosen by FW_VISA_LIBRARY, else by the configuration file's\n"
        "\"library =\" line, else the built-in one is used. --discover sends a broadcast\n"
        "and asks avahi-daemon: it looks beyond the instruments the file names.");
    app.set_help_flag();
    app.formatter(std::make_shared<platform::HelpFormatter>(18, 80));
    platform::add_value(
        app, "--timeout", "MS", "how long to wait for each instrument (1-60000, default 2000)",
        [&o](const std::string& value) { o.timeout_ms = parse_ms("--timeout", value, 1, 60000); });
    platform::add_flag(app, "--discover",
                       "instead of the report, search the LAN once (VXI-11 broadcast and mDNS) "
                       "and print each instrument found",
                       o.discover);
    platform::add_value(app, "--discover-window", "MS",
                        "with --discover, how long to collect answers (100-10000, default the "
                        "configuration file's discover_window, else 1000)",
                        [&o](const std::string& value) {
                            o.discover_window_ms =
                                parse_ms("--discover-window", value, visa::lan::min_window_ms,
                                         visa::lan::max_window_ms);
                        });
    platform::add_flag(app, "--save",
                       "with --discover, add the instruments found that the configuration file "
                       "does not name to it, keeping its lines",
                       o.save);
    platform::add_flag(app, "-h,--help", "show this help and exit", o.help);
    platform::add_flag(app, "--version", "show the version and exit", o.version);
}

std::string version_text(ViVersion v) {
    return std::to_string(v >> 20) + "." + std::to_string((v >> 8) & 0xFFF) + "." +
           std::to_string(v & 0xFF);
}

std::string status_text(ViStatus st) {
    ViChar desc[257] = {};
    viStatusDesc(VI_NULL, st, desc);
    return desc;
}

// Why `st` happened. The built-in library's detail (address, port, cause) is
// given after the status's name, without the standard sentence, which tells
// someone checking cables and addresses nothing; another library's
// description is given whole.
std::string failure_text(ViStatus st) {
    std::string desc = status_text(st);
    if (!visa::active_choice().path.empty()) return desc;
    const std::string detail = visa::failure_detail(st);
    if (detail.empty()) return desc;
    return desc.substr(0, desc.find(':')) + ": " + detail;
}

// Asks the portmapper at host:111 for the VXI-11 core port. Returns a line
// for the report.
std::string portmapper_check(const std::string& host, uint32_t timeout_ms) {
    using namespace visa;
    sockaddr_in addr;
    if (!net::resolve_ipv4(host, vxi11::rpc::pmap_port, &addr))
        return "not reachable: " + failure_detail(VI_ERROR_RSRC_NFOUND);
    uint16_t port = 0;
    ViStatus st = VI_SUCCESS;
    switch (
        vxi11::query_core_port(addr, uint32_t(::getpid()), net::Deadline(timeout_ms), &port, &st)) {
        case vxi11::PortQuery::port:
            return port != 0 ? net::addr_text(addr) + " answers: VXI-11 core on port " +
                                   std::to_string(port)
                             : net::addr_text(addr) + " answers, but no VXI-11 core is registered";
        case vxi11::PortQuery::no_connection:
            // This probe runs in this process's own library, whose connection
            // left its cause (refused, no route, silent) as the failure detail.
            return "not reachable: " + failure_detail(VI_ERROR_RSRC_NFOUND);
        case vxi11::PortQuery::no_answer:
            if (st == VI_ERROR_TMO)
                return "no reply from " + net::addr_text(addr) + " in " +
                       net::seconds_text(timeout_ms);
            [[fallthrough]];
        default:
            return "no usable answer from " + net::addr_text(addr);
    }
}

// Outside text (a device's strings, a file's lines, paths, what the
// library in use says) as printed: its control characters written out.
std::string shown(std::string_view text) {
    return platform::escape_controls(text);
}

// `text` made fit for one line of the report: controls written out, and a
// long text cut with "...".
std::string printable(std::string_view text) {
    std::string out = platform::escape_controls(text.substr(0, text_shown));
    if (text.size() > text_shown) out += "...";
    return out;
}

// Asks an open instrument who it is. True with its reply in `*said`, or
// false with why there is none.
bool ask_identity(ViSession vi, uint32_t timeout_ms, std::string* said) {
    viSetAttribute(vi, VI_ATTR_TMO_VALUE, timeout_ms);
    // A raw socket has no END: its reply ends with the line feed.
    viSetAttribute(vi, VI_ATTR_TERMCHAR, '\n');
    viSetAttribute(vi, VI_ATTR_TERMCHAR_EN, VI_TRUE);
    static constexpr char query[] = "*IDN?\n";
    ViUInt32 count = 0;
    ViStatus st =
        viWrite(vi, reinterpret_cast<ViConstBuf>(query), ViUInt32(sizeof query - 1), &count);
    if (st == VI_ERROR_TMO) {
        *said = "*IDN? not taken in " + visa::net::seconds_text(timeout_ms);
        return false;
    }
    if (st < VI_SUCCESS) {
        *said = "sending *IDN? failed: " + failure_text(st);
        return false;
    }
    ViByte reply[512];
    st = viRead(vi, reply, sizeof reply, &count);
    if (st == VI_ERROR_TMO) {
        *said = "no reply in " + visa::net::seconds_text(timeout_ms);
        return false;
    }
    if (st < VI_SUCCESS) {
        *said = "reading the reply failed: " + failure_text(st);
        return false;
    }
    std::string_view text(reinterpret_cast<const char*>(reply), count);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
        text.remove_suffix(1);
    *said = printable(text);
    return true;
}

// Opens the resource through the library in use, asks *IDN? and closes it
// again. True when the instrument answered.
bool probe_instrument(ViSession rm, const std::string& rsrc, uint32_t timeout_ms) {
    ViSession vi = VI_NULL;
    // The library's description of a failed open carries the cause it found
    // at the failure (address, port, refused or silent).
    const ViStatus st = viOpen(rm, rsrc.c_str(), VI_NULL, timeout_ms, &vi);
    if (st < VI_SUCCESS) {
        std::printf("    open:          failed: %s\n", shown(failure_text(st)).c_str());
        return false;
    }
    std::printf("    open:          opened\n");
    std::string said;
    const bool answered = ask_identity(vi, timeout_ms, &said);
    std::printf("    *IDN?:         %s\n", said.c_str());
    viClose(vi);
    return answered;
}

void report_library(ViSession* rm) {
    const auto& choice = visa::active_choice();
    const auto& lib = visa::active_library();
    std::printf("VISA library\n");
    if (choice.path.empty())
        std::printf("  in use:          built-in (%s)\n", visa::library_name_and_version());
    else
        std::printf("  in use:          %s\n", shown(choice.path).c_str());
    std::printf("  chosen by:       %s\n", shown(choice.source).c_str());
    if (!lib.usable()) {
        // Through viStatusDesc, as every program reports it.
        std::printf("  error:           %s\n", status_text(VI_ERROR_LIBRARY_NFOUND).c_str());
        return;
    }
    ViStatus st = viOpenDefaultRM(rm);
    if (st < VI_SUCCESS) {
        std::printf("  error:           viOpenDefaultRM failed: %s\n", status_text(st).c_str());
        *rm = VI_NULL;
        return;
    }
    ViChar manufacturer[257] = {};
    if (viGetAttribute(*rm, VI_ATTR_RSRC_MANF_NAME, manufacturer) == VI_SUCCESS)
        std::printf("  manufacturer:    %s\n", shown(manufacturer).c_str());
    ViVersion version = 0;
    if (viGetAttribute(*rm, VI_ATTR_RSRC_IMPL_VERSION, &version) == VI_SUCCESS)
        std::printf("  version:         %s (0x%08X)\n", version_text(version).c_str(), version);
    if (viGetAttribute(*rm, VI_ATTR_RSRC_SPEC_VERSION, &version) == VI_SUCCESS)
        std::printf("  VISA standard:   %s\n", version_text(version).c_str());
}

// The configuration file's lines that were not taken, each with its number
// and why.
void report_skipped(const std::vector<visa::SkippedLine>& skipped) {
    if (skipped.empty()) return;
    std::printf("  skipped lines:   %zu\n", skipped.size());
    for (size_t i = 0; i < skipped.size() && i < skipped_lines_shown; ++i)
        std::printf("    line %d: %s: %s\n", skipped[i].number, printable(skipped[i].text).c_str(),
                    visa::skip_reason_text(skipped[i]).c_str());
    if (skipped.size() > skipped_lines_shown)
        std::printf("    (and %zu more)\n", skipped.size() - skipped_lines_shown);
}

visa::DiscoveryConfig report_config() {
    std::string no_folder;
    const std::string path = visa::discovery_config_path(&no_folder);
    std::printf("\nConfiguration\n");
    visa::DiscoveryConfig cfg;
    if (path.empty()) {
        // Without HOME (or an absolute XDG_CONFIG_HOME) there is no file to
        // read, which is worth saying rather than printing an empty path.
        std::printf("  file:            none: no configuration folder (%s); defaults in use\n",
                    shown(no_folder).c_str());
    } else {
        bool found = false;
        std::string refused;
        cfg = visa::read_discovery_config(path, &found, &refused);
        std::printf("  file:            %s (%s)\n", shown(path).c_str(),
                    found             ? "read"
                    : refused.empty() ? "not present: defaults in use"
                                      : shown("refused: " + refused + "; defaults in use").c_str());
    }
    std::printf("  library line:    %s\n",
                cfg.library.empty() ? "(none)" : shown(cfg.library).c_str());
    const char* env = std::getenv("FW_VISA_LIBRARY");
    std::printf("  FW_VISA_LIBRARY: %s\n",
                env != nullptr && *env ? shown(env).c_str() : "(not set)");
    std::printf("  LAN instruments: %zu configured\n", cfg.lan.size());
    std::printf("  serial listing:  %s\n", cfg.serial ? "on" : "off");
    if (cfg.discover_lan) {
        std::printf("  LAN discovery:   on (window %s)\n",
                    visa::net::seconds_text(cfg.discover_window_ms).c_str());
        // Only asks the daemon whether it is there: nothing goes on the network.
        const std::string skipped = visa::lan::mdns_browse(0).skipped;
        std::printf("  mDNS:            %s\n", skipped.empty()
                                                   ? "through avahi-daemon"
                                                   : (skipped + ": VXI-11 broadcast only").c_str());
    } else
        std::printf("  LAN discovery:   off\n");
    report_skipped(cfg.skipped);
    return cfg;
}

void report_transports() {
    struct Kind {
        visa::RsrcKind kind;
        const char* name;
    };
    constexpr Kind kinds[] = {{visa::RsrcKind::vxi11, "VXI-11"},
                              {visa::RsrcKind::hislip, "HiSLIP"},
                              {visa::RsrcKind::socket, "raw socket"},
                              {visa::RsrcKind::usb, "USBTMC"},
                              {visa::RsrcKind::serial, "serial"}};
    std::printf("\nTransports of the built-in library\n");
    for (const auto& k : kinds)
        std::printf("  %-16s %s\n", (std::string(k.name) + ":").c_str(),
                    visa::make_transport(k.kind) ? "available" : "not built in");
    if (!visa::active_choice().path.empty())
        std::printf("  (the library in use is %s; its transports are its own)\n",
                    shown(visa::active_choice().path).c_str());
}

// Returns how many configured instruments were not reached.
size_t report_lan(const visa::DiscoveryConfig& cfg, ViSession rm, uint32_t timeout_ms) {
    std::printf("\nLAN instruments (from the configuration file)\n");
    if (cfg.lan.empty()) std::printf("  none configured\n");
    size_t unreached = 0;
    for (const auto& rsrc : cfg.lan) {
        std::printf("  %s\n", shown(rsrc).c_str());
        auto name = visa::parse_rsrc_name(rsrc);
        if (name && name->kind == visa::RsrcKind::vxi11)
            std::printf("    portmapper:    %s\n",
                        portmapper_check(name->host, timeout_ms).c_str());
        if (rm == VI_NULL) {
            std::printf("    open:          not tried: no VISA library to open it with\n");
            ++unreached;
        } else if (!probe_instrument(rm, rsrc, timeout_ms)) {
            ++unreached;
        }
    }
    return unreached;
}

// The USB resources the library in use lists.
std::vector<std::string> library_usb_resources(ViSession rm) {
    std::vector<std::string> out;
    ViFindList list = VI_NULL;
    ViUInt32 count = 0;
    ViChar name[VI_FIND_BUFLEN] = {};
    if (viFindRsrc(rm, "USB?*INSTR", &list, &count, name) < VI_SUCCESS) return out;
    for (ViUInt32 i = 0; i < count; ++i) {
        if (i > 0 && viFindNext(list, name) < VI_SUCCESS) break;
        out.emplace_back(name);
    }
    viClose(list);
    return out;
}

// Opens a USB instrument through the library in use and prints who it says
// it is: the device's own strings where it has them, and its ids.
void print_usb_identity(ViSession rm, const std::string& rsrc, uint32_t timeout_ms) {
    ViSession vi = VI_NULL;
    ViStatus st = viOpen(rm, rsrc.c_str(), VI_NULL, timeout_ms, &vi);
    if (st < VI_SUCCESS) {
        std::printf("    open:          failed: %s\n", shown(failure_text(st)).c_str());
        return;
    }
    auto line = [vi](const char* label, ViAttr name_attr, ViAttr id_attr) {
        ViChar text[257] = {};
        ViUInt16 id = 0;
        const bool named = viGetAttribute(vi, name_attr, text) == VI_SUCCESS && text[0] != '\0';
        const bool numbered = viGetAttribute(vi, id_attr, &id) == VI_SUCCESS;
        if (named && numbered)
            std::printf("    %-14s %s (0x%04X)\n", label, shown(text).c_str(), unsigned(id));
        else if (numbered)
            std::printf("    %-14s 0x%04X (the device gives no name)\n", label, unsigned(id));
        else if (named)
            std::printf("    %-14s %s\n", label, shown(text).c_str());
    };
    line("manufacturer:", VI_ATTR_MANF_NAME, VI_ATTR_MANF_ID);
    line("model:", VI_ATTR_MODEL_NAME, VI_ATTR_MODEL_CODE);
    ViChar serial[257] = {};
    if (viGetAttribute(vi, VI_ATTR_USB_SERIAL_NUM, serial) == VI_SUCCESS)
        std::printf("    serial:        %s\n", shown(serial).c_str());
    viClose(vi);
}

void report_usb(ViSession rm, uint32_t timeout_ms) {
    std::printf("\nUSB instruments\n");
    auto found = visa::info::scan_usbtmc("/sys/bus/usb/devices", "");
    // The library may list instruments that sysfs does not show here (its
    // own discovery, or another vendor's): those are reported after.
    std::vector<std::string> listed;
    if (rm != VI_NULL) listed = library_usb_resources(rm);
    if (found.empty() && listed.empty()) std::printf("  none found\n");
    for (const auto& u : found) {
        char line[160];
        std::snprintf(line, sizeof line, "USB0::0x%04X::0x%04X::%s::%u::INSTR", u.vendor, u.product,
                      u.serial.empty() ? "?" : u.serial.c_str(), u.interface);
        std::printf("  %s  %s\n", shown(line).c_str(), shown(u.device_node).c_str());
        listed.erase(std::remove(listed.begin(), listed.end(), line), listed.end());
        if (::access(u.device_node.c_str(), R_OK | W_OK) != 0) {
            std::printf(
                "    access:        this user may not open it (%s): install the udev rule %s\n"
                "                   into /usr/lib/udev/rules.d/ (the package does), then replug\n",
                std::strerror(errno), udev_rule);
            continue;
        }
        std::printf("    access:        this user may open it\n");
        if (rm != VI_NULL && !u.serial.empty()) print_usb_identity(rm, line, timeout_ms);
    }
    for (const auto& rsrc : listed) {
        std::printf("  %s  (listed by the library)\n", shown(rsrc).c_str());
        print_usb_identity(rm, rsrc, timeout_ms);
    }
}

// Lists the serial ports present, each with whether the library in use can
// open it: a port it cannot open is no use to the programs, whatever /dev says.
void report_serial(const visa::DiscoveryConfig& cfg, ViSession rm, uint32_t timeout_ms) {
    std::printf("\nSerial ports\n");
    if (!cfg.serial) {
        std::printf("  not listed: \"serial = off\" in the configuration file\n");
        return;
    }
    auto ports = visa::list_serial_ports("/dev", "/sys/class/tty");
    if (ports.empty()) std::printf("  none found\n");
    for (const auto& p : ports) {
        if (rm == VI_NULL) {
            std::printf("  %s  not openable: no VISA library to open it with\n", shown(p).c_str());
            continue;
        }
        ViSession vi = VI_NULL;
        const ViStatus st = viOpen(rm, p.c_str(), VI_NULL, timeout_ms, &vi);
        if (st < VI_SUCCESS) {
            std::printf("  %s  not openable: %s\n", shown(p).c_str(),
                        shown(failure_text(st)).c_str());
            continue;
        }
        viClose(vi);
        std::printf("  %s  the library can open it\n", shown(p).c_str());
    }
}

// --discover: one search, its findings on standard output, what was asked
// and what could not be on standard error.
int discover(const Options& options) {
    std::string no_folder;
    const std::string path = visa::discovery_config_path(&no_folder);
    uint32_t window_ms = options.discover_window_ms;
    if (window_ms == 0) {
        bool found = false;
        window_ms = path.empty() ? visa::lan::default_window_ms
                                 : visa::read_discovery_config(path, &found).discover_window_ms;
    }
    const visa::lan::LanSearch search = visa::lan::search_lan(window_ms);
    if (search.broadcast_to.empty())
        std::fprintf(stderr,
                     "fwvisa-info: no up, broadcast-capable IPv4 interface: nothing to search\n");
    for (const std::string& to : search.broadcast_to)
        std::fprintf(stderr, "fwvisa-info: VXI-11 broadcast to %s\n", shown(to).c_str());
    if (!search.mdns_skipped.empty())
        std::fprintf(stderr, "fwvisa-info: mDNS skipped: %s\n", search.mdns_skipped.c_str());
    for (const visa::lan::Found& f : search.found)
        std::printf("%s  %s\n", shown(f.resource).c_str(), shown(f.how).c_str());
    std::fflush(stdout);
    if (!search.broadcast_to.empty())
        std::fprintf(stderr, "fwvisa-info: %zu found in %s\n", search.found.size(),
                     visa::net::seconds_text(window_ms).c_str());
    if (!options.save) return exit_ok;
    if (path.empty()) {
        std::fprintf(stderr, "fwvisa-info: not saved: no configuration folder (%s)\n",
                     shown(no_folder).c_str());
        return exit_not_saved;
    }
    std::vector<std::string> resources;
    for (const visa::lan::Found& f : search.found)
        resources.push_back(f.resource);
    std::string error;
    const int added = visa::append_to_config(path, resources, &error);
    if (added < 0) {
        std::fprintf(stderr, "fwvisa-info: not saved: %s\n", shown(error).c_str());
        return exit_not_saved;
    }
    std::fprintf(stderr, "fwvisa-info: %d added to %s\n", added, shown(path).c_str());
    return exit_ok;
}

int run(int argc, char** argv) {
    Options options;
    CLI::App app;
    define_options(app, options);
    const std::string error = platform::parse(app, std::vector<std::string>(argv + 1, argv + argc));
    if (!error.empty()) {
        std::fprintf(stderr, "fwvisa-info: %s (see --help)\n", shown(error).c_str());
        return exit_usage;
    }
    if (options.help) {
        std::fputs(app.help().c_str(), stdout);
        return 0;
    }
    if (options.version) {
        std::printf("fwvisa-info %s\n", visa::library_name_and_version());
        return 0;
    }

    if ((options.save || options.discover_window_ms != 0) && !options.discover) {
        std::fprintf(stderr, "fwvisa-info: %s applies to --discover (see --help)\n",
                     options.save ? "--save" : "--discover-window");
        return exit_usage;
    }
    if (options.discover) return discover(options);

    ViSession rm = VI_NULL;
    report_library(&rm);
    const auto cfg = report_config();
    report_transports();
    const size_t unreached = report_lan(cfg, rm, options.timeout_ms);
    report_usb(rm, options.timeout_ms);
    report_serial(cfg, rm, options.timeout_ms);
    if (rm != VI_NULL) viClose(rm);
    std::fflush(stdout);
    if (!visa::active_library().usable() || rm == VI_NULL) return exit_no_library;
    return unreached > 0 ? exit_unreachable : exit_ok;
}

}  // namespace

int main(int argc, char** argv) {
    // Only the C++ library itself throws here (memory, a broken stream):
    // said in one line rather than ended by std::terminate.
    try {
        return run(argc, argv);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "fwvisa-info: %s\n", error.what());
        return 1;
    }
}
