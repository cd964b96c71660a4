#include "pattern_engine/scheduler/clock.hpp"

#include <cmath>
#include <limits>

namespace pattern_engine::scheduler::clock {

namespace {

// The integer nearest to the exact product frac * 1e9 (ties to even). Rounding the product
// first and then the result would round twice (1.5e-9 s would give 2 ns, not 1). The float
// product is within one of the answer; fma gives the sign of the exact distance to each
// half-way point. An exact tie is representable, so nearbyint has already taken the even side.
double nearest_nanos(double frac) {
    const double n = std::nearbyint(frac * 1e9);
    if (std::fma(frac, 1e9, -(n - 0.5)) < 0.0) return n - 1.0;
    if (std::fma(frac, 1e9, -(n + 0.5)) > 0.0) return n + 1.0;
    return n;
}

}  // namespace

std::optional<Duration> seconds_to_duration(double seconds) {
    if (!std::isfinite(seconds) || seconds < 0.0) return std::nullopt;
    const double whole = std::floor(seconds);
    // Beyond about 292 years the nanosecond count no longer fits.
    constexpr double max_whole =
        static_cast<double>(std::numeric_limits<std::int64_t>::max() / 1'000'000'000) - 1.0;
    if (whole > max_whole) return std::nullopt;
    // seconds - whole is exact.
    const auto nanos = static_cast<std::int64_t>(nearest_nanos(seconds - whole));
    return std::chrono::duration_cast<Duration>(
        std::chrono::seconds(static_cast<std::int64_t>(whole)) + std::chrono::nanoseconds(nanos));
}

std::optional<Instant> Clock::instant_after(double seconds) const {
    const auto d = seconds_to_duration(seconds);
    if (!d) return std::nullopt;
    if (*d > Instant::max() - origin) return std::nullopt;
    return origin + *d;
}

std::optional<Instant> Clock::cycle_start_instant(std::int64_t cycle) const {
    return instant_after(cycle_seconds() * static_cast<double>(cycle));
}

std::int64_t Clock::current_cycle(Instant t) const {
    if (t <= origin) return 0;
    const auto elapsed = std::chrono::duration_cast<std::chrono::nanoseconds>(t - origin);
    const auto whole = std::chrono::duration_cast<std::chrono::seconds>(elapsed);
    const double e =
        static_cast<double>(whole.count()) + static_cast<double>((elapsed - whole).count()) / 1e9;
    const double cycles = std::floor(e / cycle_seconds());
    // Only absurd tempos leave the range; they saturate instead of overflowing.
    if (!(cycles >= 0.0)) return 0;
    if (cycles >= 9223372036854775807.0) return std::numeric_limits<std::int64_t>::max();
    return static_cast<std::int64_t>(cycles);
}

}  // namespace pattern_engine::scheduler::clock
