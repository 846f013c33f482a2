// What a run says before it upgrades over a resource that cannot be locked.
#pragma once

#include <string>

namespace workflow {

// For a raw SOCKET resource: a warning that such an instrument cannot be
// locked against other machines (a raw socket has no lock of its own: only
// this machine's processes are kept out), naming the VXI-11 and HiSLIP
// resources of the same host to prefer. Empty for every other resource.
std::string UnlockableResourceWarning(const std::string& resource);

}  // namespace workflow
