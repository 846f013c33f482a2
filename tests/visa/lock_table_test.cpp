#include "visa/lock_table.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

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
