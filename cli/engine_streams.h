// The engine writes its progress to one stream and its diagnostics to
// another. Here both become line callbacks, so that the command line can
// turn progress into events and keep standard output clean for --json.
#pragma once

#include <cstdio>
#include <functional>
#include <string>

namespace cli {

class EngineStreams {
public:
    using LineFn = std::function<void(const std::string& line)>;

    // Installs the streams for the engine until destruction, when those of
    // the instance it replaced come back (instances nest). Lines end at
    // "\n" or "\r" (the engine's percentage lines end in "\r"); blank lines
    // are dropped.
    EngineStreams(LineFn progress, LineFn diagnostic);
    ~EngineStreams();
    EngineStreams(const EngineStreams&) = delete;
    EngineStreams& operator=(const EngineStreams&) = delete;

private:
    struct Sink {
        LineFn line;
        std::string pending;
    };
    static ssize_t write_cookie(void* cookie, const char* data, std::size_t size);

    static EngineStreams* current_;
    EngineStreams* previous_ = nullptr;
    Sink progress_;
    Sink diagnostic_;
    std::FILE* out_ = nullptr;
    std::FILE* err_ = nullptr;
};

// Engine progress lines, as the command line reads them.
struct EngineProgress {
    enum Kind { none, sending, sent, programming, percent, failed } kind = none;
    long long value = 0;  // bytes for `sent`, 0..100 for `percent`
};
EngineProgress parse_engine_progress(const std::string& line);

// True for the engine's report of an instrument locked by someone else.
bool is_lock_diagnostic(const std::string& line);

}  // namespace cli
