// mDNS/DNS-SD through avahi-daemon: the daemon owns port 5353 and its cache,
// and answers over D-Bus; this file browses and resolves within a deadline on
// a simple poll loop of its own, so a search owns no thread of the daemon's
// client library and leaves nothing behind.

#include "visa/lan/mdns.h"

#include <avahi-client/client.h>
#include <avahi-client/lookup.h>
#include <avahi-common/error.h>
#include <avahi-common/simple-watch.h>

#include <set>

#include "visa/hislip/message.h"
#include "visa/lan/networks.h"
#include "visa/log.h"
#include "visa/net.h"

namespace visa::lan {
namespace {

constexpr char log_module[] = "visa.lan";

// Bounds on what a busy network can make one search hold.
constexpr int max_resolving = 64;
constexpr std::size_t max_found = 1024;

struct Browse {
    std::vector<InterfaceNet> nets;  // what a resolved address must lie in
    std::vector<Found> found;
    std::set<std::string> seen;
    std::set<const AvahiServiceBrowser*> done;
    int browsers = 0;
    int resolving = 0;
    bool client_failed = false;
};

void on_resolved(AvahiServiceResolver* r, AvahiIfIndex iface, AvahiProtocol,
                 AvahiResolverEvent event, const char* name, const char* type, const char*,
                 const char*, const AvahiAddress* address, uint16_t port, AvahiStringList*,
                 AvahiLookupResultFlags, void* userdata) {
    auto& b = *static_cast<Browse*>(userdata);
    --b.resolving;
    if (event != AVAHI_RESOLVER_FOUND || address == nullptr || address->proto != AVAHI_PROTO_INET) {
        log_warning(log_module, "mDNS %s \"%s\" not resolved: %s", type, name,
                    avahi_strerror(avahi_client_errno(avahi_service_resolver_get_client(r))));
        avahi_service_resolver_free(r);
        return;
    }
    char text[AVAHI_ADDRESS_STR_MAX] = {};
    avahi_address_snprint(text, sizeof text, address);
    // An announcement names any address it likes: only one on the network
    // of the interface it was heard on can be an instrument there.
    in_addr at{};
    at.s_addr = address->data.ipv4.address;
    const unsigned index = iface >= 0 ? unsigned(iface) : 0;
    std::string resource = mdns_resource(type, text, port);
    if (!on_interface_network(b.nets, index, at)) {
        log_debug(log_module, "mDNS %s \"%s\" at %s:%u ignored: %s", type, name, text,
                  unsigned(port), off_network_text(b.nets, index, at).c_str());
    } else if (resource.empty()) {
        log_debug(log_module, "mDNS %s \"%s\" at %s:%u ignored: no resource for it", type, name,
                  text, unsigned(port));
    } else if (b.found.size() < max_found && b.seen.insert(resource).second) {
        log(log_module, "mDNS %s \"%s\" at %s:%u taken: %s", type, name, text, unsigned(port),
            resource.c_str());
        b.found.push_back({std::move(resource), text, std::string("mDNS ") + type});
    }
    avahi_service_resolver_free(r);
}

void on_browsed(AvahiServiceBrowser* browser, AvahiIfIndex iface, AvahiProtocol protocol,
                AvahiBrowserEvent event, const char* name, const char* type, const char* domain,
                AvahiLookupResultFlags, void* userdata) {
    auto& b = *static_cast<Browse*>(userdata);
    switch (event) {
        case AVAHI_BROWSER_NEW: {
            if (b.resolving >= max_resolving) {
                log_warning(log_module, "mDNS %s \"%s\" ignored: too many resolutions at once",
                            type, name);
                return;
            }
            AvahiClient* client = avahi_service_browser_get_client(browser);
            if (avahi_service_resolver_new(client, iface, protocol, name, type, domain,
                                           AVAHI_PROTO_INET, AvahiLookupFlags(0), on_resolved,
                                           userdata) != nullptr)
                ++b.resolving;
            else
                log_warning(log_module, "mDNS %s \"%s\": resolving: %s", type, name,
                            avahi_strerror(avahi_client_errno(client)));
            return;
        }
        case AVAHI_BROWSER_FAILURE:
            log_warning(
                log_module, "mDNS browsing: %s",
                avahi_strerror(avahi_client_errno(avahi_service_browser_get_client(browser))));
            [[fallthrough]];
        case AVAHI_BROWSER_ALL_FOR_NOW:
            b.done.insert(browser);
            return;
        default:
            return;
    }
}

void on_client_state(AvahiClient*, AvahiClientState state, void* userdata) {
    if (state == AVAHI_CLIENT_FAILURE) static_cast<Browse*>(userdata)->client_failed = true;
}

}  // namespace

std::string mdns_resource(std::string_view type, std::string_view address, uint16_t port) {
    const std::string head = "TCPIP0::" + std::string(address) + "::";
    if (type == mdns_vxi11) return head + "inst0::INSTR";
    if (port == 0) return {};
    if (type == mdns_hislip)
        return port == hislip::default_port ? head + "hislip0::INSTR"
                                            : head + "hislip0," + std::to_string(port) + "::INSTR";
    if (type == mdns_scpi_raw) return head + std::to_string(port) + "::SOCKET";
    return {};
}

MdnsSearch mdns_browse(uint32_t window_ms) {
    MdnsSearch out;
    const net::Deadline deadline(window_ms);
    AvahiSimplePoll* poll = avahi_simple_poll_new();
    if (poll == nullptr) {
        out.skipped = "out of memory";
        return out;
    }
    Browse b;
    b.nets = interface_networks();
    int error = 0;
    // Without AVAHI_CLIENT_NO_FAIL the client fails at once when the daemon
    // is absent instead of waiting for it to appear.
    AvahiClient* client = avahi_client_new(avahi_simple_poll_get(poll), AvahiClientFlags(0),
                                           on_client_state, &b, &error);
    if (client == nullptr) {
        // Without a system bus there is no daemon either.
        out.skipped = error == AVAHI_ERR_NO_DAEMON || error == AVAHI_ERR_DBUS_ERROR
                          ? avahi_not_running
                          : std::string("avahi-daemon cannot be asked: ") + avahi_strerror(error);
        log(log_module, "mDNS skipped: %s (%s)", out.skipped.c_str(), avahi_strerror(error));
        avahi_simple_poll_free(poll);
        return out;
    }
    if (window_ms > 0) {
        std::vector<AvahiServiceBrowser*> browsers;
        for (const char* type : {mdns_vxi11, mdns_hislip, mdns_scpi_raw}) {
            AvahiServiceBrowser* sb =
                avahi_service_browser_new(client, AVAHI_IF_UNSPEC, AVAHI_PROTO_INET, type, nullptr,
                                          AvahiLookupFlags(0), on_browsed, &b);
            if (sb == nullptr)
                log_warning(log_module, "mDNS browsing %s: %s", type,
                            avahi_strerror(avahi_client_errno(client)));
            else
                browsers.push_back(sb);
        }
        log_debug(log_module, "mDNS: browsing %zu service types for %s", browsers.size(),
                  net::seconds_text(window_ms).c_str());
        while (!deadline.expired() && !b.client_failed &&
               (b.done.size() < browsers.size() || b.resolving > 0)) {
            if (avahi_simple_poll_iterate(poll, deadline.poll_ms()) != 0) break;
        }
        // Freeing the client frees its browsers and resolvers still open.
    }
    avahi_client_free(client);
    avahi_simple_poll_free(poll);
    out.found = std::move(b.found);
    return out;
}

}  // namespace visa::lan
