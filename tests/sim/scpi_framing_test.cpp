#include "scpi_framing.h"

#include <gtest/gtest.h>

namespace sim {
namespace {

// Feeds `data` in pieces of `piece` bytes, END on the last byte if asked,
// calling again after each message as callers must.
std::vector<ProgramMessage> split(MessageSplitter& s, std::string_view data, std::size_t piece,
                                  bool end) {
    std::vector<ProgramMessage> out;
    std::size_t at = 0;
    do {
        const std::string_view chunk = data.substr(at, piece);
        at += chunk.size();
        std::size_t pos = 0;
        do {
            pos += s.feed(chunk.substr(pos), end && at == data.size(), out).consumed;
        } while (pos < chunk.size());
    } while (at < data.size());
    return out;
}

std::string block_message(std::string_view data) {
    const std::string len = std::to_string(data.size());
    return "DIAG:UPD:BLOC? #" + std::to_string(len.size()) + len + std::string(data);
}

TEST(MessageSplitter, EndsAtLineFeedOrEnd) {
    MessageSplitter s;
    auto m = split(s, "*cls\nDIAG:UPD:STARt\n", 100, false);
    ASSERT_EQ(m.size(), 2u);
    EXPECT_EQ(m[0].bytes, "*cls");
    EXPECT_EQ(m[1].bytes, "DIAG:UPD:STARt");

    m = split(s, "*IDN?", 100, true);  // END alone ends it
    ASSERT_EQ(m.size(), 1u);
    EXPECT_EQ(m[0].bytes, "*IDN?");

    m = split(s, "*IDN?\n", 100, true);  // LF and END together: one message
    EXPECT_EQ(m.size(), 1u);

    m = split(s, "*IDN", 100, false);  // neither: nothing yet
    EXPECT_TRUE(m.empty());
    EXPECT_FALSE(s.idle());
}

TEST(MessageSplitter, BlockDataIsCountedNotScanned) {
    // LF, NUL, '#', ';' and quotes inside the data.
    std::string data = "ab\ncd";
    data += '\0';
    data += "ef#15\"x;\n";
    data += '\0';
    data += '\n';
    const std::string block = block_message(data);
    const std::string message = block + "\n";
    const std::string transcript = "DIAG:UPD:BLOC? #217<17 bytes>";
    for (std::size_t piece : {1u, 2u, 7u, 4096u}) {
        MessageSplitter s;
        const auto m = split(s, message, piece, false);
        ASSERT_EQ(m.size(), 1u) << "piece " << piece;
        EXPECT_EQ(m[0].bytes, block) << "piece " << piece;
        EXPECT_EQ(m[0].transcript, transcript) << "piece " << piece;
        EXPECT_TRUE(s.idle());
    }
    // A write flagged END that stops anywhere inside the block data does not
    // end the message (a client that sets END too early).
    for (std::size_t cut = block.size() - data.size(); cut < block.size(); ++cut) {
        MessageSplitter s;
        std::vector<ProgramMessage> out;
        s.feed(std::string_view(message).substr(0, cut), true, out);
        EXPECT_TRUE(out.empty()) << "cut " << cut;
        const auto rest = split(s, std::string_view(message).substr(cut), 4096, true);
        ASSERT_EQ(rest.size(), 1u) << "cut " << cut;
        EXPECT_EQ(rest[0].bytes, block) << "cut " << cut;
    }
}

TEST(MessageSplitter, HeaderDigitCountsAndOddHeaders) {
    for (std::size_t n : {9u, 10u, 99999u, 100000u}) {
        MessageSplitter s;
        const std::string data(n, '\n');
        const auto m = split(s, block_message(data) + "\n", 4096, false);
        ASSERT_EQ(m.size(), 1u) << n;
        EXPECT_EQ(m[0].bytes.size(), block_message(data).size()) << n;
    }
    MessageSplitter s;
    // "#0" (indefinite length) and a '#' inside a string do not open a block.
    auto m = split(s, "X #0ab\nY \"#9\"\n", 100, false);
    ASSERT_EQ(m.size(), 2u);
    EXPECT_EQ(m[1].bytes, "Y \"#9\"");
    // A header cut short by LF ends the message there.
    m = split(s, "DIAG:UPD:BLOC? #5100\n", 100, false);
    ASSERT_EQ(m.size(), 1u);
}

TEST(MessageSplitter, OverflowKeepsFramingButNotTheData) {
    MessageSplitter s(64);
    const std::string data(1000, '\n');
    const auto m = split(s, block_message(data) + "\n*IDN?\n", 100, false);
    ASSERT_EQ(m.size(), 2u);
    EXPECT_TRUE(m[0].overflow);
    EXPECT_LE(m[0].bytes.size(), 64u);
    EXPECT_EQ(m[0].transcript, "DIAG:UPD:BLOC? #41000<1000 bytes>");
    EXPECT_FALSE(m[1].overflow);
    EXPECT_EQ(m[1].bytes, "*IDN?");
}

TEST(MessageSplitter, BlockThresholdStopsInsideTheBlock) {
    MessageSplitter s;
    s.set_block_threshold(5);
    std::vector<ProgramMessage> out;
    const std::string message = block_message("0123456789") + "\n";
    const auto r = s.feed(message, false, out);
    EXPECT_TRUE(r.block_threshold_hit);
    EXPECT_EQ(r.consumed, message.size() - 1 - 10 + 5);
    EXPECT_TRUE(out.empty());
    EXPECT_EQ(s.partial_transcript(), "DIAG:UPD:BLOC? #210<5 of 10 bytes>");
    s.reset();
    EXPECT_TRUE(s.idle());
}

TEST(MessageSplitter, TranscriptEscapesControlBytes) {
    MessageSplitter s;
    const auto m = split(s, std::string("*IDN?\r\x01\\\n"), 100, false);
    ASSERT_EQ(m.size(), 1u);
    EXPECT_EQ(m[0].transcript, "*IDN?\\x0d\\x01\\\\");
}

TEST(Blocks, ParseAndSplitUnits) {
    ASSERT_TRUE(parse_block("#15HELLO"));
    EXPECT_EQ(parse_block("#15HELLO")->data, "HELLO");
    EXPECT_EQ(parse_block("#15HELLO \r")->data, "HELLO");
    ASSERT_TRUE(parse_block("#10"));
    EXPECT_EQ(parse_block("#10")->data, "");
    EXPECT_FALSE(parse_block("#100"));  // one byte more than announced
    for (const char* bad : {"", "#", "#0abc", "#15HELL", "#15HELLOX", "#2a5HELLO", "15HELLO"}) {
        EXPECT_FALSE(parse_block(bad)) << bad;
    }
    const auto units = split_units("*cls;:SYST:ERR?;X \"a;b\";B #13;;;");
    ASSERT_EQ(units.size(), 4u);
    EXPECT_EQ(units[2], "X \"a;b\"");
    EXPECT_EQ(units[3], "B #13;;;");
}

}  // namespace
}  // namespace sim
