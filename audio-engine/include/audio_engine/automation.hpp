// audio_engine::automation — a control moved along a curve, periodically or once.
//
// Made on the control thread, sent to the audio thread inside a command, advanced there by the
// graph swapper once per block. `AutoShape::eval` is pure and allocates nothing.
#pragma once

#include <cstdint>
#include <string>
#include <type_traits>
#include <variant>
#include <vector>

namespace audio_engine::automation {

namespace shape {
struct Sine {};
struct Tri {};
struct Ramp {};
struct RampDown {};
struct Square {};
struct Exp {};
struct Pulse {
    float width;
};
struct Table {
    std::vector<float> values;
};
}  // namespace shape

// Curves over one period, phase p normally in [0, 1); kinds in this order.
struct AutoShape : std::variant<shape::Sine, shape::Tri, shape::Ramp, shape::RampDown,
                                shape::Square, shape::Exp, shape::Pulse, shape::Table> {
    using variant::variant;
    float eval(float p) const;
};

// The kinds keep this order: their indices are part of the contract.
static_assert(std::is_same_v<std::variant_alternative_t<0, AutoShape::variant>, shape::Sine> &&
              std::is_same_v<std::variant_alternative_t<5, AutoShape::variant>, shape::Exp> &&
              std::variant_size_v<AutoShape::variant> == 8);

struct Automation {
    std::string node_id;
    std::string control;
    AutoShape shape;
    std::uint64_t period = 0;    // samples; 0 means a constant value (lo)
    std::uint64_t position = 0;  // samples into the period
    float lo = 0.0f;             // value where the curve is 0
    float hi = 1.0f;             // value where the curve is 1
    bool active = true;
    bool one_shot = false;  // stop at the end of the first period instead of wrapping
};

}  // namespace audio_engine::automation
