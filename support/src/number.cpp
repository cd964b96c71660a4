#include "support/number.hpp"

#include <algorithm>
#include <cassert>
#include <charconv>
#include <cmath>
#include <system_error>
#include <type_traits>

namespace support::number {
namespace {

// Shortest round-trip digits d1..dn of |value|, read as 0.d1..dn x 10^point.
struct Shortest {
    char digits[17];
    int count = 0;
    int point = 0;
};

template <class T>
Shortest shortest(T value) {
    // Scientific without a precision is the shortest round trip: "-d.ddde-XXX" at most.
    char text[32];
    const auto [end, error] =
        std::to_chars(text, text + sizeof text, value, std::chars_format::scientific);
    assert(error == std::errc{});
    (void)error;

    const char* p = text;
    if (*p == '-') ++p;
    Shortest s;
    s.digits[s.count++] = *p++;
    if (*p == '.') {
        for (++p; *p != 'e'; ++p)
            s.digits[s.count++] = *p;
    }
    ++p;  // 'e'
    const bool negative = *p++ == '-';
    int exponent = 0;
    for (; p != end; ++p)
        exponent = exponent * 10 + (*p - '0');
    s.point = (negative ? -exponent : exponent) + 1;
    return s;
}

char* put_zeros(char* p, int n) {
    return std::fill_n(p, n, '0');
}

// Plain decimal; whole values get ".0" when asked so they still read as floating point.
char* put_fixed(char* p, const Shortest& s, bool whole_point_zero) {
    if (s.point >= s.count) {
        p = std::copy_n(s.digits, s.count, p);
        p = put_zeros(p, s.point - s.count);
        if (whole_point_zero) {
            *p++ = '.';
            *p++ = '0';
        }
    } else if (s.point > 0) {
        p = std::copy_n(s.digits, s.point, p);
        *p++ = '.';
        p = std::copy_n(s.digits + s.point, s.count - s.point, p);
    } else {
        *p++ = '0';
        *p++ = '.';
        p = put_zeros(p, -s.point);
        p = std::copy_n(s.digits, s.count, p);
    }
    return p;
}

// "d1[.d2..dn]e<exp>": no '+' and no leading zeros in the exponent.
char* put_exponent(char* p, const Shortest& s) {
    *p++ = s.digits[0];
    if (s.count > 1) {
        *p++ = '.';
        p = std::copy_n(s.digits + 1, s.count - 1, p);
    }
    *p++ = 'e';
    return std::to_chars(p, p + 8, s.point - 1).ptr;
}

enum class Form { message, debug, json };

template <class T>
void append(std::string& out, T value, Form form) {
    if (!std::isfinite(value)) {
        if (form == Form::json) {
            out += "null";
        } else if (std::isnan(value)) {
            out += "NaN";
        } else {
            out += value < 0 ? "-inf" : "inf";
        }
        return;
    }

    const Shortest s = shortest(value);
    // Worst case is a subnormal double in message form: "-0." plus at most 324 places after
    // the point (its last digit never goes below 1e-324); the largest double needs 310.
    char text[352];
    char* p = text;
    if (std::signbit(value)) *p++ = '-';
    // Thresholds test the shortest decimal, which for a float means the float nearest the
    // threshold counts as the threshold itself (0.0001f prints "0.0001", not "1e-4").
    switch (form) {
        case Form::message:
            p = put_fixed(p, s, false);
            break;
        case Form::debug:
            // point <= -4 means |v| < 1e-4; point > 16 means |v| >= 1e16.
            p = s.point <= -4 || s.point > 16 ? put_exponent(p, s) : put_fixed(p, s, true);
            break;
        case Form::json: {
            constexpr int max_point = std::is_same_v<T, float> ? 13 : 16;
            p = s.point <= -5 || s.point > max_point ? put_exponent(p, s) : put_fixed(p, s, true);
            break;
        }
    }
    out.append(text, p);
}

template <class T>
std::string make(T value, Form form) {
    std::string out;
    append(out, value, form);
    return out;
}

}  // namespace

std::string message(double value) {
    return make(value, Form::message);
}
std::string message(float value) {
    return make(value, Form::message);
}
void append_message(std::string& out, double value) {
    append(out, value, Form::message);
}
void append_message(std::string& out, float value) {
    append(out, value, Form::message);
}

std::string debug(double value) {
    return make(value, Form::debug);
}
std::string debug(float value) {
    return make(value, Form::debug);
}
void append_debug(std::string& out, double value) {
    append(out, value, Form::debug);
}
void append_debug(std::string& out, float value) {
    append(out, value, Form::debug);
}

std::string json(double value) {
    return make(value, Form::json);
}
std::string json(float value) {
    return make(value, Form::json);
}
void append_json(std::string& out, double value) {
    append(out, value, Form::json);
}
void append_json(std::string& out, float value) {
    append(out, value, Form::json);
}

}  // namespace support::number
