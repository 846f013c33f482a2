// Progress for a pipe: a line as an image starts, at each further tenth and
// after 5 s without one; a batch's lines name their instrument.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <string>

#include "progress.h"

namespace {

using std::chrono::seconds;
using std::chrono::steady_clock;

TEST(ProgressTest, APlainLineComesAtEachTenthOrAfterFiveSeconds) {
    cli::PlainPace pace;
    const auto t = steady_clock::now();
    EXPECT_TRUE(pace.due(0, 1000, t));
    EXPECT_FALSE(pace.due(99, 1000, t));
    EXPECT_TRUE(pace.due(100, 1000, t));
    // Two tenths at once give one line, not two.
    EXPECT_TRUE(pace.due(350, 1000, t));
    EXPECT_FALSE(pace.due(399, 1000, t));
    // A stalled transfer still says where it stands now and then.
    EXPECT_FALSE(pace.due(399, 1000, t + seconds(4)));
    EXPECT_TRUE(pace.due(399, 1000, t + seconds(6)));
    EXPECT_TRUE(pace.due(1000, 1000, t + seconds(6)));
    // An empty image is whole at once, and a new image starts over.
    pace.reset();
    EXPECT_TRUE(pace.due(0, 0, t));
    EXPECT_FALSE(pace.due(0, 0, t));
}

TEST(ProgressTest, ABatchOnAPipeGetsPlainLinesPerInstrumentAndNoOverallLine) {
    int out[2];
    ASSERT_EQ(::pipe2(out, O_NONBLOCK), 0);
    const int err = ::open("/dev/null", O_WRONLY);
    {
        cli::Output output(false, out[1], err);
        cli::BatchProgress progress(output, 2, 1000);
        using workflow::Json;
        progress.on_event("A", Json{{"event", "image_started"}, {"image", "HUBL"}});
        for (int sent = 0; sent <= 1000; sent += 50)
            progress.on_event("A", Json{{"event", "progress"}, {"bytes", sent}, {"total", 1000}});
        progress.on_finished("A");
        progress.redraw();
    }
    std::string text;
    char buffer[4096];
    for (ssize_t n; (n = ::read(out[0], buffer, sizeof buffer)) > 0;)
        text.append(buffer, static_cast<std::size_t>(n));
    EXPECT_EQ(text.find("[A] HUBL  0%  0 of 1000 bytes\n"), 0u) << text;
    EXPECT_NE(text.find("[A] HUBL  50%  500 of 1000 bytes\n[A] HUBL  60%"), std::string::npos);
    EXPECT_NE(text.find("[A] HUBL  100%  1000 of 1000 bytes\n"), std::string::npos);
    EXPECT_EQ(text.find("instruments done"), std::string::npos) << text;
    EXPECT_EQ(text.find('\r'), std::string::npos);
    ::close(out[0]);
    ::close(out[1]);
    ::close(err);
}

}  // namespace
