// The audit trail and what it is built from: JSON values, SHA-256, the
// identity fields, and appends to the log under failure and concurrency.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "recording_operator.h"
#include "update.h"
#include "visa_double.h"
#include "workflow/audit.h"
#include "workflow/identity.h"
#include "workflow/json_fields.h"
#include "workflow/sha256.h"

namespace {

using namespace workflow;
namespace fs = std::filesystem;

std::string ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

TEST(JsonLineTest, EscapesAsTheLayoutsAlwaysHave) {
    // Every control character and DEL as \u00xx except \n, \r and \t; quote
    // and backslash escaped; UTF-8 as it is; a byte that is no UTF-8 as U+FFFD.
    const Json value = {
        {"text", std::string("q\" b\\ \t\n\r \x01\x08\x0c\x1f\x7f Grüße €\xff\xc3(")},
        {"n", 42},
        {"big", 1LL << 40},
        {"none", nullptr},
        {"list", {true, "x"}}};
    EXPECT_EQ(JsonLine(value),
              "{\"text\":\"q\\\" b\\\\ \\t\\n\\r \\u0001\\u0008\\u000c\\u001f\\u007f Grüße "
              "€\xEF\xBF\xBD\xEF\xBF\xBD(\",\"n\":42,\"big\":1099511627776,\"none\":null,"
              "\"list\":[true,\"x\"]}");
    // A backslash before b or f in the text itself is no escape to rewrite.
    EXPECT_EQ(JsonLine(Json("\\b\\f")), "\"\\\\b\\\\f\"");
    const std::optional<Json> back = ParseJsonObject(JsonLine(value));
    ASSERT_TRUE(back);
    EXPECT_EQ(TextOf(*back, "text"),
              "q\" b\\ \t\n\r \x01\x08\x0c\x1f\x7f Grüße €\xEF\xBF\xBD\xEF\xBF\xBD(");
}

TEST(JsonLineTest, ReadsOnlyObjectsAndNeverThrows) {
    const char* bad[] = {
        "",    "{",        "{\"a\" 1}", "[1,]",  "01",       "\"\\x\"",         "{\"a\":1} x",
        "nul", "\"a\nb\"", "{1:2}",     "[1,2]", "\"text\"", "{\"a\":\"\xff\"}"};
    for (const char* text : bad) {
        std::string error;
        EXPECT_FALSE(ParseJsonObject(text, &error)) << text;
        EXPECT_FALSE(error.empty()) << text;
    }
    // Deep nesting is refused, not followed down the stack when written again.
    EXPECT_FALSE(ParseJsonObject("{\"a\":" + std::string(100000, '[')));
    EXPECT_FALSE(ParseJsonObject("{\"a\":" + std::string(100, '[') + std::string(100, ']') + "}"));
    EXPECT_TRUE(ParseJsonObject("{\"a\":" + std::string(30, '[') + std::string(30, ']') + "}"));
    // Missing, null and mistyped fields read as the fallback.
    const Json event = *ParseJsonObject(R"({"model":null,"n":"7","ok":1,"text":"\u00e9"})");
    EXPECT_EQ(TextOf(event, "model", "-"), "-");
    EXPECT_EQ(TextOf(event, "absent"), "");
    EXPECT_EQ(IntegerOf(event, "n", -1), -1);
    EXPECT_FALSE(FlagOf(event, "ok"));
    EXPECT_EQ(TextOf(event, "text"), "é");
    EXPECT_EQ(TextOf(Json(), "model", "x"), "x");
}

TEST(Sha256Test, KnownDigestsWhateverTheChunking) {
    EXPECT_EQ(Sha256Hex(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(Sha256Hex("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(Sha256Hex("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
              "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
    // One million 'a', fed in pieces that straddle the 64-byte blocks.
    Sha256 hash;
    const std::string piece(1001, 'a');
    for (int i = 0; i < 1000; ++i)
        hash.Update(piece.data(), i % 2 ? 999 : 1001);
    EXPECT_EQ(hash.FinishHex(), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");

    const fs::path file = fs::temp_directory_path() / ("fw-sha-" + std::to_string(::getpid()));
    std::ofstream(file, std::ios::binary) << "abc";
    const std::optional<FileDigest> digest = DigestFile(file);
    ASSERT_TRUE(digest);
    EXPECT_EQ(digest->size, 3);
    EXPECT_EQ(digest->sha256, Sha256Hex("abc"));
    fs::remove(file);
    std::string error;
    EXPECT_FALSE(DigestFile(file.string(), &error));
    EXPECT_NE(error.find(file.string()), std::string::npos);
}

TEST(IdentityTest, SplitsTheFourFields) {
    const IdentityFields older = SplitIdentity("Tavrion Technologies, K7141B,0042, 2.1.0\n");
    EXPECT_EQ(older.maker, "Tavrion Technologies");
    EXPECT_EQ(older.model, "K7141B");
    EXPECT_EQ(older.serial, "0042");
    EXPECT_EQ(older.firmware, "2.1.0");
    // A short reply leaves the missing fields empty; extra commas stay in
    // the firmware field.
    EXPECT_EQ(SplitIdentity("Maker,Model").serial, "");
    EXPECT_EQ(SplitIdentity("a,b,c,1.0,beta").firmware, "1.0,beta");
    EXPECT_EQ(SplitIdentity("").maker, "");
}

class AuditLogTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_dir = fs::temp_directory_path() / ("fw-audit-" + std::to_string(::getpid()));
        fs::remove_all(m_dir);
        m_log = (m_dir / "state" / "firmware-update" / "audit.jsonl").string();
    }
    void TearDown() override { fs::remove_all(m_dir); }

    AuditRecord Sample(const std::string& serial) {
        AuditRecord record;
        record.tool = "fwupgrade";
        record.resource = "TCPIP0::192.0.2.7::inst0::INSTR";
        record.serial = serial;
        record.result = kAuditOk;
        record.images.push_back({"HUBL", "/r/host/ubl-nor-ais.bin", 3, Sha256Hex("abc"), "ok", 12});
        return record;
    }

    std::vector<Json> Records() {
        std::vector<Json> records;
        std::vector<std::string> problems;
        std::string error;
        EXPECT_TRUE(ReadAuditLog(m_log, records, problems, error)) << error;
        EXPECT_TRUE(problems.empty());
        return records;
    }

    fs::path m_dir;
    std::string m_log;
};

TEST(AuditRecordTest, WholeLinesInTheDocumentedLayout) {
    AuditRecord record;
    record.attempt = "2026-12-07T10:15:00.123Z-42-1";
    record.time = "2026-12-07T10:15:00.123Z";
    record.tool = "fwupgrade";
    record.user = "op";
    record.host = "bench";
    record.resource = "TCPIP0::192.0.2.7::inst0::INSTR";
    record.release = "/rel/";
    record.identity = "Tavrion Technologies,K7142HA,77,3.0";
    record.model = "K7142HA";
    record.serial = "77";
    record.firmwareBefore = "3.0";
    record.verification = "checksummed";
    record.result = kAuditOk;
    record.images.push_back({"HUBL", "/rel/host/ubl-nor-ais.bin", 3, "ab", "ok", 12});
    record.images.push_back({"HPAP", "/rel/host/vxWorks_rom.bin", -1, "", "not attempted", 0});
    record.durationMs = 1500;
    EXPECT_EQ(JsonLine(AuditRecordToJson(record)),
              R"({"schema":1,"record":"final","attempt":"2026-12-07T10:15:00.123Z-42-1",)"
              R"("time":"2026-12-07T10:15:00.123Z","tool":"fwupgrade","user":"op","host":"bench",)"
              R"("resource":"TCPIP0::192.0.2.7::inst0::INSTR","release":"/rel/",)"
              R"("identity":"Tavrion Technologies,K7142HA,77,3.0","model":"K7142HA","serial":"77",)"
              R"("firmware_before":"3.0","firmware_after":null,"restart_sent":null,)"
              R"("verification":"checksummed",)"
              R"("fingerprint":null,"result":"ok","message":null,"images":[)"
              R"({"id":"HUBL","file":"/rel/host/ubl-nor-ais.bin","size":3,"sha256":"ab",)"
              R"("result":"ok","duration_ms":12},)"
              R"({"id":"HPAP","file":"/rel/host/vxWorks_rom.bin","size":null,"sha256":null,)"
              R"("result":"not attempted","duration_ms":0}],"duration_ms":1500})");
    // The started line names the instrument only once it has answered.
    record.kind = "started";
    record.images.pop_back();
    const AuditRecord identified = record;
    record.identity.clear();
    EXPECT_EQ(JsonLine(AuditRecordToJson(record)),
              R"({"schema":1,"record":"started","attempt":"2026-12-07T10:15:00.123Z-42-1",)"
              R"("time":"2026-12-07T10:15:00.123Z","tool":"fwupgrade","user":"op","host":"bench",)"
              R"("resource":"TCPIP0::192.0.2.7::inst0::INSTR","release":"/rel/",)"
              R"("verification":"checksummed","fingerprint":null,"images":[)"
              R"({"id":"HUBL","file":"/rel/host/ubl-nor-ais.bin","size":3,"sha256":"ab"}]})");
    EXPECT_NE(JsonLine(AuditRecordToJson(identified))
                  .find(R"("release":"/rel/","identity":"Tavrion Technologies,K7142HA,77,3.0",)"
                        R"("model":"K7142HA","serial":"77","firmware_before":"3.0","verif)"),
              std::string::npos);

    // The restart, added after the final line; and a final line's cause.
    record.kind = "restart";
    record.restartSent = 1;
    EXPECT_EQ(JsonLine(AuditRecordToJson(record)),
              R"({"schema":1,"record":"restart","attempt":"2026-12-07T10:15:00.123Z-42-1",)"
              R"("time":"2026-12-07T10:15:00.123Z","tool":"fwupgrade","user":"op","host":"bench",)"
              R"("resource":"TCPIP0::192.0.2.7::inst0::INSTR","restart_sent":true})");
    record.kind = "final";
    record.cause.m_kind = IdentifyFailure::Kind::Unreachable;
    record.cause.m_host = "192.0.2.7";
    record.cause.m_port = 111;
    EXPECT_NE(JsonLine(AuditRecordToJson(record))
                  .find(R"("cause":{"kind":"unreachable","host":"192.0.2.7","port":111,)"
                        R"("reason":null},"images")"),
              std::string::npos);
}

TEST_F(AuditLogTest, AppendsWholeLinesAndKeepsWhatWasThere) {
    std::string error;
    ASSERT_TRUE(AppendAuditRecord(Sample("1"), error, m_log)) << error;
    const std::string first = ReadFile(m_log);
    ASSERT_TRUE(AppendAuditRecord(Sample("2"), error, m_log)) << error;
    const std::string both = ReadFile(m_log);
    EXPECT_EQ(both.substr(0, first.size()), first);
    EXPECT_EQ(both.back(), '\n');

    const std::vector<Json> records = Records();
    ASSERT_EQ(records.size(), 2u);
    const Json& r = records[1];
    EXPECT_EQ(IntegerOf(r, "schema"), kAuditSchema);
    EXPECT_EQ(TextOf(r, "serial"), "2");
    EXPECT_FALSE(TextOf(r, "user").empty());
    EXPECT_FALSE(TextOf(r, "host").empty());
    EXPECT_EQ(TextOf(r, "time").size(), 24u);  // 2026-12-07T10:15:00.123Z
    EXPECT_TRUE(r.at("firmware_after").is_null());
    const Json& image = r.at("images").at(0);
    EXPECT_EQ(TextOf(image, "sha256"), Sha256Hex("abc"));
    EXPECT_EQ(IntegerOf(image, "size"), 3);
    EXPECT_EQ(IntegerOf(image, "duration_ms"), 12);
    EXPECT_EQ((fs::status(m_log).permissions() & fs::perms::all),
              fs::perms::owner_read | fs::perms::owner_write);

    // A line that is no record is reported, and the others still read.
    std::ofstream(m_log, std::ios::app) << "not json\n";
    std::vector<Json> records2;
    std::vector<std::string> problems;
    EXPECT_TRUE(ReadAuditLog(m_log, records2, problems, error));
    EXPECT_EQ(records2.size(), 2u);
    ASSERT_EQ(problems.size(), 1u);
    EXPECT_EQ(problems[0].rfind("line 3: ", 0), 0u);
}

TEST_F(AuditLogTest, ParallelWritersNeverInterleave) {
    constexpr int kWriters = 6;
    constexpr int kLines = 40;
    std::vector<pid_t> pids;
    for (int w = 0; w < kWriters; ++w) {
        const pid_t pid = ::fork();
        if (pid == 0) {
            std::string error;
            AuditRecord record = Sample(std::string(3000, static_cast<char>('a' + w)));
            for (int i = 0; i < kLines; ++i)
                if (!AppendAuditRecord(record, error, m_log)) ::_exit(1);
            ::_exit(0);
        }
        pids.push_back(pid);
    }
    for (const pid_t pid : pids) {
        int status = 0;
        ::waitpid(pid, &status, 0);
        EXPECT_EQ(WEXITSTATUS(status), 0);
    }
    const std::vector<Json> records = Records();
    ASSERT_EQ(records.size(), static_cast<std::size_t>(kWriters * kLines));
    for (const Json& r : records)
        EXPECT_EQ(TextOf(r, "serial").size(), 3000u);
}

TEST_F(AuditLogTest, FailuresAreReportedAndLeaveTheLogWhole) {
    std::string error;
    // The state folder is a file: the log cannot be created.
    fs::create_directories(m_dir / "state");
    std::ofstream(m_dir / "state" / "firmware-update") << "in the way";
    EXPECT_FALSE(AppendAuditRecord(Sample("1"), error, m_log));
    EXPECT_NE(error.find("audit log " + m_log), std::string::npos) << error;
    EXPECT_NE(error.find("not a folder"), std::string::npos) << error;

    // A link or a FIFO in the log's place is refused at once, never followed
    // or waited on (a FIFO without a reader would hold the writer).
    fs::remove(m_dir / "state" / "firmware-update");
    fs::create_directories(m_dir / "state" / "firmware-update");
    fs::create_symlink("/dev/full", m_log);
    error.clear();
    EXPECT_FALSE(AppendAuditRecord(Sample("1"), error, m_log));
    EXPECT_NE(error.find("is a symbolic link"), std::string::npos) << error;
    fs::remove(m_log);
    ASSERT_EQ(::mkfifo(m_log.c_str(), 0600), 0);
    error.clear();
    EXPECT_FALSE(AppendAuditRecord(Sample("1"), error, m_log));
    EXPECT_NE(error.find("audit log " + m_log), std::string::npos) << error;
    std::vector<Json> records;
    std::vector<std::string> problems;
    EXPECT_FALSE(ReadAuditLog(m_log, records, problems, error));
    EXPECT_NE(error.find("not a regular file"), std::string::npos) << error;
    fs::remove(m_log);

    // A disk that fills in the middle of the line (a file size limit): the
    // partial line is taken back, the earlier record stays as it was.
    ASSERT_TRUE(AppendAuditRecord(Sample("1"), error, m_log)) << error;
    const std::string before = ReadFile(m_log);
    const pid_t pid = ::fork();
    if (pid == 0) {
        std::signal(SIGXFSZ, SIG_IGN);
        const rlimit limit{static_cast<rlim_t>(before.size() + 100),
                           static_cast<rlim_t>(before.size() + 100)};
        ::setrlimit(RLIMIT_FSIZE, &limit);
        std::string childError;
        const bool written = AppendAuditRecord(Sample(std::string(1000, 'x')), childError, m_log);
        ::_exit(!written && childError.find("appending") != std::string::npos ? 0 : 1);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(ReadFile(m_log), before);

    // No home at all.
    EXPECT_FALSE(AppendAuditLine("", "{}", error));
    EXPECT_NE(error.find("XDG_STATE_HOME"), std::string::npos);
}

TEST_F(AuditLogTest, LogPathFollowsTheXdgStateFolder) {
    const char* oldState = std::getenv("XDG_STATE_HOME");
    const std::string saved = oldState ? oldState : "";
    setenv("XDG_STATE_HOME", "/srv/state", 1);
    EXPECT_EQ(AuditLogPath(), "/srv/state/firmware-update/audit.jsonl");
    // A relative value is not a base directory by the XDG rules.
    setenv("XDG_STATE_HOME", "relative", 1);
    setenv("HOME", "/home/op", 1);
    EXPECT_EQ(AuditLogPath(), "/home/op/.local/state/firmware-update/audit.jsonl");
    if (oldState)
        setenv("XDG_STATE_HOME", saved.c_str(), 1);
    else
        unsetenv("XDG_STATE_HOME");
}

TEST_F(AuditLogTest, ObserverRecordsARunAndListsImagesNeverStarted) {
    ImageChoice chosen;
    chosen.m_host = 1;
    chosen.m_ubl = 1;
    AuditObserver audit("window", "TCPIP0::192.0.2.7::INSTR", "/rel/", chosen, nullptr, m_log);
    std::string error;
    // A run that never reached the instrument leaves no record.
    EXPECT_TRUE(audit.Write(UpgradeEnd::NoInstrument, error));
    EXPECT_FALSE(fs::exists(m_log));

    // The started record goes out with the first contact, naming what was
    // checked; the final one refers to it.
    static const ImageInfo& hostInfo = kImages[0];
    CheckedImage checked{
        &hostInfo, "/rel/host/vxWorks_rom.bin", "host/vxWorks_rom.bin", 3, Sha256Hex("abc"),
        nullptr};
    ReleaseVerification verification;
    audit.OnChecked({checked}, verification);
    audit.OnOperation("identify");
    ASSERT_EQ(Records().size(), 1u);
    audit.OnIdentified("Tavrion Technologies,K7142HA,77,3.0\n", true);
    ImageEvent host;
    host.m_id = "HPAP";
    host.m_path = "/rel/host/vxWorks_rom.bin";
    host.m_size = 3;
    audit.OnImageStart(host);
    host.m_result = 1;
    audit.OnImageDone(host);
    ASSERT_TRUE(audit.Write(UpgradeEnd::HostFailed, error)) << error;

    // Once the instrument answered, a second started line names it: a run
    // killed from there on still says which instrument it wrote to.
    const std::vector<Json> records = Records();
    ASSERT_EQ(records.size(), 3u);
    const Json& started = records[0];
    EXPECT_EQ(TextOf(started, "record"), "started");
    EXPECT_EQ(TextOf(started, "verification"), "not checksummed");
    EXPECT_EQ(TextOf(started.at("images").at(0), "sha256"), Sha256Hex("abc"));
    EXPECT_EQ(started.find("serial"), started.end());
    EXPECT_EQ(TextOf(records[1], "record"), "started");
    EXPECT_EQ(TextOf(records[1], "attempt"), TextOf(started, "attempt"));
    EXPECT_EQ(TextOf(records[1], "model"), "K7142HA");
    EXPECT_EQ(TextOf(records[1], "serial"), "77");
    const Json& r = records[2];
    EXPECT_EQ(TextOf(r, "record"), "final");
    EXPECT_EQ(TextOf(r, "attempt"), TextOf(started, "attempt"));
    EXPECT_EQ(TextOf(r, "tool"), "window");
    EXPECT_EQ(TextOf(r, "model"), "K7142HA");
    EXPECT_EQ(TextOf(r, "serial"), "77");
    EXPECT_EQ(TextOf(r, "firmware_before"), "3.0");
    EXPECT_EQ(TextOf(r, "identity"), "Tavrion Technologies,K7142HA,77,3.0");
    EXPECT_EQ(TextOf(r, "result"), "failed");
    const auto& images = r.at("images");
    ASSERT_EQ(images.size(), 2u);
    // The engine never read the file whole: no digest of what was sent,
    // never a made-up one.
    EXPECT_TRUE(images[0].at("sha256").is_null());
    EXPECT_EQ(TextOf(images[0], "result"), "failed");
    EXPECT_EQ(TextOf(images[1], "id"), "HUBL");
    EXPECT_EQ(TextOf(images[1], "file"), "/rel/host/ubl-nor-ais.bin");
    EXPECT_EQ(TextOf(images[1], "result"), "not attempted");
}

}  // namespace

// ---- the upgrade run's stop requests and the window's own audit record ----

namespace {

void NoSleep(uint32_t) {}

class RunRecordTest : public AuditLogTest {
protected:
    void SetUp() override {
        AuditLogTest::SetUp();
        visa_double::reset();
        m_sink = std::tmpfile();
        update_set_streams(m_sink, m_sink);
        update_set_sleep(NoSleep);
        fs::create_directories(m_dir / "rel" / "host");
        for (const char* file :
             {"vxWorks_rom.bin", "RecoveryApp.bin", "bootrom.bin", "ubl-nor-ais.bin"})
            std::ofstream(m_dir / "rel" / "host" / file) << "image " << file;
        m_release = (m_dir / "rel").string() + "/";
        const char* old = std::getenv("XDG_STATE_HOME");
        m_oldState = old ? old : "";
        setenv("XDG_STATE_HOME", (m_dir / "state").c_str(), 1);
    }
    void TearDown() override {
        setenv("XDG_STATE_HOME", m_oldState.c_str(), 1);
        update_set_sleep(nullptr);
        update_set_streams(nullptr, nullptr);
        std::fclose(m_sink);
        AuditLogTest::TearDown();
    }

    // What the instrument was sent, command by command, images by header.
    static std::vector<std::string> Commands() {
        std::vector<std::string> sent;
        for (const std::string& w : visa_double::writes()) {
            if (w.rfind("DIAG:UPD:INIT? ", 0) == 0) sent.push_back(w.substr(0, 19));
            if (w == "DIAG:UPD:STARt\n" || w == "DIAG:UPD:END\n" || w == "DIAG:UPD:DONE\n" ||
                w == "DIAG:HW:HOST:REBoot\n")
                sent.push_back(w.substr(0, w.size() - 1));
        }
        return sent;
    }

    RecordingOperator m_op;
    std::string m_release;
    std::string m_instrument = "TCPIP0::192.0.2.7::inst0::INSTR";
    std::string m_family;
    std::string m_hostFile;
    std::string m_oldState;
    FILE* m_sink = nullptr;
};

class StopAfter : public UpgradeObserver {
public:
    explicit StopAfter(int images) : m_images(images) {}
    void OnImageDone(const ImageEvent&) override { --m_images; }
    bool StopRequested() override { return m_images <= 0; }
    int m_images;
};

// Counts the audit lines when a box comes up.
class LinesAtBox : public RecordingOperator {
public:
    explicit LinesAtBox(std::function<std::size_t()> count) : m_count(std::move(count)) {}
    int MessageBox(const std::string& text, const std::string& caption, unsigned type) override {
        m_atBox.push_back(m_count());
        return RecordingOperator::MessageBox(text, caption, type);
    }
    std::function<std::size_t()> m_count;
    std::vector<std::size_t> m_atBox;
};

TEST_F(RunRecordTest, WindowRunsAreRecordedAndAFailedRecordIsOnlySaid) {
    LinesAtBox op([this] { return fs::exists(m_log) ? Records().size() : 0u; });
    EXPECT_EQ(RunUpgrade(op, m_release, m_instrument, {0, 0, 0, 1}, m_family, m_hostFile),
              UpgradeEnd::Complete);
    // The final line goes out before the completion box (which may wait
    // long for its OK); the restart is added once it was sent.
    EXPECT_EQ(op.m_atBox, std::vector<std::size_t>{3u});
    std::vector<Json> records = Records();
    ASSERT_EQ(records.size(), 4u);
    EXPECT_EQ(TextOf(records[0], "record"), "started");
    EXPECT_EQ(TextOf(records[1], "record"), "started");
    EXPECT_EQ(TextOf(records[1], "serial"), "1234");
    EXPECT_EQ(TextOf(records[2], "record"), "final");
    EXPECT_EQ(TextOf(records[2], "tool"), "window");
    EXPECT_EQ(TextOf(records[2], "result"), "ok");
    EXPECT_TRUE(records[2].at("restart_sent").is_null());
    EXPECT_EQ(TextOf(records[3], "record"), "restart");
    EXPECT_EQ(TextOf(records[3], "attempt"), TextOf(records[2], "attempt"));
    EXPECT_TRUE(records[3].at("restart_sent").get<bool>());
    // The digest of what the engine read and sent.
    const Json& image = records[2].at("images").at(0);
    EXPECT_EQ(TextOf(image, "sha256"), Sha256Hex("image ubl-nor-ais.bin"));
    EXPECT_EQ(op.m_log.find("Audit"), std::string::npos);

    // An unwritable log changes nothing of the run but a last log line.
    fs::remove_all(m_dir / "state");
    std::ofstream(m_dir / "state") << "a file where the folder should be";
    visa_double::reset();
    EXPECT_EQ(RunUpgrade(m_op, m_release, m_instrument, {0, 0, 0, 1}, m_family, m_hostFile),
              UpgradeEnd::Complete);
    EXPECT_EQ(Commands(),
              (std::vector<std::string>{"DIAG:UPD:STARt", "DIAG:UPD:INIT? HUBL", "DIAG:UPD:DONE",
                                        "DIAG:UPD:END", "DIAG:HW:HOST:REBoot"}));
    EXPECT_NE(m_op.m_log.find("successful\r\nAudit log not written: audit log " +
                              (m_dir / "state").string()),
              std::string::npos)
        << m_op.m_log;
}

TEST_F(RunRecordTest, AFailedIdentificationIsRecordedByItsCause) {
    // Answered, but as another model: named in the record, with the accepted ones.
    visa_double::instrument().identity = "Tavrion Technologies,K9999,55,2.0\n";
    EXPECT_EQ(RunUpgrade(m_op, m_release, m_instrument, {0, 0, 0, 1}, m_family, m_hostFile),
              UpgradeEnd::NotIdentified);
    // Answered something that has no model field: the reply itself is named.
    visa_double::reset();
    visa_double::instrument().identity = "hello\n";
    RunUpgrade(m_op, m_release, m_instrument, {0, 0, 0, 1}, m_family, m_hostFile);
    // No connection at all: where it was tried.
    visa_double::reset();
    visa_double::fail_next("viOpen", VI_ERROR_RSRC_NFOUND);
    EXPECT_EQ(RunUpgrade(m_op, m_release, m_instrument, {0, 0, 0, 1}, m_family, m_hostFile),
              UpgradeEnd::NotIdentified);
    // Another session holds the instrument: not "not identified".
    visa_double::reset();
    visa_double::fail_next("viLock", VI_ERROR_TMO);
    EXPECT_EQ(RunUpgrade(m_op, m_release, m_instrument, {0, 0, 0, 1}, m_family, m_hostFile),
              UpgradeEnd::NotIdentified);

    std::vector<Json> finals;
    for (const Json& r : Records())
        if (TextOf(r, "record") == "final") finals.push_back(r);
    ASSERT_EQ(finals.size(), 4u);
    EXPECT_EQ(TextOf(finals[0], "result"), "not accepted");
    EXPECT_EQ(TextOf(finals[0], "model"), "K9999");
    EXPECT_EQ(TextOf(finals[0], "serial"), "55");
    EXPECT_EQ(TextOf(finals[0], "message"),
              "answered as model K9999, not an accepted model (K7141HA, K7142HA or K7141B)");
    EXPECT_EQ(TextOf(finals[1], "result"), "not accepted");
    EXPECT_EQ(TextOf(finals[1], "message").rfind("answered \"hello\", not an accepted", 0), 0u)
        << finals[1];
    EXPECT_EQ(TextOf(finals[0].at("cause"), "kind"), "other model");
    EXPECT_EQ(TextOf(finals[2], "result"), "unreachable");
    EXPECT_TRUE(finals[2].at("model").is_null());
    EXPECT_EQ(TextOf(finals[2], "message"),
              "not reachable at 192.0.2.7:111: viOpen failed (0xBFFF0011)");
    EXPECT_EQ(IntegerOf(finals[2].at("cause"), "port"), 111);
    EXPECT_EQ(TextOf(finals[3], "result"), "locked");
    EXPECT_EQ(TextOf(finals[3], "message"), "locked by another session");

    // A result the caller gives (a lock found during identification) wins.
    AuditObserver audit("fwupgrade", m_instrument, m_release, {0, 0, 0, 1}, nullptr, m_log);
    audit.OnOperation("identify");
    audit.OnIdentified("Tavrion Technologies,K9999,55,2.0\n", false);
    std::string error;
    ASSERT_TRUE(audit.Write(UpgradeEnd::NotIdentified, error, "locked", "held")) << error;
    EXPECT_EQ(TextOf(Records().back(), "result"), "locked");
}

TEST_F(RunRecordTest, AStopRequestEndsUpdateModeBeforeTheNextStep) {
    // Before update mode: nothing but the identification.
    StopAfter before(0);
    EXPECT_EQ(
        RunUpgrade(m_op, m_release, m_instrument, {0, 1, 1, 1}, m_family, m_hostFile, &before),
        UpgradeEnd::Interrupted);
    EXPECT_TRUE(Commands().empty());

    // Between images: the image under way finishes, then update mode ends.
    visa_double::reset();
    StopAfter between(1);
    EXPECT_EQ(
        RunUpgrade(m_op, m_release, m_instrument, {0, 1, 1, 1}, m_family, m_hostFile, &between),
        UpgradeEnd::Interrupted);
    EXPECT_EQ(Commands(), (std::vector<std::string>{"DIAG:UPD:STARt", "DIAG:UPD:INIT? HREC",
                                                    "DIAG:UPD:DONE", "DIAG:UPD:END"}));

    // After the Host application: its session has ended; no second one.
    visa_double::reset();
    m_op.m_answer = workflow::kAnswerYes;
    StopAfter afterHost(1);
    EXPECT_EQ(
        RunUpgrade(m_op, m_release, m_instrument, {1, 0, 0, 1}, m_family, m_hostFile, &afterHost),
        UpgradeEnd::Interrupted);
    EXPECT_EQ(Commands(), (std::vector<std::string>{"DIAG:UPD:STARt", "DIAG:UPD:INIT? HPAP",
                                                    "DIAG:UPD:DONE", "DIAG:UPD:END"}));

    // After the last image: update mode ended, but no restart.
    visa_double::reset();
    StopAfter last(1);
    EXPECT_EQ(RunUpgrade(m_op, m_release, m_instrument, {0, 0, 0, 1}, m_family, m_hostFile, &last),
              UpgradeEnd::Interrupted);
    EXPECT_EQ(Commands(), (std::vector<std::string>{"DIAG:UPD:STARt", "DIAG:UPD:INIT? HUBL",
                                                    "DIAG:UPD:DONE", "DIAG:UPD:END"}));
    EXPECT_EQ(m_op.m_upper, m_op.m_lower);
}

}  // namespace
