#include "visa/failure.h"

#include <cerrno>
#include <chrono>

#include "visa/log.h"

namespace visa {
namespace {

struct Record {
    std::chrono::steady_clock::time_point started = std::chrono::steady_clock::now();
    std::optional<Failure> failure;
};
thread_local Record record;

}  // namespace

void start_failure_clock() {
    record.started = std::chrono::steady_clock::now();
}

void forget_failure() {
    record.failure.reset();
    start_failure_clock();
}

void record_failure(Failure f) {
    const auto spent = std::chrono::steady_clock::now() - record.started;
    f.elapsed_ms = uint32_t(std::chrono::duration_cast<std::chrono::milliseconds>(spent).count());
    record.failure = std::move(f);
}

void record_failure_with_detail(Failure f) {
    set_failure_detail(f.status, f.text);
    record_failure(std::move(f));
}

void restage_failure(int stage, const std::string& text) {
    if (!record.failure) return;
    record.failure->stage = stage;
    record.failure->text = text;
}

std::optional<Failure> last_failure() {
    return record.failure;
}

int cause_of_errno(int error) {
    switch (error) {
        case 0:
        case ETIMEDOUT:
            return FWVISA_CAUSE_TIMED_OUT;
        case ECONNREFUSED:
            return FWVISA_CAUSE_REFUSED;
        case EHOSTUNREACH:
        case ENETUNREACH:
            return FWVISA_CAUSE_UNREACHABLE;
        case ECONNRESET:
        case EPIPE:
            return FWVISA_CAUSE_LOST;
        default:
            return FWVISA_CAUSE_OTHER;
    }
}

}  // namespace visa
