#include "visa/find_expr.h"

#include <gtest/gtest.h>

#include <string>

namespace visa {
namespace {

struct Case {
    const char* expr;
    const char* rsrc;
    bool match;
};

TEST(FindExpr, MatchesTable) {
    const Case cases[] = {
        {"?*INSTR", "TCPIP0::127.0.0.2::inst0::INSTR", true},
        {"?*INSTR", "TCPIP0::127.0.0.2::5025::SOCKET", false},
        {"?*INSTR", "INSTR", true},  // "?*" may match nothing
        {"?*", "ASRL1::INSTR", true},
        {"USB?*", "USB0::0x1A2B::0x0C3D::SN1::INSTR", true},
        {"USB?*", "TCPIP0::h::inst0::INSTR", false},
        {"usb?*instr", "USB0::0x1A2B::0x0C3D::SN1::INSTR", true},  // case-insensitive
        {"TCPIP0::127.0.0.2::inst0::INSTR", "tcpip0::127.0.0.2::INST0::instr", true},
        {"TCPIP0::127.0.0.2", "TCPIP0::127.0.0.2::inst0::INSTR", false},  // whole string
        {"?*::127.0.0.2::?*", "TCPIP0::127.0.0.2::inst0::INSTR", true},
        {"?*.0.0.2?*", "TCPIP0::127x0x0x2::inst0::INSTR", false},  // '.' is literal
        {"ASRL[0-9]::INSTR", "ASRL7::INSTR", true},
        {"ASRL[0-9]::INSTR", "ASRL10::INSTR", false},
        {"ASRL[0-9]+::INSTR", "ASRL10::INSTR", true},
        {"ASRL[0-9]+::INSTR", "ASRL::INSTR", false},
        {"ASRL[0-9]*::INSTR", "ASRL::INSTR", true},
        {"[^A]?*", "ASRL1::INSTR", false},
        {"[^A]?*", "USB0::1::2::S::INSTR", true},
        {"[a-c]SRL1::INSTR", "BSRL1::INSTR", true},  // ranges fold case too
        {"(GPIB|TCPIP)?*", "TCPIP0::h::inst0::INSTR", true},
        {"(GPIB|TCPIP)?*", "USB0::1::2::S::INSTR", false},
        {"USB?*|ASRL?*", "ASRL1::INSTR", true},
        {"USB?*|ASRL?*", "TCPIP0::h::inst0::INSTR", false},
        {"(AB)+C", "ABABC", true},
        {"(AB)+C", "ABAC", false},
        {"\\?x", "?x", true},
        {"\\?x", "ax", false},
        {"a\\*", "a*", true},
        {"[\\]]x", "]x", true},
        {"[-a]", "-", true},
        {"(a*)*b", "aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaac", false},
        {"(a|)b", "b", false},  // empty alternative is malformed: compile fails, see below
    };
    for (const auto& c : cases) {
        auto e = FindExpr::compile(c.expr);
        if (std::string(c.expr) == "(a|)b") {
            EXPECT_FALSE(e);
            continue;
        }
        ASSERT_TRUE(e) << c.expr;
        EXPECT_EQ(e->matches(c.rsrc), c.match) << c.expr << " vs " << c.rsrc;
    }
}

TEST(FindExpr, RefusesMalformed) {
    const char* bad[] = {
        "",   "*",   "+abc", "a|",    "|a", "()", "(a",  "a)",
        "[",  "[]",  "[^]",  "[z-a]", "a]", "\\", "[a-", "?*{VI_ATTR_MANF_ID==0x1A2B}",
        "a}", "(|)", "a||b"};
    for (const char* s : bad)
        EXPECT_FALSE(FindExpr::compile(s)) << '"' << s << '"';
    EXPECT_FALSE(FindExpr::compile(std::string(2000, 'a')));
}

TEST(FindExpr, NestedStarsStayLinear) {
    // Backtracking would take ages here; the automaton does not.
    auto e = FindExpr::compile("((?*)*(?*)*)*X");
    ASSERT_TRUE(e);
    EXPECT_FALSE(e->matches(std::string(255, 'a')));
    EXPECT_TRUE(e->matches(std::string(254, 'a') + "x"));
}

// Whether a find needs the LAN searched at all.
TEST(FindExpr, MayMatchAPrefix) {
    for (auto [expr, may] : {std::pair{"?*INSTR", true},
                             {"?*", true},
                             {"tcpip?*", true},
                             {"(USB|TCPIP)?*", true},
                             {"TCP", false},
                             {"USB?*INSTR", false},
                             {"ASRL[0-9]*::INSTR", false},
                             {"TCPIQ?*", false}}) {
        auto e = FindExpr::compile(expr);
        ASSERT_TRUE(e) << expr;
        EXPECT_EQ(e->may_match_prefix("TCPIP"), may) << expr;
    }
}

}  // namespace
}  // namespace visa
