#include "workflow/image_snapshot.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
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
#include <sys/sendfile.h>
#include <sys/vfs.h>
#include <unistd.h>

#include "platform/write_all.h"
#include "workflow/sha256.h"

namespace workflow {

namespace {

constexpr const char* kChanged = "changed while it was being checked";
constexpr std::size_t kPiece = std::size_t{1} << 20;

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

// The copy is written on a thread of its own while the calling thread hashes
// what is already in it: the copying side never waits for the hash, and the
// hash reads the copy itself, mapped a window at a time.
class CopyAndHash {
public:
    CopyAndHash(int source, int copy, long long expected)
        : m_source(source), m_copy(copy), m_expected(expected) {}

    // The copying side: each piece of the source into the copy, copied by
    // the kernel (no buffer of ours in between), until the end of the file,
    // an error, or the hashing side cancels.
    void Copy() {
        std::string error;
        long long total = 0;
        std::unique_ptr<char[]> buffer;  // only where the kernel cannot copy
        while (!m_cancelled.load()) {
            const ssize_t n =
                buffer ? ReadAndWrite(buffer.get()) : ::sendfile(m_copy, m_source, nullptr, kPiece);
            if (n < 0) {
                if (errno == EINTR) continue;
                if (!buffer && total == 0 && (errno == EINVAL || errno == ENOSYS)) {
                    buffer.reset(new (std::nothrow) char[kPiece]);
                    if (buffer) continue;
                }
                error = std::string("cannot keep a copy of it: ") + std::strerror(errno);
                break;
            }
            if (n == 0) break;
            total += n;
            // More than the file held when it was opened: it is being
            // written.
            if (total > m_expected) {
                error = kChanged;
                break;
            }
            std::lock_guard lock(m_mutex);
            m_copied = total;
            m_changed.notify_all();
        }
        std::lock_guard lock(m_mutex);
        m_error = error;
        m_ended = true;
        m_changed.notify_all();
    }

    // One piece through `buffer`, as sendfile would copy it: the count
    // copied, 0 at the end of the file, or -1 with errno.
    ssize_t ReadAndWrite(char* buffer) {
        const ssize_t n = ::read(m_source, buffer, kPiece);
        if (n <= 0) return n;
        return platform::write_all(m_copy, buffer, static_cast<std::size_t>(n)) ? n : -1;
    }

    // The hashing side, on the caller's thread: the copy in order, a piece of
    // at most 1 MiB between stop requests. False when a stop was requested
    // (the copying side is then told to end as well) or the copy could not
    // be mapped.
    bool Hash(Sha256& hash, const std::function<bool()>& stopRequested) {
        // A mapping left behind would keep the copy from being sealed.
        struct Unmapping {
            CopyAndHash& m_self;
            ~Unmapping() { m_self.Unmap(); }
        } unmapping{*this};
        long long hashed = 0;
        for (;;) {
            if (stopRequested && stopRequested()) {
                m_cancelled = true;
                return false;
            }
            long long copied = 0;
            {
                std::unique_lock lock(m_mutex);
                // Once it has caught up, the hash waits for several pieces
                // at a time: each wait costs a sleep and a wake-up, which on
                // a busy machine take longer than the piece.
                const long long wanted = std::min(hashed + kCatchUp, m_expected);
                // Bounded, so that a stop is still asked for while a slow
                // disk delivers.
                if (!m_changed.wait_for(lock, std::chrono::milliseconds(100),
                                        [&] { return m_copied >= wanted || m_ended; }))
                    continue;
                copied = m_copied;
            }
            if (copied <= hashed) return true;
            const long long start = hashed / kWindow * kWindow;
            if (start != m_windowStart && !Map(start)) {
                m_cancelled = true;
                return false;
            }
            const long long end =
                std::min({copied, hashed + static_cast<long long>(kPiece), start + kWindow});
            hash.Update(static_cast<const char*>(m_window) + (hashed - start),
                        static_cast<std::size_t>(end - hashed));
            hashed = end;
        }
    }

    ~CopyAndHash() { Unmap(); }

    // Once both sides have ended.
    long long Total() const { return m_copied; }
    const std::string& Error() const { return m_mapError.empty() ? m_error : m_mapError; }

private:
    static constexpr long long kWindow = 8ll << 20;
    static constexpr long long kCatchUp = 8ll << 20;

    bool Map(long long start) {
        Unmap();
        void* window = ::mmap(nullptr, static_cast<std::size_t>(kWindow), PROT_READ, MAP_SHARED,
                              m_copy, static_cast<off_t>(start));
        if (window == MAP_FAILED) {
            m_mapError = std::string("cannot read its copy: ") + std::strerror(errno);
            return false;
        }
        m_window = window;
        m_windowStart = start;
        return true;
    }
    void Unmap() {
        if (m_window) ::munmap(m_window, static_cast<std::size_t>(kWindow));
        m_window = nullptr;
        m_windowStart = -1;
    }

    const int m_source;
    const int m_copy;
    const long long m_expected;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    long long m_copied = 0;  // bytes in the copy, ready to hash
    bool m_ended = false;
    std::atomic<bool> m_cancelled{false};
    std::string m_error;     // the copying side's
    std::string m_mapError;  // the hashing side's
    void* m_window = nullptr;
    long long m_windowStart = -1;
};

}  // namespace

ImageSnapshot::~ImageSnapshot() {
    if (m_fd >= 0) ::close(m_fd);
}

bool ImageSnapshot::Unchanged() const {
    struct stat now {};
    return ::fstat(m_fd, &now) == 0 && SameFile(now, m_made);
}

int ImageSnapshot::OpenForReading() const {
    if (!Unchanged()) {
        errno = EBADF;
        return -1;
    }
    // A copy of the descriptor shares its offset; the engine reads one image
    // at a time and from the start.
    const int fd = ::fcntl(m_fd, F_DUPFD_CLOEXEC, 0);
    if (fd < 0) return -1;
    if (::lseek(fd, 0, SEEK_SET) != 0) {
        const int error = errno;
        ::close(fd);
        errno = error;
        return -1;
    }
    return fd;
}

std::unique_ptr<ImageSnapshot> ImageSnapshot::Take(int fd, const struct stat& opened,
                                                   std::string& why,
                                                   const std::function<bool()>& stopRequested,
                                                   long long memoryMax) {
    std::unique_ptr<ImageSnapshot> snapshot(new ImageSnapshot);
    snapshot->m_fd = MakeBacking(opened.st_size, memoryMax, snapshot->m_sealed, why);
    if (snapshot->m_fd < 0) return nullptr;
    ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);

    // Reading and copying on a second thread beside the hash: one after the
    // other they would cost half as much again as the hash alone.
    CopyAndHash copier(fd, snapshot->m_fd, static_cast<long long>(opened.st_size));
    workflow::Sha256 hash;
    bool finished = false;
    try {
        std::thread copying(&CopyAndHash::Copy, &copier);
        finished = copier.Hash(hash, stopRequested);
        copying.join();
    } catch (const std::system_error& error) {
        why = std::string("cannot make a copy of it: ") + error.what();
        return nullptr;
    }
    if (!copier.Error().empty()) {
        why = copier.Error();
        return nullptr;
    }
    if (!finished) {
        why = "stopped";
        return nullptr;
    }
    // Fewer bytes than it had, or rewritten in place: what was copied may be
    // part old and part new, and must not pass for either.
    struct stat now {};
    if (copier.Total() != opened.st_size || ::fstat(fd, &now) != 0 || !SameFile(opened, now)) {
        why = kChanged;
        return nullptr;
    }
    if (snapshot->m_sealed &&
        ::fcntl(snapshot->m_fd, F_ADD_SEALS,
                F_SEAL_WRITE | F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_SEAL) != 0) {
        why = std::string("cannot seal its copy: ") + std::strerror(errno);
        return nullptr;
    }
    if (::fstat(snapshot->m_fd, &snapshot->m_made) != 0) {
        why = std::string("cannot keep a copy of it: ") + std::strerror(errno);
        return nullptr;
    }
    snapshot->m_size = copier.Total();
    snapshot->m_sha256 = hash.FinishHex();
    return snapshot;
}

}  // namespace workflow
