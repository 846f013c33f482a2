#include "output.h"

#include <cstring>

#include <unistd.h>

#include "platform/shown_text.h"
#include "platform/utc_time.h"
#include "platform/write_all.h"

namespace cli {

Output::Output(bool json, int out_fd, int err_fd)
    : json_(json), out_fd_(out_fd), err_fd_(err_fd), tty_(::isatty(out_fd) == 1) {}

void Output::write_line(int fd, const std::string& line) {
    break_progress_line();
    platform::write_all(fd, line + "\n");
}

void Output::write_human_line(int fd, const std::string& line) {
    // Lines for people carry replies, file names and audit records: written
    // out, a control character can neither drive the terminal nor start a
    // line that seems to be ours. (JSON lines escape their own.)
    write_line(fd, platform::escape_controls(line));
}

void Output::break_progress_line() {
    if (!progress_shown_) return;
    platform::write_all(out_fd_, "\n");
    progress_shown_ = false;
}

void Output::event(const char* name, const workflow::Json& fields, const std::string& human) {
    std::lock_guard lock(mutex_);
    if (!json_) {
        if (!human.empty()) write_human_line(out_fd_, human);
        return;
    }
    // "finished" is the last event a reader gets, even when a second
    // interrupt ends the run from another thread while this one still talks.
    if (finished_) return;
    finished_ = std::strcmp(name, "finished") == 0;
    workflow::Json event = {
        {"schema", event_schema}, {"event", name}, {"time", platform::utc_now()}};
    for (const auto& member : fields.items())
        event[member.key()] = member.value();
    write_line(out_fd_, workflow::JsonLine(event));
}

void Output::raw_event_line(const std::string& line) {
    std::lock_guard lock(mutex_);
    if (finished_) return;
    write_line(out_fd_, line);
}

void Output::text(const std::string& line) {
    std::lock_guard lock(mutex_);
    if (!json_) write_human_line(out_fd_, line);
}

void Output::diagnostic(const std::string& line, const std::string& resource) {
    std::lock_guard lock(mutex_);
    write_human_line(err_fd_, line);
    if (!json_ || finished_) return;
    workflow::Json event = {
        {"schema", event_schema}, {"event", "diagnostic"}, {"time", platform::utc_now()}};
    if (!resource.empty()) event["resource"] = resource;
    event["text"] = line;
    platform::write_all(out_fd_, workflow::JsonLine(event) + "\n");
}

void Output::progress(const std::string& text) {
    std::lock_guard lock(mutex_);
    if (!shows_progress()) return;
    platform::write_all(out_fd_, "\r\033[K" + platform::escape_controls(text));
    progress_shown_ = true;
}

void Output::end_progress() {
    std::lock_guard lock(mutex_);
    break_progress_line();
}

}  // namespace cli
