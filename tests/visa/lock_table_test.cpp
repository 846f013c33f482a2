#include "visa/lock_table.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "platform/abstract_socket.h"
#include "visa/instrument_key.h"
#include "visa/rsrc_name.h"

namespace visa {
namespace {

const std::string rsrc = "TCPIP0::127.0.0.210::inst0::INSTR";

// Tables of one test share a name prefix of their own, so that tests and
// other programs on this machine never meet.
class LockNames : public ::testing::Test {
protected:
    void SetUp() override {
        static int n = 0;
        prefix_ = "fwvisa-test/" + std::to_string(getpid()) + "." + std::to_string(++n) + "/";
    }

    // A child process that takes `type` on the resource, reports through a
    // pipe, then waits to be killed.
    pid_t child_holding(ViAccessMode type) {
        int fds[2];
        EXPECT_EQ(pipe(fds), 0);
        pid_t pid = fork();
        if (pid == 0) {
            LockTable theirs(prefix_);
            char ok = theirs.acquire(rsrc, 1, type, "key", 0) == VI_SUCCESS ? 'y' : 'n';
            if (write(fds[1], &ok, 1) != 1) _exit(1);
            pause();
            _exit(0);
        }
        close(fds[1]);
        char ok = 0;
        EXPECT_EQ(read(fds[0], &ok, 1), 1);
        close(fds[0]);
        EXPECT_EQ(ok, 'y');
        return pid;
    }

    static void kill_child(pid_t pid) {
        kill(pid, SIGKILL);
        int status;
        waitpid(pid, &status, 0);
    }

    std::string prefix_;
};

TEST_F(LockNames, AnotherProcessHoldsTheResource) {
    pid_t pid = child_holding(VI_EXCLUSIVE_LOCK);
    LockTable ours(prefix_);
    EXPECT_EQ(ours.acquire(rsrc, 5, VI_EXCLUSIVE_LOCK, "", 0), VI_ERROR_TMO);
    EXPECT_EQ(ours.acquire(rsrc, 5, VI_SHARED_LOCK, "key", 0), VI_ERROR_TMO);
    // A different resource is free.
    EXPECT_EQ(ours.acquire(rsrc + "x", 5, VI_EXCLUSIVE_LOCK, "", 0), VI_SUCCESS);
    // The kernel drops a dead process's lock: nothing is left behind.
    kill_child(pid);
    EXPECT_EQ(ours.acquire(rsrc, 5, VI_EXCLUSIVE_LOCK, "", 1000), VI_SUCCESS);
}

TEST_F(LockNames, SharedAcrossProcesses) {
    pid_t pid = child_holding(VI_SHARED_LOCK);
    LockTable ours(prefix_);
    EXPECT_EQ(ours.acquire(rsrc, 6, VI_EXCLUSIVE_LOCK, "", 0), VI_ERROR_TMO);
    EXPECT_EQ(ours.acquire(rsrc, 5, VI_SHARED_LOCK, "key", 0), VI_SUCCESS);
    EXPECT_EQ(ours.acquire(rsrc, 6, VI_EXCLUSIVE_LOCK, "", 0), VI_ERROR_TMO);
    kill_child(pid);
    bool ended = false;
    EXPECT_EQ(ours.release(rsrc, 5, &ended), VI_SUCCESS);
    EXPECT_FALSE(ended);
    EXPECT_EQ(ours.acquire(rsrc, 6, VI_EXCLUSIVE_LOCK, "", 0), VI_SUCCESS);
    EXPECT_EQ(ours.release(rsrc, 6, &ended), VI_SUCCESS);
    EXPECT_TRUE(ended);
}

TEST_F(LockNames, ReleasedLockIsFreeForOtherProcesses) {
    LockTable ours(prefix_);
    ASSERT_EQ(ours.acquire(rsrc, 5, VI_EXCLUSIVE_LOCK, "", 0), VI_SUCCESS);
    ours.release_all(rsrc, 5);
    pid_t pid = child_holding(VI_EXCLUSIVE_LOCK);  // asserts the child got it
    kill_child(pid);
}

TEST_F(LockNames, NoNameOutlivesItsLastHolder) {
    LockTable ours(prefix_);
    bool ended = false;
    for (int i = 0; i < 50; ++i) {
        const std::string key = "lan-192.0.2." + std::to_string(i);
        ASSERT_EQ(ours.acquire(key, 5, VI_EXCLUSIVE_LOCK, "", 0), VI_SUCCESS);
        ASSERT_EQ(ours.acquire(key, 6, VI_SHARED_LOCK, "k", 0), VI_ERROR_TMO);
        ours.release(key, 5, &ended);
    }
    // Shared, then exclusive on top, then back to shared and out.
    ASSERT_EQ(ours.acquire(rsrc, 5, VI_SHARED_LOCK, "k", 0), VI_SUCCESS);
    ASSERT_EQ(ours.acquire(rsrc, 5, VI_EXCLUSIVE_LOCK, "", 0), VI_SUCCESS);
    ours.release(rsrc, 5, &ended);
    LockTable other(prefix_);
    EXPECT_EQ(other.acquire(rsrc, 1, VI_EXCLUSIVE_LOCK, "", 0), VI_ERROR_TMO);
    ours.release_all(rsrc, 5);
    std::vector<std::string> names;
    std::string why;
    ASSERT_TRUE(platform::abstract_names(prefix_, &names, &why)) << why;
    EXPECT_TRUE(names.empty()) << names.front();
}

// A waiter in another table (as in another process) takes the lock as soon
// as it is released, with nobody else slipping in.
TEST_F(LockNames, WaiterElsewhereTakesItOnRelease) {
    LockTable first(prefix_), second(prefix_), third(prefix_);
    ASSERT_EQ(first.acquire(rsrc, 1, VI_EXCLUSIVE_LOCK, "", 0), VI_SUCCESS);
    ViStatus waited = VI_ERROR_SYSTEM_ERROR;
    std::thread waiter([&] { waited = second.acquire(rsrc, 2, VI_EXCLUSIVE_LOCK, "", 5000); });
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    bool ended = false;
    first.release(rsrc, 1, &ended);
    waiter.join();
    ASSERT_EQ(waited, VI_SUCCESS);
    EXPECT_EQ(third.acquire(rsrc, 3, VI_EXCLUSIVE_LOCK, "", 0), VI_ERROR_TMO);
    EXPECT_EQ(first.acquire(rsrc, 1, VI_SHARED_LOCK, "k", 0), VI_ERROR_TMO);
}

// An exclusive and a shared taker in two tables racing for one lock: each
// publishes its name before it looks for the other, so they are never both
// granted.
TEST_F(LockNames, ExclusiveAndSharedNeverOverlap) {
    LockTable a(prefix_), b(prefix_);
    std::atomic<int> exclusive_in{0}, shared_in{0}, overlaps{0}, grants{0};
    auto run = [&](LockTable& t, ViAccessMode type, std::atomic<int>& mine,
                   std::atomic<int>& theirs) {
        bool ended;
        for (int i = 0; i < 300; ++i) {
            if (t.acquire(rsrc, 1, type, "k", 0) != VI_SUCCESS) continue;
            ++grants;
            mine = 1;
            if (theirs.load() != 0) ++overlaps;
            std::this_thread::yield();
            mine = 0;
            t.release(rsrc, 1, &ended);
        }
    };
    std::thread x([&] { run(a, VI_EXCLUSIVE_LOCK, exclusive_in, shared_in); });
    run(b, VI_SHARED_LOCK, shared_in, exclusive_in);
    x.join();
    EXPECT_EQ(overlaps.load(), 0);
    EXPECT_GT(grants.load(), 0);
}

// A lock whose name cannot be made is refused, never granted without it.
TEST_F(LockNames, LocksFailClosed) {
    LockTable too_long(std::string(120, 'p'));
    EXPECT_EQ(too_long.acquire(rsrc, 1, VI_EXCLUSIVE_LOCK, "", 0), VI_ERROR_SYSTEM_ERROR);
    EXPECT_EQ(too_long.acquire(rsrc, 1, VI_SHARED_LOCK, "k", 0), VI_ERROR_SYSTEM_ERROR);
    EXPECT_EQ(too_long.state(rsrc, 1), ViAccessMode(VI_NO_LOCK));
    // Long keys still make names that fit, and distinct ones stay distinct.
    LockTable t(prefix_);
    const std::string long_key(300, 'k');
    EXPECT_EQ(t.acquire(long_key, 1, VI_EXCLUSIVE_LOCK, "", 0), VI_SUCCESS);
    EXPECT_EQ(t.acquire(long_key + "2", 2, VI_EXCLUSIVE_LOCK, "", 0), VI_SUCCESS);
    EXPECT_LE(t.exclusive_name(long_key).size(), platform::max_abstract_name);
    EXPECT_NE(t.exclusive_name(long_key), t.exclusive_name(long_key + "2"));
}

// Every name that reaches one instrument gives one key.
TEST(InstrumentKey, NamesOfOneInstrumentMeet) {
    const auto key = [](const char* s) { return instrument_key(*parse_rsrc_name(s)); };
    const std::string host = key("TCPIP0::127.0.0.5::5025::SOCKET");
    for (const char* same :
         {"TCPIP1::127.0.0.5::5025::SOCKET", "TCPIP0::127.0.0.5::inst0::INSTR",
          "TCPIP::127.0.0.5::INSTR", "TCPIP3::127.0.0.5::inst1::INSTR",
          "TCPIP0::127.0.0.5::hislip0::INSTR", "TCPIP0::127.0.0.5::6000::SOCKET"})
        EXPECT_EQ(key(same), host) << same;
    EXPECT_NE(key("TCPIP0::127.0.0.6::5025::SOCKET"), host);
    EXPECT_EQ(key("TCPIP0::localhost::inst0::INSTR"), key("TCPIP0::127.0.0.1::5025::SOCKET"));
    // Addresses outside loopback are the same from every namespace.
    EXPECT_EQ(key("TCPIP0::192.0.2.7::inst0::INSTR"), "lan-192.0.2.7");
    EXPECT_EQ(key("USB0::0x1A2B::0x0C3D::sn1::INSTR"), key("USB1::0x1a2b::0x0c3d::SN1::INSTR"));
    EXPECT_NE(key("ASRL1::INSTR"), key("ASRL2::INSTR"));
}

// Behind one LAN gateway each bus address is an instrument of its own; the
// gateway's own names stay one.
TEST(InstrumentKey, InstrumentsBehindAGatewayStayApart) {
    const auto key = [](const char* s) { return instrument_key(*parse_rsrc_name(s)); };
    const std::string five = key("TCPIP0::127.0.0.9::gpib0,5::INSTR");
    EXPECT_NE(five, key("TCPIP0::127.0.0.9::gpib0,7::INSTR"));
    EXPECT_NE(five, key("TCPIP0::127.0.0.9::gpib0,5,2::INSTR"));
    EXPECT_NE(five, key("TCPIP0::127.0.0.9::gpib1,5::INSTR"));
    EXPECT_NE(five, key("TCPIP0::127.0.0.9::INSTR"));
    EXPECT_EQ(five, key("TCPIP1::127.0.0.9::GPIB0,05::INSTR"));
    EXPECT_EQ(key("TCPIP0::127.0.0.9::inst1::INSTR"), key("TCPIP0::127.0.0.9::hislip0::INSTR"));
}

TEST(LockTable, StateAndAccess) {
    LockTable t("");
    EXPECT_EQ(t.state(rsrc, 1), ViAccessMode(VI_NO_LOCK));
    EXPECT_TRUE(t.may_access(rsrc, 2));
    ASSERT_EQ(t.acquire(rsrc, 1, VI_SHARED_LOCK, "k", 0), VI_SUCCESS);
    EXPECT_EQ(t.state(rsrc, 1), ViAccessMode(VI_SHARED_LOCK));
    // A shared holder may also take the exclusive lock while alone.
    EXPECT_EQ(t.acquire(rsrc, 1, VI_EXCLUSIVE_LOCK, "", 0), VI_SUCCESS);
    EXPECT_EQ(t.state(rsrc, 1), ViAccessMode(VI_EXCLUSIVE_LOCK));
    EXPECT_FALSE(t.may_access(rsrc, 2));
    bool ended = false;
    EXPECT_EQ(t.release(rsrc, 1, &ended), VI_SUCCESS);  // exclusive first
    EXPECT_TRUE(ended);
    EXPECT_EQ(t.state(rsrc, 1), ViAccessMode(VI_SHARED_LOCK));
    EXPECT_EQ(t.release(rsrc, 1, &ended), VI_SUCCESS);
    EXPECT_EQ(t.release(rsrc, 1, &ended), VI_ERROR_SESN_NLOCKED);
    EXPECT_TRUE(t.may_access(rsrc, 2));
}

}  // namespace
}  // namespace visa
