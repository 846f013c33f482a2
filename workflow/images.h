// The four firmware images a release can offer and a run can write.
#pragma once

#include <array>

namespace workflow {

// One flag per image, 0 or 1: after a Browse, whether the release offers the
// image; at the start of a run, whether the operator ticked it.
struct ImageChoice {
    int m_host = 0;
    int m_recovery = 0;
    int m_bootRom = 0;
    int m_ubl = 0;
};

// One image: its four-letter identifier (a key of the release's
// configuration file and the image name sent to the instrument), the file
// under the release directory (empty for the Host application, whose name
// identification gives), the text the run's log shows before its result,
// and the name people know it by.
struct ImageInfo {
    const char* m_id;
    const char* m_file;
    const char* m_logText;
    int ImageChoice::*m_flag;
    const char* m_name;
};

// In the order a run writes them.
inline constexpr std::array<ImageInfo, 4> kImages = {{
    {"HPAP", "", "Host Application upgrade...", &ImageChoice::m_host, "Host Application"},
    {"HREC", "host/RecoveryApp.bin", "Host Recovery Application upgrade...",
     &ImageChoice::m_recovery, "Host Recovery Application"},
    {"HBRM", "host/bootrom.bin", "Host BootROM upgrade...", &ImageChoice::m_bootRom,
     "Host BootROM"},
    {"HUBL", "host/ubl-nor-ais.bin", "Host UBL upgrade...", &ImageChoice::m_ubl, "Host UBL"},
}};

// Folder of the images under the release directory; the Host application's
// file name is appended to it.
inline constexpr const char* kImageFolder = "host/";

}  // namespace workflow
