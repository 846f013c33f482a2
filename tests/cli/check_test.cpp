// fwupgrade check and what comes with it: a check writes nothing and says
// why each instrument could not be upgraded; "already at" only where both
// sides are versions, and --skip-current; --wait failing an instrument whose
// firmware did not change; progress lines on a pipe and -q.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "sim_process.h"
#include "workflow/firmware_version.h"
#include "workflow/json_fields.h"
#include "workflow/run_lock.h"
#include "workflow/sha256.h"

namespace {

namespace fs = std::filesystem;
using workflow::Json;
using workflow::TextOf;

struct FwRun {
    int code = -1;
    std::string out, err;
    std::vector<Json> events;
    std::vector<Json> named(const std::string& name) const {
        std::vector<Json> found;
        for (const Json& e : events)
            if (TextOf(e, "event") == name) found.push_back(e);
        return found;
    }
};

std::string Slurp(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

class CheckTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (::geteuid() != 0) GTEST_SKIP() << "VXI-11 needs the simulator's port 111 (root)";
        m_dir = fs::temp_directory_path() /
                ("fw-check-" +
                 std::string(testing::UnitTest::GetInstance()->current_test_info()->name()) + "-" +
                 std::to_string(::getpid()));
        fs::remove_all(m_dir);
        fs::create_directories(m_dir / "rel" / "host");
        fs::create_directories(m_dir / "state");
        for (const char* file : {"vxWorks_rom.bin", "ubl-nor-ais.bin"})
            std::ofstream(m_dir / "rel" / "host" / file) << std::string(200000, file[0]);
        Release("HPAP 2.5.0\nHUBL\n");
    }
    void TearDown() override {
        if (!m_dir.empty()) fs::remove_all(m_dir);
    }
    void Release(const std::string& config) {
        std::ofstream(m_dir / "rel" / "Firmware_Upgrade.txt") << config;
    }
    std::string Rel() const { return (m_dir / "rel").string(); }

    // fwupgrade with `args`, its output through files (a pipe's kind: no terminal).
    FwRun Fw(std::vector<std::string> args) {
        const fs::path out = m_dir / "out", err = m_dir / "err";
        const pid_t pid = ::fork();
        if (pid == 0) {
            ::dup2(::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), 1);
            ::dup2(::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), 2);
            ::dup2(::open("/dev/null", O_RDONLY), 0);
            ::setenv("XDG_STATE_HOME", (m_dir / "state").c_str(), 1);
            std::vector<char*> argv{const_cast<char*>(FWUPGRADE_PATH)};
            for (std::string& a : args)
                argv.push_back(a.data());
            argv.push_back(nullptr);
            ::execv(argv[0], argv.data());
            ::_exit(127);
        }
        int status = 0;
        ::waitpid(pid, &status, 0);
        FwRun r{WIFEXITED(status) ? WEXITSTATUS(status) : -1, Slurp(out), Slurp(err), {}};
        std::size_t start = 0;
        for (std::size_t end; (end = r.out.find('\n', start)) != std::string::npos; start = end + 1)
            if (auto e = workflow::ParseJsonObject(r.out.substr(start, end - start)))
                r.events.push_back(*e);
        return r;
    }

    fs::path m_dir;
};

TEST_F(CheckTest, ACheckAsksOnlyWhoTheInstrumentIsAndExitsAsTheUpgradeWould) {
    SimProcess ready("127.0.0.200", {"--firmware", "1.0.0"});
    SimProcess locked("127.0.0.201", {"--hold-lock"});
    SimProcess stranger("127.0.0.202", {"--model", "other"});
    SimProcess owned("127.0.0.204", {});
    FwRun ok = Fw({"check", ready.vxi11(), "--release", Rel(), "--json"});
    EXPECT_EQ(ok.code, 0) << ok.err;
    ASSERT_EQ(ok.named("checked").size(), 1u);
    EXPECT_TRUE(ok.named("checked")[0].at("would_start").get<bool>());
    EXPECT_TRUE(ok.named("checked")[0].at("visa_lock_free").get<bool>());
    // The same through upgrade --dry-run, which needs no --yes.
    EXPECT_EQ(Fw({"upgrade", "--dry-run", ready.vxi11(), "--release", Rel()}).code, 0);
    EXPECT_EQ(ready.transcript(), "*IDN?\n*IDN?\n");
    EXPECT_EQ(ready.stored("HUBL"), "");

    EXPECT_EQ(Fw({"check", locked.vxi11(), "--release", Rel()}).code, 4);
    FwRun foreign = Fw({"check", stranger.vxi11(), "--release", Rel(), "--json"});
    EXPECT_EQ(foreign.code, 3);
    EXPECT_EQ(TextOf(foreign.named("checked")[0].at("reason"), "kind"), "not_accepted");
    FwRun nobody = Fw({"check", "127.0.0.203", "--release", Rel(), "--json"});
    EXPECT_EQ(nobody.code, 3);
    EXPECT_EQ(TextOf(nobody.named("checked")[0].at("reason"), "kind"), "unreachable");
    {
        // This machine's run lock, as a running upgrade holds it.
        std::string why;
        workflow::RunLockResult result{};
        workflow::RunLockHolder holder;
        const auto lock = workflow::RunLock::TryAcquire(workflow::RunLockKey(owned.vxi11(), &why),
                                                        "test", &result, &holder, &why);
        ASSERT_TRUE(lock) << why;
        FwRun busy = Fw({"check", owned.vxi11(), "--release", Rel(), "--json"});
        EXPECT_EQ(busy.code, 4);
        EXPECT_FALSE(busy.named("checked")[0].at("run_lock_free").get<bool>());
        EXPECT_EQ(owned.transcript(), "");
    }

    // All at once: one event each, a summary, and the batch's exit status.
    FwRun all = Fw({"check", ready.vxi11(), locked.vxi11(), stranger.vxi11(), "127.0.0.203",
                    "--release", Rel(), "-j", "4", "--json"});
    EXPECT_EQ(all.code, 8);
    EXPECT_EQ(all.named("checked").size(), 4u);
    ASSERT_EQ(all.named("summary").size(), 1u);
    EXPECT_EQ(all.named("summary")[0].at("succeeded").get<int>(), 1);
    // A held VISA lock keeps out even the question.
    EXPECT_EQ(locked.transcript(), "");
    EXPECT_EQ(stranger.transcript(), "*IDN?\n*IDN?\n");

    // A release that fails verification is told before any instrument is asked.
    std::ofstream(m_dir / "rel" / "SHA256SUMS")
        << workflow::Sha256Hex("else") << "  host/ubl-nor-ais.bin\n";
    EXPECT_EQ(Fw({"check", owned.vxi11(), "--release", Rel()}).code, 10);
    EXPECT_EQ(owned.transcript(), "");
}

TEST(FirmwareVersionTest, OnlyDottedNumbersAreComparedAndNothingIsGuessed) {
    EXPECT_EQ(workflow::FirmwareIsCurrent("2.5.0", "2.5"), true);
    EXPECT_EQ(workflow::FirmwareIsCurrent("2.10.0", "2.9.0"), false);
    for (const char* odd : {"A.02", "2.5.0-rc1", "v2.5", "2..5", ".5", "2.", "", "1234567890"})
        EXPECT_EQ(workflow::FirmwareIsCurrent(odd, "2.5.0"), std::nullopt) << odd;
    EXPECT_EQ(workflow::ReleaseImageVersion("HPAP 2.5.0 vxWorks_rom.bin\r\nHUBL 1.0\n", "HPAP"),
              "2.5.0");
    // A version glued to the identifier, a remark, or two that disagree: none.
    for (const char* config : {"HPAP2.5.0\n", "HPAP newest\n", "HPAP 2.5.0\nHPAP 2.6\n", "HPAP\n"})
        EXPECT_EQ(workflow::ReleaseImageVersion(config, "HPAP"), std::nullopt) << config;
}

TEST_F(CheckTest, AlreadyAtOnlyWithComparableVersionsAndSkipCurrentLeavesItAlone) {
    SimProcess current("127.0.0.205", {"--firmware", "2.5.0"});
    SimProcess odd("127.0.0.206", {"--firmware", "A.02"});
    SimProcess older("127.0.0.207", {"--firmware", "2.4.9", "--reboot-ms", "200"});
    FwRun checked = Fw({"check", current.vxi11(), odd.vxi11(), "--release", Rel(), "-j", "2"});
    EXPECT_EQ(checked.code, 0);
    EXPECT_NE(checked.out.find("firmware 2.5.0; already at 2.5.0"), std::string::npos)
        << checked.out;
    const std::size_t odd_at = checked.out.find("firmware A.02");
    ASSERT_NE(odd_at, std::string::npos) << checked.out;
    EXPECT_EQ(checked.out.substr(odd_at, checked.out.find('\n', odd_at) - odd_at), "firmware A.02");

    FwRun skipped = Fw({"upgrade", current.vxi11(), older.vxi11(), "--release", Rel(), "--yes",
                        "--images", "HUBL", "--skip-current", "-j", "2", "--json"});
    EXPECT_EQ(skipped.code, 0) << skipped.err;
    const Json rows = skipped.named("summary").at(0).at("instruments");
    EXPECT_EQ(TextOf(rows[0], "result"), "skipped");
    EXPECT_EQ(TextOf(rows[1], "result"), "ok");
    EXPECT_EQ(current.transcript(), "*IDN?\n*IDN?\n");
    EXPECT_TRUE(older.wait_stored("HUBL", std::string(200000, 'u')));
}

TEST_F(CheckTest, WaitFailsAnInstrumentWhoseFirmwareDidNotChange) {
    SimProcess same("127.0.0.208", {"--reboot-ms", "200"});
    SimProcess newer("127.0.0.209", {"--reboot-ms", "200", "--firmware-after-reboot", "2.5.0"});
    FwRun unchanged = Fw({"upgrade", same.vxi11(), "--release", Rel(), "--images", "HUBL", "--yes",
                          "--wait", "--json"});
    EXPECT_EQ(unchanged.code, 11) << unchanged.err;
    EXPECT_EQ(TextOf(unchanged.named("finished")[0], "result"), "not_changed");
    FwRun changed =
        Fw({"upgrade", newer.vxi11(), "--release", Rel(), "--images", "HUBL", "--yes", "--wait"});
    EXPECT_EQ(changed.code, 0) << changed.err;
}

TEST_F(CheckTest, APipeGetsAPlainLineEveryTenPercentAndQuietOnlyErrorsAndTheSummary) {
    SimProcess sim("127.0.0.210", {"--reboot-ms", "200", "--accept-rate", "400"});
    FwRun piped = Fw({"upgrade", sim.vxi11(), "--release", Rel(), "--images", "HUBL"});
    ASSERT_EQ(piped.code, 0) << piped.err;
    std::vector<int> tenths;
    for (std::size_t at = 0; (at = piped.out.find("HUBL  ", at)) != std::string::npos; ++at)
        tenths.push_back(std::stoi(piped.out.substr(at + 6)) / 10);
    // A line at the start, then one as each tenth is reached (a slow one may
    // add a line within a tenth, after 5 s).
    ASSERT_GE(tenths.size(), 5u) << piped.out;
    EXPECT_EQ(tenths.back(), 10);
    for (std::size_t i = 1; i < tenths.size(); ++i)
        EXPECT_GE(tenths[i], tenths[i - 1]) << piped.out;
    EXPECT_LE(tenths.size(), 13u) << piped.out;
    EXPECT_EQ(piped.out.find('\r'), std::string::npos);

    ::usleep(400000);  // the restart
    FwRun quiet =
        Fw({"upgrade", sim.vxi11(), "127.0.0.211", "--release", Rel(), "--images", "HUBL", "-q"});
    EXPECT_EQ(quiet.code, 8);
    EXPECT_EQ(quiet.out.find("HUBL  "), std::string::npos) << quiet.out;
    EXPECT_EQ(quiet.out.find("Upgrading"), std::string::npos) << quiet.out;
    EXPECT_NE(quiet.out.find("RESOURCE"), std::string::npos) << quiet.out;
    EXPECT_NE(quiet.err.find("127.0.0.211"), std::string::npos) << quiet.err;

    // One instrument: its closing line is the summary.
    ::usleep(400000);
    FwRun one = Fw({"upgrade", sim.vxi11(), "--release", Rel(), "--images", "HUBL", "-q"});
    EXPECT_EQ(one.code, 0) << one.err;
    EXPECT_EQ(one.out, "Upgrade of " + sim.vxi11() + " complete.\n");
}

}  // namespace
