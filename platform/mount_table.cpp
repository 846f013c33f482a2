#include "mount_table.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <charconv>

namespace platform {

namespace {

// Not "autofs": systemd's automounted shares sit on it until first use, and
// they are drives like any other (see drive_type_of).
constexpr std::array pseudo_types = {
    "binfmt_misc", "bpf",      "cgroup",   "cgroup2",         "configfs",   "debugfs",
    "devpts",      "devtmpfs", "efivarfs", "fusectl",         "hugetlbfs",  "mqueue",
    "nfsd",        "nsfs",     "proc",     "pstore",          "rpc_pipefs", "securityfs",
    "selinuxfs",   "sysfs",    "tracefs",  "fuse.gvfsd-fuse", "fuse.portal"};

constexpr std::array network_types = {"nfs",       "nfs4",      "cifs",           "smb3",
                                      "smbfs",     "sshfs",     "fuse.sshfs",     "ceph",
                                      "fuse.ceph", "glusterfs", "fuse.glusterfs", "9p"};

template <size_t N>
bool contains(const std::array<const char*, N>& list, std::string_view value) {
    return std::any_of(list.begin(), list.end(),
                       [value](const char* item) { return value == item; });
}

std::vector<std::string_view> split_fields(std::string_view line) {
    std::vector<std::string_view> fields;
    size_t pos = 0;
    while (pos < line.size()) {
        while (pos < line.size() && line[pos] == ' ')
            ++pos;
        if (pos >= line.size()) break;
        const size_t end = std::min(line.find(' ', pos), line.size());
        fields.push_back(line.substr(pos, end - pos));
        pos = end;
    }
    return fields;
}

bool parse_device(std::string_view text, unsigned& major, unsigned& minor) {
    const size_t colon = text.find(':');
    if (colon == std::string_view::npos) return false;
    const char* begin = text.data();
    const char* middle = begin + colon;
    const char* end = begin + text.size();
    auto [p1, e1] = std::from_chars(begin, middle, major);
    auto [p2, e2] = std::from_chars(middle + 1, end, minor);
    return e1 == std::errc() && p1 == middle && e2 == std::errc() && p2 == end;
}

// True when `path` lies below `base`, comparing whole components. A path is
// not below itself: a file system mounted over another at the same point is
// what the path reaches.
bool is_under(std::string_view path, std::string_view base) {
    if (base == "/") return path != "/";
    if (path.size() <= base.size() || path.substr(0, base.size()) != base) return false;
    return path[base.size()] == '/';
}

bool equal_ignoring_case(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

std::string_view trim_separators(std::string_view text) {
    while (!text.empty() && text.front() == '/')
        text.remove_prefix(1);
    while (!text.empty() && text.back() == '/')
        text.remove_suffix(1);
    return text;
}

}  // namespace

std::string unescape_mount_field(std::string_view field) {
    const auto octal = [](char c) { return c >= '0' && c <= '7'; };
    std::string out;
    out.reserve(field.size());
    for (size_t i = 0; i < field.size(); ++i) {
        if (field[i] == '\\' && field.size() - i > 3 && octal(field[i + 1]) &&
            octal(field[i + 2]) && octal(field[i + 3])) {
            const int value =
                (field[i + 1] - '0') * 64 + (field[i + 2] - '0') * 8 + (field[i + 3] - '0');
            if (value <= 0xFF) {
                out.push_back(static_cast<char>(value));
                i += 3;
                continue;
            }
        }
        out.push_back(field[i]);
    }
    return out;
}

std::vector<MountEntry> parse_mountinfo(std::string_view text, int* bad_lines) {
    std::vector<MountEntry> entries;
    int bad = 0;
    size_t pos = 0;
    while (pos < text.size()) {
        const size_t end = std::min(text.find('\n', pos), text.size());
        const std::string_view line = text.substr(pos, end - pos);
        pos = end + 1;
        if (line.find_first_not_of(" \t\r") == std::string_view::npos) continue;

        // id parent major:minor root mount-point options [optional...] - type source super
        const std::vector<std::string_view> fields = split_fields(line);
        const auto dash = std::find(fields.begin(), fields.end(), std::string_view("-"));
        MountEntry entry;
        if (fields.size() < 6 || dash == fields.end() || dash - fields.begin() < 6 ||
            fields.end() - dash < 3 || !parse_device(fields[2], entry.major, entry.minor) ||
            fields[4].empty() || fields[4].front() != '/') {
            ++bad;
            continue;
        }
        entry.mount_point = unescape_mount_field(fields[4]);
        entry.fs_type = unescape_mount_field(dash[1]);
        entry.source = unescape_mount_field(dash[2]);
        entries.push_back(std::move(entry));
    }
    if (bad_lines) *bad_lines = bad;
    return entries;
}

bool is_pseudo_file_system(std::string_view fs_type) {
    return contains(pseudo_types, fs_type);
}

bool is_network_file_system(std::string_view fs_type) {
    return contains(network_types, fs_type);
}

DriveType drive_type_of(std::string_view fs_type, bool removable_device) {
    if (is_pseudo_file_system(fs_type)) return DriveType::no_root_dir;
    // An automount point is usually a network share waiting for its first
    // use; typed remote, it is never probed, so listing drives cannot wake
    // (and wait on) a share whose server is gone.
    if (is_network_file_system(fs_type) || fs_type == "autofs") return DriveType::remote;
    if (fs_type == "iso9660" || fs_type == "udf") return DriveType::optical;
    if (fs_type == "tmpfs" || fs_type == "ramfs") return DriveType::ram;
    return removable_device ? DriveType::removable : DriveType::fixed;
}

std::vector<Drive> drives_from_mounts(const std::vector<MountEntry>& mounts,
                                      const MountProbe& removable, const MountProbe& is_folder) {
    std::vector<std::string> pseudo_points;
    for (const MountEntry& m : mounts) {
        if (is_pseudo_file_system(m.fs_type) && m.mount_point != "/")
            pseudo_points.push_back(m.mount_point);
    }
    std::vector<Drive> drives;
    for (const MountEntry& m : mounts) {
        if (is_pseudo_file_system(m.fs_type) && m.mount_point != "/") continue;
        const bool internal =
            std::any_of(pseudo_points.begin(), pseudo_points.end(),
                        [&m](const std::string& base) { return is_under(m.mount_point, base); });
        if (internal) continue;
        DriveType type = drive_type_of(m.fs_type, false);
        if (type != DriveType::remote && m.mount_point != "/" && is_folder && !is_folder(m))
            continue;
        if (type == DriveType::fixed && removable && removable(m)) type = DriveType::removable;
        if (type == DriveType::no_root_dir) type = DriveType::fixed;  // a pseudo root
        Drive drive{m.mount_point, type, m.fs_type, m.source};
        auto same = std::find_if(drives.begin(), drives.end(),
                                 [&m](const Drive& d) { return d.mount_point == m.mount_point; });
        if (same != drives.end())
            *same = std::move(drive);  // mounted over: the later one is what a path reaches
        else
            drives.push_back(std::move(drive));
    }
    const bool has_root = std::any_of(drives.begin(), drives.end(),
                                      [](const Drive& d) { return d.mount_point == "/"; });
    if (!has_root) drives.insert(drives.begin(), Drive{"/", DriveType::fixed, {}, {}});
    return drives;
}

std::optional<NetworkShare> split_network_source(std::string_view fs_type,
                                                 std::string_view source) {
    if (!is_network_file_system(fs_type)) return std::nullopt;
    NetworkShare share;
    if (source.substr(0, 2) == "//" || source.substr(0, 2) == "\\\\") {
        // SMB: //server/share[/path]
        std::string_view rest = source.substr(2);
        const size_t slash = rest.find_first_of("/\\");
        share.server = std::string(rest.substr(0, slash));
        if (slash != std::string_view::npos) share.share = trim_separators(rest.substr(slash + 1));
    } else {
        // NFS and sshfs: [user@]server:path, the server possibly in brackets.
        std::string_view rest = source;
        size_t colon;
        if (!rest.empty() && rest.front() == '[') {
            const size_t close = rest.find(']');
            if (close == std::string_view::npos) return std::nullopt;
            colon = rest.find(':', close);
        } else {
            colon = rest.find(':');
        }
        if (colon == std::string_view::npos) return std::nullopt;
        std::string_view server = rest.substr(0, colon);
        const size_t at = server.rfind('@');
        if (at != std::string_view::npos) server.remove_prefix(at + 1);
        share.server = std::string(server);
        share.share = trim_separators(rest.substr(colon + 1));
        if (share.share.empty()) share.share = rest.substr(colon + 1).empty() ? "~" : "";
    }
    if (share.server.empty()) return std::nullopt;
    return share;
}

std::vector<NetResource> network_places(const std::vector<MountEntry>& mounts,
                                        const NetResource* container) {
    std::vector<NetResource> out;
    std::string wanted;
    if (container) {
        if (container->display_type != display_type_server || !container->remote_name) return out;
        wanted = trim_separators(*container->remote_name);
    }
    for (const MountEntry& m : mounts) {
        const std::optional<NetworkShare> share = split_network_source(m.fs_type, m.source);
        if (!share) continue;
        if (!container) {
            const bool known = std::any_of(out.begin(), out.end(), [&share](const NetResource& r) {
                return equal_ignoring_case(trim_separators(*r.remote_name), share->server);
            });
            if (known) continue;
            NetResource server;
            server.scope = resource_scope_globalnet;
            server.type = resource_type_disk;
            server.display_type = display_type_server;
            server.usage = resource_usage_container;
            server.remote_name = "//" + share->server;
            out.push_back(std::move(server));
        } else if (equal_ignoring_case(share->server, wanted)) {
            NetResource entry;
            entry.scope = resource_scope_globalnet;
            entry.type = resource_type_disk;
            entry.display_type = display_type_share;
            entry.usage = resource_usage_connectable;
            entry.local_name = m.mount_point;
            entry.remote_name = "//" + share->server + "/" + share->share;
            entry.provider = m.fs_type;
            out.push_back(std::move(entry));
        }
    }
    return out;
}

}  // namespace platform
