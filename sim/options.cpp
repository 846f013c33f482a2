#include "options.h"

#include <arpa/inet.h>
#include <sys/stat.h>

#include <cctype>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>

#include "platform/option_parser.h"
#include "workflow/accepted_models.h"

namespace sim {

namespace {

// What a handler works on: the options being built and the parts of the
// identity that are only put together at the end.
struct Parse {
    Parse(Options& options, const AddressScope& where) : o(options), scope(where) {}
    Options& o;
    AddressScope scope;
    std::string name;  // the option being handled, for messages
    std::string model = workflow::kAcceptedModelTable[0].m_model, serial, firmware = "1.0.0", idn,
                firmware_after;
    bool have_address = false;
};

// Refuses the option's value: the parse ends with this message.
[[noreturn]] bool fail(Parse&, const std::string& message) {
    throw platform::UsageError(message);
}

bool set_text(std::string& target, const std::string& value) {
    target = value;
    return true;
}

bool parse_u64(const std::string& s, std::uint64_t& out) {
    if (s.empty() || !std::isdigit(static_cast<unsigned char>(s.front()))) return false;
    auto [ptr, ec] = std::from_chars(s.data(), s.data() + s.size(), out);
    return ec == std::errc() && ptr == s.data() + s.size();
}

bool parse_int(const std::string& s, int& out) {
    std::string_view v = s;
    if (!v.empty() && v.front() == '+') v.remove_prefix(1);
    auto [ptr, ec] = std::from_chars(v.data(), v.data() + v.size(), out);
    return !v.empty() && ec == std::errc() && ptr == v.data() + v.size();
}

bool number(Parse& p, const std::string& v, std::uint64_t max, std::uint64_t& out) {
    if (parse_u64(v, out) && out <= max) return true;
    return fail(p, p.name + ": '" + v + "' is not a number from 0 to " + std::to_string(max));
}

bool port(Parse& p, const std::string& v, std::uint16_t& out) {
    std::uint64_t n = 0;
    if (!number(p, v, 65535, n)) return false;
    out = static_cast<std::uint16_t>(n);
    return true;
}

bool milliseconds(Parse& p, const std::string& v, std::chrono::milliseconds& out) {
    std::uint64_t n = 0;
    if (!number(p, v, 24ull * 3600 * 1000, n)) return false;
    out = std::chrono::milliseconds(n);
    return true;
}

// Splits "HEADER<sep>REST"; the header may not be empty.
bool split(Parse& p, const std::string& v, char sep, std::string& head, std::string& rest) {
    const auto at = v.find(sep);
    if (at == std::string::npos || at == 0)
        return fail(p, p.name + ": expected HEADER" + sep + "..., got '" + v + "'");
    head = v.substr(0, at);
    rest = v.substr(at + 1);
    return true;
}

bool valid_image_id(const std::string& id) {
    if (id.empty() || id.size() > 15) return false;
    for (char c : id) {
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '_' && c != '-') return false;
    }
    return true;
}

std::string unquote(std::string s) {
    if (s.size() >= 2 && s.front() == '"' && s.back() == '"') s = s.substr(1, s.size() - 2);
    return s;
}

bool printable(Parse& p, const std::string& v, std::string& out) {
    for (char c : v) {
        if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) > 0x7e)
            return fail(p, p.name + ": printable ASCII only");
    }
    out = v;
    return true;
}

bool address(Parse& p, const std::string& v) {
    in_addr a{};
    const bool ipv4 = ::inet_pton(AF_INET, v.c_str(), &a) == 1;
    const std::uint32_t host = ntohl(a.s_addr);
    if (ipv4 && p.scope.private_namespace) {
        // Whether an interface here has it, bind() tells.
        const bool unicast = host != 0 && (host >> 28) != 0xE && host != 0xFFFFFFFFu;
        if (!unicast) return fail(p, "--address must be an IPv4 unicast address, not '" + v + "'");
    } else if (!ipv4 || (host >> 24) != 127) {
        return fail(p, "--address must be an IPv4 loopback address in 127.0.0.0/8, not '" + v +
                           "': other addresses only inside a network namespace of its own");
    }
    p.o.server.address = v;
    p.have_address = true;
    return true;
}

bool model(Parse& p, const std::string& v) {
    if (identity_for_model(v, "", "").empty())
        return fail(p, "--model: unknown model '" + v + "' (" + workflow::AcceptedModelList(", ") +
                           ", other)");
    p.model = v;
    return true;
}

// "K7141HA (default), K7142HA, K7141B, or other (...)": the first accepted
// model is the default.
std::string model_help() {
    std::string text;
    for (const workflow::AcceptedModel& row : workflow::kAcceptedModelTable)
        text += text.empty() ? std::string(row.m_model) + " (default), "
                             : row.m_model + std::string(", ");
    return text + "or other (an identity that no supported model has)";
}

bool sector(Parse& p, const std::string& v) {
    std::string id, size;
    if (!split(p, v, '=', id, size)) return false;
    std::uint64_t n = 0;
    if (!valid_image_id(id) || !parse_u64(size, n) || n > 0xffffffffu)
        return fail(p, "--sector: expected ID=N with a 1-15 character id, got '" + v + "'");
    p.o.instrument.sector_sizes[id] = static_cast<std::uint32_t>(n);
    return true;
}

bool max_connections(Parse& p, const std::string& v) {
    std::uint64_t n = 0;
    if (!number(p, v, 256, n)) return false;
    if (n == 0) return fail(p, "--max-connections must be at least 1");
    p.o.server.max_connections = n;
    return true;
}

bool max_recv_size(Parse& p, const std::string& v) {
    std::uint64_t n = 0;
    if (!number(p, v, 64u << 20, n)) return false;
    if (n < 1024) return fail(p, "--max-recv-size must be at least 1024");
    p.o.max_recv_size = static_cast<std::uint32_t>(n);
    return true;
}

bool error_after(Parse& p, const std::string& v) {
    std::string header, entry;
    if (!split(p, v, '=', header, entry)) return false;
    ErrorInjection inj;
    if (const auto at = header.find('@'); at != std::string::npos) {
        if (!parse_u64(header.substr(at + 1), inj.occurrence) || inj.occurrence == 0)
            return fail(p, "--error-after: '@N' needs N of 1 or more");
        header.resize(at);
    }
    const auto comma = entry.find(',');
    if (comma == std::string::npos || !parse_int(entry.substr(0, comma), inj.entry.code))
        return fail(p, "--error-after: expected HEADER=CODE,\"TEXT\", got '" + entry + "'");
    inj.entry.text = unquote(entry.substr(comma + 1));
    inj.header = normalise_header(header);
    p.o.instrument.errors_after.push_back(std::move(inj));
    return true;
}

bool block_reply(Parse& p, const std::string& v) {
    std::string n, text;
    if (!split(p, v, ':', n, text)) return false;
    std::uint64_t k = 0;
    if (!parse_u64(n, k) || k == 0)
        return fail(p, "--block-reply: expected N:TEXT with N of 1 or more");
    p.o.instrument.block_replies[k] = text;
    return true;
}

bool reply(Parse& p, const std::string& v) {
    std::string header, text;
    if (!split(p, v, '=', header, text)) return false;
    p.o.instrument.replies[normalise_header(header)] = text;
    return true;
}

bool slow(Parse& p, const std::string& v) {
    std::string header, ms;
    if (!split(p, v, '=', header, ms)) return false;
    std::uint64_t n = 0;
    if (!parse_u64(ms, n) || n > 3600000)
        return fail(p, "--slow: expected HEADER=MS with MS up to 3600000");
    p.o.instrument.slow_ms[normalise_header(header)] = static_cast<std::uint32_t>(n);
    return true;
}

// The whole command line, in the order --help shows it. Each handler runs as
// its option is met, so a later option overrides an earlier one.
void define_options(CLI::App& app, Parse& p) {
    using platform::add_flag;
    const auto value = [&app, &p](const char* name, const char* arg, const char* help,
                                  std::function<bool(Parse&, const std::string&)> handle) {
        return platform::add_value(app, name, arg, help,
                                   [&p, name, handle = std::move(handle)](const std::string& v) {
                                       p.name = name;
                                       handle(p, v);
                                   });
    };
    ServerSettings& server = p.o.server;
    InstrumentConfig& instrument = p.o.instrument;

    app.option_defaults()->group("Addresses and ports");
    value("--address", "A",
          "address to bind (required): 127.0.0.0/8, or inside a network namespace other than "
          "the machine's any IPv4 address of an interface there",
          address);
    value("--vxi11-port", "P", "core channel port (default 0: ephemeral)",
          [&server](Parse& q, const std::string& v) { return port(q, v, server.vxi11_port); });
    value("--socket-port", "P", "raw SCPI socket port (default 5025; 0: ephemeral)",
          [&server](Parse& q, const std::string& v) { return port(q, v, server.socket_port); });
    value("--portmap-port", "P", "portmapper port (default 111; 0: none)",
          [&server](Parse& q, const std::string& v) { return port(q, v, server.portmap_port); });
    add_flag(app, "--no-portmap", "serve no portmapper (as --portmap-port 0)", [&server](bool on) {
        if (on) server.portmap_port = 0;
    });
    value("--hislip-port", "P", "HiSLIP port (default 4880; 0: ephemeral)",
          [&server](Parse& q, const std::string& v) { return port(q, v, server.hislip_port); });

    app.option_defaults()->group("Instrument");
    value("--model", "M", model_help().c_str(), model);
    value("--serial", "S",
          "serial number in *IDN? (default: the address's last two bytes as six digits, "
          "000002 for 127.0.0.2)",
          [](Parse& q, const std::string& v) { return printable(q, v, q.serial); });
    value("--firmware", "F", "firmware version in *IDN? (default 1.0.0)",
          [](Parse& q, const std::string& v) { return printable(q, v, q.firmware); });
    value("--firmware-after-reboot", "F",
          "firmware version in *IDN? once DIAG:HW:HOST:REBoot ran (default: unchanged)",
          [](Parse& q, const std::string& v) { return printable(q, v, q.firmware_after); });
    value("--idn", "TEXT", "whole *IDN? reply instead (a line feed is added)",
          [](Parse& q, const std::string& v) { return printable(q, v, q.idn); });
    value("--sector", "ID=N",
          "sector size N (0 allowed) for image ID, adding or replacing one of HPAP=65536 "
          "HREC=65536 HBRM=4096 HUBL=4096; ID is 1-15 of A-Z a-z 0-9 _ -",
          sector);
    value("--store", "DIR", "write each completely received image as DIR/<ID>.bin",
          [](Parse& q, const std::string& v) { return set_text(q.o.store_dir, v); });
    value("--transcript", "FILE",
          "one line per program message received; block data shown as its header and "
          "\"<N bytes>\"",
          [](Parse& q, const std::string& v) { return set_text(q.o.transcript_file, v); });
    value("--reboot-ms", "MS",
          "DIAG:HW:HOST:REBoot drops every connection and refuses new ones for MS (default 2000)",
          [&server](Parse& q, const std::string& v) {
              return milliseconds(q, v, server.reboot_time);
          });

    app.option_defaults()->group(
        "Faults (HEADER is a command header as sent, case-insensitive, e.g. "
        "DIAG:UPD:INIT?; options marked + may be repeated)");
    value("--error-after", "HEADER[@N]=CODE,\"TEXT\"",
          "+ push CODE,\"TEXT\" onto the error queue after HEADER runs (only its N-th time "
          "with @N)",
          error_after);
    value("--init-reply", "TEXT", "answer DIAG:UPD:INIT? with TEXT instead of its code",
          [&instrument](Parse&, const std::string& v) {
              instrument.init_reply = v;
              return true;
          });
    value("--block-reply", "N:TEXT", "+ answer the N-th DIAG:UPD:BLOC? of each transfer with TEXT",
          block_reply);
    value("--reply", "HEADER=TEXT",
          "+ answer HEADER with TEXT, whatever it did (e.g. 'DIAG:UPD:SSIZ?=abc' for a sector "
          "size that is no number)",
          reply);
    value("--no-reply", "HEADER", "+ never answer the query HEADER",
          [&instrument](Parse&, const std::string& v) {
              instrument.no_reply.insert(normalise_header(v));
              return true;
          });
    value("--slow", "HEADER=MS",
          "+ answer HEADER (or, for a command, complete its VXI-11 write) only after MS", slow);
    value("--drop-in-block", "BYTES",
          "close the connection as soon as BYTES data bytes of a block have arrived (every "
          "block message)",
          [&server](Parse& q, const std::string& v) {
              std::uint64_t n = 0;
              if (!number(q, v, 1ull << 31, n)) return false;
              server.drop_in_block = n;
              return true;
          });
    value("--refuse-write", "N",
          "refuse the N-th VXI-11 device_write since start (1: the first) with an I/O error, "
          "taking none of its bytes",
          [](Parse& q, const std::string& v) {
              std::uint64_t n = 0;
              if (!number(q, v, 1ull << 40, n)) return false;
              if (n == 0) return fail(q, "--refuse-write: N counts from 1");
              q.o.refuse_write = n;
              return true;
          });
    value("--accept-rate", "BYTES",
          "take VXI-11 write data at BYTES per millisecond and answer each device_write when "
          "its bytes are taken; what its I/O time-out leaves no time for is not taken",
          [](Parse& q, const std::string& v) {
              std::uint64_t n = 0;
              if (!number(q, v, 1u << 30, n)) return false;
              if (n == 0) return fail(q, "--accept-rate must be at least 1");
              q.o.accept_bytes_per_ms = static_cast<std::uint32_t>(n);
              return true;
          });
    add_flag(app, "--hold-lock",
             "another client holds the exclusive lock from start (VXI-11 and HiSLIP); "
             "--hold-lock=no: nobody does",
             [&p](bool on) {
                 p.o.hold_lock = on;
                 if (!on) p.o.hold_lock_time.reset();
             });
    value("--hold-lock-ms", "MS", "... and releases it after MS (implies --hold-lock)",
          [](Parse& q, const std::string& v) {
              std::chrono::milliseconds ms{};
              if (!milliseconds(q, v, ms)) return false;
              q.o.hold_lock = true;
              q.o.hold_lock_time = ms;
              return true;
          });

    app.option_defaults()->group("Limits");
    value("--max-connections", "N", "simultaneous connections (default 16)", max_connections);
    value("--idle-timeout-ms", "MS", "close connections idle this long (default 600000)",
          [&server](Parse& q, const std::string& v) {
              return milliseconds(q, v, server.idle_timeout);
          });
    value("--max-recv-size", "N", "VXI-11 maxRecvSize advertised (default 1048576, at least 1024)",
          max_recv_size);
    add_flag(app, "--mdns",
             "announce _vxi-11._tcp, _hislip._tcp and _scpi-raw._tcp through avahi-daemon as "
             "\"<model> <serial>\"",
             p.o.mdns);
    add_flag(app, "--verbose", "log connections to standard error", server.verbose);
    add_flag(app, "-h,--help", "this text", p.o.help);
}

const char intro[] = R"(usage: fwsim --address 127.0.0.N [options]

Simulates one power-sensor instrument on its own loopback address: the VXI-11
core channel (TCPIP0::<address>::inst0::INSTR), its own portmapper on port 111
(TCP and UDP, and on a namespace's interface its broadcast address too, so that
a broadcast search finds it), a raw SCPI socket
(TCPIP0::<address>::<port>::SOCKET) and HiSLIP on an unprivileged port
(TCPIP0::<address>::hislip0[,<port>]::INSTR).
Prints one line
  fwsim ready <address> vxi11=<port> socket=<port> hislip=<port> portmap=<port>|off
when every socket listens, then serves until SIGTERM or SIGINT. A listener that
cannot bind, the portmapper's included, ends it with a message (exit status 1).
Flags take an optional value: --hold-lock=no (yes/no, true/false, on/off, 1/0).)";

const char instrument_note[] =
    R"(The instrument: DIAG:UPD:INIT? and DIAG:UPD:BLOC? answer 0, or with an
error-queue entry 1 (not in update mode / no transfer), 2 (unknown image),
3 (sizes out of range), 4 (message too large), 5 (malformed). DIAG:UPD:DONE
keeps the image only if all announced bytes arrived.)";

void define_app(CLI::App& app, Parse& p) {
    app.name("fwsim");
    app.description(intro);
    app.footer(instrument_note);
    app.set_help_flag();
    app.formatter(std::make_shared<platform::HelpFormatter>(24, 80));
    define_options(app, p);
}

}  // namespace

const char* usage_text() {
    static const std::string text = [] {
        Options o;
        Parse p{o, AddressScope{}};
        CLI::App app;
        define_app(app, p);
        return app.help();
    }();
    return text.c_str();
}

AddressScope current_address_scope() {
    struct stat self {
    }, other{};
    if (::stat("/proc/self/ns/net", &self) != 0) return {};
    if (::stat("/proc/1/ns/net", &other) == 0)
        return AddressScope{self.st_ino != other.st_ino || self.st_dev != other.st_dev};
    // Process 1 can be out of reach (a sandbox's supervisor, say). Then a
    // namespace made with `ip netns add` is one of its own, unless it is the
    // machine's namespace under a name, which recent kernels number
    // 0xEFFFFFF9.
    constexpr ino_t init_net_inode = 0xEFFFFFF9u;
    if (self.st_ino == init_net_inode) return {};
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator("/run/netns", ec)) {
        if (::stat(entry.path().c_str(), &other) == 0 && other.st_ino == self.st_ino &&
            other.st_dev == self.st_dev)
            return AddressScope{true};
    }
    return {};
}

std::optional<Options> parse_options(const std::vector<std::string>& args, std::string& error,
                                     const AddressScope& scope) {
    Options o;
    o.instrument.sector_sizes = default_sector_sizes();
    Parse p{o, scope};
    CLI::App app;
    define_app(app, p);
    error = platform::parse(app, args);
    if (!error.empty()) return std::nullopt;
    if (o.help) return o;
    if (!p.have_address) {
        error = "--address 127.0.0.N is required";
        return std::nullopt;
    }
    // Two simulators are two instruments: the upgrader tells instruments
    // apart by model and serial number, so each address has its own.
    if (p.serial.empty()) {
        in_addr a{};
        ::inet_pton(AF_INET, o.server.address.c_str(), &a);
        char serial[16];
        std::snprintf(serial, sizeof serial, "%06u", ntohl(a.s_addr) & 0xFFFFu);
        p.serial = serial;
    }
    o.instrument.idn =
        p.idn.empty() ? identity_for_model(p.model, p.serial, p.firmware) : p.idn + "\n";
    if (!p.firmware_after.empty() && p.idn.empty())
        o.instrument.idn_after_reboot = identity_for_model(p.model, p.serial, p.firmware_after);
    o.server.max_record = static_cast<std::size_t>(o.max_recv_size) + 4096;
    // A browser shows the name, and people know an instrument by its model
    // and serial number, so it is those of *IDN? (an odd --idn: the address).
    const auto model_at = o.instrument.idn.find(',');
    const auto serial_at =
        model_at == std::string::npos ? model_at : o.instrument.idn.find(',', model_at + 1);
    const auto serial_end =
        serial_at == std::string::npos ? serial_at : o.instrument.idn.find(',', serial_at + 1);
    if (serial_end != std::string::npos) {
        o.mdns_name = o.instrument.idn.substr(model_at + 1, serial_at - model_at - 1) + " " +
                      o.instrument.idn.substr(serial_at + 1, serial_end - serial_at - 1);
    } else {
        o.mdns_name = "fwsim " + o.server.address;
    }
    return o;
}

}  // namespace sim
