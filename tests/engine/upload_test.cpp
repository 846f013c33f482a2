// The image upload: block-size settlement, the wire format of block messages,
// the done command's exactly-once rule, progress lines and the refusals.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstring>
#include <fstream>
#include <functional>

#include "engine_fixture.h"

namespace {

using Strings = std::vector<std::string>;
constexpr char done[] = "DIAG:UPD:DONE\n";
constexpr char update_failed[] = "\nUpdate failed.  Please re-run the application.\n";
constexpr ViSession vi = visa_double::instr_handle;

std::string file_bytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

// Block messages as the instrument receives them: the consecutive writes from
// a block header up to the lone line feed that ends the message.
Strings block_messages() {
    Strings messages;
    std::string current;
    bool inside = false;
    for (const auto& w : visa_double::writes()) {
        if (!inside && w.rfind("DIAG:UPD:BLOC? #", 0) == 0) inside = true;
        if (!inside) continue;
        if (w == "\n") {
            messages.push_back(current);
            current.clear();
            inside = false;
        } else {
            current += w;
        }
    }
    return messages;
}

// Block lengths announced by the headers, checked against the data carried.
std::vector<int> block_lengths(std::string* data = nullptr) {
    std::vector<int> lengths;
    for (const auto& m : block_messages()) {
        const size_t hash = m.find('#');
        const int digits = m[hash + 1] - '0';
        const int length = std::stoi(m.substr(hash + 2, digits));
        EXPECT_EQ(m.size(), hash + 2 + digits + length) << "header and data disagree";
        if (data) *data += m.substr(hash + 2 + digits);
        lengths.push_back(length);
    }
    return lengths;
}

std::string init_command() {
    for (const auto& w : visa_double::writes())
        if (w.rfind("DIAG:UPD:INIT?", 0) == 0) return w;
    return {};
}

TEST_F(EngineTest, BlockSizeIsRoundedToSectorsAndCutToTheFile) {
    const struct {
        int32_t requested;
        const char* sector;
        const char* init;
        std::vector<int> blocks;
    } cases[] = {
        {-1, "4096\n", "DIAG:UPD:INIT? HPAP,10000,10000\n", {10000}},
        {0, "4096\n", "DIAG:UPD:INIT? HPAP,10000,10000\n", {10000}},
        {3000, "1024\n", "DIAG:UPD:INIT? HPAP,3072,10000\n", {3072, 3072, 3072, 784}},
        {4096, "4096\n", "DIAG:UPD:INIT? HPAP,4096,10000\n", {4096, 4096, 1808}},
        {20000, "1024\n", "DIAG:UPD:INIT? HPAP,10000,10000\n", {10000}},
        // A sector larger than the whole file: rounded up, then cut back.
        {100, "2147483647\n", "DIAG:UPD:INIT? HPAP,10000,10000\n", {10000}},
    };
    const std::string path = image(10000);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.init);
        Reset();
        visa_double::instrument().sector_reply = c.sector;
        EXPECT_EQ(update_send_file(vi, path.c_str(), "HPAP", c.requested), 0);
        EXPECT_EQ(init_command(), c.init);
        std::string data;
        EXPECT_EQ(block_lengths(&data), c.blocks);
        EXPECT_TRUE(data == file_bytes(path)) << "the instrument got other bytes than the file";
        EXPECT_EQ(count(writes(), done), 1);
        EXPECT_EQ(err(), "");
    }
}

TEST_F(EngineTest, SeveralBlocksReportProgressAndDrainTheQueueAfterEach) {
    visa_double::instrument().sector_reply = "1024\n";
    const std::string path = image(10000);
    EXPECT_EQ(update_send_file(vi, path.c_str(), "HPAP", 3000), 0);
    EXPECT_EQ(out(), "Progress  30%\rProgress  61%\rProgress  92%\rProgress 100%\r");
    const Strings w = writes();
    // After the initialise reply, after each of 4 blocks, and once before done.
    EXPECT_EQ(count(w, ":SYST:ERR?\n"), 6);
    EXPECT_EQ(w.back(), done);
    EXPECT_EQ(w[w.size() - 2], ":SYST:ERR?\n");
    EXPECT_EQ(block_messages()[3].substr(0, 20), "DIAG:UPD:BLOC? #3784");
}

TEST_F(EngineTest, OneBlockGoesOutIn4096BytePiecesThenALoneLineFeed) {
    const std::string path = image(10000);
    EXPECT_EQ(update_send_file(vi, path.c_str(), "HPAP", -1), 0);
    Strings w = writes();
    const Strings expected_tail{"\n", ":SYST:ERR?\n", done};
    const size_t first = std::find_if(w.begin(), w.end(),
                                      [](const std::string& s) {
                                          return s.rfind("DIAG:UPD:BLOC? #510000", 0) == 0;
                                      }) -
                         w.begin();
    ASSERT_LT(first + 3, w.size());
    EXPECT_EQ(w[first].size(), 4096u);
    EXPECT_EQ(w[first + 1].size(), 4096u);
    EXPECT_EQ(w[first + 2].size(), 1830u);  // 22 + 10000 bytes in all
    EXPECT_EQ(w[first + 3], "\n");
    EXPECT_EQ(out(),
              "Sending file, please wait.\nBytes sent = 10000.\nProgramming flash, please wait.\n");

    // END is suppressed for the pieces and switched back on for the line feed.
    const auto& calls = visa_double::calls();
    const int off = index_of("viSetAttribute") >= 0 ? [&] {
        for (size_t i = 0; i < calls.size(); ++i)
            if (calls[i].fn == "viSetAttribute" && calls[i].attr == VI_ATTR_SEND_END_EN) return int(i);
        return -1;
    }() : -1;
    ASSERT_GE(off, 0);
    EXPECT_EQ(calls[off].value, static_cast<ViAttrState>(VI_FALSE));
    EXPECT_EQ(calls[off + 1].text.rfind("DIAG:UPD:BLOC?", 0), 0u);
    EXPECT_EQ(calls[off + 4].attr, VI_ATTR_SEND_END_EN);
    EXPECT_EQ(calls[off + 4].value, static_cast<ViAttrState>(VI_TRUE));
    EXPECT_EQ(calls[off + 5].text, "\n");
}

TEST_F(EngineTest, MessageOfExactlyTwoPiecesHasNoEmptyThirdWrite) {
    const std::string path = image(8192 - 21);  // header "DIAG:UPD:BLOC? #48171"
    EXPECT_EQ(update_send_file(vi, path.c_str(), "HPAP", -1), 0);
    const Strings w = writes();
    const size_t first = std::find_if(w.begin(), w.end(),
                                      [](const std::string& s) {
                                          return s.rfind("DIAG:UPD:BLOC? #48171", 0) == 0;
                                      }) -
                         w.begin();
    ASSERT_LT(first + 2, w.size());
    EXPECT_EQ(w[first].size(), 4096u);
    EXPECT_EQ(w[first + 1].size(), 4096u);
    EXPECT_EQ(w[first + 2], "\n");
}

TEST_F(EngineTest, HeadersCountTheDigitsOfTheLength) {
    char header[update_block_header_max + 1];
    const struct {
        int32_t length;
        const char* header;
    } cases[] = {{9, "DIAG:UPD:BLOC? #19"},
                 {10, "DIAG:UPD:BLOC? #210"},
                 {99999, "DIAG:UPD:BLOC? #599999"},
                 {100000, "DIAG:UPD:BLOC? #6100000"},
                 {999999999, "DIAG:UPD:BLOC? #9999999999"}};
    for (const auto& c : cases) {
        EXPECT_EQ(update_format_block_header(c.length, header), static_cast<int>(strlen(c.header)));
        EXPECT_STREQ(header, c.header);
    }
    // Lengths no header can carry get none, never a cut one.
    for (int32_t length : {1000000000, INT32_MAX, -1, INT32_MIN}) {
        std::memset(header, 'x', sizeof header);
        EXPECT_EQ(update_format_block_header(length, header), 0) << length;
        EXPECT_STREQ(header, "") << length;
    }
}

TEST_F(EngineTest, SendFileRefusesAnIdentifierTheCommandsCannotHold) {
    const std::string path = image(100);
    const std::string id(600, 'H');
    EXPECT_EQ(update_send_file(vi, path.c_str(), id.c_str(), -1), 1);
    EXPECT_EQ(err(), "update: image identifier too long (600 characters; at most 15)\n");
    EXPECT_TRUE(writes().empty());
    int32_t sector = 1;
    EXPECT_FALSE(update_query_sector_size(vi, id.c_str(), &sector));
    EXPECT_TRUE(writes().empty());
}

TEST_F(EngineTest, TimeoutIsRaisedJustBeforeInitialise) {
    const std::string path = image(100);
    EXPECT_EQ(update_send_file(vi, path.c_str(), "HPAP", -1), 0);
    int tmo = -1;
    const auto& calls = visa_double::calls();
    for (size_t i = 0; i < calls.size(); ++i)
        if (calls[i].attr == VI_ATTR_TMO_VALUE && calls[i].fn == "viSetAttribute") tmo = int(i);
    EXPECT_EQ(calls[tmo].value, 240000u);
    EXPECT_LT(index_of("viWrite", "DIAG:UPD:SSIZ?"), tmo);
    EXPECT_EQ(index_of("viWrite", "DIAG:UPD:INIT?"), tmo + 1);
}

// Failures before the initialise command send no done command.
TEST_F(EngineTest, RefusalsBeforeInitialiseSendNoDone) {
    const std::string path = image(10000);
    const std::string empty = image(0, "empty.bin");
    // A FIFO must not block the upload in open() (nobody will ever write it).
    const std::string fifo = (dir_ / "image.fifo").string();
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const struct {
        const char* what;
        std::function<void()> script;
        std::string file;
        int32_t requested;
        std::string err;
    } cases[] = {
        {"FIFO", [] {}, fifo, -1, "update: file '" + fifo + "' length is 0\n"},
        {"missing file", [] {}, (dir_ / "missing.bin").string(), -1,
         "update: can't open file '" + (dir_ / "missing.bin").string() + "'\n"},
        {"empty file", [] {}, empty, -1, "update: file '" + empty + "' length is 0\n"},
        {"directory", [] {}, dir_.string(), -1,
         "update: file '" + dir_.string() + "' length is 0\n"},
        {"sector query fails, blocks wanted", [] { visa_double::queue_read("", VI_ERROR_TMO); },
         path, 20000,
         "Command timed out!\nupdate: image 'HPAP' does not support block transfers\n"},
        {"sector size 0", [] { visa_double::instrument().sector_reply = "0\n"; }, path, 1024,
         "update: image 'HPAP' does not support block transfers\n"},
        {"debug cannot be written", [] { visa_double::fail_next("viWrite", VI_ERROR_IO); }, path,
         -1, visa_line(VI_ERROR_IO)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Reset();
        c.script();
        EXPECT_EQ(update_send_file(vi, c.file.c_str(), "HPAP", c.requested), 1);
        EXPECT_EQ(err(), c.err);
        EXPECT_EQ(count(writes(), done), 0);
        EXPECT_EQ(init_command(), "");
        EXPECT_EQ(out(), "");
    }
    Reset();
    EXPECT_EQ(update_send_file(vi, empty.c_str(), "HPAP", -1), 1);
    EXPECT_TRUE(visa_double::calls().empty()) << "an empty file sends nothing at all";
}

TEST_F(EngineTest, FailedSectorQueryStillAllowsOneBlock) {
    const std::string path = image(10000);
    visa_double::queue_read("", VI_ERROR_TMO);
    EXPECT_EQ(update_send_file(vi, path.c_str(), "HPAP", -1), 0);
    EXPECT_EQ(err(), "Command timed out!\n");
    EXPECT_EQ(init_command(), "DIAG:UPD:INIT? HPAP,10000,10000\n");

    Reset();
    visa_double::instrument().sector_reply = "abc\n";
    EXPECT_EQ(update_send_file(vi, path.c_str(), "HPAP", -1), 0);
    EXPECT_EQ(err(), "update: illegal sector size reported 'abc\n'\n");
}

// An image rewritten while its blocks go out is not reported as sent: the
// block read after the change is not sent, and done goes out once.
TEST_F(EngineTest, FileChangedDuringTheTransferFailsTheUpload) {
    const std::string path = image(10000);
    int blocks = 0;
    visa_double::after_write([&](const std::string& bytes) {
        if (bytes.rfind("DIAG:UPD:BLOC?", 0) == 0 && ++blocks == 1) {
            std::ofstream(path, std::ios::binary | std::ios::app) << "more";
        }
    });
    EXPECT_EQ(update_send_file(vi, path.c_str(), "HPAP", 4096), 1);
    EXPECT_EQ(err(), "update: file '" + path + "' changed while it was being sent\n");
    EXPECT_EQ(blocks, 1);
    EXPECT_EQ(count(writes(), done), 1);
}

// From the initialise command on, every failure sends done exactly once.
TEST_F(EngineTest, FailuresAfterInitialiseSendDoneExactlyOnce) {
    const std::string path = image(10000);
    const struct {
        const char* what;
        int32_t requested;
        std::function<void()> script;
        std::string err;
    } cases[] = {
        {"initialise cannot be written", -1,
         [] {
             for (int i = 0; i < 3; ++i)
                 visa_double::short_write_next(1000000);  // debug, cls, ssiz
             visa_double::fail_next("viWrite", VI_ERROR_IO);
         },
         visa_line(VI_ERROR_IO)},
        {"initialise answered 1", -1, [] { visa_double::instrument().init_reply = "1\n"; }, ""},
        {"initialise answered text", -1, [] { visa_double::instrument().init_reply = "busy\n"; },
         "update: illegal error return 'busy\n'\n"},
        {"error queue after initialise", -1,
         [] { visa_double::instrument().errors = {"-222,\"Data out of range\"\n"}; },
         "update: SCPI error - -222,\"Data out of range\"\n"},
        {"block answered 3", -1, [] { visa_double::instrument().block_reply = "3\n"; }, ""},
        {"block read times out", 3000,
         [] {
             visa_double::instrument().sector_reply = "1024\n";
             for (auto r : {"1024\n", "0\n", "+0,\"No error\"\n", "0\n", "+0,\"No error\"\n"})
                 visa_double::queue_read(r);
             visa_double::queue_read("", VI_ERROR_TMO);
         },
         "Command timed out!\n"},
        {"error only after the last block", -1,
         [] {
             for (auto r :
                  {"4096\n", "0\n", "+0,\"No error\"\n", "0\n", "-200,\"Execution error\"\n"})
                 visa_double::queue_read(r);
         },
         "update: SCPI error - -200,\"Execution error\"\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Reset();
        c.script();
        EXPECT_EQ(update_send_file(vi, path.c_str(), "HPAP", c.requested), 1);
        EXPECT_EQ(err(), c.err);
        EXPECT_EQ(count(writes(), done), 1);
        EXPECT_EQ(writes().back(), done);
        const std::string o = out();
        EXPECT_EQ(o.substr(o.size() - strlen(update_failed)), update_failed);
    }
}

TEST_F(EngineTest, BrokenBlockWriteRestoresEndAndAborts) {
    const std::string path = image(10000);
    // debug, cls, ssiz, init, syst:err, first piece; the second piece fails.
    for (int i = 0; i < 6; ++i)
        visa_double::short_write_next(~0u);
    visa_double::short_write_next(100);
    EXPECT_EQ(update_send_file(vi, path.c_str(), "HPAP", -1), 1);
    EXPECT_EQ(err(), visa_line(VI_SUCCESS)) << "a short write shows its non-negative status";
    EXPECT_EQ(sets_of(VI_ATTR_SEND_END_EN), (std::vector<ViAttrState>{VI_FALSE, VI_TRUE}));
    const Strings w = writes();
    EXPECT_EQ(count(w, "\n"), 0) << "no line feed after a broken block";
    EXPECT_EQ(count(w, done), 1);
    EXPECT_EQ(count(names(), "viRead"), 3) << "no reply is awaited for a broken block";

    Reset();
    visa_double::fail_next("viSetAttribute", VI_SUCCESS);  // the 240 s timeout
    visa_double::fail_next("viSetAttribute", VI_ERROR_NSUP_ATTR);
    EXPECT_EQ(update_send_file(vi, path.c_str(), "HPAP", -1), 1);
    EXPECT_EQ(count(writes(), done), 1);
    EXPECT_EQ(block_messages().size(), 0u);
}

TEST_F(EngineTest, ImageOperationPassesTheUploadResultThrough) {
    const std::string path = image(5000);
    EXPECT_EQ(update_image(lan, "HUBL", path.c_str(), -1), 0);
    EXPECT_EQ(sets_of(VI_ATTR_TERMCHAR_EN), (std::vector<ViAttrState>{VI_TRUE}));
    EXPECT_EQ(names().back(), "viClose");

    Reset();
    visa_double::instrument().block_reply = "1\n";
    EXPECT_EQ(update_image(lan, "HUBL", path.c_str(), -1), 1);
    EXPECT_EQ(count(names(), "viUnlock"), 1);
}

// Sizes a 32-bit length or a 9-digit block count cannot carry are refused
// before anything reaches the instrument's transfer. The files are sparse.
TEST_F(EngineTest, OversizedImagesAreRefusedNotTruncated) {
    const auto sparse = [&](const std::string& name, off_t size) {
        const std::string path = (dir_ / name).string();
        const int fd = ::open(path.c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0600);
        EXPECT_EQ(::ftruncate(fd, size), 0);
        ::close(fd);
        return path;
    };
    const std::string huge = sparse("huge.bin", off_t{1} << 31);
    EXPECT_EQ(update_send_file(vi, huge.c_str(), "HPAP", -1), 1);
    EXPECT_EQ(err(),
              "update: file '" + huge + "' is too large (2147483648 bytes; at most 2147483647)\n");
    EXPECT_TRUE(visa_double::calls().empty());

    Reset();
    const std::string long_block = sparse("long.bin", 1000000000);
    EXPECT_EQ(update_send_file(vi, long_block.c_str(), "HPAP", -1), 1);
    EXPECT_EQ(err(),
              "update: block of 1000000000 bytes is too long for a definite-length block "
              "(at most 999999999)\n");
    EXPECT_EQ(init_command(), "");
    EXPECT_EQ(count(writes(), done), 0);
}

}  // namespace

// The instrument keeps an image only on its done command: one that cannot be
// written fails the image instead of passing for success.
TEST_F(EngineTest, ADoneThatCannotBeWrittenFailsTheImage) {
    const std::string path = image(10000);
    ASSERT_EQ(update_send_file(vi, path.c_str(), "HPAP", -1), 0);
    const size_t all = writes().size();
    ASSERT_EQ(writes().back(), done);
    Reset();
    size_t seen = 0;
    visa_double::after_write([&](const std::string&) {
        if (++seen == all - 1) visa_double::fail_next("viWrite", VI_ERROR_CONN_LOST);
    });
    EXPECT_EQ(update_send_file(vi, path.c_str(), "HPAP", -1), 1);
    EXPECT_EQ(err(), visa_line(VI_ERROR_CONN_LOST));
    EXPECT_EQ(writes().back(), done) << "tried once, as the last write";
}

namespace {

// Supplies another file's descriptor for one path, or refuses it.
struct Supplier {
    update_observer hook{};
    std::string path;
    std::string replacement;  // "" refuses the path
    Supplier() {
        hook.context = this;
        hook.open_image = [](void* c, const char*, const char* p, int* fd) {
            auto* self = static_cast<Supplier*>(c);
            if (self->path != p) return false;
            *fd = self->replacement.empty() ? -1 : ::open(self->replacement.c_str(), O_RDONLY);
            return true;
        };
        EXPECT_TRUE(update_add_observer(&hook));
    }
    ~Supplier() { update_remove_observer(&hook); }
};

}  // namespace

TEST_F(EngineTest, AnObserverSuppliesTheBytesWhileTheTextsNameTheFile) {
    const std::string path = image(5000);
    const std::string other = image(7000, "other.bin");
    Supplier supplier;
    supplier.path = path;
    supplier.replacement = other;
    ASSERT_EQ(update_send_file(vi, path.c_str(), "HPAP", -1), 0);
    std::string data;
    EXPECT_EQ(block_lengths(&data), (std::vector<int>{7000}));
    EXPECT_EQ(data, file_bytes(other));

    // Refused: reported as a file that cannot be opened, before anything
    // is sent; other paths are opened as always.
    Reset();
    supplier.replacement.clear();
    EXPECT_EQ(update_send_file(vi, path.c_str(), "HPAP", -1), 1);
    EXPECT_EQ(err(), "update: can't open file '" + path + "'\n");
    EXPECT_TRUE(visa_double::calls().empty());
    Reset();
    EXPECT_EQ(update_send_file(vi, other.c_str(), "HPAP", -1), 0);
}
