// Exact rational time for the pattern engine.
//
// A point in time is a rational number of cycles (Time); a stretch of time is a span of two
// such points (Arc). The compiler stores the factors and offsets of time transforms as Time,
// the query computes every event boundary as Time, and the slot engine converts Time to
// seconds only at the very end.
//
// Contract:
// - Time is always canonical: lowest terms, sign on the numerator, denominator > 0, zero is
//   0/1. Equality is therefore field equality.
// - Arithmetic is exact whenever the exact result fits the 64-bit fields. Results that do not
//   fit are approximated (see Time::narrow); nothing overflows into undefined behaviour.
// - A zero denominator (construction, division by zero) is a broken invariant and aborts.
// - Pure values, callable from any thread; nothing allocates except split_cycles.
//   The hot operations are inline because the query runs them several times per event.
#pragma once

#include <bit>
#include <compare>
#include <cstdint>
#include <type_traits>
#include <utility>

#include "support/small_vector.hpp"

namespace pattern_engine::time {

namespace detail {
__extension__ typedef __int128 i128;
__extension__ typedef unsigned __int128 u128;

[[noreturn]] void fatal_zero_denominator();

constexpr std::uint64_t magnitude(std::int64_t v) noexcept {
    const auto u = static_cast<std::uint64_t>(v);
    return v < 0 ? 0 - u : u;
}

// Binary gcd on the odd parts: no hardware division, which dominates the cost of the
// Euclidean loop. Query times pair large numerators with small (often power-of-two)
// denominators, so an odd part of 1 ends it early and one remainder evens out lopsided pairs.
constexpr std::uint64_t gcd64(std::uint64_t u, std::uint64_t v) noexcept {
    if (u == 0) return v;
    if (v == 0) return u;
    const int shift = std::countr_zero(u | v);
    u >>= std::countr_zero(u);
    v >>= std::countr_zero(v);
    if (u > v) std::swap(u, v);
    if (u == 1) return std::uint64_t{1} << shift;
    if ((v >> 8) > u) {
        v %= u;
        if (v == 0) return u << shift;
        v >>= std::countr_zero(v);
    }
    while (v != u) {
        if (u > v) std::swap(u, v);
        v -= u;
        v >>= std::countr_zero(v);
    }
    return u << shift;
}
// The inverse of an odd a modulo 2^64 (Newton: each step doubles the correct low bits).
constexpr std::uint64_t inverse_odd(std::uint64_t a) noexcept {
    std::uint64_t x = a;  // a * a == 1 (mod 8): three bits
    for (int i = 0; i < 5; ++i)
        x *= 2 - a * x;
    return x;
}
}  // namespace detail

class Time {
public:
    constexpr Time() noexcept = default;

    // Reduces to lowest terms; d == 0 aborts.
    constexpr Time(std::int64_t n, std::uint64_t d) {
        if (d == 0) detail::fatal_zero_denominator();
        *this = reduce(n < 0, detail::magnitude(n), d);
    }

    static constexpr Time from_integer(std::int64_t c) noexcept { return Time(Canonical{}, c, 1); }
    // n / d for d a power of two: lowest terms by shifting out the common factors of two.
    static constexpr Time over_power_of_two(std::int64_t n, std::uint64_t d) noexcept {
        const int k = std::countr_zero(static_cast<std::uint64_t>(n) | d);
        return Time(Canonical{}, n >> k, d >> k);
    }

    constexpr std::int64_t numer() const noexcept { return n_; }
    constexpr std::uint64_t denom() const noexcept { return d_; }
    constexpr bool is_integer() const noexcept { return d_ == 1; }

    // Greatest integer <= the value (toward minus infinity); valid for every denominator.
    constexpr std::int64_t floor() const noexcept {
        if (n_ >= 0) return static_cast<std::int64_t>(static_cast<std::uint64_t>(n_) / d_);
        const std::uint64_t m = detail::magnitude(n_);
        const std::uint64_t q = m / d_ + (m % d_ != 0 ? 1 : 0);  // q <= 2^63
        return static_cast<std::int64_t>(0 - q);
    }

    double to_f64() const noexcept { return static_cast<double>(n_) / static_cast<double>(d_); }

    // (neg ? -m : m) / d from wide intermediates (d > 0), reduced; out of range as narrow().
    static Time from_wide(bool neg, detail::u128 m, detail::u128 d) noexcept {
        if (((m | d) >> 64) == 0) {
            return reduce(neg, static_cast<std::uint64_t>(m), static_cast<std::uint64_t>(d));
        }
        return reduce_wide(neg, m, d);
    }

    friend constexpr bool operator==(const Time&, const Time&) = default;

    friend constexpr std::strong_ordering operator<=>(Time x, Time y) noexcept {
        if (x.d_ == y.d_) return x.n_ <=> y.n_;
        // |n| <= 2^63 and d < 2^64, so neither product overflows signed 128 bits.
        return detail::i128(x.n_) * y.d_ <=> detail::i128(y.n_) * x.d_;
    }

    // -INT64_MIN does not exist; it saturates to INT64_MAX over the same denominator.
    friend constexpr Time operator-(Time x) {
        if (x.n_ == INT64_MIN) return Time(INT64_MAX, x.d_);
        return Time(Canonical{}, -x.n_, x.d_);
    }

    friend Time operator+(Time x, Time y) noexcept { return add<false>(x, y); }
    friend Time operator-(Time x, Time y) noexcept { return add<true>(x, y); }

    friend Time operator*(Time x, Time y) noexcept {
        return multiply((x.n_ ^ y.n_) < 0, detail::magnitude(x.n_), x.d_, detail::magnitude(y.n_),
                        y.d_);
    }

    // Multiplication by the reciprocal, formed directly because the reciprocal's numerator
    // may not fit int64. A negative divisor flips the sign; a zero divisor aborts.
    friend Time operator/(Time x, Time y) {
        if (y.n_ == 0) detail::fatal_zero_denominator();
        return multiply((x.n_ ^ y.n_) < 0, detail::magnitude(x.n_), x.d_, y.d_,
                        detail::magnitude(y.n_));
    }

    Time& operator+=(Time y) noexcept { return *this = *this + y; }
    Time& operator-=(Time y) noexcept { return *this = *this - y; }
    Time& operator*=(Time y) noexcept { return *this = *this * y; }

private:
    struct Canonical {};
    constexpr Time(Canonical, std::int64_t n, std::uint64_t d) noexcept : n_(n), d_(d) {}

    static constexpr Time reduce(bool neg, std::uint64_t m, std::uint64_t d) noexcept {
        const std::uint64_t g = detail::gcd64(m, d);
        if (g == 1) return assemble(neg, m, d);
        // Both are exact multiples of g: shift out its power of two and multiply by the inverse
        // of its odd part, which is several times cheaper than two hardware divisions.
        const int k = std::countr_zero(g);
        const std::uint64_t odd = g >> k;
        m >>= k;
        d >>= k;
        if (odd != 1) {
            const std::uint64_t inv = detail::inverse_odd(odd);
            m *= inv;
            d *= inv;
        }
        return assemble(neg, m, d);
    }

    // (n1/d1) * (n2/d2) on magnitudes, each fraction in lowest terms. One gcd on the full
    // products is cheapest while they fit 64 bits.
    static Time multiply(bool neg, std::uint64_t n1, std::uint64_t d1, std::uint64_t n2,
                         std::uint64_t d2) noexcept {
        const detail::u128 m = detail::u128(n1) * n2;
        const detail::u128 d = detail::u128(d1) * d2;
        if (((m | d) >> 64) == 0) {
            return reduce(neg, static_cast<std::uint64_t>(m), static_cast<std::uint64_t>(d));
        }
        return multiply_wide(neg, n1, d1, n2, d2);
    }
    static Time multiply_wide(bool neg, std::uint64_t n1, std::uint64_t d1, std::uint64_t n2,
                              std::uint64_t d2) noexcept;

    // From a sign and coprime magnitudes: exact when they fit, else narrow().
    static constexpr Time assemble(bool neg, detail::u128 m, detail::u128 d) noexcept {
        if ((d >> 64) == 0 && m <= detail::u128(INT64_MAX) + (neg ? 1 : 0)) {
            const auto m64 = static_cast<std::uint64_t>(m);
            return Time(Canonical{}, static_cast<std::int64_t>(neg ? 0 - m64 : m64),
                        static_cast<std::uint64_t>(d));
        }
        return narrow(neg, m, d);
    }

    // Out-of-range results: numerator and denominator are shifted right together until both
    // fit (|numerator| <= INT64_MAX), then reduced again. When the shifted denominator would
    // keep fewer than 31 bits the integer part is closer and is used instead, saturated to
    // +-INT64_MAX. Takes coprime magnitudes that do not fit as they are.
    static Time narrow(bool neg, detail::u128 m, detail::u128 d) noexcept;
    static Time reduce_wide(bool neg, detail::u128 m, detail::u128 d) noexcept;
    // The 128-bit sum t1 + t2 overflowed (only possible with denominators >= 2^63).
    static Time add_overflowed(detail::i128 t1, detail::i128 t2, detail::u128 d) noexcept;

    // a/b +- c/d with g = gcd(b, d): t = a*(d/g) +- c*(b/g), g2 = gcd(t, g), and the result
    // (t/g2) / ((b/g)*(d/g2)) is already in lowest terms (0/1 for t == 0), so only 64-bit
    // gcds are needed.
    template <bool Sub>
    static Time add(Time x, Time y) noexcept {
        using detail::i128;
        using detail::u128;
        const std::uint64_t b = x.d_;
        const std::uint64_t d = y.d_;
        // With an integer on either side the sum is already in lowest terms:
        // gcd(a*d + c, d) = gcd(c, d) = 1.
        if (b == 1 || d == 1) {
            const i128 t1 = i128(x.n_) * d;
            const i128 t2 = i128(y.n_) * b;
            const i128 t = Sub ? t1 - t2 : t1 + t2;  // |t| < 2^127: no overflow
            const bool neg = t < 0;
            return assemble(neg, neg ? 0 - u128(t) : u128(t), u128(b == 1 ? d : b));
        }
        std::uint64_t g = b;
        std::uint64_t bg = 1;
        std::uint64_t dg = 1;
        if (b != d) {
            g = detail::gcd64(b, d);
            bg = b / g;
            dg = d / g;
        }
        const i128 t1 = i128(x.n_) * dg;
        const i128 t2 = i128(y.n_) * bg;
        i128 t;
        if (Sub ? __builtin_sub_overflow(t1, t2, &t) : __builtin_add_overflow(t1, t2, &t)) {
            return add_overflowed(t1, Sub ? -t2 : t2, u128(bg) * d);
        }
        const bool neg = t < 0;
        const u128 tm = neg ? 0 - u128(t) : u128(t);
        if (g == 1) return assemble(neg, tm, u128(bg) * d);
        const bool small = (tm >> 64) == 0;
        const std::uint64_t rem =
            small ? static_cast<std::uint64_t>(tm) % g : static_cast<std::uint64_t>(tm % g);
        const std::uint64_t g2 = detail::gcd64(rem, g);
        if (g2 == 1) return assemble(neg, tm, u128(bg) * d);
        const u128 num = small ? u128(static_cast<std::uint64_t>(tm) / g2) : tm / g2;
        return assemble(neg, num, u128(bg) * (d / g2));
    }

    std::int64_t n_ = 0;
    std::uint64_t d_ = 1;
};

constexpr Time max(Time a, Time b) noexcept {
    return a < b ? b : a;
}
constexpr Time min(Time a, Time b) noexcept {
    return b < a ? b : a;
}

struct Arc;
// Owned list of pieces; spans of up to 4 cycles need no heap.
using ArcList = boost::container::small_vector<Arc, 4>;

struct Arc {
    Time begin;
    Time end;

    friend constexpr bool operator==(const Arc&, const Arc&) = default;

    // Pieces in ascending order that cover the span, each within one cycle. An end on a cycle
    // boundary opens no empty piece; a zero-width span gives one zero-width piece; begin > end
    // in different cycles gives none.
    ArcList split_cycles() const;
};

// split_cycles without the list, for callers that must not allocate: f(const Arc&) is called
// once per piece, in ascending order. When f returns bool, false stops the walk.
template <typename F>
constexpr void for_each_cycle(const Arc& span, F&& f) {
    const std::int64_t first = span.begin.floor();
    std::int64_t last = span.end.floor();
    if (span.end.is_integer() && span.begin < span.end) --last;
    if (first > last) return;
    // The loop stops at last before incrementing and c + 1 is formed only below last, so spans
    // touching INT64_MAX do not overflow. At c == last, min(end, c + 1) is always end.
    for (std::int64_t c = first;; ++c) {
        const Time b = c == first ? span.begin : Time::from_integer(c);
        const Time e = c == last ? span.end : Time::from_integer(c + 1);
        if constexpr (std::is_same_v<decltype(f(Arc{b, e})), bool>) {
            if (!f(Arc{b, e})) return;
        } else {
            f(Arc{b, e});
        }
        if (c == last) break;
    }
}

}  // namespace pattern_engine::time
