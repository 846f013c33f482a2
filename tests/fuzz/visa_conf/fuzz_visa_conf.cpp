// visa.conf as a user wrote it, and what LAN discovery appends to it. Every
// instrument taken must be a LAN resource string; appending one keeps every
// setting and instrument the file had and adds that instrument after them.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "tests/fuzz/scratch_file.h"
#include "visa.h"
#include "visa/discovery.h"
#include "visa/rsrc_name.h"

namespace {

constexpr const char* kFound = "TCPIP0::127.0.0.9::hislip0::INSTR";

bool same_settings(const visa::DiscoveryConfig& a, const visa::DiscoveryConfig& b) {
    return a.library == b.library && a.serial == b.serial && a.usb == b.usb &&
           a.discover_lan == b.discover_lan && a.discover_window_ms == b.discover_window_ms;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const visa::DiscoveryConfig cfg = visa::parse_discovery_config(text);
    for (const std::string& rsrc : cfg.lan) {
        const auto name = visa::parse_rsrc_name(rsrc);
        if (!name || name->intf_type() != VI_INTF_TCPIP) std::abort();
    }
    int last = 0;
    for (const visa::SkippedLine& line : cfg.skipped) {
        if (line.number <= last) std::abort();
        last = line.number;
    }

    const std::string path = fuzz::write_scratch("visa.conf", data, size);
    std::string error;
    const int added = visa::append_to_config(path, {kFound}, &error);
    if (added < 0) std::abort();
    bool found = false;
    const visa::DiscoveryConfig after = visa::read_discovery_config(path, &found, &error);
    if (!found || !same_settings(cfg, after)) std::abort();
    const std::string canonical = visa::parse_rsrc_name(kFound)->canonical();
    std::vector<std::string> expected = cfg.lan;
    if (added == 1) expected.push_back(canonical);
    if (after.lan != expected) std::abort();
    return 0;
}
