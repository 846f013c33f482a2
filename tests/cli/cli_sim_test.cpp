// fwupgrade as a script runs it: the program against simulated instruments
// over VXI-11 on loopback, with its output, exit codes, interruption, batch
// runs and the audit trail checked from the outside.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "platform/abstract_socket.h"
#include "sim_process.h"
#include "test_signer.h"
#include "visa/instrument_key.h"
#include "visa/lock_table.h"
#include "visa/rsrc_name.h"
#include "workflow/json_fields.h"
#include "workflow/sha256.h"

namespace {

namespace fs = std::filesystem;
using workflow::IntegerOf;
using workflow::Json;
using workflow::TextOf;

struct Result {
    int code = -1;
    std::string out;
    std::string err;
};

// One fwupgrade process, its output collected as it comes.
class FwProcess {
public:
    // `tty_input`, when given, is typed on a terminal that is standard input;
    // otherwise standard input is /dev/null.
    FwProcess(const std::vector<std::string>& args, const std::vector<std::string>& env,
              const std::string* tty_input = nullptr) {
        int out[2], err[2];
        if (::pipe(out) != 0 || ::pipe(err) != 0) throw std::runtime_error("pipe");
        int master = -1;
        std::string slave;
        if (tty_input) {
            master = ::posix_openpt(O_RDWR | O_NOCTTY);
            ::grantpt(master);
            ::unlockpt(master);
            slave = ::ptsname(master);
        }
        pid_ = ::fork();
        if (pid_ == 0) {
            const int in =
                tty_input ? ::open(slave.c_str(), O_RDWR) : ::open("/dev/null", O_RDONLY);
            ::dup2(in, 0);
            ::dup2(out[1], 1);
            ::dup2(err[1], 2);
            for (const std::string& e : env)
                ::putenv(const_cast<char*>(e.c_str()));
            std::vector<char*> argv{const_cast<char*>(FWUPGRADE_PATH)};
            for (const std::string& a : args)
                argv.push_back(const_cast<char*>(a.c_str()));
            argv.push_back(nullptr);
            ::execv(argv[0], argv.data());
            ::_exit(127);
        }
        ::close(out[1]);
        ::close(err[1]);
        out_ = out[0];
        err_ = err[0];
        if (tty_input) {
            [[maybe_unused]] ssize_t n = ::write(master, tty_input->data(), tty_input->size());
            master_ = master;
        }
    }
    ~FwProcess() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
        for (int fd : {out_, err_, master_})
            if (fd >= 0) ::close(fd);
    }

    // Reads until standard output (or error) holds `text` or 20 s passed.
    bool wait_for(const std::string& text, bool on_err = false) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while ((on_err ? result_.err : result_.out).find(text) == std::string::npos) {
            if (std::chrono::steady_clock::now() > deadline || !pump(100)) return false;
        }
        return true;
    }
    void signal(int sig) { ::kill(pid_, sig); }
    // Stops reading standard output, as a reader that went away.
    void close_output() {
        ::close(out_);
        out_ = -1;
    }

    // Reads to the end (bounded) and reaps the process.
    Result finish() {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while ((out_ >= 0 || err_ >= 0) && std::chrono::steady_clock::now() < deadline)
            pump(200);
        int status = 0;
        if (out_ >= 0 || err_ >= 0) ::kill(pid_, SIGKILL);
        ::waitpid(pid_, &status, 0);
        pid_ = -1;
        result_.code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        return result_;
    }

private:
    bool pump(int timeout_ms) {
        pollfd fds[2] = {{out_, POLLIN, 0}, {err_, POLLIN, 0}};
        if (::poll(fds, 2, timeout_ms) < 0) return false;
        bool open = false;
        for (int i = 0; i < 2; ++i) {
            int& fd = i == 0 ? out_ : err_;
            std::string& text = i == 0 ? result_.out : result_.err;
            if (fd < 0) continue;
            if (fds[i].revents != 0) {
                char buffer[4096];
                const ssize_t n = ::read(fd, buffer, sizeof buffer);
                if (n <= 0) {
                    ::close(fd);
                    fd = -1;
                    continue;
                }
                text.append(buffer, static_cast<std::size_t>(n));
            }
            open = true;
        }
        return open;
    }

    pid_t pid_ = -1;
    int out_ = -1;
    int err_ = -1;
    int master_ = -1;
    Result result_;
};

std::vector<Json> Events(const std::string& out) {
    std::vector<Json> events;
    std::size_t start = 0;
    for (std::size_t end; (end = out.find('\n', start)) != std::string::npos; start = end + 1) {
        std::optional<Json> event = workflow::ParseJsonObject(out.substr(start, end - start));
        EXPECT_TRUE(event) << out.substr(start, end - start);
        if (event) events.push_back(*event);
    }
    return events;
}

std::size_t Count(const std::string& text, const std::string& what) {
    std::size_t n = 0;
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

std::vector<Json> Named(const std::vector<Json>& events, const std::string& name) {
    std::vector<Json> found;
    for (const Json& e : events)
        if (TextOf(e, "event") == name) found.push_back(e);
    return found;
}

class CliSimTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (::geteuid() != 0) GTEST_SKIP() << "VXI-11 needs the simulator's port 111 (root)";
        const testing::TestInfo* info = testing::UnitTest::GetInstance()->current_test_info();
        m_dir = fs::temp_directory_path() /
                ("fw-cli-" + std::string(info->name()) + "-" + std::to_string(::getpid()));
        fs::remove_all(m_dir);
        fs::create_directories(m_dir / "state");
        fs::create_directories(m_dir / "config" / "firmware-update");
        fs::create_directories(m_dir / "rel" / "host");
        std::mt19937 random(7);
        std::size_t size = 20000;
        for (const char* file :
             {"vxWorks_rom.bin", "RecoveryApp.bin", "bootrom.bin", "ubl-nor-ais.bin"}) {
            std::string image(size += 1111, '\0');
            for (char& c : image)
                c = static_cast<char>(random());
            m_images[file] = image;
            std::ofstream(m_dir / "rel" / "host" / file, std::ios::binary) << image;
        }
        Release("HPAP\nHREC\nHBRM\nHUBL\n");
        m_env = {"XDG_STATE_HOME=" + (m_dir / "state").string(),
                 "XDG_CONFIG_HOME=" + (m_dir / "config").string()};
    }
    void TearDown() override {
        if (!m_dir.empty()) fs::remove_all(m_dir);
    }

    void Release(const std::string& config) {
        std::ofstream(m_dir / "rel" / "Firmware_Upgrade.txt") << config;
    }
    // `silent` are configured resources where nothing listens.
    void Configure(const std::vector<const SimProcess*>& sims,
                   const std::vector<std::string>& silent = {}) {
        std::ofstream conf(m_dir / "config" / "firmware-update" / "visa.conf");
        for (const SimProcess* sim : sims)
            conf << sim->vxi11() << "\n";
        for (const std::string& resource : silent)
            conf << resource << "\n";
        conf << "serial = off\n";
    }
    std::string ReleaseDir() const { return (m_dir / "rel").string(); }

    Result Fw(const std::vector<std::string>& args, const std::string* tty = nullptr) {
        return FwProcess(args, m_env, tty).finish();
    }
    std::unique_ptr<FwProcess> Start(const std::vector<std::string>& args) {
        return std::make_unique<FwProcess>(args, m_env);
    }

    // The audit trail's final records, or with `kind` "started" the records
    // written before the first contact.
    std::vector<Json> Audit(const std::string& kind = "final") {
        std::vector<Json> records;
        std::ifstream in(m_dir / "state" / "firmware-update" / "audit.jsonl");
        for (std::string line; std::getline(in, line);) {
            std::optional<Json> r = workflow::ParseJsonObject(line);
            EXPECT_TRUE(r) << line;
            if (r && TextOf(*r, "record") == kind) records.push_back(*r);
        }
        return records;
    }

    // Simulators restart quickly, so --wait and the tests stay brief.
    static std::vector<std::string> Quick(std::vector<std::string> options) {
        options.insert(options.end(), {"--reboot-ms", "200"});
        return options;
    }

    fs::path m_dir;
    std::map<std::string, std::string> m_images;
    std::vector<std::string> m_env;
};

TEST_F(CliSimTest, ListAndIdentifyInTextAndJsonWithTheirExitCodes) {
    SimProcess sensor("127.0.0.130", {"--serial", "S130", "--firmware", "2.0.1"});
    SimProcess stranger("127.0.0.131", {"--model", "other"});
    SimProcess locked("127.0.0.133", {"--hold-lock"});
    Configure({&sensor, &stranger});

    Result list = Fw({"list"});
    EXPECT_EQ(list.code, 0);
    EXPECT_EQ(list.out, sensor.vxi11() + "\n" + stranger.vxi11() + "\n");

    Result identified = Fw({"list", "--identify", "--json"});
    EXPECT_EQ(identified.code, 0);
    std::vector<Json> events = Events(identified.out);
    std::vector<Json> found = Named(events, "instrument");
    ASSERT_EQ(found.size(), 2u);
    EXPECT_EQ(TextOf(found[0], "serial"), "S130");
    EXPECT_TRUE(found[0].at("accepted").get<bool>());
    EXPECT_EQ(TextOf(found[1], "model"), "K7150A");
    EXPECT_FALSE(found[1].at("accepted").get<bool>());
    EXPECT_EQ(TextOf(events.back(), "event"), "finished");
    EXPECT_EQ(IntegerOf(events.back(), "count"), 2);
    for (const Json& e : events)
        EXPECT_EQ(IntegerOf(e, "schema"), 1);

    // A bare address is wrapped as in the window.
    Result one = Fw({"identify", "127.0.0.130"});
    EXPECT_EQ(one.code, 0);
    EXPECT_EQ(one.out, "TCPIP0::127.0.0.130::INSTR  K7141HA, serial S130, firmware 2.0.1\n");

    // A foreign model keeps its 3, with a word of its own.
    Result foreign = Fw({"identify", stranger.vxi11(), "--json"});
    EXPECT_EQ(foreign.code, 3);
    EXPECT_EQ(TextOf(Named(Events(foreign.out), "finished")[0], "result"), "not_accepted");

    // Nothing answers: said once, on standard error, and in the events.
    Result nobody = Fw({"identify", "127.0.0.132"});
    EXPECT_EQ(nobody.code, 3);
    EXPECT_EQ(nobody.out, "");
    EXPECT_EQ(Count(nobody.err, "\n"), 1u) << nobody.err;
    EXPECT_EQ(nobody.err.rfind("fwupgrade: TCPIP0::127.0.0.132::INSTR: not reachable at "
                               "127.0.0.132:111",
                               0),
              0u)
        << nobody.err;
    const Json silent = Named(Events(Fw({"identify", "127.0.0.132", "--json"}).out), "finished")[0];
    EXPECT_EQ(TextOf(silent, "result"), "not_found");
    EXPECT_EQ(TextOf(silent.at("reason"), "kind"), "unreachable");
    EXPECT_EQ(TextOf(silent.at("reason"), "message"), TextOf(silent, "message"));
    Configure({&sensor}, {"TCPIP0::127.0.0.132::INSTR"});
    const std::vector<Json> listed =
        Named(Events(Fw({"list", "--identify", "--json"}).out), "instrument");
    ASSERT_EQ(listed.size(), 2u);
    EXPECT_TRUE(listed[0].at("reason").is_null());
    EXPECT_EQ(TextOf(listed[1].at("reason"), "host"), "127.0.0.132");

    Result busy = Fw({"identify", locked.vxi11(), "--json"});
    EXPECT_EQ(busy.code, 4);
    EXPECT_TRUE(Named(Events(busy.out), "identified")[0].at("locked").get<bool>());

    // 49 characters become 64 once wrapped: one more than the engine holds.
    Result too_long = Fw({"identify", std::string(49, 'a')});
    EXPECT_EQ(too_long.code, 2);
    EXPECT_NE(too_long.err.find("too long (64 characters, at most 63)"), std::string::npos);

    Result usage = Fw({"identify", "--json"});
    EXPECT_EQ(usage.code, 2);
    EXPECT_EQ(IntegerOf(Named(Events(usage.out), "finished")[0], "exit_code"), 2);
    EXPECT_NE(usage.err.find("Try 'fwupgrade --help'"), std::string::npos);
}

TEST_F(CliSimTest, UpgradeWritesImagesReportsEachStepAndRecordsTheAttempt) {
    SimProcess sim("127.0.0.135", Quick({"--serial", "S135", "--firmware", "3.1"}));
    Result run =
        Fw({"upgrade", sim.vxi11(), "--release", ReleaseDir(), "--yes", "--wait", "--json"});
    // The simulator comes back with the firmware it had: the upgrade did not take.
    ASSERT_EQ(run.code, 11) << run.err;
    std::vector<std::string> names;
    for (const Json& e : Events(run.out)) {
        std::string name = TextOf(e, "event");
        if (name == "step") name += " " + TextOf(e, "step");
        if (name == "image_started" || name == "image_done") name += " " + TextOf(e, "image");
        if (name != "progress" && name != "diagnostic") names.push_back(name);
    }
    EXPECT_EQ(names, (std::vector<std::string>{"start",
                                               "verification",
                                               "step identify",
                                               "identified",
                                               "step start",
                                               "image_started HPAP",
                                               "image_done HPAP",
                                               "step end",
                                               "step start",
                                               "image_started HREC",
                                               "image_done HREC",
                                               "image_started HBRM",
                                               "image_done HBRM",
                                               "image_started HUBL",
                                               "image_done HUBL",
                                               "step end",
                                               "step reboot",
                                               "waiting",
                                               "back",
                                               "finished"}));
    const std::vector<Json> events = Events(run.out);
    EXPECT_EQ(TextOf(Named(events, "back")[0], "firmware"), "3.1");
    EXPECT_NE(run.err.find("the instrument still reports firmware 3.1 after the restart"),
              std::string::npos)
        << run.err;
    EXPECT_EQ(TextOf(Named(events, "finished")[0], "result"), "not_changed");
    EXPECT_TRUE(Named(events, "finished")[0].at("restart_sent").get<bool>());
    EXPECT_EQ(TextOf(Named(events, "image_started")[0], "sha256"),
              workflow::Sha256Hex(m_images["vxWorks_rom.bin"]));
    EXPECT_EQ(TextOf(Named(events, "progress").back(), "phase"), "programming");
    EXPECT_TRUE(sim.wait_stored("HPAP", m_images["vxWorks_rom.bin"]));
    EXPECT_TRUE(sim.wait_stored("HUBL", m_images["ubl-nor-ais.bin"]));

    // The same run for people: one line per image, no JSON.
    Result text = Fw({"upgrade", sim.vxi11(), "--release", ReleaseDir(), "--images", "HUBL"});
    ASSERT_EQ(text.code, 0) << text.err;
    EXPECT_NE(text.out.find("Identified K7141HA, serial S135, firmware 3.1\n"), std::string::npos);
    EXPECT_NE(text.out.find("Host UBL upgrade...successful ("), std::string::npos) << text.out;
    EXPECT_NE(text.out.find("Upgrade of " + sim.vxi11() + " complete."), std::string::npos);
    EXPECT_EQ(text.out.find('{'), std::string::npos);

    const std::vector<Json> audit = Audit();
    ASSERT_EQ(audit.size(), 2u);
    const Json& first = audit[0];
    EXPECT_EQ(TextOf(first, "tool"), "fwupgrade");
    EXPECT_EQ(TextOf(first, "result"), "firmware not changed");
    EXPECT_EQ(TextOf(first, "serial"), "S135");
    EXPECT_EQ(TextOf(first, "firmware_before"), "3.1");
    EXPECT_EQ(TextOf(first, "firmware_after"), "3.1");
    EXPECT_TRUE(first.at("restart_sent").get<bool>());
    const auto& images = first.at("images");
    ASSERT_EQ(images.size(), 4u);
    EXPECT_EQ(TextOf(images[3], "id"), "HUBL");
    EXPECT_EQ(IntegerOf(images[3], "size"),
              static_cast<long long>(m_images["ubl-nor-ais.bin"].size()));
    EXPECT_EQ(TextOf(images[3], "sha256"), workflow::Sha256Hex(m_images["ubl-nor-ais.bin"]));
    EXPECT_TRUE(audit[1].at("firmware_after").is_null());

    Result history = Fw({"history", "--json", "--limit", "1"});
    EXPECT_EQ(history.code, 0);
    const std::vector<Json> records = Named(Events(history.out), "record");
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].at("record").dump(), audit[1].dump());
    Result table = Fw({"history"});
    EXPECT_NE(table.out.find("3.1->3.1"), std::string::npos) << table.out;
    EXPECT_NE(table.out.find("HUBL:ok"), std::string::npos) << table.out;
}

TEST_F(CliSimTest, TheHostWarningIsAskedOrRefusedBeforeAnythingIsWritten) {
    SimProcess sim("127.0.0.137", Quick({}));
    // No terminal to ask on and no --yes: nothing reaches the instrument.
    Result refused = Fw({"upgrade", sim.vxi11(), "--release", ReleaseDir()});
    EXPECT_EQ(refused.code, 2);
    EXPECT_NE(refused.err.find("confirm with --yes"), std::string::npos);
    EXPECT_EQ(sim.transcript(), "");

    // Answered no on the terminal: the identification only.
    const std::string no = "n\n";
    Result declined = Fw({"upgrade", sim.vxi11(), "--release", ReleaseDir()}, &no);
    EXPECT_EQ(declined.code, 7) << declined.err;
    EXPECT_NE(declined.err.find("Do you want to proceed? [y/N]"), std::string::npos);
    EXPECT_EQ(sim.transcript(), "*IDN?\n");
    EXPECT_EQ(TextOf(Audit().at(0), "result"), "declined");

    // Interrupted while the question waits: nothing more is sent.
    const std::string nothing;
    FwProcess waiting({"upgrade", sim.vxi11(), "--release", ReleaseDir()}, m_env, &nothing);
    ASSERT_TRUE(waiting.wait_for("Identified"));
    ::usleep(100000);
    waiting.signal(SIGINT);
    EXPECT_EQ(waiting.finish().code, 6);
    EXPECT_EQ(sim.transcript(), "*IDN?\n*IDN?\n");

    // Without the Host application nothing is asked.
    Result ubl = Fw({"upgrade", sim.vxi11(), "--release", ReleaseDir(), "--images", "HUBL"});
    EXPECT_EQ(ubl.code, 0) << ubl.err;

    // A batch asks once for all, and the first interrupt ends its question.
    const std::string before = sim.transcript();
    FwProcess batch({"upgrade", sim.vxi11(), "127.0.0.138", "--release", ReleaseDir()}, m_env,
                    &nothing);
    ASSERT_TRUE(batch.wait_for("Do you want to proceed? [y/N]", true));
    const auto asked = std::chrono::steady_clock::now();
    batch.signal(SIGINT);
    EXPECT_EQ(batch.finish().code, 6);
    EXPECT_LT(std::chrono::steady_clock::now() - asked, std::chrono::seconds(10));
    EXPECT_EQ(sim.transcript(), before);
}

TEST_F(CliSimTest, EachFailureHasItsExitCodeAndRecord) {
    SimProcess refusing("127.0.0.140", Quick({"--init-reply", "3"}));
    SimProcess locked("127.0.0.141", {"--hold-lock"});
    SimProcess stranger("127.0.0.142", {"--model", "other"});
    SimProcess slow_back("127.0.0.143", {"--reboot-ms", "30000"});
    SimProcess refusing_host("127.0.0.147", {"--init-reply", "3"});
    SimProcess unread("127.0.0.148", Quick({}));
    const std::string rel = ReleaseDir();
    // Run at once; each waits on its own instrument.
    auto image = Start({"upgrade", refusing.vxi11(), "--release", rel, "--images", "HUBL"});
    auto host = Start({"upgrade", refusing_host.vxi11(), "--release", rel, "--images", "HPAP,HUBL",
                       "--yes", "--json"});
    auto busy = Start({"upgrade", locked.vxi11(), "--release", rel, "--images", "HUBL"});
    auto foreign = Start({"upgrade", stranger.vxi11(), "--release", rel, "--images", "HUBL"});
    auto silent = Start({"upgrade", slow_back.vxi11(), "--release", rel, "--images", "HUBL",
                         "--wait-timeout", "1"});
    // Nobody reads the events: the upgrade still goes through.
    auto deaf = Start({"upgrade", unread.vxi11(), "--release", rel, "--images", "HUBL", "--json"});
    deaf->close_output();
    auto missing = Start({"upgrade", refusing.vxi11(), "--release", (m_dir / "nowhere").string(),
                          "--images", "HUBL"});

    EXPECT_EQ(image->finish().code, 5);
    const Result host_run = host->finish();
    EXPECT_EQ(host_run.code, 5);
    // A failed Host application ends the run: no other image, no end, no
    // restart (the window's behaviour).
    EXPECT_EQ(Named(Events(host_run.out), "image_started").size(), 1u);
    const Result busy_run = busy->finish();
    EXPECT_EQ(busy_run.code, 4);
    EXPECT_NE(busy_run.err.find(": locked by "), std::string::npos) << busy_run.err;
    EXPECT_EQ(foreign->finish().code, 3);
    const Result silent_run = silent->finish();
    EXPECT_EQ(silent_run.code, 9) << silent_run.err;
    const Result missing_run = missing->finish();
    EXPECT_EQ(missing_run.code, 1);
    EXPECT_NE(missing_run.err.find("cannot read Firmware_Upgrade.txt"), std::string::npos);

    EXPECT_EQ(deaf->finish().code, 0);
    EXPECT_TRUE(unread.wait_stored("HUBL", m_images["ubl-nor-ais.bin"]));

    Release("HUBL\n");
    EXPECT_EQ(Fw({"upgrade", refusing.vxi11(), "--release", rel, "--images", "HREC"}).code, 1);

    std::map<std::string, int> results;
    for (const Json& r : Audit())
        ++results[TextOf(r, "result")];
    EXPECT_EQ(results, (std::map<std::string, int>{{"ok", 1},
                                                   {"failed", 2},
                                                   {"locked", 1},
                                                   {"not accepted", 1},
                                                   {"no answer after restart", 1}}));
}

TEST_F(CliSimTest, AFirstInterruptFinishesTheImageAndStopsOutOfUpdateMode) {
    SimProcess sim("127.0.0.144", Quick({"--slow", "DIAG:UPD:BLOC?=700"}));
    auto run = Start({"upgrade", sim.vxi11(), "--release", ReleaseDir(), "--yes", "--json",
                      "--images", "HREC,HBRM,HUBL"});
    ASSERT_TRUE(run->wait_for("\"image_started\""));
    run->signal(SIGINT);
    const Result result = run->finish();
    EXPECT_EQ(result.code, 6) << result.err;
    EXPECT_NE(result.err.find("HREC is finished first"), std::string::npos) << result.err;

    const std::vector<Json> events = Events(result.out);
    ASSERT_EQ(Named(events, "image_done").size(), 1u);
    EXPECT_EQ(TextOf(Named(events, "image_done")[0], "result"), "ok");
    EXPECT_EQ(TextOf(events.back(), "result"), "interrupted");
    const std::string closing =
        "stopped on request; written: HREC; not written: HBRM, HUBL; the instrument was left out "
        "of update mode";
    EXPECT_EQ(TextOf(events.back(), "message"), closing);
    EXPECT_NE(result.err.find(closing), std::string::npos) << result.err;
    EXPECT_TRUE(sim.wait_stored("HREC", m_images["RecoveryApp.bin"]));
    // The image went to its done command, then update mode ended; nothing
    // more was started and the instrument was not restarted.
    const std::string t = sim.transcript();
    EXPECT_NE(t.find("DIAG:UPD:DONE\nDIAG:UPD:END\n"), std::string::npos) << t;
    EXPECT_EQ(t.find("INIT? HBRM"), std::string::npos) << t;
    EXPECT_EQ(t.find("REBoot"), std::string::npos) << t;

    const Json record = Audit().at(0);
    EXPECT_EQ(TextOf(record, "result"), "interrupted");
    const auto& images = record.at("images");
    EXPECT_EQ(TextOf(images[0], "result"), "ok");
    EXPECT_EQ(TextOf(images[1], "result"), "not attempted");

    // Interrupted while it identifies: update mode is never entered, and
    // the run ends at once rather than when the 2 s for the reply are up
    // (the instrument here would answer only after 5 s).
    SimProcess slow_idn("127.0.0.145", {"--slow", "*IDN?=5000"});
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"upgrade", slow_idn.vxi11(), "--release", ReleaseDir(), "--json",
                                   "--images", "HUBL"},
          std::vector<std::string>{"identify", slow_idn.vxi11(), "--json"}}) {
        const std::size_t asked_before = Count(slow_idn.transcript(), "*IDN?");
        auto early = Start(args);
        // Signalled once the question is with the instrument.
        for (int i = 0; i < 500 && Count(slow_idn.transcript(), "*IDN?") == asked_before; ++i)
            ::usleep(20000);
        const auto signalled = std::chrono::steady_clock::now();
        early->signal(SIGTERM);
        const Result ended = early->finish();
        EXPECT_EQ(ended.code, 6) << args[0] << ": " << ended.err;
        EXPECT_LT(std::chrono::steady_clock::now() - signalled, std::chrono::milliseconds(1500))
            << args[0];
        EXPECT_EQ(TextOf(Events(ended.out).back(), "result"), "interrupted") << ended.out;
    }
    EXPECT_EQ(slow_idn.transcript(), "*IDN?\n*IDN?\n");
    EXPECT_EQ(TextOf(Audit().back(), "message"),
              "stopped on request before the instrument entered update mode");
}

TEST_F(CliSimTest, ASecondInterruptAfterTheWholeImageWentOutLeavesItsFateUnknown) {
    // The instrument takes its time over the done command: whether it kept
    // the image is not known when the second interrupt ends the run.
    SimProcess sim("127.0.0.134", Quick({"--slow", "DIAG:UPD:DONE=5000"}));
    auto run = Start(
        {"upgrade", sim.vxi11(), "--release", ReleaseDir(), "--json", "--images", "HREC,HUBL"});
    ASSERT_TRUE(run->wait_for("\"phase\":\"programming\""));
    run->signal(SIGINT);
    ASSERT_TRUE(run->wait_for("interrupt again", true));
    run->signal(SIGINT);
    const Result result = run->finish();
    EXPECT_EQ(result.code, 6);
    const std::vector<Json> done = Named(Events(result.out), "image_done");
    ASSERT_EQ(done.size(), 1u);
    EXPECT_EQ(TextOf(done[0], "result"), "unknown");
    EXPECT_NE(result.err.find("unknown whether the instrument kept HREC"), std::string::npos)
        << result.err;
    EXPECT_EQ(result.err.find("not kept"), std::string::npos) << result.err;
    const Json record = Audit().at(0);
    EXPECT_EQ(TextOf(record, "result"), "unknown");
    EXPECT_EQ(TextOf(record.at("images").at(0), "result"), "unknown");
    EXPECT_EQ(TextOf(record.at("images").at(1), "result"), "not attempted");
}

TEST_F(CliSimTest, TheAuditNamesWhyNoInstrumentCouldBeUpgraded) {
    // Nothing listens on 127.0.0.149: unreachable, with where it was tried.
    SimProcess locked("127.0.0.139", {"--hold-lock"});
    EXPECT_EQ(Fw({"upgrade", "127.0.0.149", "--release", ReleaseDir(), "--images", "HUBL"}).code,
              3);
    EXPECT_EQ(Fw({"upgrade", locked.vxi11(), "--release", ReleaseDir(), "--images", "HUBL"}).code,
              4);
    const std::vector<Json> finals = Audit();
    ASSERT_EQ(finals.size(), 2u);
    EXPECT_EQ(TextOf(finals[0], "result"), "unreachable");
    const Json& cause = finals[0].at("cause");
    EXPECT_EQ(TextOf(cause, "host"), "127.0.0.149");
    EXPECT_EQ(IntegerOf(cause, "port"), 111);
    EXPECT_NE(TextOf(finals[0], "message").find("not reachable"), std::string::npos);
    EXPECT_EQ(TextOf(finals[1], "result"), "locked");
    EXPECT_EQ(TextOf(finals[1].at("cause"), "kind"), "locked");
}

TEST_F(CliSimTest, ASecondInterruptEndsAtOnceAndLeavesTheInstrumentUnlocked) {
    SimProcess sim("127.0.0.146", Quick({"--slow", "DIAG:UPD:BLOC?=5000"}));
    auto run = Start(
        {"upgrade", sim.vxi11(), "--release", ReleaseDir(), "--json", "--images", "HREC,HUBL"});
    ASSERT_TRUE(run->wait_for("\"image_started\""));
    run->signal(SIGINT);
    ASSERT_TRUE(run->wait_for("interrupt again"));
    run->signal(SIGINT);
    const Result result = run->finish();
    EXPECT_EQ(result.code, 6);
    const std::vector<Json> done = Named(Events(result.out), "image_done");
    ASSERT_EQ(done.size(), 1u);
    EXPECT_EQ(TextOf(done[0], "result"), "interrupted");
    EXPECT_EQ(TextOf(Events(result.out).back(), "event"), "finished") << result.out;
    EXPECT_EQ(TextOf(Events(result.out).back(), "result"), "interrupted") << result.out;

    // Nobody holds the instrument now, and nothing half-sent was kept.
    EXPECT_EQ(Fw({"identify", sim.vxi11()}).code, 0);
    EXPECT_EQ(sim.transcript().find("DIAG:UPD:DONE"), std::string::npos);
    EXPECT_EQ(sim.stored("HREC"), "");
    const Json record = Audit().at(0);
    EXPECT_EQ(TextOf(record, "result"), "interrupted");
    EXPECT_EQ(TextOf(record.at("images").at(0), "result"), "interrupted");
}

TEST_F(CliSimTest, ABatchRunsInParallelAndOneFailureStopsNoOther) {
    SimProcess good("127.0.0.150", Quick({}));
    SimProcess locked("127.0.0.151", {"--hold-lock"});
    SimProcess refusing("127.0.0.152", {"--init-reply", "3"});
    const Result run = Fw({"upgrade", good.vxi11(), locked.vxi11(), refusing.vxi11(), "-j", "3",
                           "--release", ReleaseDir(), "--images", "HUBL", "--json"});
    EXPECT_EQ(run.code, 8) << run.err;
    const std::vector<Json> events = Events(run.out);
    const std::vector<Json> summary = Named(events, "summary");
    ASSERT_EQ(summary.size(), 1u);
    const auto& rows = summary[0].at("instruments");
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(TextOf(rows[0], "result"), "ok");
    EXPECT_EQ(TextOf(rows[1], "result"), "locked");
    EXPECT_EQ(IntegerOf(rows[1], "exit_code"), 4);
    EXPECT_EQ(TextOf(rows[2], "result"), "failed");
    EXPECT_EQ(IntegerOf(summary[0], "succeeded"), 1);
    EXPECT_EQ(IntegerOf(events.back(), "exit_code"), 8);
    // Every child's events come through, each naming its instrument.
    EXPECT_EQ(Named(events, "start").size(), 3u);
    EXPECT_TRUE(good.wait_stored("HUBL", m_images["ubl-nor-ais.bin"]));
    EXPECT_EQ(Audit().size(), 3u);

    // For people: a table, and a Ctrl-C that lets the running one finish
    // its image and starts no other.
    SimProcess slow("127.0.0.153", Quick({"--slow", "DIAG:UPD:BLOC?=700"}));
    auto batch = Start({"upgrade", slow.vxi11(), good.vxi11(), "-j", "1", "--release", ReleaseDir(),
                        "--images", "HREC,HUBL"});
    ASSERT_TRUE(batch->wait_for("Upgrading 2 instruments"));
    ::usleep(300000);
    batch->signal(SIGINT);
    const Result stopped = batch->finish();
    EXPECT_EQ(stopped.code, 6) << stopped.err;
    EXPECT_NE(stopped.out.find("RESOURCE"), std::string::npos) << stopped.out;
    EXPECT_NE(stopped.out.find(good.vxi11() + "  -"), std::string::npos) << stopped.out;
    EXPECT_NE(stopped.out.find("not started"), std::string::npos) << stopped.out;
    EXPECT_NE(slow.transcript().find("DIAG:UPD:DONE\nDIAG:UPD:END\n"), std::string::npos);
}

TEST_F(CliSimTest, AllFindsAcceptedModelsAndAnUnwritableAuditStopsNothing) {
    SimProcess older("127.0.0.155", Quick({"--model", "K7141B"}));
    SimProcess newer("127.0.0.156", Quick({"--model", "K7142HA"}));
    SimProcess stranger("127.0.0.157", {"--model", "other"});
    // The same model and serial number again: to fwupgrade, the newer one
    // listed a second time (as over USB and over LAN).
    // One instrument reached at two addresses: the same model and serial.
    SimProcess twin("127.0.0.158", {"--model", "K7142HA", "--serial", "000156"});
    Configure({&older, &newer, &stranger, &twin});
    // The state folder is a file: the audit line cannot be written.
    fs::remove_all(m_dir / "state");
    std::ofstream(m_dir / "state") << "in the way";

    // The foreign one would fail the batch: the line says it may be there.
    const Result run = Fw({"upgrade", "--all", "--model", "k7142ha", "--release", ReleaseDir(),
                           "--images", "HUBL", "--allow-missing", "--json"});
    EXPECT_EQ(run.code, 0) << run.err;
    const std::vector<Json> events = Events(run.out);
    const std::vector<Json> seen = Named(events, "instrument");
    ASSERT_EQ(seen.size(), 4u);
    EXPECT_EQ(TextOf(seen[0], "reason"), "model K7141B not asked for");
    EXPECT_TRUE(seen[1].at("selected").get<bool>());
    EXPECT_EQ(TextOf(seen[2], "reason"), "not an accepted model");
    EXPECT_EQ(TextOf(seen[3], "reason"), "the same instrument as " + newer.vxi11());
    EXPECT_EQ(twin.transcript(), "*IDN?\n");
    const Json summary = Named(events, "summary")[0];
    ASSERT_EQ(summary.at("instruments").size(), 2u);
    EXPECT_TRUE(summary.at("instruments")[1].at("skipped").get<bool>());
    EXPECT_EQ(IntegerOf(summary, "failed"), 0);
    EXPECT_EQ(IntegerOf(summary, "missing"), 1);
    EXPECT_TRUE(newer.wait_stored("HUBL", m_images["ubl-nor-ais.bin"]));
    EXPECT_EQ(older.stored("HUBL"), "");
    EXPECT_NE(run.err.find("warning: audit log"), std::string::npos) << run.err;
    bool said = false;
    for (const Json& e : Named(events, "finished"))
        said =
            said || TextOf(e, "audit_error").find("audit log " + (m_dir / "state").string()) == 0;
    EXPECT_TRUE(said);
    EXPECT_EQ(Fw({"history"}).code, 1);
}

TEST_F(CliSimTest, ConfiguredSocketsAreListedAndAskedByAll) {
    SimProcess sensor("127.0.0.194", {"--serial", "S194"});
    Configure({&sensor}, {sensor.socket()});
    EXPECT_EQ(Fw({"list"}).out, sensor.vxi11() + "\n" + sensor.socket() + "\n");
    // Another model is asked for: both names are asked, neither is upgraded.
    const Result all = Fw({"upgrade", "--all", "--model", "k7141b", "--release", ReleaseDir(),
                           "--images", "HUBL", "--json"});
    const std::vector<Json> seen = Named(Events(all.out), "instrument");
    ASSERT_EQ(seen.size(), 2u) << all.out;
    EXPECT_EQ(TextOf(seen[1], "resource"), sensor.socket());
    EXPECT_EQ(TextOf(seen[1], "reason"), "model K7141HA not asked for");
}

// ---- what a production line relies on: missing instruments, the history ----

TEST_F(CliSimTest, AllFailsWhenAConfiguredInstrumentIsMissingUnlessAllowed) {
    SimProcess good("127.0.0.175", Quick({"--serial", "S175"}));
    const std::string silent = "TCPIP0::127.0.0.176::inst0::INSTR";  // nothing listens
    Configure({&good}, {silent});
    const std::string rel = ReleaseDir();

    const Result strict = Fw({"upgrade", "--all", "--release", rel, "--images", "HUBL", "--json"});
    EXPECT_EQ(strict.code, 8) << strict.err;
    const Json summary = Named(Events(strict.out), "summary").at(0);
    EXPECT_EQ(IntegerOf(summary, "succeeded"), 1);
    EXPECT_EQ(IntegerOf(summary, "failed"), 1);
    ASSERT_EQ(summary.at("instruments").size(), 2u);
    const Json& missing = summary.at("instruments")[1];
    EXPECT_EQ(TextOf(missing, "resource"), silent);
    EXPECT_EQ(TextOf(missing, "result"), "not_found");
    EXPECT_EQ(TextOf(missing, "message"), "no answer");
    EXPECT_TRUE(good.wait_stored("HUBL", m_images["ubl-nor-ais.bin"]));
    // Back from its restart before the next batch looks for it.
    for (int tries = 0; tries < 50 && Fw({"identify", good.vxi11()}).code != 0; ++tries)
        ::usleep(100000);

    const Result allowed =
        Fw({"upgrade", "--all", "--allow-missing", "--release", rel, "--images", "HUBL"});
    EXPECT_EQ(allowed.code, 0) << allowed.out << allowed.err;
    EXPECT_NE(allowed.out.find("skipped: no answer"), std::string::npos) << allowed.out;

    // Only an accepted model can be asked for, and nothing is contacted.
    const std::string before = good.transcript();
    const Result unknown = Fw({"upgrade", "--all", "--model", "K9999", "--release", rel});
    EXPECT_EQ(unknown.code, 2);
    EXPECT_NE(unknown.err.find("unknown model 'K9999' (models are K7141HA, K7142HA or K7141B)"),
              std::string::npos)
        << unknown.err;
    EXPECT_EQ(good.transcript(), before);
}

TEST_F(CliSimTest, HistoryFiltersBySerialAndHostAndNamesToolAndUser) {
    SimProcess stranger("127.0.0.177", {"--model", "other", "--serial", "S177"});
    EXPECT_EQ(Fw({"upgrade", stranger.vxi11(), "--release", ReleaseDir(), "--images", "HUBL"}).code,
              3);
    // The window's attempts: on the same host over a raw socket, and on an
    // instrument of the same serial number over USB.
    {
        std::ofstream log(m_dir / "state" / "firmware-update" / "audit.jsonl", std::ios::app);
        log << R"({"schema":1,"record":"final","time":"2026-01-02T03:04:05.000Z","tool":"window",)"
            << R"("user":"op","resource":"TCPIP0::127.0.0.177::5025::SOCKET","serial":"S9",)"
            << R"("result":"ok","images":[]})"
            << "\n"
            << R"({"schema":1,"record":"final","time":"2026-01-02T03:04:06.000Z","tool":"window",)"
            << R"("user":"op","resource":"USB0::0x1A2B::0x0C3D::S177::INSTR","serial":"S177",)"
            << R"("result":"ok","images":[]})"
            << "\n";
    }
    const auto records = [&](const std::vector<std::string>& filter) {
        std::vector<std::string> args{"history", "--json"};
        args.insert(args.end(), filter.begin(), filter.end());
        const Result r = Fw(args);
        EXPECT_EQ(r.code, 0) << r.err;
        std::vector<Json> found;
        for (const Json& e : Named(Events(r.out), "record"))
            found.push_back(e.at("record"));
        return found;
    };

    // A wrong model is recorded as not accepted, with the model it answered;
    // rows go in time order, wherever the log has them.
    const std::vector<Json> on_host = records({"--host", "127.0.0.177"});
    ASSERT_EQ(on_host.size(), 2u);
    EXPECT_EQ(TextOf(on_host[1], "result"), "not accepted");
    EXPECT_EQ(TextOf(on_host[1], "model"), "K7150A");
    EXPECT_NE(TextOf(on_host[1], "message").find("K7150A"), std::string::npos);
    EXPECT_EQ(TextOf(on_host[0], "tool"), "window");
    // A resource names its host as well; a bare --resource is the same instrument.
    EXPECT_EQ(records({"--host", "TCPIP0::127.0.0.177::hislip0::INSTR"}).size(), 2u);
    EXPECT_EQ(records({"--resource", "127.0.0.177"}).size(), 1u);
    EXPECT_EQ(records({"--serial", "S177"}).size(), 2u);
    EXPECT_EQ(records({"--serial", "S177", "--host", "127.0.0.177"}).size(), 1u);
    EXPECT_EQ(Fw({"history", "--host", "USB0::0x1A2B::0x0C3D::S177::INSTR"}).code, 2);

    const Result table = Fw({"history", "--serial", "S177"});
    EXPECT_EQ(table.out.rfind("TIME", 0), 0u) << table.out;
    EXPECT_NE(table.out.find(" TOOL "), std::string::npos) << table.out;
    EXPECT_NE(table.out.find(" USER "), std::string::npos) << table.out;
    EXPECT_NE(table.out.find(" fwupgrade root "), std::string::npos) << table.out;
    EXPECT_NE(table.out.find(" window "), std::string::npos) << table.out;

    // Read from the end: an attempt's final line stands for its started
    // lines, and a restart line after it completes it; without a final line
    // the newest started line is the attempt's row.
    {
        std::ofstream log(m_dir / "state" / "firmware-update" / "audit.jsonl", std::ios::app);
        for (
            const char* line :
            {R"({"record":"started","attempt":"w1","resource":"ASRL7::INSTR"})",
             R"({"record":"started","attempt":"w2","resource":"ASRL7::INSTR"})",
             R"({"record":"started","attempt":"w1","resource":"ASRL7::INSTR","model":"K7141HA"})",
             R"({"record":"final","attempt":"w1","resource":"ASRL7::INSTR","result":"ok","restart_sent":null})",
             R"({"record":"started","attempt":"w2","resource":"ASRL7::INSTR","model":"K7142HA"})",
             R"({"record":"restart","attempt":"w1","resource":"ASRL7::INSTR","restart_sent":true})"})
            log << line << "\n";
    }
    const std::vector<Json> joined = records({"--resource", "ASRL7::INSTR"});
    ASSERT_EQ(joined.size(), 2u);
    EXPECT_EQ(TextOf(joined[0], "result"), "ok");
    EXPECT_TRUE(joined[0].at("restart_sent").get<bool>());
    EXPECT_EQ(TextOf(joined[1], "result"), "incomplete");
    EXPECT_EQ(TextOf(joined[1], "model"), "K7142HA");
    EXPECT_EQ(records({"--resource", "ASRL7::INSTR", "-n", "1"}).size(), 1u);

    // A record whose strings hold a terminal escape and a line feed is one
    // row, written out, and no fake one.
    {
        std::ofstream log(m_dir / "state" / "firmware-update" / "audit.jsonl", std::ios::app);
        log << R"({"schema":1,"record":"final","time":"2026-01-02T03:04:07.000Z","tool":"window",)"
            << R"("user":"op","resource":"USB0::0x1A2B::0x0C3D::S9::INSTR","model":"\u001b[2J",)"
            << R"("serial":"S9\n2026-01-02T03:04:08.000Z window root","result":"ok","images":[]})"
            << "\n";
    }
    const Result last = Fw({"history", "-n", "1"});
    EXPECT_EQ(last.out.find('\x1b'), std::string::npos) << last.out;
    EXPECT_EQ(std::count(last.out.begin(), last.out.end(), '\n'), 2) << last.out;
    EXPECT_NE(last.out.find("\\x1B[2J S9\\n2026-01-02T03:04:08.000Z"), std::string::npos)
        << last.out;
}

// ---- one writer per instrument, and what a run leaves behind ----

// A raw-socket instrument on 127.0.0.159 that answers every line it gets
// with `reply` (and a line feed), for as long as it lives; connections are
// served one after another, each within a bounded wait.
class RawInstrument {
public:
    explicit RawInstrument(std::string reply) : m_reply(std::move(reply)) {
        m_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(0x7F00009F);
        socklen_t len = sizeof addr;
        if (::bind(m_fd, reinterpret_cast<sockaddr*>(&addr), len) != 0 || ::listen(m_fd, 4) != 0 ||
            ::getsockname(m_fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0)
            throw std::runtime_error("no raw instrument");
        m_port = ntohs(addr.sin_port);
        m_thread = std::thread([this] { Serve(); });
    }
    ~RawInstrument() {
        m_stop = true;
        m_thread.join();
        ::close(m_fd);
    }
    std::string Resource() const {
        return "TCPIP0::127.0.0.159::" + std::to_string(m_port) + "::SOCKET";
    }

private:
    void Serve() {
        for (int idle = 0; !m_stop && idle < 600; ++idle) {
            pollfd p{m_fd, POLLIN, 0};
            if (::poll(&p, 1, 50) != 1) continue;
            const int c = ::accept4(m_fd, nullptr, nullptr, SOCK_CLOEXEC);
            char buffer[256];
            for (pollfd q{c, POLLIN, 0}; ::poll(&q, 1, 2000) == 1;) {
                const ssize_t n = ::read(c, buffer, sizeof buffer);
                if (n <= 0) break;
                for (ssize_t i = 0; i < n; ++i)
                    if (buffer[i] == '\n')
                        (void)!::write(c, (m_reply + "\n").data(), m_reply.size() + 1);
            }
            ::close(c);
        }
    }

    std::string m_reply;
    int m_fd = -1;
    int m_port = 0;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

// A reply that would retitle and clear the terminal is shown written out,
// on one line, by every command that shows it.
TEST_F(CliSimTest, AHostileIdentityIsShownWrittenOut) {
    RawInstrument raw("Tavrion Technologies,K7141HA\x1b]0;owned\x07,S1\r\x1b[2J,1.0");
    const Result ask = Fw({"identify", raw.Resource()});
    const Result run =
        Fw({"upgrade", raw.Resource(), "--release", ReleaseDir(), "--images", "HUBL"});
    for (const Result* r : {&ask, &run}) {
        const std::string all = r->out + r->err;
        EXPECT_EQ(all.find_first_of("\x1b\x07\r"), std::string::npos) << all;
        // The engine quotes the reply in its diagnostics: still one line each.
        EXPECT_EQ(all.find("\n\\x1B[2J"), std::string::npos) << all;
        EXPECT_NE(all.find("K7141HA\\x1B]0;owned\\x07, serial S1\\r\\x1B[2J"), std::string::npos)
            << all;
    }
}

// The instrument's VISA lock name taken by another process (here the test's
// own): the run and the audit name the lock and its holder, not an
// instrument that cannot be found.
TEST_F(CliSimTest, ASquattedLockNameIsSaidWithItsHolder) {
    SimProcess sim("127.0.0.179", Quick({}));
    const std::string name = visa::LockTable("fwvisa/").exclusive_name(
        visa::instrument_key(*visa::parse_rsrc_name(sim.vxi11())));
    int fd = -1;
    std::string why;
    ASSERT_EQ(platform::bind_abstract(name, &fd, &why), platform::BindResult::bound) << why;
    const std::string holder = "root (uid 0), pid " + std::to_string(::getpid());
    const std::string said = "locked by " + holder + " since ";

    const Result run =
        Fw({"upgrade", sim.vxi11(), "--release", ReleaseDir(), "--images", "HUBL", "--json"});
    const Result ask = Fw({"identify", sim.vxi11()});
    ::close(fd);
    EXPECT_EQ(run.code, 4) << run.err;
    const Json reason = Named(Events(run.out), "finished").at(0).at("reason");
    EXPECT_EQ(TextOf(reason, "kind"), "locked");
    // The holder is named where the VISA library tells it.
    if (!reason.at("holder").is_null()) {
        EXPECT_EQ(TextOf(reason, "holder"), holder);
        EXPECT_EQ(TextOf(reason, "message").rfind(said, 0), 0u) << TextOf(reason, "message");
        EXPECT_NE(run.err.find(said), std::string::npos) << run.err;
        EXPECT_NE(ask.err.find(said), std::string::npos) << ask.err;
    }
    EXPECT_EQ(run.err.find("Unable to find"), std::string::npos) << run.err;
    const Json record = Audit().at(0);
    EXPECT_EQ(TextOf(record, "result"), "locked");
    EXPECT_EQ(TextOf(record, "message"), TextOf(reason, "message"));
    EXPECT_EQ(ask.code, 4);
    EXPECT_EQ(sim.stored("HUBL"), "");
}

TEST_F(CliSimTest, ASecondRunIsRefusedWhileTheFirstOwnsTheInstrument) {
    SimProcess sim("127.0.0.170", Quick({"--slow", "*IDN?=800"}));
    // Images of another release, which must never reach this instrument.
    fs::create_directories(m_dir / "other" / "host");
    for (const auto& [file, image] : m_images)
        std::ofstream(m_dir / "other" / "host" / file, std::ios::binary)
            << std::string(image.size(), 'X');
    std::ofstream(m_dir / "other" / "Firmware_Upgrade.txt") << "HREC\nHBRM\n";
    auto first = Start({"upgrade", sim.vxi11(), "--release", ReleaseDir(), "--images", "HREC,HBRM",
                        "--yes", "--json"});
    const auto second = [&](const std::string& name, const char* moment) {
        const Result r =
            Fw({"upgrade", name, "--release", (m_dir / "other").string(), "--yes", "--json"});
        EXPECT_EQ(r.code, 4) << moment << "\n" << r.err;
        const std::vector<Json> events = Events(r.out);
        ASSERT_FALSE(Named(events, "finished").empty()) << moment;
        const std::string message = TextOf(Named(events, "finished")[0], "message");
        EXPECT_NE(message.find("locked by another upgrade: root, pid "), std::string::npos)
            << moment << ": " << message;
        EXPECT_NE(message.find(", since "), std::string::npos) << message;
        // Refused before it asked the instrument anything.
        EXPECT_TRUE(Named(events, "step").empty()) << moment;
    };
    ASSERT_TRUE(first->wait_for("\"step\":\"identify\""));
    second(sim.hislip(), "during identification");
    ASSERT_TRUE(first->wait_for("\"event\":\"image_done\""));
    second(sim.socket(), "between images");
    ASSERT_TRUE(first->wait_for("\"step\":\"reboot\""));
    second("127.0.0.170", "in the wait before the restart");
    EXPECT_EQ(first->finish().code, 0);
    EXPECT_TRUE(sim.wait_stored("HREC", m_images["RecoveryApp.bin"]));
    EXPECT_TRUE(sim.wait_stored("HBRM", m_images["bootrom.bin"]));
    EXPECT_EQ(Count(sim.transcript(), "*IDN?"), 1u) << sim.transcript();
    // Free again once the first run has ended (and the instrument is back).
    ::usleep(600000);
    const Result socket =
        Fw({"upgrade", sim.socket(), "--release", ReleaseDir(), "--images", "HUBL"});
    EXPECT_EQ(socket.code, 0);
    // A raw socket keeps out only this machine: said once, with what to use.
    EXPECT_EQ(Count(socket.err, "cannot be locked against other machines"), 1u) << socket.err;
    EXPECT_NE(socket.err.find("prefer TCPIP0::127.0.0.170::inst0::INSTR or "
                              "TCPIP0::127.0.0.170::hislip0::INSTR"),
              std::string::npos)
        << socket.err;
}

TEST_F(CliSimTest, OneInstrumentNamedFourWaysInABatchIsUpgradedOnce) {
    SimProcess sim("127.0.0.171", Quick({}));
    const Result r = Fw({"upgrade", sim.vxi11(), sim.hislip(), sim.socket(), "127.0.0.171",
                         "--release", ReleaseDir(), "--images", "HUBL", "--yes", "--json"});
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(Count(sim.transcript(), "DIAG:UPD:STARt"), 1u) << sim.transcript();
    const std::vector<Json> summary = Named(Events(r.out), "summary");
    ASSERT_EQ(summary.size(), 1u);
    int same = 0;
    for (const Json& i : summary[0].at("instruments")) {
        if (TextOf(i, "result") != "same_instrument") continue;
        ++same;
        EXPECT_EQ(TextOf(i, "same_as"), sim.vxi11());
    }
    EXPECT_EQ(same, 3);
    EXPECT_EQ(IntegerOf(summary[0], "failed"), 0);
}

TEST_F(CliSimTest, AKilledRunLeavesItsStartedRecord) {
    SimProcess sim("127.0.0.172", Quick({"--slow", "DIAG:UPD:BLOC?=5000"}));
    auto run = Start(
        {"upgrade", sim.vxi11(), "--release", ReleaseDir(), "--images", "HREC", "--yes", "--json"});
    ASSERT_TRUE(run->wait_for("\"image_started\""));
    run->signal(SIGKILL);
    run->finish();
    EXPECT_TRUE(Audit().empty());
    // One before the first contact, one naming the instrument once it
    // answered: a killed run still tells which instrument it wrote to.
    const std::vector<Json> started = Audit("started");
    ASSERT_EQ(started.size(), 2u);
    EXPECT_EQ(TextOf(started[0], "resource"), sim.vxi11());
    EXPECT_EQ(TextOf(started[0], "verification"), "not checksummed");
    EXPECT_EQ(TextOf(started[0].at("images").at(0), "sha256"),
              workflow::Sha256Hex(m_images["RecoveryApp.bin"]));
    EXPECT_EQ(TextOf(started[1], "attempt"), TextOf(started[0], "attempt"));
    EXPECT_EQ(TextOf(started[1], "model"), "K7141HA");
    EXPECT_FALSE(TextOf(started[1], "serial").empty());

    const Result history = Fw({"history", "--json"});
    const std::vector<Json> records = Named(Events(history.out), "record");
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(TextOf(records[0].at("record"), "result"), "incomplete");
    EXPECT_EQ(TextOf(records[0].at("record"), "model"), "K7141HA");

    // The window's restart line completes its attempt's row, not one of its own.
    {
        std::ofstream log(m_dir / "state" / "firmware-update" / "audit.jsonl", std::ios::app);
        log << R"({"record":"started","attempt":"w1","resource":"r"})"
               "\n"
            << R"({"record":"final","attempt":"w1","resource":"r","result":"ok",)"
               R"("restart_sent":null})"
               "\n"
            << R"({"record":"restart","attempt":"w1","resource":"r","restart_sent":true})"
               "\n";
    }
    const std::vector<Json> joined = Named(Events(Fw({"history", "--json"}).out), "record");
    ASSERT_EQ(joined.size(), 2u);
    EXPECT_EQ(TextOf(joined[1].at("record"), "result"), "ok");
    EXPECT_TRUE(joined[1].at("record").at("restart_sent").get<bool>());
    EXPECT_EQ(TextOf(records[0].at("record"), "attempt"), TextOf(started[0], "attempt"));
}

TEST_F(CliSimTest, ASignalWhileTheImagesAreCheckedEndsTheRunBeforeAnyContact) {
    SimProcess sim("127.0.0.173", {});
    // The largest image one block can carry, sparse: checking it reads and
    // hashes close to a gigabyte, which takes a while.
    fs::resize_file(m_dir / "rel" / "host" / "bootrom.bin", 999999999);
    auto run = Start(
        {"upgrade", sim.vxi11(), "--release", ReleaseDir(), "--images", "HBRM", "--yes", "--json"});
    ASSERT_TRUE(run->wait_for("\"event\":\"start\""));
    run->signal(SIGINT);
    const Result result = run->finish();
    EXPECT_EQ(result.code, 6) << result.err;
    EXPECT_EQ(sim.transcript(), "");
    EXPECT_TRUE(Audit("started").empty());
}

TEST_F(CliSimTest, AReleaseThatFailsVerificationReachesNoInstrument) {
    SimProcess sim("127.0.0.174", {});
    // Unsigned while a signature is required.
    Result r = Fw({"upgrade", sim.vxi11(), "--release", ReleaseDir(), "--images", "HUBL",
                   "--require-signature", "--json"});
    EXPECT_EQ(r.code, 10) << r.err;
    std::vector<Json> events = Events(r.out);
    ASSERT_EQ(Named(events, "verification").size(), 1u);
    EXPECT_EQ(TextOf(Named(events, "verification")[0], "result"), "failed");
    EXPECT_EQ(TextOf(Named(events, "finished")[0], "result"), "verify_failed");
    // A listed digest that does not match.
    std::ofstream(m_dir / "rel" / "SHA256SUMS")
        << workflow::Sha256Hex("something else") << "  host/ubl-nor-ais.bin\n";
    r = Fw({"upgrade", sim.vxi11(), "--release", ReleaseDir(), "--images", "HUBL", "--json"});
    EXPECT_EQ(r.code, 10) << r.err;
    EXPECT_NE(TextOf(Named(Events(r.out), "finished")[0], "message").find("host/ubl-nor-ais.bin"),
              std::string::npos)
        << r.out;
    EXPECT_EQ(sim.transcript(), "");
    EXPECT_TRUE(Audit("started").empty());
}

// ---- what happened, in plain words ----

std::string FinishedMessage(const Result& r) {
    const std::vector<Json> finished = Named(Events(r.out), "finished");
    return finished.empty() ? "" : TextOf(finished.back(), "message");
}

// A list of every file in the release, as a maker writes it.
std::string SumsOf(const fs::path& release, const std::map<std::string, std::string>& images) {
    std::ifstream config(release / "Firmware_Upgrade.txt", std::ios::binary);
    std::string sums =
        workflow::Sha256Hex(std::string(std::istreambuf_iterator<char>(config), {})) +
        "  Firmware_Upgrade.txt\n";
    for (const auto& [file, image] : images)
        sums += workflow::Sha256Hex(image) + "  host/" + file + "\n";
    return sums;
}

TEST_F(CliSimTest, ASignedReleaseIsCheckedWholeBeforeAnyContact) {
    const TestSigner signer("cli-whole");
    if (!signer.ready()) GTEST_SKIP() << "needs gpg (gnupg)";
    SimProcess sim("127.0.0.181", {});
    const fs::path rel = m_dir / "rel";
    const std::string keyring = (m_dir / "lab.gpg").string();
    ASSERT_TRUE(signer.export_key(keyring, false));
    std::ofstream(rel / "SHA256SUMS") << SumsOf(rel, m_images);
    ASSERT_TRUE(
        signer.sign((rel / "SHA256SUMS").string(), (rel / "SHA256SUMS.sig").string(), false));
    // Only HUBL is sent; each change is elsewhere in the release.
    const std::vector<std::pair<std::string, std::function<void()>>> changes = {
        {"Firmware_Upgrade.txt: SHA-256 differs",
         [&] { Release("HPAP\nHREC\nHBRM\nHUBL\n# one more line\n"); }},
        {"host/bootrom.bin: listed in SHA256SUMS but missing",
         [&] { fs::remove(rel / "host" / "bootrom.bin"); }},
        {"host/RecoveryApp.bin: SHA-256 differs",
         [&] { std::ofstream(rel / "host" / "RecoveryApp.bin", std::ios::binary) << "tampered"; }},
    };
    for (const auto& [expected, change] : changes) {
        Release("HPAP\nHREC\nHBRM\nHUBL\n");
        for (const auto& [file, image] : m_images)
            std::ofstream(rel / "host" / file, std::ios::binary) << image;
        change();
        const Result r = Fw({"upgrade", sim.vxi11(), "--release", ReleaseDir(), "--images", "HUBL",
                             "--keyring", keyring, "--json"});
        EXPECT_EQ(r.code, 10) << r.err;
        EXPECT_NE(FinishedMessage(r).find(expected), std::string::npos) << FinishedMessage(r);
    }
    EXPECT_EQ(sim.transcript(), "");
    EXPECT_TRUE(Audit("started").empty());
}

TEST_F(CliSimTest, AnImageSwappedAfterTheCheckReachesTheInstrumentOnlyAsChecked) {
    const fs::path rel = m_dir / "rel";
    const fs::path image = rel / "host" / "ubl-nor-ais.bin";
    const std::string checked = m_images["ubl-nor-ais.bin"];
    std::ofstream(rel / "SHA256SUMS") << SumsOf(rel, m_images);
    std::string other = checked;
    other[other.size() / 2] ^= 0x55;
    const std::vector<std::function<void()>> swaps = {
        [&] {
            std::ofstream(image.string() + ".new", std::ios::binary) << other;
            fs::rename(image.string() + ".new", image);
        },
        [&] { std::ofstream(image, std::ios::binary | std::ios::in) << other; },
        [&] {
            fs::rename(rel / "host", rel / "host.old");
            fs::create_directories(rel / "host");
            std::ofstream(image, std::ios::binary) << other;
        },
    };
    for (const std::function<void()>& swap : swaps) {
        fs::remove_all(rel / "host.old");
        std::ofstream(image, std::ios::binary) << checked;
        // Identification takes a while: the swap lands between the check
        // and the transfer.
        SimProcess sim("127.0.0.182", {"--slow", "*IDN?=700"});
        auto run = Start(
            {"upgrade", sim.vxi11(), "--release", ReleaseDir(), "--images", "HUBL", "--json"});
        ASSERT_TRUE(run->wait_for("\"event\":\"verification\""));
        swap();
        const Result r = run->finish();
        // Either the checked bytes went in, or the instrument heard nothing
        // of an image: never an announced image left without its bytes.
        EXPECT_EQ(r.code, 0) << r.err;
        EXPECT_TRUE(sim.wait_stored("HUBL", checked));
        EXPECT_EQ(TextOf(Audit().back().at("images")[0], "sha256"), workflow::Sha256Hex(checked));
    }
}
// The reason of a run's closing event.
Json ReasonOf(const Result& r) {
    const std::vector<Json> finished = Named(Events(r.out), "finished");
    return finished.empty() ? Json() : finished.back().value("reason", Json());
}

// Every way a run fails reaches the closing event's `reason` with its kind
// and the facts of its kind, and is said in one line on standard error.
TEST_F(CliSimTest, EachCauseReachesTheReasonAndIsSaidOnce) {
    const std::string rel = ReleaseDir();
    SimProcess silent("127.0.0.190", {"--no-reply", "*IDN?"});
    SimProcess stranger("127.0.0.195", {"--model", "other"});
    SimProcess locked("127.0.0.192", {"--hold-lock"});
    SimProcess refusing("127.0.0.193", Quick({"--init-reply", "3"}));
    const auto upgrade = [&](const std::string& resource) {
        return Start({"upgrade", resource, "--release", rel, "--images", "HUBL", "--json"});
    };
    struct Case {
        std::unique_ptr<FwProcess> run;
        int code;
        const char* kind;
    };
    Case cases[] = {
        {upgrade("127.0.0.199"), 3, "unreachable"},
        {Start({"identify", "TCPIP0::127.0.0.199::hislip0::INSTR", "--json"}), 3, "unreachable"},
        {upgrade(silent.vxi11()), 3, "no_reply"},
        {upgrade(stranger.vxi11()), 3, "not_accepted"},
        {upgrade(locked.vxi11()), 4, "locked"},
        {upgrade(refusing.vxi11()), 5, "transfer"}};
    std::vector<Json> reasons;
    for (Case& c : cases) {
        const Result r = c.run->finish();
        EXPECT_EQ(r.code, c.code) << c.kind << ": " << r.err;
        reasons.push_back(ReasonOf(r));
        EXPECT_EQ(TextOf(reasons.back(), "kind"), c.kind) << r.out;
        EXPECT_EQ(Count(r.err, "\n"), 1u) << c.kind << ": " << r.err;
        EXPECT_NE(r.err.find(TextOf(reasons.back(), "message")), std::string::npos) << r.err;
    }
    EXPECT_EQ(TextOf(reasons[0], "host"), "127.0.0.199");
    EXPECT_EQ(IntegerOf(reasons[0], "port"), 111);  // the portmapper, which VXI-11 asks first
    EXPECT_EQ(IntegerOf(reasons[1], "port"), 4880);
    EXPECT_NE(TextOf(reasons[2], "message").find("no reply"), std::string::npos);
    EXPECT_EQ(TextOf(reasons[3], "model"), "K7150A");
    EXPECT_EQ(TextOf(reasons[3], "message"),
              "answered as model K7150A, which this program does not upgrade (accepted models: "
              "K7141HA, K7142HA or K7141B)");
    EXPECT_EQ(TextOf(reasons[5], "operation"), "image");
    EXPECT_TRUE(reasons[5].at("scpi_errors").is_array());

    // The release and its files: nothing reaches the instrument.
    std::ofstream(m_dir / "rel" / "SHA256SUMS")
        << workflow::Sha256Hex("something else") << "  host/ubl-nor-ais.bin\n";
    const Result unverified = upgrade(refusing.vxi11())->finish();
    EXPECT_EQ(unverified.code, 10);
    EXPECT_EQ(TextOf(ReasonOf(unverified), "kind"), "verification");
    fs::remove(m_dir / "rel" / "SHA256SUMS");
    fs::remove(m_dir / "rel" / "host" / "ubl-nor-ais.bin");
    const Result missing = upgrade(refusing.vxi11())->finish();
    EXPECT_EQ(missing.code, 1);
    EXPECT_EQ(TextOf(ReasonOf(missing), "kind"), "file");
    EXPECT_EQ(TextOf(ReasonOf(missing), "file"),
              (m_dir / "rel" / "host" / "ubl-nor-ais.bin").string());
    EXPECT_EQ(Count(missing.err, "\n"), 1u) << missing.err;

    // For people too: one line, nothing else on standard error.
    const Result text = Fw({"upgrade", "127.0.0.199", "--release", rel, "--images", "HREC"});
    EXPECT_EQ(text.code, 3);
    EXPECT_EQ(text.err.rfind(
                  "fwupgrade: TCPIP0::127.0.0.199::INSTR: not reachable at 127.0.0.199:111", 0),
              0u)
        << text.err;
    EXPECT_EQ(Count(text.err, "\n"), 1u) << text.err;

    // A malformed name is the caller's mistake: nothing is tried, nothing
    // recorded.
    const std::size_t attempts = Audit("started").size();
    for (const std::vector<std::string>& command :
         {std::vector<std::string>{"upgrade", "garbage::x", "--release", rel, "--json"},
          std::vector<std::string>{"identify", "garbage::x", "--json"}}) {
        const Result garbage = Fw(command);
        EXPECT_EQ(garbage.code, 2) << command[0];
        EXPECT_NE(FinishedMessage(garbage).find("not a VISA resource string: \"garbage::x\""),
                  std::string::npos)
            << garbage.out;
        EXPECT_TRUE(Named(Events(garbage.out), "step").empty());
    }
    EXPECT_EQ(Audit("started").size(), attempts);

    // A library that cannot be loaded names itself and why.
    std::vector<std::string> env = m_env;
    env.push_back("FW_VISA_LIBRARY=" + (m_dir / "no-such-visa.so").string());
    const Result nolib = FwProcess({"identify", "127.0.0.199"}, env).finish();
    EXPECT_EQ(nolib.code, 1);
    EXPECT_NE(nolib.err.find((m_dir / "no-such-visa.so").string()), std::string::npos) << nolib.err;
    EXPECT_NE(nolib.err.find("(chosen by FW_VISA_LIBRARY)"), std::string::npos) << nolib.err;

#ifdef FOREIGN_VISA_PATH
    // Another maker's library, without this library's extension: the
    // instrument is not found, with no cause to give, and nothing breaks.
    env = m_env;
    env.push_back(std::string("FW_VISA_LIBRARY=") + FOREIGN_VISA_PATH);
    const Result other_maker = FwProcess({"identify", "127.0.0.199"}, env).finish();
    EXPECT_GT(other_maker.code, 0) << other_maker.err;
    EXPECT_LT(other_maker.code, 64) << other_maker.err;  // an exit, not a signal
    EXPECT_EQ(other_maker.err.find("connecting to"), std::string::npos) << other_maker.err;
#endif
}

TEST_F(CliSimTest, ProgressRisesInBytesAndAFailedImageSaysHowMuchWentOut) {
    // A 4 MiB image taken at 4 MB/s: about a second of sending.
    std::string big(4u << 20, '\0');
    std::mt19937 random(11);
    for (char& c : big)
        c = static_cast<char>(random());
    std::ofstream(m_dir / "rel" / "host" / "RecoveryApp.bin", std::ios::binary) << big;
    SimProcess sim("127.0.0.196", Quick({"--accept-rate", "4000"}));
    const Result run =
        Fw({"upgrade", sim.vxi11(), "--release", ReleaseDir(), "--images", "HREC", "--json"});
    ASSERT_EQ(run.code, 0) << run.err;
    const std::vector<Json> progress = Named(Events(run.out), "progress");
    std::vector<long long> sending;
    for (const Json& p : progress) {
        EXPECT_EQ(IntegerOf(p, "total"), static_cast<long long>(big.size()));
        if (TextOf(p, "phase") == "sending") sending.push_back(IntegerOf(p, "bytes"));
    }
    ASSERT_GE(sending.size(), 4u);
    for (std::size_t i = 1; i < sending.size(); ++i)
        EXPECT_GT(sending[i], sending[i - 1]);
    const long long ms = IntegerOf(Named(Events(run.out), "image_done")[0], "duration_ms");
    EXPECT_LE(static_cast<long long>(sending.size()), ms / 100 + 2) << "at most ten a second";
    ASSERT_GE(progress.size(), 2u);
    EXPECT_EQ(TextOf(progress[progress.size() - 2], "phase"), "sent");
    EXPECT_EQ(IntegerOf(progress[progress.size() - 2], "bytes"),
              static_cast<long long>(big.size()));
    EXPECT_TRUE(sim.wait_stored("HREC", big));

    // The link drops after 300000 bytes, which take a third of a second.
    SimProcess dropping("127.0.0.197",
                        Quick({"--accept-rate", "1000", "--drop-in-block", "300000"}));
    const Result failed =
        Fw({"upgrade", dropping.vxi11(), "--release", ReleaseDir(), "--images", "HREC", "--json"});
    EXPECT_EQ(failed.code, 5) << failed.err;
    const Json done = Named(Events(failed.out), "image_done").at(0);
    EXPECT_EQ(TextOf(done, "result"), "failed");
    EXPECT_GT(IntegerOf(done, "bytes_sent"), 0);
    EXPECT_LE(IntegerOf(done, "bytes_sent"), 300000);
    const Result text =
        Fw({"upgrade", dropping.vxi11(), "--release", ReleaseDir(), "--images", "HREC"});
    EXPECT_NE(text.out.find(" of " + std::to_string(big.size()) + " bytes sent)"),
              std::string::npos)
        << text.out;
}

TEST_F(CliSimTest, ARestartThatWasNotDeliveredIsAWarningAndRecorded) {
    // A run of HUBL alone makes 20 VXI-11 writes (its 24444 bytes go in
    // 4096-byte pieces); the restart command is the last.
    SimProcess sim("127.0.0.198", Quick({"--refuse-write", "20"}));
    const Result run = Fw({"upgrade", sim.vxi11(), "--release", ReleaseDir(), "--images", "HUBL",
                           "--wait", "--json"});
    EXPECT_EQ(run.code, 0) << run.err;
    EXPECT_NE(sim.transcript().find("[device_write 20 refused, 20 bytes]"), std::string::npos)
        << sim.transcript();
    EXPECT_NE(run.err.find("warning: the restart command could not be delivered"),
              std::string::npos)
        << run.err;
    const std::vector<Json> events = Events(run.out);
    const Json finished = Named(events, "finished").at(0);
    EXPECT_FALSE(finished.at("restart_sent").get<bool>());
    EXPECT_NE(TextOf(finished, "message").find("power-cycle"), std::string::npos);
    // Nothing was restarted, so nothing is waited for.
    EXPECT_TRUE(Named(events, "waiting").empty());
    EXPECT_FALSE(Audit().at(0).at("restart_sent").get<bool>());
}

}  // namespace
