// /proc/self/mountinfo is the kernel's, but its path fields hold whatever
// names users mount things under (a FUSE mount can be named by anyone). The
// drives always include the root, and every network place names a server.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>
#include <vector>

#include "platform/mount_table.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    int bad = 0;
    const std::vector<platform::MountEntry> mounts = platform::parse_mountinfo(text, &bad);
    if (bad < 0) std::abort();
    const auto probe = [](const platform::MountEntry& m) { return m.minor % 2 == 0; };
    const std::vector<platform::Drive> drives = platform::drives_from_mounts(mounts, probe, probe);
    bool root = false;
    for (const platform::Drive& d : drives)
        root = root || d.mount_point == "/";
    if (!root) std::abort();
    for (const platform::MountEntry& m : mounts) {
        if (const auto share = platform::split_network_source(m.fs_type, m.source))
            if (share->server.empty()) std::abort();
    }
    for (const platform::NetResource& server : platform::network_places(mounts, nullptr)) {
        if (!server.remote_name || server.remote_name->size() <= 2) std::abort();
        (void)platform::network_places(mounts, &server);
    }
    return 0;
}
