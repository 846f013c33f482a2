// Throughput of the upload against the scripted VISA double, and the heap
// allocations one upload makes: exactly one transfer buffer of B + 64 bytes.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include <unistd.h>

#include "alloc_count.h"
#include "update.h"
#include "visa_double.h"

namespace {

std::string make_image(size_t size) {
    const auto path = std::filesystem::temp_directory_path() /
                      ("upload-bench-" + std::to_string(::getpid()) + "-" + std::to_string(size));
    std::ofstream file(path, std::ios::binary);
    std::string chunk(1 << 16, '\0');
    for (size_t i = 0; i < chunk.size(); ++i)
        chunk[i] = static_cast<char>(i * 31);
    for (size_t done = 0; done < size; done += chunk.size())
        file.write(chunk.data(), static_cast<std::streamsize>(std::min(chunk.size(), size - done)));
    return path.string();
}

void upload(benchmark::State& state) {
    const auto size = static_cast<size_t>(state.range(0));
    const std::string path = make_image(size);
    FILE* sink = std::fopen("/dev/null", "w");
    static char sink_buffer[BUFSIZ];
    std::setvbuf(sink, sink_buffer, _IOFBF, sizeof sink_buffer);  // stdio allocates nothing later
    update_set_streams(sink, sink);
    visa_double::reset();
    visa_double::set_recording(false);
    std::uint64_t worst_allocations = 0;
    size_t buffer = 0;
    for (auto _ : state) {
        alloc_count::start();
        const int result = update_send_file(visa_double::instr_handle, path.c_str(), "HPAP", -1);
        const auto counted = alloc_count::stop();
        if (result != 0) state.SkipWithError("upload failed");
        worst_allocations = std::max(worst_allocations, counted.allocations);
        buffer = counted.last_size;
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * size));
    state.counters["allocs_per_upload"] = static_cast<double>(worst_allocations);
    state.counters["buffer_bytes"] = static_cast<double>(buffer);
    if (worst_allocations != 1 || buffer != size + 64)
        state.SkipWithError("expected exactly one allocation of B + 64 bytes");
    update_set_streams(nullptr, nullptr);
    std::fclose(sink);
    std::filesystem::remove(path);
}

}  // namespace

BENCHMARK(upload)->Arg(1 << 20)->Arg(64 << 20)->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
