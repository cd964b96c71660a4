// A probe node, a graph builder, the block sizes that graph tests run over and a heap counter.
#pragma once

#include <cstddef>
#include <functional>
#include <limits>
#include <memory>
#include <optional>
#include <random>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "audio_engine/graph.hpp"

namespace test_nodes {

using audio_engine::graph::DspGraph;
using audio_engine::graph::Edge;
using audio_engine::graph::node::DspNode;
using audio_engine::graph::node::ParamError;
using audio_engine::graph::node::ParamResult;

// Allocations and releases (operator new/delete and the malloc family) made on this thread
// while `f` runs.
struct HeapUse {
    std::size_t allocations = 0;
    std::size_t releases = 0;
    bool operator==(const HeapUse&) const = default;
};
HeapUse heap_use(const std::function<void()>& f);

// Writes `value` plus its input (when it has one) into its output, unless `write` is off;
// controls "value", recorded in `seen` when `record` is on.
class Probe final : public DspNode {
public:
    explicit Probe(float v, std::size_t inputs = 0) : value(v), inputs_(inputs) {}
    void process(std::span<const std::span<const float>> in,
                 std::span<const std::span<float>> out) override {
        ++blocks;
        volatile float tiny = std::numeric_limits<float>::min();
        flushed = tiny * 0.5f == 0.0f;  // denormals flushed while this block runs
        if (!write || out.empty()) return;
        for (std::size_t i = 0; i < out[0].size(); ++i)
            out[0][i] = value + (in.empty() ? 0.0f : in[0][i]);
    }
    std::size_t num_inputs() const override { return inputs_; }
    std::size_t num_outputs() const override { return 1; }
    ParamResult set_param(std::string_view name, float v) override {
        if (name == "gate") gate = v;
        if (name == "gate") return {};
        if (name != "value") return std::unexpected(ParamError::not_found(std::string(name)));
        value = v;
        if (record) seen.push_back(v);
        return {};
    }
    void reset(std::uint32_t) override {}

    float value;
    float gate = 0.0f;
    bool flushed = false;
    bool write = true;
    bool record = false;
    int blocks = 0;
    std::vector<float> seen;

private:
    std::size_t inputs_;
};

// Laid out as the compiler does: node i is "n<i>", one pool buffer per output.
inline DspGraph make_graph(std::vector<std::unique_ptr<DspNode>> nodes, std::vector<Edge> edges,
                           std::optional<std::size_t> output, std::size_t block) {
    using namespace audio_engine::graph;
    GraphParts parts;
    std::size_t next = 0;
    for (std::size_t i = 0; i < nodes.size(); ++i) {
        parts.node_ids.push_back("n" + std::to_string(i));
        parts.type_ids.push_back("test");
        parts.generations.push_back(1);
        parts.output_buffer_ids.push_back({next++});
    }
    parts.order = *topological_sort(nodes.size(), edges);
    parts.nodes = std::move(nodes);
    parts.edges = std::move(edges);
    parts.output_node = output;
    parts.pool = BufferPool(next, block);
    return DspGraph(std::move(parts));
}

// One probe ("n0") as the output; `probe` (if given) points at it.
inline DspGraph probe_graph(float value, std::size_t block, Probe** probe = nullptr) {
    auto p = std::make_unique<Probe>(value);
    if (probe) *probe = p.get();
    std::vector<std::unique_ptr<DspNode>> nodes;
    nodes.push_back(std::move(p));
    return make_graph(std::move(nodes), {}, 0, block);
}

// Fades, automation positions and ramps depend on block boundaries: fixed sizes and one drawn
// per run (gtest prints it on failure).
inline std::vector<std::size_t> block_sizes() {
    return {1, 5, 64, 256, std::uniform_int_distribution<std::size_t>(2, 300)(
                               *std::make_unique<std::mt19937>(std::random_device{}()))};
}

}  // namespace test_nodes
