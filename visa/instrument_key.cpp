#include "visa/instrument_key.h"

#include <arpa/inet.h>
#include <sys/stat.h>

#include <cctype>
#include <cstdio>

#include "visa/net.h"
#include "visa/rsrc_name.h"

namespace visa {
namespace {

std::string lowered(std::string s) {
    for (char& c : s)
        c = char(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

// The part of a VXI-11 device name that picks one instrument behind the
// host: empty for the host's own instruments ("inst0", "inst1": one box, one
// key), else the name with its numbers as numbers, so that "gpib0,5" and
// "GPIB0,05" meet while "gpib0,5" and "gpib0,7" (two instruments behind one
// LAN/GPIB gateway) do not.
std::string behind_host(const std::string& device_name) {
    const std::string name = lowered(device_name);
    std::size_t letters = 0;
    while (letters < name.size() && std::isalpha(static_cast<unsigned char>(name[letters])))
        ++letters;
    if (name.compare(0, letters, "inst") == 0 && letters == 4 &&
        name.find_first_not_of("0123456789", letters) == std::string::npos)
        return {};
    std::string out;
    bool in_number = false;
    for (std::size_t i = 0; i < name.size(); ++i) {
        const bool digit = std::isdigit(static_cast<unsigned char>(name[i])) != 0;
        // A leading zero of a number that goes on is dropped.
        if (digit && !in_number && name[i] == '0' && i + 1 < name.size() &&
            std::isdigit(static_cast<unsigned char>(name[i + 1])))
            continue;
        in_number = digit;
        out += name[i];
    }
    return out;
}

// Identifies this process's network namespace (its inode); "" when unknown.
std::string netns_id() {
    struct stat st;
    if (::stat("/proc/self/ns/net", &st) != 0) return {};
    return std::to_string(static_cast<unsigned long long>(st.st_ino));
}

// The host's part of a LAN key: its IPv4 address, or its lower-cased name
// when it does not resolve.
std::string host_key(const std::string& host) {
    sockaddr_in addr;
    if (!net::resolve_ipv4(host, 0, &addr)) return "lan-name-" + lowered(host);
    char ip[INET_ADDRSTRLEN] = "";
    ::inet_ntop(AF_INET, &addr.sin_addr, ip, sizeof ip);
    std::string key = std::string("lan-") + ip;
    if ((ntohl(addr.sin_addr.s_addr) >> 24) == 127) key += "-netns" + netns_id();
    return key;
}

}  // namespace

std::string instrument_key(const RsrcName& name) {
    switch (name.kind) {
        case RsrcKind::vxi11:
        case RsrcKind::hislip:
        case RsrcKind::socket: {
            std::string key = host_key(name.host);
            if (name.kind == RsrcKind::vxi11)
                if (const std::string device = behind_host(name.device_name); !device.empty())
                    key += "/" + device;  // no host has a '/'
            return key;
        }
        case RsrcKind::usb: {
            char ids[32];
            std::snprintf(ids, sizeof ids, "usb-%04x-%04x-", unsigned(name.usb_vendor),
                          unsigned(name.usb_model));
            return ids + lowered(name.usb_serial);
        }
        case RsrcKind::serial:
            return "asrl-" + std::to_string(name.board);
    }
    return lowered(name.canonical());
}

}  // namespace visa
