#include "update.h"

#include "update_internal.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <new>

namespace update_internal {
namespace {

thread_local update_engine::state* engine_in_use = nullptr;

}  // namespace

struct engine_access {
    static update_engine::state& of(update_engine& engine) { return *engine.state_; }
};

update_engine::state& engine() {
    return engine_in_use ? *engine_in_use : engine_access::of(update_default_engine());
}

EngineInUse::EngineInUse(update_engine::state& engine) : previous_(engine_in_use) {
    engine_in_use = &engine;
}

EngineInUse::~EngineInUse() {
    engine_in_use = previous_;
}

void set_current_resource(const char* resource) {
    std::snprintf(engine().resource_now, sizeof engine().resource_now, "%s",
                  resource ? resource : "");
}

void report_failure(ViSession vi, ViStatus status, const char* function) {
    notify(&update_observer::on_visa_error, status, function, current_resource());
    update_report_status(status, vi);
}

// Writes `length` bytes as one VISA write; a failed or short write is reported.
bool send(ViSession vi, const void* data, ViUInt32 length) {
    ViUInt32 written = 0;
    const ViStatus status = viWrite(vi, static_cast<ViConstBuf>(data), length, &written);
    if (status < VI_SUCCESS || written != length) {
        report_failure(vi, status, "viWrite");
        return false;
    }
    return true;
}

int64_t file_size(int fd) {
    struct stat status;
    if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) return 0;
    return status.st_size;
}

// read() until `length` bytes or end of file; returns the count read.
int64_t read_fully(int fd, ViByte* into, int64_t length) {
    int64_t done = 0;
    while (done < length) {
        const ssize_t got = ::read(fd, into + done, static_cast<size_t>(length - done));
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        done += got;
    }
    return done;
}

}  // namespace update_internal

using namespace update_internal;

namespace {

constexpr ViUInt32 write_piece = 4096;
constexpr int reply_capacity = 512;
constexpr uint32_t reboot_wait_ms = 4000;

// How often a block's progress is reported at least: by bytes and by time.
constexpr ViUInt32 progress_bytes = 1u << 20;
constexpr long progress_ms = 100;

long now_ms() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC_COARSE, &t);
    return static_cast<long>(t.tv_sec) * 1000 + t.tv_nsec / 1000000;
}

// Tells the observers how much of the image has gone out while a block is
// written: every MiB and every 100 ms, and at the block's end.
class ProgressClock {
public:
    void sent(ViUInt32 offset, bool last) {
        const BlockProgress& block = engine().block_progress;
        if (!block.image || observers().empty()) return;
        if (!last && offset - reported_ < progress_bytes && now_ms() - at_ < progress_ms) return;
        reported_ = offset;
        at_ = now_ms();
        const int64_t data = offset > ViUInt32(block.header) ? int64_t(offset) - block.header : 0;
        notify(&update_observer::on_bytes_sent, block.image, block.before + data, block.total);
    }

private:
    ViUInt32 reported_ = 0;
    long at_ = now_ms();
};

// One entry operation, as the observers see it: its resource for their
// reports while it runs, and its start and end.
class EntryOperation {
public:
    EntryOperation(const char* operation, const char* resource) : operation_(operation) {
        set_current_resource(resource);
        notify(&update_observer::on_operation, operation_, current_resource(), false, 0);
    }
    ~EntryOperation() {
        notify(&update_observer::on_operation, operation_, current_resource(), true, result_);
        set_current_resource(nullptr);
    }
    EntryOperation(const EntryOperation&) = delete;
    EntryOperation& operator=(const EntryOperation&) = delete;
    int result(int value) { return result_ = value; }

private:
    const char* operation_;
    int result_ = 0;
};

void real_sleep(uint32_t milliseconds) {
    timespec left{static_cast<time_t>(milliseconds / 1000),
                  static_cast<long>(milliseconds % 1000) * 1000000L};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

// Reads at most capacity - 1 bytes into `buffer` and terminates them. A broken
// library that claims more than it was asked for cannot overrun the buffer.
ViStatus receive(ViSession vi, char* buffer, ViUInt32 capacity) {
    ViUInt32 got = 0;
    const ViStatus status = viRead(vi, reinterpret_cast<ViPBuf>(buffer), capacity - 1, &got);
    buffer[got < capacity ? got : capacity - 1] = '\0';
    return status;
}

// Parses a decimal integer the way the instrument's replies are read: leading
// white space, one optional sign, digits; whatever follows is ignored.
// Out-of-range values saturate. False when there are no digits.
bool parse_decimal(const char* text, int32_t* value) {
    errno = 0;
    char* end = nullptr;
    const long long parsed = std::strtoll(text, &end, 10);
    if (end == text) return false;
    *value = static_cast<int32_t>(parsed > INT32_MAX   ? INT32_MAX
                                  : parsed < INT32_MIN ? INT32_MIN
                                                       : parsed);
    return true;
}

// Copies `text` into a fixed buffer, refusing what would not fit.
bool copy_bounded(const char* text, char* into, size_t capacity, const char* refusal) {
    const size_t length = text ? std::strlen(text) : 0;
    if (length >= capacity) {
        std::fprintf(err(), refusal, length);
        return false;
    }
    std::memcpy(into, text ? text : "", length + 1);
    return true;
}

}  // namespace

// ---- the engine object and its seams --------------------------------------------

update_engine::update_engine() : state_(new state) {
    state_->sleep = real_sleep;
}

update_engine::~update_engine() = default;

void update_engine::set_streams(FILE* out_to, FILE* err_to) {
    state_->out = out_to;
    state_->err = err_to;
}

bool update_engine::add_observer(const update_observer* observer) {
    if (!observer) return false;
    try {
        state_->observers.push_back(observer);
    } catch (const std::bad_alloc&) {
        return false;
    }
    return true;
}

void update_engine::remove_observer(const update_observer* observer) {
    ObserverList& list = state_->observers;
    const auto found = std::find(list.begin(), list.end(), observer);
    if (found != list.end()) list.erase(found);
}

void update_engine::set_sleep(update_sleep_fn sleep) {
    state_->sleep = sleep ? sleep : real_sleep;
}

update_engine& update_default_engine() {
    // Never destroyed: callers may still use it from their static destructors.
    static update_engine* const engine = new update_engine;
    return *engine;
}

void update_set_streams(FILE* out_to, FILE* err_to) {
    update_default_engine().set_streams(out_to, err_to);
}

bool update_add_observer(const update_observer* observer) {
    return update_default_engine().add_observer(observer);
}

void update_remove_observer(const update_observer* observer) {
    update_default_engine().remove_observer(observer);
}

void update_set_sleep(update_sleep_fn sleep) {
    update_default_engine().set_sleep(sleep);
}

// ---- primitives ----------------------------------------------------------------

void update_report_visa_error(ViSession vi, ViStatus status) {
    char* const description = engine().status_description;
    description[0] = '\0';
    viStatusDesc(vi, status, description);
    description[sizeof engine().status_description - 1] = '\0';
    std::fprintf(err(), text_visa_error, static_cast<int>(status), description);
}

void update_report_status(ViStatus status, ViSession vi) {
    if (status == VI_ERROR_TMO)
        std::fputs(text_timed_out, err());
    else
        update_report_visa_error(vi, status);
}

void update_set_timeout(ViSession vi, int32_t timeout_ms) {
    const ViAttrState value = timeout_ms < 0 ? VI_TMO_INFINITE : static_cast<ViUInt32>(timeout_ms);
    const ViStatus status = viSetAttribute(vi, VI_ATTR_TMO_VALUE, value);
    if (status < VI_SUCCESS) {
        notify(&update_observer::on_visa_error, status, "viSetAttribute", current_resource());
        update_report_visa_error(vi, status);
    }
}

ViStatus update_configure_session(ViSession vi) {
    ViUInt16 type = 0;
    const ViStatus status = viGetAttribute(vi, VI_ATTR_INTF_TYPE, &type);
    if (status != VI_SUCCESS) return status;
    if (type == VI_INTF_TCPIP) return viSetAttribute(vi, VI_ATTR_TERMCHAR_EN, VI_TRUE);
    return VI_SUCCESS;
}

int update_read_scpi_error(ViSession vi, char* reply) {
    reply[0] = '\0';
    if (!send_text(vi, cmd_syst_err)) return 0;
    const ViStatus status = receive(vi, reply, update_scpi_reply_max + 1);
    if (status < VI_SUCCESS) {
        report_failure(vi, status, "viRead");
        return 0;
    }
    // The first character is the sign and the magnitude follows it directly.
    // A reply without a sign starts with its first digit instead; reading that
    // digit as a sign would turn "10,..." into 0 and "0,..." into no number.
    int32_t magnitude = 0;
    if (reply[0] >= '0' && reply[0] <= '9') {
        parse_decimal(reply, &magnitude);
        return magnitude;
    }
    if (reply[0] != '\0' && reply[1] >= '0' && reply[1] <= '9') {
        parse_decimal(reply + 1, &magnitude);
        return reply[0] == '-' ? -magnitude : magnitude;
    }
    // No number at all: like a queue that cannot be read, it counts as empty,
    // so that the drain ends. The reply's terminator is not part of it.
    char shown[update_scpi_reply_max + 1];
    size_t length = std::strlen(reply);
    while (length > 0 && (reply[length - 1] == '\n' || reply[length - 1] == '\r'))
        --length;
    std::memcpy(shown, reply, length);
    shown[length] = '\0';
    std::fprintf(err(), text_scpi_unreadable, shown);
    return 0;
}

int update_check_scpi_errors(ViSession vi) {
    // Every entry read is printed. After the last one the drain may print,
    // the queue is not read again, so whether it is empty is not known.
    char* const scpi_reply = engine().scpi_reply;
    const int first = update_read_scpi_error(vi, scpi_reply);
    int current = first;
    for (int printed = 0; current != 0;) {
        notify(&update_observer::on_scpi_error, static_cast<const char*>(scpi_reply));
        std::fprintf(err(), text_scpi_error, scpi_reply);
        if (++printed == update_scpi_drain_limit) {
            std::fprintf(err(), text_scpi_endless, update_scpi_drain_limit);
            break;
        }
        current = update_read_scpi_error(vi, scpi_reply);
    }
    return first;
}

int32_t update_file_length(int fd) {
    const int64_t size = file_size(fd);
    return size > INT32_MAX ? 0 : static_cast<int32_t>(size);
}

bool update_open_session(const char* resource, ViSession* rm, ViSession* vi) {
    char name[update_resource_capacity];
    if (!copy_bounded(resource, name, sizeof name, text_resource_too_long)) return false;

    *rm = VI_NULL;
    *vi = VI_NULL;
    ViStatus status = viOpenDefaultRM(rm);
    if (status < VI_SUCCESS) {
        notify(&update_observer::on_visa_error, status, "viOpenDefaultRM",
               static_cast<const char*>(name));
        std::fputs(text_rm_failed, err());
        update_report_visa_error(VI_NULL, status);
        return false;
    }
    status = viOpen(*rm, name, VI_NULL, 0, vi);
    if (status != VI_SUCCESS) {
        notify(&update_observer::on_visa_error, status, "viOpen", static_cast<const char*>(name));
        std::fputs(text_open_failed, err());
        update_report_visa_error(*rm, status);
        viClose(*rm);
        return false;
    }
    status = viLock(*vi, VI_EXCLUSIVE_LOCK, 0, VI_NULL, VI_NULL);
    if (status < VI_SUCCESS) {
        if (status == VI_ERROR_TMO) {
            notify(&update_observer::on_locked, static_cast<const char*>(name));
            std::fputs(text_locked, err());
        } else {
            notify(&update_observer::on_visa_error, status, "viLock",
                   static_cast<const char*>(name));
            std::fputs(text_lock_failed, err());
            update_report_visa_error(*vi, status);
        }
        viClose(*vi);
        viClose(*rm);
        return false;
    }
    return true;
}

void update_close_session(ViSession rm, ViSession vi) {
    viUnlock(vi);
    viClose(vi);
    viClose(rm);
}

// ---- image upload ----------------------------------------------------------------

int update_format_block_header(int32_t length, char* buffer) {
    // Ten digits would not fit the header's one length digit; such lengths
    // (and negative ones) get no header rather than a cut one.
    if (length < 0 || length > update_block_length_max) {
        buffer[0] = '\0';
        return 0;
    }
    char digits[16];
    const int count = std::snprintf(digits, sizeof digits, "%d", static_cast<int>(length));
    return std::snprintf(buffer, update_block_header_max + 1, "%s%d%s", cmd_block, count, digits);
}

bool update_write_block(ViSession vi, const ViByte* message, int32_t length) {
    ViStatus status = viSetAttribute(vi, VI_ATTR_SEND_END_EN, VI_FALSE);
    if (status < VI_SUCCESS) {
        report_failure(vi, status, "viSetAttribute");
        return false;
    }
    const auto total = static_cast<ViUInt32>(length);
    ProgressClock progress;
    for (ViUInt32 offset = 0; offset < total;) {
        const ViUInt32 piece = total - offset < write_piece ? total - offset : write_piece;
        ViUInt32 written = 0;
        status = viWrite(vi, message + offset, piece, &written);
        if (status < VI_SUCCESS || written != piece) {
            // What went out before the failure, so that it is never
            // reported as more (or less) than the instrument took.
            progress.sent(offset + (written < piece ? written : 0), true);
            report_failure(vi, status, "viWrite");
            viSetAttribute(vi, VI_ATTR_SEND_END_EN, VI_TRUE);
            return false;
        }
        offset += piece;
        progress.sent(offset, offset == total);
    }
    viSetAttribute(vi, VI_ATTR_SEND_END_EN, VI_TRUE);
    if (!send(vi, "\n", 1)) return false;
    return update_read_reply_code(vi) == 0;
}

int update_read_reply_code(ViSession vi) {
    char reply[reply_capacity];
    const ViStatus status = receive(vi, reply, sizeof reply);
    if (status < VI_SUCCESS) {
        report_failure(vi, status, "viRead");
        return -1;
    }
    int32_t code = 0;
    if (!parse_decimal(reply, &code)) {
        std::fprintf(err(), text_illegal_return, reply);
        return -1;
    }
    return code;
}

bool update_query_sector_size(ViSession vi, const char* image, int32_t* sector_size) {
    *sector_size = 0;
    char command[command_capacity];
    const int length = std::snprintf(command, sizeof command, cmd_sector, image);
    if (length < 0 || length >= command_capacity) {
        std::fprintf(err(), text_identifier_too_long, std::strlen(image));
        return false;
    }
    if (!send(vi, command, static_cast<ViUInt32>(length))) return false;
    char reply[reply_capacity];
    const ViStatus status = receive(vi, reply, sizeof reply);
    if (status < VI_SUCCESS) {
        report_failure(vi, status, "viRead");
        return false;
    }
    int32_t size = 0;
    if (!parse_decimal(reply, &size)) {
        std::fprintf(err(), text_illegal_sector, reply);
        return false;
    }
    *sector_size = size;
    return true;
}

void update_abort_transfer(ViSession vi) {
    ViUInt32 written = 0;
    viWrite(vi, reinterpret_cast<ViConstBuf>(cmd_done), sizeof cmd_done - 1, &written);
    std::fputs(text_update_failed, out());
    std::fflush(out());
}

// ---- entry operations --------------------------------------------------------------

int update_engine::identify(const char* resource, char* reply, int size, int32_t timeout_ms) {
    EngineInUse use(*state_);
    if (!reply || size < 2) {
        std::fprintf(err(), text_reply_buffer, size);
        return 0;
    }
    reply[0] = '\0';
    EntryOperation operation("identify", resource);
    ViSession rm, vi;
    if (!update_open_session(resource, &rm, &vi)) return 0;
    int result = 0;
    update_set_timeout(vi, timeout_ms);
    if (const ViStatus status = update_configure_session(vi); status != VI_SUCCESS) {
        report_failure(vi, status, "viSetAttribute");
    } else if (send_text(vi, cmd_idn)) {
        const ViStatus read_status = receive(vi, reply, static_cast<ViUInt32>(size));
        if (read_status < VI_SUCCESS)
            report_failure(vi, read_status, "viRead");
        else
            result = 1;
    }
    update_close_session(rm, vi);
    return operation.result(result);
}

int update_engine::start(const char* resource) {
    EngineInUse use(*state_);
    EntryOperation operation("start", resource);
    ViSession rm, vi;
    if (!update_open_session(resource, &rm, &vi)) return 0;
    int result = 0;
    update_set_timeout(vi, update_timeout_ms);
    if (const ViStatus status = update_configure_session(vi); status != VI_SUCCESS) {
        report_failure(vi, status, "viSetAttribute");
    } else if (send_text(vi, cmd_cls) && send_text(vi, cmd_start)) {
        // Entries are printed so the operator's log shows them, but starting
        // succeeded: the instrument took the command.
        update_check_scpi_errors(vi);
        result = 1;
    }
    update_close_session(rm, vi);
    return operation.result(result);
}

int update_engine::image(const char* resource, const char* image, const char* path,
                         int32_t requested_block_size) {
    EngineInUse use(*state_);
    EntryOperation operation("image", resource);
    operation.result(1);
    char identifier[update_identifier_capacity];
    char file[update_path_capacity];
    if (!copy_bounded(image, identifier, sizeof identifier, text_identifier_too_long) ||
        !copy_bounded(path, file, sizeof file, text_path_too_long))
        return 1;
    ViSession rm, vi;
    if (!update_open_session(resource, &rm, &vi)) return 1;
    int result = 1;
    if (const ViStatus status = update_configure_session(vi); status != VI_SUCCESS)
        report_failure(vi, status, "viSetAttribute");
    else
        result = update_send_file(vi, file, identifier, requested_block_size);
    update_close_session(rm, vi);
    return operation.result(result);
}

void update_engine::end(const char* resource) {
    EngineInUse use(*state_);
    EntryOperation operation("end", resource);
    ViSession rm, vi;
    if (!update_open_session(resource, &rm, &vi)) return;
    operation.result(send_text(vi, cmd_end) ? 1 : 0);
    update_close_session(rm, vi);
}

void update_engine::reboot_host(const char* resource) {
    EngineInUse use(*state_);
    EntryOperation operation("reboot", resource);
    ViSession rm, vi;
    if (!update_open_session(resource, &rm, &vi)) return;
    state_->sleep(reboot_wait_ms);
    ViUInt32 written = 0;
    // Nothing is printed for a failure here; the observers learn of it.
    const ViStatus status =
        viWrite(vi, reinterpret_cast<ViConstBuf>(cmd_reboot), sizeof cmd_reboot - 1, &written);
    if (status < VI_SUCCESS || written != sizeof cmd_reboot - 1)
        notify(&update_observer::on_visa_error, status, "viWrite", current_resource());
    else
        operation.result(1);
    update_close_session(rm, vi);
}

int update_identify(const char* resource, char* reply, int size, int32_t timeout_ms) {
    return update_default_engine().identify(resource, reply, size, timeout_ms);
}

int update_start(const char* resource) {
    return update_default_engine().start(resource);
}

int update_image(const char* resource, const char* image, const char* path,
                 int32_t requested_block_size) {
    return update_default_engine().image(resource, image, path, requested_block_size);
}

void update_end(const char* resource) {
    update_default_engine().end(resource);
}

void update_reboot_host(const char* resource) {
    update_default_engine().reboot_host(resource);
}
