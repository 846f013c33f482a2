#include "visa/rsrc_name.h"

#include <cstdio>
#include <vector>

namespace visa {
namespace {

// Resource strings are short; anything longer is not one of ours and would
// not fit VI_FIND_BUFLEN anyway.
constexpr size_t max_rsrc_len = 255;

char lower(char c) {
    return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c;
}

bool iequals(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (lower(a[i]) != lower(b[i])) return false;
    return true;
}

bool istarts_with(std::string_view s, std::string_view prefix) {
    return s.size() >= prefix.size() && iequals(s.substr(0, prefix.size()), prefix);
}

std::string to_lower(std::string_view s) {
    std::string out(s);
    for (auto& c : out)
        c = lower(c);
    return out;
}

bool is_digit(char c) {
    return c >= '0' && c <= '9';
}
bool is_alnum(char c) {
    return is_digit(c) || (lower(c) >= 'a' && lower(c) <= 'z');
}

// Decimal number with no sign and at most `max`.
std::optional<uint32_t> parse_decimal(std::string_view s, uint32_t max) {
    if (s.empty() || s.size() > 10) return std::nullopt;
    uint64_t v = 0;
    for (char c : s) {
        if (!is_digit(c)) return std::nullopt;
        v = v * 10 + uint64_t(c - '0');
    }
    if (v > max) return std::nullopt;
    return uint32_t(v);
}

// USB ids come in decimal or 0x-hex.
std::optional<uint32_t> parse_id(std::string_view s, uint32_t max) {
    if (istarts_with(s, "0x")) {
        s.remove_prefix(2);
        if (s.empty() || s.size() > 8) return std::nullopt;
        uint64_t v = 0;
        for (char c : s) {
            char l = lower(c);
            int d = is_digit(l) ? l - '0' : (l >= 'a' && l <= 'f') ? l - 'a' + 10 : -1;
            if (d < 0) return std::nullopt;
            v = v * 16 + uint64_t(d);
        }
        if (v > max) return std::nullopt;
        return uint32_t(v);
    }
    return parse_decimal(s, max);
}

std::vector<std::string_view> split_fields(std::string_view s) {
    std::vector<std::string_view> out;
    for (;;) {
        size_t pos = s.find("::");
        if (pos == std::string_view::npos) {
            out.push_back(s);
            return out;
        }
        out.push_back(s.substr(0, pos));
        s.remove_prefix(pos + 2);
    }
}

// "TCPIP", "TCPIP0", "tcpip12": keyword then an optional board number.
std::optional<uint16_t> match_interface(std::string_view field, std::string_view keyword) {
    if (!istarts_with(field, keyword)) return std::nullopt;
    std::string_view rest = field.substr(keyword.size());
    if (rest.empty()) return uint16_t(0);
    auto board = parse_decimal(rest, 0xFFFF);
    if (!board) return std::nullopt;
    return uint16_t(*board);
}

// Host names and IPv4 literals; no spaces, no colons (fields split on "::").
bool valid_host(std::string_view h) {
    if (h.empty()) return false;
    for (char c : h)
        if (!is_alnum(c) && c != '.' && c != '-' && c != '_') return false;
    return true;
}

// LAN device names: "inst0", "hislip0", "gpib0,5", "hislip0,4880".
bool valid_device_name(std::string_view d) {
    if (d.empty() || !is_alnum(d.front())) return false;
    for (char c : d)
        if (!is_alnum(c) && c != ',' && c != '_' && c != '.' && c != '-') return false;
    return true;
}

bool valid_serial(std::string_view s) {
    if (s.empty()) return false;
    for (char c : s)
        if (!is_alnum(c) && c != '-' && c != '_' && c != '.') return false;
    return true;
}

std::optional<RsrcName> parse_tcpip(uint16_t board, const std::vector<std::string_view>& f) {
    RsrcName r;
    r.board = board;
    if (f.size() < 2 || f.size() > 4 || !valid_host(f[1])) return std::nullopt;
    r.host = to_lower(f[1]);
    std::string_view device = "inst0";
    if (f.size() == 3) {
        if (iequals(f[2], "SOCKET")) return std::nullopt;  // port is mandatory
        if (!iequals(f[2], "INSTR")) device = f[2];
    } else if (f.size() == 4) {
        if (iequals(f[3], "SOCKET")) {
            auto port = parse_decimal(f[2], 0xFFFF);
            if (!port || *port == 0) return std::nullopt;
            r.kind = RsrcKind::socket;
            r.port = uint16_t(*port);
            return r;
        }
        if (!iequals(f[3], "INSTR")) return std::nullopt;
        device = f[2];
    }
    if (!valid_device_name(device)) return std::nullopt;
    r.device_name = to_lower(device);
    if (istarts_with(r.device_name, "hislip")) {
        r.kind = RsrcKind::hislip;
        size_t comma = r.device_name.find(',');
        std::string_view name = std::string_view(r.device_name).substr(0, comma);
        for (char c : name)
            if (!is_alnum(c)) return std::nullopt;
        if (comma != std::string::npos) {
            auto port = parse_decimal(std::string_view(r.device_name).substr(comma + 1), 0xFFFF);
            if (!port || *port == 0) return std::nullopt;
            r.port = uint16_t(*port);
        }
    }
    return r;
}

std::optional<RsrcName> parse_usb(uint16_t board, const std::vector<std::string_view>& f) {
    // USB[board]::manid::model::serial[::intf][::INSTR]
    size_t n = f.size();
    if (n >= 5 && iequals(f[n - 1], "INSTR")) --n;
    if (n < 4 || n > 5) return std::nullopt;
    RsrcName r;
    r.kind = RsrcKind::usb;
    r.board = board;
    auto vendor = parse_id(f[1], 0xFFFF);
    auto model = parse_id(f[2], 0xFFFF);
    if (!vendor || !model || !valid_serial(f[3])) return std::nullopt;
    r.usb_vendor = uint16_t(*vendor);
    r.usb_model = uint16_t(*model);
    r.usb_serial = std::string(f[3]);
    if (n == 5) {
        auto intf = parse_decimal(f[4], 255);
        if (!intf) return std::nullopt;
        r.usb_interface = int(*intf);
    }
    return r;
}

}  // namespace

static std::optional<RsrcName> parse_fields(std::string_view text) {
    auto fields = split_fields(text);
    for (auto f : fields)
        if (f.empty()) return std::nullopt;
    const auto first = fields.front();
    if (auto board = match_interface(first, "TCPIP")) return parse_tcpip(*board, fields);
    if (auto board = match_interface(first, "USB")) return parse_usb(*board, fields);
    if (auto board = match_interface(first, "ASRL")) {
        if (fields.size() > 2 || (fields.size() == 2 && !iequals(fields[1], "INSTR")))
            return std::nullopt;
        RsrcName r;
        r.kind = RsrcKind::serial;
        r.board = *board;
        return r;
    }
    return std::nullopt;
}

std::optional<RsrcName> parse_rsrc_name(std::string_view text) {
    if (text.empty() || text.size() > max_rsrc_len) return std::nullopt;
    auto name = parse_fields(text);
    // The canonical form spells out defaults, so it can outgrow the input; it
    // must still fit the caller's VI_FIND_BUFLEN buffers.
    if (name && name->canonical().size() > max_rsrc_len) return std::nullopt;
    return name;
}

std::string RsrcName::canonical() const {
    char buf[64];
    switch (kind) {
        case RsrcKind::vxi11:
        case RsrcKind::hislip:
            return "TCPIP" + std::to_string(board) + "::" + host + "::" + device_name + "::INSTR";
        case RsrcKind::socket:
            return "TCPIP" + std::to_string(board) + "::" + host + "::" + std::to_string(port) +
                   "::SOCKET";
        case RsrcKind::usb: {
            std::snprintf(buf, sizeof buf, "USB%u::0x%04X::0x%04X::", unsigned(board),
                          unsigned(usb_vendor), unsigned(usb_model));
            std::string out = buf + usb_serial;
            if (usb_interface >= 0) out += "::" + std::to_string(usb_interface);
            return out + "::INSTR";
        }
        case RsrcKind::serial:
            return "ASRL" + std::to_string(board) + "::INSTR";
    }
    return {};
}

const char* RsrcName::rsrc_class() const {
    return kind == RsrcKind::socket ? "SOCKET" : "INSTR";
}

uint16_t RsrcName::intf_type() const {
    switch (kind) {
        case RsrcKind::usb:
            return VI_INTF_USB;
        case RsrcKind::serial:
            return VI_INTF_ASRL;
        default:
            return VI_INTF_TCPIP;
    }
}

}  // namespace visa
