#pragma once
// Announces the simulator's services over mDNS/DNS-SD through avahi-daemon,
// so that a browsing client finds it as it would find an instrument.

#include <cstdint>
#include <memory>
#include <string>

namespace sim {

struct MdnsServices {
    std::string name;              // "<model> <serial>"
    std::uint16_t vxi11_port = 0;  // the portmapper's (_vxi-11._tcp); 0: not announced
    std::uint16_t hislip_port = 0;
    std::uint16_t socket_port = 0;
};

// Publishes the services from a thread of Avahi's own for as long as it
// lives; a name already taken on the link gets Avahi's alternative. Never
// stops the simulator: every failure is said on standard error.
class MdnsAnnouncer {
public:
    MdnsAnnouncer();
    ~MdnsAnnouncer();
    MdnsAnnouncer(const MdnsAnnouncer&) = delete;
    MdnsAnnouncer& operator=(const MdnsAnnouncer&) = delete;

    // Starts announcing. False, with the reason said, when it cannot (no
    // daemon running: "avahi-daemon is not running: not announcing").
    bool start(const MdnsServices& services);

    struct State;

private:
    std::unique_ptr<State> state_;
};

}  // namespace sim
