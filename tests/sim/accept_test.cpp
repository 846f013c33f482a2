#include "accept.h"

#include <gtest/gtest.h>

namespace {

using namespace std::chrono_literals;

// The first refusal is reported at once; the ones within the next second are
// counted, and the next report says how many there were.
TEST(RefusalLog, ReportsOnceASecondWithTheCountInBetween) {
    sim::RefusalLog refusals;
    const auto t0 = sim::RefusalLog::Clock::time_point{} + 100s;
    EXPECT_EQ(refusals.refused(t0, "limit of 1 reached"), "connection refused: limit of 1 reached");
    for (int i = 0; i < 5; ++i)
        EXPECT_FALSE(refusals.refused(t0 + 999ms, "limit of 1 reached"));
    EXPECT_EQ(refusals.refused(t0 + 1s, "limit of 1 reached"),
              "connection refused: limit of 1 reached (6 refused since the last report)");
    // A lone refusal long after says nothing about earlier ones.
    EXPECT_EQ(refusals.refused(t0 + 60s, "too many connections"),
              "connection refused: too many connections");
}

}  // namespace
