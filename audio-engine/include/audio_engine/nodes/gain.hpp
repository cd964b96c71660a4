// audio_engine::nodes::gain — a gain with one-pole smoothing toward its target ("gain").
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "audio_engine/graph/node.hpp"
#include "audio_engine/ir/types.hpp"

namespace audio_engine::nodes::gain {

// "gain": input "in", output "out", control "gain" (0, 4), default 1.
ir::types::NodeTypeDecl gain_type_decl();

class GainNode final : public graph::node::DspNode {
public:
    // Per sample: current += coefficient * (target - current), or current = target where that
    // step no longer moves it or the distance is subnormal; out = in * current.
    void process(std::span<const std::span<const float>> inputs,
                 std::span<const std::span<float>> outputs) override;
    std::size_t num_inputs() const override { return 1; }
    std::size_t num_outputs() const override { return 1; }
    bool fills_outputs() const override { return true; }
    // A block that starts with current and target gain within [-1, 1] stays within, so it
    // scales no finite sample beyond the finite range.
    bool outputs_finite() const override { return finite_; }
    // "gain" sets the target, unchecked; before the first block it also sets the current gain.
    graph::node::ParamResult set_param(std::string_view name, float value) override;
    void reset(std::uint32_t sample_rate) override;

    float current_gain() const { return current_; }
    float target_gain() const { return target_; }
    float coefficient() const { return coefficient_; }
    bool snap() const { return snap_; }

private:
    float current_ = 1.0f;
    float target_ = 1.0f;
    float coefficient_ = 0.02f;
    // Set until the first block, so a gain set before it applies without a ramp.
    bool snap_ = true;
    bool finite_ = false;
};

class GainFactory final : public graph::node::NodeFactory {
public:
    std::expected<std::unique_ptr<graph::node::DspNode>, std::string> create(
        std::uint32_t sample_rate, std::size_t block_size) const override;
};

}  // namespace audio_engine::nodes::gain
