#include "audio_engine/nodes/gain.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "wide_clones.hpp"

namespace audio_engine::nodes::gain {

using ir::types::ChannelLayout;
using ir::types::ControlDecl;
using ir::types::NodeTypeDecl;
using ir::types::PortDecl;
using ir::types::Rate;

namespace {

// out = in * gain, the loop of a settled gain; unrolled, so that it stays a short stretch of
// instructions the processor can overlap with the nodes around it.
VORLA_WIDE_CLONES void scale(float* out, const float* in, float gain, std::size_t n) {
#pragma GCC unroll 4
    for (std::size_t i = 0; i < n; ++i)
        out[i] = in[i] * gain;
}

}  // namespace

NodeTypeDecl gain_type_decl() {
    return NodeTypeDecl{
        .type_id = "gain",
        .audio_inputs = {PortDecl{"in", ChannelLayout::Mono}},
        .audio_outputs = {PortDecl{"out", ChannelLayout::Mono}},
        .controls = {ControlDecl{
            .name = "gain",
            .range = {0.0f, 4.0f},
            .default_value = 1.0f,
            .rate = Rate::Control,
            .unit = std::nullopt,
        }},
    };
}

void GainNode::process(std::span<const std::span<const float>> inputs,
                       std::span<const std::span<float>> outputs) {
    snap_ = false;
    finite_ = false;
    if (inputs.empty() || outputs.empty()) return;
    const std::span<const float> in = inputs[0];
    const std::span<float> out = outputs[0];
    const std::size_t n = std::min(in.size(), out.size());
    float current = current_;
    finite_ = std::abs(current) <= 1.0f && std::abs(target_) <= 1.0f;
    if (current == target_ && std::isfinite(current)) {
        // Settled: every step adds exactly 0, so the ramp's serial chain can be skipped.
        scale(out.data(), in.data(), current, n);
        return;
    }
    const float target = target_;
    for (std::size_t i = 0; i < n; ++i) {
        // Three separately rounded steps; this file is built with -ffp-contract=off so the
        // compiler cannot fuse them and change the ramp.
        const float distance = target - current;
        const float d = coefficient_ * distance;
        const float next = current + d;
        // Arrive exactly where the ramp would stall short of its target (a step below half an
        // ulp, or flushed to zero) or crawl through subnormals, so it settles.
        const bool arrived =
            next == current || std::abs(distance) < std::numeric_limits<float>::min();
        current = arrived ? target : next;
        out[i] = in[i] * current;
    }
    current_ = current;
}

graph::node::ParamResult GainNode::set_param(std::string_view name, float value) {
    if (name != "gain") {
        return std::unexpected(graph::node::ParamError::not_found(std::string(name)));
    }
    target_ = value;
    if (snap_) current_ = value;
    return {};
}

void GainNode::reset(std::uint32_t) {}

std::expected<std::unique_ptr<graph::node::DspNode>, std::string> GainFactory::create(
    std::uint32_t, std::size_t) const {
    return std::make_unique<GainNode>();
}

}  // namespace audio_engine::nodes::gain
