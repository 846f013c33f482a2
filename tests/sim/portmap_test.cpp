#include "portmap.h"

#include <gtest/gtest.h>

#include "visa/vxi11/rpc_wire.h"

namespace sim {
namespace {

std::string pmap_call(std::uint32_t vers, std::uint32_t proc,
                      std::initializer_list<std::uint32_t> args = {}) {
    std::string m;
    for (std::uint32_t w : {0x1234u, 0u, 2u, 100000u, vers, proc, 0u, 0u, 0u, 0u})
        rpc::put_u32(m, w);
    for (std::uint32_t w : args)
        rpc::put_u32(m, w);
    return m;
}

void put_string(std::string& m, std::string_view s) {
    rpc::put_u32(m, static_cast<std::uint32_t>(s.size()));
    m += s;
    m.append((4 - s.size() % 4) % 4, '\0');
}

const PortmapInfo info{"127.0.0.42", 0x1234, 111};

TEST(Portmap, GetportVersion2) {
    auto r = answer_portmap(pmap_call(2, 3, {0x0607AF, 1, 6, 0}), info);
    ASSERT_TRUE(r);
    ASSERT_EQ(r->size(), 28u);
    EXPECT_EQ(rpc::get_u32(*r, 0), 0x1234u);  // xid echoed
    EXPECT_EQ(rpc::get_u32(*r, 20), rpc::success);
    EXPECT_EQ(rpc::get_u32(*r, 24), 0x1234u);
    for (auto args : {std::initializer_list<std::uint32_t>{0x0607AF, 1, 17, 0},  // UDP: not served
                      std::initializer_list<std::uint32_t>{0x0607AF, 2, 6, 0},
                      std::initializer_list<std::uint32_t>{0x0607B0, 1, 6, 0}}) {
        r = answer_portmap(pmap_call(2, 3, args), info);
        ASSERT_TRUE(r);
        EXPECT_EQ(rpc::get_u32(*r, 24), 0u);
    }
    r = answer_portmap(pmap_call(2, 3, {0x0607AF}), info);  // truncated arguments
    EXPECT_EQ(rpc::get_u32(*r, 20), rpc::garbage_args);
}

TEST(Portmap, GetaddrVersions3And4) {
    for (std::uint32_t vers : {3u, 4u}) {
        std::string m = pmap_call(vers, 3, {0x0607AF, 1});
        put_string(m, "tcp");
        put_string(m, "");
        put_string(m, "me");
        auto r = answer_portmap(m, info);
        ASSERT_TRUE(r);
        EXPECT_EQ(rpc::get_u32(*r, 20), rpc::success);
        const std::string expected = "127.0.0.42.18.52";
        EXPECT_EQ(universal_address("127.0.0.42", 0x1234), expected);
        EXPECT_EQ(rpc::get_u32(*r, 24), expected.size());
        EXPECT_EQ(r->substr(28, expected.size()), expected);

        m = pmap_call(vers, 3, {0x0607AF, 1});
        put_string(m, "udp");
        put_string(m, "");
        put_string(m, "");
        r = answer_portmap(m, info);
        EXPECT_EQ(rpc::get_u32(*r, 24), 0u);  // empty: not registered
    }
}

TEST(Portmap, WrongProgramVersionOrMessage) {
    std::string m;
    for (std::uint32_t w : {1u, 0u, 2u, 100003u, 2u, 0u, 0u, 0u, 0u, 0u})
        rpc::put_u32(m, w);
    EXPECT_EQ(rpc::get_u32(*answer_portmap(m, info), 20), rpc::prog_unavail);
    auto r = answer_portmap(pmap_call(5, 3), info);
    EXPECT_EQ(rpc::get_u32(*r, 20), rpc::prog_mismatch);
    EXPECT_EQ(rpc::get_u32(*r, 24), 2u);
    EXPECT_EQ(rpc::get_u32(*r, 28), 4u);
    EXPECT_EQ(rpc::get_u32(*answer_portmap(pmap_call(2, 1, {1, 1, 6, 99}), info), 24),
              0u);  // SET refused
    std::string reply = pmap_call(2, 0);
    reply[7] = 1;  // a reply, not a call
    EXPECT_FALSE(answer_portmap(reply, info));
    EXPECT_FALSE(answer_portmap("abc", info));
    std::string huge_cred = pmap_call(2, 0);
    huge_cred[28] = 0x7f;  // credential length far beyond the message
    EXPECT_FALSE(answer_portmap(huge_cred, info));
}

TEST(RecordReader, FragmentsAcrossReadsAndOversizedRecords) {
    std::string stream;
    rpc::put_u32(stream, 3);  // not last
    stream += "abc";
    rpc::put_u32(stream, 0x80000002u);
    stream += "de";
    stream += rpc::frame_record("next");
    rpc::RecordReader reader(16);
    std::string in, record;
    std::vector<std::string> records;
    for (char c : stream) {  // one byte at a time
        in += c;
        if (reader.next(in, record) == rpc::RecordReader::Status::record) records.push_back(record);
    }
    EXPECT_EQ(records, (std::vector<std::string>{"abcde", "next"}));
    EXPECT_TRUE(reader.idle());

    in.clear();
    rpc::put_u32(in, 0x80000000u | 17u);
    EXPECT_EQ(reader.next(in, record), rpc::RecordReader::Status::too_large);
}

}  // namespace
}  // namespace sim
