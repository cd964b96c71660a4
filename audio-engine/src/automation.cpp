#include "audio_engine/automation.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <type_traits>

namespace audio_engine::automation {

float AutoShape::eval(float p) const {
    return std::visit(
        [p](const auto& s) -> float {
            using S = std::decay_t<decltype(s)>;
            if constexpr (std::is_same_v<S, shape::Sine>) {
                return std::fma(std::sin((p + p) * 3.1415927f), 0.5f, 0.5f);
            } else if constexpr (std::is_same_v<S, shape::Tri>) {
                return 1.0f - std::abs(std::fma(2.0f, p, -1.0f));
            } else if constexpr (std::is_same_v<S, shape::Ramp>) {
                return p;
            } else if constexpr (std::is_same_v<S, shape::RampDown>) {
                return 1.0f - p;
            } else if constexpr (std::is_same_v<S, shape::Square>) {
                return p < 0.5f ? 1.0f : 0.0f;
            } else if constexpr (std::is_same_v<S, shape::Exp>) {
                return p * p;
            } else if constexpr (std::is_same_v<S, shape::Pulse>) {
                return p < s.width ? 1.0f : 0.0f;
            } else {
                const std::size_t n = s.values.size();
                if (n == 0) return 0.0f;
                // Truncation toward zero; negative and NaN give 0, overlarge saturates.
                const float x = p * static_cast<float>(n);
                std::uint64_t k = 0;
                if (x >= 18446744073709551616.0f) {
                    k = std::numeric_limits<std::uint64_t>::max();
                } else if (x > 0.0f) {
                    k = static_cast<std::uint64_t>(x);
                }
                return s.values[std::min<std::uint64_t>(n - 1, k)];
            }
        },
        static_cast<const variant&>(*this));
}

}  // namespace audio_engine::automation
