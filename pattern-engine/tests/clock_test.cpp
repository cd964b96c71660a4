#include "pattern_engine/scheduler/clock.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace {

using namespace std::chrono_literals;
using pattern_engine::scheduler::clock::Clock;
using pattern_engine::scheduler::clock::Duration;
using pattern_engine::scheduler::clock::Instant;
using pattern_engine::scheduler::clock::seconds_to_duration;

TEST(ClockDuration, WholeSecondsKeptAndTheRestRoundedToNanoseconds) {
    EXPECT_EQ(seconds_to_duration(2.0), Duration(2s));
    EXPECT_EQ(seconds_to_duration(0.1), Duration(100ms));
    EXPECT_EQ(seconds_to_duration(1.5e-9), Duration(2ns));  // tie goes to even
    EXPECT_EQ(seconds_to_duration(2.5e-9), Duration(2ns));
    EXPECT_EQ(seconds_to_duration(3.0000000004), Duration(3s));
    EXPECT_EQ(seconds_to_duration(0.0), Duration(0));
}

TEST(ClockDuration, UnrepresentableSecondsGiveNothing) {
    EXPECT_FALSE(seconds_to_duration(-1e-9).has_value());
    EXPECT_FALSE(seconds_to_duration(std::nan("")).has_value());
    EXPECT_FALSE(seconds_to_duration(std::numeric_limits<double>::infinity()).has_value());
    EXPECT_FALSE(seconds_to_duration(1e300).has_value());
}

TEST(Clock, CycleStartsAndTheCurrentCycle) {
    const Instant origin = Instant{} + 50s;
    const Clock clock{120.0, 4.0, origin};
    EXPECT_EQ(clock.cycle_seconds(), 2.0);
    EXPECT_EQ(clock.cycle_start_instant(0), origin);
    EXPECT_EQ(clock.cycle_start_instant(3), origin + 6s);
    EXPECT_FALSE(clock.cycle_start_instant(-1).has_value());

    EXPECT_EQ(clock.current_cycle(origin - 5s), 0);
    EXPECT_EQ(clock.current_cycle(origin), 0);
    EXPECT_EQ(clock.current_cycle(origin + 1999ms), 0);
    EXPECT_EQ(clock.current_cycle(origin + 2s), 1);
    EXPECT_EQ(clock.current_cycle(origin + 10600ms), 5);

    // Beats per cycle times 60, then divided by bpm: 3 * 60 / 90.
    EXPECT_EQ((Clock{90.0, 3.0, origin}.cycle_seconds()), 3.0 * 60.0 / 90.0);
}

TEST(Clock, AbsurdTemposSaturateInsteadOfOverflowing) {
    const Instant origin = Instant{} + 50s;
    const Clock fast{1e300, 4.0, origin};
    EXPECT_EQ(fast.current_cycle(origin + 1s), std::numeric_limits<std::int64_t>::max());
    EXPECT_EQ(fast.cycle_start_instant(1'000'000), origin);
    const Clock slow{1e-300, 4.0, origin};
    EXPECT_EQ(slow.current_cycle(origin + 1000h), 0);
    EXPECT_FALSE(slow.cycle_start_instant(1).has_value());
}

}  // namespace
