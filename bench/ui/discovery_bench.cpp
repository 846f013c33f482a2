// One discovery run (what opening the instrument list does) through the
// built-in VISA library, with only configured LAN instruments and no serial
// ports: the library reads its configuration file and lists, and sends
// nothing on any network. Target: under 20 ms.
#include <benchmark/benchmark.h>

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "workflow/discovery.h"
#include "workflow/operator.h"

namespace {

using namespace workflow;

void BM_discovery_configured(benchmark::State& state) {
    const auto dir = std::filesystem::temp_directory_path() /
                     ("fw-discovery-bench-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir / "firmware-update");
    {
        std::ofstream config(dir / "firmware-update" / "visa.conf");
        for (int i = 0; i < state.range(0); ++i)
            config << "TCPIP0::127.0.0." << (2 + i) << "::inst0::INSTR\n";
        config << "serial = off\n";
    }
    ::setenv("XDG_CONFIG_HOME", dir.c_str(), 1);

    // The window's side does nothing: only the workflow and the library count.
    SilentOperator op;
    auto buffer = std::make_unique<char[]>(kResourceListSize);
    for (auto _ : state) {
        DiscoverInstruments(op, buffer.get(), kResourceListSize);
        benchmark::DoNotOptimize(buffer[0]);
    }
    state.counters["listed"] = static_cast<double>(SplitResourceList(buffer.get()).size());
    std::filesystem::remove_all(dir);
}
BENCHMARK(BM_discovery_configured)->Arg(1)->Arg(8)->Arg(64)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
