// audio_engine::graph::node — the interface every audio node implements, and its factory.
//
// A node owns its state and has one owner at a time (a compiled graph, the compiler's pool of
// reusable nodes, or the controller's map of injected nodes). It is created and configured on
// the control thread, then moved to the audio thread, where `process` runs; `process` never
// allocates, locks, logs or waits.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory>
#include <span>
#include <string>
#include <string_view>

namespace audio_engine::graph::node {

// Index of a node in a compiled graph: node i is the i-th node of the graph description.
using NodeId = std::size_t;

struct ParamError {
    enum class Kind { NotFound, OutOfRange };

    Kind kind = Kind::NotFound;
    std::string name;  // the control name (or, for NotFound from a graph, its own text)
    float value = 0.0f;
    float min = 0.0f;
    float max = 0.0f;

    static ParamError not_found(std::string name) { return {Kind::NotFound, std::move(name)}; }
    static ParamError out_of_range(std::string name, float value, float min, float max) {
        return {Kind::OutOfRange, std::move(name), value, min, max};
    }

    // "parameter not found: {}" / "parameter '{}' value {} out of range [{}, {}]"
    std::string display() const;
    bool operator==(const ParamError&) const = default;
};

using ParamResult = std::expected<void, ParamError>;

class DspNode {
public:
    virtual ~DspNode() = default;

    // One block: reads the input blocks, writes the output blocks. The graph passes
    // num_inputs() inputs and num_outputs() outputs of its block size.
    virtual void process(std::span<const std::span<const float>> inputs,
                         std::span<const std::span<float>> outputs) = 0;
    virtual std::size_t num_inputs() const = 0;
    virtual std::size_t num_outputs() const = 0;
    // True when `process` writes every sample of every output block the graph passes, so the
    // graph need not clear them first. Asked once, when a graph is built.
    virtual bool fills_outputs() const { return false; }
    // True when every sample the last `process` wrote is finite, provided its inputs were, so
    // the graph can hand the block on without checking it. Asked after every `process`.
    virtual bool outputs_finite() const { return false; }
    // An unknown name gives the NotFound error.
    virtual ParamResult set_param(std::string_view name, float value) = 0;
    // Back to the start state at the given sample rate, as each node type defines it.
    virtual void reset(std::uint32_t sample_rate) = 0;
};

class NodeFactory {
public:
    virtual ~NodeFactory() = default;
    // A new node, or an error text.
    virtual std::expected<std::unique_ptr<DspNode>, std::string> create(
        std::uint32_t sample_rate, std::size_t block_size) const = 0;
};

}  // namespace audio_engine::graph::node
