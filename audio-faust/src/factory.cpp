#include "audio_faust/factory.hpp"

#include "audio_faust/dsp.hpp"
#include "audio_faust/node.hpp"

namespace audio_faust::factory {

namespace {

using audio_engine::ir::types::ControlDecl;
using audio_engine::ir::types::PortDecl;
using audio_engine::ir::types::Rate;

std::vector<PortDecl> ports(std::string_view prefix, std::size_t count) {
    std::vector<PortDecl> out;
    for (std::size_t i = 0; i < count; ++i)
        out.push_back({count == 1 ? std::string(prefix) : std::string(prefix) + std::to_string(i)});
    return out;
}

}  // namespace

std::expected<FaustFactory, std::string> FaustFactory::compile(std::string name,
                                                              std::string code) {
    auto program = dsp::Program::compile(name, code);
    if (!program) return std::unexpected(std::move(program.error()));
    return FaustFactory(std::move(name), std::move(code), std::move(*program));
}

std::expected<audio_engine::ir::types::NodeTypeDecl, std::string> FaustFactory::probe_type_decl(
    std::string type_id) const {
    auto probe = dsp::FaustDsp::create(program_, 48000, 64);
    if (!probe) return std::unexpected(std::move(probe.error()));
    audio_engine::ir::types::NodeTypeDecl decl{std::move(type_id),
                                               ports("in", probe->num_inputs()),
                                               ports("out", probe->num_outputs()),
                                               {}};
    for (const auto& [label, p] : probe->params())
        decl.controls.push_back(ControlDecl{label, {p.min, p.max}, p.init, Rate::Control, {}});
    return decl;
}

std::expected<std::unique_ptr<audio_engine::graph::node::DspNode>, std::string>
FaustFactory::create(std::uint32_t sample_rate, std::size_t block_size) const {
    if (stock_ && stock_->sample_rate == sample_rate && stock_->block_size == block_size) {
        if (!stock_->ready.empty()) {
            auto node = std::make_unique<node::FaustNode>(std::move(stock_->ready.back()));
            stock_->ready.pop_back();
            return node;
        }
        if (!stock_->failed.empty()) return std::unexpected(stock_->failed);
    }
    auto compiled = dsp::FaustDsp::create(program_, sample_rate, block_size);
    if (!compiled) return std::unexpected(std::move(compiled.error()));
    return std::make_unique<node::FaustNode>(std::move(*compiled));
}

}  // namespace audio_faust::factory
