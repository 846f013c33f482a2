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

// Identifies this process's network namespace (its inode); "" when unknown.
std::string netns_id() {
    struct stat st;
    if (::stat("/proc/self/ns/net", &st) != 0) return {};
    return std::to_string(static_cast<unsigned long long>(st.st_ino));
}

}  // namespace

std::string instrument_key(const RsrcName& name) {
    switch (name.kind) {
        case RsrcKind::vxi11:
        case RsrcKind::hislip:
        case RsrcKind::socket: {
            sockaddr_in addr;
            if (!net::resolve_ipv4(name.host, 0, &addr)) return "lan-name-" + lowered(name.host);
            char ip[INET_ADDRSTRLEN] = "";
            ::inet_ntop(AF_INET, &addr.sin_addr, ip, sizeof ip);
            std::string key = std::string("lan-") + ip;
            if ((ntohl(addr.sin_addr.s_addr) >> 24) == 127) key += "-netns" + netns_id();
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
