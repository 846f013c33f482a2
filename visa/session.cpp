#include "visa/session.h"

#include <unistd.h>

#include <atomic>
#include <cstring>

#include "visa/hislip/message.h"
#include "visa/instrument_key.h"
#include "visa/library_info.h"
#include "visa/lock_table.h"
#include "visa/log.h"
#include "visa/net.h"

namespace visa {
namespace {

// Names this file's lines in the library's log.
constexpr char log_module[] = "visa.session";

constexpr size_t max_string_attr = 256;  // with the terminator

// A read whose END is suppressed goes on after each END; this bounds how many
// empty END-marked pieces a peer may feed it.
constexpr int max_empty_ends = 1000;

void put_string(void* out, const std::string& s) {
    size_t n = std::min(s.size(), max_string_attr - 1);
    std::memcpy(out, s.data(), n);
    static_cast<char*>(out)[n] = '\0';
}

template <class T>
void put(void* out, T v) {
    std::memcpy(out, &v, sizeof v);
}

ViStatus boolean(ViAttrState v, bool* out) {
    if (v != VI_TRUE && v != VI_FALSE) return VI_ERROR_NSUP_ATTR_STATE;
    *out = v == VI_TRUE;
    return VI_SUCCESS;
}

// What the transport learnt of its instrument when it opened it: USB's ids,
// serial, interface and the device's own strings.
bool identity_attribute(const Transport& transport, ViAttr attr, void* value) {
    const std::optional<DeviceIdentity> id = transport.identity();
    if (!id || id->usb_interface < 0) return false;
    switch (attr) {
        case VI_ATTR_MANF_ID:
            put<ViUInt16>(value, id->manufacturer_id);
            return true;
        case VI_ATTR_MODEL_CODE:
            put<ViUInt16>(value, id->model_code);
            return true;
        case VI_ATTR_USB_SERIAL_NUM:
            put_string(value, id->serial_number);
            return true;
        case VI_ATTR_USB_INTFC_NUM:
            put<ViInt16>(value, ViInt16(id->usb_interface));
            return true;
        case VI_ATTR_USB_PROTOCOL:
            if (id->usb_protocol < 0) return false;
            put<ViInt16>(value, ViInt16(id->usb_protocol));
            return true;
        case VI_ATTR_4882_COMPLIANT:
            if (!id->ieee4882) return false;
            put<ViBoolean>(value, *id->ieee4882 ? VI_TRUE : VI_FALSE);
            return true;
        // A device without these strings has no name to give; making one up
        // from the ids would look like an answer.
        case VI_ATTR_MANF_NAME:
            if (id->manufacturer_name.empty()) return false;
            put_string(value, id->manufacturer_name);
            return true;
        case VI_ATTR_MODEL_NAME:
            if (id->model_name.empty()) return false;
            put_string(value, id->model_name);
            return true;
        default:
            return false;
    }
}

std::string generated_key() {
    static std::atomic<unsigned> counter{0};
    return "fwvisa-" + std::to_string(::getpid()) + "-" + std::to_string(++counter);
}

}  // namespace

Session::Session(ViSession id, RsrcName name, std::unique_ptr<Transport> transport,
                 LockTable& locks)
    : id_(id),
      name_(std::move(name)),
      canonical_(name_.canonical()),
      transport_(std::move(transport)),
      locks_(locks),
      suppress_end_en_(name_.kind == RsrcKind::socket) {}

Session::~Session() {
    close();
}

ViStatus Session::open(uint32_t timeout_ms) {
    std::lock_guard<std::mutex> guard(mutex_);
    ViStatus st = transport_->open(name_, timeout_ms);
    if (st < 0) {
        log_error(log_module, "%s: open failed (status 0x%08X)", canonical_.c_str(), unsigned(st));
        transport_->close(0);
        return st;
    }
    // Known only now that the host resolved: locks meet under the instrument,
    // not under the name used for it.
    lock_key_ = instrument_key(name_);
    open_ = true;
    return st;
}

std::optional<Failure> Session::last_failure() {
    std::lock_guard<std::mutex> guard(mutex_);
    return last_failure_;
}

void Session::note_failure(ViStatus st, int stage) {
    int cause = FWVISA_CAUSE_OTHER;
    switch (st) {
        case VI_ERROR_TMO:
            cause = stage == FWVISA_STAGE_LOCK ? FWVISA_CAUSE_HELD : FWVISA_CAUSE_TIMED_OUT;
            break;
        case VI_ERROR_CONN_LOST:
            cause = FWVISA_CAUSE_LOST;
            break;
        case VI_ERROR_RSRC_LOCKED:
        case VI_ERROR_RSRC_BUSY:
            cause = FWVISA_CAUSE_HELD;
            break;
        case VI_ERROR_IO:
            cause = FWVISA_CAUSE_MALFORMED;
            break;
        default:
            return;
    }
    Failure f = failure(st, stage, cause, name_.host, name_.port);
    if (stage == FWVISA_STAGE_LOCK) f.lock_name = LockTable::last_refused_name();
    record_failure(std::move(f));
    last_failure_ = visa::last_failure();
}

ViStatus Session::check_usable() {
    return open_ && !closing_ ? VI_SUCCESS : VI_ERROR_INV_OBJECT;
}

ViStatus Session::get_attribute(ViAttr attr, void* value) {
    std::lock_guard<std::mutex> guard(mutex_);
    if (ViStatus st = check_usable(); st != VI_SUCCESS) return st;
    const bool tcpip = name_.intf_type() == VI_INTF_TCPIP;
    switch (attr) {
        case VI_ATTR_RSRC_CLASS:
            put_string(value, name_.rsrc_class());
            return VI_SUCCESS;
        case VI_ATTR_RSRC_NAME:
            put_string(value, canonical_);
            return VI_SUCCESS;
        case VI_ATTR_RSRC_LOCK_STATE:
            put<ViAccessMode>(value, locks_.state(lock_key_, id_));
            return VI_SUCCESS;
        case VI_ATTR_TMO_VALUE:
            put<ViUInt32>(value, timeout_ms_);
            return VI_SUCCESS;
        case VI_ATTR_TERMCHAR:
            put<ViUInt8>(value, term_char_);
            return VI_SUCCESS;
        case VI_ATTR_TERMCHAR_EN:
            put<ViBoolean>(value, term_char_en_);
            return VI_SUCCESS;
        case VI_ATTR_SEND_END_EN:
            put<ViBoolean>(value, send_end_en_);
            return VI_SUCCESS;
        case VI_ATTR_SUPPRESS_END_EN:
            put<ViBoolean>(value, suppress_end_en_);
            return VI_SUCCESS;
        case VI_ATTR_INTF_TYPE:
            put<ViUInt16>(value, name_.intf_type());
            return VI_SUCCESS;
        case VI_ATTR_INTF_NUM:
            put<ViUInt16>(value, name_.board);
            return VI_SUCCESS;
        case VI_ATTR_TCPIP_ADDR:
            if (!tcpip) break;
            put_string(value, name_.host);
            return VI_SUCCESS;
        case VI_ATTR_TCPIP_PORT:
            if (name_.kind == RsrcKind::hislip) {
                put<ViUInt16>(value, name_.port != 0 ? name_.port : hislip::default_port);
                return VI_SUCCESS;
            }
            if (name_.kind != RsrcKind::socket) break;
            put<ViUInt16>(value, name_.port);
            return VI_SUCCESS;
        case VI_ATTR_TCPIP_DEVICE_NAME:
            if (name_.kind != RsrcKind::vxi11 && name_.kind != RsrcKind::hislip) break;
            put_string(value, name_.device_name);
            return VI_SUCCESS;
        case VI_ATTR_TCPIP_IS_HISLIP:
            if (name_.kind != RsrcKind::vxi11 && name_.kind != RsrcKind::hislip) break;
            put<ViBoolean>(value, name_.kind == RsrcKind::hislip);
            return VI_SUCCESS;
        default:
            break;
    }
    return general_attribute(attr, value) ? VI_SUCCESS : VI_ERROR_NSUP_ATTR;
}

bool Session::general_attribute(ViAttr attr, void* value) {
    switch (attr) {
        case VI_ATTR_USER_DATA_32:
            put<ViUInt32>(value, ViUInt32(user_data_));
            return true;
        case VI_ATTR_USER_DATA_64:
            put<ViUInt64>(value, user_data_);
            return true;
        case VI_ATTR_IO_PROT:
            put<ViUInt16>(value, VI_PROT_NORMAL);
            return true;
        default:
            return identity_attribute(*transport_, attr, value) || library_attribute(attr, value);
    }
}

ViStatus Session::set_attribute(ViAttr attr, ViAttrState value) {
    std::lock_guard<std::mutex> guard(mutex_);
    if (ViStatus st = check_usable(); st != VI_SUCCESS) return st;
    switch (attr) {
        case VI_ATTR_TMO_VALUE:
            if (value > VI_TMO_INFINITE) return VI_ERROR_NSUP_ATTR_STATE;
            timeout_ms_ = ViUInt32(value);
            return VI_SUCCESS;
        case VI_ATTR_TERMCHAR:
            if (value > 0xFF) return VI_ERROR_NSUP_ATTR_STATE;
            term_char_ = ViUInt8(value);
            return VI_SUCCESS;
        case VI_ATTR_TERMCHAR_EN:
            return boolean(value, &term_char_en_);
        case VI_ATTR_SEND_END_EN:
            return boolean(value, &send_end_en_);
        case VI_ATTR_SUPPRESS_END_EN:
            return boolean(value, &suppress_end_en_);
        case VI_ATTR_USER_DATA_32:
            if (value > 0xFFFFFFFFu) return VI_ERROR_NSUP_ATTR_STATE;
            user_data_ = value;
            return VI_SUCCESS;
        case VI_ATTR_USER_DATA_64:
            user_data_ = value;
            return VI_SUCCESS;
        case VI_ATTR_IO_PROT:
            // Only plain message-based I/O; 488.2 strings over sockets are
            // not built.
            return value == VI_PROT_NORMAL ? VI_SUCCESS : VI_ERROR_NSUP_ATTR_STATE;
        case VI_ATTR_RSRC_IMPL_VERSION:
        case VI_ATTR_RSRC_SPEC_VERSION:
        case VI_ATTR_RSRC_MANF_NAME:
        case VI_ATTR_RSRC_CLASS:
        case VI_ATTR_RSRC_NAME:
        case VI_ATTR_RSRC_LOCK_STATE:
        case VI_ATTR_INTF_TYPE:
        case VI_ATTR_INTF_NUM:
        case VI_ATTR_TCPIP_ADDR:
        case VI_ATTR_TCPIP_PORT:
        case VI_ATTR_TCPIP_DEVICE_NAME:
        case VI_ATTR_TCPIP_IS_HISLIP:
        case VI_ATTR_MANF_ID:
        case VI_ATTR_MODEL_CODE:
        case VI_ATTR_MANF_NAME:
        case VI_ATTR_MODEL_NAME:
        case VI_ATTR_USB_SERIAL_NUM:
        case VI_ATTR_USB_INTFC_NUM:
        case VI_ATTR_USB_PROTOCOL:
        case VI_ATTR_4882_COMPLIANT:
            return VI_ERROR_ATTR_READONLY;
        default:
            return VI_ERROR_NSUP_ATTR;
    }
}

ViStatus Session::read(ViByte* buf, ViUInt32 count, ViUInt32* ret) {
    std::lock_guard<std::mutex> guard(mutex_);
    if (ret != nullptr) *ret = 0;
    if (ViStatus st = check_usable(); st != VI_SUCCESS) return st;
    if (!locks_.may_access(lock_key_, id_)) return VI_ERROR_RSRC_LOCKED;
    if (count == 0) return VI_SUCCESS_MAX_CNT;
    start_failure_clock();
    const ViStatus st = read_locked(buf, count, ret);
    if (st < 0) note_failure(st, FWVISA_STAGE_IO);
    return st;
}

ViStatus Session::read_locked(ViByte* buf, ViUInt32 count, ViUInt32* ret) {
    net::Deadline deadline(timeout_ms_);
    size_t total = 0;
    int empty_ends = 0;
    for (;;) {
        ReadOptions opts;
        opts.timeout_ms = deadline.remaining_ms();
        opts.term_char_enabled = term_char_en_;
        opts.term_char = term_char_;
        size_t got = 0;
        ReadStop why = ReadStop::count;
        ViStatus st = transport_->read(buf + total, count - total, opts, &got, &why);
        total += got;
        if (ret != nullptr) *ret = ViUInt32(total);
        if (st < 0) return st;
        switch (why) {
            case ReadStop::term_char:
                return VI_SUCCESS_TERM_CHAR;
            case ReadStop::count:
                return VI_SUCCESS_MAX_CNT;
            case ReadStop::end:
                if (!suppress_end_en_) return VI_SUCCESS;
                if (total == count) return VI_SUCCESS_MAX_CNT;
                if (got == 0 && ++empty_ends > max_empty_ends) return VI_ERROR_IO;
                if (deadline.expired()) return VI_ERROR_TMO;
                break;  // END is suppressed: keep reading
        }
    }
}

ViStatus Session::write(const ViByte* buf, ViUInt32 count, ViUInt32* ret) {
    std::lock_guard<std::mutex> guard(mutex_);
    if (ret != nullptr) *ret = 0;
    if (ViStatus st = check_usable(); st != VI_SUCCESS) return st;
    if (!locks_.may_access(lock_key_, id_)) return VI_ERROR_RSRC_LOCKED;
    size_t written = 0;
    start_failure_clock();
    ViStatus st = transport_->write(buf, count, send_end_en_, timeout_ms_, &written);
    if (ret != nullptr) *ret = ViUInt32(written);
    if (st < 0) note_failure(st, FWVISA_STAGE_IO);
    return st;
}

ViStatus Session::assert_trigger() {
    std::lock_guard<std::mutex> guard(mutex_);
    if (ViStatus st = check_usable(); st != VI_SUCCESS) return st;
    if (!locks_.may_access(lock_key_, id_)) return VI_ERROR_RSRC_LOCKED;
    return transport_->trigger(timeout_ms_);
}

ViStatus Session::lock(ViAccessMode type, ViUInt32 timeout_ms, const char* requested_key,
                       char* access_key) {
    std::lock_guard<std::mutex> guard(mutex_);
    if (ViStatus st = check_usable(); st != VI_SUCCESS) return st;
    if (type != VI_EXCLUSIVE_LOCK && type != VI_SHARED_LOCK) return VI_ERROR_INV_LOCK_TYPE;
    std::string key;
    if (type == VI_SHARED_LOCK) {
        if (requested_key != nullptr) {
            size_t len = strnlen(requested_key, max_string_attr);
            if (len == 0 || len >= max_string_attr) return VI_ERROR_INV_ACCESS_KEY;
            key.assign(requested_key, len);
        } else {
            key = locks_.state(lock_key_, id_) != VI_NO_LOCK && !shared_key_.empty()
                      ? shared_key_
                      : generated_key();
        }
    }
    net::Deadline deadline(timeout_ms);
    start_failure_clock();
    ViStatus st = locks_.acquire(lock_key_, id_, type, key, timeout_ms);
    if (st < 0) {
        note_failure(st, FWVISA_STAGE_LOCK);
        return st;
    }
    if (type == VI_EXCLUSIVE_LOCK && st == VI_SUCCESS) {
        // Other clients of the instrument see only its own lock.
        ViStatus dev = transport_->lock(deadline.remaining_ms());
        if (dev < 0 && dev != VI_ERROR_NSUP_OPER) {
            bool ended = false;
            locks_.release(lock_key_, id_, &ended);
            note_failure(dev, FWVISA_STAGE_LOCK);
            return dev;
        }
    }
    if (type == VI_SHARED_LOCK) {
        shared_key_ = key;
        if (access_key != nullptr) put_string(access_key, key);
    }
    return st;
}

ViStatus Session::unlock() {
    std::lock_guard<std::mutex> guard(mutex_);
    if (ViStatus st = check_usable(); st != VI_SUCCESS) return st;
    bool exclusive_ended = false;
    ViStatus st = locks_.release(lock_key_, id_, &exclusive_ended);
    if (exclusive_ended) {
        // Our own table is released whatever happens; a lock the instrument
        // may still hold for us is the caller's to know about.
        ViStatus dev = transport_->unlock(timeout_ms_);
        if (dev < 0 && dev != VI_ERROR_NSUP_OPER && dev != VI_ERROR_SESN_NLOCKED) {
            log_warning(log_module, "%s: releasing the instrument's lock failed (status 0x%08X)",
                        canonical_.c_str(), unsigned(dev));
            return dev;
        }
    }
    return st;
}

ViStatus Session::clear() {
    std::lock_guard<std::mutex> guard(mutex_);
    if (ViStatus st = check_usable(); st != VI_SUCCESS) return st;
    if (!locks_.may_access(lock_key_, id_)) return VI_ERROR_RSRC_LOCKED;
    return transport_->clear(timeout_ms_);
}

ViStatus Session::read_stb(ViUInt16* stb) {
    std::lock_guard<std::mutex> guard(mutex_);
    if (ViStatus st = check_usable(); st != VI_SUCCESS) return st;
    if (!locks_.may_access(lock_key_, id_)) return VI_ERROR_RSRC_LOCKED;
    return transport_->read_stb(timeout_ms_, stb);
}

ViStatus Session::close() {
    // Calls queued behind one that waits on a silent instrument would each
    // take their whole time-out before the close got its turn. Instead they
    // give up as soon as they get the mutex, and the call in progress is cut
    // short by the transport.
    closing_ = true;
    std::unique_lock<std::mutex> guard(mutex_, std::try_to_lock);
    bool cut_short = false;
    if (!guard.owns_lock()) {
        transport_->cancel();
        cut_short = true;
        guard.lock();
    }
    if (!open_) return VI_ERROR_INV_OBJECT;
    open_ = false;
    // The instrument's own lock dies with the connection; only then may the
    // next session of ours take it.
    ViStatus st = transport_->close(timeout_ms_);
    locks_.release_all(lock_key_, id_);
    // A connection we cut ourselves is no failure of the close; the call it
    // interrupted has reported what it could not finish.
    if (cut_short) return VI_SUCCESS;
    return st < 0 ? VI_ERROR_CLOSING_FAILED : VI_SUCCESS;
}

}  // namespace visa
