// audio_faust::factory — a Faust source text as a node type of the registry.
//
// One factory per Faust source file, made and probed by the hot-reload engine and then owned
// by the node-type registry; all on the control thread. Every node is compiled from source
// anew (two nodes of one type hold two libfaust instances).
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory>
#include <string>

#include "audio_engine/graph/node.hpp"
#include "audio_engine/ir/types.hpp"

namespace audio_faust::factory {

class FaustFactory final : public audio_engine::graph::node::NodeFactory {
public:
    // `name` is libfaust's application name (the file stem).
    FaustFactory(std::string name, std::string code)
        : name_(std::move(name)), code_(std::move(code)) {}

    // Compiles once at 48000 Hz, block 64, and describes the result: ports "in"/"out" for a
    // single channel, else "in0", "in1", ... / "out0", ...; one control per parameter. The
    // probe is released before returning. The error is the compile error text.
    std::expected<audio_engine::ir::types::NodeTypeDecl, std::string> probe_type_decl(
        std::string type_id) const;

    std::expected<std::unique_ptr<audio_engine::graph::node::DspNode>, std::string> create(
        std::uint32_t sample_rate, std::size_t block_size) const override;

    const std::string& name() const { return name_; }
    const std::string& code() const { return code_; }

private:
    std::string name_;
    std::string code_;
};

}  // namespace audio_faust::factory
