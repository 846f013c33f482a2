#include "workflow/image_files.h"

#include <cerrno>
#include <cstring>
#include <vector>

#include <sys/stat.h>

#include "platform/regular_file.h"

namespace workflow {

namespace {

const char* FileKind(mode_t mode) {
    if (S_ISDIR(mode)) return "a directory";
    if (S_ISFIFO(mode)) return "a FIFO";
    if (S_ISSOCK(mode)) return "a socket";
    if (S_ISCHR(mode) || S_ISBLK(mode)) return "a device";
    return "not a regular file";
}

// Reads and digests one image; false with the reason (without the path).
bool CheckOne(const std::string& path, CheckedImage& image, std::string& why,
              const std::function<bool()>& stopRequested, long long memoryLeft) {
    // Without blocking: opening a FIFO for reading would otherwise wait for
    // a writer, and a device may never answer.
    const platform::RegularFile file = platform::open_regular(path, kMaxImageBytes);
    const struct stat& st = file.info;
    switch (file.refusal) {
        case platform::FileRefusal::none:
            break;
        case platform::FileRefusal::missing:
        case platform::FileRefusal::unreadable:
            why = std::strerror(file.error);
            return false;
        case platform::FileRefusal::not_regular:
            why = std::string(FileKind(st.st_mode)) + ", not an image file";
            return false;
        case platform::FileRefusal::too_large:
            why = "too large (" + std::to_string(static_cast<long long>(st.st_size)) +
                  " bytes; the instrument takes at most " + std::to_string(kMaxImageBytes) + ")";
            return false;
    }
    if (st.st_size == 0) {
        why = "empty";
        return false;
    }
    // Read from this same descriptor, so that the bytes kept are those of
    // the file just checked.
    std::unique_ptr<ImageSnapshot> snapshot =
        ImageSnapshot::Take(file.fd.get(), st, why, stopRequested, memoryLeft);
    if (!snapshot) return false;
    image.m_size = snapshot->Size();
    image.m_sha256 = snapshot->Sha256();
    image.m_snapshot = std::move(snapshot);
    return true;
}

}  // namespace

std::string ImagePathOf(const std::string& releaseDir, const ImageInfo& image,
                        const std::string& hostImageFile) {
    if (*image.m_file == '\0') return releaseDir + kImageFolder + hostImageFile;
    return releaseDir + image.m_file;
}

bool CheckImages(const std::string& releaseDir, const ImageChoice& chosen,
                 std::vector<CheckedImage>& images, std::string& error,
                 const std::function<bool()>& stopRequested) {
    images.clear();
    // The run's copies together stay within one memory budget; the rest go
    // to disk.
    long long inMemory = 0;
    for (const ImageInfo& info : kImages) {
        if (chosen.*info.m_flag == 0) continue;
        CheckedImage image;
        image.m_info = &info;
        image.m_path = ImagePathOf(releaseDir, info);
        image.m_relativePath = image.m_path.substr(releaseDir.size());
        std::string why;
        if (!CheckOne(image.m_path, image, why, stopRequested, kSnapshotMemoryMax - inMemory)) {
            error = why == "stopped" ? why : "image file " + image.m_path + ": " + why;
            return false;
        }
        if (image.m_snapshot->InMemory()) inMemory += image.m_size;
        images.push_back(std::move(image));
    }
    return true;
}

SentFromSnapshot::SentFromSnapshot(const CheckedImage& image) : m_image(image), m_hook{} {
    m_hook.context = this;
    m_hook.open_image = &SentFromSnapshot::OnOpen;
    m_hook.on_image_read = &SentFromSnapshot::OnRead;
    m_installed = update_add_observer(&m_hook);
}

SentFromSnapshot::~SentFromSnapshot() {
    if (m_installed) update_remove_observer(&m_hook);
}

bool SentFromSnapshot::OnOpen(void* context, const char*, const char* path, int* fd) {
    auto* self = static_cast<SentFromSnapshot*>(context);
    if (self->m_image.m_path != path) return false;
    *fd = self->m_image.m_snapshot ? self->m_image.m_snapshot->OpenForReading() : -1;
    self->m_refused = *fd < 0;
    self->m_opened = *fd >= 0;
    self->m_read = 0;
    self->m_hex.clear();
    return true;
}

bool SentFromSnapshot::OnRead(void* context, const char*, const ViByte*, int32_t length,
                              int64_t offset, int64_t total) {
    auto* self = static_cast<SentFromSnapshot*>(context);
    // Another file, which this snapshot does not answer for.
    if (!self->m_opened) return true;
    // Pieces come in file order from the start; anything else is not one
    // whole reading of the snapshot.
    if (offset != self->m_read || total != self->m_image.m_snapshot->Size()) return false;
    self->m_read += length;
    if (self->m_read == total) self->m_hex = self->m_image.m_snapshot->Sha256();
    return true;
}

}  // namespace workflow
