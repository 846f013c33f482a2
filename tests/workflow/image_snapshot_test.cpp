// The copy an image is sent from: the bytes hashed, kept where writing the
// release's file (or the copy) changes nothing, and a file written while it
// is read refused.
#include "workflow/image_snapshot.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "workflow/sha256.h"

namespace {

namespace fs = std::filesystem;
using workflow::ImageSnapshot;

class ImageSnapshotTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_path = fs::temp_directory_path() / ("fw-snapshot-" + std::to_string(::getpid()));
        // Not a whole number of the pieces it is read in.
        for (std::size_t i = 0; i < (5u << 20) + 4321; ++i)
            m_image += static_cast<char>(i * 7 + i / 65537);
        std::ofstream(m_path, std::ios::binary) << m_image;
    }
    void TearDown() override { fs::remove(m_path); }

    std::unique_ptr<ImageSnapshot> Take(std::string& why, const std::function<bool()>& stop = {},
                                        long long memoryMax = workflow::kSnapshotMemoryMax) {
        const int fd = ::open(m_path.c_str(), O_RDONLY | O_CLOEXEC);
        struct stat st {};
        ::fstat(fd, &st);
        std::unique_ptr<ImageSnapshot> snapshot = ImageSnapshot::Take(fd, st, why, stop, memoryMax);
        ::close(fd);
        return snapshot;
    }
    static std::string ReadAll(int fd) {
        std::string content;
        char buffer[65536];
        for (ssize_t n; (n = ::read(fd, buffer, sizeof buffer)) > 0;)
            content.append(buffer, static_cast<std::size_t>(n));
        ::close(fd);
        return content;
    }

    fs::path m_path;
    std::string m_image;
};

TEST_F(ImageSnapshotTest, KeepsTheBytesHashedWhateverHappensToTheFileOrTheCopy) {
    // In memory and sealed, and (as a large image would be) on disk.
    for (const long long memoryMax : {workflow::kSnapshotMemoryMax, 1ll << 20}) {
        std::string why;
        const std::unique_ptr<ImageSnapshot> snapshot = Take(why, {}, memoryMax);
        ASSERT_TRUE(snapshot) << why;
        // Without a temporary directory on disk, memory holds it all the same.
        if (memoryMax == workflow::kSnapshotMemoryMax) {
            EXPECT_TRUE(snapshot->InMemory());
        }
        EXPECT_EQ(snapshot->Size(), static_cast<long long>(m_image.size()));
        EXPECT_EQ(snapshot->Sha256(), workflow::Sha256Hex(m_image));

        std::ofstream(m_path, std::ios::binary | std::ios::in) << "overwritten in place";
        const int fd = snapshot->OpenForReading();
        ASSERT_GE(fd, 0);
        if (snapshot->InMemory()) {
            // Sealed: not even the descriptor it is read from can write it.
            EXPECT_EQ(::pwrite(fd, "x", 1, 0), -1);
            EXPECT_EQ(::ftruncate(fd, 1), -1);
        } else {
            // The file on disk cannot be sealed: a write is caught instead.
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            const int writer = ::open(("/proc/self/fd/" + std::to_string(fd)).c_str(), O_WRONLY);
            ASSERT_GE(writer, 0);
            ASSERT_EQ(::pwrite(writer, "x", 1, 0), 1);
            ::close(writer);
            ::close(fd);
            EXPECT_EQ(snapshot->OpenForReading(), -1);
            std::ofstream(m_path, std::ios::binary) << m_image;
            continue;
        }
        EXPECT_EQ(ReadAll(fd), m_image);
        std::ofstream(m_path, std::ios::binary) << m_image;
    }
}

TEST_F(ImageSnapshotTest, AFileWrittenWhileItIsReadIsRefusedAndAStopEndsIt) {
    // Asked between pieces: each change lands while the file is still read.
    const std::vector<std::function<void()>> changes = {
        [&] { std::ofstream(m_path, std::ios::binary | std::ios::app) << "grown"; },
        [&] { fs::resize_file(m_path, 1 << 20); },
        [&] { std::ofstream(m_path, std::ios::binary | std::ios::in) << "same size"; },
    };
    for (const auto& change : changes) {
        std::ofstream(m_path, std::ios::binary) << m_image;
        // The change must not share the file's last modification time.
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        bool changed = false;
        std::string why;
        EXPECT_FALSE(Take(why, [&] {
            if (!changed) change();
            changed = true;
            return false;
        }));
        EXPECT_EQ(why, "changed while it was being checked");
    }
    std::ofstream(m_path, std::ios::binary) << m_image;
    std::string why;
    EXPECT_FALSE(Take(why, [] { return true; }));
    EXPECT_EQ(why, "stopped");
}

}  // namespace
