// Throughput of the upload against the scripted VISA double, and the heap
// allocations one upload makes: exactly one transfer buffer of B + 64 bytes.
// upload_observed is the same upload with an observer hearing every event
// the engine reports (the command line's use), to set against upload.
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

// Counts what it hears, as cheaply as a real listener that only stores
// numbers for a later event would.
struct Listener {
    update_observer hook{};
    std::int64_t last_sent = 0;
    long events = 0;
    Listener() {
        hook.context = this;
        hook.on_operation = [](void* c, const char*, const char*, bool, int) { ++self(c)->events; };
        hook.on_bytes_sent = [](void* c, const char*, std::int64_t sent, std::int64_t) {
            self(c)->last_sent = sent;
            ++self(c)->events;
        };
        hook.on_block_sent = [](void* c, const char*, std::int64_t, std::int64_t) {
            ++self(c)->events;
        };
        hook.on_programming = [](void* c, const char*) { ++self(c)->events; };
        hook.on_image_read = [](void* c, const char*, const ViByte*, std::int32_t, std::int64_t,
                                std::int64_t) {
            ++self(c)->events;
            return true;
        };
    }
    static Listener* self(void* c) { return static_cast<Listener*>(c); }
};

void run_uploads(benchmark::State& state, bool observed);

void upload(benchmark::State& state) {
    run_uploads(state, false);
}

void upload_observed(benchmark::State& state) {
    run_uploads(state, true);
}

void run_uploads(benchmark::State& state, bool observed) {
    Listener listener;
    if (observed) update_add_observer(&listener.hook);
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
    if (observed) {
        update_remove_observer(&listener.hook);
        state.counters["events_per_upload"] =
            static_cast<double>(listener.events) / static_cast<double>(state.iterations());
    }
}

}  // namespace

BENCHMARK(upload)->Arg(1 << 20)->Arg(64 << 20)->Unit(benchmark::kMillisecond);
BENCHMARK(upload_observed)->Arg(64 << 20)->Unit(benchmark::kMillisecond);
BENCHMARK(upload)->Arg(64 << 20)->Unit(benchmark::kMillisecond)->Name("upload_again");
BENCHMARK_MAIN();
