// Small nodes and an allocation counter for graph tests.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "audio_engine/graph.hpp"
#include "audio_engine/graph/node.hpp"

namespace test_nodes {

using audio_engine::graph::node::DspNode;
using audio_engine::graph::node::ParamError;
using audio_engine::graph::node::ParamResult;

// Number of heap allocations (operator new) made on this thread while `f` runs.
std::size_t count_allocations(const std::function<void()>& f);

// No inputs; writes `value` into its one output (unless `write` is off). Control "value".
class Constant final : public DspNode {
public:
    explicit Constant(float v) : value(v) {}
    void process(std::span<const std::span<const float>>,
                 std::span<const std::span<float>> outputs) override {
        ++blocks;
        if (!write || outputs.empty()) return;
        for (float& s : outputs[0])
            s = value;
    }
    std::size_t num_inputs() const override { return 0; }
    std::size_t num_outputs() const override { return 1; }
    ParamResult set_param(std::string_view name, float v) override {
        if (name != "value") return std::unexpected(ParamError::not_found(std::string(name)));
        value = v;
        return {};
    }
    void reset(std::uint32_t) override {}

    float value;
    bool write = true;
    int blocks = 0;
};

// One input copied to one output.
class Sum final : public DspNode {
public:
    void process(std::span<const std::span<const float>> inputs,
                 std::span<const std::span<float>> outputs) override {
        if (inputs.empty() || outputs.empty()) return;
        for (std::size_t i = 0; i < outputs[0].size() && i < inputs[0].size(); ++i) {
            outputs[0][i] = inputs[0][i];
        }
    }
    std::size_t num_inputs() const override { return 1; }
    std::size_t num_outputs() const override { return 1; }
    ParamResult set_param(std::string_view name, float) override {
        return std::unexpected(ParamError::not_found(std::string(name)));
    }
    void reset(std::uint32_t) override {}
};

// Records every value given to any control.
class Recorder final : public DspNode {
public:
    void process(std::span<const std::span<const float>>,
                 std::span<const std::span<float>>) override {}
    std::size_t num_inputs() const override { return 0; }
    std::size_t num_outputs() const override { return 1; }
    ParamResult set_param(std::string_view, float v) override {
        values.push_back(v);
        return {};
    }
    void reset(std::uint32_t) override {}

    std::vector<float> values;
};

template <class... N>
std::vector<std::unique_ptr<DspNode>> nodes(std::unique_ptr<N>... n) {
    std::vector<std::unique_ptr<DspNode>> v;
    (v.push_back(std::move(n)), ...);
    return v;
}

// Builds a graph the way the compiler lays it out: node i is "n<i>", one pool buffer per
// output, the processing order from the edges.
inline audio_engine::graph::DspGraph make_graph(std::vector<std::unique_ptr<DspNode>> nodes,
                                                std::vector<audio_engine::graph::Edge> edges,
                                                std::optional<audio_engine::graph::NodeId> output,
                                                std::size_t block = 8) {
    using namespace audio_engine::graph;
    GraphParts parts;
    std::size_t next = 0;
    for (std::size_t i = 0; i < nodes.size(); ++i) {
        parts.node_ids.push_back("n" + std::to_string(i));
        parts.type_ids.push_back("test");
        parts.generations.push_back(1);
        std::vector<std::size_t> ids(nodes[i]->num_outputs());
        for (auto& id : ids)
            id = next++;
        parts.output_buffer_ids.push_back(std::move(ids));
    }
    parts.order = *topological_sort(nodes.size(), edges);
    parts.nodes = std::move(nodes);
    parts.edges = std::move(edges);
    parts.output_node = output;
    parts.pool = BufferPool(next, block);
    return DspGraph(std::move(parts));
}

// One Constant node ("n0") as the output.
inline audio_engine::graph::DspGraph constant_graph(float value, std::size_t block = 8) {
    return make_graph(nodes(std::make_unique<Constant>(value)), {}, 0, block);
}

}  // namespace test_nodes
