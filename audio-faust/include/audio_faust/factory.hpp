// audio_faust::factory — a compiled Faust source text as a node type of the registry.
//
// One factory per Faust source file: compiled and probed on the hot-reload side (its compile
// thread, or start-up), then owned by the node-type registry on the control thread. It keeps
// the compiled program alive, so `create` only makes a new instance of it: two nodes of one
// type share the compiled code and hold an instance each.
//
// Making an instance takes libfaust's compile lock, which a compile holds for as long as it
// runs. So that the control thread never waits for it, a factory may be given a stock of
// instances made ahead of need on another thread (see audio_faust::hot_reload): `create` then
// takes one from the stock and waits for nothing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory>
#include <string>
#include <vector>

#include "audio_engine/graph/node.hpp"
#include "audio_engine/ir/types.hpp"
#include "audio_faust/dsp.hpp"

namespace audio_faust::factory {

// Instances of one program made ahead of need, for the control thread only: whoever makes them
// hands them over there.
struct InstanceStock {
    dsp::Program program;
    std::uint32_t sample_rate = 0;
    std::size_t block_size = 0;
    std::vector<dsp::FaustDsp> ready;
    std::size_t asked = 0;  // being made
    std::string failed;     // why the last making failed; creation fails with it until cleared
};

class FaustFactory final : public audio_engine::graph::node::NodeFactory {
public:
    // Compiles `code`; `name` is libfaust's application name. The error is the compile error.
    static std::expected<FaustFactory, std::string> compile(std::string name, std::string code);

    // Describes an instance made at 48000 Hz, block 64: ports "in"/"out" for a single channel,
    // else "in0", "in1", ... / "out0", ...; one control per parameter. The probe instance is
    // released before returning; nothing is compiled.
    std::expected<audio_engine::ir::types::NodeTypeDecl, std::string> probe_type_decl(
        std::string type_id) const;

    // A new instance of the compiled program (no compile): from the stock when one is attached
    // for that rate and block size (its error once making failed, without waiting), else made
    // here under the compile lock.
    std::expected<std::unique_ptr<audio_engine::graph::node::DspNode>, std::string> create(
        std::uint32_t sample_rate, std::size_t block_size) const override;

    void attach_stock(std::shared_ptr<InstanceStock> stock) { stock_ = std::move(stock); }

    const std::string& name() const { return name_; }
    const std::string& code() const { return code_; }
    const dsp::Program& program() const { return program_; }

private:
    FaustFactory(std::string name, std::string code, dsp::Program program)
        : name_(std::move(name)), code_(std::move(code)), program_(std::move(program)) {}

    std::string name_;
    std::string code_;
    dsp::Program program_;
    std::shared_ptr<InstanceStock> stock_;
};

}  // namespace audio_faust::factory
