// The USB transport against the emulated instrument (umockdev; run under
// umockdev-wrapper): what one 4096-byte viWrite costs in time, usbfs
// requests and heap allocations, and the CPU time of a 64 MiB upload through
// the engine. The emulation answers in this process, on umockdev's thread,
// and libusb polls the emulated node without blocking, so CPU figures
// include the device's side and that polling; they bound the transport's
// cost from above. Heap allocations are the calling thread's: our code,
// libusb, and umockdev's client side of each ioctl.
#include <benchmark/benchmark.h>

#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "alloc_count.h"
#include "update.h"
#include "usb_instrument.h"
#include "visa.h"
#include "visa/rsrc_name.h"
#include "visa/usbtmc/usbtmc_transport.h"

namespace {

constexpr size_t image_size = size_t{64} << 20;

usbemu::UsbBed& bed() {
    static usbemu::UsbBed instance;
    return instance;
}

usbemu::UsbInstrument& device() {
    static usbemu::UsbInstrument instance(bed(), [] {
        usbemu::UsbInstrumentOptions o;
        o.instrument.idn = sim::identity_for_model("K7141HA", "SN1", "1.0.0");
        o.instrument.sector_sizes = sim::default_sector_sizes();
        return o;
    }());
    return instance;
}

double cpu_seconds(clockid_t clock) {
    timespec ts;
    clock_gettime(clock, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

// One viWrite of 4096 bytes without END, as the engine sends block pieces;
// the instrument's parser sees one long message that never ends. Argument 1
// holds an exclusive lock, as the engine does (the interface stays claimed);
// 0 claims and releases it around each write.
void usb_write_4096(benchmark::State& state) {
    if (!usbemu::in_mock_environment()) {
        state.SkipWithError("run under umockdev-wrapper");
        return;
    }
    ViSession rm, vi;
    viOpenDefaultRM(&rm);
    if (viOpen(rm, device().resource().c_str(), VI_NULL, 0, &vi) != VI_SUCCESS) {
        state.SkipWithError("open failed");
        return;
    }
    if (state.range(0) != 0) viLock(vi, VI_EXCLUSIVE_LOCK, 0, VI_NULL, VI_NULL);
    viSetAttribute(vi, VI_ATTR_SEND_END_EN, VI_FALSE);
    const std::string head = "DIAG:UPD:BLOC? #9999999999";
    ViUInt32 n = 0;
    viWrite(vi, reinterpret_cast<ViConstBuf>(head.data()), ViUInt32(head.size()), &n);
    std::string piece(4096, 'x');
    const uint64_t ioctls_before = device().ioctls();
    alloc_count::start();
    for (auto _ : state) {
        if (viWrite(vi, reinterpret_cast<ViConstBuf>(piece.data()), 4096, &n) != VI_SUCCESS) {
            state.SkipWithError("write failed");
            break;
        }
    }
    const auto allocations = alloc_count::stop().allocations;
    const double iterations = double(state.iterations());
    state.counters["usbfs_ioctls_per_write"] =
        double(device().ioctls() - ioctls_before) / iterations;
    state.counters["allocations_per_write"] = double(allocations) / iterations;
    state.SetBytesProcessed(int64_t(state.iterations()) * 4096);
    viClear(vi);
    viClose(vi);
    viClose(rm);
}
BENCHMARK(usb_write_4096)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);

// A pipe that accepts every transfer at once: what the transport itself
// costs per 4096-byte write (framing, the copy into the transfer buffer),
// without libusb or the emulation.
class NullPipe final : public visa::usbtmc::UsbPipe {
public:
    NullPipe() {
        ep_.bulk_out = 0x01;
        ep_.bulk_in = 0x82;
        ep_.bulk_out_packet = 512;
        ep_.bulk_in_packet = 512;
    }
    const visa::usbtmc::Endpoints& endpoints() const override { return ep_; }
    visa::usbtmc::PipeResult claim() override { return visa::usbtmc::PipeResult::ok; }
    void release() override {}
    visa::usbtmc::PipeResult bulk_out(const uint8_t* data, size_t size, uint32_t,
                                      size_t* sent) override {
        benchmark::DoNotOptimize(data[size - 1]);
        *sent = size;
        return visa::usbtmc::PipeResult::ok;
    }
    visa::usbtmc::PipeResult bulk_in(uint8_t*, size_t, uint32_t, size_t*) override {
        return visa::usbtmc::PipeResult::timeout;
    }
    visa::usbtmc::PipeResult interrupt_in(uint8_t*, size_t, uint32_t, size_t*) override {
        return visa::usbtmc::PipeResult::timeout;
    }
    visa::usbtmc::PipeResult control_in(uint8_t, uint8_t, uint16_t, uint16_t, uint8_t*, uint16_t,
                                        uint32_t, size_t* got) override {
        *got = 0;
        return visa::usbtmc::PipeResult::stall;
    }
    visa::usbtmc::PipeResult clear_halt(uint8_t) override { return visa::usbtmc::PipeResult::ok; }

private:
    visa::usbtmc::Endpoints ep_;
};

void usbtmc_framing_4096(benchmark::State& state) {
    visa::usbtmc::UsbtmcTransport t(
        [](const visa::RsrcName&, std::unique_ptr<visa::usbtmc::UsbPipe>* p, std::string*) {
            *p = std::make_unique<NullPipe>();
            return visa::usbtmc::PipeResult::ok;
        });
    t.open(*visa::parse_rsrc_name("USB0::1::2::S::INSTR"), 0);
    std::string piece(4096, 'x');
    size_t n = 0;
    t.write(reinterpret_cast<const ViByte*>(piece.data()), piece.size(), false, 1000, &n);
    alloc_count::start();
    for (auto _ : state)
        t.write(reinterpret_cast<const ViByte*>(piece.data()), piece.size(), false, 1000, &n);
    const auto allocations = alloc_count::stop().allocations;
    state.counters["allocations_per_write"] = double(allocations) / double(state.iterations());
    state.SetBytesProcessed(int64_t(state.iterations()) * 4096);
    t.close(0);
}
BENCHMARK(usbtmc_framing_4096);

void usb_upload_64mib(benchmark::State& state) {
    if (!usbemu::in_mock_environment()) {
        state.SkipWithError("run under umockdev-wrapper");
        return;
    }
    static FILE* sink = std::fopen("/dev/null", "w");
    update_set_streams(sink, sink);
    const auto path = std::filesystem::temp_directory_path() /
                      ("usbtmc-bench-" + std::to_string(::getpid()) + ".bin");
    {
        std::ofstream file(path, std::ios::binary);
        std::string chunk(1 << 16, '\0');
        for (size_t i = 0; i < chunk.size(); ++i)
            chunk[i] = static_cast<char>(i * 131 + 7);
        for (size_t done = 0; done < image_size; done += chunk.size())
            file.write(chunk.data(), std::streamsize(chunk.size()));
    }
    const std::string resource = device().resource();
    update_start(resource.c_str());
    double thread_cpu = 0, process_cpu = 0;
    for (auto _ : state) {
        const double t0 = cpu_seconds(CLOCK_THREAD_CPUTIME_ID);
        const double p0 = cpu_seconds(CLOCK_PROCESS_CPUTIME_ID);
        if (update_image(resource.c_str(), "HPAP", path.c_str(), -1) != 0)
            state.SkipWithError("upload failed");
        thread_cpu += cpu_seconds(CLOCK_THREAD_CPUTIME_ID) - t0;
        process_cpu += cpu_seconds(CLOCK_PROCESS_CPUTIME_ID) - p0;
    }
    update_end(resource.c_str());
    std::filesystem::remove(path);
    const double iterations = double(state.iterations());
    state.counters["cpu_s_caller"] = thread_cpu / iterations;
    state.counters["cpu_s_process"] = process_cpu / iterations;
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(image_size));
}
BENCHMARK(usb_upload_64mib)->Unit(benchmark::kMillisecond)->Iterations(2)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
