// An image file read once into a copy that nobody can change afterwards, and
// hashed as it is read: what the engine sends is this copy, so the bytes the
// instrument gets are the bytes that were checked, whatever happens to the
// release's own file in between.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include <sys/stat.h>

#include "platform/unique_fd.h"

namespace workflow {

// A run keeps the copies of its images in sealed in-memory files up to this
// many bytes together; the others go to unnamed files on disk, so that the
// copies do not hold up to gigabytes of memory beside the engine's own
// transfer buffer.
inline constexpr long long kSnapshotMemoryMax = 256ll << 20;

class ImageSnapshot {
public:
    ~ImageSnapshot();
    ImageSnapshot(const ImageSnapshot&) = delete;
    ImageSnapshot& operator=(const ImageSnapshot&) = delete;

    long long Size() const { return m_size; }
    // Lower-case hex SHA-256 of the bytes in the copy.
    const std::string& Sha256() const { return m_sha256; }
    // True for the sealed in-memory copy, false for the unnamed file on disk.
    bool InMemory() const { return m_sealed; }

    // A descriptor of the copy positioned at its start, for the engine to
    // read and close; -1 with errno set when it cannot be had, or (EBADF)
    // when the copy is no longer as it was made: only the unsealed file on
    // disk could be, by a process of the same user writing through /proc.
    int OpenForReading() const;

    // Reads the regular file open on `fd` (as fstat gave it in `opened`)
    // from its start into a new copy (in memory when it has at most
    // `memoryMax` bytes, else on disk where there is a disk to put it on), hashing each piece while
    // the next is read and written on a thread of its own. `stopRequested` is asked, on the calling
    // thread only, between pieces of 1 MiB. Nothing, with why in `why`, when reading or copying
    // fails, when the file changed while it was read ("changed while it was being checked"), or on
    // a stop
    // ("stopped").
    static std::unique_ptr<ImageSnapshot> Take(int fd, const struct stat& opened, std::string& why,
                                               const std::function<bool()>& stopRequested = {},
                                               long long memoryMax = kSnapshotMemoryMax);

private:
    ImageSnapshot() = default;
    bool Unchanged() const;

    platform::UniqueFd m_fd;
    bool m_sealed = false;
    long long m_size = 0;
    std::string m_sha256;
    struct stat m_made {};
};

}  // namespace workflow
