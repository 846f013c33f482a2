// The image files of a run, checked before the instrument hears anything,
// and the digest of the bytes the engine actually reads and sends.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "update.h"
#include "workflow/identification.h"
#include "workflow/image_snapshot.h"
#include "workflow/images.h"
#include "workflow/sha256.h"

namespace workflow {

// The largest image the engine can send: it sends the file as one
// definite-length block, whose length field has at most nine digits.
inline constexpr long long kMaxImageBytes = update_block_length_max;

// One chosen image as the check found it.
struct CheckedImage {
    const ImageInfo* m_info = nullptr;
    std::string m_path;          // as handed to the engine
    std::string m_relativePath;  // under the release directory: "host/bootrom.bin"
    long long m_size = 0;
    std::string m_sha256;  // of the bytes read by the check
    // Those bytes, kept where nobody can change them; what the engine sends.
    std::shared_ptr<const ImageSnapshot> m_snapshot;
};

// Opens each chosen image once, without blocking, and reads it from that
// descriptor into its snapshot, hashed as it is read: it must be a regular
// file of 1 to kMaxImageBytes bytes that does not change while it is read
// ("changed while it was being checked"); the copies held in memory stay
// within kSnapshotMemoryMax together. A device, FIFO, socket or
// directory is refused without a single read. `stopRequested` is asked between pieces of
// at most 1 MiB, so that a stop is acted on at once. False at the first
// image that fails, with a sentence naming its file and why in `error`
// (or "stopped" when asked to stop).
bool CheckImages(const std::string& releaseDir, const ImageChoice& chosen,
                 std::vector<CheckedImage>& images, std::string& error,
                 const std::function<bool()>& stopRequested = {});

// The path of an image under the release directory.
std::string ImagePathOf(const std::string& releaseDir, const ImageInfo& image,
                        const std::string& hostImageFile = kHostImageFile);

// While installed (see update_add_observer), the engine reads the checked
// image from its snapshot instead of opening the release's file (its texts
// still name that file), and what it reads is followed. The digest of what
// was sent is the snapshot's: nobody can change the snapshot, so hashing the
// engine's bytes a second time would only repeat the check.
class SentFromSnapshot {
public:
    explicit SentFromSnapshot(const CheckedImage& image);
    ~SentFromSnapshot();
    SentFromSnapshot(const SentFromSnapshot&) = delete;
    SentFromSnapshot& operator=(const SentFromSnapshot&) = delete;

    // The snapshot's digest once the engine read all of it from the
    // snapshot; empty when it did not get that far.
    const std::string& Digest() const { return m_hex; }
    long long BytesRead() const { return m_read; }
    // True when the engine asked for the image and was refused it: the
    // snapshot was missing or no longer as it was made. Nothing was sent.
    bool Refused() const { return m_refused; }
    // False when the engine had no room for one more observer: then the
    // engine would open the release's file itself, and nothing may be sent.
    bool Installed() const { return m_installed; }

private:
    static bool OnOpen(void* context, const char* image, const char* path, int* fd);
    static bool OnRead(void* context, const char* image, const ViByte* data, int32_t length,
                       int64_t offset, int64_t total);

    const CheckedImage& m_image;
    update_observer m_hook;
    std::string m_hex;
    long long m_read = 0;
    bool m_opened = false;
    bool m_refused = false;
    bool m_installed = false;
};

}  // namespace workflow
