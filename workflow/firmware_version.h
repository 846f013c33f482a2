// Firmware versions as dotted numbers ("2.5.0"), and the version a release's
// configuration file gives an image. Only plain dotted numbers are versions:
// "2.5.0-rc1", "A.02" or "v2" are not, and nothing is compared then.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace workflow {

struct FirmwareVersion {
    std::vector<unsigned long> m_parts;  // 1 to 8 numbers, each of at most 9 digits
};

// The version `text` spells, or nothing when it is not a dotted number
// (blanks around it are allowed, nothing else).
std::optional<FirmwareVersion> ParseFirmwareVersion(std::string_view text);

// <0, 0 or >0 as `a` is older than, the same as or newer than `b`; missing
// trailing parts count as 0, so that 2.5 and 2.5.0 are the same.
int CompareFirmwareVersions(const FirmwareVersion& a, const FirmwareVersion& b);

// The version a configuration line gives its image: the word after the
// identifier and a blank ("HPAP 2.5.0", "HPAP\t2.5.0 vxWorks_rom.bin"), when
// it is a version. Nothing for a line of another image, without such a word,
// or whose word is no version.
std::optional<std::string> ConfigLineVersion(const std::string& line, const char* id);

// The version the configuration text gives image `id`: every line of the
// image that names a version must name the same one. Nothing when none does
// or when they differ.
std::optional<std::string> ReleaseImageVersion(const std::string& configText, const char* id);

// Whether an instrument that reports `firmware` already runs `release`:
// true or false when both are versions, nothing when either is not.
std::optional<bool> FirmwareIsCurrent(const std::string& firmware, const std::string& release);

}  // namespace workflow
