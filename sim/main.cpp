// fwsim: a simulated power-sensor instrument for tests, demos and training.
//
// Its options are one table in options.cpp, which also prints `fwsim --help`;
// integration tests and benchmarks depend on them, so they stay stable.
//
// Once every socket listens it prints exactly one line on standard output,
//   fwsim ready <address> vxi11=<port> socket=<port> hislip=<port> portmap=<port>|off
// and serves until SIGTERM or SIGINT (exit status 0). Bad options exit 2; a
// store folder that cannot be made or written, and sockets that cannot be
// opened, exit 1. Diagnostics go to standard error.

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <fcntl.h>
#include <malloc.h>
#include <unistd.h>

#include "instrument.h"
#include "mdns.h"
#include "options.h"
#include "server.h"
#include "vxi11_core.h"

#include "platform/unique_fd.h"

namespace {

volatile std::sig_atomic_t stop_requested = 0;

void on_signal(int) {
    stop_requested = 1;
}

// Writes the image next to its final name first, so that a reader never sees
// half a file and a failed write leaves the previous image in place.
std::string store_image(const std::string& dir, const std::string& id, std::string_view data) {
    const std::string path = dir + "/" + id + ".bin";
    const std::string temp = path + ".tmp";
    platform::UniqueFd fd(::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    if (!fd) return "open " + temp + ": " + std::strerror(errno);
    std::size_t done = 0;
    while (done < data.size()) {
        const ssize_t n = ::write(fd.get(), data.data() + done, data.size() - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            const std::string why = std::strerror(errno);
            fd.reset();
            ::unlink(temp.c_str());
            return "write " + temp + ": " + why;
        }
        done += static_cast<std::size_t>(n);
    }
    // Closed here, not by the owner: a failed close is a failed store.
    if (::close(fd.release()) != 0 || ::rename(temp.c_str(), path.c_str()) != 0) {
        const std::string why = std::strerror(errno);
        ::unlink(temp.c_str());
        return "store " + path + ": " + why;
    }
    return {};
}

// Makes the store folder (and its parents) and checks that images can be
// written there. Refusing to start is better than an instrument that seems to
// take every upload and keeps none of them. Returns the reason, or "".
std::string prepare_store(const std::string& dir) {
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    if (ec) return "making " + dir + ": " + ec.message();
    if (!std::filesystem::is_directory(dir, ec)) return dir + ": not a folder";
    if (::access(dir.c_str(), W_OK | X_OK) != 0) return dir + ": " + std::strerror(errno);
    return {};
}

// Keeps an image the instrument received in the store, when there is one,
// and says so. The reason it could not be kept, or "".
std::string keep_image(const std::string& store_dir, const std::string& id, std::string_view data) {
    if (store_dir.empty()) return {};
    std::string failure = store_image(store_dir, id, data);
    if (failure.empty())
        std::fprintf(stderr, "fwsim: image %s stored, %zu bytes\n", id.c_str(), data.size());
    else
        std::fprintf(stderr, "fwsim: image %s not stored: %s\n", id.c_str(), failure.c_str());
    return failure;
}

// Blocks SIGTERM and SIGINT and routes them to on_signal; returns the mask to
// wait with. Signals are blocked except while the loop waits in epoll_pwait,
// so a stop request can never slip in between a check and the wait.
sigset_t take_stop_signals() {
    sigset_t blocked, wait_mask;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGTERM);
    sigaddset(&blocked, SIGINT);
    sigprocmask(SIG_BLOCK, &blocked, &wait_mask);
    sigdelset(&wait_mask, SIGTERM);
    sigdelset(&wait_mask, SIGINT);
    struct sigaction sa {};
    sa.sa_handler = on_signal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
    return wait_mask;
}

// The transcript file, or null (said) when it cannot be made.
std::FILE* open_transcript(const std::string& path) {
    std::FILE* file = std::fopen(path.c_str(), "w");
    if (file == nullptr)
        std::fprintf(stderr, "fwsim: transcript %s: %s\n", path.c_str(), std::strerror(errno));
    return file;
}

sim::Vxi11Settings core_settings_of(const sim::Options& options) {
    sim::Vxi11Settings settings;
    settings.max_recv_size = options.max_recv_size;
    settings.drop_in_block = options.server.drop_in_block;
    settings.max_wait = options.server.idle_timeout;
    settings.refuse_write = options.refuse_write;
    settings.accept_bytes_per_ms = options.accept_bytes_per_ms;
    return settings;
}

// Until when --hold-lock holds the instrument's lock; nothing for ever.
std::optional<sim::Clock::time_point> lock_held_until(const sim::Options& options) {
    if (!options.hold_lock_time) return std::nullopt;
    return sim::Clock::now() + *options.hold_lock_time;
}

// The line that tells whoever started us that every socket listens.
void print_ready(const std::string& address, sim::Server& server) {
    const std::string portmap =
        server.portmap_port() != 0 ? std::to_string(server.portmap_port()) : "off";
    std::printf("fwsim ready %s vxi11=%u socket=%u hislip=%u portmap=%s\n", address.c_str(),
                static_cast<unsigned>(server.vxi11_port()),
                static_cast<unsigned>(server.socket_port()),
                static_cast<unsigned>(server.hislip().port()), portmap.c_str());
    std::fflush(stdout);
}

// One line per program message, flushed at once so that a test reads what
// arrived so far; nothing without a file.
sim::Transcript transcript_to(std::FILE* file) {
    return [file](std::string_view line) {
        if (file == nullptr) return;
        std::fwrite(line.data(), 1, line.size(), file);
        std::fputc('\n', file);
        std::fflush(file);
    };
}

void announce(sim::MdnsAnnouncer& announcer, const sim::Options& options, sim::Server& server) {
    announcer.start(sim::MdnsServices{options.mdns_name, server.portmap_port(),
                                      server.hislip().port(), server.socket_port()});
}

}  // namespace

int main(int argc, char** argv) {
    std::string error;
    const auto options = sim::parse_options(std::vector<std::string>(argv + 1, argv + argc), error,
                                            sim::current_address_scope());
    if (!options) {
        std::fprintf(stderr, "fwsim: %s (see --help)\n", error.c_str());
        return 2;
    }
    if (options->help) {
        std::fputs(sim::usage_text(), stdout);
        return 0;
    }

    // Image buffers are as large as the images. Handed back to the system
    // after each upload, they would be faulted in page by page again by the
    // next one, which cost about a fifth of the time per block; kept in the
    // heap, the next upload reuses them.
    mallopt(M_MMAP_MAX, 0);
    mallopt(M_TRIM_THRESHOLD, 512 << 20);

    if (!options->store_dir.empty()) {
        if (std::string why = prepare_store(options->store_dir); !why.empty()) {
            std::fprintf(stderr, "fwsim: image store %s\n", why.c_str());
            return 1;
        }
    }

    std::FILE* transcript_file = nullptr;
    if (!options->transcript_file.empty() &&
        !(transcript_file = open_transcript(options->transcript_file)))
        return 1;
    const auto transcript = transcript_to(transcript_file);

    const std::string store_dir = options->store_dir;
    sim::Instrument instrument(options->instrument,
                               [store_dir](const std::string& id, std::string_view data) {
                                   return keep_image(store_dir, id, data);
                               });

    sim::Vxi11Core core(instrument, core_settings_of(*options), transcript);
    if (options->hold_lock) core.hold_lock(lock_held_until(*options));

    const sigset_t wait_mask = take_stop_signals();

    sim::Server server(options->server, instrument, core, transcript);
    if (options->hold_lock) server.hislip().hold_lock(lock_held_until(*options));
    if (!server.open(error)) {
        std::fprintf(stderr, "fwsim: %s\n", error.c_str());
        return 1;
    }
    // Announced once every socket listens, so that whoever finds it can connect.
    sim::MdnsAnnouncer announcer;
    if (options->mdns) announce(announcer, *options, server);
    print_ready(options->server.address, server);

    server.run(stop_requested, wait_mask);
    if (transcript_file != nullptr) std::fclose(transcript_file);
    return 0;
}
