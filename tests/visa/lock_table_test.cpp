#include "visa/lock_table.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fcntl.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>

#include "visa/instrument_key.h"
#include "visa/rsrc_name.h"

namespace visa {
namespace {

const std::string rsrc = "TCPIP0::127.0.0.210::inst0::INSTR";

class LockFiles : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/fwvisa-lock-test-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }

    // A child process that takes `type` on the resource, reports through a
    // pipe, then waits to be killed.
    pid_t child_holding(ViAccessMode type) {
        int fds[2];
        EXPECT_EQ(pipe(fds), 0);
        pid_t pid = fork();
        if (pid == 0) {
            LockTable theirs(dir_);
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

    std::string dir_;
};

TEST_F(LockFiles, AnotherProcessHoldsTheResource) {
    pid_t pid = child_holding(VI_EXCLUSIVE_LOCK);
    LockTable ours(dir_);
    EXPECT_EQ(ours.acquire(rsrc, 5, VI_EXCLUSIVE_LOCK, "", 0), VI_ERROR_TMO);
    EXPECT_EQ(ours.acquire(rsrc, 5, VI_SHARED_LOCK, "key", 0), VI_ERROR_TMO);
    // A different resource is free.
    EXPECT_EQ(ours.acquire(rsrc + "x", 5, VI_EXCLUSIVE_LOCK, "", 0), VI_SUCCESS);
    // The kernel drops a dead process's lock: nothing is left behind.
    kill_child(pid);
    EXPECT_EQ(ours.acquire(rsrc, 5, VI_EXCLUSIVE_LOCK, "", 1000), VI_SUCCESS);
}

TEST_F(LockFiles, SharedAcrossProcesses) {
    pid_t pid = child_holding(VI_SHARED_LOCK);
    LockTable ours(dir_);
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

TEST_F(LockFiles, ReleasedLockIsFreeForOtherProcesses) {
    LockTable ours(dir_);
    ASSERT_EQ(ours.acquire(rsrc, 5, VI_EXCLUSIVE_LOCK, "", 0), VI_SUCCESS);
    ours.release_all(rsrc, 5);
    pid_t pid = child_holding(VI_EXCLUSIVE_LOCK);  // asserts the child got it
    kill_child(pid);
}

TEST_F(LockFiles, NoFileOutlivesItsLastHolder) {
    LockTable ours(dir_);
    bool ended = false;
    for (int i = 0; i < 50; ++i) {
        const std::string key = "lan-192.0.2." + std::to_string(i);
        ASSERT_EQ(ours.acquire(key, 5, VI_EXCLUSIVE_LOCK, "", 0), VI_SUCCESS);
        ASSERT_EQ(ours.acquire(key, 6, VI_SHARED_LOCK, "k", 0), VI_ERROR_TMO);
        ours.release(key, 5, &ended);
    }
    ASSERT_EQ(ours.acquire(rsrc, 5, VI_SHARED_LOCK, "k", 0), VI_SUCCESS);
    ours.release_all(rsrc, 5);
    EXPECT_TRUE(std::filesystem::is_empty(dir_));
}

// The last holder removes the file while a waiter in another table (as in
// another process) has the old one open: the waiter must not end up holding
// a file nobody else can see.
TEST_F(LockFiles, WaiterOnARemovedFileTakesTheNewOne) {
    LockTable first(dir_), second(dir_), third(dir_);
    ASSERT_EQ(first.acquire(rsrc, 1, VI_EXCLUSIVE_LOCK, "", 0), VI_SUCCESS);
    ViStatus waited = VI_ERROR_SYSTEM_ERROR;
    std::thread waiter([&] { waited = second.acquire(rsrc, 2, VI_EXCLUSIVE_LOCK, "", 5000); });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    bool ended = false;
    first.release(rsrc, 1, &ended);
    waiter.join();
    ASSERT_EQ(waited, VI_SUCCESS);
    EXPECT_EQ(third.acquire(rsrc, 3, VI_EXCLUSIVE_LOCK, "", 0), VI_ERROR_TMO);
    EXPECT_EQ(first.acquire(rsrc, 1, VI_SHARED_LOCK, "k", 0), VI_ERROR_TMO);
}

// A lock that cannot be made is refused, never granted without its file.
TEST_F(LockFiles, LocksFailClosed) {
    const std::string key = "lan-192.0.2.7";
    const std::string file = dir_ + "/lan-192.0.2.7.lock";
    bool ended = false;
    {
        ASSERT_EQ(::mkfifo(file.c_str(), 0600), 0);  // nothing may wait on it
        LockTable t(dir_);
        EXPECT_EQ(t.acquire(key, 1, VI_EXCLUSIVE_LOCK, "", 100), VI_ERROR_SYSTEM_ERROR);
        EXPECT_EQ(t.state(key, 1), ViAccessMode(VI_NO_LOCK));
        ::unlink(file.c_str());
    }
    {
        ASSERT_EQ(::symlink("/dev/null", file.c_str()), 0);  // never followed
        LockTable t(dir_);
        EXPECT_EQ(t.acquire(key, 1, VI_EXCLUSIVE_LOCK, "", 100), VI_ERROR_SYSTEM_ERROR);
        ::unlink(file.c_str());
        EXPECT_EQ(t.acquire(key, 1, VI_EXCLUSIVE_LOCK, "", 0), VI_SUCCESS);
        t.release(key, 1, &ended);
    }
    // A directory that is a link, or not a directory, is not trusted at all.
    const std::string link = dir_ + "-link";
    ASSERT_EQ(::symlink(dir_.c_str(), link.c_str()), 0);
    LockTable through_link(link);
    EXPECT_EQ(through_link.acquire(key, 1, VI_EXCLUSIVE_LOCK, "", 0), VI_ERROR_SYSTEM_ERROR);
    ::unlink(link.c_str());
    LockTable missing(dir_ + "/absent");
    EXPECT_EQ(missing.acquire(key, 1, VI_SHARED_LOCK, "k", 0), VI_ERROR_SYSTEM_ERROR);
}

// Another user's directory that is not sticky could have our files swapped
// under us; one of ours, or a sticky one, is fine.
TEST_F(LockFiles, OnlyOwnOrStickyDirectories) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to hand a directory to another user";
    const std::string theirs = dir_ + "/theirs";
    ASSERT_EQ(::mkdir(theirs.c_str(), 0777), 0);
    ASSERT_EQ(::chown(theirs.c_str(), 65534, 65534), 0);
    ::chmod(theirs.c_str(), 0777);
    LockTable open_to_swaps(theirs);
    EXPECT_EQ(open_to_swaps.acquire("k1", 1, VI_EXCLUSIVE_LOCK, "", 0), VI_ERROR_SYSTEM_ERROR);
    ::chmod(theirs.c_str(), 01777);
    LockTable sticky(theirs);
    EXPECT_EQ(sticky.acquire("k1", 1, VI_EXCLUSIVE_LOCK, "", 0), VI_SUCCESS);
    sticky.release_all("k1", 1);
}

// Two users of one machine meet in one sticky directory: each can make lock
// files there, and each one's lock keeps the other out.
TEST_F(LockFiles, TwoUsersExcludeEachOther) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to act as another user";
    const std::string shared = dir_ + "/shared";
    ASSERT_EQ(::mkdir(shared.c_str(), 0700), 0);
    ASSERT_EQ(::chmod(shared.c_str(), 01777), 0);
    ASSERT_EQ(::chmod(dir_.c_str(), 0755), 0);
    for (bool other_first : {true, false}) {
        SCOPED_TRACE(other_first ? "the other user holds it" : "we hold it");
        LockTable ours(shared);
        if (!other_first) {
            ASSERT_EQ(ours.acquire(rsrc, 1, VI_EXCLUSIVE_LOCK, "", 0), VI_SUCCESS);
        }
        int result[2], release[2];
        ASSERT_EQ(pipe(result), 0);
        ASSERT_EQ(pipe(release), 0);
        pid_t pid = fork();
        if (pid == 0) {
            char c = 'x';
            if (setgid(65534) != 0 || setuid(65534) != 0) _exit(1);
            LockTable theirs(shared);  // held until the parent is done
            ViStatus st = theirs.acquire(rsrc, 2, VI_EXCLUSIVE_LOCK, "", 0);
            c = st == VI_SUCCESS ? 'y' : st == VI_ERROR_TMO ? 't' : 'f';
            if (write(result[1], &c, 1) != 1) _exit(1);
            (void)!read(release[0], &c, 1);
            _exit(0);
        }
        char c = 0;
        ASSERT_EQ(read(result[0], &c, 1), 1);
        EXPECT_EQ(c, other_first ? 'y' : 't');
        if (other_first) {
            EXPECT_EQ(ours.acquire(rsrc, 1, VI_EXCLUSIVE_LOCK, "", 0), VI_ERROR_TMO);
        }
        kill_child(pid);
        for (int fd : {result[0], result[1], release[0], release[1]})
            close(fd);
        ours.release_all(rsrc, 1);
    }
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
