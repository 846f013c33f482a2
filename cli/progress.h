// How much fwupgrade says while it works. On a terminal a batch shows one
// overall line (instruments done of all, bytes, rate, time left) below the
// instruments' results as they come, and a single run its image's line;
// written to a pipe or a file, each image gets a plain line every 10 % or
// 5 s. -q leaves errors and the summary; -v adds the VISA library's
// diagnostics. With --json the events say it all and nothing here prints.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <string>

#include "options.h"
#include "output.h"
#include "workflow/json_fields.h"

namespace cli {

// The descriptor an Output writes its lines for people to: standard output,
// or under -q (without --json) a sink, since only errors (on standard error)
// and the summary (summary_output) are to be seen.
int quiet_output_fd(const CommandLine& settings);
// Remembers -q and, for -v, hands the VISA library's diagnostics to `out`
// (which must outlive the run), or says once that the library gives none.
void set_verbosity(const CommandLine& settings, Output& out);
// Whether -q holds: lines for people are left out.
bool quiet_output();
// Whether -v reached the library: a batch passes -v on to its children then.
bool library_log_on();
// Where the summary goes: `out`, or under -q an Output of its own on
// standard output.
Output& summary_output(Output& out);

// Whether a plain progress line is due for an image at `sent` of `total`
// bytes: at each further 10 % and at least every 5 s.
class PlainPace {
public:
    bool due(int64_t sent, int64_t total, std::chrono::steady_clock::time_point now);
    void reset() { step_ = -1; }

private:
    int step_ = -1;
    std::chrono::steady_clock::time_point last_;
};

// "HUBL  40%  16384 of 40960 bytes": an image's plain progress line.
std::string plain_progress_line(const std::string& image, int64_t sent, int64_t total);

// One image's progress in a run of one instrument: the rewritten
// `terminal_line` on a terminal, a plain line now and then elsewhere.
void image_progress(Output& out, const std::string& image, int64_t sent, int64_t total,
                    const std::string& terminal_line);

// A batch's progress, from its children's events (on the runner's thread).
class BatchProgress {
public:
    BatchProgress(Output& out, int instruments, int64_t bytes_each);
    ~BatchProgress() { erase(); }
    BatchProgress(const BatchProgress&) = delete;
    BatchProgress& operator=(const BatchProgress&) = delete;

    // An event of the child for `resource`: image_started, progress, image_done.
    void on_event(const std::string& resource, const workflow::Json& event);
    // The child for `resource` ended.
    void on_finished(const std::string& resource);
    // Takes the overall line off the screen before another line is printed;
    // redraw() puts it back below.
    void erase();
    void redraw();

private:
    struct Instrument {
        int64_t finished_bytes = 0;
        int64_t current = 0;
        std::string image;
        PlainPace pace;
    };
    std::string overall_text() const;

    Output& out_;
    bool terminal_;
    bool plain_;
    int total_;
    int done_ = 0;
    int64_t bytes_each_;
    std::map<std::string, Instrument> instruments_;
    std::chrono::steady_clock::time_point began_ = std::chrono::steady_clock::now();
    std::chrono::steady_clock::time_point drawn_at_{};
    bool shown_ = false;
};

}  // namespace cli
