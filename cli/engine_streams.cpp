#include "engine_streams.h"

#include <cstdlib>
#include <cstring>

#include "update.h"

namespace cli {

EngineStreams::EngineStreams(LineFn progress, LineFn diagnostic)
    : progress_{std::move(progress), {}}, diagnostic_{std::move(diagnostic), {}} {
    const cookie_io_functions_t functions{nullptr, &EngineStreams::write_cookie, nullptr, nullptr};
    out_ = fopencookie(&progress_, "w", functions);
    err_ = fopencookie(&diagnostic_, "w", functions);
    // Unbuffered: a line reaches its callback when the engine writes it.
    if (out_) std::setvbuf(out_, nullptr, _IONBF, 0);
    if (err_) std::setvbuf(err_, nullptr, _IONBF, 0);
    update_set_streams(out_, err_);
    previous_ = current_;
    current_ = this;
}

EngineStreams* EngineStreams::current_ = nullptr;

EngineStreams::~EngineStreams() {
    if (previous_)
        update_set_streams(previous_->out_, previous_->err_);
    else
        update_set_streams(nullptr, nullptr);
    current_ = previous_;
    if (out_) std::fclose(out_);
    if (err_) std::fclose(err_);
}

ssize_t EngineStreams::write_cookie(void* cookie, const char* data, std::size_t size) {
    auto* sink = static_cast<Sink*>(cookie);
    for (std::size_t i = 0; i < size; ++i) {
        const char c = data[i];
        if (c != '\n' && c != '\r') {
            sink->pending += c;
            continue;
        }
        if (!sink->pending.empty() && sink->line) sink->line(sink->pending);
        sink->pending.clear();
    }
    return static_cast<ssize_t>(size);
}

EngineProgress parse_engine_progress(const std::string& line) {
    EngineProgress p;
    if (line.rfind("Sending file", 0) == 0) {
        p.kind = EngineProgress::sending;
    } else if (line.rfind("Bytes sent = ", 0) == 0) {
        p.kind = EngineProgress::sent;
        p.value = std::atoll(line.c_str() + 13);
    } else if (line.rfind("Programming flash", 0) == 0) {
        p.kind = EngineProgress::programming;
    } else if (line.rfind("Progress", 0) == 0) {
        p.kind = EngineProgress::percent;
        p.value = std::atoll(line.c_str() + 8);
    } else if (line.rfind("Update failed", 0) == 0) {
        p.kind = EngineProgress::failed;
    }
    return p;
}

bool is_lock_diagnostic(const std::string& line) {
    return line == "update: Device locked by another process.";
}

}  // namespace cli
