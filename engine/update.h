// The firmware transfer engine: an object, and plain functions on its default
// instance, that speak SCPI to one instrument through the VISA C API.
//
// Every entry operation takes the resource name by copy, opens its own
// resource-manager and instrument sessions, locks the instrument exclusively
// without waiting, and unlocks and closes both before it returns, on every
// path. Diagnostics go to standard error and upload progress to standard
// output; nothing here shows anything to the operator and nothing is retried.
//
// The state (streams, observers, sleep, report buffers) lives in an
// update_engine; the update_* functions are calls on the default one. One
// engine is not reentrant: one call at a time on it. Separate engines share
// nothing and may run at the same time on separate threads.
#pragma once

#include <stdint.h>
#include <stdio.h>

#include <memory>

#include "visa.h"

// The I/O timeout of the long steps (start and uploads), in milliseconds.
inline constexpr int32_t update_timeout_ms = 240000;

// Capacities of the copies the operations take of their text arguments,
// terminator included. Longer texts are refused with an "update: ..." line.
inline constexpr int update_resource_capacity = 64;
inline constexpr int update_identifier_capacity = 16;
inline constexpr int update_path_capacity = 256;

// An error-queue reply is read with at most this many bytes.
inline constexpr int update_scpi_reply_max = 256;

// The drain reads and prints at most this many entries, then says the queue
// may still hold more: an instrument that never says "no error" must not
// hang us.
inline constexpr int update_scpi_drain_limit = 1000;

// ---- entry operations (what the workflow calls) -----------------------------

// Sends "*IDN?" and reads at most size - 1 bytes of reply into `reply`,
// terminated after the bytes received. 1 on success, 0 on failure.
int update_identify(const char* resource, char* reply, int size, int32_t timeout_ms);

// Clears status, enters update mode and drains the error queue (entries are
// printed but do not fail the call). 1 on success, 0 on failure.
int update_start(const char* resource);

// Uploads one image file. 0 on success, 1 on failure (polarity as callers
// rely on it). A requested block size of 0 or less means one block.
int update_image(const char* resource, const char* image, const char* path,
                 int32_t requested_block_size);

// Leaves update mode. Reports failures and returns nothing.
void update_end(const char* resource);

// Waits 4 s holding the lock, then asks the instrument to restart its host
// processor. Reports failures and returns nothing.
void update_reboot_host(const char* resource);

// ---- primitives (on the engine whose entry operation is under way, else on
// the default engine) ---------------------------------------------------------------

void update_report_visa_error(ViSession vi, ViStatus status);
void update_report_status(ViStatus status, ViSession vi);
void update_set_timeout(ViSession vi, int32_t timeout_ms);
ViStatus update_configure_session(ViSession vi);

// `reply` must hold update_scpi_reply_max + 1 bytes.
int update_read_scpi_error(ViSession vi, char* reply);
int update_check_scpi_errors(ViSession vi);

// Length of the open file descriptor's file; 0 if it cannot be had or does
// not fit a signed 32-bit count.
int32_t update_file_length(int fd);

// Session procedure. On success *rm and *vi are open and *vi is locked; on
// failure both are closed again and the reason has been written.
bool update_open_session(const char* resource, ViSession* rm, ViSession* vi);
void update_close_session(ViSession rm, ViSession vi);

// ---- image upload --------------------------------------------------------------

int update_send_file(ViSession vi, const char* path, const char* image,
                     int32_t requested_block_size);
bool update_query_sector_size(ViSession vi, const char* image, int32_t* sector_size);

// Writes "DIAG:UPD:BLOC? #<n><length>" at the buffer's start and returns its
// length (at most update_block_header_max). A `length` outside 0..999999999
// has no such header: the buffer gets "" and the result is 0.
int update_format_block_header(int32_t length, char* buffer);
inline constexpr int update_block_header_max = 27;
inline constexpr int32_t update_block_length_max = 999999999;

bool update_write_block(ViSession vi, const ViByte* message, int32_t length);
int update_read_reply_code(ViSession vi);
void update_abort_transfer(ViSession vi);

// ---- seams -------------------------------------------------------------------

// Where diagnostics and progress go; null restores stderr and stdout.
void update_set_streams(FILE* out, FILE* err);

// Optional observers of what the engine does, as typed values beside its
// printed texts, which stay exactly as they are with or without them. Every
// callback may be null. They are called on the thread that called the
// engine, in order, and must not call the engine themselves.
struct update_observer {
    void* context;
    // Each piece of an image file as it is read into the transfer buffer, in
    // file order and before any byte of that piece goes to the instrument;
    // `offset` is the piece's place in the file and `total` the file's
    // length, so the last piece ends at `total`. Returning false fails the
    // image before that piece is sent: the engine reports the file as changed
    // and ends the transfer as for any failure.
    bool (*on_image_read)(void* context, const char* image, const ViByte* data, int32_t length,
                          int64_t offset, int64_t total);
    // An entry operation ("identify", "start", "image", "end" or "reboot")
    // begins (`ended` false, `result` 0) and ends (`ended` true) on
    // `resource`. `result` is what the operation returns (update_image: 0 for
    // success; identify and start: 1); end and reboot give 1 when every
    // command went out, else 0.
    void (*on_operation)(void* context, const char* operation, const char* resource, bool ended,
                         int result);
    // Image bytes sent so far within a transfer, of `total`: at least every
    // MiB and every 100 ms while a block goes out, and once at its end.
    void (*on_bytes_sent)(void* context, const char* image, int64_t sent, int64_t total);
    // A whole block was sent and the instrument took it.
    void (*on_block_sent)(void* context, const char* image, int64_t sent, int64_t total);
    // The whole image is with the instrument, which now programs its flash.
    void (*on_programming)(void* context, const char* image);
    // Another session holds the instrument's lock; the operation ends.
    void (*on_locked)(void* context, const char* resource);
    // A VISA call failed: its status, the function ("viOpen", "viLock",
    // "viWrite", "viRead", "viSetAttribute", ...) and the resource.
    void (*on_visa_error)(void* context, ViStatus status, const char* function,
                          const char* resource);
    // One entry read from the instrument's error queue, as received.
    void (*on_scpi_error)(void* context, const char* entry);
    // Supplies the descriptor the image file `path` is read from, in place
    // of the engine opening `path` itself, so that a caller can have a copy
    // it checked sent while every text still names the file: true when this
    // observer answers for `path`, with a descriptor in *fd that the engine
    // then owns (positioned at the start), or -1 for one it must not send
    // (reported as a file it cannot open, before anything is sent). False
    // leaves the opening to the next observer, or to the engine.
    bool (*open_image)(void* context, const char* image, const char* path, int* fd);
};
// Adds an observer (any number; false only for null or when memory runs out)
// or removes one. An observer must outlive its time on the list.
bool update_add_observer(const update_observer* observer);
void update_remove_observer(const update_observer* observer);

// The millisecond sleep before the reboot command; null restores the real one.
using update_sleep_fn = void (*)(uint32_t milliseconds);
void update_set_sleep(update_sleep_fn sleep);

// ---- the engine as an object -----------------------------------------------------

namespace update_internal {
struct engine_access;
}

// One engine: what it is told (streams, observers, sleep) and its report
// buffers, seen by its own calls only. The operations and seams are those of
// the update_* functions above, with the same texts and results.
class update_engine {
public:
    update_engine();
    ~update_engine();
    update_engine(const update_engine&) = delete;
    update_engine& operator=(const update_engine&) = delete;

    int identify(const char* resource, char* reply, int size, int32_t timeout_ms);
    int start(const char* resource);
    int image(const char* resource, const char* image, const char* path,
              int32_t requested_block_size);
    void end(const char* resource);
    void reboot_host(const char* resource);

    void set_streams(FILE* out, FILE* err);
    bool add_observer(const update_observer* observer);
    void remove_observer(const update_observer* observer);
    void set_sleep(update_sleep_fn sleep);

    // Known inside the engine only.
    struct state;

private:
    friend struct update_internal::engine_access;
    std::unique_ptr<state> state_;
};

// The engine the update_* functions use; it lives as long as the process.
update_engine& update_default_engine();
