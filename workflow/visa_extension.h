// What the VISA library in use can tell beyond the standard functions, as
// values: why a connection failed, which instrument a resource names, what
// is on the LAN, and its diagnostics. Each is looked up in the library in
// use; a library without them (another VISA implementation) answers
// "not known" and the program goes on without.
#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace workflow {

// The last connection failure the library recorded on this thread (an open,
// or a session whose link broke).
struct ConnectFailure {
    long m_status = 0;    // the VISA status the failed call returned
    std::string m_stage;  // "resolve", "connect", "portmapper", "link", "handshake", "lock", ...
    std::string m_host;   // empty when not on a network
    int m_port = 0;
    int m_errno = 0;
    double m_elapsedS = 0;
    // Lock refusals: who holds the instrument ("user (uid N), pid P") and since when.
    std::string m_holder;
    std::string m_since;
    std::string m_text;  // the library's sentence for it
    // What happened there: "refused", "timed out", "unreachable", "not found",
    // "malformed", "rejected", "held", "lost", or "" when the library does not say.
    std::string m_cause;
};
// Nothing when the library does not say (or recorded nothing since the
// thread's last successful open).
std::optional<ConnectFailure> LastConnectFailure();

// A resource string taken apart, and written the one way the library writes it.
struct ParsedResource {
    std::string m_interface;  // "TCPIP", "USB", ...
    std::string m_protocol;   // "vxi11", "hislip", "socket", "usbtmc", "serial"
    int m_board = 0;
    std::string m_host;        // network resources
    int m_port = 0;            // SOCKET resources
    std::string m_deviceName;  // "inst0", "hislip0"
    std::string m_class;       // "INSTR", "SOCKET"
    std::string m_canonical;
};
// Nothing when the library cannot parse it (or cannot say); `why` then says
// what is wrong when known.
std::optional<ParsedResource> ParseResource(const std::string& resource,
                                            std::string* why = nullptr);
// The key every name of one instrument shares; nothing when not known.
std::optional<std::string> InstrumentKey(const std::string& resource);

// A search of the local networks for instruments, lasting `window`.
struct LanSearch {
    bool m_supported = false;          // false: the library in use cannot search
    std::vector<std::string> m_found;  // resource strings, in the order found
    std::string m_error;               // why the search failed, when it did
    std::vector<std::string> m_how;    // for each of m_found, how it was found
    bool m_noNetwork = false;          // no broadcast-capable interface: nothing was searched
    std::string m_mdnsSkipped;         // why mDNS was not asked; empty when it was
};
// A window of 0 takes the one the library's configuration sets (visa.conf's
// discover_window), so that a search waits as the library's own find does.
LanSearch SearchLan(std::chrono::milliseconds window);

// The library's diagnostics, handed to `sink` instead of being printed.
enum class LogLevel { Error = 0, Warning = 1, Info = 2, Debug = 3 };
using LogSink = std::function<void(LogLevel level, const std::string& line)>;
// Lines at `least` or more severe go to `sink`; nullptr gives them back to
// the library's own default. False when the library cannot hand them over.
bool SetLibraryLog(LogSink sink, LogLevel least = LogLevel::Warning);

// Which VISA implementation the program's calls reach, and who chose it.
struct VisaLibraryInUse {
    bool m_builtin = true;
    bool m_usable = true;
    std::string m_path;    // the library loaded instead of the built-in one
    std::string m_source;  // "FW_VISA_LIBRARY", the configuration file's path, "default"
    std::string m_error;   // why it cannot be used, naming it
};
VisaLibraryInUse LibraryInUse();

}  // namespace workflow
