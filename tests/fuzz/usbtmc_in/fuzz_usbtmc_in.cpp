// What a USB device answers a read with: the GET_CAPABILITIES reply, then
// Bulk-IN transfers whose 12-byte headers and data the device chooses. The
// input is a capabilities byte, a read size and options, then transfers, each
// a length byte, a flags byte (bit 0: give the header the tag the transport
// asked for, so the fuzzer gets past the bTag check) and the bytes. Nothing
// may land outside the read buffer or be counted beyond it.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "visa/rsrc_name.h"
#include "visa/usbtmc/usbtmc_transport.h"

namespace {

using namespace visa::usbtmc;

class FuzzedDevice final : public UsbPipe {
public:
    FuzzedDevice(const uint8_t* data, size_t size) : data_(data), size_(size) {
        ep_.bulk_out = 0x01;
        ep_.bulk_in = 0x82;
        ep_.usb488 = true;
    }

    const Endpoints& endpoints() const override { return ep_; }
    PipeResult claim() override { return PipeResult::ok; }
    void release() override {}
    PipeResult bulk_out(const uint8_t* data, size_t size, uint32_t, size_t* sent) override {
        if (size >= 3 && data[0] == request_dev_dep_msg_in) last_tag_ = data[1];
        *sent = size;
        return PipeResult::ok;
    }
    PipeResult bulk_in(uint8_t* buf, size_t size, uint32_t, size_t* got) override {
        *got = 0;
        if (pos_ + 2 > size_) return PipeResult::timeout;
        const size_t length = std::min<size_t>(data_[pos_], size_ - pos_ - 2);
        const uint8_t flags = data_[pos_ + 1];
        pos_ += 2;
        *got = std::min(length, size);
        std::copy_n(data_ + pos_, *got, buf);
        pos_ += length;
        if ((flags & 1) != 0 && *got >= 3) {
            buf[1] = last_tag_;
            buf[2] = uint8_t(~last_tag_);
        }
        return (flags & 2) != 0 ? PipeResult::stall : PipeResult::ok;
    }
    PipeResult interrupt_in(uint8_t*, size_t, uint32_t, size_t*) override {
        return PipeResult::timeout;
    }
    PipeResult control_in(uint8_t, uint8_t request, uint16_t value, uint16_t, uint8_t* buf,
                          uint16_t size, uint32_t, size_t* got) override {
        std::vector<uint8_t> reply{status_success, uint8_t(value), 0, 0, 0, 0, 0, 0};
        if (request == get_capabilities) {
            reply.assign(capabilities_size, 0);
            reply[0] = status_success;
            reply[5] = caps_ & 1;
            reply[13] = 1;
        }
        *got = std::min<size_t>(size, reply.size());
        std::copy_n(reply.begin(), *got, buf);
        return PipeResult::ok;
    }
    PipeResult clear_halt(uint8_t) override { return PipeResult::ok; }

    uint8_t caps_ = 0;

private:
    Endpoints ep_;
    const uint8_t* data_;
    size_t size_;
    size_t pos_ = 0;
    uint8_t last_tag_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 4) return 0;
    const uint8_t caps = data[0];
    const size_t count = 1 + (size_t(data[1]) << 4 | data[2] >> 4);
    visa::ReadOptions opts;
    opts.term_char_enabled = (data[2] & 1) != 0;
    opts.term_char = data[3];
    opts.timeout_ms = 1000;
    auto* device = new FuzzedDevice(data + 4, size - 4);
    device->caps_ = caps;
    UsbtmcTransport transport(
        [device](const visa::RsrcName&, std::unique_ptr<UsbPipe>* pipe, std::string*) {
            pipe->reset(device);
            return PipeResult::ok;
        });
    const auto name = visa::parse_rsrc_name("USB0::0x1A2B::0x0C3D::FUZZ::INSTR");
    if (!name || transport.open(*name, 1000) != VI_SUCCESS) std::abort();
    transport.set_poll_interval_ms(0);
    transport.set_max_transfer(size_t(64) << (caps >> 5));

    std::vector<ViByte> buf(count + 1, 0x5A);  // one guard byte past the read
    size_t got = 0;
    visa::ReadStop why{};
    const ViStatus status = transport.read(buf.data(), count, opts, &got, &why);
    if (got > count || buf[count] != 0x5A) std::abort();
    if (status == VI_SUCCESS && why == visa::ReadStop::count && got != count) std::abort();
    transport.close(1000);
    return 0;
}
