// SHA-256 (FIPS 180-4), for recording exactly which image file was written
// and for checking a release against its SHA256SUMS. The hashing itself is
// libcrypto's, which uses the processor's SHA instructions where it has them
// (a quarter faster than nettle on the machines we measured).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include <memory>

struct evp_md_ctx_st;

namespace workflow {

class Sha256 {
public:
    Sha256();
    void Update(const void* data, std::size_t length);
    // Ends the hash; the object must not be updated afterwards.
    std::array<std::uint8_t, 32> Finish();
    // Ends the hash and gives it as 64 lower-case hex digits.
    std::string FinishHex();

private:
    struct Free {
        void operator()(evp_md_ctx_st* context) const;
    };
    std::unique_ptr<evp_md_ctx_st, Free> m_context;
};

std::string Sha256Hex(std::string_view data);

// Size and SHA-256 of a file, read once from start to end.
struct FileDigest {
    long long size = 0;
    std::string sha256;
};

// Hashes the regular file open on `fd` from its current offset to its end,
// in 1 MiB reads. `name` only goes into errors. Fails (nothing, the reason in
// `error` as "<name>: <why>") when `fd` is no regular file, a read fails, the
// file holds more or fewer bytes than fstat gave at the start (it changed while
// hashed), or `stopRequested` turns true; that is asked between reads, so a stop is
// acted on within one read of 1 MiB. The descriptor stays open; its offset
// ends wherever reading stopped.
std::optional<FileDigest> DigestDescriptor(int fd, const std::string& name, std::string* error,
                                           const std::function<bool()>& stopRequested = {});

// Opens `path` without waiting (a FIFO or a device never blocks it), takes
// regular files only, and hashes them with DigestDescriptor. Nothing, with
// the reason in `error` ("<path>: <why>"), when that fails.
std::optional<FileDigest> DigestFile(const std::string& path, std::string* error = nullptr);

}  // namespace workflow
