#include "output.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>

#include <unistd.h>

namespace cli {

namespace {

void write_all(int fd, const std::string& text) {
    const char* data = text.data();
    std::size_t left = text.size();
    while (left > 0) {
        const ssize_t n = ::write(fd, data, left);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;  // a closed pipe: the reader went away, nothing to do
        data += n;
        left -= static_cast<std::size_t>(n);
    }
}

}  // namespace

std::string utc_now() {
    const auto now = std::chrono::system_clock::now();
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    const long long millis =
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() %
        1000;
    std::tm utc{};
    gmtime_r(&seconds, &utc);
    char text[80];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03lldZ", utc.tm_year + 1900,
                  utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec, millis);
    return text;
}

Output::Output(bool json, int out_fd, int err_fd)
    : json_(json), out_fd_(out_fd), err_fd_(err_fd), tty_(::isatty(out_fd) == 1) {}

void Output::write_line(int fd, const std::string& line) {
    clear_bar();
    write_all(fd, line + "\n");
}

void Output::clear_bar() {
    if (!bar_shown_) return;
    write_all(out_fd_, "\r\033[K");
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
    workflow::Json event = workflow::Json::MakeObject()
                               .Set("schema", event_schema)
                               .Set("event", name)
                               .Set("time", utc_now());
    for (const auto& [key, value] : fields.Members())
        event.Set(key, value);
    write_line(out_fd_, event.Dump());
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
    workflow::Json event = workflow::Json::MakeObject()
                               .Set("schema", event_schema)
                               .Set("event", "diagnostic")
                               .Set("time", utc_now());
    if (!resource.empty()) event.Set("resource", resource);
    event.Set("text", line);
    write_all(out_fd_, event.Dump() + "\n");
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
    write_all(out_fd_, line);
    bar_shown_ = true;
}

}  // namespace cli
