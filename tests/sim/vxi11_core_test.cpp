#include "vxi11_core.h"

#include <cstring>
#include <functional>
#include <vector>

#include <gtest/gtest.h>
#include <rpc/rpc.h>

#include "visa/vxi11/rpc_wire.h"
#include "vxi11.h"

namespace sim {

namespace rpc = visa::vxi11::rpc;
namespace {

using std::chrono::milliseconds;

constexpr std::int32_t waitlock = 0x01;
constexpr std::int32_t end_flag = 0x08;
constexpr std::int32_t termchar_flag = 0x80;

std::string call_header(std::uint32_t xid, std::uint32_t proc, std::uint32_t prog = 0x0607AF) {
    std::string h;
    for (std::uint32_t w : {xid, 0u, 2u, prog, 1u, proc, 0u, 0u, 0u, 0u})
        rpc::put_u32(h, w);
    return h;
}

template <class T>
std::string call(std::uint32_t proc, bool_t (*fn)(XDR*, T*), T args, std::uint32_t xid = 7) {
    std::string buf(64 + (2u << 20), '\0');
    XDR x;
    xdrmem_create(&x, buf.data(), static_cast<u_int>(buf.size()), XDR_ENCODE);
    EXPECT_TRUE(fn(&x, &args));
    buf.resize(xdr_getpos(&x));
    xdr_destroy(&x);
    return call_header(xid, proc) + buf;
}

// What decoding allocated (read data, say), freed when the test ends.
std::vector<std::function<void()>>& decoded() {
    static std::vector<std::function<void()>> frees;
    return frees;
}

// Checks an accepted, successful reply and decodes its result.
template <class T>
T result(const Vxi11Core::Step& step, bool_t (*fn)(XDR*, T*)) {
    T out;
    std::memset(&out, 0, sizeof out);
    EXPECT_EQ(step.kind, Vxi11Core::Step::reply);
    if (step.message.size() < 24 || rpc::get_u32(step.message, 20) != rpc::success) {
        ADD_FAILURE() << "not a successful reply";
        return out;
    }
    XDR x;
    xdrmem_create(&x, const_cast<char*>(step.message.data()) + 24,
                  static_cast<u_int>(step.message.size() - 24), XDR_DECODE);
    EXPECT_TRUE(fn(&x, &out));
    xdr_destroy(&x);
    decoded().push_back([fn, out]() mutable {
        xdr_free(reinterpret_cast<xdrproc_t>(fn), reinterpret_cast<char*>(&out));
    });
    return out;
}

std::int32_t err(const Vxi11Core::Step& step) {
    return static_cast<std::int32_t>(result(step, xdr_Device_Error).error);
}

class Vxi11CoreTest : public ::testing::Test {
protected:
    void TearDown() override {
        for (auto& free_it : decoded())
            free_it();
        decoded().clear();
    }

    Vxi11CoreTest() {
        config_.idn = identity_for_model("K7141HA", "000001", "1.0.0");
        config_.sector_sizes = default_sector_sizes();
        config_.slow_ms["DIAG:UPD:SSIZ?"] = 300;
        make({});
    }

    void make(Vxi11Settings settings) {
        instrument_ = std::make_unique<Instrument>(config_, nullptr);
        core_ = std::make_unique<Vxi11Core>(*instrument_, settings, [this](std::string_view line) {
            transcript_.emplace_back(line);
        });
    }

    Vxi11Core::Step send(ConnectionId conn, const std::string& record) {
        return core_->start(conn, record, pending_, now_);
    }

    std::int32_t link(ConnectionId conn, const char* device = "inst0") {
        const auto r =
            result(send(conn, call(10, xdr_Create_LinkParms,
                                   Create_LinkParms{1, 0, 0, const_cast<char*>(device)})),
                   xdr_Create_LinkResp);
        if (r.error != 0) return -static_cast<std::int32_t>(r.error);
        EXPECT_EQ(r.maxRecvSize, 1u << 20);
        return static_cast<std::int32_t>(r.lid);
    }

    Vxi11Core::Step write(ConnectionId conn, std::int32_t lid, std::string data,
                          std::int32_t flags = end_flag, std::uint32_t lock_timeout = 0) {
        Device_WriteParms p{
            lid, 1000, lock_timeout, flags, {static_cast<u_int>(data.size()), data.data()}};
        return send(conn, call(11, xdr_Device_WriteParms, p));
    }

    Vxi11Core::Step read(ConnectionId conn, std::int32_t lid, std::uint32_t size = 1000,
                         std::int32_t flags = 0, char term = '\n', std::uint32_t io_timeout = 500) {
        return send(conn, call(12, xdr_Device_ReadParms,
                               Device_ReadParms{lid, size, io_timeout, 0, flags, term}));
    }

    Vxi11Core::Step lock(ConnectionId conn, std::int32_t lid, std::int32_t flags = 0,
                         std::uint32_t timeout = 0) {
        return send(conn, call(18, xdr_Device_LockParms, Device_LockParms{lid, flags, timeout}));
    }

    std::string data_of(const Device_ReadResp& r) {
        return std::string(r.data.data_val, r.data.data_len);
    }

    InstrumentConfig config_;
    std::unique_ptr<Instrument> instrument_;
    std::unique_ptr<Vxi11Core> core_;
    std::optional<Vxi11Call> pending_;
    std::vector<std::string> transcript_;
    Clock::time_point now_ = Clock::time_point() + std::chrono::hours(1);
};

TEST_F(Vxi11CoreTest, LinksWritesAndReads) {
    EXPECT_EQ(link(1, "inst1"), -3);
    const std::int32_t lid = link(1);
    ASSERT_GT(lid, 0);
    EXPECT_EQ(result(write(1, lid, "*IDN?\n"), xdr_Device_WriteResp).size, 6u);

    auto r = result(read(1, lid, 9), xdr_Device_ReadResp);
    EXPECT_EQ(r.reason, 0x01);  // REQCNT only
    EXPECT_EQ(data_of(r), "Tavrion T");
    r = result(read(1, lid, 1000, termchar_flag, ','), xdr_Device_ReadResp);
    EXPECT_EQ(r.reason, 0x02);  // CHR
    EXPECT_EQ(data_of(r), "echnologies,");
    r = result(read(1, lid), xdr_Device_ReadResp);
    EXPECT_EQ(r.reason, 0x04);  // END
    EXPECT_EQ(data_of(r), "K7141HA,000001,1.0.0\n");

    // Nothing to read: the call waits, then times out with error 15.
    EXPECT_EQ(read(1, lid, 1000, 0, '\n', 200).kind, Vxi11Core::Step::wait);
    ASSERT_TRUE(pending_);
    EXPECT_EQ(core_->wake_time(*pending_, now_), now_ + milliseconds(200));
    EXPECT_EQ(core_->resume(1, *pending_, now_ + milliseconds(199)).kind, Vxi11Core::Step::wait);
    EXPECT_EQ(
        result(core_->resume(1, *pending_, now_ + milliseconds(200)), xdr_Device_ReadResp).error,
        15);

    // Another connection cannot use this link; after destroy_link nobody can.
    EXPECT_EQ(result(write(2, lid, "*cls\n"), xdr_Device_WriteResp).error, 4);
    EXPECT_EQ(err(send(1, call(23, xdr_Device_Link, Device_Link{lid}))), 0);
    EXPECT_EQ(result(write(1, lid, "*cls\n"), xdr_Device_WriteResp).error, 4);
    EXPECT_EQ(transcript_, (std::vector<std::string>{"*IDN?"}));
}

TEST_F(Vxi11CoreTest, SlowReplyIsReadWhenReady) {
    const std::int32_t lid = link(1);
    write(1, lid, "DIAG:UPD:SSIZ? HBRM\n");
    EXPECT_EQ(read(1, lid).kind, Vxi11Core::Step::wait);
    EXPECT_EQ(core_->wake_time(*pending_, now_), now_ + milliseconds(300));
    const auto r =
        result(core_->resume(1, *pending_, now_ + milliseconds(300)), xdr_Device_ReadResp);
    EXPECT_EQ(data_of(r), "4096\n");
}

TEST_F(Vxi11CoreTest, ExclusiveLockBetweenLinks) {
    const std::int32_t a = link(1);
    const std::int32_t b = link(2);
    EXPECT_EQ(err(lock(1, a)), 0);
    EXPECT_EQ(err(lock(1, a)), 11);  // already held by this very link
    EXPECT_EQ(err(lock(2, b)), 11);
    EXPECT_EQ(result(write(2, b, "*cls\n"), xdr_Device_WriteResp).error, 11);
    EXPECT_EQ(result(write(1, a, "*cls\n"), xdr_Device_WriteResp).error,
              0);  // never blocked by its own lock
    EXPECT_EQ(err(send(2, call(19, xdr_Device_Link, Device_Link{b}))), 12);

    // With waitlock the write waits for the lock and goes through once it is free.
    EXPECT_EQ(write(2, b, "*cls\n", end_flag | waitlock, 1000).kind, Vxi11Core::Step::wait);
    auto waiting = *pending_;
    EXPECT_EQ(core_->resume(2, waiting, now_ + milliseconds(10)).kind, Vxi11Core::Step::wait);
    EXPECT_EQ(err(send(1, call(19, xdr_Device_Link, Device_Link{a}))), 0);
    EXPECT_EQ(
        result(core_->resume(2, waiting, now_ + milliseconds(20)), xdr_Device_WriteResp).error, 0);

    // A lock that does not come free in lock_timeout is refused.
    EXPECT_EQ(err(lock(2, b)), 0);
    EXPECT_EQ(lock(1, a, waitlock, 100).kind, Vxi11Core::Step::wait);
    EXPECT_EQ(core_->wake_time(*pending_, now_), now_ + milliseconds(100));
    EXPECT_EQ(err(core_->resume(1, *pending_, now_ + milliseconds(100))), 11);

    // The holder's connection drops: its lock goes with it.
    core_->connection_closed(2);
    EXPECT_EQ(err(lock(1, a)), 0);
    // destroy_link frees a lock too.
    EXPECT_EQ(err(send(1, call(23, xdr_Device_Link, Device_Link{a}))), 0);
    const std::int32_t c = link(3);
    EXPECT_EQ(err(lock(3, c)), 0);
}

TEST_F(Vxi11CoreTest, InternalHoldLockAndCreateLinkWithLock) {
    core_->hold_lock(now_ + milliseconds(500));
    const std::int32_t a = link(1);
    EXPECT_EQ(err(lock(1, a)), 11);
    EXPECT_EQ(result(read(1, a), xdr_Device_ReadResp).error, 11);
    Create_LinkParms p{1, 1, 100, const_cast<char*>("inst0")};
    EXPECT_EQ(send(2, call(10, xdr_Create_LinkParms, p)).kind, Vxi11Core::Step::wait);
    EXPECT_EQ(
        result(core_->resume(2, *pending_, now_ + milliseconds(100)), xdr_Create_LinkResp).error,
        11);
    EXPECT_EQ(core_->link_count(), 1u);  // a refused lockDevice makes no link
    now_ += milliseconds(500);
    EXPECT_EQ(err(lock(1, a)), 0);
}

TEST_F(Vxi11CoreTest, HostileOrOddCalls) {
    const std::int32_t lid = link(1);
    // An opaque length far beyond the record: refused, never allocated.
    std::string rec = call_header(7, 11);
    for (std::uint32_t w : {static_cast<std::uint32_t>(lid), 0u, 0u, 8u, 0xfffffff0u})
        rpc::put_u32(rec, w);
    rec += "abcd";
    EXPECT_EQ(result(send(1, rec), xdr_Device_WriteResp).error, 5);  // above maxRecvSize
    rec = call_header(7, 11);
    for (std::uint32_t w : {static_cast<std::uint32_t>(lid), 0u, 0u, 8u, 100u})
        rpc::put_u32(rec, w);
    EXPECT_EQ(rpc::get_u32(send(1, rec).message, 20), rpc::garbage_args);  // data missing

    EXPECT_EQ(rpc::get_u32(send(1, call_header(8, 21)).message, 20), rpc::proc_unavail);
    EXPECT_EQ(rpc::get_u32(send(1, call_header(9, 0, 0x0607B1)).message, 20), rpc::prog_unavail);
    EXPECT_EQ(send(1, std::string("\0\0\0\1\0\0\0\0\0\0", 10)).kind, Vxi11Core::Step::drop);
    EXPECT_EQ(err(send(1, call(26, xdr_Device_Link, Device_Link{0}))), 6);  // no interrupt channel
}

TEST_F(Vxi11CoreTest, DroppedInTheMiddleOfABlock) {
    Vxi11Settings s;
    s.drop_in_block = 10;
    make(s);
    const std::int32_t lid = link(1);
    write(1, lid, "DIAG:UPD:STARt\nDIAG:UPD:INIT? HUBL,100,100\n");
    EXPECT_EQ(write(1, lid, "DIAG:UPD:BLOC? #3100" + std::string(50, 'x'), 0).kind,
              Vxi11Core::Step::drop);
    core_->connection_closed(1);
    EXPECT_EQ(transcript_.back(), "DIAG:UPD:BLOC? #3100<10 of 100 bytes> [connection dropped]");
    EXPECT_EQ(core_->link_count(), 0u);
}

}  // namespace
}  // namespace sim
