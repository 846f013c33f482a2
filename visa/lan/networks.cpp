#include "visa/lan/networks.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>

#include <bit>
#include <cstdint>
#include <cstring>

namespace visa::lan {
namespace {

uint32_t host_order(in_addr a) {
    return ntohl(a.s_addr);
}

std::string ipv4_text(in_addr a) {
    char text[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &a, text, sizeof text);
    return text;
}

bool loopback(uint32_t a) {
    return (a >> 24) == 127;
}

bool within(const InterfaceNet& net, uint32_t sender) {
    const uint32_t mask = host_order(net.netmask);
    const uint32_t network = host_order(net.address) & mask;
    if ((sender & mask) != network) return false;
    // A /31 or /32 has no network or broadcast address of its own.
    if (mask >= 0xFFFFFFFEu) return true;
    return sender != network && sender != (network | ~mask);
}

}  // namespace

std::vector<InterfaceNet> interface_networks() {
    std::vector<InterfaceNet> out;
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0) return out;
    for (ifaddrs* i = list; i != nullptr; i = i->ifa_next) {
        if (i->ifa_addr == nullptr || i->ifa_addr->sa_family != AF_INET) continue;
        if (!(i->ifa_flags & IFF_UP) || i->ifa_netmask == nullptr || i->ifa_name == nullptr)
            continue;
        InterfaceNet net;
        net.index = ::if_nametoindex(i->ifa_name);
        net.name = i->ifa_name;
        std::memcpy(&net.address, &reinterpret_cast<const sockaddr_in*>(i->ifa_addr)->sin_addr,
                    sizeof net.address);
        std::memcpy(&net.netmask, &reinterpret_cast<const sockaddr_in*>(i->ifa_netmask)->sin_addr,
                    sizeof net.netmask);
        if (net.index != 0) out.push_back(std::move(net));
    }
    ::freeifaddrs(list);
    return out;
}

bool on_interface_network(const std::vector<InterfaceNet>& nets, unsigned index, in_addr sender) {
    const uint32_t a = host_order(sender);
    if (a == 0 || loopback(a) || (a >> 28) == 0xE || a == 0xFFFFFFFFu) return false;
    for (const InterfaceNet& net : nets)
        if (net.index == index && !loopback(host_order(net.address)) && within(net, a)) return true;
    return false;
}

std::string off_network_text(const std::vector<InterfaceNet>& nets, unsigned index,
                             in_addr sender) {
    if (loopback(host_order(sender))) return "a loopback address";
    std::string networks;
    std::string name;
    for (const InterfaceNet& net : nets) {
        if (net.index != index) continue;
        name = net.name;
        networks += (networks.empty() ? "" : ", ") + ipv4_text(net.address) + "/" +
                    std::to_string(std::popcount(host_order(net.netmask)));
    }
    if (name.empty())
        return "came in on no IPv4 interface that is up (index " + std::to_string(index) + ")";
    return "not on the network of " + name + " (" + networks + ")";
}

}  // namespace visa::lan
