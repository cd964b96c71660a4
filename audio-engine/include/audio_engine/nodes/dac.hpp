// audio_engine::nodes::dac — the graph output node ("dac"): passes its input through.
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

namespace audio_engine::nodes::dac {

// "dac": input "in", output "out", no controls.
ir::types::NodeTypeDecl dac_type_decl();

class DacNode final : public graph::node::DspNode {
public:
    // Copies in to out, as many samples as the shorter holds; needs both blocks.
    void process(std::span<const std::span<const float>> inputs,
                 std::span<const std::span<float>> outputs) override;
    std::size_t num_inputs() const override { return 1; }
    std::size_t num_outputs() const override { return 1; }
    bool fills_outputs() const override { return true; }
    graph::node::ParamResult set_param(std::string_view name, float value) override;
    void reset(std::uint32_t sample_rate) override;
};

class DacFactory final : public graph::node::NodeFactory {
public:
    std::expected<std::unique_ptr<graph::node::DspNode>, std::string> create(
        std::uint32_t sample_rate, std::size_t block_size) const override;
};

}  // namespace audio_engine::nodes::dac
