// The image files of a run, checked before the instrument hears anything,
// and the digest of the bytes the engine actually reads and sends.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "update.h"
#include "workflow/identification.h"
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
};

// Opens each chosen image once, without blocking, and reads it from that
// descriptor: it must be a regular file of 1 to kMaxImageBytes bytes that
// does not grow while it is read. A device, FIFO, socket or directory is
// refused without a single read. `stopRequested` is asked between pieces of
// at most 1 MiB, so that a stop is acted on at once. False at the first
// image that fails, with a sentence naming its file and why in `error`
// (or "stopped" when asked to stop).
bool CheckImages(const std::string& releaseDir, const ImageChoice& chosen,
                 std::vector<CheckedImage>& images, std::string& error,
                 const std::function<bool()>& stopRequested = {});

// The path of an image under the release directory.
std::string ImagePathOf(const std::string& releaseDir, const ImageInfo& image,
                        const std::string& hostImageFile = kHostImageFile);

// Digests what the engine reads of one image, from the descriptor it sends
// from, while it is installed (see update_add_observer). With an expected
// digest, the engine's bytes must hash to it: a file changed after it was
// checked fails before its last piece is sent, so nothing but the checked
// bytes can be completed on the instrument.
class SentImageDigest {
public:
    explicit SentImageDigest(std::string expectedSha256 = {});
    ~SentImageDigest();
    SentImageDigest(const SentImageDigest&) = delete;
    SentImageDigest& operator=(const SentImageDigest&) = delete;

    // The hex digest of every byte the engine read, once the whole file was
    // read; empty when it did not get that far.
    const std::string& Digest() const { return m_hex; }
    long long BytesRead() const { return m_read; }
    // True when the engine's bytes differed from the expected digest.
    bool Mismatch() const { return m_mismatch; }
    // False when the engine had no room for one more observer: then nothing
    // is digested, and nothing may be sent on its word.
    bool Installed() const { return m_installed; }

private:
    static bool OnRead(void* context, const char* image, const ViByte* data, int32_t length,
                       int64_t offset, int64_t total);

    update_observer m_hook;
    Sha256 m_hash;
    std::string m_expected;
    std::string m_hex;
    long long m_read = 0;
    bool m_mismatch = false;
    bool m_installed = false;
};

}  // namespace workflow
