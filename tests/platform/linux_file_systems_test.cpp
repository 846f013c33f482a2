#include "linux_file_systems.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

using namespace platform;
namespace fs = std::filesystem;

namespace {

class TempDir {
public:
    TempDir() {
        std::string pattern = (fs::temp_directory_path() / "platform-test-XXXXXX").string();
        path_ = ::mkdtemp(pattern.data()) ? pattern : std::string();
    }
    ~TempDir() {
        std::error_code ignored;
        if (!path_.empty()) fs::remove_all(path_, ignored);
    }
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

void write_file(const fs::path& path, const std::string& text) {
    fs::create_directories(path.parent_path());
    std::ofstream(path) << text;
}

std::vector<std::string> sorted(std::vector<std::string> names) {
    std::sort(names.begin(), names.end());
    return names;
}

}  // namespace

TEST(FolderListing, FoldersOnlyHiddenIncludedLinksFollowed) {
    TempDir dir;
    ASSERT_FALSE(dir.path().empty());
    const fs::path root = dir.path();
    fs::create_directories(root / "Release");
    fs::create_directories(root / ".hidden");
    fs::create_directories(root / "with blank");
    write_file(root / "notes.txt", "x");
    fs::create_directory_symlink(root / "Release", root / "link-to-folder");
    fs::create_symlink(root / "notes.txt", root / "link-to-file");
    fs::create_directory_symlink(root / "gone", root / "dangling");

    std::vector<std::string> names{"stale"};
    const Status status = list_folder_names(dir.path() + "/", names);
    EXPECT_TRUE(status.ok()) << status.message;
    EXPECT_EQ(sorted(names),
              (std::vector<std::string>{".hidden", "Release", "link-to-folder", "with blank"}));
}

TEST(FolderListing, FailuresNameThePathAndLeaveNothing) {
    TempDir dir;
    write_file(fs::path(dir.path()) / "file", "x");
    std::vector<std::string> names{"stale"};

    Status status = list_folder_names(dir.path() + "/missing", names);
    EXPECT_EQ(status.error, ENOENT);
    EXPECT_NE(status.message.find(dir.path() + "/missing"), std::string::npos) << status.message;
    EXPECT_TRUE(names.empty());

    status = list_folder_names(dir.path() + "/file", names);
    EXPECT_EQ(status.error, ENOTDIR);
    EXPECT_FALSE(list_folder_names("", names).ok());

    // An empty folder is no failure.
    fs::create_directories(fs::path(dir.path()) / "empty");
    status = list_folder_names(dir.path() + "/empty", names);
    EXPECT_TRUE(status.ok());
    EXPECT_TRUE(names.empty());
}

TEST(LinuxMachine, DrivesFromItsMountTableAndRemovableFromSysfs) {
    TempDir dir;
    const fs::path root = dir.path();
    // sysfs as the kernel lays it out: /sys/dev/block/MAJ:MIN links to the
    // device; a partition's removable flag is its disk's.
    fs::create_directories(root / "sys/block/sdb/sdb1");
    write_file(root / "sys/block/sdb/removable", "1\n");
    write_file(root / "sys/block/sdb/sdb1/partition", "1\n");
    fs::create_directories(root / "sys/block/sda");
    write_file(root / "sys/block/sda/removable", "0\n");
    fs::create_directories(root / "sys/dev/block");
    fs::create_directory_symlink("../../block/sdb/sdb1", root / "sys/dev/block/8:17");
    fs::create_directory_symlink("../../block/sda", root / "sys/dev/block/8:0");
    // Mount points must exist to be drives; the network one is never looked at.
    const std::string stick = (root / "stick").string();
    const std::string unknown = (root / "unknown").string();
    fs::create_directories(stick);
    fs::create_directories(unknown);
    write_file(root / "mountinfo",
               "1 0 8:0 / / rw - ext4 /dev/sda rw\n"
               "2 1 8:17 / " +
                   stick +
                   " rw - vfat /dev/sdb1 rw\n"
                   "3 1 8:99 / " +
                   unknown +
                   " rw - ext4 /dev/sdz rw\n"
                   "4 1 0:40 / /nonexistent/nas rw - nfs fs1:/export rw\n"
                   "5 1 8:0 /x " +
                   (root / "mountinfo").string() + " rw - ext4 /dev/sda rw\n");

    LinuxFileSystems machine((root / "mountinfo").string(), (root / "sys").string());
    const auto drives = machine.drives();
    ASSERT_EQ(drives.size(), 4u);
    EXPECT_EQ(drives[0].type, DriveType::fixed);
    EXPECT_EQ(drives[1].type, DriveType::removable);
    EXPECT_EQ(drives[2].type, DriveType::fixed);  // no sysfs entry: fixed
    EXPECT_EQ(drives[3].type, DriveType::remote);
    EXPECT_EQ(drives[3].mount_point, "/nonexistent/nas");  // and the file is no drive
    const auto servers = machine.network_entries(nullptr);
    ASSERT_EQ(servers.size(), 1u);
    EXPECT_EQ(servers[0].remote_name, "//fs1");
    EXPECT_EQ(machine.network_entries(&servers[0]).at(0).local_name, "/nonexistent/nas");
}

TEST(LinuxMachine, LocalFoldersRespondAndMissingOnesDoNot) {
    TempDir dir;
    LinuxFileSystems machine;
    EXPECT_TRUE(machine.responds(dir.path(), std::chrono::seconds(5)));
    EXPECT_FALSE(machine.responds(dir.path() + "/missing", std::chrono::seconds(5)));
}

TEST(LinuxMachine, ThisMachineHasARootDrive) {
    const auto drives = local_file_systems().drives();
    ASSERT_FALSE(drives.empty());
    EXPECT_TRUE(std::any_of(drives.begin(), drives.end(),
                            [](const Drive& d) { return d.mount_point == "/"; }));
    // A missing table still gives the root.
    LinuxFileSystems nowhere("/nonexistent/mountinfo");
    EXPECT_EQ(nowhere.drives().size(), 1u);
}
