#pragma once

// What the engine's two files share: the texts and commands, the engine's
// state and the writes. Nothing outside engine/ includes this.

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#include <vector>

#include "update.h"
#include "visa.h"

namespace update_internal {

// Every line the engine writes. Callers and instruments' operators rely on
// these texts byte for byte, so they live here and nowhere else.
inline constexpr char text_visa_error[] = "VISA error: %d - %s\n";
inline constexpr char text_timed_out[] = "Command timed out!\n";
inline constexpr char text_rm_failed[] = "update: viOpenDefaultRM failed\n";
inline constexpr char text_open_failed[] = "update: viOpen failed\n";
inline constexpr char text_locked[] = "update: Device locked by another process.\n";
inline constexpr char text_lock_failed[] = "update: viLock failed\n";
inline constexpr char text_scpi_error[] = "update: SCPI error - %s";
inline constexpr char text_scpi_unreadable[] = "update: unreadable SCPI error reply '%s'\n";
inline constexpr char text_scpi_endless[] =
    "update: SCPI error queue still not empty after %d entries\n";
inline constexpr char text_cant_open[] = "update: can't open file '%s'\n";
inline constexpr char text_length[] = "update: file '%s' length is %d\n";
inline constexpr char text_too_large[] =
    "update: file '%s' is too large (%lld bytes; at most 2147483647)\n";
inline constexpr char text_no_blocks[] = "update: image '%s' does not support block transfers\n";
inline constexpr char text_block_too_long[] =
    "update: block of %lld bytes is too long for a definite-length block (at most 999999999)\n";
inline constexpr char text_alloc[] = "update: failed to allocate buffer\n";
inline constexpr char text_short_file[] = "update: failed to read image file\n";
inline constexpr char text_file_changed[] = "update: file '%s' changed while it was being sent\n";
inline constexpr char text_illegal_return[] = "update: illegal error return '%s'\n";
inline constexpr char text_illegal_sector[] = "update: illegal sector size reported '%s'\n";
inline constexpr char text_resource_too_long[] =
    "update: resource name too long (%zu characters; at most 63)\n";
inline constexpr char text_identifier_too_long[] =
    "update: image identifier too long (%zu characters; at most 15)\n";
inline constexpr char text_path_too_long[] =
    "update: file path too long (%zu characters; at most 255)\n";
inline constexpr char text_reply_buffer[] = "update: reply buffer of %d bytes is too small\n";
inline constexpr char text_update_failed[] = "\nUpdate failed.  Please re-run the application.\n";
inline constexpr char text_sending[] = "Sending file, please wait.\n";
inline constexpr char text_bytes_sent[] = "Bytes sent = %ld.\n";
inline constexpr char text_programming[] = "Programming flash, please wait.\n";
inline constexpr char text_progress[] = "Progress %3d%%\r";

inline constexpr char cmd_idn[] = "*IDN?\n";
inline constexpr char cmd_cls[] = "*cls\n";
inline constexpr char cmd_start[] = "DIAG:UPD:STARt\n";
inline constexpr char cmd_debug[] = "DIAG:SCPI:DEBUG ON\n";
inline constexpr char cmd_sector[] = "DIAG:UPD:SSIZ? %s\n";
inline constexpr char cmd_init[] = "DIAG:UPD:INIT? %s,%d,%d\n";
inline constexpr char cmd_block[] = "DIAG:UPD:BLOC? #";
inline constexpr char cmd_done[] = "DIAG:UPD:DONE\n";
inline constexpr char cmd_end[] = "DIAG:UPD:END\n";
inline constexpr char cmd_reboot[] = "DIAG:HW:HOST:REBoot\n";
inline constexpr char cmd_syst_err[] = ":SYST:ERR?\n";

inline constexpr int command_capacity = 512;

// Which image bytes update_write_block is sending, for the observers'
// progress reports: set by the upload around each block, `image` null
// outside one. The message starts with `header` bytes of block header;
// `before` image bytes went out in earlier blocks, of `total`.
struct BlockProgress {
    const char* image = nullptr;
    int header = 0;
    int64_t before = 0;
    int64_t total = 0;
};

using ObserverList = std::vector<const update_observer*>;

}  // namespace update_internal

struct update_engine::state {
    FILE* out = nullptr;
    FILE* err = nullptr;
    update_sleep_fn sleep = nullptr;
    update_internal::ObserverList observers;
    // The resource of the entry operation under way ("" outside one), for
    // the observers' reports.
    char resource_now[update_resource_capacity] = "";
    update_internal::BlockProgress block_progress;
    // The two report buffers that outlive a call.
    char status_description[1024] = "";
    char scpi_reply[update_scpi_reply_max + 1] = "";
};

namespace update_internal {

// The engine whose entry operation is under way on this thread, else the
// default engine: the primitives work on it.
update_engine::state& engine();

// Makes `engine` the one under way on this thread for its lifetime.
class EngineInUse {
public:
    explicit EngineInUse(update_engine::state& engine);
    ~EngineInUse();
    EngineInUse(const EngineInUse&) = delete;
    EngineInUse& operator=(const EngineInUse&) = delete;

private:
    update_engine::state* previous_;
};

// The engine's streams as set (set_streams), else stdout and stderr.
inline FILE* out() {
    FILE* stream = engine().out;
    return stream ? stream : stdout;
}
inline FILE* err() {
    FILE* stream = engine().err;
    return stream ? stream : stderr;
}

// The observers, in the order they were added.
inline const ObserverList& observers() {
    return engine().observers;
}

// Calls `fn` of every observer that has it, with the observer's context
// first; for each observer in the order they were added.
template <typename Fn, typename... Args>
void notify(Fn update_observer::*fn, Args... args) {
    for (const update_observer* o : observers())
        if (o->*fn) (o->*fn)(o->context, args...);
}

inline const char* current_resource() {
    return engine().resource_now;
}
void set_current_resource(const char* resource);

inline void set_block_progress(const BlockProgress& progress) {
    engine().block_progress = progress;
}

// Reports a failed VISA call to the observers and as the engine's text.
void report_failure(ViSession vi, ViStatus status, const char* function);

// Writes `length` bytes as one VISA write; a failed or short write is reported.
bool send(ViSession vi, const void* data, ViUInt32 length);

template <size_t N>
bool send_text(ViSession vi, const char (&text)[N]) {
    return send(vi, text, N - 1);
}

// The size of a regular file; 0 for anything else.
int64_t file_size(int fd);
// read() until `length` bytes or end of file; returns the count read.
int64_t read_fully(int fd, ViByte* into, int64_t length);

}  // namespace update_internal
