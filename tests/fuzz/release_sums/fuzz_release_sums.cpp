// A release's SHA256SUMS and an armored signature or key, as anyone who can
// write to a release folder could make them. A listed path must stay inside
// the release folder and its digest must be 64 lower-case hex digits.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <string>

#include "workflow/release_verify.h"

namespace {

bool inside_release(const std::string& path) {
    if (path.empty() || path.front() == '/') return false;
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find('/', start);
        if (end == std::string::npos) end = path.size();
        const std::string part = path.substr(start, end - start);
        if (part.empty() || part == "." || part == "..") return false;
        start = end + 1;
    }
    return true;
}

bool lower_hex(const std::string& digest) {
    if (digest.size() != 64) return false;
    for (char c : digest)
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    std::map<std::string, std::string> sums;
    std::string why;
    if (workflow::ParseSha256Sums(text, sums, why)) {
        for (const auto& [path, digest] : sums)
            if (!inside_release(path) || !lower_hex(digest)) std::abort();
    } else if (why.empty()) {
        std::abort();
    }
    std::string binary;
    // Base64 never grows: the packets are shorter than their armour.
    if (workflow::DearmorOpenPgp(text, binary) && binary.size() > size) std::abort();
    return 0;
}
