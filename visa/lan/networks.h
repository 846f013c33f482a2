#pragma once

#include <netinet/in.h>

#include <string>
#include <vector>

namespace visa::lan {

// One IPv4 address of an interface that is up, with its network.
struct InterfaceNet {
    unsigned index = 0;  // the kernel's interface index
    std::string name;    // "eth0"
    in_addr address{};
    in_addr netmask{};
};

// Every IPv4 address of every interface that is up, loopback included (the
// rule below refuses loopback senders on any of them). Sends nothing.
std::vector<InterfaceNet> interface_networks();

// Whether an answer from `sender` that came in on interface `index` can be
// an instrument there: `sender` lies in one of that interface's IPv4
// networks and is not loopback, unspecified, multicast, nor the network's
// own or broadcast address. A search keeps only such answers, so that
// nothing on a link can make it list (or save) a loopback address or one on
// a network it did not come from. Pure, for tests.
bool on_interface_network(const std::vector<InterfaceNet>& nets, unsigned index, in_addr sender);

// Why on_interface_network() refused `sender`, for the log: "a loopback
// address", "not on the network of eth0 (198.18.0.1/24)" and the like.
std::string off_network_text(const std::vector<InterfaceNet>& nets, unsigned index, in_addr sender);

}  // namespace visa::lan
