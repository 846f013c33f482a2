// What a client can send fwsim: a TCP byte stream cut into RPC records, each
// handed to the VXI-11 core (and so to the SCPI message splitter and the
// instrument behind it) and to the portmapper. A waiting call is resumed once,
// much later. Nothing a client sends may crash or hang the simulator.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "instrument.h"
#include "portmap.h"
#include "visa/vxi11/rpc_wire.h"
#include "vxi11_core.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    sim::InstrumentConfig config;
    config.idn = sim::identity_for_model("K7141HA", "000001", "1.0.0");
    config.sector_sizes = sim::default_sector_sizes();
    sim::Instrument instrument(config,
                               [](const std::string&, std::string_view) { return std::string(); });
    sim::Vxi11Settings settings;
    settings.max_recv_size = 4096;
    settings.accept_bytes_per_ms =
        data[0] % 2 == 0 ? std::optional<std::uint32_t>(7) : std::nullopt;
    sim::Vxi11Core core(instrument, settings, [](std::string_view) {});
    const sim::PortmapInfo info{"127.0.0.1", 1024, 111};

    std::string in(reinterpret_cast<const char*>(data), size);
    visa::vxi11::rpc::RecordReader reader(8192);
    auto now = sim::Clock::time_point{} + std::chrono::hours(1);
    for (unsigned records = 0; records < 64; ++records) {
        const sim::ConnectionId conn = 1 + records % 2;
        std::string record;
        if (reader.next(in, record) != visa::vxi11::rpc::RecordReader::Status::record) break;
        sim::answer_portmap(record, info);
        std::optional<sim::Vxi11Call> pending;
        core.start(conn, record, pending, now);
        if (pending) core.resume(conn, *pending, now + std::chrono::hours(1));
        now += std::chrono::milliseconds(10);
    }
    core.connection_closed(1);
    return 0;
}
