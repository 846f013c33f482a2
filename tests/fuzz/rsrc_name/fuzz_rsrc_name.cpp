// Resource strings and configuration files: any bytes must parse or be
// refused, and a parsed name must survive a round trip through its
// canonical form unchanged.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "visa/discovery.h"
#include "visa/rsrc_name.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), size);
    if (auto name = visa::parse_rsrc_name(text)) {
        std::string canonical = name->canonical();
        auto again = visa::parse_rsrc_name(canonical);
        if (!again || again->canonical() != canonical) std::abort();
    }
    auto cfg = visa::parse_discovery_config(text);
    for (const auto& rsrc : cfg.lan)
        if (!visa::parse_rsrc_name(rsrc)) std::abort();
    return 0;
}
