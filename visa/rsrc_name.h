#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "visa.h"

namespace visa {

// Which transport a resource string selects. The parser decides this once;
// the transport table is keyed by it.
// In the order of fwvisa_ext.h's FWVISA_PROTOCOL_* (from 1).
enum class RsrcKind { vxi11, hislip, socket, usb, serial };

// A parsed resource string. Keywords are case-insensitive on input; the
// canonical form spells every field (board, device name, class).
struct RsrcName {
    RsrcKind kind = RsrcKind::vxi11;
    uint16_t board = 0;
    std::string host;         // TCPIP: as written, lower-cased
    std::string device_name;  // VXI-11 / HiSLIP: "inst0" unless given
    uint16_t port = 0;        // SOCKET, or HiSLIP ",port" (0 = default)
    uint16_t usb_vendor = 0;
    uint16_t usb_model = 0;
    std::string usb_serial;
    int usb_interface = -1;  // -1: not given, the lowest USBTMC interface

    // "TCPIP0::127.0.0.2::inst0::INSTR", "TCPIP0::h::5025::SOCKET",
    // "USB0::0x1A2B::0x0C3D::SN1[::0]::INSTR", "ASRL1::INSTR".
    std::string canonical() const;
    // "INSTR" or "SOCKET".
    const char* rsrc_class() const;
    // VI_INTF_TCPIP, VI_INTF_USB or VI_INTF_ASRL.
    uint16_t intf_type() const;
};

// Parses a resource string. Returns nothing for anything malformed (the
// caller answers VI_ERROR_INV_RSRC_NAME); never throws on any input.
std::optional<RsrcName> parse_rsrc_name(std::string_view text);

}  // namespace visa
