#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "visa/lan/lan_discovery.h"

namespace visa {

// A line of the configuration file that was not taken, and why.
struct SkippedLine {
    enum class Reason {
        bad_setting,     // "usb =" or "serial =" with a value other than on or off
        bad_discover,    // "discover =" with a value other than lan or off
        bad_window,      // "discover_window =" not a number of ms in range
        not_a_resource,  // neither a setting nor a resource string
        not_lan,         // a resource string, but not a LAN one
        repeated,        // the same instrument as an earlier line
    };
    int number = 0;    // from 1
    std::string text;  // the line without its comment and surrounding blanks
    Reason reason = Reason::not_a_resource;
    int first_line = 0;  // for `repeated`: the line that named it first
};

// The reason in words, for people ("not a resource string").
std::string skip_reason_text(const SkippedLine& line);

// What the configuration file says, parsed.
struct DiscoveryConfig {
    std::string library;           // "library = <path>": another VISA to load; "" built-in
    std::vector<std::string> lan;  // canonical resource strings, in file order
    bool serial = true;            // list serial ports too
    bool usb = true;               // list USBTMC instruments too
    bool discover_lan = false;     // "discover = lan": search the LAN on find
    uint32_t discover_window_ms = lan::default_window_ms;  // "discover_window = <ms>"
    // Every line not taken, in file order, so that a tool can say why an
    // instrument written there is not listed.
    std::vector<SkippedLine> skipped;
};

// Parses the text of the configuration file (see discovery.cpp); lines that
// cannot be taken are skipped, logged and kept in `skipped`.
DiscoveryConfig parse_discovery_config(std::string_view text);

// "${XDG_CONFIG_HOME:-$HOME/.config}/firmware-update/visa.conf"; empty (read
// as no file) when neither variable is an absolute path, and then `why`, when
// given, says so ("neither XDG_CONFIG_HOME nor HOME is set").
std::string discovery_config_path(std::string* why = nullptr);

// Reads and parses the configuration file at `path`; `*found` tells whether
// there was one to read. A missing or refused file gives the defaults; for a
// refused one (see read_config_file) `error` gets the reason.
DiscoveryConfig read_discovery_config(const std::string& path, bool* found,
                                      std::string* error = nullptr);

// Every resource discovery lists, in order: the configured LAN instruments,
// with "discover = lan" the instruments a LAN search found that are not
// configured (see lan/lan_discovery.h: the result is kept for a while), the
// USBTMC interfaces plugged in, then the serial ports present (the file may
// turn USB and serial off). Sends nothing on any network unless the file
// turns LAN discovery on. `lan_search` false leaves the search out, for a
// find whose expression no LAN resource can match.
std::vector<std::string> discover_resources(bool lan_search = true);

// Appends to the configuration file at `path` each of `resources` that it
// does not already name, keeping every line it has; creates the file, and
// its folder, when missing. Returns how many lines were added, or -1 with
// `*error` set ("writing <path>: <why>"); a file that read_config_file
// refuses is not touched.
int append_to_config(const std::string& path, const std::vector<std::string>& resources,
                     std::string* error);

// The configuration file's text, or nothing when it is missing, is not a
// regular file (a FIFO, a device, a directory) or holds more than 1 MiB;
// such a file is refused whole, never cut short. Never blocks or spins. A
// file that is there but refused is logged, and its reason is put in `error`
// ("reading <path>: <why>").
std::optional<std::string> read_config_file(const std::string& path, std::string* error = nullptr);

// The USBTMC interfaces on the bus, as "USB0::0x1A2B::0x0C3D::SN1::0::INSTR".
std::vector<std::string> list_usb_instruments();

// Serial ports present under `dev` (normally "/dev"), as "ASRL<n>::INSTR":
// ttyS* whose UART exists (per `sys`, normally "/sys/class/tty"), then
// ttyUSB* and ttyACM*, numbered from 1 in that order.
std::vector<std::string> list_serial_ports(const std::string& dev, const std::string& sys);

}  // namespace visa
