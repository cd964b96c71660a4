// audio_engine::graph — a compiled, runnable audio graph.
//
// The compiler builds a DspGraph on the control thread (all nodes, buffers and maps are made
// there); the graph swapper owns it on the audio thread and renders it block by block with
// `process`, which is a flat loop over the precomputed order and allocates, locks and logs
// nothing. A retired graph travels back to the control thread, where the next compile takes
// its nodes, with their inner state, through `into_reusable_nodes`. A graph has one owner at
// a time and is moved whole between threads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "audio_engine/graph/node.hpp"

namespace audio_engine::graph {

using node::DspNode;
using node::NodeId;

// One buffer per node output, each `block_size` samples; never fewer than one buffer.
struct BufferPool {
    std::vector<std::vector<float>> buffers;
    std::size_t block_size = 0;

    BufferPool() = default;
    BufferPool(std::size_t count, std::size_t block_size);
};

// A resolved connection: source node and output port, destination node and input port.
struct Edge {
    NodeId from;
    std::size_t from_port;
    NodeId to;
    std::size_t to_port;
    bool operator==(const Edge&) const = default;
};

// A node of a retired graph, offered to the next compile.
struct ReusableNode {
    std::string type_id;
    std::uint64_t generation = 0;
    std::unique_ptr<DspNode> node;
};

// A pool buffer feeding an input port, as the graph keeps it for rendering: its samples and
// whether its node vouched for them being finite in this block.
struct InputSource {
    const float* data;
    const char* vouched;
};

// What the compiler hands to the graph: parallel per-node lists and the resolved layout.
struct GraphParts {
    std::vector<std::unique_ptr<DspNode>> nodes;
    std::vector<std::string> node_ids;
    std::vector<std::string> type_ids;
    std::vector<std::uint64_t> generations;
    std::vector<Edge> edges;
    std::vector<NodeId> order;  // every node exactly once
    std::optional<NodeId> output_node;
    BufferPool pool;
    std::vector<std::vector<std::size_t>> output_buffer_ids;  // per node, one per output
};

class DspGraph {
public:
    // Takes the compiler's parts and adds the input map and the scratch buffers.
    explicit DspGraph(GraphParts parts);
    // Out of line: inlined into each move of a swap command, GCC 14 takes the members of a graph
    // that the command does not hold for maybe uninitialised (-Wmaybe-uninitialized).
    DspGraph(DspGraph&&) noexcept;
    DspGraph& operator=(DspGraph&&) noexcept;

    // Renders one block into `out` (at most block-size samples; the rest of a longer `out`
    // and all of it when there is no output node are left as they were).
    void process(std::span<float> out);

    // Forwards a control to the first node with that id; an unknown id builds an error text,
    // so the audio thread goes through `find` and `node` instead.
    node::ParamResult set_param(std::string_view node_id, std::string_view control, float value);
    // The first node with that id, without building any text.
    std::optional<NodeId> find(std::string_view node_id) const;
    DspNode& node(NodeId id) { return *parts_.nodes[id]; }

    // Consumes the graph: its nodes by id, with their type ids and generations.
    std::unordered_map<std::string, ReusableNode> into_reusable_nodes() &&;

    std::size_t node_count() const { return parts_.nodes.size(); }
    std::size_t block_size() const { return parts_.pool.block_size; }
    const std::vector<NodeId>& order() const { return parts_.order; }
    const std::vector<Edge>& edges() const { return parts_.edges; }
    std::optional<NodeId> output_node() const { return parts_.output_node; }
    const BufferPool& pool() const { return parts_.pool; }

private:
    // An input port with connections and its sources, in edge order.
    struct Port {
        std::size_t port;
        const InputSource* sources;
        std::size_t count;
    };

    // One node's share of a block, kept in processing order so that a block walks one list.
    struct Step {
        DspNode* node;
        const Port* first_port;
        const Port* last_port;
        std::span<const std::span<float>> outputs;  // its pool buffers
        const std::size_t* output_ids;              // their pool indices
        bool clear;                                 // it may leave output samples unwritten
    };

    std::span<const float> gather(const Port& port);

    GraphParts parts_;
    std::vector<Step> steps_;
    std::vector<InputSource> sources_;
    std::vector<Port> ports_;
    std::vector<std::span<float>> output_views_;  // every node's pool buffers, node by node
    std::vector<std::size_t> output_ids_;         // their pool indices
    std::vector<std::vector<float>> scratch_in_;
    std::vector<std::vector<float>> scratch_out_;
    std::vector<float> zeros_;  // what an unconnected input reads
    // The blocks handed to the nodes: scratch buffers, or a source read in place.
    std::vector<std::span<const float>> in_views_;
    std::vector<std::span<float>> out_views_;
    std::vector<char> finite_;  // per pool buffer: its node vouched for this block
};

// Kahn's method with a last-in first-out ready list: independent nodes run from the highest
// index down. Fails with "graph contains a cycle".
std::expected<std::vector<NodeId>, std::string> topological_sort(std::size_t node_count,
                                                                 std::span<const Edge> edges);

}  // namespace audio_engine::graph
