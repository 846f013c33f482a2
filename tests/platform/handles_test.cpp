// Owned descriptors, regular files read with a cap, and child processes.
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <string>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/child_process.h"
#include "platform/regular_file.h"
#include "platform/small_file.h"
#include "platform/unique_fd.h"

namespace {

using namespace std::chrono_literals;
using platform::UniqueFd;

bool IsOpen(int fd) {
    return ::fcntl(fd, F_GETFD) != -1;
}

class ScratchDir : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/fw-handles-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        m_dir = pattern;
    }
    void TearDown() override { std::filesystem::remove_all(m_dir); }
    std::string m_dir;
};

// A descriptor handed on is closed once, by its last owner, and never after
// its number was given to someone else.
TEST(UniqueFd, ClosesOnceWhateverItIsMovedTo) {
    int ends[2];
    ASSERT_EQ(::pipe2(ends, O_CLOEXEC), 0);
    UniqueFd write_end(ends[1]);
    {
        UniqueFd first(ends[0]);
        UniqueFd second(std::move(first));
        EXPECT_FALSE(first);
        UniqueFd third;
        third = std::move(second);
        EXPECT_EQ(third.get(), ends[0]);
        third = std::move(third);  // onto itself: still held
        EXPECT_TRUE(IsOpen(ends[0]));
    }
    EXPECT_FALSE(IsOpen(ends[0]));
    // The number is free and may be reused; nothing closes it again.
    const int reused = ::dup(write_end.get());
    UniqueFd released(write_end.release());
    EXPECT_TRUE(IsOpen(released.get()));
    released.reset();
    EXPECT_FALSE(IsOpen(ends[1]));
    if (reused >= 0) {
        EXPECT_TRUE(IsOpen(reused));
        ::close(reused);
    }
}

TEST_F(ScratchDir, CappedReadsRefuseWithoutBlocking) {
    const std::string fifo = m_dir + "/fifo", big = m_dir + "/big", fits = m_dir + "/fits";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    std::ofstream(big) << std::string(101, 'x');
    std::ofstream(fits) << std::string(100, 'y');

    // A FIFO with no writer: refused at once, saying what it is.
    std::string error;
    platform::ReadFailure failure{};
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(platform::read_small_file(fifo, 100, &error, &failure));
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
    EXPECT_EQ(failure, platform::ReadFailure::not_regular);
    EXPECT_EQ(error, "reading " + fifo + ": not a regular file (a FIFO)");
    EXPECT_EQ(platform::open_regular("/dev/null", 100).refusal, platform::FileRefusal::not_regular);
    EXPECT_EQ(platform::open_regular(m_dir, 100).refusal, platform::FileRefusal::not_regular);

    // One byte over the cap is refused whole, never cut short.
    EXPECT_FALSE(platform::read_small_file(big, 100, &error, &failure));
    EXPECT_EQ(failure, platform::ReadFailure::too_large);
    EXPECT_EQ(error, "reading " + big + ": larger than 100 bytes");
    const auto read = platform::read_small_file(fits, 100, &error);
    ASSERT_TRUE(read) << error;
    EXPECT_EQ(read->text, std::string(100, 'y'));

    const platform::RegularFile missing = platform::open_regular(m_dir + "/none", 100);
    EXPECT_EQ(missing.refusal, platform::FileRefusal::missing);
    EXPECT_FALSE(missing.fd);
}

platform::ChildProcess Shell(const std::string& script, std::vector<int> captured = {1}) {
    platform::ChildOptions options;
    options.argv = {"/bin/sh", "-c", script};
    options.captured = std::move(captured);
    options.null_stdio = true;
    return platform::ChildProcess::start(options);
}

TEST(ChildProcess, OutputAndExitStatusAreTheChilds) {
    platform::ChildProcess child = Shell("echo out; echo status >&3; exit 3", {3, 1});
    ASSERT_TRUE(child.running()) << child.why();
    const platform::ChildRun run = platform::run_collecting(child, 1024, 10s, {});
    EXPECT_TRUE(run.ended);
    EXPECT_EQ(run.output, "status\n");
    EXPECT_TRUE(WIFEXITED(run.wait_status));
    EXPECT_EQ(WEXITSTATUS(run.wait_status), 3);
    EXPECT_FALSE(child.running());

    // Past the cap, output is dropped, not waited on.
    platform::ChildProcess chatty = Shell("head -c 100000 /dev/zero");
    EXPECT_EQ(platform::run_collecting(chatty, 10, 10s, {}).output, std::string(10, '\0'));

    platform::ChildOptions nothing;
    nothing.argv = {"/nonexistent/program"};
    platform::ChildProcess missing = platform::ChildProcess::start(nothing);
    EXPECT_FALSE(missing.running());
    EXPECT_EQ(missing.why(), "exec: No such file or directory");
}

// At the deadline, or on a stop, the child is killed and reaped: nothing is
// left running or waiting to be waited for.
TEST(ChildProcess, TimeoutAndStopKillAndReap) {
    platform::ChildProcess slow = Shell("exec sleep 30");
    const pid_t pid = slow.pid();
    const auto start = std::chrono::steady_clock::now();
    const platform::ChildRun run = platform::run_collecting(slow, 1024, 200ms, {});
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
    EXPECT_TRUE(run.timed_out);
    EXPECT_FALSE(run.ended);
    EXPECT_EQ(::kill(pid, 0), -1);
    EXPECT_EQ(::waitpid(pid, nullptr, WNOHANG), -1);
    EXPECT_EQ(errno, ECHILD);

    platform::ChildProcess stopped = Shell("exec sleep 30");
    EXPECT_TRUE(platform::run_collecting(stopped, 1024, 10s, [] { return true; }).stopped);

    pid_t abandoned;
    {
        platform::ChildProcess child = Shell("exec sleep 30");
        abandoned = child.pid();
    }
    EXPECT_EQ(::waitpid(abandoned, nullptr, WNOHANG), -1);
}

}  // namespace
