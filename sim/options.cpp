#include "options.h"

#include <arpa/inet.h>

#include <cctype>
#include <charconv>
#include <cstdio>
#include <cstring>

namespace sim {

namespace {

// What a handler works on: the options being built, the parts of the
// identity that are only put together at the end, and the first error.
struct Parse {
    Parse(Options& options, std::string& error_out, const std::string& typed)
        : o(options), error(error_out), name(typed) {}
    Options& o;
    std::string& error;
    const std::string& name;  // the option as typed, for messages
    std::string model = "K7141HA", serial, firmware = "1.0.0", idn;
    bool have_address = false;
};

using Handler = bool (*)(Parse& p, const std::string& value);

// One row per option: it parses the option and prints its help. `arg` is
// empty for a flag; `help` may hold line feeds for continuation lines. A row
// without a name is a note printed as it stands.
struct OptionSpec {
    const char* section;  // starts a new section of --help when not null
    const char* name;
    const char* arg;
    const char* help;
    Handler handle;
};

bool fail(Parse& p, std::string message) {
    p.error = std::move(message);
    return false;
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
    if (::inet_pton(AF_INET, v.c_str(), &a) != 1 || (ntohl(a.s_addr) >> 24) != 127)
        return fail(p,
                    "--address must be an IPv4 loopback address in 127.0.0.0/8, not '" + v + "'");
    p.o.server.address = v;
    p.have_address = true;
    return true;
}

bool model(Parse& p, const std::string& v) {
    if (identity_for_model(v, "", "").empty())
        return fail(p, "--model: unknown model '" + v + "' (K7141HA, K7142HA, K7141B, other)");
    p.model = v;
    return true;
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

// clang-format off
const OptionSpec options[] = {
    {"Addresses and ports:", "--address", "A",
     "loopback address to bind, 127.0.0.0/8 only (required)", address},
    {nullptr, "--vxi11-port", "P", "core channel port (default 0: ephemeral)",
     [](Parse& p, const std::string& v) { return port(p, v, p.o.server.vxi11_port); }},
    {nullptr, "--socket-port", "P", "raw SCPI socket port (default 5025; 0: ephemeral)",
     [](Parse& p, const std::string& v) { return port(p, v, p.o.server.socket_port); }},
    {nullptr, "--portmap-port", "P", "portmapper port (default 111; 0: none)",
     [](Parse& p, const std::string& v) { return port(p, v, p.o.server.portmap_port); }},
    {nullptr, "--no-portmap", "", "serve no portmapper (as --portmap-port 0)",
     [](Parse& p, const std::string&) { p.o.server.portmap_port = 0; return true; }},
    {nullptr, "--hislip-port", "P", "HiSLIP port (default 4880; 0: ephemeral)",
     [](Parse& p, const std::string& v) { return port(p, v, p.o.server.hislip_port); }},

    {"Instrument:", "--model", "M",
     "K7141HA (default), K7142HA, K7141B, or other (an\n"
     "identity that no supported model has)", model},
    {nullptr, "--serial", "S",
     "serial number in *IDN? (default: the address's last two bytes as six digits, "
     "000002 for 127.0.0.2)",
     [](Parse& p, const std::string& v) { return printable(p, v, p.serial); }},
    {nullptr, "--firmware", "F", "firmware version in *IDN? (default 1.0.0)",
     [](Parse& p, const std::string& v) { return printable(p, v, p.firmware); }},
    {nullptr, "--idn", "TEXT", "whole *IDN? reply instead (a line feed is added)",
     [](Parse& p, const std::string& v) { return printable(p, v, p.idn); }},
    {nullptr, "--sector", "ID=N",
     "sector size N (0 allowed) for image ID, adding or\n"
     "replacing one of HPAP=65536 HREC=65536 HBRM=4096\n"
     "HUBL=4096; ID is 1-15 of A-Z a-z 0-9 _ -", sector},
    {nullptr, "--store", "DIR", "write each completely received image as DIR/<ID>.bin",
     [](Parse& p, const std::string& v) { p.o.store_dir = v; return true; }},
    {nullptr, "--transcript", "FILE",
     "one line per program message received; block data\n"
     "shown as its header and \"<N bytes>\"",
     [](Parse& p, const std::string& v) { p.o.transcript_file = v; return true; }},
    {nullptr, "--reboot-ms", "MS",
     "DIAG:HW:HOST:REBoot drops every connection and refuses\n"
     "new ones for MS (default 2000)",
     [](Parse& p, const std::string& v) { return milliseconds(p, v, p.o.server.reboot_time); }},
    {nullptr, nullptr, nullptr,
     "  DIAG:UPD:INIT? and DIAG:UPD:BLOC? answer 0, or with an error-queue entry\n"
     "  1 (not in update mode / no transfer), 2 (unknown image), 3 (sizes out of\n"
     "  range), 4 (message too large), 5 (malformed). DIAG:UPD:DONE keeps the image\n"
     "  only if all announced bytes arrived.\n", nullptr},

    {"Faults (HEADER is a command header as sent, case-insensitive, e.g.\n"
     "DIAG:UPD:INIT?; options marked + may be repeated):",
     "--error-after", "HEADER[@N]=CODE,\"TEXT\"",
     "+ push CODE,\"TEXT\" onto the error queue after\n"
     "HEADER runs (only its N-th time with @N)", error_after},
    {nullptr, "--init-reply", "TEXT", "answer DIAG:UPD:INIT? with TEXT instead of its code",
     [](Parse& p, const std::string& v) { p.o.instrument.init_reply = v; return true; }},
    {nullptr, "--block-reply", "N:TEXT",
     "+ answer the N-th DIAG:UPD:BLOC? of each transfer\n"
     "with TEXT", block_reply},
    {nullptr, "--reply", "HEADER=TEXT",
     "+ answer HEADER with TEXT, whatever it did (e.g.\n"
     "'DIAG:UPD:SSIZ?=abc' for a sector size that is no number)", reply},
    {nullptr, "--no-reply", "HEADER", "+ never answer the query HEADER",
     [](Parse& p, const std::string& v) {
         p.o.instrument.no_reply.insert(normalise_header(v));
         return true;
     }},
    {nullptr, "--slow", "HEADER=MS",
     "+ answer HEADER (or, for a command, complete its\n"
     "VXI-11 write) only after MS", slow},
    {nullptr, "--drop-in-block", "BYTES",
     "close the connection as soon as BYTES data bytes of a\n"
     "block have arrived (every block message)",
     [](Parse& p, const std::string& v) {
         std::uint64_t n = 0;
         if (!number(p, v, 1ull << 31, n)) return false;
         p.o.server.drop_in_block = n;
         return true;
     }},
    {nullptr, "--refuse-write", "N",
     "refuse the N-th VXI-11 device_write since start (1: the\n"
     "first) with an I/O error, taking none of its bytes",
     [](Parse& p, const std::string& v) {
         std::uint64_t n = 0;
         if (!number(p, v, 1ull << 40, n)) return false;
         if (n == 0) return fail(p, "--refuse-write: N counts from 1");
         p.o.refuse_write = n;
         return true;
     }},
    {nullptr, "--accept-rate", "BYTES",
     "take VXI-11 write data at BYTES per millisecond and\n"
     "answer each device_write when its bytes are taken; what\n"
     "its I/O time-out leaves no time for is not taken",
     [](Parse& p, const std::string& v) {
         std::uint64_t n = 0;
         if (!number(p, v, 1u << 30, n)) return false;
         if (n == 0) return fail(p, "--accept-rate must be at least 1");
         p.o.accept_bytes_per_ms = static_cast<std::uint32_t>(n);
         return true;
     }},
    {nullptr, "--hold-lock", "",
     "another client holds the exclusive lock from start\n(VXI-11 and HiSLIP)",
     [](Parse& p, const std::string&) { p.o.hold_lock = true; return true; }},
    {nullptr, "--hold-lock-ms", "MS", "... and releases it after MS (implies --hold-lock)",
     [](Parse& p, const std::string& v) {
         std::chrono::milliseconds ms{};
         if (!milliseconds(p, v, ms)) return false;
         p.o.hold_lock = true;
         p.o.hold_lock_time = ms;
         return true;
     }},

    {"Limits:", "--max-connections", "N", "simultaneous connections (default 16)", max_connections},
    {nullptr, "--idle-timeout-ms", "MS", "close connections idle this long (default 600000)",
     [](Parse& p, const std::string& v) { return milliseconds(p, v, p.o.server.idle_timeout); }},
    {nullptr, "--max-recv-size", "N",
     "VXI-11 maxRecvSize advertised (default 1048576,\n"
     "at least 1024)", max_recv_size},
    {nullptr, "--verbose", "", "log connections to standard error",
     [](Parse& p, const std::string&) { p.o.server.verbose = true; return true; }},
    {nullptr, "--help", "", "this text",
     [](Parse& p, const std::string&) { p.o.help = true; return true; }},
};
// clang-format on

const char intro[] = R"(usage: fwsim --address 127.0.0.N [options]

Simulates one power-sensor instrument on its own loopback address: the VXI-11
core channel (TCPIP0::<address>::inst0::INSTR), its own portmapper on port 111
(TCP and UDP), a raw SCPI socket (TCPIP0::<address>::<port>::SOCKET) and
HiSLIP on an unprivileged port (TCPIP0::<address>::hislip0[,<port>]::INSTR).
Prints one line
  fwsim ready <address> vxi11=<port> socket=<port> hislip=<port> portmap=<port>|off
when every socket listens, then serves until SIGTERM or SIGINT. A listener that
cannot bind, the portmapper's included, ends it with a message (exit status 1).
)";

constexpr std::size_t help_column = 24;

std::string make_usage() {
    std::string text = intro;
    for (const OptionSpec& row : options) {
        if (row.section) text += std::string("\n") + row.section + "\n";
        if (!row.name) {
            text += row.help;
            continue;
        }
        std::string left = std::string("  ") + row.name;
        if (*row.arg) left += std::string(" ") + row.arg;
        const char* help = row.help;
        bool first = true;
        while (*help) {
            const char* end = std::strchr(help, '\n');
            const std::size_t len = end ? std::size_t(end - help) : std::strlen(help);
            if (first && left.size() < help_column) {
                text += left + std::string(help_column - left.size(), ' ');
            } else {
                if (first) text += left + "\n";
                text += std::string(help_column, ' ');
            }
            text.append(help, len);
            text += "\n";
            help += len + (end ? 1 : 0);
            first = false;
        }
    }
    return text;
}

const OptionSpec* find_option(const std::string& name) {
    for (const OptionSpec& row : options) {
        if (row.name && name == row.name) return &row;
    }
    return name == "-h" ? find_option("--help") : nullptr;
}

}  // namespace

const char* usage_text() {
    static const std::string text = make_usage();
    return text.c_str();
}

std::optional<Options> parse_options(const std::vector<std::string>& args, std::string& error) {
    Options o;
    o.instrument.sector_sizes = default_sector_sizes();
    std::string name;
    Parse p{o, error, name};

    for (std::size_t i = 0; i < args.size(); ++i) {
        name = args[i];
        std::optional<std::string> inline_value;
        if (const auto eq = name.find('='); name.rfind("--", 0) == 0 && eq != std::string::npos) {
            inline_value = name.substr(eq + 1);
            name.resize(eq);
        }
        const OptionSpec* row = find_option(name);
        if (!row) {
            error = "unknown option '" + args[i] + "' (see --help)";
            return std::nullopt;
        }
        std::string value;
        if (*row->arg) {
            if (inline_value) {
                value = *inline_value;
            } else if (i + 1 < args.size()) {
                value = args[++i];
            } else {
                error = name + " needs a value";
                return std::nullopt;
            }
        }
        if (!row->handle(p, value)) return std::nullopt;
    }
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
    o.server.max_record = static_cast<std::size_t>(o.max_recv_size) + 4096;
    return o;
}

}  // namespace sim
