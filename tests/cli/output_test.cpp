// fwupgrade's --json events, compared as whole lines.
#include <gtest/gtest.h>

#include <string>

#include <fcntl.h>
#include <unistd.h>

#include "output.h"

namespace {

using workflow::Json;

// Everything written to the pipe so far, with each event's time (which the
// program stamps) replaced by a fixed one.
std::string Drain(int fd) {
    std::string text;
    char buffer[4096];
    for (ssize_t n; (n = ::read(fd, buffer, sizeof buffer)) > 0;)
        text.append(buffer, static_cast<std::size_t>(n));
    const std::string key = "\"time\":\"";
    for (std::size_t at = text.find(key); at != std::string::npos; at = text.find(key, at + 1))
        text.replace(at + key.size(), 24, "2026-12-07T10:15:00.123Z");
    return text;
}

TEST(OutputTest, EventsAreWholeLinesInTheDocumentedLayout) {
    int out[2];
    int err[2];
    ASSERT_EQ(::pipe2(out, O_NONBLOCK), 0);
    ASSERT_EQ(::pipe2(err, O_NONBLOCK), 0);
    {
        cli::Output output(true, out[1], err[1]);
        output.event("image_done", Json{{"resource", "TCPIP0::192.0.2.7::INSTR"},
                                        {"image", "HUBL"},
                                        {"result", "ok"},
                                        {"sha256", nullptr},
                                        {"duration_ms", 1200}});
        output.diagnostic("reading \"/rel\x01\": gone", "TCPIP0::192.0.2.7::INSTR");
        output.event("finished", Json{{"command", "upgrade"}, {"exit_code", 0}});
        output.event("step", Json{{"step", "late"}});  // nothing after "finished"
    }
    EXPECT_EQ(Drain(out[0]),
              R"({"schema":1,"event":"image_done","time":"2026-12-07T10:15:00.123Z",)"
              R"("resource":"TCPIP0::192.0.2.7::INSTR","image":"HUBL","result":"ok",)"
              R"("sha256":null,"duration_ms":1200})"
              "\n"
              R"({"schema":1,"event":"diagnostic","time":"2026-12-07T10:15:00.123Z",)"
              R"("resource":"TCPIP0::192.0.2.7::INSTR","text":"reading \"/rel\u0001\": gone"})"
              "\n"
              R"({"schema":1,"event":"finished","time":"2026-12-07T10:15:00.123Z",)"
              R"("command":"upgrade","exit_code":0})"
              "\n");
    // Standard error is for people: the control character is written out.
    EXPECT_EQ(Drain(err[0]), "reading \"/rel\\x01\": gone\n");
    for (const int fd : {out[0], out[1], err[0], err[1]})
        ::close(fd);
}

// A hostile identity or record can neither drive the terminal nor add a line.
TEST(OutputTest, LinesForPeopleStayOneLine) {
    int out[2];
    ASSERT_EQ(::pipe2(out, O_NONBLOCK), 0);
    {
        cli::Output output(false, out[1], out[1]);
        output.event("identified", Json::object(), "Identified K7141HA\x1b[2J\nfake row");
        output.text("serial 42\r\x1b]0;title\x07");
        output.diagnostic(
            "fwupgrade: \xc2\x9b"
            "31mred");
    }
    EXPECT_EQ(Drain(out[0]),
              "Identified K7141HA\\x1B[2J\\nfake row\n"
              "serial 42\\r\\x1B]0;title\\x07\n"
              "fwupgrade: \\u009B31mred\n");
    ::close(out[0]);
    ::close(out[1]);
}

}  // namespace
