#include "usb_instrument.h"

#include <linux/ioctl.h>
#include <linux/usbdevice_fs.h>
#include <umockdev.h>
#include <cerrno>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <set>

#include "scpi_framing.h"
#include "visa/usbtmc/usbtmc_wire.h"

namespace usbemu {

namespace tmc = visa::usbtmc;
using Clock = std::chrono::steady_clock;

bool in_mock_environment() {
    const char* preload = std::getenv("LD_PRELOAD");
    return preload != nullptr && std::strstr(preload, "umockdev") != nullptr;
}

struct UsbBed::Impl {
    UMockdevTestbed* testbed = nullptr;
    int next_devnum = 2;
};

UsbBed::UsbBed() : impl_(std::make_unique<Impl>()) {
    impl_->testbed = umockdev_testbed_new();
}

UsbBed::~UsbBed() {
    g_clear_object(&impl_->testbed);
}

namespace {

constexpr uint8_t ep_out = 0x01;
constexpr uint8_t ep_in = 0x82;
constexpr uint8_t ep_intr = 0x83;
constexpr uint8_t manufacturer_index = 1;
constexpr uint8_t product_index = 2;
constexpr uint8_t serial_index = 3;

std::string hex(const std::vector<uint8_t>& bytes) {
    std::string out;
    char b[3];
    for (uint8_t v : bytes) {
        std::snprintf(b, sizeof b, "%02x", unsigned(v));
        out += b;
    }
    return out;
}

void put16(std::vector<uint8_t>& v, uint16_t x) {
    v.push_back(uint8_t(x));
    v.push_back(uint8_t(x >> 8));
}

// Device descriptor, then the one configuration with its interfaces and
// endpoints, as sysfs "descriptors" holds them.
std::vector<uint8_t> descriptors(const UsbInstrumentOptions& o) {
    std::vector<uint8_t> d = {18, 1, 0x00, 0x02, 0, 0, 0, 64};
    put16(d, o.vendor);
    put16(d, o.product);
    d.insert(d.end(), {0x00, 0x01, uint8_t(o.manufacturer_name.empty() ? 0 : manufacturer_index),
                       uint8_t(o.product_name.empty() ? 0 : product_index), serial_index, 1});
    const bool extra = o.interface_number > 0;
    const uint8_t endpoints = o.interrupt_in ? 3 : 2;
    const uint16_t total = uint16_t(9 + (extra ? 9 : 0) + 9 + 7 * endpoints);
    d.insert(d.end(), {9, 2});
    put16(d, total);
    d.insert(d.end(), {uint8_t(extra ? 2 : 1), 1, 0, 0x80, 50});
    if (extra) d.insert(d.end(), {9, 4, 0, 0, 0, 0xFF, 0, 0, 0});
    d.insert(d.end(), {9, 4, o.interface_number, 0, endpoints, tmc::interface_class,
                       tmc::interface_subclass, uint8_t(o.usb488 ? tmc::protocol_usb488 : 0), 0});
    d.insert(d.end(), {7, 5, ep_out, 2});
    put16(d, o.packet_size);
    d.push_back(0);
    d.insert(d.end(), {7, 5, ep_in, 2});
    put16(d, o.packet_size);
    d.push_back(0);
    if (o.interrupt_in) d.insert(d.end(), {7, 5, ep_intr, 3, 2, 0, 10});
    return d;
}

const char* request_name(uint8_t r) {
    switch (r) {
        case tmc::initiate_abort_bulk_out:
            return "INITIATE_ABORT_BULK_OUT";
        case tmc::check_abort_bulk_out_status:
            return "CHECK_ABORT_BULK_OUT_STATUS";
        case tmc::initiate_abort_bulk_in:
            return "INITIATE_ABORT_BULK_IN";
        case tmc::check_abort_bulk_in_status:
            return "CHECK_ABORT_BULK_IN_STATUS";
        case tmc::initiate_clear:
            return "INITIATE_CLEAR";
        case tmc::check_clear_status:
            return "CHECK_CLEAR_STATUS";
        case tmc::get_capabilities:
            return "GET_CAPABILITIES";
        case tmc::read_status_byte:
            return "READ_STATUS_BYTE";
        default:
            return "?";
    }
}

}  // namespace

struct UsbInstrument::Device {
    UsbInstrumentOptions options;
    std::string syspath;
    std::string node;
    int devnum = 0;
    UMockdevIoctlBase* handler = nullptr;

    mutable std::mutex mutex;
    sim::Instrument instrument;
    sim::MessageSplitter splitter;
    std::map<std::string, std::string> images;

    // usbfs state
    bool driver_bound = true;
    std::map<UMockdevIoctlClient*, std::set<unsigned>> claims;  // referenced clients
    struct Urb {
        UMockdevIoctlData* data;  // referenced; the URB struct, buffer resolved
        UMockdevIoctlClient* client;
    };
    std::deque<Urb> in_waiting;    // Bulk-IN URBs waiting for data
    std::deque<Urb> intr_waiting;  // Interrupt-IN URBs
    std::deque<Urb> done;          // completed, to be reaped
    bool out_halted = false;
    bool gone = false;

    // USBTMC device state
    uint32_t out_left = 0;  // data bytes of the current DEV_DEP_MSG_OUT still to come
    bool out_eom = false;
    uint8_t last_out_tag = 0;
    struct Request {
        uint8_t tag;
        uint32_t max;
        bool term;
        uint8_t term_char;
    };
    std::optional<Request> request;
    uint8_t last_in_tag = 0;
    struct Reply {
        std::string bytes;
        Clock::time_point ready_at;
    };
    std::deque<Reply> replies;
    std::deque<std::string> in_queue;  // Bulk-IN transfers, "" = zero-length packet
    std::deque<std::string> intr_queue;
    uint64_t nbytes_rxd = 0;
    uint64_t nbytes_txd = 0;

    // faults and logs
    bool stall_next = false;
    bool wrong_tag_next = false;
    std::optional<uint64_t> unplug_at;
    uint64_t message_bytes = 0;
    uint64_t ioctl_count = 0;
    std::vector<OutTransfer> out_log;
    std::vector<std::string> request_log;
    std::string transcript;

    explicit Device(UsbInstrumentOptions o)
        : options(std::move(o)),
          instrument(options.instrument,
                     [this](const std::string& id, std::string_view data) {
                         images[id] = std::string(data);  // under `mutex` already
                         return std::string();
                     }),
          driver_bound(options.kernel_driver_bound) {}

    ~Device() {
        for (auto& [client, _] : claims)
            g_object_unref(client);
        for (auto* q : {&in_waiting, &intr_waiting, &done})
            for (auto& u : *q)
                umockdev_ioctl_data_unref(u.data);
    }

    // ---- claims ----

    void forget_closed_clients() {
        for (auto it = claims.begin(); it != claims.end();) {
            if (!umockdev_ioctl_client_get_connected(it->first)) {
                g_object_unref(it->first);
                it = claims.erase(it);
            } else {
                ++it;
            }
        }
    }

    bool claimed_by_other(UMockdevIoctlClient* c, unsigned intf) {
        forget_closed_clients();
        for (auto& [client, set] : claims)
            if (client != c && set.count(intf)) return true;
        return false;
    }

    bool claimed_by_anyone(unsigned intf) {
        forget_closed_clients();
        for (auto& [client, set] : claims)
            if (set.count(intf)) return true;
        return false;
    }

    // ---- the instrument side ----

    void execute_messages(std::string_view data, bool end) {
        while (!data.empty() || end) {
            std::vector<sim::ProgramMessage> messages;
            splitter.set_limit(instrument.message_limit());
            auto fed = splitter.feed(data, end, messages);
            data.remove_prefix(fed.consumed);
            for (const auto& m : messages) {
                transcript += m.transcript + "\n";
                sim::Outcome out = instrument.execute(m);
                if (out.reply)
                    replies.push_back(
                        {*out.reply, Clock::now() + std::chrono::milliseconds(out.delay_ms)});
                if (out.reboot) instrument.power_on();
            }
            if (data.empty()) break;
        }
    }

    // Answers a waiting REQUEST_DEV_DEP_MSG_IN once a reply is ready.
    void serve() {
        if (!request || replies.empty() || replies.front().ready_at > Clock::now()) return;
        Reply& r = replies.front();
        size_t n = std::min<size_t>(r.bytes.size(), request->max);
        bool ended_on_term = false;
        if (request->term && options.term_char_capable) {
            size_t at = r.bytes.find(char(request->term_char));
            if (at != std::string::npos && at < n) {
                n = at + 1;
                ended_on_term = true;
            }
        }
        const bool eom = n == r.bytes.size();
        uint8_t tag = request->tag;
        if (wrong_tag_next) {
            wrong_tag_next = false;
            tag = uint8_t(tag ^ 0x5A);
        }
        std::string t(tmc::header_size, '\0');
        auto* h = reinterpret_cast<uint8_t*>(t.data());
        h[0] = tmc::dev_dep_msg_in;
        h[1] = tag;
        h[2] = uint8_t(~tag);
        for (int i = 0; i < 4; ++i)
            h[4 + i] = uint8_t(n >> (8 * i));
        h[8] = uint8_t((eom ? tmc::attr_eom : 0) | (ended_on_term ? tmc::attr_term_char : 0));
        t.append(r.bytes, 0, n);
        t.append(tmc::padding_for(n), '\0');
        r.bytes.erase(0, n);
        if (eom) replies.pop_front();
        nbytes_txd = n;
        last_in_tag = request->tag;
        request.reset();
        queue_in(std::move(t));
    }

    void queue_in(std::string transfer) {
        const bool zlp = !transfer.empty() && transfer.size() % options.packet_size == 0;
        in_queue.push_back(std::move(transfer));
        if (zlp) in_queue.emplace_back();
    }

    void bulk_out(const uint8_t* p, size_t len) {
        OutTransfer seen;
        seen.length = uint32_t(len);
        if (out_left == 0) {
            if (len < tmc::header_size) return;
            auto h = tmc::decode_header(p);
            if (!h) return;
            seen.msg_id = h->msg_id;
            seen.tag = h->tag;
            seen.size = h->size;
            seen.eom = (h->attributes & tmc::attr_eom) != 0;
            out_log.push_back(seen);
            last_out_tag = h->tag;
            if (h->msg_id == tmc::request_dev_dep_msg_in) {
                request = Request{h->tag, h->size, (h->attributes & tmc::attr_term_char) != 0,
                                  h->term_char};
                serve();
                return;
            }
            if (h->msg_id != tmc::dev_dep_msg_out) return;
            out_left = h->size;
            out_eom = seen.eom;
            nbytes_rxd = 0;
            p += tmc::header_size;
            len -= tmc::header_size;
        }
        size_t take = std::min<size_t>(len, out_left);
        if (unplug_at && message_bytes + take >= *unplug_at) {
            take = size_t(*unplug_at - message_bytes);
            gone = true;
        }
        out_left -= uint32_t(take);
        nbytes_rxd += take;
        message_bytes += take;
        execute_messages(std::string_view(reinterpret_cast<const char*>(p), take),
                         out_left == 0 && out_eom && !gone);
    }

    // A class request; returns the reply, or nothing to stall.
    std::optional<std::vector<uint8_t>> class_request(uint8_t type, uint8_t req, uint16_t value,
                                                      uint16_t /*index*/) {
        request_log.emplace_back(request_name(req));
        const uint8_t ok = tmc::status_success;
        auto le32 = [](std::vector<uint8_t>& v, uint64_t x) {
            for (int i = 0; i < 4; ++i)
                v.push_back(uint8_t(x >> (8 * i)));
        };
        if (type == tmc::request_type_endpoint) {
            switch (req) {
                case tmc::initiate_abort_bulk_out:
                    if (value != last_out_tag) return std::vector<uint8_t>{tmc::status_failed, 0};
                    out_left = 0;
                    splitter.reset();
                    return std::vector<uint8_t>{ok, uint8_t(value)};
                case tmc::check_abort_bulk_out_status: {
                    std::vector<uint8_t> v{ok, 0, 0, 0};
                    le32(v, nbytes_rxd);
                    return v;
                }
                case tmc::initiate_abort_bulk_in:
                    if (!request || request->tag != value)
                        return std::vector<uint8_t>{tmc::status_failed, 0};
                    request.reset();
                    queue_in({});  // the short packet that ends the aborted transfer
                    return std::vector<uint8_t>{ok, uint8_t(value)};
                case tmc::check_abort_bulk_in_status: {
                    std::vector<uint8_t> v{ok, 0, 0, 0};
                    le32(v, nbytes_txd);
                    return v;
                }
                default:
                    return std::nullopt;
            }
        }
        switch (req) {
            case tmc::get_capabilities: {
                std::vector<uint8_t> v(tmc::capabilities_size, 0);
                v[0] = ok;
                v[2] = 0x00;
                v[3] = 0x01;  // bcdUSBTMC 1.00
                v[5] = options.term_char_capable ? 0x01 : 0x00;
                if (options.usb488) {
                    v[12] = 0x00;
                    v[13] = 0x01;  // bcdUSB488 1.00
                    v[14] = 0x06;
                    v[15] = 0x0F;
                }
                return v;
            }
            case tmc::initiate_clear:
                splitter.reset();
                out_left = 0;
                replies.clear();
                request.reset();
                in_queue.clear();
                return std::vector<uint8_t>{ok};
            case tmc::check_clear_status:
                return std::vector<uint8_t>{ok, 0};
            case tmc::read_status_byte: {
                uint8_t stb = uint8_t((instrument.errors().size() > 0 ? 0x04 : 0) |
                                      (replies.empty() ? 0 : 0x10));
                if (!options.interrupt_in) return std::vector<uint8_t>{ok, uint8_t(value), stb};
                intr_queue.push_back(std::string{char(0x80 | value), char(stb)});
                return std::vector<uint8_t>{ok, uint8_t(value), 0};
            }
            default:
                return std::nullopt;
        }
    }

    std::optional<std::vector<uint8_t>> string_descriptor(uint8_t index) {
        if (index == 0) return std::vector<uint8_t>{4, 3, 0x09, 0x04};
        const std::string* text = index == serial_index         ? &options.serial
                                  : index == manufacturer_index ? &options.manufacturer_name
                                  : index == product_index      ? &options.product_name
                                                                : nullptr;
        if (text == nullptr || text->empty()) return std::nullopt;
        std::vector<uint8_t> v{uint8_t(2 + 2 * text->size()), 3};
        for (char c : *text) {
            v.push_back(uint8_t(c));
            v.push_back(0);
        }
        return v;
    }

    // ---- URBs ----

    // Fills waiting IN URBs from what the device has to send.
    void pump() {
        serve();
        while (!in_waiting.empty() && !in_queue.empty()) {
            Urb u = in_waiting.front();
            in_waiting.pop_front();
            auto* urb = reinterpret_cast<usbdevfs_urb*>(u.data->data);
            const size_t cap = size_t(urb->buffer_length);
            std::string& front = in_queue.front();
            size_t n = std::min(cap, front.size());
            std::memcpy(urb->buffer, front.data(), n);
            urb->actual_length = int(n);
            urb->status = 0;
            if (n < front.size()) {
                front.erase(0, n);
            } else {
                const bool short_end = n < cap;
                in_queue.pop_front();
                // A transfer of whole packets ends with a zero-length packet,
                // which completes this URB only when it is not already full.
                if (short_end && n > 0 && n % options.packet_size == 0 && !in_queue.empty() &&
                    in_queue.front().empty())
                    in_queue.pop_front();
            }
            done.push_back(u);
        }
        while (!intr_waiting.empty() && !intr_queue.empty()) {
            Urb u = intr_waiting.front();
            intr_waiting.pop_front();
            auto* urb = reinterpret_cast<usbdevfs_urb*>(u.data->data);
            size_t n = std::min<size_t>(size_t(urb->buffer_length), intr_queue.front().size());
            std::memcpy(urb->buffer, intr_queue.front().data(), n);
            intr_queue.pop_front();
            urb->actual_length = int(n);
            urb->status = 0;
            done.push_back(u);
        }
    }

    void unplugged() {
        for (auto* q : {&in_waiting, &intr_waiting}) {
            for (auto& u : *q) {
                auto* urb = reinterpret_cast<usbdevfs_urb*>(u.data->data);
                urb->actual_length = 0;
                urb->status = -ESHUTDOWN;
                done.push_back(u);
            }
            q->clear();
        }
    }

    // Returns the errno to fail SUBMITURB with, or 0 when accepted.
    int submit(UMockdevIoctlClient* client, UMockdevIoctlData* arg) {
        UMockdevIoctlData* data = nullptr;
        int err = accept(client, arg, &data);
        if (err != 0 && data != nullptr) umockdev_ioctl_data_unref(data);
        return err;
    }

    // Takes a reference to the URB in `*held`, which the queues keep when
    // this returns 0.
    int accept(UMockdevIoctlClient* client, UMockdevIoctlData* arg, UMockdevIoctlData** held) {
        UMockdevIoctlData* data =
            umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_urb), nullptr);
        *held = data;
        auto* urb = reinterpret_cast<usbdevfs_urb*>(data->data);
        UMockdevIoctlData* buf = umockdev_ioctl_data_resolve(
            data, G_STRUCT_OFFSET(usbdevfs_urb, buffer), size_t(urb->buffer_length), nullptr);
        umockdev_ioctl_data_unref(buf);  // `data` keeps it
        urb = reinterpret_cast<usbdevfs_urb*>(data->data);
        auto* bytes = static_cast<uint8_t*>(urb->buffer);
        const unsigned intf = options.interface_number;
        Urb u{data, client};
        urb->actual_length = 0;
        urb->status = 0;
        if (urb->type == USBDEVFS_URB_TYPE_CONTROL) {
            if (urb->buffer_length < 8) return EINVAL;
            const uint8_t type = bytes[0], req = bytes[1];
            const uint16_t value = uint16_t(bytes[2] | bytes[3] << 8);
            const uint16_t index = uint16_t(bytes[4] | bytes[5] << 8);
            const uint16_t length = uint16_t(bytes[6] | bytes[7] << 8);
            std::optional<std::vector<uint8_t>> reply;
            if (type == 0x80 && req == 6 && (value >> 8) == 3) {
                reply = string_descriptor(uint8_t(value));
            } else if (type == tmc::request_type_interface || type == tmc::request_type_endpoint) {
                if (claimed_by_other(client, intf)) return EBUSY;
                reply = class_request(type, req, value, index);
            }
            if (reply) {
                size_t n = std::min<size_t>(reply->size(), length);
                std::memcpy(bytes + 8, reply->data(), n);
                urb->actual_length = int(n);
            } else {
                urb->status = -EPIPE;
            }
            done.push_back(u);
            return 0;
        }
        if (urb->type == USBDEVFS_URB_TYPE_BULK && urb->endpoint == ep_out) {
            if (claimed_by_other(client, intf)) return EBUSY;
            if (stall_next) {
                stall_next = false;
                out_halted = true;
            }
            if (out_halted) {
                urb->status = -EPIPE;
            } else {
                bulk_out(bytes, size_t(urb->buffer_length));
                urb->actual_length = urb->buffer_length;
                if (gone) {
                    urb->status = -ESHUTDOWN;
                    unplugged();
                }
            }
            done.push_back(u);
            return 0;
        }
        if (urb->type == USBDEVFS_URB_TYPE_BULK && urb->endpoint == ep_in) {
            if (claimed_by_other(client, intf)) return EBUSY;
            in_waiting.push_back(u);
            pump();
            return 0;
        }
        if (urb->type == USBDEVFS_URB_TYPE_INTERRUPT && urb->endpoint == ep_intr) {
            intr_waiting.push_back(u);
            pump();
            return 0;
        }
        return EINVAL;
    }

    void reap(UMockdevIoctlClient* client, UMockdevIoctlData* arg) {
        if (!gone) pump();
        for (auto it = done.begin(); it != done.end(); ++it) {
            if (it->client != client) continue;
            Urb u = *it;
            done.erase(it);
            UMockdevIoctlData* ptr = umockdev_ioctl_data_resolve(arg, 0, sizeof(void*), nullptr);
            umockdev_ioctl_data_set_ptr(ptr, 0, u.data);
            umockdev_ioctl_client_complete(client, 0, 0);
            umockdev_ioctl_data_unref(ptr);
            umockdev_ioctl_data_unref(u.data);
            return;
        }
        umockdev_ioctl_client_complete(client, -1, gone ? ENODEV : EAGAIN);
    }

    void discard(UMockdevIoctlClient* client, UMockdevIoctlData* arg) {
        const gulong addr = gulong(*reinterpret_cast<void**>(arg->data));
        for (auto* q : {&in_waiting, &intr_waiting}) {
            for (auto it = q->begin(); it != q->end(); ++it) {
                if (it->client != client || it->data->client_addr != addr) continue;
                auto* urb = reinterpret_cast<usbdevfs_urb*>(it->data->data);
                urb->status = -ENOENT;
                urb->actual_length = 0;
                done.push_back(*it);
                q->erase(it);
                umockdev_ioctl_client_complete(client, 0, 0);
                return;
            }
        }
        umockdev_ioctl_client_complete(client, -1, EINVAL);
    }

    static unsigned read_uint(UMockdevIoctlData* arg) {
        UMockdevIoctlData* d = umockdev_ioctl_data_resolve(arg, 0, sizeof(unsigned int), nullptr);
        const unsigned n = *reinterpret_cast<unsigned*>(d->data);
        umockdev_ioctl_data_unref(d);
        return n;
    }

    // CLAIMINTERFACE and RELEASEINTERFACE of interface `n`; returns errno.
    // A claim is refused while the kernel driver or another handle has it.
    int claim_request(UMockdevIoctlClient* client, gulong code, unsigned n) {
        const unsigned intf = options.interface_number;
        if (code == USBDEVFS_RELEASEINTERFACE) {
            auto it = claims.find(client);
            return it == claims.end() || !it->second.erase(n) ? EINVAL : 0;
        }
        if (n != intf && n != 0) return EINVAL;
        if (n == intf && (driver_bound || claimed_by_other(client, n))) return EBUSY;
        if (!claims.count(client)) g_object_ref(client);
        claims[client].insert(n);
        return 0;
    }

    // GETDRIVER, and the DISCONNECT / CONNECT hand-over of the interface
    // between the kernel's usbtmc driver and usbfs; returns errno.
    int driver_request(gulong code, UMockdevIoctlData* arg) {
        const unsigned intf = options.interface_number;
        int err = 0;
        if (code == USBDEVFS_GETDRIVER) {
            UMockdevIoctlData* d =
                umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_getdriver), nullptr);
            auto* g = reinterpret_cast<usbdevfs_getdriver*>(d->data);
            if (g->interface == intf && driver_bound)
                std::snprintf(g->driver, sizeof g->driver, "usbtmc");
            else if (claimed_by_anyone(g->interface))
                std::snprintf(g->driver, sizeof g->driver, "usbfs");
            else
                err = ENODATA;
            umockdev_ioctl_data_unref(d);
            return err;
        }
        UMockdevIoctlData* d = umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_ioctl), nullptr);
        auto* c = reinterpret_cast<usbdevfs_ioctl*>(d->data);
        if (unsigned(c->ifno) != intf) {
            err = EINVAL;
        } else if (c->ioctl_code == int(USBDEVFS_DISCONNECT)) {
            if (!driver_bound) err = ENODATA;
            driver_bound = false;
        } else if (c->ioctl_code == int(USBDEVFS_CONNECT)) {
            if (claimed_by_anyone(intf))
                err = EBUSY;
            else
                driver_bound = true;
        } else {
            err = ENOTTY;
        }
        umockdev_ioctl_data_unref(d);
        return err;
    }

    gboolean handle(UMockdevIoctlClient* client) {
        std::lock_guard<std::mutex> guard(mutex);
        ++ioctl_count;
        const gulong request_code = umockdev_ioctl_client_get_request(client);
        UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
        auto complete = [&](int err) {
            umockdev_ioctl_client_complete(client, err == 0 ? 0 : -1, err);
            return TRUE;
        };
        if (request_code == USBDEVFS_REAPURBNDELAY || request_code == USBDEVFS_REAPURB) {
            reap(client, arg);
            return TRUE;
        }
        if (gone) return complete(ENODEV);
        switch (request_code) {
            case USBDEVFS_GET_CAPABILITIES: {
                UMockdevIoctlData* d =
                    umockdev_ioctl_data_resolve(arg, 0, sizeof(guint32), nullptr);
                *reinterpret_cast<guint32*>(d->data) =
                    USBDEVFS_CAP_BULK_SCATTER_GATHER | USBDEVFS_CAP_BULK_CONTINUATION |
                    USBDEVFS_CAP_NO_PACKET_SIZE_LIM | USBDEVFS_CAP_REAP_AFTER_DISCONNECT |
                    USBDEVFS_CAP_ZERO_PACKET;
                umockdev_ioctl_data_unref(d);
                return complete(0);
            }
            case USBDEVFS_CLAIMINTERFACE:
            case USBDEVFS_RELEASEINTERFACE:
                return complete(claim_request(client, request_code, read_uint(arg)));
            case USBDEVFS_GETDRIVER:
            case USBDEVFS_IOCTL:
                return complete(driver_request(request_code, arg));
            case USBDEVFS_SETINTERFACE:
                return complete(0);
            case USBDEVFS_CLEAR_HALT: {
                const unsigned ep = read_uint(arg);
                char line[32];
                std::snprintf(line, sizeof line, "CLEAR_HALT 0x%02X", ep);
                request_log.emplace_back(line);
                if (ep == ep_out) out_halted = false;
                return complete(0);
            }
            case USBDEVFS_SUBMITURB:
                return complete(submit(client, arg));
            case USBDEVFS_DISCARDURB:
                discard(client, arg);
                return TRUE;
            case USBDEVFS_RESET:
            case USBDEVFS_RESETEP:
                return complete(0);
            default:
                return complete(ENOTTY);
        }
    }
};

namespace {

gboolean on_ioctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer self) {
    return static_cast<UsbInstrument::Device*>(self)->handle(client);
}

}  // namespace

UsbInstrument::UsbInstrument(UsbBed& bed, UsbInstrumentOptions options)
    : bed_(bed), device_(std::make_shared<Device>(std::move(options))) {
    auto& impl = bed.impl();
    Device& d = *device_;
    d.devnum = impl.next_devnum++;
    char node[64], sys[128], busnum[8], devnum[8];
    std::snprintf(node, sizeof node, "/dev/bus/usb/001/%03d", d.devnum);
    std::snprintf(sys, sizeof sys, "/sys/devices/pci0000:00/0000:00:14.0/usb1/1-%d", d.devnum);
    std::snprintf(busnum, sizeof busnum, "001");
    std::snprintf(devnum, sizeof devnum, "%03d", d.devnum);
    d.node = node;
    d.handler = umockdev_ioctl_base_new();
    g_signal_connect(d.handler, "handle-ioctl", G_CALLBACK(on_ioctl), &d);
    // The handler first, so that the node answers as soon as libusb sees it.
    umockdev_testbed_attach_ioctl(impl.testbed, node, d.handler, nullptr);

    char vid[8], pid[8];
    std::snprintf(vid, sizeof vid, "%04x", unsigned(d.options.vendor));
    std::snprintf(pid, sizeof pid, "%04x", unsigned(d.options.product));
    std::string desc = hex(descriptors(d.options));
    std::string text =
        std::string("P: /devices/pci0000:00/0000:00:14.0/usb1/1-") + std::to_string(d.devnum) +
        "\nN: " + std::string(node + 5) +
        "\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\nE: DRIVER=usb\nE: BUSNUM=" + busnum +
        "\nE: DEVNUM=" + devnum + "\nE: DEVNAME=" + node +
        "\nA: busnum=1\\n\nA: devnum=" + std::to_string(d.devnum) +
        "\\n\nA: bConfigurationValue=1\\n\nA: speed=480\\n\nA: idVendor=" + vid +
        "\\n\nA: idProduct=" + pid + "\\n\nA: serial=" + d.options.serial + "\\n\n";
    // The kernel shows a string only when the device has it.
    if (!d.options.manufacturer_name.empty())
        text += "A: manufacturer=" + d.options.manufacturer_name + "\\n\n";
    if (!d.options.product_name.empty()) text += "A: product=" + d.options.product_name + "\\n\n";
    text += "H: descriptors=" + desc + "\n";
    umockdev_testbed_add_from_string(impl.testbed, text.c_str(), nullptr);
    d.syspath = sys;
}

UsbInstrument::~UsbInstrument() {
    auto& impl = bed_.impl();
    umockdev_testbed_detach_ioctl(impl.testbed, device_->node.c_str(), nullptr);
    if (!device_->syspath.empty())
        umockdev_testbed_remove_device(impl.testbed, device_->syspath.c_str());
    g_clear_object(&device_->handler);
}

std::string UsbInstrument::resource() const {
    char buf[64];
    std::snprintf(buf, sizeof buf, "USB0::0x%04X::0x%04X::", unsigned(device_->options.vendor),
                  unsigned(device_->options.product));
    return buf + device_->options.serial +
           "::" + std::to_string(device_->options.interface_number) + "::INSTR";
}

void UsbInstrument::stall_next_bulk_out() {
    std::lock_guard<std::mutex> g(device_->mutex);
    device_->stall_next = true;
}

void UsbInstrument::wrong_tag_next_reply() {
    std::lock_guard<std::mutex> g(device_->mutex);
    device_->wrong_tag_next = true;
}

void UsbInstrument::unplug_after(uint64_t bytes) {
    std::lock_guard<std::mutex> g(device_->mutex);
    device_->unplug_at = device_->message_bytes + bytes;
}

void UsbInstrument::remove() {
    {
        std::lock_guard<std::mutex> g(device_->mutex);
        device_->gone = true;
        device_->unplugged();
    }
    if (!device_->syspath.empty()) {
        umockdev_testbed_remove_device(bed_.impl().testbed, device_->syspath.c_str());
        device_->syspath.clear();
    }
}

std::vector<OutTransfer> UsbInstrument::out_transfers() const {
    std::lock_guard<std::mutex> g(device_->mutex);
    return device_->out_log;
}

std::vector<std::string> UsbInstrument::requests() const {
    std::lock_guard<std::mutex> g(device_->mutex);
    return device_->request_log;
}

std::string UsbInstrument::transcript() const {
    std::lock_guard<std::mutex> g(device_->mutex);
    return device_->transcript;
}

std::string UsbInstrument::stored(const std::string& id) const {
    std::lock_guard<std::mutex> g(device_->mutex);
    auto it = device_->images.find(id);
    return it == device_->images.end() ? std::string() : it->second;
}

uint64_t UsbInstrument::message_bytes() const {
    std::lock_guard<std::mutex> g(device_->mutex);
    return device_->message_bytes;
}

bool UsbInstrument::kernel_driver_bound() const {
    std::lock_guard<std::mutex> g(device_->mutex);
    return device_->driver_bound;
}

int UsbInstrument::claims() const {
    std::lock_guard<std::mutex> g(device_->mutex);
    device_->forget_closed_clients();
    int n = 0;
    for (auto& [client, set] : device_->claims)
        n += set.empty() ? 0 : 1;
    return n;
}

uint64_t UsbInstrument::ioctls() const {
    std::lock_guard<std::mutex> g(device_->mutex);
    return device_->ioctl_count;
}

void UsbInstrument::clear_log() {
    std::lock_guard<std::mutex> g(device_->mutex);
    device_->out_log.clear();
    device_->request_log.clear();
    device_->transcript.clear();
}

}  // namespace usbemu
