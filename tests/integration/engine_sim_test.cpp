// The engine's operations through the built-in VISA library against the
// simulated instrument, over VXI-11, HiSLIP and the raw socket on loopback.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "engine_output.h"
#include "lock_holder.h"
#include "sim_process.h"
#include "update.h"
#include "visa.h"

namespace {

// Each test has an address of its own, so tests may run in parallel.
std::string address(int n) {
    return "127.0.0." + std::to_string(10 + n);
}

// VXI-11 reaches the simulator through its portmapper on port 111, which only
// root may bind; the raw socket needs nothing.
#define REQUIRE_PORTMAPPER() \
    if (::geteuid() != 0) GTEST_SKIP() << "VXI-11 needs the simulator's port 111 (root)"

class EngineSimTest : public ::testing::Test {
protected:
    void SetUp() override {
        output_ = std::make_unique<EngineOutput>();
        dir_ = std::filesystem::temp_directory_path() /
               ("engine-sim-" + std::to_string(::getpid()) + "-" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::create_directories(dir_);
    }
    void TearDown() override {
        output_.reset();
        std::filesystem::remove_all(dir_);
    }

    std::string err() { return output_->err(); }

    std::string image(size_t size, const std::string& name = "image.bin") {
        const auto path = dir_ / name;
        std::ofstream file(path, std::ios::binary);
        uint32_t x = static_cast<uint32_t>(size) * 2654435761u + 1;
        std::string bytes(size, '\0');
        for (auto& b : bytes) {
            x ^= x << 13;
            x ^= x >> 17;
            x ^= x << 5;
            b = static_cast<char>(x);
        }
        // Line feeds and NULs inside the block must not end the message.
        if (size > 2) bytes[1] = '\n', bytes[2] = '\0';
        file.write(bytes.data(), static_cast<std::streamsize>(size));
        return path.string();
    }

    static std::string contents(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), {}};
    }

    // The whole update phase for one image, as the upgrade sequence runs it.
    int upgrade(const std::string& resource, const char* id, const std::string& path,
                int32_t block = -1) {
        update_start(resource.c_str());
        const int result = update_image(resource.c_str(), id, path.c_str(), block);
        update_end(resource.c_str());
        return result;
    }

    std::filesystem::path dir_;

private:
    std::unique_ptr<EngineOutput> output_;
};

TEST_F(EngineSimTest, ImagesOfEverySizeAreStoredByteForByteOverVxi11) {
    REQUIRE_PORTMAPPER();
    SimProcess sim(address(0), {});
    for (const size_t size :
         {size_t{1}, size_t{4096}, size_t{4097}, size_t{1} << 20, size_t{64} << 20}) {
        SCOPED_TRACE(size);
        const std::string path = image(size);
        ASSERT_EQ(upgrade(sim.vxi11(), "HPAP", path), 0) << err();
        EXPECT_TRUE(sim.stored("HPAP") == contents(path)) << "stored image differs";
    }
    EXPECT_EQ(err(), "");
}

TEST_F(EngineSimTest, ImagesAreStoredOverTheRawSocket) {
    SimProcess sim(address(1), {});
    for (const size_t size : {size_t{1}, size_t{4097}, size_t{1} << 20}) {
        const std::string path = image(size);
        ASSERT_EQ(upgrade(sim.socket(), "HUBL", path), 0) << err();
        // A socket write returns before the instrument has read it.
        EXPECT_TRUE(sim.wait_stored("HUBL", contents(path)));
    }
}

TEST_F(EngineSimTest, RequestedBlockSizeIsRoundedToSectorsAcrossManyBlocks) {
    REQUIRE_PORTMAPPER();
    SimProcess sim(address(2), {"--sector", "HBRM=1024"});
    const std::string path = image(100000);
    ASSERT_EQ(upgrade(sim.vxi11(), "HBRM", path, 3000), 0) << err();
    EXPECT_TRUE(sim.stored("HBRM") == contents(path));
    const std::string transcript = sim.transcript();
    EXPECT_NE(transcript.find("DIAG:UPD:INIT? HBRM,3072,100000"), std::string::npos) << transcript;
    EXPECT_NE(transcript.find("DIAG:UPD:BLOC? #41696"), std::string::npos)
        << "last block: 1696 bytes";
}

TEST_F(EngineSimTest, LockHeldElsewhereFailsAtOnceAndSendsNothing) {
    REQUIRE_PORTMAPPER();
    // Another client of the instrument holds its lock.
    {
        SimProcess sim(address(3), {"--hold-lock"});
        EXPECT_EQ(update_start(sim.vxi11().c_str()), 0);
        EXPECT_EQ(err(), "update: Device locked by another process.\n");
        EXPECT_EQ(sim.transcript(), "");
    }
    // Another process on this machine holds it through its own session, under
    // the same name or another name of the same instrument (the raw socket
    // has no lock of its own on the instrument side).
    SimProcess sim(address(4), {});
    std::string other_board = sim.socket();
    other_board.replace(0, 6, "TCPIP1");
    const std::pair<std::string, std::string> names[] = {{sim.vxi11(), sim.vxi11()},
                                                         {sim.socket(), sim.socket()},
                                                         {sim.socket(), other_board},
                                                         {sim.socket(), sim.vxi11()},
                                                         {sim.vxi11(), sim.socket()}};
    for (const auto& [held, resource] : names) {
        SCOPED_TRACE(held + " held, " + resource + " tried");
        TearDown();
        SetUp();
        LockHolder holder(held);
        ASSERT_TRUE(holder.holds());
        const std::string before = sim.transcript();
        const auto start = std::chrono::steady_clock::now();
        char reply[256];
        EXPECT_EQ(update_identify(resource.c_str(), reply, sizeof reply, 2000), 0);
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1500))
            << "a held lock must not be waited for";
        EXPECT_EQ(err(), "update: Device locked by another process.\n");
        EXPECT_EQ(sim.transcript(), before) << "nothing may reach a locked instrument";
        // A process that dies never leaves its lock behind.
        holder.Kill();
        EXPECT_EQ(update_identify(resource.c_str(), reply, sizeof reply, 2000), 1) << err();
    }
}

TEST_F(EngineSimTest, ErrorQueueEntriesArePrintedAndFailTheUpload) {
    REQUIRE_PORTMAPPER();
    SimProcess sim(address(5), {"--error-after", "DIAG:UPD:INIT?=-222,\"Data out of range\""});
    const std::string path = image(5000);
    EXPECT_EQ(upgrade(sim.vxi11(), "HPAP", path), 1);
    EXPECT_NE(err().find("update: SCPI error - -222,\"Data out of range\"\n"), std::string::npos)
        << err();
    EXPECT_NE(sim.transcript().find("DIAG:UPD:DONE"), std::string::npos);
    EXPECT_EQ(sim.stored("HPAP"), "");
}

TEST_F(EngineSimTest, ConnectionDroppedInABlockFailsWithoutHangingAndUnlocks) {
    REQUIRE_PORTMAPPER();
    SimProcess sim(address(6), {"--drop-in-block", "100000"});
    const std::string path = image(1 << 20);
    EXPECT_EQ(upgrade(sim.vxi11(), "HPAP", path), 1);
    EXPECT_NE(err().find("VISA error: -1073807194"), std::string::npos)
        << err();  // connection lost
    EXPECT_EQ(sim.stored("HPAP"), "");
    // The instrument is free again for the next session.
    char reply[256];
    EXPECT_EQ(update_identify(sim.vxi11().c_str(), reply, sizeof reply, 2000), 1) << err();
}

TEST_F(EngineSimTest, IdentificationGivesUpAfterItsTimeout) {
    REQUIRE_PORTMAPPER();
    SimProcess sim(address(7), {"--no-reply", "*IDN?"});
    char reply[256];
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(update_identify(sim.vxi11().c_str(), reply, sizeof reply, 2000), 0);
    const auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(err(), "Command timed out!\n");
    // Not a speed check: it must wait the 2 s it was given, and not 240 s.
    EXPECT_GE(waited, std::chrono::milliseconds(1900));
    EXPECT_LT(waited, std::chrono::seconds(30));
}

// HiSLIP needs no privileges: these run for every user.

TEST_F(EngineSimTest, ImagesOfEverySizeAreStoredByteForByteOverHislip) {
    SimProcess sim(address(20), {});
    for (const size_t size : {size_t{1}, size_t{4097}, size_t{1} << 20, size_t{64} << 20}) {
        SCOPED_TRACE(size);
        const std::string path = image(size);
        ASSERT_EQ(upgrade(sim.hislip(), "HPAP", path), 0) << err();
        // Closing waits until the instrument has read everything.
        EXPECT_TRUE(sim.stored("HPAP") == contents(path)) << "stored image differs";
    }
    EXPECT_EQ(err(), "");
    char reply[256];
    EXPECT_EQ(update_identify(sim.hislip().c_str(), reply, sizeof reply, 2000), 1) << err();
    EXPECT_NE(std::string(reply).find(",K7141HA,000030,1.0.0"), std::string::npos) << reply;
}

TEST_F(EngineSimTest, HislipErrorEntriesTimeoutsAndDroppedConnections) {
    {
        SimProcess sim(address(21), {"--error-after", "DIAG:UPD:INIT?=-222,\"Data out of range\""});
        EXPECT_EQ(upgrade(sim.hislip(), "HPAP", image(5000)), 1);
        EXPECT_NE(err().find("update: SCPI error - -222,\"Data out of range\"\n"),
                  std::string::npos)
            << err();
        EXPECT_EQ(sim.stored("HPAP"), "");
    }
    {
        TearDown();
        SetUp();
        SimProcess sim(address(22), {"--no-reply", "*IDN?"});
        char reply[256];
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(update_identify(sim.hislip().c_str(), reply, sizeof reply, 1000), 0);
        const auto waited = std::chrono::steady_clock::now() - start;
        EXPECT_EQ(err(), "Command timed out!\n");
        EXPECT_GE(waited, std::chrono::milliseconds(900));
        EXPECT_LT(waited, std::chrono::seconds(10));
    }
    {
        TearDown();
        SetUp();
        SimProcess sim(address(23), {"--drop-in-block", "100000"});
        EXPECT_EQ(upgrade(sim.hislip(), "HPAP", image(1 << 20)), 1);
        EXPECT_NE(err().find("VISA error: -1073807194"), std::string::npos) << err();
        EXPECT_EQ(sim.stored("HPAP"), "");
        EXPECT_NE(sim.transcript().find("[connection dropped]"), std::string::npos);
        char reply[256];
        EXPECT_EQ(update_identify(sim.hislip().c_str(), reply, sizeof reply, 2000), 1) << err();
    }
}

// The instrument's own lock, seen through HiSLIP: held by a client outside
// this machine (the simulator's option), and by another process whose
// process-level lock table is a different one, so that only the wire lock
// stands between them.
TEST_F(EngineSimTest, HislipLockHeldByAnotherClientFailsAtOnce) {
    {
        // The child's lock table must be its own: fork before this process
        // makes any VISA call.
        SimProcess sim(address(25), {});
        const std::string resource = sim.hislip();
        int ready[2], release[2];
        ASSERT_EQ(::pipe(ready), 0);
        ASSERT_EQ(::pipe(release), 0);
        const pid_t child = ::fork();
        if (child == 0) {
            // Only our ends stay open, so that a parent that gives up ends us.
            ::close(ready[0]);
            ::close(release[1]);
            const std::string own = (dir_ / "other-machine").string();
            std::filesystem::create_directories(own);
            ::setenv("XDG_RUNTIME_DIR", own.c_str(), 1);
            ViSession rm, vi;
            char c = 'n';
            if (viOpenDefaultRM(&rm) == VI_SUCCESS &&
                viOpen(rm, resource.c_str(), VI_NULL, 0, &vi) == VI_SUCCESS &&
                viLock(vi, VI_EXCLUSIVE_LOCK, 0, VI_NULL, VI_NULL) == VI_SUCCESS)
                c = 'y';
            (void)!::write(ready[1], &c, 1);
            (void)!::read(release[0], &c, 1);
            // Unlocking gives the instrument back while the session lives on.
            c = viUnlock(vi) == VI_SUCCESS ? 'y' : 'n';
            (void)!::write(ready[1], &c, 1);
            (void)!::read(release[0], &c, 1);
            ::_exit(0);
        }
        ::close(ready[1]);
        ::close(release[0]);
        char c = 0;
        ASSERT_EQ(::read(ready[0], &c, 1), 1);
        ASSERT_EQ(c, 'y');
        char reply[256];
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(update_identify(resource.c_str(), reply, sizeof reply, 2000), 0);
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1500))
            << "a held lock must not be waited for";
        EXPECT_EQ(err(), "update: Device locked by another process.\n");
        ASSERT_EQ(::write(release[1], "x", 1), 1);
        ASSERT_EQ(::read(ready[0], &c, 1), 1);
        EXPECT_EQ(c, 'y');
        EXPECT_EQ(update_identify(resource.c_str(), reply, sizeof reply, 2000), 1) << err();
        ASSERT_EQ(::write(release[1], "x", 1), 1);
        ::close(release[1]);
        ::close(ready[0]);
        ::waitpid(child, nullptr, 0);
    }
    TearDown();
    SetUp();
    SimProcess sim(address(24), {"--hold-lock"});
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(update_start(sim.hislip().c_str()), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1500));
    EXPECT_EQ(err(), "update: Device locked by another process.\n");
    EXPECT_EQ(sim.transcript(), "") << "nothing may reach a locked instrument";
}

}  // namespace
