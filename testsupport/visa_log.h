#pragma once

#include <mutex>
#include <string>

#include "visa/log.h"

// Collects the VISA library's log lines for as long as it lives, so that a
// test can check that the line a user needs (what failed, where, which
// error) is there. One at a time: the library has one sink.
class VisaLogCapture {
public:
    VisaLogCapture() {
        text().clear();
        visa::set_log_sink(&keep);
    }
    ~VisaLogCapture() { visa::set_log_sink(nullptr); }
    VisaLogCapture(const VisaLogCapture&) = delete;
    VisaLogCapture& operator=(const VisaLogCapture&) = delete;

    std::string lines() const {
        std::lock_guard<std::mutex> g(mutex());
        return text();
    }
    bool has(const std::string& part) const { return lines().find(part) != std::string::npos; }

private:
    static std::mutex& mutex() {
        static std::mutex m;
        return m;
    }
    static std::string& text() {
        static std::string t;
        return t;
    }
    static void keep(const char* line) {
        std::lock_guard<std::mutex> g(mutex());
        text() += line;
        text() += '\n';
    }
};
