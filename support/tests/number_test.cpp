#include "support/number.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <initializer_list>
#include <limits>
#include <random>
#include <string>
#include <vector>

namespace {

namespace number = support::number;

std::string zeros(int n) {
    return std::string(static_cast<std::size_t>(n), '0');
}

template <class T>
struct Case {
    T value;
    std::string message, debug, json;
};

template <class T>
void check_layouts(std::initializer_list<Case<T>> cases) {
    for (const auto& c : cases) {
        EXPECT_EQ(number::message(c.value), c.message);
        EXPECT_EQ(number::debug(c.value), c.debug);
        EXPECT_EQ(number::json(c.value), c.json);
    }
}

// message: plain decimal, no fraction when whole; debug: ".0" on whole values, exponent below
// 1e-4 and from 1e16; json: ".0" on whole values, exponent outside 1e-5 .. 1e16, null when not
// finite.
TEST(NumberLayouts, Doubles) {
    check_layouts<double>({
        {90.0, "90", "90.0", "90.0"},
        {-0.0, "-0", "-0.0", "-0.0"},
        {9999999999999998.0, "9999999999999998", "9999999999999998.0", "9999999999999998.0"},
        {1e16, "1" + zeros(16), "1e16", "1e16"},
        {0.0001, "0.0001", "0.0001", "0.0001"},
        {0.00001, "0.00001", "1e-5", "0.00001"},
        {1e-6, "0.000001", "1e-6", "1e-6"},
        {5e-324, "0." + zeros(323) + "5", "5e-324", "5e-324"},
        {1.7976931348623157e308, "17976931348623157" + zeros(292), "1.7976931348623157e308",
         "1.7976931348623157e308"},
        {-NAN, "NaN", "NaN", "null"},
        {-INFINITY, "-inf", "-inf", "null"},
    });
}

// Floats print the shortest digits of the float itself, and switch to the exponent in JSON
// from 1e13. 0.0001f is a little below 1e-4 yet prints as the threshold: the test is on the
// shortest decimal.
TEST(NumberLayouts, Floats) {
    check_layouts<float>({
        {0.1f, "0.1", "0.1", "0.1"},
        {1e12f, "1" + zeros(12), "1000000000000.0", "1000000000000.0"},
        {1e13f, "1" + zeros(13), "10000000000000.0", "1e13"},
        {0.0001f, "0.0001", "0.0001", "0.0001"},
        {0.00001f, "0.00001", "1e-5", "0.00001"},
        {1e-45f, "0." + zeros(44) + "1", "1e-45", "1e-45"},
        {3.4028235e38f, "34028235" + zeros(31), "3.4028235e38", "3.4028235e38"},
        {INFINITY, "inf", "inf", "null"},
    });
}

// Raw bit patterns mostly land on huge or tiny magnitudes; the narrow half keeps the exponent
// near 1 so the plain layouts are exercised too.
template <class T>
std::vector<T> sample_values(std::size_t count) {
    using Bits = std::conditional_t<sizeof(T) == 8, std::uint64_t, std::uint32_t>;
    using L = std::numeric_limits<T>;
    constexpr int mantissa_bits = L::digits - 1;
    constexpr Bits bias = L::max_exponent - 1;
    constexpr Bits mantissa_mask = (Bits{1} << mantissa_bits) - 1;
    std::mt19937_64 random(20240611);
    std::uniform_int_distribution<int> near_one(-40, 60);
    std::vector<T> values = {L::min(),        L::max(),     L::lowest(),
                             L::denorm_min(), L::epsilon(), -L::denorm_min()};
    while (values.size() < count) {
        Bits bits = static_cast<Bits>(random());
        if (values.size() % 2 == 0) {
            const Bits sign = bits & (Bits{1} << (sizeof(T) * 8 - 1));
            const Bits exponent = static_cast<Bits>(static_cast<int>(bias) + near_one(random));
            bits = sign | (exponent << mantissa_bits) | (bits & mantissa_mask);
        }
        const T value = std::bit_cast<T>(bits);
        if (std::isfinite(value)) values.push_back(value);
    }
    return values;
}

// Every form parses back, as a whole, to the same bits; only message avoids the exponent, and
// whole values show they are floating point in the other two.
template <class T>
void check_round_trips(std::size_t count) {
    using Bits = std::conditional_t<sizeof(T) == 8, std::uint64_t, std::uint32_t>;
    for (const T value : sample_values<T>(count)) {
        const std::string forms[] = {number::message(value), number::debug(value),
                                     number::json(value)};
        for (const std::string& text : forms) {
            T back{};
            const auto parsed = std::from_chars(text.data(), text.data() + text.size(), back);
            ASSERT_TRUE(parsed.ec == std::errc{} && parsed.ptr == text.data() + text.size() &&
                        std::bit_cast<Bits>(back) == std::bit_cast<Bits>(value))
                << text;
            // Whole values show they are floating point, except in message.
            ASSERT_TRUE(&text == &forms[0] || std::trunc(value) != value ||
                        text.find_first_of(".e") != std::string::npos)
                << text;
        }
        ASSERT_EQ(forms[0].find_first_of("eE"), std::string::npos) << forms[0];
    }
}

TEST(NumberRoundTrip, EveryFormReadsBackExactly) {
    check_round_trips<double>(200000);
    check_round_trips<float>(200000);
}

}  // namespace
