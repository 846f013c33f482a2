#include "progress.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "engine_streams.h"
#include "workflow/visa_extension.h"

namespace cli {

namespace {

bool quiet = false;
bool library_log = false;

constexpr auto kPlainEvery = std::chrono::seconds(5);
constexpr auto kRedrawEvery = std::chrono::milliseconds(100);

void write_all(const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(1, text.data() + done, text.size() - done);
        if (n <= 0) return;
        done += static_cast<std::size_t>(n);
    }
}

}  // namespace

int quiet_output_fd(const CommandLine& settings) {
    if (!settings.quiet || settings.json) return 1;
    const int sink = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    return sink >= 0 ? sink : 1;
}

void set_verbosity(const CommandLine& settings, Output& out) {
    quiet = settings.quiet && !settings.json;
    if (!settings.verbose) return;
    library_log = workflow::SetLibraryLog(
        [&out](workflow::LogLevel, const std::string& line) { out.diagnostic(line); },
        workflow::LogLevel::Debug);
    // At exit the library takes its lines back, rather than hand them to an
    // Output that main() no longer has.
    if (library_log) std::atexit([] { workflow::SetLibraryLog(nullptr); });
    if (!library_log)
        out.diagnostic("fwupgrade: the VISA library in use gives no diagnostics (--verbose)");
}

bool quiet_output() {
    return quiet;
}

bool library_log_on() {
    return library_log;
}

Output& summary_output(Output& out) {
    if (!quiet) return out;
    static Output own(false, 1);
    return own;
}

bool PlainPace::due(int64_t sent, int64_t total, std::chrono::steady_clock::time_point now) {
    const int step = total > 0 ? static_cast<int>(sent * 10 / total) : 10;
    if (step_ < 0) {
        // The first word of an image: where it starts.
        step_ = step;
        last_ = now;
        return true;
    }
    if (step <= step_ && now - last_ < kPlainEvery) return false;
    step_ = std::max(step, step_);
    last_ = now;
    return true;
}

std::string plain_progress_line(const std::string& image, int64_t sent, int64_t total) {
    const long long percent = total > 0 ? sent * 100 / total : 100;
    return image + "  " + std::to_string(percent) + "%  " + std::to_string(sent) + " of " +
           std::to_string(total) + " bytes";
}

void image_progress(Output& out, const std::string& image, int64_t sent, int64_t total,
                    const std::string& terminal_line) {
    if (out.json() || quiet) return;
    if (out.shows_progress()) {
        out.progress(terminal_line);
        return;
    }
    // One run writes one image at a time.
    static std::string current;
    static PlainPace pace;
    if (image != current) {
        current = image;
        pace.reset();
    }
    if (pace.due(sent, total, std::chrono::steady_clock::now()))
        out.text(plain_progress_line(image, sent, total));
}

BatchProgress::BatchProgress(Output& out, int instruments, int64_t bytes_each)
    : out_(out),
      terminal_(out.shows_progress()),
      plain_(!out.json() && !out.shows_progress() && !quiet),
      total_(instruments),
      bytes_each_(bytes_each) {}

void BatchProgress::on_event(const std::string& resource, const workflow::Json& event) {
    const std::string name = workflow::TextOf(event, "event");
    Instrument& i = instruments_[resource];
    if (name == "image_started") {
        i.image = workflow::TextOf(event, "image");
        i.current = 0;
        i.pace.reset();
    } else if (name == "progress") {
        i.current = workflow::IntegerOf(event, "bytes");
        const int64_t total = workflow::IntegerOf(event, "total");
        if (plain_ && i.pace.due(i.current, total, std::chrono::steady_clock::now()))
            out_.text("[" + resource + "] " + plain_progress_line(i.image, i.current, total));
    } else if (name == "image_done") {
        i.finished_bytes += workflow::IntegerOf(event, "bytes_sent");
        i.current = 0;
    } else {
        return;
    }
    const auto now = std::chrono::steady_clock::now();
    if (terminal_ && now - drawn_at_ >= kRedrawEvery) redraw();
}

void BatchProgress::on_finished(const std::string& resource) {
    (void)resource;
    ++done_;
    if (terminal_) redraw();
}

std::string BatchProgress::overall_text() const {
    int64_t sent = 0;
    for (const auto& [resource, i] : instruments_)
        sent += i.finished_bytes + i.current;
    const int64_t total = bytes_each_ * total_;
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - began_).count();
    return std::to_string(done_) + " of " + std::to_string(total_) + " instruments done  " +
           progress_text(sent, total > sent ? total : sent, seconds);
}

void BatchProgress::erase() {
    if (!shown_) return;
    write_all("\r\033[K");
    shown_ = false;
}

void BatchProgress::redraw() {
    if (!terminal_) return;
    drawn_at_ = std::chrono::steady_clock::now();
    write_all("\r\033[K" + overall_text());
    shown_ = true;
}

}  // namespace cli
