#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace visa {
struct RsrcName;
}

namespace visa::usbtmc {

// How a USB operation ended.
enum class PipeResult {
    ok,
    timeout,    // nothing (or not everything) moved in time
    stall,      // the endpoint answered STALL (halted)
    no_device,  // the device is gone (unplugged)
    busy,       // another handle holds the interface
    access,     // no permission on the device node
    not_found,
    io,  // anything else
};

const char* pipe_result_text(PipeResult r);

// The endpoints of one USBTMC interface.
struct Endpoints {
    uint8_t interface_number = 0;
    uint8_t alt_setting = 0;
    uint8_t bulk_out = 0;
    uint8_t bulk_in = 0;
    uint8_t interrupt_in = 0;  // 0: none
    uint16_t bulk_out_packet = 64;
    uint16_t bulk_in_packet = 64;
    uint8_t protocol = 0;  // bInterfaceProtocol
    bool usb488 = false;   // interface protocol 1
};

// The transport's view of one USBTMC interface: bulk and control transfers
// and the interface claim. libusb supplies the real one; tests script one.
// Every call returns at once or within its time-out; none throws. Buffers
// belong to the caller.
class UsbPipe {
public:
    virtual ~UsbPipe() = default;

    virtual const Endpoints& endpoints() const = 0;
    // The device's manufacturer and product strings, read when it was
    // opened; empty when it has none.
    virtual std::string manufacturer() const { return {}; }
    virtual std::string product() const { return {}; }

    // Takes the interface for this handle, first detaching a kernel driver
    // bound to it (remembered, and given back by the destructor). `busy` when
    // another handle, in this process or another, holds it.
    virtual PipeResult claim() = 0;
    // Gives the claim up; the kernel driver stays detached until close.
    virtual void release() = 0;

    // One Bulk-OUT transfer of `size` bytes; `*sent` gets what went out.
    virtual PipeResult bulk_out(const uint8_t* data, size_t size, uint32_t timeout_ms,
                                size_t* sent) = 0;
    // One Bulk-IN transfer of at most `size` bytes (a multiple of the packet
    // size), ending at a short or zero-length packet; `*got` gets its length.
    virtual PipeResult bulk_in(uint8_t* buf, size_t size, uint32_t timeout_ms, size_t* got) = 0;
    // One Interrupt-IN transfer.
    virtual PipeResult interrupt_in(uint8_t* buf, size_t size, uint32_t timeout_ms,
                                    size_t* got) = 0;
    // A device-to-host control request with a data stage of `size` bytes.
    virtual PipeResult control_in(uint8_t request_type, uint8_t request, uint16_t value,
                                  uint16_t index, uint8_t* buf, uint16_t size, uint32_t timeout_ms,
                                  size_t* got) = 0;
    // CLEAR_FEATURE(ENDPOINT_HALT) on `endpoint`, resetting its data toggle.
    virtual PipeResult clear_halt(uint8_t endpoint) = 0;
};

// A USBTMC interface found on the bus.
struct UsbtmcInterface {
    uint16_t vendor = 0;
    uint16_t product = 0;
    std::string serial;  // empty when the device could not be opened to read it
    uint8_t interface_number = 0;
    uint8_t bus = 0;
    uint8_t address = 0;
    bool opened = false;       // the device node could be opened (permissions)
    std::string open_failure;  // why not, when !opened
};

// Every USBTMC interface present, in bus order. Logs, and returns nothing,
// when libusb cannot start.
std::vector<UsbtmcInterface> list_usbtmc_interfaces();

// Opens the interface that `name` selects (ids compared numerically, the
// serial exactly, the lowest USBTMC interface when none is given). Returns
// not_found, access (with `*detail` naming the device node) or ok.
PipeResult open_usbtmc_pipe(const RsrcName& name, std::unique_ptr<UsbPipe>* pipe,
                            std::string* detail);

}  // namespace visa::usbtmc
