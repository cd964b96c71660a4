#include "audio_engine/nodes/dac.hpp"

#include <algorithm>

namespace audio_engine::nodes::dac {

using ir::types::ChannelLayout;
using ir::types::NodeTypeDecl;
using ir::types::PortDecl;

NodeTypeDecl dac_type_decl() {
    return NodeTypeDecl{
        .type_id = "dac",
        .audio_inputs = {PortDecl{"in", ChannelLayout::Mono}},
        .audio_outputs = {PortDecl{"out", ChannelLayout::Mono}},
        .controls = {},
    };
}

void DacNode::process(std::span<const std::span<const float>> inputs,
                      std::span<const std::span<float>> outputs) {
    if (inputs.empty() || outputs.empty()) return;
    const std::span<const float> in = inputs[0];
    const std::span<float> out = outputs[0];
    const std::size_t n = std::min(in.size(), out.size());
    std::copy_n(in.begin(), n, out.begin());
}

graph::node::ParamResult DacNode::set_param(std::string_view name, float) {
    return std::unexpected(graph::node::ParamError::not_found(std::string(name)));
}

void DacNode::reset(std::uint32_t) {}

std::expected<std::unique_ptr<graph::node::DspNode>, std::string> DacFactory::create(
    std::uint32_t, std::size_t) const {
    return std::make_unique<DacNode>();
}

}  // namespace audio_engine::nodes::dac
