#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "fwvisa_ext.h"
#include "visa.h"

namespace visa {

// Why a connection failed, as values, kept where it happens: the host, port,
// system error and stage the transports know, for fwvisa_last_failure. The
// sentence for people stays with set_failure_detail (log.h).
struct Failure {
    ViStatus status = VI_SUCCESS;
    int stage = FWVISA_STAGE_NONE;
    int cause = FWVISA_CAUSE_OTHER;
    int sys_errno = 0;
    std::string host;
    uint16_t port = 0;
    uint32_t elapsed_ms = 0;  // filled by record_failure
    // Lock refusals by a name held elsewhere: that name, whose holder is
    // looked up when someone asks (a walk through /proc).
    std::string lock_name;
    // What viStatusDesc adds to the standard text for `status` (see
    // set_failure_detail); empty where it adds nothing.
    std::string text;
};

// A failure with the facts most sites know.
inline Failure failure(ViStatus status, int stage, int cause, std::string host = {},
                       uint16_t port = 0, std::string text = {}, int sys_errno = 0) {
    Failure f;
    f.status = status;
    f.stage = stage;
    f.cause = cause;
    f.host = std::move(host);
    f.port = port;
    f.text = std::move(text);
    f.sys_errno = sys_errno;
    return f;
}

// A call whose failure may be recorded begins: its time counts from now.
void start_failure_clock();
// viOpen begins: this thread's record is forgotten, and the clock starts.
void forget_failure();
// Keeps `f` as this thread's last failure, timed from the clock. Its text
// is what the caller already made viStatusDesc's sentence, or empty.
void record_failure(Failure f);
// The same, and its text as viStatusDesc's sentence for f.status.
void record_failure_with_detail(Failure f);
// The failure just recorded was met on the way to a later stage (the
// portmapper's connection): it is that stage's, with `text` as its sentence.
void restage_failure(int stage, const std::string& text);
// This thread's last failure since its last open began.
std::optional<Failure> last_failure();

// The cause and text of a system error met while connecting.
int cause_of_errno(int error);

}  // namespace visa
