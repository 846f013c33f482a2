// What the directory picker asks of the machine: its drives, its network
// places and the folders in a folder. One interface; the Linux implementation
// reads the mount table and the file systems, tests give a fake machine.
#pragma once

#include <chrono>
#include <string>
#include <vector>

#include "mount_table.h"

namespace platform {

// The outcome of a listing: 0 or the errno value, and a sentence naming the
// path for a diagnostic log.
struct Status {
    int error = 0;
    std::string message;

    bool ok() const { return error == 0; }
};

class FileSystems {
public:
    virtual ~FileSystems() = default;

    // The drives, from the mount table alone: nothing on any mounted file
    // system is touched, so a network server that no longer answers cannot
    // make this wait. Never empty: the root is always a drive.
    virtual std::vector<Drive> drives() = 0;

    // The network places in `container` (null: the servers this machine has
    // network mounts from), from the mount table alone, as network_places()
    // describes them.
    virtual std::vector<NetResource> network_entries(const NetResource* container) = 0;

    // Replaces `names` with the names of the folders in `path` (a trailing
    // separator is allowed): hidden folders and symbolic links to folders
    // included; files, dangling links, "." and ".." left out; order
    // unspecified. On failure `names` is empty and the status says why. May
    // wait as long as the file system does: listing a folder on a network
    // mount whose server is gone blocks until the mount gives up.
    virtual Status list_folders(const std::string& path, std::vector<std::string>& names) = 0;

    // Whether the file system holding `path` answers within `limit`: asks a
    // network mount's server for the attributes of `path`. When the server
    // is gone this returns false after the limit, leaving a helper thread
    // waiting in the kernel until the mount gives up (for a hard NFS mount,
    // until the server is back or the process ends).
    virtual bool responds(const std::string& path, std::chrono::milliseconds limit) = 0;
};

// The machine this program runs on. Lives for the whole process.
FileSystems& local_file_systems();

}  // namespace platform
