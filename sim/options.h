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
    bool help = false;
};

// The text of --help; it documents every option and fault.
const char* usage_text();

// Parses the command line. On failure returns nothing and sets `error` to a
// sentence naming the offending option.
std::optional<Options> parse_options(const std::vector<std::string>& args, std::string& error);

}  // namespace sim
