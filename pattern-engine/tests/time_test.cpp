#include "pattern_engine/time.hpp"

#include <cstdint>
#include <limits>
#include <random>

#include <gtest/gtest.h>
#include <boost/multiprecision/cpp_int.hpp>

#include "printers.hpp"

namespace {

using boost::multiprecision::cpp_int;
using boost::multiprecision::cpp_rational;
using pattern_engine::time::Arc;
using pattern_engine::time::ArcList;
using pattern_engine::time::Time;

constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
constexpr std::uint64_t kUMax = std::numeric_limits<std::uint64_t>::max();

const auto T = [](std::int64_t n, std::uint64_t d = 1) { return Time(n, d); };
const auto exact = [](Time t) { return cpp_rational(cpp_int(t.numer()), cpp_int(t.denom())); };
bool fits(const cpp_rational& r) {
    return numerator(r) >= kMin && numerator(r) <= kMax && denominator(r) <= kUMax;
}

// Canonical always; exact whenever the exact value fits the fields; otherwise close: relative
// error within 2^-30 plus absolute 2^-61 below 2^63, saturated to +-INT64_MAX beyond.
::testing::AssertionResult matches(Time got, const cpp_rational& want) {
    using ::testing::AssertionFailure, ::testing::AssertionSuccess;
    if (got.denom() == 0 || gcd(cpp_int(got.numer()), cpp_int(got.denom())) != 1)
        return AssertionFailure() << "not canonical";
    if (fits(want)) {
        return exact(got) == want ? AssertionSuccess()
                                  : AssertionFailure() << "expected exactly " << want;
    }
    const cpp_rational magnitude = abs(want);
    if (magnitude >= cpp_rational(cpp_int(1) << 63)) {
        return got == T(want < 0 ? -kMax : kMax)
                   ? AssertionSuccess()
                   : AssertionFailure() << "expected saturation for " << want;
    }
    const cpp_rational bound =
        magnitude / cpp_rational(cpp_int(1) << 30) + cpp_rational(1, cpp_int(1) << 61);
    return abs(exact(got) - want) <= bound ? AssertionSuccess()
                                           : AssertionFailure() << "too far from " << want;
}

class Generator {
public:
    explicit Generator(std::uint64_t seed) : rng_(seed) {}

    std::uint64_t below(std::uint64_t n) {
        return std::uniform_int_distribution<std::uint64_t>(0, n - 1)(rng_);
    }
    std::int64_t signed_within(std::uint64_t m) {
        const auto v = static_cast<std::int64_t>(below(m + 1));
        return below(2) ? -v : v;
    }

    // Small grid fractions, mid-sized and huge fields, and the extremes of both fields.
    Time value() {
        static constexpr std::int64_t kNumerators[] = {kMin, kMin + 1, kMax, kMax - 1, 0, 1, -1, 3};
        static constexpr std::uint64_t kDenominators[] = {
            1, 2, 3, std::uint64_t{1} << 63, kUMax, kUMax - 1, (std::uint64_t{1} << 32) + 1};
        const std::uint64_t kind = below(8);
        if (kind < 3) return Time(signed_within(64), 1 + below(16));
        if (kind < 5) return Time(signed_within(1ull << 40), 1 + below(1ull << 32));
        if (kind == 5) {
            return Time(signed_within(1ull << (50 + below(13))),
                        1 + below(1ull << (1 + below(62))));
        }
        if (kind == 6)
            return Time(static_cast<std::int64_t>(rng_()), (1ull << 62) + below(3ull << 62));
        return Time(kNumerators[below(8)], kDenominators[below(7)]);
    }

private:
    std::mt19937_64 rng_;
};

TEST(TimeOracle, ArithmeticComparisonFloorAndZeroDenominatorsMatchExactRationals) {
    Generator gen(0x5eed'2024);
    int approximated = 0;
    for (int i = 0; i < 40'000; ++i) {
        const Time x = gen.value();
        const Time y = gen.value();
        const cpp_rational ex = exact(x), ey = exact(y);
        SCOPED_TRACE(::testing::PrintToString(x) + " and " + ::testing::PrintToString(y));
        ASSERT_TRUE(matches(x, ex));
        ASSERT_TRUE(matches(x + y, ex + ey));
        ASSERT_TRUE(matches(x - y, ex - ey));
        ASSERT_TRUE(matches(x * y, ex * ey));
        ASSERT_TRUE(matches(-x, -ex));
        const std::uint64_t two_to = std::uint64_t{1} << (i % 64);
        ASSERT_EQ(Time::over_power_of_two(x.numer(), two_to), Time(x.numer(), two_to));
        ASSERT_TRUE(y == Time() || matches(x / y, ex / ey));
        ASSERT_EQ(x < y, ex < ey);
        ASSERT_EQ(x == y, ex == ey);
        ASSERT_EQ(exact(max(x, y)), ex < ey ? ey : ex);
        ASSERT_EQ(exact(min(x, y)), ex < ey ? ex : ey);
        const cpp_int q = numerator(ex) / denominator(ex);
        ASSERT_EQ(cpp_int(x.floor()), q * denominator(ex) > numerator(ex) ? q - 1 : q);
        ASSERT_EQ(x.to_f64(), static_cast<double>(x.numer()) / static_cast<double>(x.denom()));
        approximated += !fits(ex + ey) + !fits(ex * ey);
    }
    // The generator must reach the out-of-range paths as well as the exact ones.
    EXPECT_GT(approximated, 2'000);
    static_assert(Time(2, 4) == Time(1, 2) && Time(-6, 3).floor() == -2 && Time(1, 3) < Time(1, 2));
    EXPECT_EQ(T(1) / T(1, kUMax), T(kMax));  // the reciprocal's numerator does not fit
    EXPECT_DEATH(T(1, 0), "Time denominator must be nonzero");
    EXPECT_DEATH(T(1, 2) / Time(), "Time denominator must be nonzero");
}

TEST(SplitCycles, PiecesPerCycleInOrder) {
    const struct {
        Time b, e;
        ArcList want;
    } cases[] = {
        {T(1, 2), T(3), {{T(1, 2), T(1)}, {T(1), T(2)}, {T(2), T(3)}}},
        {T(-1, 2), T(1, 2), {{T(-1, 2), T(0)}, {T(0), T(1, 2)}}},
        {T(5), T(3), {}},
        {T(3, 4), T(1, 4), {{T(3, 4), T(1, 4)}}},  // same cycle: [max(b, c), min(e, c + 1)]
        {T(kMax - 1), T(kMax), {{T(kMax - 1), T(kMax)}}},
        {T(kMax), T(kMax), {{T(kMax), T(kMax)}}},
        {T(kMin), T(kMin + 1), {{T(kMin), T(kMin + 1)}}},
    };
    for (const auto& k : cases) {
        ArcList walked;
        pattern_engine::time::for_each_cycle(Arc{k.b, k.e},
                                             [&](const Arc& a) { walked.push_back(a); });
        EXPECT_EQ(walked, k.want) << ::testing::PrintToString(Arc{k.b, k.e});
        EXPECT_EQ((Arc{k.b, k.e}.split_cycles()), k.want);
    }
}

}  // namespace
