// Where fwupgrade's reports go: with --json, one JSON object per event on
// standard output; otherwise lines for people there, and on a terminal a
// progress bar that the next line replaces. Diagnostics go to standard error
// in both modes. Safe to call from any thread; a line is never split.
#pragma once

#include <mutex>
#include <string>

#include "workflow/json_fields.h"

namespace cli {

// The version of the event layout, in every event as "schema". Fields are
// only ever added within one version; a change of meaning raises it.
inline constexpr int event_schema = 1;

class Output {
public:
    Output(bool json, int out_fd = 1, int err_fd = 2);

    bool json() const { return json_; }

    // One event: `fields` (an object) gets "schema", "event" and "time" in
    // front. Human text, when given, is printed instead without --json.
    void event(const char* name, const workflow::Json& fields, const std::string& human = {});
    // A ready JSON line from elsewhere (a batch child), passed on as it is.
    void raw_event_line(const std::string& line);
    // A line for people only (nothing with --json).
    void text(const std::string& line);
    // A diagnostic line on standard error; with --json also a "diagnostic"
    // event, so that a script sees why without parsing standard error.
    void diagnostic(const std::string& line, const std::string& resource = {});
    // The progress bar of the current image, on a terminal without --json.
    void bar(const std::string& label, int percent, const std::string& phase);

private:
    void write_line(int fd, const std::string& line);
    void clear_bar();

    std::mutex mutex_;
    bool json_;
    int out_fd_;
    int err_fd_;
    bool tty_;
    bool bar_shown_ = false;
    bool finished_ = false;  // the "finished" event is out: no JSON after it
};

}  // namespace cli
