// Where fwupgrade's reports go: with --json, one JSON object per event on
// standard output; otherwise lines for people there, and on a terminal one
// updating progress line per image. Diagnostics go to standard error
// in both modes. Safe to call from any thread; a line is never split, and
// control characters in it are written out (platform/shown_text.h), so that
// a line is always one line.
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
    // Whether progress lines are shown: on a terminal, without --json.
    bool shows_progress() const { return !json_ && tty_; }
    // The current image's progress line, rewritten in place (a carriage
    // return, the text, the rest of the line cleared); nothing unless
    // shows_progress(). Another line printed meanwhile goes below it.
    void progress(const std::string& text);
    // Ends the progress line where it stands with a newline, so that it
    // stays on the screen above what follows.
    void end_progress();

private:
    void write_line(int fd, const std::string& line);
    void write_human_line(int fd, const std::string& line);
    void break_progress_line();

    std::mutex mutex_;
    bool json_;
    int out_fd_;
    int err_fd_;
    bool tty_;
    bool progress_shown_ = false;  // the cursor is at the end of a progress line
    bool finished_ = false;        // the "finished" event is out: no JSON after it
};

}  // namespace cli
