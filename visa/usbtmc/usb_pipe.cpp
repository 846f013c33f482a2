// The UsbPipe over libusb-1.0, and the search for USBTMC interfaces.
#include "visa/usbtmc/usb_pipe.h"

#include <libusb.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <tuple>

#include "visa/log.h"
#include "visa/rsrc_name.h"
#include "visa/usbtmc/usbtmc_wire.h"

namespace visa::usbtmc {
namespace {

// Names this file's lines in the library's log.
constexpr char log_module[] = "visa.usbtmc";

// One libusb context for the process, made on first use and never torn down:
// sessions may outlive any owner we could name, and libusb_exit with handles
// still open is undefined.
libusb_context* context() {
    static std::once_flag once;
    static libusb_context* ctx = nullptr;
    std::call_once(once, [] {
        int rc = libusb_init(&ctx);
        if (rc != 0) {
            log_error(log_module, "libusb_init failed: %s", libusb_error_name(rc));
            ctx = nullptr;
        }
    });
    return ctx;
}

PipeResult from_libusb(int rc) {
    switch (rc) {
        case LIBUSB_SUCCESS:
            return PipeResult::ok;
        case LIBUSB_ERROR_TIMEOUT:
            return PipeResult::timeout;
        case LIBUSB_ERROR_PIPE:
            return PipeResult::stall;
        case LIBUSB_ERROR_NO_DEVICE:
            return PipeResult::no_device;
        case LIBUSB_ERROR_BUSY:
            return PipeResult::busy;
        case LIBUSB_ERROR_ACCESS:
            return PipeResult::access;
        case LIBUSB_ERROR_NOT_FOUND:
            return PipeResult::not_found;
        default:
            return PipeResult::io;
    }
}

// libusb takes 0 as "no limit"; a VISA time-out of 0 means "at once".
unsigned int libusb_timeout(uint32_t timeout_ms) {
    if (timeout_ms == 0xFFFFFFFFu) return 0;
    return timeout_ms == 0 ? 1 : timeout_ms;
}

std::string node_of(libusb_device* dev) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "/dev/bus/usb/%03u/%03u", unsigned(libusb_get_bus_number(dev)),
                  unsigned(libusb_get_device_address(dev)));
    return buf;
}

// The USBTMC interfaces of the active configuration, lowest number first.
std::vector<Endpoints> usbtmc_interfaces(libusb_device* dev) {
    std::vector<Endpoints> out;
    libusb_config_descriptor* config = nullptr;
    if (libusb_get_active_config_descriptor(dev, &config) != 0) return out;
    for (uint8_t i = 0; i < config->bNumInterfaces; ++i) {
        const libusb_interface& intf = config->interface[i];
        for (int a = 0; a < intf.num_altsetting; ++a) {
            const libusb_interface_descriptor& alt = intf.altsetting[a];
            if (alt.bInterfaceClass != interface_class ||
                alt.bInterfaceSubClass != interface_subclass)
                continue;
            Endpoints e;
            e.interface_number = alt.bInterfaceNumber;
            e.alt_setting = alt.bAlternateSetting;
            e.protocol = alt.bInterfaceProtocol;
            e.usb488 = alt.bInterfaceProtocol == protocol_usb488;
            for (uint8_t k = 0; k < alt.bNumEndpoints; ++k) {
                const libusb_endpoint_descriptor& ep = alt.endpoint[k];
                const int type = ep.bmAttributes & LIBUSB_TRANSFER_TYPE_MASK;
                const bool in = (ep.bEndpointAddress & LIBUSB_ENDPOINT_IN) != 0;
                const uint16_t packet = uint16_t(ep.wMaxPacketSize & 0x7FF);
                if (type == LIBUSB_TRANSFER_TYPE_BULK && in && e.bulk_in == 0) {
                    e.bulk_in = ep.bEndpointAddress;
                    e.bulk_in_packet = packet;
                } else if (type == LIBUSB_TRANSFER_TYPE_BULK && !in && e.bulk_out == 0) {
                    e.bulk_out = ep.bEndpointAddress;
                    e.bulk_out_packet = packet;
                } else if (type == LIBUSB_TRANSFER_TYPE_INTERRUPT && in && e.interrupt_in == 0) {
                    e.interrupt_in = ep.bEndpointAddress;
                }
            }
            if (e.bulk_in != 0 && e.bulk_out != 0 && e.bulk_in_packet != 0 &&
                e.bulk_out_packet != 0)
                out.push_back(e);
            break;  // one alternate setting per interface is enough
        }
    }
    libusb_free_config_descriptor(config);
    return out;
}

// The serial number from sysfs, which anyone may read; the device node may
// be closed to us when the udev rule is missing.
std::string sysfs_serial(libusb_device* dev) {
    uint8_t ports[8];
    int n = libusb_get_port_numbers(dev, ports, sizeof ports);
    if (n <= 0) return {};
    std::string path = "/sys/bus/usb/devices/" + std::to_string(libusb_get_bus_number(dev)) + "-";
    for (int i = 0; i < n; ++i)
        path += (i ? "." : "") + std::to_string(ports[i]);
    std::ifstream in(path + "/serial");
    std::string serial;
    std::getline(in, serial);
    return serial;
}

// A string descriptor in ASCII (libusb replaces what is not with '?').
std::string descriptor_string(libusb_device_handle* h, uint8_t index) {
    if (index == 0) return {};
    unsigned char buf[256];
    int n = libusb_get_string_descriptor_ascii(h, index, buf, sizeof buf);
    return n > 0 ? std::string(reinterpret_cast<char*>(buf), size_t(n)) : std::string();
}

class LibusbPipe final : public UsbPipe {
public:
    LibusbPipe(libusb_device_handle* handle, Endpoints ep, std::string node,
               const libusb_device_descriptor& desc)
        : handle_(handle),
          ep_(ep),
          node_(std::move(node)),
          manufacturer_(descriptor_string(handle, desc.iManufacturer)),
          product_(descriptor_string(handle, desc.iProduct)) {}

    ~LibusbPipe() override {
        release();
        if (detached_) {
            int rc = libusb_attach_kernel_driver(handle_, ep_.interface_number);
            if (rc != 0 && rc != LIBUSB_ERROR_NO_DEVICE)
                log_warning(log_module,
                            "%s: giving interface %u back to the kernel driver failed: %s",
                            node_.c_str(), unsigned(ep_.interface_number), libusb_error_name(rc));
        }
        libusb_close(handle_);
    }

    const Endpoints& endpoints() const override { return ep_; }
    std::string manufacturer() const override { return manufacturer_; }
    std::string product() const override { return product_; }

    PipeResult claim() override {
        if (claimed_) return PipeResult::ok;
        // The kernel's own USBTMC driver binds these interfaces; while it
        // does, the claim would fail busy.
        if (libusb_kernel_driver_active(handle_, ep_.interface_number) == 1) {
            int rc = libusb_detach_kernel_driver(handle_, ep_.interface_number);
            if (rc != 0) {
                log_warning(log_module,
                            "%s: detaching the kernel driver from interface %u failed: %s",
                            node_.c_str(), unsigned(ep_.interface_number), libusb_error_name(rc));
                return from_libusb(rc);
            }
            detached_ = true;
        }
        int rc = libusb_claim_interface(handle_, ep_.interface_number);
        if (rc != 0) return from_libusb(rc);
        claimed_ = true;
        if (ep_.alt_setting != 0) {
            rc = libusb_set_interface_alt_setting(handle_, ep_.interface_number, ep_.alt_setting);
            if (rc != 0) {
                release();
                return from_libusb(rc);
            }
        }
        return PipeResult::ok;
    }

    void release() override {
        if (!claimed_) return;
        claimed_ = false;
        libusb_release_interface(handle_, ep_.interface_number);
    }

    PipeResult bulk_out(const uint8_t* data, size_t size, uint32_t timeout_ms,
                        size_t* sent) override {
        int n = 0;
        int rc = libusb_bulk_transfer(handle_, ep_.bulk_out, const_cast<uint8_t*>(data), int(size),
                                      &n, libusb_timeout(timeout_ms));
        *sent = size_t(n);
        return from_libusb(rc);
    }

    PipeResult bulk_in(uint8_t* buf, size_t size, uint32_t timeout_ms, size_t* got) override {
        int n = 0;
        int rc = libusb_bulk_transfer(handle_, ep_.bulk_in, buf, int(size), &n,
                                      libusb_timeout(timeout_ms));
        *got = size_t(n);
        return from_libusb(rc);
    }

    PipeResult interrupt_in(uint8_t* buf, size_t size, uint32_t timeout_ms, size_t* got) override {
        int n = 0;
        int rc = libusb_interrupt_transfer(handle_, ep_.interrupt_in, buf, int(size), &n,
                                           libusb_timeout(timeout_ms));
        *got = size_t(n);
        return from_libusb(rc);
    }

    PipeResult control_in(uint8_t request_type, uint8_t request, uint16_t value, uint16_t index,
                          uint8_t* buf, uint16_t size, uint32_t timeout_ms, size_t* got) override {
        int rc = libusb_control_transfer(handle_, request_type, request, value, index, buf, size,
                                         libusb_timeout(timeout_ms));
        *got = rc > 0 ? size_t(rc) : 0;
        return rc >= 0 ? PipeResult::ok : from_libusb(rc);
    }

    PipeResult clear_halt(uint8_t endpoint) override {
        return from_libusb(libusb_clear_halt(handle_, endpoint));
    }

private:
    libusb_device_handle* handle_;
    Endpoints ep_;
    std::string node_;
    std::string manufacturer_;
    std::string product_;
    bool claimed_ = false;
    bool detached_ = false;
};

// Calls `fn(device, descriptor, interfaces)` for each device with a USBTMC
// interface, in bus order, until it returns true.
template <class Fn>
void for_each_usbtmc_device(Fn fn) {
    libusb_context* ctx = context();
    if (ctx == nullptr) return;
    libusb_device** list = nullptr;
    ssize_t n = libusb_get_device_list(ctx, &list);
    if (n < 0) {
        log_error(log_module, "listing devices failed: %s", libusb_error_name(int(n)));
        return;
    }
    for (ssize_t i = 0; i < n; ++i) {
        libusb_device_descriptor desc;
        if (libusb_get_device_descriptor(list[i], &desc) != 0) continue;
        auto interfaces = usbtmc_interfaces(list[i]);
        if (interfaces.empty()) continue;
        if (fn(list[i], desc, interfaces)) break;
    }
    libusb_free_device_list(list, 1);
}

}  // namespace

const char* pipe_result_text(PipeResult r) {
    switch (r) {
        case PipeResult::ok:
            return "ok";
        case PipeResult::timeout:
            return "timed out";
        case PipeResult::stall:
            return "endpoint stalled";
        case PipeResult::no_device:
            return "device gone";
        case PipeResult::busy:
            return "interface busy";
        case PipeResult::access:
            return "permission denied";
        case PipeResult::not_found:
            return "not found";
        case PipeResult::io:
            break;
    }
    return "I/O error";
}

std::vector<UsbtmcInterface> list_usbtmc_interfaces() {
    std::vector<UsbtmcInterface> out;
    for_each_usbtmc_device([&](libusb_device* dev, const libusb_device_descriptor& desc,
                               const std::vector<Endpoints>& interfaces) {
        UsbtmcInterface found;
        found.vendor = desc.idVendor;
        found.product = desc.idProduct;
        found.bus = libusb_get_bus_number(dev);
        found.address = libusb_get_device_address(dev);
        libusb_device_handle* h = nullptr;
        int rc = libusb_open(dev, &h);
        if (rc == 0) {
            found.opened = true;
            found.serial = descriptor_string(h, desc.iSerialNumber);
            libusb_close(h);
        } else {
            found.open_failure = libusb_error_name(rc);
            found.serial = sysfs_serial(dev);
        }
        for (const Endpoints& e : interfaces) {
            found.interface_number = e.interface_number;
            out.push_back(found);
        }
        return false;
    });
    // libusb lists devices in no promised order; a stable list reads better.
    std::sort(out.begin(), out.end(), [](const UsbtmcInterface& a, const UsbtmcInterface& b) {
        return std::tie(a.bus, a.address, a.interface_number) <
               std::tie(b.bus, b.address, b.interface_number);
    });
    return out;
}

PipeResult open_usbtmc_pipe(const RsrcName& name, std::unique_ptr<UsbPipe>* pipe,
                            std::string* detail) {
    PipeResult result = PipeResult::not_found;
    for_each_usbtmc_device([&](libusb_device* dev, const libusb_device_descriptor& desc,
                               const std::vector<Endpoints>& interfaces) {
        if (desc.idVendor != name.usb_vendor || desc.idProduct != name.usb_model) return false;
        const Endpoints* chosen = nullptr;
        for (const Endpoints& e : interfaces) {
            if (name.usb_interface < 0 || e.interface_number == name.usb_interface) {
                chosen = &e;
                break;
            }
        }
        if (chosen == nullptr) return false;
        const std::string node = node_of(dev);
        libusb_device_handle* h = nullptr;
        int rc = libusb_open(dev, &h);
        if (rc != 0) {
            // Without the node we cannot ask the device for its serial; sysfs
            // still tells whether this is the instrument asked for.
            if (sysfs_serial(dev) != name.usb_serial) return false;
            result = from_libusb(rc);
            *detail = node;
            return true;
        }
        if (descriptor_string(h, desc.iSerialNumber) != name.usb_serial) {
            libusb_close(h);
            return false;
        }
        *pipe = std::make_unique<LibusbPipe>(h, *chosen, node, desc);
        *detail = node;
        result = PipeResult::ok;
        return true;
    });
    if (result == PipeResult::not_found) detail->clear();
    return result;
}

}  // namespace visa::usbtmc
