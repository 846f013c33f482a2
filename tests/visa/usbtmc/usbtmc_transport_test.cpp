// The USBTMC transport over a scripted USB pipe: the framing of Bulk-OUT and
// Bulk-IN transfers, and the recovery sequences after failures.
#include "visa/usbtmc/usbtmc_transport.h"

#include <gtest/gtest.h>

#include <deque>
#include <map>
#include <string>
#include <vector>

#include "testsupport/visa_log.h"
#include "visa/log.h"
#include "visa/rsrc_name.h"

namespace visa::usbtmc {
namespace {

using Bytes = std::vector<uint8_t>;

struct Transfer {
    Bytes bytes;
    PipeResult result = PipeResult::ok;
};

// Records what the transport sends and answers from scripts. An empty
// Bulk-IN script times out, like a device with nothing to say.
class ScriptedPipe final : public UsbPipe {
public:
    Endpoints ep;
    std::vector<std::string> events;  // "claim", "ctl 3 7", "halt 0x82", ...
    std::vector<Bytes> out;           // Bulk-OUT transfers
    std::deque<PipeResult> out_results;
    std::deque<Transfer> in;
    std::map<uint8_t, std::deque<Bytes>> control;  // bRequest -> replies
    std::deque<PipeResult> claims;
    bool gone = false;

    ScriptedPipe() {
        ep.bulk_out = 0x01;
        ep.bulk_in = 0x82;
        ep.bulk_out_packet = 64;
        ep.bulk_in_packet = 64;
        ep.usb488 = true;
    }

    const Endpoints& endpoints() const override { return ep; }
    PipeResult claim() override {
        events.push_back("claim");
        if (claims.empty()) return PipeResult::ok;
        auto r = claims.front();
        claims.pop_front();
        return r;
    }
    void release() override { events.push_back("release"); }
    PipeResult bulk_out(const uint8_t* data, size_t size, uint32_t, size_t* sent) override {
        if (gone) return PipeResult::no_device;
        out.emplace_back(data, data + size);
        PipeResult r = PipeResult::ok;
        if (!out_results.empty()) {
            r = out_results.front();
            out_results.pop_front();
        }
        *sent = r == PipeResult::ok ? size : 0;
        return r;
    }
    PipeResult bulk_in(uint8_t* buf, size_t size, uint32_t, size_t* got) override {
        *got = 0;
        if (gone) return PipeResult::no_device;
        events.push_back("in " + std::to_string(size));
        if (in.empty()) return PipeResult::timeout;
        Transfer t = in.front();
        in.pop_front();
        *got = std::min(size, t.bytes.size());
        std::copy_n(t.bytes.begin(), *got, buf);
        return t.result;
    }
    PipeResult interrupt_in(uint8_t*, size_t, uint32_t, size_t*) override {
        return PipeResult::timeout;
    }
    PipeResult control_in(uint8_t, uint8_t request, uint16_t value, uint16_t index, uint8_t* buf,
                          uint16_t size, uint32_t, size_t* got) override {
        if (gone) return PipeResult::no_device;
        events.push_back("ctl " + std::to_string(request) + " " + std::to_string(value) + " " +
                         std::to_string(index));
        Bytes reply{status_success, uint8_t(value), 0, 0, 0, 0, 0, 0};
        auto& q = control[request];
        if (!q.empty()) {
            reply = q.front();
            q.pop_front();
        }
        *got = std::min<size_t>(size, reply.size());
        std::copy_n(reply.begin(), *got, buf);
        return PipeResult::ok;
    }
    PipeResult clear_halt(uint8_t endpoint) override {
        char b[16];
        std::snprintf(b, sizeof b, "halt 0x%02X", unsigned(endpoint));
        events.push_back(b);
        return PipeResult::ok;
    }

    std::vector<std::string> events_with(const std::string& prefix) const {
        std::vector<std::string> r;
        for (const auto& e : events)
            if (e.rfind(prefix, 0) == 0) r.push_back(e);
        return r;
    }
};

Bytes caps(bool term_char) {
    Bytes c(capabilities_size, 0);
    c[0] = status_success;
    c[3] = 1;
    c[5] = term_char ? 1 : 0;
    c[13] = 1;
    return c;
}

// A DEV_DEP_MSG_IN transfer with `data`, padded.
Bytes reply_in(uint8_t tag, const std::string& data, bool eom) {
    Bytes b(header_size + data.size() + padding_for(data.size()), 0);
    b[0] = dev_dep_msg_in;
    b[1] = tag;
    b[2] = uint8_t(~tag);
    b[4] = uint8_t(data.size());
    b[5] = uint8_t(data.size() >> 8);
    b[8] = eom ? attr_eom : 0;
    for (size_t i = 0; i < data.size(); ++i)
        b[header_size + i] = uint8_t(data[i]);
    return b;
}

// Tags run on per device through the whole process; a serial number not used
// before starts them at 1.
std::string fresh_device() {
    static int devices = 0;
    return "USB0::0x1A2B::0x0C3D::SN" + std::to_string(++devices) + "::INSTR";
}

class UsbtmcTransportTest : public ::testing::Test {
protected:
    void open(bool term_char_caps = false) {
        pipe_->control[get_capabilities].push_back(caps(term_char_caps));
        auto name = parse_rsrc_name(fresh_device());
        ASSERT_EQ(t_.open(*name, 1000), VI_SUCCESS);
        t_.set_poll_interval_ms(0);
        pipe_->events.clear();
    }

    ViStatus write(const std::string& s, bool end, size_t* n = nullptr) {
        size_t written = 0;
        ViStatus st =
            t_.write(reinterpret_cast<const ViByte*>(s.data()), s.size(), end, 1000, &written);
        if (n != nullptr) *n = written;
        return st;
    }

    ViStatus read(std::string* data, size_t count, ReadStop* why, bool term = false) {
        std::vector<ViByte> buf(count);
        ReadOptions opts;
        opts.term_char_enabled = term;
        size_t got = 0;
        ViStatus st = t_.read(buf.data(), count, opts, &got, why);
        data->assign(buf.begin(), buf.begin() + long(got));
        return st;
    }

    // Tag of the last Bulk-OUT header sent.
    uint8_t last_tag() const { return pipe_->out.back()[1]; }

    ScriptedPipe* pipe_ = new ScriptedPipe;
    UsbtmcTransport t_{[this](const RsrcName&, std::unique_ptr<UsbPipe>* p, std::string*) {
        p->reset(pipe_);
        return PipeResult::ok;
    }};
};

TEST_F(UsbtmcTransportTest, WriteHeadersPaddingEomAndTags) {
    open();
    // Sizes 1..4 need 3, 2, 1, 0 bytes of padding; EOM only when END is asked.
    for (size_t n = 1; n <= 4; ++n) {
        ASSERT_EQ(write(std::string(n, 'a'), n % 2 == 0), VI_SUCCESS);
        const Bytes& b = pipe_->out.back();
        EXPECT_EQ(b.size() % 4, 0u);
        EXPECT_EQ(b.size(), header_size + n + (4 - n % 4) % 4);
        EXPECT_EQ(b[0], dev_dep_msg_out);
        EXPECT_EQ(b[2], uint8_t(~b[1]));
        EXPECT_EQ(b[3], 0);
        EXPECT_EQ(b[4], n);
        EXPECT_EQ(b[8], n % 2 == 0 ? attr_eom : 0);
        for (size_t i = header_size + n; i < b.size(); ++i)
            EXPECT_EQ(b[i], 0) << "padding";
    }
    // bTag runs 1..255 and skips 0 when it wraps.
    for (int i = 0; i < 600; ++i)
        ASSERT_EQ(write("x", true), VI_SUCCESS);
    uint8_t prev = 0;
    for (const Bytes& b : pipe_->out) {
        EXPECT_NE(b[1], 0);
        EXPECT_EQ(b[1], prev == 255 ? 1 : prev + 1);
        prev = b[1];
    }
    // Nothing is sent for nothing.
    const size_t before = pipe_->out.size();
    EXPECT_EQ(write("", true), VI_SUCCESS);
    EXPECT_EQ(pipe_->out.size(), before);
}

// A device may check that each bTag differs from the previous transfer's,
// whichever session of ours sent it.
TEST(UsbtmcTags, NeverRepeatThePreviousTransfersAcrossSessions) {
    const std::string device = fresh_device();
    std::vector<uint8_t> tags;  // every Bulk-OUT bTag the device saw, in order
    // A write, a read (a request and a reply under its tag), then a write
    // through another name of the device; a session each.
    for (const std::string& name : {device, device, "USB1" + device.substr(4)}) {
        auto* pipe = new ScriptedPipe;
        pipe->control[get_capabilities].push_back(caps(false));
        UsbtmcTransport t([pipe](const RsrcName&, std::unique_ptr<UsbPipe>* p, std::string*) {
            p->reset(pipe);
            return PipeResult::ok;
        });
        ASSERT_EQ(t.open(*parse_rsrc_name(name), 100), VI_SUCCESS);
        ViByte buf[8] = {'*', 'C', 'L', 'S', '\n'};
        size_t n = 0;
        ReadStop why;
        pipe->in.push_back({reply_in(2, "ok\n", true)});
        EXPECT_EQ(tags.size() == 1 ? t.read(buf, sizeof buf, ReadOptions{}, &n, &why)
                                   : t.write(buf, 5, true, 100, &n),
                  VI_SUCCESS);
        for (const Bytes& b : pipe->out)
            tags.push_back(b[1]);
        t.close(0);
    }
    EXPECT_EQ(tags, (std::vector<uint8_t>{1, 2, 3}));
}

TEST_F(UsbtmcTransportTest, LargeWriteIsSplitIntoWholePacketsWithEomOnTheLast) {
    open();
    t_.set_max_transfer(1000);  // rounds down to 960, 15 packets of 64
    const std::string data(5000, 'z');
    size_t n = 0;
    ASSERT_EQ(write(data, true, &n), VI_SUCCESS);
    EXPECT_EQ(n, data.size());
    std::string joined;
    for (size_t i = 0; i < pipe_->out.size(); ++i) {
        const Bytes& b = pipe_->out[i];
        const bool last = i + 1 == pipe_->out.size();
        if (!last) {
            EXPECT_EQ(b.size(), 960u);
        }
        EXPECT_EQ(b[8], last ? attr_eom : 0) << i;
        const uint32_t size = uint32_t(b[4] | b[5] << 8 | b[6] << 16 | b[7] << 24);
        joined.append(b.begin() + header_size, b.begin() + long(header_size + size));
    }
    EXPECT_EQ(pipe_->out.size(), 6u);
    EXPECT_EQ(joined, data);
    // The interface is claimed around the operation and released after it.
    EXPECT_EQ(pipe_->events.front(), "claim");
    EXPECT_EQ(pipe_->events.back(), "release");
}

TEST_F(UsbtmcTransportTest, ReadGathersTransfersUntilEom) {
    open();
    pipe_->in.push_back({reply_in(1, "+0,", false)});
    pipe_->in.push_back({reply_in(2, "\"No error\"\n", true)});
    std::string got;
    ReadStop why;
    ASSERT_EQ(read(&got, 100, &why), VI_SUCCESS);
    EXPECT_EQ(got, "+0,\"No error\"\n");
    EXPECT_EQ(why, ReadStop::end);
    ASSERT_EQ(pipe_->out.size(), 2u);
    const Bytes& req = pipe_->out[0];
    EXPECT_EQ(req.size(), header_size);
    EXPECT_EQ(req[0], request_dev_dep_msg_in);
    EXPECT_EQ(req[4], 100);
    EXPECT_EQ(req[8], 0) << "no TermChar without the capability";
    EXPECT_EQ(pipe_->out[1][4], 97) << "asks only for what still fits";
    // Bulk-IN reads are whole packets.
    for (const auto& e : pipe_->events_with("in "))
        EXPECT_EQ(std::stoul(e.substr(3)) % 64, 0u) << e;

    // A zero-length packet left over from an earlier transfer is skipped.
    pipe_->in.push_back({Bytes{}});
    pipe_->in.push_back({reply_in(3, "ok\n", true)});
    ASSERT_EQ(read(&got, 100, &why), VI_SUCCESS);
    EXPECT_EQ(got, "ok\n");
}

TEST_F(UsbtmcTransportTest, TerminationCharacterByDeviceOrByHost) {
    // The device can end on TermChar: the request asks it to.
    open(true);
    pipe_->in.push_back({reply_in(1, "a\n", false)});
    std::string got;
    ReadStop why;
    ASSERT_EQ(read(&got, 100, &why, true), VI_SUCCESS);
    EXPECT_EQ(pipe_->out[0][8], attr_term_char);
    EXPECT_EQ(pipe_->out[0][9], '\n');
    EXPECT_EQ(got, "a\n");
    EXPECT_EQ(why, ReadStop::term_char);
}

TEST_F(UsbtmcTransportTest, HostScansForTerminationCharacterAndKeepsTheRest) {
    open(false);
    pipe_->in.push_back({reply_in(1, "one\ntwo\n", true)});
    std::string got;
    ReadStop why;
    ASSERT_EQ(read(&got, 100, &why, true), VI_SUCCESS);
    EXPECT_EQ(got, "one\n");
    EXPECT_EQ(why, ReadStop::term_char);
    // The rest of the message comes from what was kept, with its EOM.
    const size_t requests = pipe_->out.size();
    ASSERT_EQ(read(&got, 100, &why, true), VI_SUCCESS);
    EXPECT_EQ(got, "two\n");
    EXPECT_EQ(pipe_->out.size(), requests);
    // A full buffer stops the read; the next read carries on.
    pipe_->in.push_back({reply_in(2, "abcd", false)});
    pipe_->in.push_back({reply_in(3, "ef", true)});
    ASSERT_EQ(read(&got, 4, &why), VI_SUCCESS);
    EXPECT_EQ(got, "abcd");
    EXPECT_EQ(why, ReadStop::count);
    ASSERT_EQ(read(&got, 4, &why), VI_SUCCESS);
    EXPECT_EQ(got, "ef");
    EXPECT_EQ(why, ReadStop::end);
}

TEST_F(UsbtmcTransportTest, MalformedRepliesFailAndAbortBulkIn) {
    // Each case opens a transport of its own; the fixture's is never opened,
    // so nothing else would free the pipe made for it.
    std::unique_ptr<ScriptedPipe> unused(pipe_);
    struct Case {
        const char* what;
        Bytes reply;
    };
    Bytes bad_tag = reply_in(9, "x", true);
    Bytes bad_inverse = reply_in(1, "x", true);
    bad_inverse[2] = 0;
    Bytes short_data = reply_in(1, "xxxxxxxx", true);
    short_data.resize(header_size + 2);
    Bytes too_much = reply_in(1, std::string(20, 'x'), true);
    for (const Case& c : {Case{"bTag mismatch", bad_tag}, Case{"malformed", bad_inverse},
                          Case{"shorter than", short_data}, Case{"more data than", too_much}}) {
        SCOPED_TRACE(c.what);
        pipe_ = new ScriptedPipe;
        UsbtmcTransport t([this](const RsrcName&, std::unique_ptr<UsbPipe>* p, std::string*) {
            p->reset(pipe_);
            return PipeResult::ok;
        });
        VisaLogCapture log;
        ASSERT_EQ(t.open(*parse_rsrc_name(fresh_device()), 100), VI_SUCCESS);
        t.set_poll_interval_ms(0);
        // The tag of the request is 1 (capabilities took none).
        Bytes reply = c.reply;
        pipe_->in.push_back({reply});
        std::vector<ViByte> buf(10);
        size_t got = 0;
        ReadStop why;
        EXPECT_EQ(t.read(buf.data(), buf.size(), ReadOptions{}, &got, &why), VI_ERROR_IO);
        EXPECT_TRUE(log.has("visa.usbtmc: USB0::0x1A2B::0x0C3D::SN")) << log.lines();
        EXPECT_TRUE(log.has(c.what)) << log.lines();
        auto ctl = pipe_->events_with("ctl ");
        EXPECT_NE(std::find(ctl.begin(), ctl.end(), "ctl 3 1 130"), ctl.end())
            << "INITIATE_ABORT_BULK_IN for bTag 1 on 0x82";
        t.close(0);
    }
}

TEST_F(UsbtmcTransportTest, FailedWriteRunsAbortBulkOutAndClearsTheHalt) {
    open();
    // The device says PENDING twice before the abort is done.
    pipe_->control[check_abort_bulk_out_status] = {
        {status_pending}, {status_pending}, {status_success, 0, 0, 0, 0, 0, 0, 0}};
    pipe_->out_results.push_back(PipeResult::timeout);
    size_t n = 99;
    EXPECT_EQ(write("*RST\n", true, &n), VI_ERROR_TMO);
    EXPECT_EQ(n, 0u);
    const std::string tag = std::to_string(last_tag());
    EXPECT_EQ(pipe_->events,
              (std::vector<std::string>{"claim", "ctl 1 " + tag + " 1", "ctl 2 0 1", "ctl 2 0 1",
                                        "ctl 2 0 1", "halt 0x01", "release"}));
    // A stall is cleared even when the device has no transfer to abort.
    pipe_->events.clear();
    pipe_->out_results.push_back(PipeResult::stall);
    pipe_->control[initiate_abort_bulk_out] = {{status_failed, 0}};
    EXPECT_EQ(write("*RST\n", true), VI_ERROR_IO);
    EXPECT_EQ(pipe_->events_with("halt"), (std::vector<std::string>{"halt 0x01"}));
    // And the next write goes through.
    EXPECT_EQ(write("*RST\n", true), VI_SUCCESS);
}

TEST_F(UsbtmcTransportTest, TimedOutReadAbortsBulkInDrainsAndPolls) {
    open();
    // Nothing comes in time: the request's bTag is aborted, Bulk-IN is read
    // to its short packet, and the status is polled until no longer
    // PENDING, draining again while the device says more is queued.
    pipe_->in = {{Bytes{}, PipeResult::timeout}, {Bytes{}}, {Bytes{}}};
    pipe_->control[check_abort_bulk_in_status] = {{status_pending, 1}, {status_success, 0}};
    std::string got;
    ReadStop why;
    EXPECT_EQ(read(&got, 10, &why), VI_ERROR_TMO);
    const std::string tag = std::to_string(last_tag());
    std::vector<std::string> seen;
    for (const auto& e : pipe_->events)
        if (e.rfind("ctl", 0) == 0 || e.rfind("in", 0) == 0) seen.push_back(e);
    EXPECT_EQ(seen, (std::vector<std::string>{"in 64", "ctl 3 " + tag + " 130", "in 4096",
                                              "ctl 4 0 130", "in 4096", "ctl 4 0 130"}));
    // The next query is answered normally.
    pipe_->in.push_back({reply_in(uint8_t(last_tag() + 1), "fine\n", true)});
    ASSERT_EQ(read(&got, 100, &why), VI_SUCCESS);
    EXPECT_EQ(got, "fine\n");
}

TEST_F(UsbtmcTransportTest, UnpluggedDeviceFailsEveryCallAtOnceAndStillCloses) {
    open();
    pipe_->gone = true;
    size_t n = 0;
    EXPECT_EQ(write("DIAG:UPD:BLOC? #15HELLO", false, &n), VI_ERROR_CONN_LOST);
    pipe_->events.clear();
    EXPECT_EQ(write("*IDN?\n", true), VI_ERROR_CONN_LOST);
    std::string got;
    ReadStop why;
    EXPECT_EQ(read(&got, 10, &why), VI_ERROR_CONN_LOST);
    EXPECT_EQ(t_.clear(100), VI_ERROR_CONN_LOST);
    EXPECT_TRUE(pipe_->events_with("ctl").empty()) << "no recovery on a device that is gone";
    EXPECT_EQ(t_.close(100), VI_SUCCESS);
}

TEST_F(UsbtmcTransportTest, ClearAndStatusByte) {
    open();
    pipe_->control[check_clear_status] = {{status_pending, 1}, {status_success, 0}};
    pipe_->in.push_back({Bytes(5, 0)});  // stale output drained while PENDING
    EXPECT_EQ(t_.clear(100), VI_SUCCESS);
    EXPECT_EQ(pipe_->events_with("ctl"),
              (std::vector<std::string>{"ctl 5 0 0", "ctl 6 0 0", "ctl 6 0 0"}));
    EXPECT_EQ(pipe_->events_with("halt"), (std::vector<std::string>{"halt 0x01"}));

    // READ_STATUS_BYTE tags run 2..127; the byte comes on the control pipe
    // when there is no Interrupt-IN endpoint.
    pipe_->control[read_status_byte] = {{status_success, 2, 0x50}, {status_success, 9, 0x10}};
    ViUInt16 stb = 0;
    EXPECT_EQ(t_.read_stb(100, &stb), VI_SUCCESS);
    EXPECT_EQ(stb, 0x50);
    EXPECT_EQ(t_.read_stb(100, &stb), VI_ERROR_IO) << "a reply for another bTag";
}

TEST(UsbtmcOpen, AccessDeniedNamesTheNodeAndTheRule) {
    UsbtmcTransport t([](const RsrcName&, std::unique_ptr<UsbPipe>*, std::string* detail) {
        *detail = "/dev/bus/usb/001/007";
        return PipeResult::access;
    });
    EXPECT_EQ(t.open(*parse_rsrc_name("USB0::1::2::S::INSTR"), 100), VI_ERROR_RSRC_BUSY);
    const std::string text = failure_detail(VI_ERROR_RSRC_BUSY);
    EXPECT_NE(text.find("/dev/bus/usb/001/007"), std::string::npos) << text;
    EXPECT_NE(text.find("70-fwvisa-usbtmc.rules"), std::string::npos) << text;
    // The operator sees it through the status description.
    char desc[256];
    ASSERT_EQ(viStatusDesc(VI_NULL, VI_ERROR_RSRC_BUSY, desc), VI_SUCCESS);
    EXPECT_NE(std::string(desc).find("/dev/bus/usb/001/007; install"), std::string::npos) << desc;
    t.close(0);

    UsbtmcTransport none([](const RsrcName&, std::unique_ptr<UsbPipe>*, std::string*) {
        return PipeResult::not_found;
    });
    EXPECT_EQ(none.open(*parse_rsrc_name("USB0::1::2::S::INSTR"), 100), VI_ERROR_RSRC_NFOUND);
}

TEST_F(UsbtmcTransportTest, LockKeepsTheClaimAndABusyInterfaceIsRefused) {
    open();
    ASSERT_EQ(t_.lock(0), VI_SUCCESS);
    ASSERT_EQ(write("*IDN?\n", true), VI_SUCCESS);
    EXPECT_TRUE(pipe_->events_with("release").empty()) << "held while locked";
    ASSERT_EQ(t_.unlock(2000), VI_SUCCESS);
    EXPECT_EQ(pipe_->events_with("release").size(), 1u);
    EXPECT_EQ(t_.unlock(2000), VI_ERROR_SESN_NLOCKED);
    // Someone else holds the interface.
    pipe_->claims = {PipeResult::busy, PipeResult::busy, PipeResult::busy};
    EXPECT_EQ(t_.lock(0), VI_ERROR_TMO);
}

}  // namespace
}  // namespace visa::usbtmc
