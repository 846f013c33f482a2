// settings.conf as the user (or anything running as the user) left it. Any
// text must open; a value written through a key must read back as written,
// and every other key's values must read back as before.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>

#include "platform/settings.h"
#include "tests/fuzz/scratch_file.h"

namespace {

constexpr const char* kKey = "HKEY_LOCAL_MACHINE\\SOFTWARE\\Fuzz";
constexpr const char* kOther = "HKEY_LOCAL_MACHINE\\SOFTWARE\\Other";
constexpr std::size_t kMax = 4096;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string path = fuzz::write_scratch("settings.conf", data, size);
    platform::KeyDisposition disposition{};
    std::string error;
    auto other = platform::SettingsKey::create_or_open(path, kOther, &disposition, &error);
    if (!other) return 0;
    const std::optional<std::string> before = other->query_value("ReleaseDirectory", kMax);

    auto key = platform::SettingsKey::create_or_open(path, kKey, &disposition, &error);
    if (!key) std::abort();
    // A value with every character the file has to escape.
    const std::string value(" \\ line\nend\r\t ");
    if (!key->set_value("ReleaseDirectory", value, &error)) std::abort();

    auto again = platform::SettingsKey::create_or_open(path, kKey, &disposition, &error);
    if (!again || disposition != platform::KeyDisposition::opened_existing_key) std::abort();
    if (again->query_value("ReleaseDirectory", kMax) != value) std::abort();
    auto other_again = platform::SettingsKey::create_or_open(path, kOther, &disposition, &error);
    if (!other_again || other_again->query_value("ReleaseDirectory", kMax) != before) std::abort();
    return 0;
}
