#include "mount_table.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

using namespace platform;

namespace {

// A desktop with a USB stick, a CD, three network mounts and the usual
// kernel file systems, in the kernel's own format.
const char* const kDesktop =
    "22 1 259:2 / / rw,relatime shared:1 - ext4 /dev/nvme0n1p2 rw\n"
    "23 22 0:21 / /proc rw,nosuid shared:12 - proc proc rw\n"
    "24 22 0:22 / /sys rw shared:2 - sysfs sysfs rw\n"
    "25 22 0:5 / /dev rw shared:3 - devtmpfs udev rw,size=8k\n"
    "26 25 0:23 / /dev/shm rw shared:4 - tmpfs tmpfs rw\n"
    "27 24 0:24 / /sys/fs/cgroup rw - cgroup2 cgroup2 rw\n"
    "28 22 0:25 / /run rw,nosuid shared:5 master:1 - tmpfs tmpfs rw\n"
    "29 22 259:1 / /boot/efi rw shared:6 - vfat /dev/nvme0n1p1 rw\n"
    "30 22 8:17 / /media/user/USB\\040STICK rw,nosuid shared:7 - vfat /dev/sdb1 rw\n"
    "31 22 11:0 / /media/user/CDROM ro shared:8 - iso9660 /dev/sr0 ro\n"
    "32 22 0:40 / /mnt/nas rw shared:9 - nfs4 fs1.example.net:/export/releases rw\n"
    "33 22 0:41 / /mnt/share rw - cifs //FS1.example.net/Firmware rw\n"
    "34 22 0:42 / /home/user/remote rw - fuse.sshfs builder@build7:/srv/out rw\n"
    "35 22 0:43 / /mnt/ram rw - ramfs ramfs rw\n"
    "36 23 0:44 / /proc/sys/fs/binfmt_misc rw - binfmt_misc binfmt_misc rw\n"
    "37 22 0:45 / /mnt/old rw - nfs [2001:db8::7]:/data rw\n";

std::vector<std::pair<std::string, DriveType>> Summary(const std::vector<Drive>& drives) {
    std::vector<std::pair<std::string, DriveType>> out;
    for (const Drive& d : drives)
        out.emplace_back(d.mount_point, d.type);
    return out;
}

}  // namespace

TEST(MountTable, ParsesFieldsAroundOptionalTags) {
    int bad = -1;
    const std::vector<MountEntry> mounts = parse_mountinfo(kDesktop, &bad);
    EXPECT_EQ(bad, 0);
    ASSERT_EQ(mounts.size(), 16u);
    EXPECT_EQ(mounts[0].mount_point, "/");
    EXPECT_EQ(mounts[0].fs_type, "ext4");
    EXPECT_EQ(mounts[0].source, "/dev/nvme0n1p2");
    EXPECT_EQ(mounts[0].major, 259u);
    EXPECT_EQ(mounts[0].minor, 2u);
    EXPECT_EQ(mounts[6].mount_point, "/run");  // two optional tags
    EXPECT_EQ(mounts[6].fs_type, "tmpfs");
    EXPECT_EQ(mounts[12].fs_type, "fuse.sshfs");
}

TEST(MountTable, UndoesTheKernelsEscapes) {
    const auto mounts = parse_mountinfo(
        "1 0 8:1 / /media/a\\040b\\011c\\012d\\134e rw - vfat /dev/my\\040disk rw\n");
    ASSERT_EQ(mounts.size(), 1u);
    EXPECT_EQ(mounts[0].mount_point, "/media/a b\tc\nd\\e");
    EXPECT_EQ(mounts[0].source, "/dev/my disk");
    // Not an escape: kept as written.
    EXPECT_EQ(unescape_mount_field("a\\9zz\\04"), "a\\9zz\\04");
    EXPECT_EQ(unescape_mount_field("\\777"), "\\777");
}

TEST(MountTable, SkipsAndCountsMalformedLines) {
    int bad = 0;
    const auto mounts = parse_mountinfo(
        "garbage\n"
        "1 0 8:1 / / rw ext4 /dev/sda1 rw\n"          // no separator
        "1 0 x:1 / / rw - ext4 /dev/sda1 rw\n"        // device not numeric
        "1 0 8:1 / relative rw - ext4 /dev/sda rw\n"  // mount point not absolute
        "1 0 8:1 / /ok rw - ext4\n"                   // no source
        "\n"
        "2 1 8:2 / /fine rw - ext4 /dev/sda2 rw",  // last line without newline
        &bad);
    EXPECT_EQ(bad, 5);
    ASSERT_EQ(mounts.size(), 1u);
    EXPECT_EQ(mounts[0].mount_point, "/fine");
}

TEST(DriveTypes, FollowTheFileSystem) {
    struct Case {
        const char* fs;
        bool removable;
        DriveType type;
    } cases[] = {
        {"ext4", false, DriveType::fixed},       {"ext4", true, DriveType::removable},
        {"vfat", true, DriveType::removable},    {"nfs", false, DriveType::remote},
        {"nfs4", true, DriveType::remote},       {"cifs", false, DriveType::remote},
        {"smb3", false, DriveType::remote},      {"fuse.sshfs", false, DriveType::remote},
        {"iso9660", true, DriveType::optical},   {"udf", false, DriveType::optical},
        {"tmpfs", false, DriveType::ram},        {"ramfs", false, DriveType::ram},
        {"proc", false, DriveType::no_root_dir}, {"cgroup2", false, DriveType::no_root_dir},
        {"autofs", false, DriveType::remote},    {"ceph", false, DriveType::remote},
        {"glusterfs", false, DriveType::remote}, {"fuse.glusterfs", false, DriveType::remote},
        {"9p", false, DriveType::remote},
    };
    for (const Case& c : cases)
        EXPECT_EQ(drive_type_of(c.fs, c.removable), c.type) << c.fs << " " << c.removable;
}

TEST(Drives, RealFileSystemsOnlyTypedAndInTableOrder) {
    const auto mounts = parse_mountinfo(kDesktop);
    std::vector<std::string> asked;
    const auto drives = drives_from_mounts(mounts, [&asked](const MountEntry& m) {
        asked.push_back(m.mount_point);
        return m.major == 8 && m.minor == 17;
    });
    const std::vector<std::pair<std::string, DriveType>> expected = {
        {"/", DriveType::fixed},
        {"/run", DriveType::ram},
        {"/boot/efi", DriveType::fixed},
        {"/media/user/USB STICK", DriveType::removable},
        {"/media/user/CDROM", DriveType::optical},
        {"/mnt/nas", DriveType::remote},
        {"/mnt/share", DriveType::remote},
        {"/home/user/remote", DriveType::remote},
        {"/mnt/ram", DriveType::ram},
        {"/mnt/old", DriveType::remote},
    };
    EXPECT_EQ(Summary(drives), expected);
    // Block devices are asked about disk file systems only, never about a
    // network mount.
    EXPECT_EQ(asked, (std::vector<std::string>{"/", "/boot/efi", "/media/user/USB STICK"}));
}

TEST(Drives, RootAlwaysPresentAndOverMountsShowTheTopOne) {
    const auto drives =
        drives_from_mounts(parse_mountinfo("5 1 0:50 / /data rw - ext4 /dev/sdc1 rw\n"
                                           "6 1 0:51 / /data rw - tmpfs tmpfs rw\n"
                                           "7 1 0:52 / /proc rw - proc proc rw\n"),
                           nullptr);
    const std::vector<std::pair<std::string, DriveType>> expected = {{"/", DriveType::fixed},
                                                                     {"/data", DriveType::ram}};
    EXPECT_EQ(Summary(drives), expected);
    // A prefix by text alone is not "below": /devices is not under /dev.
    const auto more = drives_from_mounts(parse_mountinfo("1 0 0:5 / /dev rw - devtmpfs udev rw\n"
                                                         "2 0 8:1 / /devices rw - ext4 /dev/a rw\n"
                                                         "3 0 8:1 / / rw - ext4 /dev/b rw\n"),
                                         nullptr);
    const std::vector<std::pair<std::string, DriveType>> expectedMore = {
        {"/devices", DriveType::fixed}, {"/", DriveType::fixed}};
    EXPECT_EQ(Summary(more), expectedMore);
}

TEST(Drives, AutomountedSharesAreDrivesAndAMountOverThemIsNotHidden) {
    // systemd's automount point, then the share mounted on it at first use.
    const auto drives =
        drives_from_mounts(parse_mountinfo("1 0 8:1 / / rw - ext4 /dev/sda1 rw\n"
                                           "2 1 0:60 / /mnt/fw rw - autofs systemd-1 rw,fd=44\n"
                                           "3 1 0:61 / /mnt/lab rw - autofs systemd-1 rw,fd=45\n"
                                           "4 2 0:62 / /mnt/fw rw - cifs //fs1/firmware rw\n"
                                           "5 1 0:63 / /mnt/vm rw - 9p hostshare rw\n"),
                           nullptr, [](const MountEntry&) { return true; });
    const std::vector<std::pair<std::string, DriveType>> expected = {
        {"/", DriveType::fixed},
        {"/mnt/fw", DriveType::remote},
        {"/mnt/lab", DriveType::remote},
        {"/mnt/vm", DriveType::remote}};
    EXPECT_EQ(Summary(drives), expected);
    EXPECT_EQ(drives[1].fs_type, "cifs");
}

TEST(Drives, MountsOnFilesAreNoDrivesAndNetworkMountsAreNeverProbed) {
    const auto mounts = parse_mountinfo(
        "1 0 8:1 / / rw - ext4 /dev/sda1 rw\n"
        "2 1 8:1 /containers/x/hosts /etc/hosts rw - ext4 /dev/sda1 rw\n"
        "3 1 0:40 / /mnt/nas rw - nfs fs1:/export rw\n"
        "4 1 0:41 / /run rw - tmpfs tmpfs rw\n");
    std::vector<std::string> probed;
    const auto drives = drives_from_mounts(mounts, nullptr, [&probed](const MountEntry& m) {
        probed.push_back(m.mount_point);
        return m.mount_point != "/etc/hosts";
    });
    const std::vector<std::pair<std::string, DriveType>> expected = {
        {"/", DriveType::fixed}, {"/mnt/nas", DriveType::remote}, {"/run", DriveType::ram}};
    EXPECT_EQ(Summary(drives), expected);
    EXPECT_EQ(probed, (std::vector<std::string>{"/etc/hosts", "/run"}));
}

TEST(NetworkSources, SplitIntoServerAndShare) {
    struct Case {
        const char* fs;
        const char* source;
        const char* server;  // null: no value
        const char* share;
    } cases[] = {
        {"nfs", "fs1:/export/data", "fs1", "export/data"},
        {"nfs4", "fs1:/", "fs1", ""},
        {"nfs", "[2001:db8::7]:/data", "[2001:db8::7]", "data"},
        {"cifs", "//SRV/Data", "SRV", "Data"},
        {"smb3", "//srv/Data/sub/", "srv", "Data/sub"},
        {"cifs", "\\\\srv\\Data", "srv", "Data"},
        {"fuse.sshfs", "builder@build7:/srv/out", "build7", "srv/out"},
        {"fuse.sshfs", "build7:", "build7", "~"},
        {"nfs", "no-colon", nullptr, nullptr},
        {"nfs", ":/export", nullptr, nullptr},
        {"nfs", "[2001:db8::7:/x", nullptr, nullptr},
        {"ext4", "/dev/sda1", nullptr, nullptr},
    };
    for (const Case& c : cases) {
        const auto share = split_network_source(c.fs, c.source);
        if (!c.server) {
            EXPECT_FALSE(share) << c.source;
            continue;
        }
        ASSERT_TRUE(share) << c.source;
        EXPECT_EQ(share->server, c.server) << c.source;
        EXPECT_EQ(share->share, c.share) << c.source;
    }
}

TEST(NetworkPlaces, GroupedByServerWithSharesLeadingToMountPoints) {
    const auto mounts = parse_mountinfo(kDesktop);
    const auto servers = network_places(mounts, nullptr);
    ASSERT_EQ(servers.size(), 3u);
    // Server names compare without regard to case: fs1 and FS1 are one.
    EXPECT_EQ(servers[0].remote_name, "//fs1.example.net");
    EXPECT_EQ(servers[1].remote_name, "//build7");
    EXPECT_EQ(servers[2].remote_name, "//[2001:db8::7]");
    for (const NetResource& s : servers) {
        EXPECT_EQ(s.display_type, display_type_server);
        EXPECT_EQ(s.usage, resource_usage_container);
        EXPECT_FALSE(s.local_name);
    }

    NetResource server = servers[0];
    server.remote_name = "//FS1.EXAMPLE.NET";
    const auto shares = network_places(mounts, &server);
    ASSERT_EQ(shares.size(), 2u);
    EXPECT_EQ(shares[0].display_type, display_type_share);
    EXPECT_EQ(shares[0].remote_name, "//fs1.example.net/export/releases");
    EXPECT_EQ(shares[0].local_name, "/mnt/nas");
    EXPECT_EQ(shares[0].provider, "nfs4");
    EXPECT_EQ(shares[1].remote_name, "//FS1.example.net/Firmware");
    EXPECT_EQ(shares[1].local_name, "/mnt/share");

    // A share is no container, and an unknown server has nothing.
    EXPECT_TRUE(network_places(mounts, &shares[0]).empty());
    NetResource unknown = server;
    unknown.remote_name = "//elsewhere";
    EXPECT_TRUE(network_places(mounts, &unknown).empty());
    EXPECT_TRUE(
        network_places(parse_mountinfo("1 0 8:1 / / rw - ext4 /dev/a rw\n"), nullptr).empty());
}
