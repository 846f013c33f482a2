// The machine's mounted file systems as data: the mount-table parser, the
// rules that turn mounts into typed drives, and the network places that the
// network mounts among them make.
//
// Everything here works on the text of /proc/self/mountinfo and touches no
// file system, so a test can describe any machine, and so opening the picker
// never waits on a network server that has stopped answering.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

// Numbered as the picker's image strip expects them (one image per type).
enum class DriveType : int {
    unknown = 0,
    no_root_dir = 1,
    removable = 2,
    fixed = 3,
    remote = 4,
    optical = 5,
    ram = 6,
};

// One line of mountinfo, with the escapes of its path fields undone.
struct MountEntry {
    std::string mount_point;
    std::string fs_type;  // with its subtype, as "fuse.sshfs"
    std::string source;   // "/dev/sdb1", "srv:/export", "//srv/Data", "tmpfs"
    unsigned major = 0;   // the file system's device number
    unsigned minor = 0;
};

// Parses the text of /proc/<pid>/mountinfo (proc(5)). A line without the
// documented shape is skipped and counted in `bad_lines` when given; the
// kernel escapes blanks, tabs, newlines and backslashes in paths as \040,
// \011, \012 and \134, and those are undone.
std::vector<MountEntry> parse_mountinfo(std::string_view text, int* bad_lines = nullptr);

// Undoes the kernel's octal escapes (a backslash and three octal digits);
// anything else is kept as it is.
std::string unescape_mount_field(std::string_view field);

// Kernel and system file systems that hold no user folders (proc, sysfs,
// cgroup, devtmpfs, ...).
bool is_pseudo_file_system(std::string_view fs_type);
// File systems served by another machine: nfs, nfs4, cifs, smb3, smbfs, sshfs.
bool is_network_file_system(std::string_view fs_type);
// The drive type of a file system; `removable_device` is what the block
// device says of itself and only matters for disk file systems.
DriveType drive_type_of(std::string_view fs_type, bool removable_device);

struct Drive {
    std::string mount_point;
    DriveType type = DriveType::unknown;
    std::string fs_type;
    std::string source;
};

// The drives of a mount table, in table order: the root "/" and every real
// file system. Pseudo file systems are left out, and so is anything mounted
// below one (/dev/shm, /sys/fs/cgroup/...), which is the system's, not the
// user's. A mount point mounted twice shows the file system on top. The root
// is always there, as a fixed drive when the table lacks it. `removable` is
// asked only for disk file systems (never for remote, RAM or pseudo ones).
// `is_folder`, when given, is asked for every file system that is not a
// network one: a mount on a file (a container's /etc/hosts) is no drive.
using MountProbe = std::function<bool(const MountEntry&)>;
std::vector<Drive> drives_from_mounts(const std::vector<MountEntry>& mounts,
                                      const MountProbe& removable,
                                      const MountProbe& is_folder = nullptr);

// Server and share of a network mount's source: "srv:/export/data" (NFS),
// "//srv/Data" (SMB), "user@srv:/home/user" or "srv:" (sshfs). For IPv6
// "[2001:db8::1]:/export" the server keeps its brackets. No value when the
// source names no server.
struct NetworkShare {
    std::string server;
    std::string share;  // without leading separators; "~" for an sshfs home
};
std::optional<NetworkShare> split_network_source(std::string_view fs_type, std::string_view source);

// A network place, as the network listing returns it: the shape of a
// network-resource entry, with text fields that may be absent.
inline constexpr uint32_t resource_scope_connected = 1;
inline constexpr uint32_t resource_scope_globalnet = 2;
inline constexpr uint32_t resource_scope_context = 5;
inline constexpr uint32_t resource_type_disk = 1;
inline constexpr uint32_t display_type_generic = 0;
inline constexpr uint32_t display_type_domain = 1;
inline constexpr uint32_t display_type_server = 2;
inline constexpr uint32_t display_type_share = 3;
inline constexpr uint32_t resource_usage_connectable = 1;
inline constexpr uint32_t resource_usage_container = 2;

struct NetResource {
    uint32_t scope = 0;
    uint32_t type = 0;
    uint32_t display_type = 0;
    uint32_t usage = 0;
    std::optional<std::string> local_name;   // a share's mount point
    std::optional<std::string> remote_name;  // "//srv" or "//srv/Data"
    std::optional<std::string> comment;
    std::optional<std::string> provider;  // the file system type
};

// The network places of a mount table. Without a container: one server
// entry per server that has a network mount here (servers compared without
// regard to case, spelled as first met), remote name "//" + server. With a
// server entry as the container: one share entry per network mount of that
// server, remote name "//server/share", local name the mount point. Any
// other container has no entries.
std::vector<NetResource> network_places(const std::vector<MountEntry>& mounts,
                                        const NetResource* container);

}  // namespace platform
