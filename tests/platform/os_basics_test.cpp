// The XDG base folders, writing whole buffers and UTC time stamps.
#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <optional>
#include <string>

#include <sys/wait.h>
#include <unistd.h>

#include "platform/shown_text.h"
#include "platform/utc_time.h"
#include "platform/write_all.h"
#include "platform/xdg.h"

namespace {

using platform::XdgBase;

// Sets (or with nullptr unsets) an environment variable for one scope.
class EnvVar {
public:
    EnvVar(const char* name, const char* value) : m_name(name) {
        if (const char* old = std::getenv(name)) m_old = old;
        value ? ::setenv(name, value, 1) : ::unsetenv(name);
    }
    ~EnvVar() { m_old ? ::setenv(m_name, m_old->c_str(), 1) : ::unsetenv(m_name); }

private:
    const char* m_name;
    std::optional<std::string> m_old;
};

TEST(XdgTest, AbsoluteVariablesElseHomeElseAClearError) {
    EnvVar home("HOME", "/home/op");
    {
        EnvVar config("XDG_CONFIG_HOME", "/cfg");
        EnvVar state("XDG_STATE_HOME", "/st");
        EXPECT_EQ(platform::xdg_base_dir(XdgBase::config), "/cfg");
        EXPECT_EQ(platform::xdg_base_dir(XdgBase::state), "/st");
    }
    // Relative or empty values are no base folder: HOME's defaults instead.
    EnvVar config("XDG_CONFIG_HOME", "cfg");
    EnvVar state("XDG_STATE_HOME", "");
    EXPECT_EQ(platform::xdg_base_dir(XdgBase::config), "/home/op/.config");
    EXPECT_EQ(platform::xdg_base_dir(XdgBase::state), "/home/op/.local/state");
    // Without a usable HOME: never "/.config" or a relative folder.
    for (const char* value : {static_cast<const char*>(nullptr), "", "op"}) {
        EnvVar odd("HOME", value);
        std::string error;
        EXPECT_FALSE(platform::xdg_base_dir(XdgBase::state, &error));
        EXPECT_EQ(error, "neither XDG_STATE_HOME nor HOME is set");
        EXPECT_FALSE(platform::xdg_base_dir(XdgBase::config, &error));
        EXPECT_EQ(error, "neither XDG_CONFIG_HOME nor HOME is set");
    }
}

TEST(WriteAllTest, GoesOnAfterShortWritesAndReportsAFailure) {
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    // More than a pipe holds, drained by a child in small reads: the writer
    // sees short writes.
    const std::string text(1 << 20, 'x');
    const pid_t reader = ::fork();
    if (reader == 0) {
        ::close(fds[1]);
        char buffer[1000];
        std::size_t total = 0;
        for (ssize_t n; (n = ::read(fds[0], buffer, sizeof buffer)) > 0;)
            total += static_cast<std::size_t>(n);
        ::_exit(total == (1u << 20) ? 0 : 1);
    }
    ::close(fds[0]);
    EXPECT_TRUE(platform::write_all(fds[1], text));
    ::close(fds[1]);
    int status = 0;
    ::waitpid(reader, &status, 0);
    EXPECT_EQ(WEXITSTATUS(status), 0);

    // A reader that went away: false with EPIPE, not a hang or a crash.
    ASSERT_EQ(::pipe(fds), 0);
    ::close(fds[0]);
    const auto old = std::signal(SIGPIPE, SIG_IGN);
    EXPECT_FALSE(platform::write_all(fds[1], "lost"));
    EXPECT_EQ(errno, EPIPE);
    std::signal(SIGPIPE, old);
    ::close(fds[1]);
}

TEST(UtcTimeTest, IsoWithMillisecondsInUtc) {
    using namespace std::chrono;
    const system_clock::time_point when{milliseconds(1796638500123)};
    EXPECT_EQ(platform::utc_timestamp(when), "2026-12-07T10:15:00.123Z");
    EXPECT_EQ(platform::utc_timestamp(system_clock::time_point{}), "1970-01-01T00:00:00.000Z");
    // Before 1970 the milliseconds still count up within their second.
    EXPECT_EQ(platform::utc_timestamp(system_clock::time_point{milliseconds(-1)}),
              "1969-12-31T23:59:59.999Z");
    EXPECT_EQ(platform::utc_now().size(), 24u);
}

// What a hostile reply or record would use to take over a terminal or fake
// a line, and what must pass as it is.
TEST(ShownTextTest, ControlsAndBrokenUtf8AreWrittenOut) {
    using platform::escape_controls;
    EXPECT_EQ(escape_controls("Tavrion Technologies,K7141HA,000123,1.2.3"),
              "Tavrion Technologies,K7141HA,000123,1.2.3");
    EXPECT_EQ(escape_controls("Gr\xc3\xbc\xc3\x9f"
                              "e \xe2\x82\xac \xf0\x9f\x94\x8c"),
              "Gr\xc3\xbc\xc3\x9f"
              "e \xe2\x82\xac \xf0\x9f\x94\x8c");
    EXPECT_EQ(escape_controls("a\x1b]0;owned\x07"
                              "b\x1b[2J"),
              "a\\x1B]0;owned\\x07b\\x1B[2J");
    EXPECT_EQ(escape_controls("row\nfake row\r\tx\x7f"), "row\\nfake row\\r\\tx\\x7F");
    EXPECT_EQ(escape_controls(std::string("nul\0end", 7)), "nul\\x00end");
    // C1 controls (CSI is U+009B) in UTF-8 and as bare bytes.
    EXPECT_EQ(escape_controls("\xc2\x9b"
                              "31m \x9b"
                              "31m"),
              "\\u009B31m \\x9B31m");
    // Overlong, surrogate, cut and out-of-range sequences are bytes.
    EXPECT_EQ(escape_controls("\xc0\x8a \xed\xa0\x80 \xe2\x82 \xf4\x90\x80\x80"),
              "\\xC0\\x8A \\xED\\xA0\\x80 \\xE2\\x82 \\xF4\\x90\\x80\\x80");
    // A backslash is doubled, so an escape in the text is not taken for ours.
    EXPECT_EQ(escape_controls("C:\\x1B"), "C:\\\\x1B");
}

}  // namespace
