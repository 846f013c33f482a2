#include "workflow/sha256.h"

#include <cerrno>
#include <cstring>
#include <memory>
#include <new>

#include <openssl/evp.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/regular_file.h"

namespace workflow {

namespace {

constexpr std::size_t kChunkSize = std::size_t{1} << 20;

bool Fail(std::string* error, const std::string& name, const std::string& why) {
    if (error) *error = name + ": " + why;
    return false;
}

}  // namespace

void Sha256::Free::operator()(evp_md_ctx_st* context) const {
    EVP_MD_CTX_free(context);
}

// Only allocation can fail here, and a program out of memory has no better
// answer than the one operator new gives.
Sha256::Sha256() : m_context(EVP_MD_CTX_new()) {
    if (!m_context || EVP_DigestInit_ex(m_context.get(), EVP_sha256(), nullptr) != 1)
        throw std::bad_alloc();
}

void Sha256::Update(const void* data, std::size_t length) {
    EVP_DigestUpdate(m_context.get(), data, length);
}

std::array<std::uint8_t, 32> Sha256::Finish() {
    std::array<std::uint8_t, 32> digest{};
    unsigned int length = 0;
    EVP_DigestFinal_ex(m_context.get(), digest.data(), &length);
    return digest;
}

std::string Sha256::FinishHex() {
    static const char kHex[] = "0123456789abcdef";
    std::string out;
    out.reserve(64);
    for (const std::uint8_t byte : Finish()) {
        out += kHex[byte >> 4];
        out += kHex[byte & 0x0F];
    }
    return out;
}

std::string Sha256Hex(std::string_view data) {
    Sha256 hash;
    hash.Update(data.data(), data.size());
    return hash.FinishHex();
}

std::optional<FileDigest> DigestDescriptor(int fd, const std::string& name, std::string* error,
                                           const std::function<bool()>& stopRequested) {
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        Fail(error, name, std::strerror(errno));
        return std::nullopt;
    }
    if (!S_ISREG(st.st_mode)) {
        Fail(error, name, "not a regular file");
        return std::nullopt;
    }
    const off_t offset = ::lseek(fd, 0, SEEK_CUR);
    // The bytes a stable file still holds: reading more means it is growing,
    // and hashing a file that is being written proves nothing.
    const long long expected = offset < 0 ? st.st_size : st.st_size - offset;
    const std::unique_ptr<std::uint8_t[]> buffer(new std::uint8_t[kChunkSize]);
    ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    Sha256 hash;
    FileDigest digest;
    for (;;) {
        if (stopRequested && stopRequested()) {
            Fail(error, name, "stopped on request");
            return std::nullopt;
        }
        const ssize_t n = ::read(fd, buffer.get(), kChunkSize);
        if (n == 0) break;
        if (n < 0) {
            if (errno == EINTR) continue;
            Fail(error, name, std::strerror(errno));
            return std::nullopt;
        }
        digest.size += n;
        if (digest.size > expected) {
            Fail(error, name, "the file grew while it was being read");
            return std::nullopt;
        }
        hash.Update(buffer.get(), static_cast<std::size_t>(n));
    }
    if (digest.size < expected) {
        Fail(error, name, "the file shrank while it was being read");
        return std::nullopt;
    }
    digest.sha256 = hash.FinishHex();
    return digest;
}

std::optional<FileDigest> DigestFile(const std::string& path, std::string* error) {
    const platform::RegularFile file = platform::open_regular(path, platform::no_cap);
    if (file.refusal == platform::FileRefusal::not_regular) {
        Fail(error, path, "not a regular file");
        return std::nullopt;
    }
    if (!file) {
        Fail(error, path, std::strerror(file.error));
        return std::nullopt;
    }
    return DigestDescriptor(file.fd.get(), path, error);
}

}  // namespace workflow
