#include "visa/vxi11/portmap.h"

#include <gtest/gtest.h>

#include "visa/vxi11/rpc_wire.h"

namespace visa::vxi11 {
namespace {

using rpc::RecordResult;
using rpc::take_record;

std::vector<uint8_t> words(std::initializer_list<uint32_t> ws) {
    std::vector<uint8_t> out;
    for (uint32_t w : ws) {
        out.push_back(uint8_t(w >> 24));
        out.push_back(uint8_t(w >> 16));
        out.push_back(uint8_t(w >> 8));
        out.push_back(uint8_t(w));
    }
    return out;
}

TEST(Portmap, CallIsTheKnownRecord) {
    auto call = getport_call(0x3E8, 0x0607AF, 1);
    EXPECT_EQ(call, words({0x80000038, 0x3E8, 0, 2, 100000, 2, 3, 0, 0, 0, 0, 0x0607AF, 1, 6, 0}));
}

TEST(Portmap, RecordMarking) {
    std::vector<uint8_t> body;
    size_t used = 0;
    // Two fragments, then trailing bytes of the next record.
    auto data = words({0x00000004, 0xAABBCCDD, 0x80000004, 0x11223344, 0x80000000});
    ASSERT_EQ(take_record(data.data(), data.size(), 64, &body, &used), RecordResult::complete);
    EXPECT_EQ(used, 16u);
    EXPECT_EQ(body, words({0xAABBCCDD, 0x11223344}));
    // Incomplete, oversize, and endless empty fragments.
    EXPECT_EQ(take_record(data.data(), 10, 64, &body, &used), RecordResult::need_more);
    auto big = words({0x80001000});
    EXPECT_EQ(take_record(big.data(), big.size(), 64, &body, &used), RecordResult::bad);
    std::vector<uint8_t> empties;
    for (int i = 0; i < 20; ++i)
        empties.insert(empties.end(), {0, 0, 0, 0});
    EXPECT_EQ(take_record(empties.data(), empties.size(), 64, &body, &used), RecordResult::bad);
}

TEST(Portmap, Replies) {
    uint16_t port = 1;
    auto ok = words({7, 1, 0, 0, 0, 0, 1024});
    EXPECT_EQ(parse_getport_reply(ok.data(), ok.size(), 7, &port), ReplyResult::port);
    EXPECT_EQ(port, 1024);
    auto padded = words({7, 1, 0, 0, 4, 0xFFFFFFFF, 0, 0, 0});  // verifier body, trailing pad
    EXPECT_EQ(parse_getport_reply(padded.data(), padded.size(), 7, &port), ReplyResult::port);
    EXPECT_EQ(port, 0);
    EXPECT_EQ(parse_getport_reply(ok.data(), ok.size(), 8, &port), ReplyResult::other_xid);
    auto denied = words({7, 1, 1, 0, 2, 2});
    EXPECT_EQ(parse_getport_reply(denied.data(), denied.size(), 7, &port), ReplyResult::refused);
    auto unavailable = words({7, 1, 0, 0, 0, 1});
    EXPECT_EQ(parse_getport_reply(unavailable.data(), unavailable.size(), 7, &port),
              ReplyResult::refused);
    auto huge_port = words({7, 1, 0, 0, 0, 0, 70000});
    EXPECT_EQ(parse_getport_reply(huge_port.data(), huge_port.size(), 7, &port), ReplyResult::bad);
    auto lying_verifier = words({7, 1, 0, 0, 0x7FFFFFFF, 0});
    EXPECT_EQ(parse_getport_reply(lying_verifier.data(), lying_verifier.size(), 7, &port),
              ReplyResult::bad);
    for (size_t cut = 0; cut < ok.size(); ++cut)
        EXPECT_EQ(parse_getport_reply(ok.data(), cut, 7, &port), ReplyResult::bad) << cut;
}

}  // namespace
}  // namespace visa::vxi11
