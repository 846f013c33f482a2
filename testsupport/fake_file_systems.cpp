#include "fake_file_systems.h"

#include <system_error>
#include <utility>

#include "linux_file_systems.h"

namespace platform {

std::string normalise_fake_path(std::string path) {
    while (path.size() > 1 && path.back() == '/')
        path.pop_back();
    return path;
}

void FakeFileSystems::set_folders(const std::string& path, std::vector<std::string> names) {
    folders_[normalise_fake_path(path)] = std::move(names);
}

void FakeFileSystems::set_failure(const std::string& path, int error) {
    failures_[normalise_fake_path(path)] = error;
}

std::vector<Drive> FakeFileSystems::drives() {
    ++drive_calls;
    return drives_from_mounts(
        parse_mountinfo(mountinfo_),
        [this](const MountEntry& m) {
            return removable_.count(std::to_string(m.major) + ":" + std::to_string(m.minor)) > 0;
        },
        [this](const MountEntry& m) { return file_mounts_.count(m.mount_point) == 0; });
}

std::vector<NetResource> FakeFileSystems::network_entries(const NetResource* container) {
    ++network_calls;
    return network_places(parse_mountinfo(mountinfo_), container);
}

Status FakeFileSystems::list_folders(const std::string& path, std::vector<std::string>& names) {
    const std::string key = normalise_fake_path(path);
    listed.push_back(key);
    if (on_list_) on_list_(key);
    names.clear();
    if (auto failed = failures_.find(key); failed != failures_.end())
        return {failed->second,
                "listing " + path + ": " + std::generic_category().message(failed->second)};
    if (auto known = folders_.find(key); known != folders_.end()) {
        names = known->second;
        return {};
    }
    if (!real_root_.empty()) return list_folder_names(real_root_ + key, names);
    return {ENOENT, "listing " + path + ": " + std::generic_category().message(ENOENT)};
}

bool FakeFileSystems::responds(const std::string& path, std::chrono::milliseconds) {
    const std::string key = normalise_fake_path(path);
    probed.push_back(key);
    for (const std::string& dead : unresponsive_) {
        if (key == dead || key.rfind(dead + "/", 0) == 0) return false;
    }
    return true;
}

}  // namespace platform
