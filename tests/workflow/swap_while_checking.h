// An observer that swaps an image for another file while the run is still
// checking it (the run asks StopRequested between the pieces it reads), and
// keeps the digest the run reports for the bytes it sent.
#pragma once

#include <filesystem>
#include <fstream>
#include <string>
#include <utility>

#include "workflow/upgrade.h"

class SwapWhileChecking : public workflow::UpgradeObserver {
public:
    SwapWhileChecking(std::filesystem::path file, std::string replacement)
        : m_file(std::move(file)), m_replacement(std::move(replacement)) {}
    bool StopRequested() override {
        if (!m_swapped) {
            const std::filesystem::path next = m_file.string() + ".new";
            std::ofstream(next, std::ios::binary) << m_replacement;
            std::filesystem::rename(next, m_file);
            m_swapped = true;
        }
        return false;
    }
    void OnImageDone(const workflow::ImageEvent& event) override { m_sent = event.m_sentSha256; }

    std::filesystem::path m_file;
    std::string m_replacement;
    bool m_swapped = false;
    std::string m_sent;
};
