#include "output.h"

#include <cstring>

#include <unistd.h>

#include "platform/utc_time.h"
#include "platform/write_all.h"

namespace cli {

Output::Output(bool json, int out_fd, int err_fd)
    : json_(json), out_fd_(out_fd), err_fd_(err_fd), tty_(::isatty(out_fd) == 1) {}

void Output::write_line(int fd, const std::string& line) {
    clear_bar();
    platform::write_all(fd, line + "\n");
}

void Output::clear_bar() {
    if (!bar_shown_) return;
    platform::write_all(out_fd_, "\r\033[K");
    bar_shown_ = false;
}

void Output::event(const char* name, const workflow::Json& fields, const std::string& human) {
    std::lock_guard lock(mutex_);
    if (!json_) {
        if (!human.empty()) write_line(out_fd_, human);
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
    if (!json_) write_line(out_fd_, line);
}

void Output::diagnostic(const std::string& line, const std::string& resource) {
    std::lock_guard lock(mutex_);
    write_line(err_fd_, line);
    if (!json_ || finished_) return;
    workflow::Json event = {
        {"schema", event_schema}, {"event", "diagnostic"}, {"time", platform::utc_now()}};
    if (!resource.empty()) event["resource"] = resource;
    event["text"] = line;
    platform::write_all(out_fd_, workflow::JsonLine(event) + "\n");
}

void Output::bar(const std::string& label, int percent, const std::string& phase) {
    std::lock_guard lock(mutex_);
    if (json_ || !tty_) return;
    constexpr int width = 30;
    const int filled = percent < 0 ? 0 : percent > 100 ? width : percent * width / 100;
    std::string line = "\r\033[K" + label + " [" +
                       std::string(static_cast<std::size_t>(filled), '#') +
                       std::string(static_cast<std::size_t>(width - filled), ' ') + "] ";
    line += std::to_string(percent < 0 ? 0 : percent) + "% " + phase;
    platform::write_all(out_fd_, line);
    bar_shown_ = true;
}

}  // namespace cli
