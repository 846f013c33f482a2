#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "visa/lan/broadcast.h"
#include "visa/lan/found.h"

namespace visa::lan {

// The window a search collects answers for, unless configured otherwise,
// and the bounds of what may be configured.
constexpr uint32_t default_window_ms = 1000;
constexpr uint32_t min_window_ms = 100;
constexpr uint32_t max_window_ms = 10000;

// How long the library's find reuses a search's result instead of searching
// again: long enough that opening a list twice does not wait twice, short
// enough that an instrument switched on is seen soon.
constexpr std::chrono::seconds result_lifetime{30};

struct LanSearch {
    std::vector<Found> found;               // see merge_found
    std::vector<std::string> broadcast_to;  // "198.18.0.255 (veth0)", one per destination
    std::string mdns_skipped;               // why mDNS was not asked; empty when it was
};

// One search: the VXI-11 broadcast to `destinations` and, at the same time,
// mDNS, both within `window_ms`. Without destinations there is no network to
// search: it returns at once (only asking whether avahi-daemon runs, so that
// a tool can say so). `mdns` false leaves mDNS out (tests).
LanSearch search_lan(const std::vector<Destination>& destinations, uint32_t window_ms,
                     bool mdns = true);
// The same on this machine's broadcast-capable interfaces.
LanSearch search_lan(uint32_t window_ms);

// The instruments found by several means as one list: each resource once
// (in canonical form, its ways of being found joined: "VXI-11 broadcast,
// mDNS _vxi-11._tcp"), sorted by address (numerically), then resource.
std::vector<Found> merge_found(std::vector<Found> found);

// Of `found`, the resources that `earlier` does not name (compared in
// canonical form), in order.
std::vector<std::string> new_resources(const std::vector<std::string>& earlier,
                                       const std::vector<Found>& found);

// The library's find: the result of a search made within result_lifetime,
// else a new search on this machine's interfaces. One search at a time per
// process; a find that comes while another searches waits for and takes its
// result.
std::vector<Found> recent_lan_search(uint32_t window_ms);
// Keeps `found` as the result of a search made now: the extension's search
// (fwvisa_search_lan) spares the find that follows a second wait.
void keep_lan_search(std::vector<Found> found);
// Forgets the kept result, so that the next find searches.
void forget_lan_search();

}  // namespace visa::lan
