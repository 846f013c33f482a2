#pragma once

#include <string>

namespace visa {

struct RsrcName;

// The name under which locks know an instrument: every resource string that
// reaches the same instrument from this machine gives the same key, so two
// names can never both hold it exclusively.
//
// Deliberately coarse, as sharing a lock costs at worst a wait while missing
// one mixes two uploads:
// - LAN (VXI-11, HiSLIP, raw socket): the host's IPv4 address, whatever the
//   board number, the spelling of the host, the device name or the port. A
//   VXI-11 device name other than "instN" (a LAN/GPIB gateway's "gpib0,5")
//   reaches an instrument behind the host and is part of the key. A
//   host that does not resolve is keyed by its lower-cased name. Loopback
//   addresses are per network namespace, so for them the namespace is part
//   of the key.
// - USB: vendor, product and serial number (case ignored), whatever the board.
// - Serial: the port.
std::string instrument_key(const RsrcName& name);

}  // namespace visa
