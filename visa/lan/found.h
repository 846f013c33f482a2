#pragma once

#include <string>

namespace visa::lan {

// One instrument that answered a LAN search.
struct Found {
    std::string resource;  // canonical resource string
    std::string address;   // dotted IPv4 address it answered from
    std::string how;       // how it was found, for people ("VXI-11 broadcast")
};

}  // namespace visa::lan
