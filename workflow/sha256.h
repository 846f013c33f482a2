// SHA-256 (FIPS 180-4), for recording exactly which image file was written.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

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
    void Block(const std::uint8_t* block);

    std::array<std::uint32_t, 8> m_state;
    std::array<std::uint8_t, 64> m_buffer{};
    std::size_t m_buffered = 0;
    std::uint64_t m_length = 0;
};

std::string Sha256Hex(std::string_view data);

// Size and SHA-256 of a file, read once from start to end.
struct FileDigest {
    long long size = 0;
    std::string sha256;
};
// Nothing, with the reason in `error` ("<path>: <system error>"), when the
// file cannot be opened or read.
std::optional<FileDigest> DigestFile(const std::string& path, std::string* error = nullptr);

}  // namespace workflow
