#include "workflow/image_files.h"

#include <cerrno>
#include <cstring>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace workflow {

namespace {

// Closes the descriptor on every path.
struct Descriptor {
    int fd = -1;
    ~Descriptor() {
        if (fd >= 0) ::close(fd);
    }
};

const char* FileKind(mode_t mode) {
    if (S_ISDIR(mode)) return "a directory";
    if (S_ISFIFO(mode)) return "a FIFO";
    if (S_ISSOCK(mode)) return "a socket";
    if (S_ISCHR(mode) || S_ISBLK(mode)) return "a device";
    return "not a regular file";
}

// Reads and digests one image; false with the reason (without the path).
bool CheckOne(const std::string& path, CheckedImage& image, std::string& why,
              const std::function<bool()>& stopRequested) {
    Descriptor file;
    // Without blocking: opening a FIFO for reading would otherwise wait for
    // a writer, and a device may never answer.
    file.fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (file.fd < 0) {
        why = std::strerror(errno);
        return false;
    }
    struct stat st {};
    if (::fstat(file.fd, &st) != 0) {
        why = std::strerror(errno);
        return false;
    }
    if (!S_ISREG(st.st_mode)) {
        why = std::string(FileKind(st.st_mode)) + ", not an image file";
        return false;
    }
    if (st.st_size == 0) {
        why = "empty";
        return false;
    }
    if (st.st_size > kMaxImageBytes) {
        why = "too large (" + std::to_string(static_cast<long long>(st.st_size)) +
              " bytes; the instrument takes at most " + std::to_string(kMaxImageBytes) + ")";
        return false;
    }
    // Read from this same descriptor, so that the bytes digested are those
    // of the file just checked.
    std::string error;
    const std::optional<FileDigest> digest = DigestDescriptor(file.fd, path, &error, stopRequested);
    if (!digest) {
        why = stopRequested && stopRequested() ? "stopped" : error.substr(path.size() + 2);
        return false;
    }
    image.m_size = digest->size;
    image.m_sha256 = digest->sha256;
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
    for (const ImageInfo& info : kImages) {
        if (chosen.*info.m_flag == 0) continue;
        CheckedImage image;
        image.m_info = &info;
        image.m_path = ImagePathOf(releaseDir, info);
        image.m_relativePath = image.m_path.substr(releaseDir.size());
        std::string why;
        if (!CheckOne(image.m_path, image, why, stopRequested)) {
            error = why == "stopped" ? why : "image file " + image.m_path + ": " + why;
            return false;
        }
        images.push_back(std::move(image));
    }
    return true;
}

SentImageDigest::SentImageDigest(std::string expectedSha256)
    : m_hook{}, m_expected(std::move(expectedSha256)) {
    m_hook.context = this;
    m_hook.on_image_read = &SentImageDigest::OnRead;
    m_installed = update_add_observer(&m_hook);
}

SentImageDigest::~SentImageDigest() {
    if (m_installed) update_remove_observer(&m_hook);
}

bool SentImageDigest::OnRead(void* context, const char*, const ViByte* data, int32_t length,
                             int64_t offset, int64_t total) {
    auto* self = static_cast<SentImageDigest*>(context);
    // Pieces come in file order; one out of order means a second transfer
    // under the same digest, which must not pass as this one.
    if (offset != self->m_read) return false;
    self->m_hash.Update(data, static_cast<std::size_t>(length));
    self->m_read += length;
    if (self->m_read < total) return true;
    self->m_hex = self->m_hash.FinishHex();
    if (!self->m_expected.empty() && self->m_hex != self->m_expected) {
        self->m_mismatch = true;
        return false;
    }
    return true;
}

}  // namespace workflow
