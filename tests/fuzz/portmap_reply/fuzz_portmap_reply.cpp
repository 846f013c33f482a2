// Bytes from a portmapper: record marking, then the GETPORT reply. Lengths
// that lie must be refused without reading or allocating past the bounds.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "visa/vxi11/portmap.h"
#include "visa/vxi11/rpc_wire.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace visa::vxi11;
    using namespace visa::vxi11::rpc;
    std::vector<uint8_t> body;
    size_t used = 0;
    size_t pos = 0;
    for (int records = 0; records < 8 && pos < size; ++records) {
        auto r = take_record(data + pos, size - pos, 4096, &body, &used);
        if (r != RecordResult::complete) break;
        if (body.size() > 4096 || used > size - pos) std::abort();
        pos += used;
        uint16_t port = 0;
        parse_getport_reply(body.data(), body.size(), 0x3E8, &port);
    }
    uint16_t port = 0;
    parse_getport_reply(data, size, 0x3E8, &port);
    return 0;
}
