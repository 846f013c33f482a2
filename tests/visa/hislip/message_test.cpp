#include "visa/hislip/message.h"

#include <gtest/gtest.h>

#include <string>

namespace visa::hislip {
namespace {

std::string header(Type type, uint8_t control, uint32_t param, uint64_t length) {
    uint8_t raw[header_size];
    encode_header(Header{type, control, param, length}, raw);
    return std::string(reinterpret_cast<char*>(raw), header_size);
}

TEST(HislipMessage, HeaderIsBigEndianAfterTheHsPrologue) {
    const std::string h = header(Type::data_end, 1, 0xFFFFFF02u, 0x0102030405060708ull);
    EXPECT_EQ(h, std::string("HS\x07\x01\xFF\xFF\xFF\x02\x01\x02\x03\x04\x05\x06\x07\x08", 16));
    Header out;
    ASSERT_TRUE(decode_header(reinterpret_cast<const uint8_t*>(h.data()), &out));
    EXPECT_EQ(out.type, Type::data_end);
    EXPECT_EQ(out.control, 1);
    EXPECT_EQ(out.param, 0xFFFFFF02u);
    EXPECT_EQ(out.length, 0x0102030405060708ull);
    const std::string bad = "HT" + h.substr(2);
    EXPECT_FALSE(decode_header(reinterpret_cast<const uint8_t*>(bad.data()), &out));

    EXPECT_EQ(
        encode(Header{Type::initialize, 0, initialize_param(version_1_1, client_vendor_id), 99},
               "hislip0"),
        std::string("HS\x00\x00\x01\x01"
                    "FW"
                    "\x00\x00\x00\x00\x00\x00\x00\x07"
                    "hislip0",
                    23))
        << "the length comes from the payload";
    uint64_t size = 0;
    EXPECT_TRUE(decode_size(encode_size(1048576), &size));
    EXPECT_EQ(size, 1048576u);
    EXPECT_FALSE(decode_size("1234567", &size));
    EXPECT_FALSE(decode_size("123456789", &size));
    EXPECT_EQ(next_message_id(0xFFFFFFFEu), 0u) << "ids wrap";
    EXPECT_EQ(type_name(7), "DataEND");
    EXPECT_EQ(type_name(200), "type 200");
}

// Feeds `stream` in pieces of `step` bytes and collects what the decoder
// makes of it: "<type>:<payload>" per message, data payloads joined.
std::string decode_all(const std::string& stream, size_t step, size_t max_control = 64) {
    Decoder d(max_control);
    std::string out;
    for (size_t at = 0; at < stream.size(); at += step) {
        d.feed(stream.data() + at, std::min(step, stream.size() - at));
        for (;;) {
            if (d.data_left() > 0) {
                std::string_view piece = d.peek(3);  // small pieces on purpose
                if (piece.empty()) break;
                out += piece;
                d.consume(piece.size());
                if (d.data_left() == 0) out += "]";
                continue;
            }
            Header h;
            const auto st = d.next(&h);
            if (st == Decoder::Status::need_more) break;
            if (st == Decoder::Status::bad_header) return out + "!bad";
            out += type_name(uint8_t(h.type));
            if (st == Decoder::Status::too_large) out += "(dropped)";
            if (st == Decoder::Status::message) out += ":" + std::string(d.payload()) + " ";
            if (st == Decoder::Status::data) out += h.length == 0 ? "[] " : "[";
        }
    }
    return out;
}

TEST(HislipMessage, DecoderFramesAStreamWhateverTheReadBoundaries) {
    const std::string stream = encode(Header{Type::error, 4, 0, 0}, "too large") +
                               header(Type::data, 0, 1, 10) + "0123456789" +
                               encode(Header{Type::interrupted, 0, 3, 0}) +
                               encode(Header{Type::data_end, 0, 3, 0}) +
                               encode(Header{Type::async_lock_response, 1, 0, 0});
    const std::string expected =
        "Error:too large Data[0123456789]Interrupted: DataEND[] AsyncLockResponse: ";
    for (size_t step : {size_t{1}, size_t{7}, size_t{16}, stream.size()}) {
        SCOPED_TRACE(step);
        EXPECT_EQ(decode_all(stream, step), expected);
    }
}

TEST(HislipMessage, HostileLengthsAreNeverBufferedAndGarbageStopsTheStream) {
    // A control message longer than the limit is dropped as it arrives,
    // however it is cut; the next message is still found.
    const std::string long_error = header(Type::error, 0, 0, 100) + std::string(100, 'x') +
                                   encode(Header{Type::fatal_error, 1, 0, 0}, "bye");
    for (size_t step : {size_t{1}, size_t{50}, long_error.size()})
        EXPECT_EQ(decode_all(long_error, step), "Error(dropped)FatalError:bye ");

    // A length of 2^64-1 costs nothing until bytes arrive.
    Decoder d(64);
    const std::string huge = header(Type::fatal_error, 0, 0, ~uint64_t{0});
    d.feed(huge.data(), huge.size());
    Header h;
    EXPECT_EQ(d.next(&h), Decoder::Status::too_large);
    d.feed("garbage", 7);
    EXPECT_EQ(d.next(&h), Decoder::Status::need_more);
    EXPECT_EQ(d.buffered(), 0u);
    const std::string data = header(Type::data, 0, 0, ~uint64_t{0});
    Decoder e(64);
    e.feed(data.data(), data.size());
    EXPECT_EQ(e.next(&h), Decoder::Status::data);
    EXPECT_EQ(e.data_left(), ~uint64_t{0});
    EXPECT_TRUE(e.peek(1 << 20).empty());
    e.drop_data();
    e.feed("abc", 3);
    EXPECT_EQ(e.buffered(), 0u) << "dropped data is discarded as it comes";

    EXPECT_EQ(decode_all(encode(Header{Type::data_end, 0, 0, 0}) + "GET / HTTP/1.0\r\n\r\n", 5),
              "DataEND[] !bad");
}

}  // namespace
}  // namespace visa::hislip
