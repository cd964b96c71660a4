// audio_faust::node — a compiled Faust processor as a node of the audio graph.
//
// Made on the control thread by FaustFactory::create, then driven by the graph runtime on
// the audio thread like any built-in node. Dropping it releases its FaustDsp, which never
// waits for a compile in progress (see audio_faust::dsp), so a graph holding Faust nodes may
// be released on the audio thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "audio_engine/graph/node.hpp"
#include "audio_faust/dsp.hpp"

namespace audio_faust::node {

class FaustNode final : public audio_engine::graph::node::DspNode {
public:
    explicit FaustNode(dsp::FaustDsp dsp) : dsp_(std::move(dsp)) {}

    void process(std::span<const std::span<const float>> inputs,
                 std::span<const std::span<float>> outputs) override {
        dsp_.compute(inputs, outputs);
    }
    std::size_t num_inputs() const override { return dsp_.num_inputs(); }
    std::size_t num_outputs() const override { return dsp_.num_outputs(); }
    // Values outside the control's range are limited to it; only an unknown name fails.
    audio_engine::graph::node::ParamResult set_param(std::string_view name, float value) override;
    void reset(std::uint32_t sample_rate) override { dsp_.reset(sample_rate); }

private:
    dsp::FaustDsp dsp_;
};

}  // namespace audio_faust::node
