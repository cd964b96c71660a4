#include "pattern_engine/time.hpp"

#include <cstdint>
#include <limits>
#include <numeric>
#include <ostream>
#include <random>
#include <vector>

#include <gtest/gtest.h>
#include <boost/multiprecision/cpp_int.hpp>

namespace pattern_engine::time {
void PrintTo(const Time& t, std::ostream* os) {
    *os << t.numer() << '/' << t.denom();
}
void PrintTo(const Arc& a, std::ostream* os) {
    *os << '[';
    PrintTo(a.begin, os);
    *os << ", ";
    PrintTo(a.end, os);
    *os << ']';
}
}  // namespace pattern_engine::time

namespace {

using boost::multiprecision::cpp_int;
using boost::multiprecision::cpp_rational;
using pattern_engine::time::Arc;
using pattern_engine::time::ArcList;
using pattern_engine::time::Time;

constexpr std::int64_t kI64Min = std::numeric_limits<std::int64_t>::min();
constexpr std::int64_t kI64Max = std::numeric_limits<std::int64_t>::max();
constexpr std::uint64_t kU64Max = std::numeric_limits<std::uint64_t>::max();

Time T(std::int64_t n, std::uint64_t d = 1) {
    return Time(n, d);
}

bool is_canonical(Time t) {
    const std::uint64_t m = t.numer() < 0 ? 0 - static_cast<std::uint64_t>(t.numer())
                                          : static_cast<std::uint64_t>(t.numer());
    return t.denom() > 0 && std::gcd(m, t.denom()) == 1;
}

cpp_rational exact(Time t) {
    return cpp_rational(cpp_int(t.numer()), cpp_int(t.denom()));
}

cpp_int exact_floor(const cpp_rational& r) {
    const cpp_int n = numerator(r);
    const cpp_int d = denominator(r);
    cpp_int q = n / d;
    if (n < 0 && q * d != n) q -= 1;
    return q;
}

bool fits(const cpp_rational& r) {
    return numerator(r) >= kI64Min && numerator(r) <= kI64Max && denominator(r) <= kU64Max;
}

// Exact whenever the exact value fits the fields; otherwise canonical and close: relative
// error within 2^-30 plus absolute 2^-61 below 2^63, saturated to +-INT64_MAX beyond.
::testing::AssertionResult matches(Time got, const cpp_rational& want) {
    if (!is_canonical(got)) return ::testing::AssertionFailure() << "not canonical";
    if (fits(want)) {
        if (exact(got) == want) return ::testing::AssertionSuccess();
        return ::testing::AssertionFailure() << "expected exactly " << want;
    }
    const cpp_rational magnitude = abs(want);
    if (magnitude >= cpp_rational(cpp_int(1) << 63)) {
        if (got == (want < 0 ? T(-kI64Max) : T(kI64Max))) return ::testing::AssertionSuccess();
        return ::testing::AssertionFailure() << "expected saturation for " << want;
    }
    const cpp_rational bound =
        magnitude / cpp_rational(cpp_int(1) << 30) + cpp_rational(1, cpp_int(1) << 61);
    if (abs(exact(got) - want) <= bound) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "too far from " << want;
}

// ---------------------------------------------------------------------------------------------

TEST(TimeConstruction, ReducesToLowestTerms) {
    EXPECT_EQ(T(2, 4).numer(), 1);
    EXPECT_EQ(T(2, 4).denom(), 2u);
    EXPECT_EQ(T(-4, 6).numer(), -2);
    EXPECT_EQ(T(-4, 6).denom(), 3u);
    EXPECT_EQ(T(0, 5).numer(), 0);
    EXPECT_EQ(T(0, 5).denom(), 1u);
    EXPECT_EQ(T(6, 3), Time::from_integer(2));
}

TEST(TimeConstruction, UsableInConstantExpressions) {
    static_assert(Time(2, 4) == Time(1, 2));
    static_assert(Time(-6, 3).floor() == -2);
    static_assert(Time(1, 3) < Time(1, 2));
}

TEST(TimeConstruction, DefaultAndFromIntegerAreCanonical) {
    EXPECT_EQ(Time(), T(0, 1));
    EXPECT_EQ(Time::from_integer(-7).numer(), -7);
    EXPECT_EQ(Time::from_integer(-7).denom(), 1u);
}

TEST(TimeConstruction, ExtremeFieldsStayExact) {
    EXPECT_EQ(T(kI64Min, 1).numer(), kI64Min);
    EXPECT_EQ(T(kI64Min, 2).numer(), kI64Min / 2);
    EXPECT_EQ(T(kI64Min, 2).denom(), 1u);
    EXPECT_EQ(T(kI64Min, kU64Max).numer(), kI64Min);
    EXPECT_EQ(T(kI64Min, kU64Max).denom(), kU64Max);
    EXPECT_EQ(T(1, std::uint64_t{1} << 63).denom(), std::uint64_t{1} << 63);
    EXPECT_EQ(T(kI64Min, std::uint64_t{1} << 63), T(-1));
    EXPECT_EQ(T(0, kU64Max), Time());
}

TEST(TimeDeathTest, ZeroDenominatorAborts) {
    EXPECT_DEATH(T(1, 0), "Time denominator must be nonzero");
    EXPECT_DEATH(T(1, 2) / Time(), "Time denominator must be nonzero");
}

// ---------------------------------------------------------------------------------------------

TEST(TimeArithmetic, SmallFractions) {
    EXPECT_EQ(T(1, 3) + T(1, 6), T(1, 2));
    EXPECT_EQ(T(2, 3) * T(3, 4), T(1, 2));
    EXPECT_EQ(T(1, 2) - T(1, 2), Time());
    EXPECT_EQ((T(1, 2) - T(1, 2)).denom(), 1u);
    EXPECT_EQ(T(1, 4) + T(3, 4), T(1));
    EXPECT_EQ(T(-1, 3) + T(1, 3), Time());
    EXPECT_EQ(T(5, 6) - T(1, 10), T(11, 15));
    EXPECT_EQ(T(-3, 4) * T(2, 9), T(-1, 6));
    EXPECT_EQ(T(7) * Time(), Time());
}

TEST(TimeArithmetic, DivisionIsMultiplicationByReciprocal) {
    EXPECT_EQ(T(1, 2) / T(3, 4), T(2, 3));
    EXPECT_EQ(T(3) / T(3), T(1));
    EXPECT_EQ(Time() / T(5, 7), Time());
    EXPECT_EQ(T(1, 2) / T(-3, 4), T(-2, 3));
    EXPECT_EQ(T(-1, 2) / T(-3, 4), T(2, 3));
    // The reciprocal's numerator would not fit int64.
    EXPECT_EQ(T(1) / T(1, kU64Max), T(kI64Max));  // saturates
    EXPECT_EQ(T(1, 2) / T(1, std::uint64_t{1} << 62), T(std::int64_t{1} << 61));
}

TEST(TimeArithmetic, CompoundAssignment) {
    Time t = T(1, 3);
    t += T(1, 6);
    EXPECT_EQ(t, T(1, 2));
    t -= T(1);
    EXPECT_EQ(t, T(-1, 2));
    t *= T(-4);
    EXPECT_EQ(t, T(2));
}

TEST(TimeArithmetic, NegationKeepsDenominator) {
    EXPECT_EQ(-T(3, 7), T(-3, 7));
    EXPECT_EQ(-Time(), Time());
    EXPECT_EQ(-T(kI64Max, kU64Max), T(-kI64Max, kU64Max));
}

TEST(TimeArithmetic, NegatingMinimumSaturatesCanonically) {
    EXPECT_EQ(-T(kI64Min), T(kI64Max));
    const Time n = -T(kI64Min, 7);  // 2^63 - 1 is a multiple of 7
    EXPECT_TRUE(is_canonical(n));
    EXPECT_EQ(n, T(kI64Max / 7));
}

// ---------------------------------------------------------------------------------------------

TEST(TimeFloor, RoundsTowardMinusInfinity) {
    EXPECT_EQ(T(7, 2).floor(), 3);
    EXPECT_EQ(T(-1, 3).floor(), -1);
    EXPECT_EQ(T(-3).floor(), -3);
    EXPECT_EQ(T(-7, 2).floor(), -4);
    EXPECT_EQ(T(1, 3).floor(), 0);
    EXPECT_EQ(Time().floor(), 0);
    EXPECT_EQ(T(5).floor(), 5);
}

TEST(TimeFloor, ExtremeValues) {
    EXPECT_EQ(T(kI64Min).floor(), kI64Min);
    EXPECT_EQ(T(kI64Max).floor(), kI64Max);
    EXPECT_EQ(T(kI64Min + 1, 2).floor(), kI64Min / 2);
    EXPECT_EQ(T(-1, kU64Max).floor(), -1);
    EXPECT_EQ(T(1, kU64Max).floor(), 0);
    EXPECT_EQ(T(kI64Min, kU64Max).floor(), -1);
    EXPECT_EQ(T(kI64Max, std::uint64_t{1} << 63).floor(), 0);
}

TEST(TimeToF64, DividesConvertedFields) {
    EXPECT_EQ(T(1, 4).to_f64(), 0.25);
    EXPECT_EQ(T(-3, 2).to_f64(), -1.5);
    EXPECT_EQ(T(1, kU64Max).to_f64(), 1.0 / 18446744073709551615.0);
    EXPECT_EQ(T(kI64Min).to_f64(), -9223372036854775808.0);
}

// ---------------------------------------------------------------------------------------------

TEST(TimeCompare, AcrossDenominators) {
    EXPECT_LT(T(1, 3), T(1, 2));
    EXPECT_LT(T(-1, 2), T(-1, 3));
    EXPECT_GT(T(2, 3), T(3, 5));
    EXPECT_LE(T(2, 4), T(1, 2));
    EXPECT_GE(T(2, 4), T(1, 2));
    EXPECT_LT(T(-1, 1000), Time());
    EXPECT_EQ(T(1, 3) <=> T(2, 6), std::strong_ordering::equal);
}

TEST(TimeCompare, NearTheLimits) {
    // Differences of about 2^-126: any rounding to 64 bits or double would lose them.
    EXPECT_LT(T(kI64Max - 1, kU64Max), T(kI64Max, kU64Max));
    EXPECT_LT(T(kI64Max - 1, kU64Max - 2), T(kI64Max, kU64Max));
    EXPECT_GT(T(kI64Max, kU64Max - 1), T(kI64Max, kU64Max));
    EXPECT_LT(T(kI64Min, kU64Max), T(kI64Min + 1, kU64Max));
    EXPECT_LT(T(kI64Min), T(kI64Min + 1));
    EXPECT_LT(T(kI64Min, 3), T(kI64Max, kU64Max));
    EXPECT_LT(T(kI64Max - 1), T(kI64Max));
    EXPECT_LT(T(kI64Max, kU64Max), T(1, 2));
}

TEST(TimeCompare, MaxAndMin) {
    using pattern_engine::time::max;
    using pattern_engine::time::min;
    EXPECT_EQ(max(T(1, 3), T(1, 2)), T(1, 2));
    EXPECT_EQ(min(T(1, 3), T(1, 2)), T(1, 3));
    EXPECT_EQ(max(T(-5, 2), T(-3)), T(-5, 2));
    EXPECT_EQ(min(T(2, 4), T(1, 2)), T(1, 2));
}

// ---------------------------------------------------------------------------------------------

TEST(TimeOverflow, ProductsBeyondRangeAreApproximated) {
    const Time big = T(kI64Max, 3);
    EXPECT_TRUE(matches(big * big, exact(big) * exact(big)));  // beyond 2^63: saturates
    EXPECT_TRUE(matches(big * T(-big.numer(), 1), exact(big) * -big.numer()));
    const Time fine = T(1, kU64Max);
    EXPECT_TRUE(matches(fine * fine, exact(fine) * exact(fine)));  // below 2^-64: near zero
    const Time a = T(kI64Max, kU64Max - 2);
    const Time b = T(kI64Max - 24, kU64Max);
    EXPECT_TRUE(matches(a * b, exact(a) * exact(b)));
    EXPECT_TRUE(matches(a / b, exact(a) / exact(b)));
}

TEST(TimeOverflow, SumsWithHugeDenominatorsDoNotOverflow) {
    // Both cross products are close to 2^127: the 128-bit sum itself overflows.
    const Time a = T(kI64Max, kU64Max);
    const Time b = T(kI64Max - 2, kU64Max - 1);
    EXPECT_TRUE(matches(a + b, exact(a) + exact(b)));
    EXPECT_TRUE(matches(-a - b, -exact(a) - exact(b)));
    const Time c = T(kI64Min, kU64Max);
    const Time d = T(kI64Min, kU64Max - 2);
    EXPECT_TRUE(matches(c + d, exact(c) + exact(d)));
    EXPECT_TRUE(matches(a - d, exact(a) - exact(d)));
}

TEST(TimeOverflow, IntegerSumsSaturate) {
    EXPECT_EQ(T(kI64Max) + T(1), T(kI64Max));
    EXPECT_EQ(T(kI64Min) - T(1), T(-kI64Max));
    EXPECT_EQ(T(kI64Min) + T(kI64Min), T(-kI64Max));
    EXPECT_EQ(T(kI64Min) * T(-1), T(kI64Max));
    EXPECT_EQ(T(-1) * T(kI64Min), T(kI64Max));
    EXPECT_EQ(T(kI64Min) / T(-1), T(kI64Max));
    EXPECT_EQ(T(kI64Min) + T(0), T(kI64Min));
}

TEST(TimeOverflow, LargeValuesKeepTheirIntegerPart) {
    // About 2^61 over 5: shifting would leave denominator 2, so the integer part is kept.
    const Time a = T(kI64Max / 2, 3);
    const Time b = T(kI64Max / 2 - 1, 5);
    EXPECT_TRUE(matches(a + b, exact(a) + exact(b)));
    EXPECT_EQ((a + b).denom(), 1u);
}

// ---------------------------------------------------------------------------------------------

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

    Time value() {
        switch (below(8)) {
            case 0:
            case 1:
            case 2:
                return Time(signed_within(64), 1 + below(16));
            case 3:
            case 4:
                return Time(signed_within(std::uint64_t{1} << 40),
                            1 + below(std::uint64_t{1} << 32));
            case 5:
                return Time(signed_within(std::uint64_t{1} << (50 + below(13))),
                            1 + below(std::uint64_t{1} << (1 + below(62))));
            case 6:
                return Time(static_cast<std::int64_t>(rng_()),
                            (std::uint64_t{1} << 62) + below(kU64Max - (std::uint64_t{1} << 62)));
            default: {
                static constexpr std::int64_t kNumerators[] = {
                    kI64Min, kI64Min + 1, kI64Max, kI64Max - 1, 0, 1, -1, 3};
                static constexpr std::uint64_t kDenominators[] = {1,
                                                                  2,
                                                                  3,
                                                                  std::uint64_t{1} << 63,
                                                                  kU64Max,
                                                                  kU64Max - 1,
                                                                  (std::uint64_t{1} << 32) + 1};
                return Time(kNumerators[below(8)], kDenominators[below(7)]);
            }
        }
    }

    Time small_value(std::int64_t range) {
        return Time(signed_within(static_cast<std::uint64_t>(range) * 12), 1 + below(12));
    }

private:
    std::mt19937_64 rng_;
};

TEST(TimeRandomized, MatchesExactRationalOracle) {
    Generator gen(0x5eed'2024);
    int approximated = 0;
    for (int i = 0; i < 100'000; ++i) {
        const Time x = gen.value();
        const Time y = gen.value();
        const cpp_rational ex = exact(x);
        const cpp_rational ey = exact(y);
        SCOPED_TRACE(::testing::PrintToString(x) + " and " + ::testing::PrintToString(y));

        ASSERT_TRUE(is_canonical(x));
        ASSERT_TRUE(matches(x + y, ex + ey));
        ASSERT_TRUE(matches(x - y, ex - ey));
        ASSERT_TRUE(matches(x * y, ex * ey));
        if (y != Time()) {
            ASSERT_TRUE(matches(x / y, ex / ey));
        }
        if (x.numer() != kI64Min) {
            ASSERT_EQ(exact(-x), -ex);
        }

        ASSERT_EQ(x < y, ex < ey);
        ASSERT_EQ(x == y, ex == ey);
        ASSERT_EQ(x > y, ex > ey);
        ASSERT_EQ(exact(max(x, y)), ex < ey ? ey : ex);
        ASSERT_EQ(cpp_int(x.floor()), exact_floor(ex));

        if (!fits(ex + ey)) ++approximated;
        if (!fits(ex * ey)) ++approximated;
    }
    // The generator must reach the out-of-range paths as well as the exact ones.
    EXPECT_GT(approximated, 5'000);
}

// ---------------------------------------------------------------------------------------------

ArcList split(Time b, Time e) {
    return Arc{b, e}.split_cycles();
}

TEST(SplitCycles, WholeCycles) {
    EXPECT_EQ(split(T(0), T(1)), (ArcList{{T(0), T(1)}}));
    EXPECT_EQ(split(T(0), T(3)), (ArcList{{T(0), T(1)}, {T(1), T(2)}, {T(2), T(3)}}));
}

TEST(SplitCycles, FractionalBegin) {
    EXPECT_EQ(split(T(1, 2), T(2)), (ArcList{{T(1, 2), T(1)}, {T(1), T(2)}}));
    EXPECT_EQ(split(T(1, 3), T(5, 2)), (ArcList{{T(1, 3), T(1)}, {T(1), T(2)}, {T(2), T(5, 2)}}));
    EXPECT_EQ(split(T(1, 4), T(3, 4)), (ArcList{{T(1, 4), T(3, 4)}}));
}

TEST(SplitCycles, ZeroWidthGivesOneZeroWidthPiece) {
    EXPECT_EQ(split(T(3), T(3)), (ArcList{{T(3), T(3)}}));
    EXPECT_EQ(split(T(7, 2), T(7, 2)), (ArcList{{T(7, 2), T(7, 2)}}));
    EXPECT_EQ(split(T(-1), T(-1)), (ArcList{{T(-1), T(-1)}}));
}

TEST(SplitCycles, NegativeTimes) {
    EXPECT_EQ(split(T(-1, 2), T(1, 2)), (ArcList{{T(-1, 2), T(0)}, {T(0), T(1, 2)}}));
    EXPECT_EQ(split(T(-2), T(-1)), (ArcList{{T(-2), T(-1)}}));
}

TEST(SplitCycles, ReversedAcrossCyclesIsEmpty) {
    EXPECT_TRUE(split(T(5), T(3)).empty());
    EXPECT_TRUE(split(T(3, 2), T(1, 2)).empty());
    EXPECT_TRUE(split(T(1), T(1, 2)).empty());
}

TEST(SplitCycles, ReversedWithinOneCycleKeepsThePiece) {
    // Same cycle: the one piece is [max(b, c), min(e, c + 1)] = [b, e].
    EXPECT_EQ(split(T(3, 4), T(1, 4)), (ArcList{{T(3, 4), T(1, 4)}}));
}

TEST(SplitCycles, AtTheEdgesOfTheRange) {
    EXPECT_EQ(split(T(kI64Max), T(kI64Max)), (ArcList{{T(kI64Max), T(kI64Max)}}));
    EXPECT_EQ(split(T(kI64Max - 1), T(kI64Max)), (ArcList{{T(kI64Max - 1), T(kI64Max)}}));
    EXPECT_EQ(split(T(kI64Max - 3, 2), T(kI64Max, 2)),
              (ArcList{{T(kI64Max - 3, 2), T(kI64Max / 2)}, {T(kI64Max / 2), T(kI64Max, 2)}}));
    EXPECT_EQ(split(T(kI64Min), T(kI64Min + 1)), (ArcList{{T(kI64Min), T(kI64Min + 1)}}));
}

TEST(SplitCycles, ForEachCycleVisitsTheSamePieces) {
    ArcList seen;
    pattern_engine::time::for_each_cycle(Arc{T(-5, 3), T(7, 4)},
                                         [&seen](const Arc& a) { seen.push_back(a); });
    EXPECT_EQ(seen, split(T(-5, 3), T(7, 4)));
}

TEST(SplitCycles, ManyCyclesSpillToTheHeap) {
    const ArcList pieces = split(T(1, 2), T(20));
    ASSERT_EQ(pieces.size(), 20u);
    EXPECT_EQ(pieces.front(), (Arc{T(1, 2), T(1)}));
    EXPECT_EQ(pieces.back(), (Arc{T(19), T(20)}));
}

TEST(SplitCycles, RandomSpansAreCoveredExactly) {
    Generator gen(0xa2c5);
    for (int i = 0; i < 20'000; ++i) {
        Time b = gen.small_value(8);
        Time e = i % 10 == 0 ? b : gen.small_value(8);
        if (e < b) std::swap(b, e);
        SCOPED_TRACE(::testing::PrintToString(Arc{b, e}));
        const ArcList pieces = split(b, e);
        ASSERT_FALSE(pieces.empty());
        EXPECT_EQ(pieces.front().begin, b);
        EXPECT_EQ(pieces.back().end, e);
        for (std::size_t k = 0; k < pieces.size(); ++k) {
            const Arc& p = pieces[k];
            const Time cycle = Time::from_integer(p.begin.floor());
            ASSERT_LE(p.begin, p.end);
            ASSERT_LE(p.end, cycle + T(1));  // within one cycle
            if (b < e) {
                ASSERT_LT(p.begin, p.end);  // no empty pieces in a real span
            }
            if (k > 0) {
                ASSERT_EQ(pieces[k - 1].end, p.begin);
                ASSERT_EQ(pieces[k - 1].begin.floor() + 1, p.begin.floor());
            }
        }
        const std::int64_t last = e.is_integer() && b < e ? e.floor() - 1 : e.floor();
        EXPECT_EQ(static_cast<std::int64_t>(pieces.size()), last - b.floor() + 1);
    }
}

}  // namespace
