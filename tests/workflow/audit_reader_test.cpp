// Reading the audit trail from its end, across the reader's blocks.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "workflow/audit_reader.h"

namespace {

using namespace workflow;
namespace fs = std::filesystem;

class AuditReaderTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/audit-reader-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        m_dir = pattern;
        m_log = (m_dir / "audit.jsonl").string();
    }
    void TearDown() override { fs::remove_all(m_dir); }

    void Write(const std::string& text) { std::ofstream(m_log, std::ios::binary) << text; }

    // The "n" of each record handed over, newest first, taking at most `most`.
    std::vector<long long> Read(std::size_t most = 0, std::uint64_t maxBytes = 0) {
        std::vector<long long> seen;
        std::string error;
        m_problems.clear();
        EXPECT_TRUE(ReadAuditLogBackward(
            m_log,
            [&](Json record) {
                seen.push_back(IntegerOf(record, "n"));
                return most == 0 || seen.size() < most;
            },
            m_problems, error, maxBytes))
            << error;
        return seen;
    }

    fs::path m_dir;
    std::string m_log;
    std::vector<std::string> m_problems;
};

// Lines that straddle the reader's blocks, a line too long to be a record,
// garbage, a last line without its line feed, and a stop on request.
TEST_F(AuditReaderTest, NewestFirstAcrossBlocks) {
    std::string text;
    const std::string pad(40000, 'p');  // about two lines to a 64 KiB block
    for (int n = 1; n <= 9; ++n)
        text += "{\"n\":" + std::to_string(n) + ",\"pad\":\"" + pad + "\"}\n";
    text += "not json\n\n";
    text += "{\"n\":10,\"pad\":\"" + std::string(kMaxAuditLine, 'x') + "\"}\n";
    text += "{\"n\":11}";
    Write(text);
    EXPECT_EQ(Read(), (std::vector<long long>{11, 9, 8, 7, 6, 5, 4, 3, 2, 1}));
    ASSERT_EQ(m_problems.size(), 2u);
    EXPECT_EQ(m_problems[0], "line 2 from the end: longer than 1 MiB, skipped");
    EXPECT_EQ(m_problems[1].rfind("line 4 from the end: ", 0), 0u) << m_problems[1];

    EXPECT_EQ(Read(3), (std::vector<long long>{11, 9, 8}));
    // A bound on what is read: the line it cuts is no record.
    const std::uint64_t bound = 2 * (pad.size() + 20) + kMaxAuditLine + 100;
    const std::vector<long long> bounded = Read(0, bound);
    EXPECT_EQ(bounded, (std::vector<long long>{11, 9, 8}));
    EXPECT_EQ(m_problems.back(), "only the last 1 MiB of the log were read");

    Write("");
    EXPECT_TRUE(Read().empty());
    fs::remove(m_log);
    EXPECT_TRUE(Read().empty());
}

}  // namespace
