#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "instrument.h"
#include "server.h"

namespace sim {

struct Options {
    ServerSettings server;
    InstrumentConfig instrument;
    std::uint32_t max_recv_size = 1u << 20;
    std::string store_dir;        // empty: completed images are not written
    std::string transcript_file;  // empty: no transcript
    bool hold_lock = false;
    std::optional<std::chrono::milliseconds> hold_lock_time;  // empty: for ever
    std::optional<std::uint64_t> refuse_write;                // see Vxi11Settings
    std::optional<std::uint32_t> accept_bytes_per_ms;         // see Vxi11Settings
    bool mdns = false;      // announce the services through avahi-daemon
    std::string mdns_name;  // "<model> <serial>" as *IDN? says them
    bool help = false;
};

// Where --address may point. In the machine's own network namespace only at
// loopback, so that a simulator never answers on a real network; in a
// namespace of its own (a test bed's), which reaches only what its maker
// wired to it, at any IPv4 unicast address of its interfaces.
struct AddressScope {
    bool private_namespace = false;
};

// The scope of this process: a private namespace when the inode of its
// network namespace differs from that of process 1's; when process 1's
// cannot be read, when it is one named under /run/netns. Otherwise the
// machine's own.
AddressScope current_address_scope();

// The text of --help; it documents every option and fault.
const char* usage_text();

// Parses the command line. On failure returns nothing and sets `error` to a
// sentence naming the offending option.
std::optional<Options> parse_options(const std::vector<std::string>& args, std::string& error,
                                     const AddressScope& scope = {});

}  // namespace sim
