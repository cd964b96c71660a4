#include "audio_engine/nodes/adc.hpp"

#include <algorithm>
#include <string>

namespace audio_engine::nodes::adc {

using ir::types::ChannelLayout;
using ir::types::NodeTypeDecl;
using ir::types::PortDecl;

NodeTypeDecl adc_type_decl() {
    return NodeTypeDecl{
        .type_id = "adc_input",
        .audio_inputs = {},
        .audio_outputs = {PortDecl{"out", ChannelLayout::Mono}},
        .controls = {},
    };
}

void AdcNode::process(std::span<const std::span<const float>>,
                      std::span<const std::span<float>> outputs) {
    if (outputs.empty()) return;
    const std::span<float> out = outputs[0];
    if (!ring_) {
        std::fill(out.begin(), out.end(), 0.0f);
        return;
    }
    // One pop per sample: a sample that arrives mid-block is taken at that point.
    for (float& sample : out) {
        float value = 0.0f;
        sample = ring_->try_pop(value) ? value : 0.0f;
    }
}

graph::node::ParamResult AdcNode::set_param(std::string_view name, float) {
    return std::unexpected(graph::node::ParamError::not_found(std::string(name)));
}

void AdcNode::reset(std::uint32_t) {}

}  // namespace audio_engine::nodes::adc
