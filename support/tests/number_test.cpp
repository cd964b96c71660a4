#include "support/number.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <limits>
#include <ostream>
#include <random>
#include <string>
#include <vector>

namespace {

namespace number = support::number;

template <class T>
struct Case {
    T value;
    std::string expected;
};

template <class T>
void PrintTo(const Case<T>& c, std::ostream* os) {
    *os << "expected \"" << c.expected << "\"";
}

constexpr double kNan = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr float kNanF = std::numeric_limits<float>::quiet_NaN();
constexpr float kInfF = std::numeric_limits<float>::infinity();

std::string zeros(int n) {
    return std::string(static_cast<std::size_t>(n), '0');
}

// --- message form: plain decimal, never an exponent -----------------------------------------

class NumberMessageDouble : public testing::TestWithParam<Case<double>> {};

TEST_P(NumberMessageDouble, PrintsShortestPlainDecimal) {
    EXPECT_EQ(number::message(GetParam().value), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    NumberExamples, NumberMessageDouble,
    testing::Values(
        Case<double>{90.0, "90"}, Case<double>{92.5, "92.5"}, Case<double>{-92.5, "-92.5"},
        Case<double>{0.1, "0.1"}, Case<double>{1.5, "1.5"}, Case<double>{123456.789, "123456.789"},
        Case<double>{0.0, "0"}, Case<double>{-0.0, "-0"}, Case<double>{1e16, "10000000000000000"},
        Case<double>{1e21, "1000000000000000000000"}, Case<double>{1e-7, "0.0000001"},
        Case<double>{0.001, "0.001"}, Case<double>{5e-324, "0." + zeros(323) + "5"},
        Case<double>{-2.2250738585072014e-308, "-0." + zeros(307) + "22250738585072014"},
        Case<double>{1.7976931348623157e308, "17976931348623157" + zeros(292)},
        Case<double>{kNan, "NaN"}, Case<double>{-kNan, "NaN"}, Case<double>{kInf, "inf"},
        Case<double>{-kInf, "-inf"}));

class NumberMessageFloat : public testing::TestWithParam<Case<float>> {};

TEST_P(NumberMessageFloat, PrintsShortestDigitsOfTheFloatItself) {
    EXPECT_EQ(number::message(GetParam().value), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(NumberExamples, NumberMessageFloat,
                         testing::Values(Case<float>{0.1f, "0.1"}, Case<float>{92.5f, "92.5"},
                                         Case<float>{16777216.0f, "16777216"},
                                         Case<float>{1e-7f, "0.0000001"}, Case<float>{0.0f, "0"},
                                         Case<float>{-0.0f, "-0"},
                                         Case<float>{1e-45f, "0." + zeros(44) + "1"},
                                         Case<float>{3.4028235e38f, "34028235" + zeros(31)},
                                         Case<float>{kNanF, "NaN"}, Case<float>{kInfF, "inf"},
                                         Case<float>{-kInfF, "-inf"}));

// --- debug form: ".0" on whole values, exponent below 1e-4 and from 1e16 ----------------------

class NumberDebugDouble : public testing::TestWithParam<Case<double>> {};

TEST_P(NumberDebugDouble, PrintsShortestWithDebugLayout) {
    EXPECT_EQ(number::debug(GetParam().value), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    NumberExamples, NumberDebugDouble,
    testing::Values(Case<double>{440.0, "440.0"}, Case<double>{1.0, "1.0"},
                    Case<double>{0.0, "0.0"}, Case<double>{-0.0, "-0.0"},
                    Case<double>{92.5, "92.5"}, Case<double>{0.5, "0.5"},
                    Case<double>{1e15, "1000000000000000.0"},
                    Case<double>{9999999999999998.0, "9999999999999998.0"},
                    Case<double>{1e16, "1e16"}, Case<double>{1.5e16, "1.5e16"},
                    Case<double>{1.2345e20, "1.2345e20"}, Case<double>{1e100, "1e100"},
                    Case<double>{0.0001, "0.0001"}, Case<double>{0.00012, "0.00012"},
                    Case<double>{0.00001, "1e-5"}, Case<double>{1.5e-7, "1.5e-7"},
                    Case<double>{-1.5e-7, "-1.5e-7"}, Case<double>{5e-324, "5e-324"},
                    Case<double>{1.7976931348623157e308, "1.7976931348623157e308"},
                    Case<double>{kNan, "NaN"}, Case<double>{-kNan, "NaN"},
                    Case<double>{kInf, "inf"}, Case<double>{-kInf, "-inf"}));

class NumberDebugFloat : public testing::TestWithParam<Case<float>> {};

TEST_P(NumberDebugFloat, PrintsShortestWithDebugLayout) {
    EXPECT_EQ(number::debug(GetParam().value), GetParam().expected);
}

// 0.0001f is a little below 1e-4 yet prints as the threshold: the test is on the shortest
// decimal, which is 0.0001.
INSTANTIATE_TEST_SUITE_P(
    NumberExamples, NumberDebugFloat,
    testing::Values(Case<float>{0.1f, "0.1"}, Case<float>{440.0f, "440.0"},
                    Case<float>{-0.0f, "-0.0"}, Case<float>{16777216.0f, "16777216.0"},
                    Case<float>{1e15f, "1000000000000000.0"}, Case<float>{1e16f, "1e16"},
                    Case<float>{0.0001f, "0.0001"}, Case<float>{0.00001f, "1e-5"},
                    Case<float>{1.5e-7f, "1.5e-7"}, Case<float>{3.4028235e38f, "3.4028235e38"},
                    Case<float>{kNanF, "NaN"}, Case<float>{-kInfF, "-inf"}));

// --- json form ---------------------------------------------------------------------------------

class NumberJsonDouble : public testing::TestWithParam<Case<double>> {};

TEST_P(NumberJsonDouble, PrintsShortestWithJsonLayout) {
    EXPECT_EQ(number::json(GetParam().value), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    NumberExamples, NumberJsonDouble,
    testing::Values(Case<double>{1.0, "1.0"}, Case<double>{0.0, "0.0"}, Case<double>{-0.0, "-0.0"},
                    Case<double>{-3.0, "-3.0"}, Case<double>{92.5, "92.5"},
                    Case<double>{1e15, "1000000000000000.0"},
                    Case<double>{9999999999999998.0, "9999999999999998.0"},
                    Case<double>{1234567.25, "1234567.25"}, Case<double>{1e16, "1e16"},
                    Case<double>{1.5e16, "1.5e16"}, Case<double>{1.2e300, "1.2e300"},
                    Case<double>{0.0001, "0.0001"}, Case<double>{0.00001, "0.00001"},
                    Case<double>{0.000012, "0.000012"}, Case<double>{1e-6, "1e-6"},
                    Case<double>{-2.5e-6, "-2.5e-6"}, Case<double>{1.5e-7, "1.5e-7"},
                    Case<double>{5e-324, "5e-324"}, Case<double>{kNan, "null"},
                    Case<double>{kInf, "null"}, Case<double>{-kInf, "null"}));

class NumberJsonFloat : public testing::TestWithParam<Case<float>> {};

TEST_P(NumberJsonFloat, PrintsShortestWithJsonLayout) {
    EXPECT_EQ(number::json(GetParam().value), GetParam().expected);
}

// Floats switch to the exponent one decimal place earlier than doubles: from 1e13.
INSTANTIATE_TEST_SUITE_P(
    NumberExamples, NumberJsonFloat,
    testing::Values(Case<float>{0.1f, "0.1"}, Case<float>{1.0f, "1.0"}, Case<float>{-0.0f, "-0.0"},
                    Case<float>{16777216.0f, "16777216.0"}, Case<float>{1e12f, "1000000000000.0"},
                    Case<float>{1.2345e12f, "1234500000000.0"}, Case<float>{1e13f, "1e13"},
                    Case<float>{1.5e13f, "1.5e13"}, Case<float>{0.00001f, "0.00001"},
                    Case<float>{1e-6f, "1e-6"}, Case<float>{kNanF, "null"},
                    Case<float>{kInfF, "null"}, Case<float>{-kInfF, "null"}));

// --- appending -----------------------------------------------------------------------------------

TEST(NumberAppend, KeepsWhatIsAlreadyInTheString) {
    std::string out = "x=";
    number::append_message(out, 92.5);
    out += ' ';
    number::append_debug(out, 440.0f);
    out += ' ';
    number::append_json(out, 1e16);
    out += ' ';
    number::append_message(out, 0.1f);
    out += ' ';
    number::append_json(out, kNanF);
    EXPECT_EQ(out, "x=92.5 440.0 1e16 0.1 null");
}

// --- round trip over many values ---------------------------------------------------------------

template <class T>
bool same_bits(T a, T b) {
    return std::bit_cast<std::conditional_t<sizeof(T) == 8, std::uint64_t, std::uint32_t>>(a) ==
           std::bit_cast<std::conditional_t<sizeof(T) == 8, std::uint64_t, std::uint32_t>>(b);
}

template <class T>
testing::AssertionResult reads_back(const std::string& text, T expected) {
    T parsed{};
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), parsed);
    if (error != std::errc{} || end != text.data() + text.size()) {
        return testing::AssertionFailure() << '"' << text << "\" does not parse as a whole";
    }
    if (!same_bits(parsed, expected)) {
        return testing::AssertionFailure() << '"' << text << "\" reads back as a different value";
    }
    return testing::AssertionSuccess();
}

// Raw bit patterns mostly land on huge or tiny magnitudes; the narrow half keeps the exponent
// near 1 so the plain layouts are exercised too.
template <class T>
std::vector<T> sample_values(std::size_t count) {
    using Bits = std::conditional_t<sizeof(T) == 8, std::uint64_t, std::uint32_t>;
    constexpr int mantissa_bits = std::numeric_limits<T>::digits - 1;
    constexpr Bits bias = std::numeric_limits<T>::max_exponent - 1;
    constexpr Bits mantissa_mask = (Bits{1} << mantissa_bits) - 1;

    std::mt19937_64 random(20240611);
    std::uniform_int_distribution<int> near_one(-40, 60);
    std::vector<T> values = {
        std::numeric_limits<T>::min(),     std::numeric_limits<T>::max(),
        std::numeric_limits<T>::lowest(),  std::numeric_limits<T>::denorm_min(),
        std::numeric_limits<T>::epsilon(), -std::numeric_limits<T>::denorm_min(),
    };
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

template <class T>
void check_round_trips(std::size_t count) {
    for (const T value : sample_values<T>(count)) {
        const std::string message = number::message(value);
        const std::string debug = number::debug(value);
        const std::string json = number::json(value);
        ASSERT_TRUE(reads_back(message, value));
        ASSERT_TRUE(reads_back(debug, value));
        ASSERT_TRUE(reads_back(json, value));
        ASSERT_EQ(message.find_first_of("eE"), std::string::npos) << message;
        if (std::trunc(value) == value) {
            ASSERT_NE(json.find_first_of(".e"), std::string::npos) << json;
            ASSERT_NE(debug.find_first_of(".e"), std::string::npos) << debug;
        }
    }
}

TEST(NumberRoundTrip, DoubleFormsReadBackExactly) {
    check_round_trips<double>(200000);
}

TEST(NumberRoundTrip, FloatFormsReadBackExactly) {
    check_round_trips<float>(200000);
}

}  // namespace
