// A scripted stand-in for the VISA library.
//
// It implements every function of visa/include/visa.h, records each call with its
// arguments, and answers with statuses and replies that a test scripts. When
// nothing is scripted for a read, a small fake instrument answers from the
// command written since the previous read, so tests script only what differs.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "fwvisa_ext.h"
#include "visa.h"

namespace visa_double {

// Session handles the double hands out.
inline constexpr ViSession rm_handle = 1;
inline constexpr ViSession instr_handle = 2;
inline constexpr ViFindList find_handle = 3;

struct Call {
    std::string fn;         // "viOpen", "viWrite", ...
    ViObject obj = 0;       // session, resource manager or find list
    ViAttr attr = 0;        // viGetAttribute, viSetAttribute
    ViAttrState value = 0;  // viSetAttribute
    std::string text;       // viOpen name, viFindRsrc expression, viWrite bytes
    ViUInt32 count = 0;     // viRead/viWrite count, viOpen and viLock timeout
    ViUInt32 mode = 0;      // viOpen access mode, viLock type
    ViStatus status = 0;    // what the double returned
};

// The fake instrument's answers when no read is scripted.
struct Instrument {
    std::string identity = "Tavrion Technologies,K7141HA,1234,1.0\n";
    std::string sector_reply = "4096\n";
    std::string init_reply = "0\n";
    std::string block_reply = "0\n";
    std::deque<std::string> errors;  // ":SYST:ERR?" entries, oldest first
    std::string no_error = "+0,\"No error\"\n";
};

void reset();  // forget calls and scripts; a fresh Instrument; USB-less LAN session

const std::vector<Call>& calls();
std::vector<std::string> call_names();  // fn of every call, in order
std::vector<std::string> writes();      // bytes of each viWrite, in order
Instrument& instrument();

// The next call of `fn` returns `status` instead of succeeding (FIFO per name).
// For viWrite the write then moves nothing; see also short_write_next.
void fail_next(const std::string& fn, ViStatus status);
// The next viWrite moves only `moved` bytes and returns `status`.
void short_write_next(ViUInt32 moved, ViStatus status = VI_SUCCESS);
// Replies for the next reads, in order, before the fake instrument answers.
void queue_read(const std::string& reply, ViStatus status = VI_SUCCESS);

void set_interface_type(ViUInt16 type);             // default VI_INTF_TCPIP
void set_resources(std::vector<std::string> list);  // what viFindRsrc finds
void set_find_status(ViStatus status);              // viFindRsrc status override

// Text viStatusDesc gives for a status: "desc <status>".
std::string status_text(ViStatus status);

// Runs `hook` after every viWrite with the bytes written (tests that act
// in the middle of a transfer); reset() removes it.
void after_write(std::function<void(const std::string& bytes)> hook);

// Benchmarks: count written bytes without keeping them or any call record.
void set_recording(bool on);
uint64_t bytes_written();

// The library's extension (fwvisa_ext.h). Present by default, parsing with
// the real parser; absent, every call answers FWVISA_E_UNSUPPORTED, as
// another maker's library would.
void set_extension(bool present);
// What fwvisa_last_failure answers (nothing until set).
void set_last_failure(const fwvisa_failure& failure);
// What fwvisa_search_lan finds (nothing until set).
void set_lan_found(std::vector<std::string> resources);
// Hands `line` to the log callback the program set, if any.
void log_line(int32_t level, const std::string& line);
void reset_extension();  // part of reset()

}  // namespace visa_double
