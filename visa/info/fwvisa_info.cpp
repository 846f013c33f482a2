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
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

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

using Json = nlohmann::ordered_json;

// The version of --json's layout: a script checks it before reading on.
constexpr int json_schema = 1;

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
    bool json = false;
};

// What the report finds: said as text while it runs, or kept for one JSON
// document at its end (--json); and the count of what it listed.
struct Report {
    bool json = false;
    Json doc = {{"schema", json_schema}};
    size_t resources = 0;
    size_t reachable = 0;

    void say(const char* format, ...) __attribute__((format(printf, 2, 3)));
    void count(bool reached) {
        ++resources;
        if (reached) ++reachable;
    }
};

void Report::say(const char* format, ...) {
    if (json) return;
    va_list args;
    va_start(args, format);
    std::vprintf(format, args);
    va_end(args);
}

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
    platform::add_flag(app, "--json",
                       "the report as one JSON document (its layout versioned by \"schema\")",
                       o.json);
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

// Asks an open instrument who it is. True with its reply in `*said` (as
// shown) and `*reply` (as it came, line end removed), or false with why
// there is none in `*said`.
bool ask_identity(ViSession vi, uint32_t timeout_ms, std::string* said, std::string* reply) {
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
    ViByte bytes[512];
    st = viRead(vi, bytes, sizeof bytes, &count);
    if (st == VI_ERROR_TMO) {
        *said = "no reply in " + visa::net::seconds_text(timeout_ms);
        return false;
    }
    if (st < VI_SUCCESS) {
        *said = "reading the reply failed: " + failure_text(st);
        return false;
    }
    std::string_view text(reinterpret_cast<const char*>(bytes), count);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
        text.remove_suffix(1);
    *said = printable(text);
    *reply = std::string(text);
    return true;
}

// Opens the resource through the library in use, asks *IDN? and closes it
// again. True when the instrument answered.
bool probe_instrument(Report& r, Json& fact, ViSession rm, const std::string& rsrc,
                      uint32_t timeout_ms) {
    ViSession vi = VI_NULL;
    // The library's description of a failed open carries the cause it found
    // at the failure (address, port, refused or silent).
    const ViStatus st = viOpen(rm, rsrc.c_str(), VI_NULL, timeout_ms, &vi);
    if (st < VI_SUCCESS) {
        r.say("    open:          failed: %s\n", shown(failure_text(st)).c_str());
        fact["open"] = "failed";
        fact["open_error"] = failure_text(st);
        return false;
    }
    r.say("    open:          opened\n");
    fact["open"] = "opened";
    std::string said;
    std::string reply;
    const bool answered = ask_identity(vi, timeout_ms, &said, &reply);
    r.say("    *IDN?:         %s\n", said.c_str());
    fact["idn"] = answered ? Json(reply) : Json();
    if (!answered) fact["idn_error"] = said;
    viClose(vi);
    return answered;
}

void report_library(Report& r, ViSession* rm) {
    const auto& choice = visa::active_choice();
    const auto& lib = visa::active_library();
    Json& fact = r.doc["library"];
    r.say("VISA library\n");
    if (choice.path.empty())
        r.say("  in use:          built-in (%s)\n", visa::library_name_and_version());
    else
        r.say("  in use:          %s\n", shown(choice.path).c_str());
    r.say("  chosen by:       %s\n", shown(choice.source).c_str());
    fact["in_use"] = choice.path.empty() ? Json("built-in") : Json(choice.path);
    if (choice.path.empty()) fact["built_in"] = visa::library_name_and_version();
    fact["chosen_by"] = choice.source;
    if (!lib.usable()) {
        // Through viStatusDesc, as every program reports it.
        r.say("  error:           %s\n", status_text(VI_ERROR_LIBRARY_NFOUND).c_str());
        fact["error"] = status_text(VI_ERROR_LIBRARY_NFOUND);
        return;
    }
    ViStatus st = viOpenDefaultRM(rm);
    if (st < VI_SUCCESS) {
        r.say("  error:           viOpenDefaultRM failed: %s\n", status_text(st).c_str());
        fact["error"] = "viOpenDefaultRM failed: " + status_text(st);
        *rm = VI_NULL;
        return;
    }
    ViChar manufacturer[257] = {};
    if (viGetAttribute(*rm, VI_ATTR_RSRC_MANF_NAME, manufacturer) == VI_SUCCESS) {
        r.say("  manufacturer:    %s\n", shown(manufacturer).c_str());
        fact["manufacturer"] = manufacturer;
    }
    ViVersion version = 0;
    if (viGetAttribute(*rm, VI_ATTR_RSRC_IMPL_VERSION, &version) == VI_SUCCESS) {
        r.say("  version:         %s (0x%08X)\n", version_text(version).c_str(), version);
        fact["version"] = version_text(version);
    }
    if (viGetAttribute(*rm, VI_ATTR_RSRC_SPEC_VERSION, &version) == VI_SUCCESS) {
        r.say("  VISA standard:   %s\n", version_text(version).c_str());
        fact["visa_standard"] = version_text(version);
    }
}

// The configuration file's lines that were not taken, each with its number
// and why.
void report_skipped(Report& r, const std::vector<visa::SkippedLine>& skipped) {
    Json& list = r.doc["configuration"]["skipped"] = Json::array();
    for (const visa::SkippedLine& line : skipped)
        list.push_back(
            {{"line", line.number}, {"text", line.text}, {"reason", visa::skip_reason_text(line)}});
    if (skipped.empty()) return;
    r.say("  skipped lines:   %zu\n", skipped.size());
    for (size_t i = 0; i < skipped.size() && i < skipped_lines_shown; ++i)
        r.say("    line %d: %s: %s\n", skipped[i].number, printable(skipped[i].text).c_str(),
              visa::skip_reason_text(skipped[i]).c_str());
    if (skipped.size() > skipped_lines_shown)
        r.say("    (and %zu more)\n", skipped.size() - skipped_lines_shown);
}

// Reads the configuration file; its line in the report and its facts.
visa::DiscoveryConfig read_config(Report& r) {
    std::string no_folder;
    const std::string path = visa::discovery_config_path(&no_folder);
    Json& fact = r.doc["configuration"];
    visa::DiscoveryConfig cfg;
    fact["file"] = path.empty() ? Json() : Json(path);
    if (path.empty()) {
        // Without HOME (or an absolute XDG_CONFIG_HOME) there is no file to
        // read, which is worth saying rather than printing an empty path.
        r.say("  file:            none: no configuration folder (%s); defaults in use\n",
              shown(no_folder).c_str());
        fact["state"] = "no folder";
        fact["why"] = no_folder;
        return cfg;
    }
    bool found = false;
    std::string refused;
    cfg = visa::read_discovery_config(path, &found, &refused);
    r.say("  file:            %s (%s)\n", shown(path).c_str(),
          found             ? "read"
          : refused.empty() ? "not present: defaults in use"
                            : shown("refused: " + refused + "; defaults in use").c_str());
    fact["state"] = found ? "read" : refused.empty() ? "not present" : "refused";
    if (!refused.empty()) fact["why"] = refused;
    return cfg;
}

visa::DiscoveryConfig report_config(Report& r) {
    r.say("\nConfiguration\n");
    visa::DiscoveryConfig cfg = read_config(r);
    Json& fact = r.doc["configuration"];
    r.say("  library line:    %s\n", cfg.library.empty() ? "(none)" : shown(cfg.library).c_str());
    const char* env = std::getenv("FW_VISA_LIBRARY");
    r.say("  FW_VISA_LIBRARY: %s\n", env != nullptr && *env ? shown(env).c_str() : "(not set)");
    r.say("  LAN instruments: %zu configured\n", cfg.lan.size());
    r.say("  serial listing:  %s\n", cfg.serial ? "on" : "off");
    fact["library_line"] = cfg.library.empty() ? Json() : Json(cfg.library);
    fact["fw_visa_library"] = env != nullptr && *env ? Json(env) : Json();
    fact["lan_configured"] = cfg.lan.size();
    fact["serial_listing"] = cfg.serial;
    fact["usb_listing"] = cfg.usb;
    fact["lan_discovery"] = cfg.discover_lan;
    if (cfg.discover_lan) {
        r.say("  LAN discovery:   on (window %s)\n",
              visa::net::seconds_text(cfg.discover_window_ms).c_str());
        // Only asks the daemon whether it is there: nothing goes on the network.
        const std::string skipped = visa::lan::mdns_browse(0).skipped;
        r.say("  mDNS:            %s\n", skipped.empty()
                                             ? "through avahi-daemon"
                                             : (skipped + ": VXI-11 broadcast only").c_str());
        fact["discover_window_ms"] = cfg.discover_window_ms;
        fact["mdns"] = skipped.empty() ? Json("avahi-daemon") : Json();
        if (!skipped.empty()) fact["mdns_skipped"] = skipped;
    } else
        r.say("  LAN discovery:   off\n");
    report_skipped(r, cfg.skipped);
    return cfg;
}

void report_transports(Report& r) {
    struct Kind {
        visa::RsrcKind kind;
        const char* name;
    };
    constexpr Kind kinds[] = {{visa::RsrcKind::vxi11, "VXI-11"},
                              {visa::RsrcKind::hislip, "HiSLIP"},
                              {visa::RsrcKind::socket, "raw socket"},
                              {visa::RsrcKind::usb, "USBTMC"},
                              {visa::RsrcKind::serial, "serial"}};
    r.say("\nTransports of the built-in library\n");
    Json& list = r.doc["transports"] = Json::array();
    for (const auto& k : kinds) {
        const bool available = visa::make_transport(k.kind) != nullptr;
        r.say("  %-16s %s\n", (std::string(k.name) + ":").c_str(),
              available ? "available" : "not built in");
        list.push_back({{"name", k.name}, {"available", available}});
    }
    if (!visa::active_choice().path.empty())
        r.say("  (the library in use is %s; its transports are its own)\n",
              shown(visa::active_choice().path).c_str());
}

// Returns how many configured instruments were not reached.
size_t report_lan(Report& r, const visa::DiscoveryConfig& cfg, ViSession rm, uint32_t timeout_ms) {
    r.say("\nLAN instruments (from the configuration file)\n");
    if (cfg.lan.empty()) r.say("  none configured\n");
    Json& list = r.doc["lan"] = Json::array();
    size_t unreached = 0;
    for (const auto& rsrc : cfg.lan) {
        r.say("  %s\n", shown(rsrc).c_str());
        Json fact = {{"resource", rsrc}};
        auto name = visa::parse_rsrc_name(rsrc);
        if (name && name->kind == visa::RsrcKind::vxi11) {
            const std::string portmapper = portmapper_check(name->host, timeout_ms);
            r.say("    portmapper:    %s\n", portmapper.c_str());
            fact["portmapper"] = portmapper;
        }
        bool answered = false;
        if (rm == VI_NULL) {
            r.say("    open:          not tried: no VISA library to open it with\n");
            fact["open"] = "not tried";
        } else {
            answered = probe_instrument(r, fact, rm, rsrc, timeout_ms);
        }
        fact["answered"] = answered;
        r.count(answered);
        if (!answered) ++unreached;
        list.push_back(std::move(fact));
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

// One of a USB instrument's names and ids: the device's own string where it
// has one, and its id.
void usb_attribute(Report& r, Json& fact, ViSession vi, const char* label, ViAttr name_attr,
                   ViAttr id_attr) {
    ViChar text[257] = {};
    ViUInt16 id = 0;
    const bool named = viGetAttribute(vi, name_attr, text) == VI_SUCCESS && text[0] != '\0';
    const bool numbered = viGetAttribute(vi, id_attr, &id) == VI_SUCCESS;
    const std::string key(label, std::strlen(label) - 1);  // without the colon
    if (named) fact[key] = text;
    if (numbered) fact[key + "_id"] = id;
    if (named && numbered)
        r.say("    %-14s %s (0x%04X)\n", label, shown(text).c_str(), unsigned(id));
    else if (numbered)
        r.say("    %-14s 0x%04X (the device gives no name)\n", label, unsigned(id));
    else if (named)
        r.say("    %-14s %s\n", label, shown(text).c_str());
}

// Opens a USB instrument through the library in use and prints who it says
// it is. True when it opened.
bool print_usb_identity(Report& r, Json& fact, ViSession rm, const std::string& rsrc,
                        uint32_t timeout_ms) {
    ViSession vi = VI_NULL;
    ViStatus st = viOpen(rm, rsrc.c_str(), VI_NULL, timeout_ms, &vi);
    if (st < VI_SUCCESS) {
        r.say("    open:          failed: %s\n", shown(failure_text(st)).c_str());
        fact["open"] = "failed";
        fact["open_error"] = failure_text(st);
        return false;
    }
    fact["open"] = "opened";
    usb_attribute(r, fact, vi, "manufacturer:", VI_ATTR_MANF_NAME, VI_ATTR_MANF_ID);
    usb_attribute(r, fact, vi, "model:", VI_ATTR_MODEL_NAME, VI_ATTR_MODEL_CODE);
    ViChar serial[257] = {};
    if (viGetAttribute(vi, VI_ATTR_USB_SERIAL_NUM, serial) == VI_SUCCESS) {
        r.say("    serial:        %s\n", shown(serial).c_str());
        fact["serial"] = serial;
    }
    viClose(vi);
    return true;
}

// A USB instrument sysfs shows: whether this user may open it, and who it is.
Json report_usb_device(Report& r, const visa::info::UsbInstrument& u, const std::string& rsrc,
                       ViSession rm, uint32_t timeout_ms) {
    r.say("  %s  %s\n", shown(rsrc).c_str(), shown(u.device_node).c_str());
    Json fact = {{"resource", rsrc}, {"device_node", u.device_node}};
    if (::access(u.device_node.c_str(), R_OK | W_OK) != 0) {
        const std::string why = std::strerror(errno);
        r.say(
            "    access:        this user may not open it (%s): install the udev rule %s\n"
            "                   into /usr/lib/udev/rules.d/ (the package does), then replug\n",
            why.c_str(), udev_rule);
        fact["access"] = false;
        fact["access_error"] = why;
        r.count(false);
        return fact;
    }
    r.say("    access:        this user may open it\n");
    fact["access"] = true;
    bool opened = false;
    if (rm != VI_NULL && !u.serial.empty())
        opened = print_usb_identity(r, fact, rm, rsrc, timeout_ms);
    else
        fact["open"] = "not tried";
    r.count(opened);
    return fact;
}

void report_usb(Report& r, ViSession rm, uint32_t timeout_ms) {
    r.say("\nUSB instruments\n");
    auto found = visa::info::scan_usbtmc("/sys/bus/usb/devices", "");
    // The library may list instruments that sysfs does not show here (its
    // own discovery, or another vendor's): those are reported after.
    std::vector<std::string> listed;
    if (rm != VI_NULL) listed = library_usb_resources(rm);
    if (found.empty() && listed.empty()) r.say("  none found\n");
    Json& list = r.doc["usb"] = Json::array();
    for (const auto& u : found) {
        char line[160];
        std::snprintf(line, sizeof line, "USB0::0x%04X::0x%04X::%s::%u::INSTR", u.vendor, u.product,
                      u.serial.empty() ? "?" : u.serial.c_str(), u.interface);
        listed.erase(std::remove(listed.begin(), listed.end(), line), listed.end());
        list.push_back(report_usb_device(r, u, line, rm, timeout_ms));
    }
    for (const auto& rsrc : listed) {
        r.say("  %s  (listed by the library)\n", shown(rsrc).c_str());
        Json fact = {{"resource", rsrc}, {"listed_by_library", true}};
        r.count(print_usb_identity(r, fact, rm, rsrc, timeout_ms));
        list.push_back(std::move(fact));
    }
}

// Whether the library in use can open `port`; a line and its facts.
Json report_serial_port(Report& r, const std::string& port, ViSession rm, uint32_t timeout_ms) {
    Json fact = {{"resource", port}, {"openable", false}};
    if (rm == VI_NULL) {
        r.say("  %s  not openable: no VISA library to open it with\n", shown(port).c_str());
        fact["error"] = "no VISA library to open it with";
        return fact;
    }
    ViSession vi = VI_NULL;
    const ViStatus st = viOpen(rm, port.c_str(), VI_NULL, timeout_ms, &vi);
    if (st < VI_SUCCESS) {
        r.say("  %s  not openable: %s\n", shown(port).c_str(), shown(failure_text(st)).c_str());
        fact["error"] = failure_text(st);
        return fact;
    }
    viClose(vi);
    r.say("  %s  the library can open it\n", shown(port).c_str());
    fact["openable"] = true;
    return fact;
}

// Lists the serial ports present, each with whether the library in use can
// open it: a port it cannot open is no use to the programs, whatever /dev says.
void report_serial(Report& r, const visa::DiscoveryConfig& cfg, ViSession rm, uint32_t timeout_ms) {
    r.say("\nSerial ports\n");
    Json& list = r.doc["serial"] = Json::array();
    if (!cfg.serial) {
        r.say("  not listed: \"serial = off\" in the configuration file\n");
        return;
    }
    auto ports = visa::list_serial_ports("/dev", "/sys/class/tty");
    if (ports.empty()) r.say("  none found\n");
    for (const auto& p : ports) {
        list.push_back(report_serial_port(r, p, rm, timeout_ms));
        r.count(list.back()["openable"].get<bool>());
    }
}

// The count of everything listed above: what a person scanning the report,
// or a script, looks at first.
void report_summary(Report& r) {
    r.say("\nSummary\n  %zu resource%s, %zu reachable\n", r.resources, r.resources == 1 ? "" : "s",
          r.reachable);
    r.doc["summary"] = {{"resources", r.resources}, {"reachable", r.reachable}};
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

// The report, as text or as JSON; its exit status.
int report(const Options& options) {
    Report r;
    r.json = options.json;
    ViSession rm = VI_NULL;
    report_library(r, &rm);
    const auto cfg = report_config(r);
    report_transports(r);
    const size_t unreached = report_lan(r, cfg, rm, options.timeout_ms);
    report_usb(r, rm, options.timeout_ms);
    report_serial(r, cfg, rm, options.timeout_ms);
    report_summary(r);
    if (rm != VI_NULL) viClose(rm);
    int status = unreached > 0 ? exit_unreachable : exit_ok;
    if (!visa::active_library().usable() || rm == VI_NULL) status = exit_no_library;
    if (r.json) {
        r.doc["exit_status"] = status;
        // Bytes that are no UTF-8 (a device's strings) become U+FFFD.
        std::puts(r.doc.dump(2, ' ', false, Json::error_handler_t::replace).c_str());
    }
    std::fflush(stdout);
    return status;
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

    if (options.json && options.discover) {
        std::fprintf(stderr,
                     "fwvisa-info: --json applies to the report, not to --discover "
                     "(see --help)\n");
        return exit_usage;
    }
    if ((options.save || options.discover_window_ms != 0) && !options.discover) {
        std::fprintf(stderr, "fwvisa-info: %s applies to --discover (see --help)\n",
                     options.save ? "--save" : "--discover-window");
        return exit_usage;
    }
    if (options.discover) return discover(options);
    return report(options);
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
