// A probe node, a graph builder, the block sizes graph tests run over and a heap counter.
#pragma once

#include <functional>
#include <limits>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "audio_engine/graph.hpp"
#include "audio_engine/ir.hpp"
#include "audio_engine/registry.hpp"

namespace test_nodes {

using audio_engine::graph::DspGraph;
using audio_engine::graph::node::DspNode;

// Allocations and releases (the malloc family) made on this thread while `f` runs.
using HeapUse = std::pair<std::size_t, std::size_t>;
HeapUse heap_use(const std::function<void()>& f);

// Writes `value` plus its input (when it has one), unless `write` is off. Controls "value"
// (recorded in `seen` when `record` is on) and "gate".
class Probe final : public DspNode {
public:
    explicit Probe(float v, std::size_t inputs = 0) : value(v), inputs_(inputs) {}
    void process(std::span<const std::span<const float>> in,
                 std::span<const std::span<float>> out) override {
        ++blocks;
        volatile float tiny = std::numeric_limits<float>::min();
        flushed = tiny * 0.5f == 0.0f;  // denormals are flushed in this block
        for (std::size_t i = 0; write && i < out[0].size(); ++i)
            out[0][i] = value + (in.empty() ? 0.0f : in[0][i]);
    }
    std::size_t num_inputs() const override { return inputs_; }
    std::size_t num_outputs() const override { return 1; }
    audio_engine::graph::node::ParamResult set_param(std::string_view name, float v) override {
        using audio_engine::graph::node::ParamError;
        if (name != "value" && name != "gate")
            return std::unexpected(ParamError::not_found(std::string(name)));
        (name == "gate" ? gate : value) = v;
        if (record && name == "value") seen.push_back(v);
        return {};
    }
    void reset(std::uint32_t) override {}

    float value, gate = 0.0f;
    bool write = true, record = false, flushed = false;
    int blocks = 0;
    std::vector<float> seen;

private:
    std::size_t inputs_;
};

// Makes probes of its value with its number of inputs (a negative value fails); `live` counts
// the factories alive.
class ProbeFactory final : public audio_engine::graph::node::NodeFactory {
public:
    ProbeFactory(float v, std::size_t inputs = 0) : value_(v), inputs_(inputs) { ++live; }
    ~ProbeFactory() override { --live; }
    std::expected<std::unique_ptr<DspNode>, std::string> create(std::uint32_t,
                                                                std::size_t) const override {
        if (value_ < 0) return std::unexpected(std::string("compile error: line 3"));
        return std::make_unique<Probe>(value_, inputs_);
    }
    static inline int live = 0;

private:
    float value_;
    std::size_t inputs_;
};

// Makes probes of 0 and records each, in the order a compile makes them.
class RecordingProbeFactory final : public audio_engine::graph::node::NodeFactory {
public:
    explicit RecordingProbeFactory(std::vector<Probe*>* made) : made_(made) {}
    std::expected<std::unique_ptr<DspNode>, std::string> create(std::uint32_t,
                                                                std::size_t) const override {
        auto probe = std::make_unique<Probe>(0.0f);
        made_->push_back(probe.get());
        return probe;
    }

private:
    std::vector<Probe*>* made_;
};

// Registers the type "probe", whose nodes go to `made`, and describes `count` of them: "p<i>",
// its value exposed as "l<i>".
inline audio_engine::ir::GraphIr probes(audio_engine::registry::NodeRegistry& registry,
                                        std::vector<Probe*>& made, std::size_t count) {
    (void)registry.register_type({"probe", {}, {{"out"}}, {}},
                                 std::make_unique<RecordingProbeFactory>(&made));
    audio_engine::ir::GraphIr g;
    for (std::size_t i = 0; i < count; ++i) {
        g.nodes.push_back({"p" + std::to_string(i), "probe", {}});
        g.exposed_controls["l" + std::to_string(i)] = {"p" + std::to_string(i), "value"};
    }
    return g;
}

// Laid out as the compiler does: node i is "n<i>", one pool buffer per node.
inline DspGraph make_graph(std::vector<std::unique_ptr<DspNode>> nodes,
                           std::vector<audio_engine::graph::Edge> edges,
                           std::optional<std::size_t> output, std::size_t block) {
    audio_engine::graph::GraphParts parts;
    parts.edges = std::move(edges);
    parts.output_node = output;
    for (std::size_t i = 0; i < nodes.size(); ++i) {
        parts.node_ids.push_back("n" + std::to_string(i));
        parts.type_ids.push_back("test");
        parts.generations.push_back(1);
        parts.output_buffer_ids.push_back({i});
    }
    parts.order = *audio_engine::graph::topological_sort(nodes.size(), parts.edges);
    parts.pool = audio_engine::graph::BufferPool(nodes.size(), block);
    parts.nodes = std::move(nodes);
    return DspGraph(std::move(parts));
}

// One probe ("n0") as the output; `probe` (when given) points at it.
inline DspGraph probe_graph(float value, std::size_t block, Probe** probe = nullptr) {
    std::vector<std::unique_ptr<DspNode>> nodes;
    nodes.push_back(std::make_unique<Probe>(value));
    if (probe) *probe = static_cast<Probe*>(nodes[0].get());
    return make_graph(std::move(nodes), {}, 0, block);
}

// Fades, automation positions and ramps depend on block boundaries: fixed sizes and one drawn
// at random per run (gtest prints it on failure).
inline std::vector<std::size_t> block_sizes() {
    std::mt19937 rng{std::random_device{}()};
    return {1, 5, 64, 256, std::uniform_int_distribution<std::size_t>(2, 300)(rng)};
}

}  // namespace test_nodes
