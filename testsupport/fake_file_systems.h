// A machine described as data, for the picker's and the platform's tests.
//
// The mount table is mountinfo text, read through the real parser and the
// real drive and network rules. Folders are either given as a table
// (path -> folder names) or read from a real folder: with `SetRealRoot`, a
// path missing from the table is listed at real_root + path, so a test can
// build a folder tree in a temporary folder and present it at any path.
// Every call is recorded, so tests can tell what was listed and when.
#pragma once

#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "file_systems.h"

namespace platform {

class FakeFileSystems : public FileSystems {
public:
    void set_mount_table(std::string mountinfo) { mountinfo_ = std::move(mountinfo); }
    // Block devices ("major:minor") that say they are removable.
    void set_removable(std::string device) { removable_.insert(std::move(device)); }
    // A mount point that is a file, not a folder (as bind-mounted files are).
    void set_file_mount(std::string mount_point) { file_mounts_.insert(std::move(mount_point)); }
    // The file system holding paths below `path` does not answer.
    void set_unresponsive(std::string path) { unresponsive_.insert(std::move(path)); }
    // Runs inside every list_folders call, before it answers.
    void set_on_list(std::function<void(const std::string&)> hook) { on_list_ = std::move(hook); }
    // The folders of `path` (no trailing separator except for "/").
    void set_folders(const std::string& path, std::vector<std::string> names);
    // Listing `path` fails with `error` (an errno value).
    void set_failure(const std::string& path, int error);
    // Paths missing from the table are listed at root + path.
    void set_real_root(std::string root) { real_root_ = std::move(root); }

    std::vector<Drive> drives() override;
    std::vector<NetResource> network_entries(const NetResource* container) override;
    Status list_folders(const std::string& path, std::vector<std::string>& names) override;
    bool responds(const std::string& path, std::chrono::milliseconds limit) override;

    // Every path given to list_folders, normalised, in call order.
    std::vector<std::string> listed;
    // Every path given to responds, normalised, in call order.
    std::vector<std::string> probed;
    int drive_calls = 0;
    int network_calls = 0;

private:
    std::string mountinfo_;
    std::set<std::string> removable_;
    std::set<std::string> file_mounts_;
    std::set<std::string> unresponsive_;
    std::function<void(const std::string&)> on_list_;
    std::map<std::string, std::vector<std::string>> folders_;
    std::map<std::string, int> failures_;
    std::string real_root_;
};

// Without the trailing separator, except for "/" itself.
std::string normalise_fake_path(std::string path);

}  // namespace platform
