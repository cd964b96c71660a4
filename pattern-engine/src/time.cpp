#include "pattern_engine/time.hpp"

#include <algorithm>
#include <cstdlib>

#include "support/log.hpp"

namespace pattern_engine::time {

namespace detail {

void fatal_zero_denominator() {
    support::log::write_stderr_line("Time denominator must be nonzero\n");
    std::abort();
}

namespace {

int bit_width128(u128 v) {
    const auto high = static_cast<std::uint64_t>(v >> 64);
    if (high != 0) return 64 + std::bit_width(high);
    return std::bit_width(static_cast<std::uint64_t>(v));
}

}  // namespace
}  // namespace detail

Time Time::narrow(bool neg, detail::u128 m, detail::u128 d) noexcept {
    using detail::u128;
    // Callers pass values that do not fit, so shift >= 1.
    const int shift = std::max({detail::bit_width128(m) - 63, detail::bit_width128(d) - 64, 0});
    const u128 ms = m >> shift;
    const u128 ds = d >> shift;
    if (ds < (u128(1) << 31)) {
        // The value is at least about 2^31 here, so its integer part is the closer result.
        u128 q = m / d;
        if (q > u128(INT64_MAX)) q = INT64_MAX;
        const auto q64 = static_cast<std::int64_t>(q);
        return Time(Canonical{}, neg ? -q64 : q64, 1);
    }
    const auto m64 = static_cast<std::uint64_t>(ms);
    const auto d64 = static_cast<std::uint64_t>(ds);
    const std::uint64_t g64 = detail::gcd64(m64, d64);
    const auto n = static_cast<std::int64_t>(m64 / g64);
    return Time(Canonical{}, neg ? -n : n, d64 / g64);
}

Time Time::reduce_wide(bool neg, detail::u128 m, detail::u128 d) noexcept {
    using detail::u128;
    // Euclid on 128 bits: rare (wide intermediates whose result may still fit).
    u128 a = m;
    u128 b = d;
    while (b != 0) {
        const u128 r = a % b;
        a = b;
        b = r;
    }
    return assemble(neg, m / a, d / a);
}

Time Time::multiply_wide(bool neg, std::uint64_t n1, std::uint64_t d1, std::uint64_t n2,
                         std::uint64_t d2) noexcept {
    // Cancelling crosswise first leaves the product in lowest terms without a 128-bit gcd.
    const std::uint64_t g1 = detail::gcd64(n1, d2);
    const std::uint64_t g2 = detail::gcd64(n2, d1);
    return assemble(neg, detail::u128(n1 / g1) * (n2 / g2), detail::u128(d1 / g2) * (d2 / g1));
}

Time Time::add_overflowed(detail::i128 t1, detail::i128 t2, detail::u128 d) noexcept {
    using detail::u128;
    // Here |t1|, |t2| >= 2^126 and d >= 2^126: halving all three makes the sum fit and moves
    // the value by less than 2^-120 relative; the result is approximate anyway.
    const detail::i128 t = (t1 >> 1) + (t2 >> 1);
    d >>= 1;
    const bool neg = t < 0;
    return narrow(neg, neg ? 0 - u128(t) : u128(t), d);
}

ArcList Arc::split_cycles() const {
    ArcList out;
    const std::int64_t first = begin.floor();
    const std::int64_t end_cycle = end.floor();
    if (first < end_cycle) {
        // One allocation instead of repeated growth; capped since huge spans are pathological.
        const std::uint64_t touched =
            static_cast<std::uint64_t>(end_cycle) - static_cast<std::uint64_t>(first) + 1;
        out.reserve(static_cast<std::size_t>(std::min<std::uint64_t>(touched, 1024)));
    }
    for_each_cycle(*this, [&out](const Arc& piece) { out.push_back(piece); });
    return out;
}

}  // namespace pattern_engine::time
