#include "linux_file_systems.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <fstream>
#include <memory>
#include <mutex>
#include <sstream>
#include <system_error>
#include <thread>
#include <utility>
#include "platform/unique_fd.h"

namespace platform {

namespace {

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return {};
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

Status failure(int error, const std::string& path) {
    return {error, "listing " + path + ": " + std::generic_category().message(error)};
}

// Whether a directory entry whose type readdir could not tell is a folder.
// The cached attributes are enough (AT_STATX_DONT_SYNC): a link into a network
// mount must not make a folder listing ask that mount's server.
bool is_folder(int dir_fd, const char* name) {
    struct statx info {};
    if (::statx(dir_fd, name, AT_STATX_DONT_SYNC, STATX_TYPE, &info) != 0) return false;
    return S_ISDIR(info.stx_mode);
}

}  // namespace

LinuxFileSystems::LinuxFileSystems(std::string mountinfo_path, std::string sysfs_root)
    : mountinfo_path_(std::move(mountinfo_path)), sysfs_root_(std::move(sysfs_root)) {}

std::vector<MountEntry> LinuxFileSystems::read_mounts() const {
    return parse_mountinfo(read_file(mountinfo_path_));
}

bool LinuxFileSystems::is_removable(const MountEntry& mount) const {
    // Anonymous devices (major 0) are not block devices: nothing to ask.
    if (mount.major == 0) return false;
    const std::string device = sysfs_root_ + "/dev/block/" + std::to_string(mount.major) + ":" +
                               std::to_string(mount.minor);
    // A partition has no flag of its own; its disk, one folder up, has.
    struct stat info {};
    const bool partition = ::stat((device + "/partition").c_str(), &info) == 0;
    const std::string flag = read_file(device + (partition ? "/../removable" : "/removable"));
    return !flag.empty() && flag[0] == '1';
}

std::vector<Drive> LinuxFileSystems::drives() {
    // Network mounts are never asked: their server may be gone.
    return drives_from_mounts(
        read_mounts(), [this](const MountEntry& m) { return is_removable(m); },
        [](const MountEntry& m) { return is_folder(AT_FDCWD, m.mount_point.c_str()); });
}

std::vector<NetResource> LinuxFileSystems::network_entries(const NetResource* container) {
    return network_places(read_mounts(), container);
}

Status LinuxFileSystems::list_folders(const std::string& path, std::vector<std::string>& names) {
    return list_folder_names(path, names);
}

Status list_folder_names(const std::string& path, std::vector<std::string>& names) {
    names.clear();
    if (path.empty()) return failure(ENOENT, "\"\"");
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!fd) return failure(errno, path);
    DIR* dir = ::fdopendir(fd.get());
    if (!dir) return failure(errno, path);
    fd.release();  // the directory stream owns it now
    std::unique_ptr<DIR, int (*)(DIR*)> closer(dir, ::closedir);
    for (;;) {
        errno = 0;
        const dirent* entry = ::readdir(dir);
        if (!entry) {
            if (errno != 0) {
                const int error = errno;
                names.clear();
                return failure(error, path);
            }
            break;
        }
        const std::string_view name = entry->d_name;
        if (name == "." || name == "..") continue;
        const bool folder =
            entry->d_type == DT_DIR || ((entry->d_type == DT_LNK || entry->d_type == DT_UNKNOWN) &&
                                        is_folder(::dirfd(dir), entry->d_name));
        if (folder) names.emplace_back(name);
    }
    return {};
}

bool LinuxFileSystems::responds(const std::string& path, std::chrono::milliseconds limit) {
    struct Probe {
        std::mutex mutex;
        std::condition_variable done_signal;
        bool done = false;
        bool answered = false;
    };
    auto probe = std::make_shared<Probe>();
    try {
        // Detached: a probe stuck on a dead server must not hold the caller.
        // It owns its share of the state, so it may finish at any time.
        std::thread([probe, path] {
            struct statx info {};
            const bool answered =
                ::statx(AT_FDCWD, path.c_str(), AT_STATX_FORCE_SYNC, STATX_TYPE, &info) == 0;
            const std::lock_guard lock(probe->mutex);
            probe->done = true;
            probe->answered = answered;
            probe->done_signal.notify_all();
        }).detach();
    } catch (const std::system_error&) {
        return false;  // no thread to spare: better not to wait at all
    }
    std::unique_lock lock(probe->mutex);
    probe->done_signal.wait_for(lock, limit, [&probe] { return probe->done; });
    return probe->done && probe->answered;
}

FileSystems& local_file_systems() {
    static LinuxFileSystems machine;
    return machine;
}

}  // namespace platform
