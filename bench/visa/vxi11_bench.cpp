// Upload throughput over VXI-11 and HiSLIP on loopback, side by side with the
// same image sent by pyvisa-py and with a bare TCP request/reply loop of
// 4096-byte payloads (the ceiling this machine sets); and the latency of one
// whole identification, open to close, over each kind of resource.
#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
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
    static SimProcess instance("127.0.0.100", {});
    return instance;
}

void quiet_engine() {
    static FILE* sink = std::fopen("/dev/null", "w");
    update_set_streams(sink, sink);
}

void upload(benchmark::State& state, const std::string& resource) {
    quiet_engine();
    update_start(resource.c_str());
    for (auto _ : state) {
        if (update_image(resource.c_str(), "HPAP", image_path().c_str(), -1) != 0)
            state.SkipWithError("upload failed");
    }
    update_end(resource.c_str());
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * image_size));
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
    for (auto _ : state) {
        std::unique_ptr<FILE, int (*)(FILE*)> pipe(::popen(command.c_str(), "r"), ::pclose);
        double seconds = 0;
        if (!pipe || std::fscanf(pipe.get(), "%lf", &seconds) != 1 || seconds <= 0) {
            state.SkipWithError("pyvisa-py upload failed");
            break;
        }
        state.SetIterationTime(seconds);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * image_size));
}

// One 4096-byte request and a 2-byte reply per round trip, as small as an
// instrument's "0\n" answer: the best a request/reply protocol can do here.
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
    for (auto _ : state) {
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
    }
    ::close(fd);
    server.join();
    ::close(listener);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * image_size));
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
