#include "workflow/image_snapshot.h"

#include <cerrno>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>

#include <fcntl.h>
#include <linux/magic.h>
#include <sys/mman.h>
#include <sys/vfs.h>
#include <unistd.h>

#include "platform/write_all.h"
#include "workflow/sha256.h"

namespace workflow {

namespace {

constexpr const char* kChanged = "changed while it was being checked";
constexpr std::size_t kPiece = std::size_t{1} << 20;
// Pieces read ahead of the hash: enough that neither side waits on the other
// for long, small enough to stay in the caches.
constexpr long long kSlots = 8;

bool SameFile(const struct stat& a, const struct stat& b) {
    return a.st_size == b.st_size && a.st_mtim.tv_sec == b.st_mtim.tv_sec &&
           a.st_mtim.tv_nsec == b.st_mtim.tv_nsec && a.st_ctim.tv_sec == b.st_ctim.tv_sec &&
           a.st_ctim.tv_nsec == b.st_ctim.tv_nsec;
}

// An unnamed file, mode 0600, that can never be linked into a directory, in
// the first of $TMPDIR, /var/tmp and /tmp that is on disk (a file on tmpfs
// would be held in memory after all); -1 when there is none.
int UnnamedDiskFile() {
    const char* tmpdir = std::getenv("TMPDIR");
    for (const char* dir : {tmpdir, "/var/tmp", "/tmp"}) {
        if (!dir || *dir != '/') continue;
        struct statfs fs {};
        if (::statfs(dir, &fs) != 0) continue;
        if (fs.f_type == TMPFS_MAGIC || fs.f_type == RAMFS_MAGIC) continue;
        const int fd = ::open(dir, O_TMPFILE | O_EXCL | O_RDWR | O_CLOEXEC, 0600);
        if (fd >= 0) return fd;
    }
    return -1;
}

// Where the copy of a file of `size` bytes goes: a sealable in-memory file,
// or for a large one an unnamed file on disk where there is one.
int MakeBacking(long long size, long long memoryMax, bool& sealable, std::string& why) {
    if (size > memoryMax) {
        if (const int fd = UnnamedDiskFile(); fd >= 0) {
            sealable = false;
            return fd;
        }
    }
    const int fd = ::memfd_create("fw-image", MFD_CLOEXEC | MFD_ALLOW_SEALING);
    if (fd < 0) why = std::string("cannot make a copy of it: ") + std::strerror(errno);
    sealable = fd >= 0;
    return fd;
}

// read() until `length` bytes or the end of the file: the count read, or -1.
ssize_t ReadPiece(int fd, char* into, std::size_t length) {
    std::size_t done = 0;
    while (done < length) {
        const ssize_t n = ::read(fd, into + done, length - done);
        if (n == 0) break;
        if (n < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        done += static_cast<std::size_t>(n);
    }
    return static_cast<ssize_t>(done);
}

// A ring of pieces between the thread that reads and copies them and the one
// that hashes them; a piece's slot is reused only once it has been hashed.
class Ring {
public:
    Ring() : m_buffer(new (std::nothrow) char[kSlots * kPiece]) {}
    bool Ready() const { return m_buffer != nullptr; }

    // The reading side: each piece of `source` into the ring, handed to the
    // hash, then written into `copy` while the hash runs. Ends at the end
    // of the file, on an error, or when the hashing side cancels.
    void ReadAndCopy(int source, int copy, long long expected) {
        std::string error;
        long long total = 0;
        for (long long i = 0;; ++i) {
            {
                // A full ring waits until half of it is free again: one
                // wake-up for several pieces rather than one for each.
                std::unique_lock lock(m_mutex);
                if (i - m_hashed >= kSlots)
                    m_changed.wait(lock, [&] { return m_cancelled || i - m_hashed <= kSlots / 2; });
                if (m_cancelled) break;
            }
            char* const slot = Slot(i);
            const ssize_t n = ReadPiece(source, slot, kPiece);
            if (n < 0) {
                error = std::strerror(errno);
                break;
            }
            total += n;
            // More than the file held when it was opened: it is being written.
            if (total > expected) {
                error = kChanged;
                break;
            }
            if (n == 0) break;
            {
                std::lock_guard lock(m_mutex);
                m_lengths[i % kSlots] = static_cast<std::size_t>(n);
                m_filled = i + 1;
            }
            m_changed.notify_all();
            if (!platform::write_all(copy, slot, static_cast<std::size_t>(n))) {
                error = std::string("cannot keep a copy of it: ") + std::strerror(errno);
                break;
            }
        }
        std::lock_guard lock(m_mutex);
        m_total = total;
        m_error = error;
        m_ended = true;
        m_changed.notify_all();
    }

    // The hashing side, on the caller's thread: every piece in order, until
    // the reading side ends. False when a stop was requested (the reading
    // side is then told to end as well).
    bool Hash(Sha256& hash, const std::function<bool()>& stopRequested) {
        for (long long j = 0;; ++j) {
            if (stopRequested && stopRequested()) {
                std::lock_guard lock(m_mutex);
                m_cancelled = true;
                m_changed.notify_all();
                return false;
            }
            std::size_t length = 0;
            {
                std::unique_lock lock(m_mutex);
                m_changed.wait(lock, [&] { return m_filled > j || m_ended; });
                if (m_filled <= j) return true;
                length = m_lengths[j % kSlots];
            }
            hash.Update(Slot(j), length);
            {
                std::lock_guard lock(m_mutex);
                m_hashed = j + 1;
            }
            m_changed.notify_all();
        }
    }

    long long Total() const { return m_total; }
    const std::string& Error() const { return m_error; }

private:
    char* Slot(long long piece) const { return m_buffer.get() + (piece % kSlots) * kPiece; }

    std::unique_ptr<char[]> m_buffer;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::size_t m_lengths[kSlots] = {};
    long long m_filled = 0;  // pieces read and ready to hash
    long long m_hashed = 0;  // pieces hashed, whose slots are free again
    bool m_ended = false;
    bool m_cancelled = false;
    long long m_total = 0;
    std::string m_error;
};

}  // namespace

ImageSnapshot::~ImageSnapshot() = default;

bool ImageSnapshot::Unchanged() const {
    struct stat now {};
    return ::fstat(m_fd.get(), &now) == 0 && SameFile(now, m_made);
}

int ImageSnapshot::OpenForReading() const {
    if (!Unchanged()) {
        errno = EBADF;
        return -1;
    }
    // A copy of the descriptor shares its offset; the engine reads one image
    // at a time and from the start.
    platform::UniqueFd fd(::fcntl(m_fd.get(), F_DUPFD_CLOEXEC, 0));
    if (!fd) return -1;
    if (::lseek(fd.get(), 0, SEEK_SET) != 0) {
        const int error = errno;
        fd.reset();
        errno = error;
        return -1;
    }
    return fd.release();
}

std::unique_ptr<ImageSnapshot> ImageSnapshot::Take(int fd, const struct stat& opened,
                                                   std::string& why,
                                                   const std::function<bool()>& stopRequested,
                                                   long long memoryMax) {
    std::unique_ptr<ImageSnapshot> snapshot(new ImageSnapshot);
    snapshot->m_fd.reset(MakeBacking(opened.st_size, memoryMax, snapshot->m_sealed, why));
    if (!snapshot->m_fd) return nullptr;
    ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);

    // Reading and copying on a second thread beside the hash: one after the
    // other they would cost half as much again as the hash alone.
    Ring ring;
    if (!ring.Ready()) {
        why = "cannot make a copy of it: out of memory";
        return nullptr;
    }
    workflow::Sha256 hash;
    bool finished = false;
    try {
        std::thread reader(&Ring::ReadAndCopy, &ring, fd, snapshot->m_fd.get(),
                           static_cast<long long>(opened.st_size));
        finished = ring.Hash(hash, stopRequested);
        reader.join();
    } catch (const std::system_error& error) {
        why = std::string("cannot make a copy of it: ") + error.what();
        return nullptr;
    }
    if (!finished) {
        why = "stopped";
        return nullptr;
    }
    if (!ring.Error().empty()) {
        why = ring.Error();
        return nullptr;
    }
    // Fewer bytes than it had, or rewritten in place: what was copied may be
    // part old and part new, and must not pass for either.
    struct stat now {};
    if (ring.Total() != opened.st_size || ::fstat(fd, &now) != 0 || !SameFile(opened, now)) {
        why = kChanged;
        return nullptr;
    }
    if (snapshot->m_sealed &&
        ::fcntl(snapshot->m_fd.get(), F_ADD_SEALS,
                F_SEAL_WRITE | F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_SEAL) != 0) {
        why = std::string("cannot seal its copy: ") + std::strerror(errno);
        return nullptr;
    }
    if (::fstat(snapshot->m_fd.get(), &snapshot->m_made) != 0) {
        why = std::string("cannot keep a copy of it: ") + std::strerror(errno);
        return nullptr;
    }
    snapshot->m_size = ring.Total();
    snapshot->m_sha256 = hash.FinishHex();
    return snapshot;
}

}  // namespace workflow
