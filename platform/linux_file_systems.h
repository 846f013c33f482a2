// The FileSystems of a Linux machine: /proc/self/mountinfo for drives and
// network places, sysfs for removable block devices, readdir for folders.
#pragma once

#include <string>
#include <vector>

#include "file_systems.h"

namespace platform {

class LinuxFileSystems : public FileSystems {
public:
    // `mountinfo_path` lets a test point the implementation at another table.
    explicit LinuxFileSystems(std::string mountinfo_path = "/proc/self/mountinfo",
                              std::string sysfs_root = "/sys");

    std::vector<Drive> drives() override;
    std::vector<NetResource> network_entries(const NetResource* container) override;
    Status list_folders(const std::string& path, std::vector<std::string>& names) override;
    bool responds(const std::string& path, std::chrono::milliseconds limit) override;

private:
    std::vector<MountEntry> read_mounts() const;
    bool is_removable(const MountEntry& mount) const;

    std::string mountinfo_path_;
    std::string sysfs_root_;
};

// Reads the folder names of `path` as the interface describes.
Status list_folder_names(const std::string& path, std::vector<std::string>& names);

}  // namespace platform
