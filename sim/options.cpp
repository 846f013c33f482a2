#include "options.h"

#include <arpa/inet.h>

#include <cctype>
#include <charconv>

namespace sim {

namespace {

const char usage[] = R"(usage: fwsim --address 127.0.0.N [options]

Simulates one power-sensor instrument on its own loopback address: the VXI-11
core channel (TCPIP0::<address>::inst0::INSTR), its own portmapper on port 111
(TCP and UDP; skipped with a message when it cannot bind) and a raw SCPI socket
(TCPIP0::<address>::<port>::SOCKET). Prints one line
  fwsim ready <address> vxi11=<port> socket=<port>
when every socket listens, then serves until SIGTERM or SIGINT.

Addresses and ports:
  --address A           loopback address to bind, 127.0.0.0/8 only (required)
  --vxi11-port P        core channel port (default 0: ephemeral)
  --socket-port P       raw SCPI socket port (default 5025; 0: ephemeral)
  --portmap-port P      portmapper port (default 111; 0: none)

Instrument:
  --model M             K7141HA (default), K7142HA, K7141B, or other (an
                        identity that no supported model has)
  --serial S            serial number in *IDN? (default 000001)
  --firmware F          firmware version in *IDN? (default 1.0.0)
  --idn TEXT            whole *IDN? reply instead (a line feed is added)
  --sector ID=N         sector size N (0 allowed) for image ID, adding or
                        replacing one of HPAP=65536 HREC=65536 HBRM=4096
                        HUBL=4096; ID is 1-15 of A-Z a-z 0-9 _ -
  --store DIR           write each completely received image as DIR/<ID>.bin
  --transcript FILE     one line per program message received; block data
                        shown as its header and "<N bytes>"
  --reboot-ms MS        DIAG:HW:HOST:REBoot drops every connection and refuses
                        new ones for MS (default 2000)
  DIAG:UPD:INIT? and DIAG:UPD:BLOC? answer 0, or with an error-queue entry
  1 (not in update mode / no transfer), 2 (unknown image), 3 (sizes out of
  range), 4 (message too large), 5 (malformed). DIAG:UPD:DONE keeps the image
  only if all announced bytes arrived.

Faults (HEADER is a command header as sent, case-insensitive, e.g.
DIAG:UPD:INIT?; options marked + may be repeated):
  --error-after HEADER[@N]=CODE,"TEXT"   + push CODE,"TEXT" onto the error
                        queue after HEADER runs (only its N-th time with @N)
  --init-reply TEXT     answer DIAG:UPD:INIT? with TEXT instead of its code
  --block-reply N:TEXT  + answer the N-th DIAG:UPD:BLOC? of each transfer
                        with TEXT
  --reply HEADER=TEXT   + answer HEADER with TEXT, whatever it did (e.g.
                        'DIAG:UPD:SSIZ?=abc' for a sector size that is no number)
  --no-reply HEADER     + never answer the query HEADER
  --slow HEADER=MS      + answer HEADER (or, for a command, complete its
                        VXI-11 write) only after MS
  --drop-in-block BYTES close the connection as soon as BYTES data bytes of a
                        block have arrived (every block message)
  --hold-lock           an internal link holds the exclusive lock from start
  --hold-lock-ms MS     ... and releases it after MS (implies --hold-lock)

Limits:
  --max-connections N   simultaneous connections (default 16)
  --idle-timeout-ms MS  close connections idle this long (default 600000)
  --max-recv-size N     VXI-11 maxRecvSize advertised (default 1048576,
                        at least 1024)
  --verbose             log connections to standard error
  --help                this text
)";

bool parse_u64(const std::string& s, std::uint64_t& out) {
    if (s.empty() || !std::isdigit(static_cast<unsigned char>(s.front()))) return false;
    auto [p, ec] = std::from_chars(s.data(), s.data() + s.size(), out);
    return ec == std::errc() && p == s.data() + s.size();
}

bool parse_int(const std::string& s, int& out) {
    std::string_view v = s;
    if (!v.empty() && v.front() == '+') v.remove_prefix(1);
    auto [p, ec] = std::from_chars(v.data(), v.data() + v.size(), out);
    return !v.empty() && ec == std::errc() && p == v.data() + v.size();
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

}  // namespace

const char* usage_text() {
    return usage;
}

std::optional<Options> parse_options(const std::vector<std::string>& args, std::string& error) {
    Options o;
    o.instrument.sector_sizes = default_sector_sizes();
    std::string model = "K7141HA", serial = "000001", firmware = "1.0.0", idn;
    bool have_address = false;

    for (std::size_t i = 0; i < args.size(); ++i) {
        std::string name = args[i];
        std::optional<std::string> inline_value;
        if (const auto eq = name.find('='); name.rfind("--", 0) == 0 && eq != std::string::npos) {
            inline_value = name.substr(eq + 1);
            name.resize(eq);
        }
        const auto value = [&]() -> std::optional<std::string> {
            if (inline_value) return inline_value;
            if (i + 1 < args.size()) return args[++i];
            error = name + " needs a value";
            return std::nullopt;
        };
        const auto number = [&](std::uint64_t max) -> std::optional<std::uint64_t> {
            const auto v = value();
            if (!v) return std::nullopt;
            std::uint64_t n = 0;
            if (!parse_u64(*v, n) || n > max) {
                error = name + ": '" + *v + "' is not a number from 0 to " + std::to_string(max);
                return std::nullopt;
            }
            return n;
        };
        const auto header_and = [&](char sep, std::string& header, std::string& rest) {
            const auto v = value();
            if (!v) return false;
            const auto at = v->find(sep);
            if (at == std::string::npos || at == 0) {
                error = name + ": expected HEADER" + sep + "..., got '" + *v + "'";
                return false;
            }
            header = v->substr(0, at);
            rest = v->substr(at + 1);
            return true;
        };

        if (name == "--help" || name == "-h") {
            o.help = true;
        } else if (name == "--verbose") {
            o.server.verbose = true;
        } else if (name == "--hold-lock") {
            o.hold_lock = true;
        } else if (name == "--address") {
            const auto v = value();
            if (!v) return std::nullopt;
            in_addr a{};
            if (::inet_pton(AF_INET, v->c_str(), &a) != 1 || (ntohl(a.s_addr) >> 24) != 127) {
                error =
                    "--address must be an IPv4 loopback address in 127.0.0.0/8, not '" + *v + "'";
                return std::nullopt;
            }
            o.server.address = *v;
            have_address = true;
        } else if (name == "--vxi11-port" || name == "--socket-port" || name == "--portmap-port") {
            const auto n = number(65535);
            if (!n) return std::nullopt;
            const auto port = static_cast<std::uint16_t>(*n);
            if (name == "--vxi11-port")
                o.server.vxi11_port = port;
            else if (name == "--socket-port")
                o.server.socket_port = port;
            else
                o.server.portmap_port = port;
        } else if (name == "--model") {
            const auto v = value();
            if (!v) return std::nullopt;
            model = *v;
            if (identity_for_model(model, "", "").empty()) {
                error = "--model: unknown model '" + model + "' (K7141HA, K7142HA, K7141B, other)";
                return std::nullopt;
            }
        } else if (name == "--serial" || name == "--firmware" || name == "--idn") {
            const auto v = value();
            if (!v) return std::nullopt;
            for (char c : *v) {
                if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) > 0x7e) {
                    error = name + ": printable ASCII only";
                    return std::nullopt;
                }
            }
            (name == "--serial" ? serial : name == "--firmware" ? firmware : idn) = *v;
        } else if (name == "--sector") {
            std::string id, size;
            if (!header_and('=', id, size)) return std::nullopt;
            std::uint64_t n = 0;
            if (!valid_image_id(id) || !parse_u64(size, n) || n > 0xffffffffu) {
                error = "--sector: expected ID=N with a 1-15 character id, got '" + id + "=" +
                        size + "'";
                return std::nullopt;
            }
            o.instrument.sector_sizes[id] = static_cast<std::uint32_t>(n);
        } else if (name == "--store" || name == "--transcript") {
            const auto v = value();
            if (!v) return std::nullopt;
            (name == "--store" ? o.store_dir : o.transcript_file) = *v;
        } else if (name == "--reboot-ms" || name == "--idle-timeout-ms") {
            const auto n = number(24ull * 3600 * 1000);
            if (!n) return std::nullopt;
            (name == "--reboot-ms" ? o.server.reboot_time : o.server.idle_timeout) =
                std::chrono::milliseconds(*n);
        } else if (name == "--max-connections") {
            const auto n = number(256);
            if (!n) return std::nullopt;
            if (*n == 0) {
                error = "--max-connections must be at least 1";
                return std::nullopt;
            }
            o.server.max_connections = *n;
        } else if (name == "--max-recv-size") {
            const auto n = number(64u << 20);
            if (!n) return std::nullopt;
            if (*n < 1024) {
                error = "--max-recv-size must be at least 1024";
                return std::nullopt;
            }
            o.max_recv_size = static_cast<std::uint32_t>(*n);
        } else if (name == "--error-after") {
            std::string header, entry;
            if (!header_and('=', header, entry)) return std::nullopt;
            ErrorInjection inj;
            if (const auto at = header.find('@'); at != std::string::npos) {
                if (!parse_u64(header.substr(at + 1), inj.occurrence) || inj.occurrence == 0) {
                    error = "--error-after: '@N' needs N of 1 or more";
                    return std::nullopt;
                }
                header.resize(at);
            }
            const auto comma = entry.find(',');
            if (comma == std::string::npos || !parse_int(entry.substr(0, comma), inj.entry.code)) {
                error = "--error-after: expected HEADER=CODE,\"TEXT\", got '" + entry + "'";
                return std::nullopt;
            }
            inj.entry.text = unquote(entry.substr(comma + 1));
            inj.header = normalise_header(header);
            o.instrument.errors_after.push_back(std::move(inj));
        } else if (name == "--init-reply") {
            const auto v = value();
            if (!v) return std::nullopt;
            o.instrument.init_reply = *v;
        } else if (name == "--block-reply") {
            std::string n, text;
            if (!header_and(':', n, text)) return std::nullopt;
            std::uint64_t k = 0;
            if (!parse_u64(n, k) || k == 0) {
                error = "--block-reply: expected N:TEXT with N of 1 or more";
                return std::nullopt;
            }
            o.instrument.block_replies[k] = text;
        } else if (name == "--reply") {
            std::string header, text;
            if (!header_and('=', header, text)) return std::nullopt;
            o.instrument.replies[normalise_header(header)] = text;
        } else if (name == "--no-reply") {
            const auto v = value();
            if (!v) return std::nullopt;
            o.instrument.no_reply.insert(normalise_header(*v));
        } else if (name == "--slow") {
            std::string header, ms;
            if (!header_and('=', header, ms)) return std::nullopt;
            std::uint64_t n = 0;
            if (!parse_u64(ms, n) || n > 3600000) {
                error = "--slow: expected HEADER=MS with MS up to 3600000";
                return std::nullopt;
            }
            o.instrument.slow_ms[normalise_header(header)] = static_cast<std::uint32_t>(n);
        } else if (name == "--drop-in-block") {
            const auto n = number(1ull << 31);
            if (!n) return std::nullopt;
            o.server.drop_in_block = *n;
        } else if (name == "--hold-lock-ms") {
            const auto n = number(24ull * 3600 * 1000);
            if (!n) return std::nullopt;
            o.hold_lock = true;
            o.hold_lock_time = std::chrono::milliseconds(*n);
        } else {
            error = "unknown option '" + args[i] + "' (see --help)";
            return std::nullopt;
        }
        if (!error.empty()) return std::nullopt;
    }
    if (o.help) return o;
    if (!have_address) {
        error = "--address 127.0.0.N is required";
        return std::nullopt;
    }
    o.instrument.idn = idn.empty() ? identity_for_model(model, serial, firmware) : idn + "\n";
    o.server.max_record = static_cast<std::size_t>(o.max_recv_size) + 4096;
    return o;
}

}  // namespace sim
