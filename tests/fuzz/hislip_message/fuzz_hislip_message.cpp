// A byte stream as a HiSLIP peer could send it, cut into reads of sizes the
// first byte chooses. The decoder must account for every byte (none handed
// out twice, none invented), keep its buffer bounded by what is in flight,
// and give back exactly what was encoded when a message is re-encoded.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "visa/hislip/message.h"

using visa::hislip::Decoder;
using visa::hislip::Header;

namespace {

constexpr size_t max_control = 256;

uint64_t add(uint64_t a, uint64_t b) {
    return b > UINT64_MAX - a ? UINT64_MAX : a + b;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const size_t step = size_t(data[0] % 32) + 1;
    const size_t piece = size_t(data[0] / 32) + 1;  // how much a reader takes at once
    ++data;
    --size;
    Decoder d(max_control);
    uint64_t used = 0;  // header and payload bytes accounted for
    bool stopped = false;
    for (size_t at = 0; at < size && !stopped; at += step) {
        const size_t n = size - at < step ? size - at : step;
        d.feed(data + at, n);
        if (d.buffered() > max_control + visa::hislip::header_size + step) std::abort();
        for (int guard = 0; guard < 100000; ++guard) {
            if (d.data_left() > 0) {
                const std::string_view p = d.peek(piece);
                if (p.empty()) break;
                if (p.size() > piece) std::abort();
                d.consume(p.size());
                used += p.size();
                continue;
            }
            Header h;
            const auto st = d.next(&h);
            if (st == Decoder::Status::need_more) break;
            if (st == Decoder::Status::bad_header) {
                stopped = true;
                break;
            }
            used = add(used, visa::hislip::header_size);
            if (st == Decoder::Status::too_large) {
                if (h.length <= max_control || visa::hislip::is_data(h.type)) std::abort();
                used = add(used, h.length);  // dropped as it arrives
                continue;
            }
            if (st == Decoder::Status::message) {
                if (d.payload().size() != h.length || d.payload().size() > max_control)
                    std::abort();
                const std::string again = visa::hislip::encode(h, d.payload());
                Header back;
                if (!visa::hislip::decode_header(reinterpret_cast<const uint8_t*>(again.data()),
                                                 &back) ||
                    back.type != h.type || back.control != h.control || back.param != h.param ||
                    back.length != h.length)
                    std::abort();
                used = add(used, h.length);
            }
        }
    }
    // Whatever was not used is still buffered, or was counted as dropped
    // ahead of its arrival.
    if (!stopped && add(used, d.buffered()) < size) std::abort();
    return 0;
}
