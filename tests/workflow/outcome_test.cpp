// A cause as the command line and the audit read it: the reason object of
// each kind, and the causes made from what the engine and the library told.
#include "workflow/outcome.h"

#include <gtest/gtest.h>

#include <cerrno>

#include "visa.h"

namespace {

using namespace workflow;

TEST(ReasonJson, CarriesTheFieldsOfItsKindNullWhenNotKnown) {
    Cause unreachable;
    unreachable.m_kind = Cause::Kind::Unreachable;
    unreachable.m_sentence = "not reachable at 127.0.0.5:111";
    unreachable.m_host = "127.0.0.5";
    unreachable.m_port = 111;
    unreachable.m_elapsedS = 0.0123456;
    EXPECT_EQ(ReasonJson(unreachable).dump(),
              R"({"kind":"unreachable","message":"not reachable at 127.0.0.5:111",)"
              R"("host":"127.0.0.5","port":111,"stage":null,"errno":null,"elapsed_s":0.012})");
    Cause transfer;
    transfer.m_kind = Cause::Kind::Transfer;
    transfer.m_status = VI_ERROR_IO;
    transfer.m_operation = "image";
    transfer.m_scpiErrors = {"-200,\"Execution error\""};
    const Json t = ReasonJson(transfer);
    EXPECT_EQ(t.at("status").get<long>(), VI_ERROR_IO);
    EXPECT_EQ(t.at("scpi_errors").size(), 1u);
    EXPECT_EQ(ReasonJson(MakeCause(Cause::Kind::File, "gone", "/r/host/x.bin")).at("file"),
              "/r/host/x.bin");
    EXPECT_EQ(ReasonJson(MakeCause(Cause::Kind::Declined, "no")).size(), 2u);
    EXPECT_TRUE(ReasonJson(Cause{}).is_null());
}

// The library may say nothing of a connection (another maker's, or not yet):
// the status and the resource still give a cause.
TEST(CauseOf, AnIdentificationIsNamedFromTheStatusAloneOrFromTheLibrarysRecord) {
    EngineFailure open;
    open.m_resource = "TCPIP0::127.0.0.5::hislip0::INSTR";
    open.m_operation = "identify";
    open.m_status = VI_ERROR_RSRC_NFOUND;
    open.m_function = "viOpen";
    Cause alone = CauseOf(open, std::nullopt);
    EXPECT_EQ(alone.m_kind, Cause::Kind::Unreachable);
    EXPECT_EQ(alone.m_port, 4880);
    EXPECT_EQ(alone.m_sentence.rfind("not reachable at 127.0.0.5:4880: viOpen failed: ", 0), 0u)
        << alone.m_sentence;

    ConnectFailure refused;
    refused.m_stage = "connect";
    refused.m_host = "127.0.0.5";
    refused.m_port = 4880;
    refused.m_errno = ECONNREFUSED;
    refused.m_elapsedS = 0.25;
    const Cause told = CauseOf(open, refused);
    EXPECT_EQ(told.m_sentence,
              "not reachable at 127.0.0.5:4880 (connect): connection refused after 0.2 s");
    EXPECT_EQ(told.m_errno, ECONNREFUSED);

    EngineFailure silent = open;
    silent.m_status = VI_ERROR_TMO;
    silent.m_function = "viRead";
    silent.m_elapsedS = 2.0;
    EXPECT_EQ(CauseOf(silent, std::nullopt).m_sentence,
              "connected to 127.0.0.5:4880, but no reply within 2.0 s");

    EngineFailure locked = open;
    locked.m_locked = true;
    ConnectFailure holder;
    holder.m_stage = "lock";
    holder.m_holder = "alice (uid 1001), pid 42";
    const Cause held = CauseOf(locked, holder);
    EXPECT_EQ(held.m_kind, Cause::Kind::Locked);
    EXPECT_EQ(held.m_sentence, "locked by alice (uid 1001), pid 42");
    EXPECT_EQ(CauseOf(locked, std::nullopt).m_sentence, "locked by another session");
}

TEST(CauseOf, ARunsFailureKeepsWhatItKnows) {
    IdentifyFailure foreign;
    foreign.m_kind = IdentifyFailure::Kind::OtherModel;
    foreign.m_reply = "Tavrion Technologies,K7150A,S1,1.0\r\n";
    const Cause other = CauseOf(foreign, std::nullopt);
    EXPECT_EQ(other.m_kind, Cause::Kind::NotAccepted);
    EXPECT_EQ(other.m_model, "K7150A");
    EXPECT_EQ(other.m_reply, "Tavrion Technologies,K7150A,S1,1.0");

    IdentifyFailure run;
    run.m_kind = IdentifyFailure::Kind::Locked;
    run.m_holder = "root (fwupgrade), process 7";
    run.m_since = "2026-01-01T00:00:00Z";
    EXPECT_EQ(CauseOf(run, std::nullopt).m_sentence,
              "locked by root (fwupgrade), process 7 since 2026-01-01T00:00:00Z");

    EngineFailure image;
    image.m_operation = "image";
    image.m_status = VI_ERROR_CONN_LOST;
    image.m_function = "viWrite";
    image.m_scpiErrors = {"-350,\"Queue overflow\""};
    const Cause lost = CauseOf(image, std::nullopt);
    EXPECT_EQ(lost.m_kind, Cause::Kind::Transfer);
    EXPECT_NE(lost.m_sentence.find("the image transfer failed: viWrite failed: "),
              std::string::npos);
    EXPECT_NE(lost.m_sentence.find("; the instrument reported -350,\"Queue overflow\""),
              std::string::npos)
        << lost.m_sentence;
}

}  // namespace
