// audio_engine::nodes::adc — the audio input node ("adc_input").
//
// Declared without a factory: the host builds an AdcNode around the capture ring that the audio
// input callback fills, and injects it into the graph. process() is the ring's only consumer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string_view>

#include "audio_engine/graph/node.hpp"
#include "audio_engine/ir/types.hpp"
#include "support/spsc.hpp"

namespace audio_engine::nodes::adc {

using CaptureRing = support::SpscRing<float>;

// "adc_input": no inputs, output "out", no controls.
ir::types::NodeTypeDecl adc_type_decl();

class AdcNode final : public graph::node::DspNode {
public:
    // Shares the ring with the host, which keeps pushing captured samples into it. A null ring
    // reads as always empty.
    explicit AdcNode(std::shared_ptr<CaptureRing> ring) : ring_(std::move(ring)) {}

    // Each output sample is the next ring sample, or 0.0 when the ring is empty at that moment.
    void process(std::span<const std::span<const float>> inputs,
                 std::span<const std::span<float>> outputs) override;
    std::size_t num_inputs() const override { return 0; }
    std::size_t num_outputs() const override { return 1; }
    bool fills_outputs() const override { return true; }
    graph::node::ParamResult set_param(std::string_view name, float value) override;
    void reset(std::uint32_t sample_rate) override;

private:
    std::shared_ptr<CaptureRing> ring_;
};

}  // namespace audio_engine::nodes::adc
