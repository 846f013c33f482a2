#include "mdns.h"

#include <cstdio>

#include <avahi-client/client.h>
#include <avahi-client/publish.h>
#include <avahi-common/alternative.h>
#include <avahi-common/error.h>
#include <avahi-common/malloc.h>
#include <avahi-common/thread-watch.h>

namespace sim {

struct MdnsAnnouncer::State {
    MdnsServices services;
    std::string name;  // as announced: the services' name or its alternative
    AvahiThreadedPoll* poll = nullptr;
    AvahiClient* client = nullptr;
    AvahiEntryGroup* group = nullptr;
};

namespace {

void say(const std::string& line) {
    std::fprintf(stderr, "fwsim: mdns: %s\n", line.c_str());
}

void publish(MdnsAnnouncer::State& s);

void rename_after_collision(MdnsAnnouncer::State& s) {
    char* other = avahi_alternative_service_name(s.name.c_str());
    say("name '" + s.name + "' taken on the link, announcing as '" + other + "'");
    s.name = other;
    avahi_free(other);
    avahi_entry_group_reset(s.group);
    publish(s);
}

void on_group(AvahiEntryGroup* group, AvahiEntryGroupState state, void* data) {
    auto& s = *static_cast<MdnsAnnouncer::State*>(data);
    s.group = group;  // also set before avahi_entry_group_new returns
    if (state == AVAHI_ENTRY_GROUP_COLLISION) {
        rename_after_collision(s);
    } else if (state == AVAHI_ENTRY_GROUP_FAILURE) {
        say(std::string("announcing failed: ") +
            avahi_strerror(avahi_client_errno(avahi_entry_group_get_client(group))));
    } else if (state == AVAHI_ENTRY_GROUP_ESTABLISHED) {
        say("announced as '" + s.name + "'");
    }
}

// Adds the services to the group and commits it; runs on Avahi's thread.
void publish(MdnsAnnouncer::State& s) {
    if (s.group == nullptr) {
        s.group = avahi_entry_group_new(s.client, on_group, &s);
        if (s.group == nullptr) {
            say(std::string("avahi_entry_group_new: ") +
                avahi_strerror(avahi_client_errno(s.client)));
            return;
        }
    }
    const struct {
        const char* type;
        std::uint16_t port;
    } rows[] = {{"_vxi-11._tcp", s.services.vxi11_port},
                {"_hislip._tcp", s.services.hislip_port},
                {"_scpi-raw._tcp", s.services.socket_port}};
    for (const auto& row : rows) {
        if (row.port == 0) continue;
        const int r = avahi_entry_group_add_service(s.group, AVAHI_IF_UNSPEC, AVAHI_PROTO_INET,
                                                    AvahiPublishFlags(0), s.name.c_str(), row.type,
                                                    nullptr, nullptr, row.port, nullptr);
        if (r == AVAHI_ERR_COLLISION) {
            rename_after_collision(s);
            return;
        }
        if (r < 0) {
            say(std::string("adding ") + row.type + ": " + avahi_strerror(r));
            return;
        }
    }
    if (const int r = avahi_entry_group_commit(s.group); r < 0)
        say(std::string("avahi_entry_group_commit: ") + avahi_strerror(r));
}

void on_client(AvahiClient* client, AvahiClientState state, void* data) {
    auto& s = *static_cast<MdnsAnnouncer::State*>(data);
    s.client = client;  // the first call comes before avahi_client_new returns
    if (state == AVAHI_CLIENT_S_RUNNING) {
        if (s.group == nullptr || avahi_entry_group_is_empty(s.group)) publish(s);
    } else if (state == AVAHI_CLIENT_S_COLLISION || state == AVAHI_CLIENT_S_REGISTERING) {
        // The host is being renamed: announced again once it runs.
        if (s.group != nullptr) avahi_entry_group_reset(s.group);
    } else if (state == AVAHI_CLIENT_FAILURE) {
        say(std::string("avahi-daemon connection lost: ") +
            avahi_strerror(avahi_client_errno(client)));
    }
}

}  // namespace

MdnsAnnouncer::MdnsAnnouncer() : state_(std::make_unique<State>()) {}

MdnsAnnouncer::~MdnsAnnouncer() {
    if (state_->poll != nullptr) avahi_threaded_poll_stop(state_->poll);
    if (state_->client != nullptr) avahi_client_free(state_->client);  // frees the group too
    if (state_->poll != nullptr) avahi_threaded_poll_free(state_->poll);
}

bool MdnsAnnouncer::start(const MdnsServices& services) {
    State& s = *state_;
    s.services = services;
    s.name = services.name;
    s.poll = avahi_threaded_poll_new();
    if (s.poll == nullptr) {
        std::fprintf(stderr, "fwsim: mdns: avahi_threaded_poll_new failed: not announcing\n");
        return false;
    }
    int error = 0;
    // Without AVAHI_CLIENT_NO_FAIL a missing daemon fails here at once
    // instead of being waited for.
    AvahiClient* client = avahi_client_new(avahi_threaded_poll_get(s.poll), AvahiClientFlags(0),
                                           on_client, &s, &error);
    if (client == nullptr) {
        s.client = nullptr;
        // No system bus at all means no daemon either.
        if (error == AVAHI_ERR_NO_DAEMON || error == AVAHI_ERR_DBUS_ERROR)
            std::fprintf(stderr, "fwsim: avahi-daemon is not running: not announcing\n");
        else
            std::fprintf(stderr, "fwsim: mdns: %s: not announcing\n", avahi_strerror(error));
        avahi_threaded_poll_free(s.poll);
        s.poll = nullptr;
        return false;
    }
    s.client = client;
    if (avahi_threaded_poll_start(s.poll) < 0) {
        std::fprintf(stderr, "fwsim: mdns: avahi_threaded_poll_start failed: not announcing\n");
        avahi_client_free(client);
        s.client = nullptr;
        avahi_threaded_poll_free(s.poll);
        s.poll = nullptr;
        return false;
    }
    return true;
}

}  // namespace sim
