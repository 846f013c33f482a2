// The uploads against fwsim on loopback, in one run beside their two
// yardsticks, plus the latency of one whole identification, open to close,
// over each kind of resource.
//
// - update_image_vxi11 (and _hislip): the whole update_image of a 64 MiB
//   image (start, sector size, initialise, the block in 4096-byte viWrite
//   calls, each one acknowledged before the next, the reply, done, end), the
//   image file read included, after one untimed upload (so that neither
//   writing the image file nor the simulator's first buffers are timed). The
//   simulator keeps no copy on disk, so its storage does not count.
// - pyvisa_py_upload: pyvisa-py sending the same block in the same 4096-byte
//   writes to the same simulator over VXI-11, timed from its first piece to
//   the reply.
// - bare_tcp_loop: a 4096-byte request and a 2-byte reply per round trip over
//   a plain TCP socket to a thread of this process: what one acknowledged
//   write per 4096 bytes can reach on this machine at best.
//
// Counters: client_cpu_us_per_write is the CPU time of the sending process
// per 4096-byte write (for update_image, reading the file and everything
// else the engine does included); sim_cpu_us_per_write is fwsim's.
#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>

#include "sim_process.h"
#include "update.h"

namespace {

constexpr size_t image_size = size_t{64} << 20;

const std::string& image_path() {
    static const std::string path = [] {
        const auto p = std::filesystem::temp_directory_path() /
                       ("vxi11-bench-" + std::to_string(::getpid()) + ".bin");
        std::ofstream file(p, std::ios::binary);
        std::string chunk(1 << 16, '\0');
        for (size_t i = 0; i < chunk.size(); ++i)
            chunk[i] = static_cast<char>(i * 131 + 7);
        for (size_t done = 0; done < image_size; done += chunk.size())
            file.write(chunk.data(), chunk.size());
        return p.string();
    }();
    return path;
}

SimProcess& sim() {
    static SimProcess instance("127.0.0.100", {}, false);
    return instance;
}

constexpr double writes_per_image = double(image_size / 4096);

// CPU time (user + system) of process `pid` so far, in microseconds.
double process_cpu_us(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(in)), {});
    // Fields after the command name, which is in parentheses: utime and
    // stime are the 12th and 13th of them.
    std::istringstream fields(text.substr(text.rfind(')') + 2));
    std::string skip;
    for (int i = 0; i < 11; ++i)
        fields >> skip;
    double utime = 0, stime = 0;
    fields >> utime >> stime;
    return (utime + stime) * 1e6 / double(::sysconf(_SC_CLK_TCK));
}

double own_cpu_us() {
    timespec t{};
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return double(t.tv_sec) * 1e6 + double(t.tv_nsec) / 1e3;
}

void quiet_engine() {
    static FILE* sink = std::fopen("/dev/null", "w");
    update_set_streams(sink, sink);
}

void upload(benchmark::State& state, const std::string& resource) {
    quiet_engine();
    update_start(resource.c_str());
    // One upload before the timing: the image file is written and the
    // simulator has its buffers, so no iteration pays for either.
    const std::string& image = image_path();
    if (update_image(resource.c_str(), "HPAP", image.c_str(), -1) != 0)
        state.SkipWithError("warm-up upload failed");
    double client_us = 0, sim_us = 0;
    for (auto _ : state) {
        const double client0 = own_cpu_us(), sim0 = process_cpu_us(sim().pid());
        if (update_image(resource.c_str(), "HPAP", image.c_str(), -1) != 0)
            state.SkipWithError("upload failed");
        client_us += own_cpu_us() - client0;
        sim_us += process_cpu_us(sim().pid()) - sim0;
    }
    update_end(resource.c_str());
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * image_size));
    const double writes = writes_per_image * double(state.iterations());
    state.counters["client_cpu_us_per_write"] = client_us / writes;
    state.counters["sim_cpu_us_per_write"] = sim_us / writes;
}

void update_image_vxi11(benchmark::State& state) {
    upload(state, sim().vxi11());
}

void update_image_hislip(benchmark::State& state) {
    upload(state, sim().hislip());
}

void pyvisa_py_upload(benchmark::State& state) {
    const std::string command =
        std::string("/usr/bin/python3 ") + PYVISA_UPLOAD + " " + sim().vxi11() + " " + image_path();
    double client_us = 0, sim_us = 0;
    for (auto _ : state) {
        const double sim0 = process_cpu_us(sim().pid());
        std::unique_ptr<FILE, int (*)(FILE*)> pipe(::popen(command.c_str(), "r"), ::pclose);
        double seconds = 0, cpu_seconds = 0;
        if (!pipe || std::fscanf(pipe.get(), "%lf %lf", &seconds, &cpu_seconds) != 2 ||
            seconds <= 0) {
            state.SkipWithError("pyvisa-py upload failed");
            break;
        }
        pipe.reset();
        // The simulator's share covers the whole script (its set-up too).
        sim_us += process_cpu_us(sim().pid()) - sim0;
        client_us += cpu_seconds * 1e6;
        state.SetIterationTime(seconds);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * image_size));
    const double writes = writes_per_image * double(state.iterations());
    state.counters["client_cpu_us_per_write"] = client_us / writes;
    state.counters["sim_cpu_us_per_write"] = sim_us / writes;
}

// One 4096-byte request and a 2-byte reply per round trip, as small as an
// instrument's "0\n" answer: the best a request/reply protocol can do here.
// client_cpu_us_per_write covers both ends (the server is a thread here).
void bare_tcp_loop(benchmark::State& state) {
    const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    ::bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    ::listen(listener, 1);
    ::getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len);
    std::thread server([listener] {
        const int fd = ::accept(listener, nullptr, nullptr);
        const int one = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        char buffer[4096];
        for (;;) {
            size_t got = 0;
            while (got < sizeof buffer) {
                const ssize_t n = ::read(fd, buffer + got, sizeof buffer - got);
                if (n <= 0) {
                    ::close(fd);
                    return;
                }
                got += static_cast<size_t>(n);
            }
            if (::write(fd, "0\n", 2) != 2) break;
        }
        ::close(fd);
    });
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    char payload[4096] = {};
    char reply[2];
    double cpu_us = 0;
    for (auto _ : state) {
        const double cpu0 = own_cpu_us();
        for (size_t sent = 0; sent < image_size; sent += sizeof payload) {
            if (::write(fd, payload, sizeof payload) != sizeof payload)
                state.SkipWithError("write");
            size_t got = 0;
            while (got < sizeof reply) {
                const ssize_t n = ::read(fd, reply + got, sizeof reply - got);
                if (n <= 0) break;
                got += static_cast<size_t>(n);
            }
        }
        cpu_us += own_cpu_us() - cpu0;
    }
    ::close(fd);
    server.join();
    ::close(listener);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * image_size));
    state.counters["client_cpu_us_per_write"] =
        cpu_us / (writes_per_image * double(state.iterations()));
}

void identify(benchmark::State& state, const std::string& resource) {
    quiet_engine();
    char reply[256];
    for (auto _ : state) {
        if (update_identify(resource.c_str(), reply, sizeof reply, 2000) != 1)
            state.SkipWithError("identify failed");
    }
}

}  // namespace

void update_identify_latency(benchmark::State& state) {
    identify(state, sim().vxi11());
}

void update_identify_latency_hislip(benchmark::State& state) {
    identify(state, sim().hislip());
}

void update_identify_latency_socket(benchmark::State& state) {
    identify(state, sim().socket());
}

BENCHMARK(update_image_vxi11)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();
BENCHMARK(update_image_hislip)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();
BENCHMARK(pyvisa_py_upload)->Unit(benchmark::kMillisecond)->Iterations(2)->UseManualTime();
BENCHMARK(bare_tcp_loop)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();
BENCHMARK(update_identify_latency)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(update_identify_latency_hislip)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(update_identify_latency_socket)->Unit(benchmark::kMicrosecond)->UseRealTime();

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    sim().stop();
    std::filesystem::remove(image_path());
    return 0;
}
