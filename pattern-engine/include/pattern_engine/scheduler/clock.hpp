// pattern_engine::scheduler::clock — the tempo clock: whole cycles of pattern time onto
// monotonic instants.
//
// Owned by the slot engine on the host's main loop. A tempo change moves the origin to the
// instant of the change.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>

namespace pattern_engine::scheduler::clock {

using MonotonicClock = std::chrono::steady_clock;
using Instant = MonotonicClock::time_point;
using Duration = MonotonicClock::duration;

// Whole seconds kept, the rest rounded to the nearest nanosecond (ties to even); none when
// the value is negative, not finite or beyond the duration range.
std::optional<Duration> seconds_to_duration(double seconds);

struct Clock {
    double bpm;
    double beats_per_cycle;
    Instant origin;  // cycle 0 begins here

    // Length of one cycle in seconds: beats per cycle * 60 / bpm.
    double cycle_seconds() const { return beats_per_cycle * 60.0 / bpm; }

    // origin + the cycle length times `cycle`; none when that is not representable.
    std::optional<Instant> cycle_start_instant(std::int64_t cycle) const;

    // origin + `seconds`; none when not representable.
    std::optional<Instant> instant_after(double seconds) const;

    // The cycle running at `t`: 0 at or before the origin.
    std::int64_t current_cycle(Instant t) const;
};

}  // namespace pattern_engine::scheduler::clock
