#include "pattern_engine/scheduler/clock.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace {

using namespace std::chrono_literals;
using namespace pattern_engine::scheduler::clock;

TEST(ClockDuration, RoundsTheExactValueToTheNearestNanosecond) {
    const std::pair<double, Duration> cases[] = {
        {2.0, 2s},     {0.1, 100ms}, {3.0000000004, 3s}, {0.0, 0ns},
        {1.5e-9, 1ns},  // the float is just below 1.5 ns
        {2.5e-9, 3ns}, {5e-10, 1ns},  // just above
        {0.0009765625, 976562ns}, {0.0029296875, 2929688ns},  // exact ties go to even
    };
    for (const auto& [seconds, expected] : cases)
        EXPECT_EQ(seconds_to_duration(seconds), expected) << seconds;
    for (double bad : {-1e-9, double(NAN), HUGE_VAL, 1e300})
        EXPECT_FALSE(seconds_to_duration(bad).has_value()) << bad;
}

TEST(Clock, CycleStartsAndTheCurrentCycle) {
    const Instant origin = Instant{} + 50s;
    const Clock clock{120.0, 4.0, origin};
    EXPECT_EQ(clock.cycle_start_instant(3), origin + 6s);
    EXPECT_FALSE(clock.cycle_start_instant(-1).has_value());
    EXPECT_EQ(clock.current_cycle(origin - 5s), 0);
    EXPECT_EQ(clock.current_cycle(origin + 10600ms), 5);
    EXPECT_EQ((Clock{90.0, 3.0, origin}.cycle_seconds()), 3.0 * 60.0 / 90.0);  // in this order
    // Absurd tempos saturate instead of overflowing.
    const Clock fast{1e300, 4.0, origin}, slow{1e-300, 4.0, origin};
    EXPECT_EQ(fast.current_cycle(origin + 1s), std::numeric_limits<std::int64_t>::max());
    EXPECT_EQ(fast.cycle_start_instant(1'000'000), origin);
    EXPECT_EQ(slow.current_cycle(origin + 1000h), 0);
    EXPECT_FALSE(slow.cycle_start_instant(1).has_value());
}

}  // namespace
