// LAN discovery: the VXI-11 broadcast and mDNS run side by side within one
// window, their answers are merged into one sorted list, and the library's
// find keeps that list for a short while.

#include "visa/lan/lan_discovery.h"

#include <arpa/inet.h>

#include <algorithm>
#include <map>
#include <mutex>
#include <set>
#include <thread>
#include <tuple>

#include "visa/lan/mdns.h"
#include "visa/log.h"
#include "visa/net.h"
#include "visa/rsrc_name.h"

namespace visa::lan {
namespace {

constexpr char log_module[] = "visa.lan";

std::string canonical(const std::string& resource) {
    auto name = parse_rsrc_name(resource);
    return name ? name->canonical() : resource;
}

// Numeric order of dotted addresses; anything else after them, by text.
std::tuple<bool, uint32_t, std::string> address_key(const std::string& address) {
    in_addr a{};
    if (::inet_pton(AF_INET, address.c_str(), &a) == 1) return {false, ntohl(a.s_addr), {}};
    return {true, 0, address};
}

struct Kept {
    std::mutex mutex;
    bool valid = false;
    std::chrono::steady_clock::time_point at;
    std::vector<Found> found;
};

Kept& kept() {
    static Kept k;
    return k;
}

}  // namespace

LanSearch search_lan(const std::vector<Destination>& destinations, uint32_t window_ms, bool mdns) {
    LanSearch out;
    for (const Destination& d : destinations) {
        char text[INET_ADDRSTRLEN] = {};
        ::inet_ntop(AF_INET, &d.addr.sin_addr, text, sizeof text);
        out.broadcast_to.push_back(
            d.interface.empty() ? std::string(text) : std::string(text) + " (" + d.interface + ")");
    }
    if (destinations.empty()) {
        if (mdns) out.mdns_skipped = mdns_browse(0).skipped;
        return out;
    }
    MdnsSearch m;
    std::thread browsing;
    if (mdns) browsing = std::thread([&m, window_ms] { m = mdns_browse(window_ms); });
    std::vector<Found> found = vxi11_broadcast(destinations, window_ms);
    if (browsing.joinable()) browsing.join();
    out.mdns_skipped = m.skipped;
    found.insert(found.end(), m.found.begin(), m.found.end());
    out.found = merge_found(std::move(found));
    return out;
}

LanSearch search_lan(uint32_t window_ms) {
    return search_lan(broadcast_destinations(), window_ms);
}

std::vector<Found> merge_found(std::vector<Found> found) {
    std::map<std::string, Found> by_resource;
    for (Found& f : found) {
        f.resource = canonical(f.resource);
        auto [at, added] = by_resource.emplace(f.resource, f);
        if (!added && at->second.how.find(f.how) == std::string::npos)
            at->second.how += ", " + f.how;
    }
    std::vector<Found> out;
    out.reserve(by_resource.size());
    for (auto& [resource, f] : by_resource)
        out.push_back(std::move(f));
    std::stable_sort(out.begin(), out.end(), [](const Found& a, const Found& b) {
        return address_key(a.address) < address_key(b.address);
    });
    return out;
}

std::vector<std::string> new_resources(const std::vector<std::string>& earlier,
                                       const std::vector<Found>& found) {
    std::set<std::string> named;
    for (const std::string& r : earlier)
        named.insert(canonical(r));
    std::vector<std::string> out;
    for (const Found& f : found)
        if (named.insert(canonical(f.resource)).second) out.push_back(canonical(f.resource));
    return out;
}

std::vector<Found> recent_lan_search(uint32_t window_ms) {
    Kept& k = kept();
    std::lock_guard<std::mutex> hold(k.mutex);
    const auto now = std::chrono::steady_clock::now();
    if (k.valid && now - k.at < result_lifetime) {
        log(log_module, "LAN search of %lld s ago reused: %zu found",
            static_cast<long long>(
                std::chrono::duration_cast<std::chrono::seconds>(now - k.at).count()),
            k.found.size());
        return k.found;
    }
    // With no interface to broadcast on there is no LAN: avahi-daemon is not
    // even asked, so that such a find costs nothing.
    const std::vector<Destination> destinations = broadcast_destinations();
    k.found =
        destinations.empty() ? std::vector<Found>{} : search_lan(destinations, window_ms).found;
    k.at = std::chrono::steady_clock::now();
    k.valid = true;
    return k.found;
}

void keep_lan_search(std::vector<Found> found) {
    Kept& k = kept();
    std::lock_guard<std::mutex> hold(k.mutex);
    k.found = std::move(found);
    k.at = std::chrono::steady_clock::now();
    k.valid = true;
}

void forget_lan_search() {
    Kept& k = kept();
    std::lock_guard<std::mutex> hold(k.mutex);
    k.valid = false;
    k.found.clear();
}

}  // namespace visa::lan
