// The HiSLIP upload against its ceiling, in one run on the same loopback.
//
// - update_image_hislip: the whole update_image of a 64 MiB image to fwsim
//   over HiSLIP (start, sector size, initialise, the block in 4096-byte
//   viWrite calls, the reply, done, end), the image file read included, after
//   one untimed upload. A HiSLIP write gets no reply of its own: each one is a
//   Data message on the stream, and only the block as a whole is answered.
// - hislip_block_writes: the block alone, from memory, through the VISA
//   library: the initialise query, the block in the engine's 4096-byte
//   viWrite calls and its reply, done. What is left of update_image once
//   reading the image file and opening sessions are taken out.
// - bare_tcp_stream: the same 64 MiB as 4096-byte send() calls over a plain
//   TCP socket to a thread of this process that reads them, and one 2-byte
//   reply at the end: what a protocol with no reply per write can reach on
//   this machine at best.
//
// bench/run prints update_image_hislip as a share of bare_tcp_stream.
// Counters: client_cpu_us_per_write is the CPU time of the sending process
// per 4096-byte write; sim_cpu_us_per_write is the receiver's (fwsim, or the
// reading thread of the bare stream, which shares this process).
#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "sim_process.h"
#include "update.h"

namespace {

constexpr size_t image_size = size_t{64} << 20;
constexpr size_t piece = 4096;
constexpr double writes_per_image = double(image_size / piece);

const std::string& image_path() {
    static const std::string path = [] {
        const auto p = std::filesystem::temp_directory_path() /
                       ("hislip-bench-" + std::to_string(::getpid()) + ".bin");
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
    static SimProcess instance("127.0.0.102", {}, false);
    return instance;
}

// CPU time (user + system) of process `pid` so far, in microseconds.
double process_cpu_us(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(in)), {});
    // utime and stime are the 12th and 13th fields after the parenthesised
    // command name.
    std::istringstream fields(text.substr(text.rfind(')') + 2));
    std::string skip;
    for (int i = 0; i < 11; ++i)
        fields >> skip;
    double utime = 0, stime = 0;
    fields >> utime >> stime;
    return (utime + stime) * 1e6 / double(::sysconf(_SC_CLK_TCK));
}

double cpu_us(clockid_t clock) {
    timespec t{};
    ::clock_gettime(clock, &t);
    return double(t.tv_sec) * 1e6 + double(t.tv_nsec) / 1e3;
}

void update_image_hislip(benchmark::State& state) {
    static FILE* sink = std::fopen("/dev/null", "w");
    update_set_streams(sink, sink);
    const std::string resource = sim().hislip();
    const std::string& image = image_path();
    update_start(resource.c_str());
    // Untimed: the image file is written and the simulator has its buffers.
    if (update_image(resource.c_str(), "HPAP", image.c_str(), -1) != 0)
        state.SkipWithError("warm-up upload failed");
    double client_us = 0, sim_us = 0;
    for (auto _ : state) {
        const double client0 = cpu_us(CLOCK_PROCESS_CPUTIME_ID);
        const double sim0 = process_cpu_us(sim().pid());
        if (update_image(resource.c_str(), "HPAP", image.c_str(), -1) != 0)
            state.SkipWithError("upload failed");
        client_us += cpu_us(CLOCK_PROCESS_CPUTIME_ID) - client0;
        sim_us += process_cpu_us(sim().pid()) - sim0;
    }
    update_end(resource.c_str());
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * image_size));
    const double writes = writes_per_image * double(state.iterations());
    state.counters["client_cpu_us_per_write"] = client_us / writes;
    state.counters["sim_cpu_us_per_write"] = sim_us / writes;
}

void hislip_block_writes(benchmark::State& state) {
    static FILE* sink = std::fopen("/dev/null", "w");
    update_set_streams(sink, sink);
    const std::string resource = sim().hislip();
    update_start(resource.c_str());
    ViSession rm = VI_NULL, vi = VI_NULL;
    if (!update_open_session(resource.c_str(), &rm, &vi)) {
        state.SkipWithError("open failed");
        return;
    }
    std::vector<ViByte> message(image_size + update_block_header_max + 1);
    const int header =
        update_format_block_header(int32_t(image_size), reinterpret_cast<char*>(message.data()));
    for (size_t i = 0; i < image_size; ++i)
        message[size_t(header) + i] = static_cast<ViByte>(i * 131 + 7);
    char init[64];
    const int init_length = std::snprintf(init, sizeof init, "DIAG:UPD:INIT? HPAP,%d,%d\n",
                                          int(image_size), int(image_size));
    static constexpr char done[] = "DIAG:UPD:DONE\n";
    double client_us = 0, sim_us = 0;
    for (auto _ : state) {
        const double client0 = cpu_us(CLOCK_PROCESS_CPUTIME_ID);
        const double sim0 = process_cpu_us(sim().pid());
        ViUInt32 n = 0;
        if (viWrite(vi, reinterpret_cast<ViConstBuf>(init), ViUInt32(init_length), &n) !=
                VI_SUCCESS ||
            update_read_reply_code(vi) != 0 ||
            !update_write_block(vi, message.data(), int32_t(size_t(header) + image_size)))
            state.SkipWithError("block refused");
        viWrite(vi, reinterpret_cast<ViConstBuf>(done), sizeof done - 1, &n);
        client_us += cpu_us(CLOCK_PROCESS_CPUTIME_ID) - client0;
        sim_us += process_cpu_us(sim().pid()) - sim0;
    }
    update_close_session(rm, vi);
    update_end(resource.c_str());
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * image_size));
    const double writes = writes_per_image * double(state.iterations());
    state.counters["client_cpu_us_per_write"] = client_us / writes;
    state.counters["sim_cpu_us_per_write"] = sim_us / writes;
}

void bare_tcp_stream(benchmark::State& state) {
    const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    ::bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    ::listen(listener, 1);
    ::getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len);
    std::atomic<double> reader_us{0};
    std::thread reader([listener, &reader_us] {
        const int fd = ::accept(listener, nullptr, nullptr);
        const int one = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        static char buffer[64 * 1024];
        for (size_t got = 0;;) {
            const double cpu0 = cpu_us(CLOCK_THREAD_CPUTIME_ID);
            const ssize_t n = ::read(fd, buffer, sizeof buffer);
            reader_us = reader_us + (cpu_us(CLOCK_THREAD_CPUTIME_ID) - cpu0);
            if (n <= 0) break;
            got += static_cast<size_t>(n);
            if (got == image_size) {
                got = 0;
                if (::write(fd, "0\n", 2) != 2) break;
            }
        }
        ::close(fd);
    });
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    static char payload[piece] = {};
    char reply[2];
    double client_us = 0;
    for (auto _ : state) {
        const double reader0 = reader_us;
        const double cpu0 = cpu_us(CLOCK_PROCESS_CPUTIME_ID);
        for (size_t sent = 0; sent < image_size; sent += piece)
            if (::send(fd, payload, piece, MSG_NOSIGNAL) != ssize_t(piece))
                state.SkipWithError("send");
        for (size_t got = 0; got < sizeof reply;) {
            const ssize_t n = ::read(fd, reply + got, sizeof reply - got);
            if (n <= 0) break;
            got += static_cast<size_t>(n);
        }
        // The process clock counts the reader too; it is taken out here.
        client_us += cpu_us(CLOCK_PROCESS_CPUTIME_ID) - cpu0 - (reader_us - reader0);
    }
    ::close(fd);
    reader.join();
    ::close(listener);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * image_size));
    const double writes = writes_per_image * double(state.iterations());
    state.counters["client_cpu_us_per_write"] = client_us / writes;
    state.counters["sim_cpu_us_per_write"] = reader_us / writes;
}

}  // namespace

BENCHMARK(update_image_hislip)->Unit(benchmark::kMillisecond)->Iterations(5)->UseRealTime();
BENCHMARK(hislip_block_writes)->Unit(benchmark::kMillisecond)->Iterations(5)->UseRealTime();
BENCHMARK(bare_tcp_stream)->Unit(benchmark::kMillisecond)->Iterations(5)->UseRealTime();

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    sim().stop();
    std::filesystem::remove(image_path());
    return 0;
}
