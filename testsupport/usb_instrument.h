// An emulated USBTMC/USB488 instrument for tests and benchmarks. A umockdev
// test bed fakes its sysfs entry and /dev/bus/usb node; an ioctl handler
// answers the node's usbfs ioctls (URBs, claims, kernel-driver hand-over) in
// this process, feeding program messages to the simulator's instrument model.
// The real libusb, through its Linux backend, talks to it as to hardware.
// Programs using it must run under umockdev-wrapper.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "instrument.h"

namespace usbemu {

// True when the umockdev preload library is active (umockdev-wrapper).
bool in_mock_environment();

struct UsbInstrumentOptions {
    uint16_t vendor = 0x1A2B;
    uint16_t product = 0x0C3D;
    std::string serial = "SN1";
    // The device's manufacturer and product strings; empty: it has none.
    std::string manufacturer_name = "Tavrion Technologies";
    std::string product_name = "K7141HA";
    // USB488 (interface protocol 1), or plain USBTMC (protocol 0).
    bool usb488 = true;
    // Number of the USBTMC interface; above 0 a vendor-specific interface
    // comes first.
    uint8_t interface_number = 0;
    uint16_t packet_size = 512;
    bool interrupt_in = true;
    bool term_char_capable = true;
    // The kernel's own usbtmc driver holds the interface at the start, as on
    // a real machine.
    bool kernel_driver_bound = true;
    sim::InstrumentConfig instrument;
};

// One Bulk-OUT transfer as the device saw it.
struct OutTransfer {
    uint8_t msg_id = 0;
    uint8_t tag = 0;
    uint32_t size = 0;
    bool eom = false;
    uint32_t length = 0;  // bytes on the wire, header and padding included
};

// The emulated bus; one per process, made before libusb is first used.
class UsbBed {
public:
    UsbBed();
    ~UsbBed();
    UsbBed(const UsbBed&) = delete;
    UsbBed& operator=(const UsbBed&) = delete;

    struct Impl;
    Impl& impl() { return *impl_; }

private:
    std::unique_ptr<Impl> impl_;
};

class UsbInstrument {
public:
    UsbInstrument(UsbBed& bed, UsbInstrumentOptions options);
    ~UsbInstrument();
    UsbInstrument(const UsbInstrument&) = delete;
    UsbInstrument& operator=(const UsbInstrument&) = delete;

    // "USB0::0x1A2B::0x0C3D::SN1::0::INSTR".
    std::string resource() const;

    // Faults, each for the next occasion only unless said otherwise.
    void stall_next_bulk_out();  // halted until CLEAR_FEATURE(ENDPOINT_HALT)
    void wrong_tag_next_reply();
    void unplug_after(uint64_t message_bytes);  // for good, once that many arrived
    // Takes the device off the bus (uevent), as after unplugging.
    void remove();

    // What the device saw.
    std::vector<OutTransfer> out_transfers() const;
    std::vector<std::string> requests() const;  // class/standard requests, by name
    std::string transcript() const;             // program messages, one per line
    std::string stored(const std::string& id) const;
    uint64_t message_bytes() const;
    bool kernel_driver_bound() const;
    int claims() const;       // handles holding the interface
    uint64_t ioctls() const;  // usbfs requests answered so far
    void clear_log();

    struct Device;

private:
    UsbBed& bed_;
    std::shared_ptr<Device> device_;
};

}  // namespace usbemu
