#include "audio_engine/graph/compiler.hpp"

#include <algorithm>
#include <string_view>

#include "support/log.hpp"

namespace audio_engine::graph::compiler {

namespace {

constexpr std::string_view target = "audio_engine::graph::compiler";
// Refused controls logged one by one per node and compile; the rest only as a count.
constexpr std::size_t kRefusalsLogged = 3;

std::expected<DspGraph, CompileError> fail(CompileError::Kind kind, std::string node = {},
                                           std::string port = {}) {
    return std::unexpected(CompileError{kind, {}, std::move(node), std::move(port)});
}

// Position of the first port with that name.
std::optional<std::size_t> port_index(const std::vector<ir::types::PortDecl>& ports,
                                      std::string_view name) {
    const auto it =
        std::find_if(ports.begin(), ports.end(), [name](const auto& p) { return p.name == name; });
    if (it == ports.end()) return std::nullopt;
    return static_cast<std::size_t>(it - ports.begin());
}

}  // namespace

std::string CompileError::display() const {
    switch (kind) {
        case Kind::Registry:
            return "registry error: " + registry.display();
        case Kind::UnknownNode:
            return "unknown node: " + node;
        case Kind::UnknownPort:
            return "unknown port '" + port + "' on node '" + node + "'";
        case Kind::DuplicateNode:
            return "duplicate node id: " + node;
        case Kind::Cycle:
            return "graph contains a cycle";
    }
    return {};
}

std::expected<DspGraph, CompileError> compile_with_reuse_and_injected(
    const ir::GraphIr& graph, const registry::NodeRegistry& registry,
    std::optional<DspGraph> previous, InjectedNodes& injected, std::uint32_t sample_rate,
    std::size_t block_size) {
    // 1. Ids, before anything is made or taken.
    std::unordered_map<std::string_view, NodeId> positions;
    for (NodeId i = 0; i < graph.nodes.size(); ++i) {
        if (!positions.emplace(graph.nodes[i].id, i).second) {
            return fail(CompileError::Kind::DuplicateNode, graph.nodes[i].id);
        }
    }

    // 2. The previous graph's nodes as reuse candidates.
    std::unordered_map<std::string, ReusableNode> pool;
    if (previous) pool = std::move(*previous).into_reusable_nodes();
    previous.reset();
    const std::size_t candidates = pool.size();

    // 3. One instance per node.
    GraphParts parts;
    std::size_t reused = 0;
    for (const ir::NodeInstance& n : graph.nodes) {
        const std::uint64_t generation = registry.generation(n.type_id);
        std::unique_ptr<DspNode> node;
        std::string_view source;
        if (auto it = injected.find(n.id); it != injected.end()) {
            node = std::move(it->second);
            injected.erase(it);
            source = "injected";
        } else if (auto candidate = pool.find(n.id); candidate != pool.end()) {
            ReusableNode r = std::move(candidate->second);
            pool.erase(candidate);
            if (r.type_id == n.type_id && r.generation == generation) {
                node = std::move(r.node);
                source = "reused";
                ++reused;
            } else {
                source = "fresh";
            }
        } else {
            source = "new";
        }
        if (!node) {
            auto made = registry.create_node(n.type_id, sample_rate, block_size);
            if (!made) {
                return std::unexpected(
                    CompileError{CompileError::Kind::Registry, std::move(made.error()), {}, {}});
            }
            node = std::move(*made);
        }
        // A stored graph is compiled again at every edit: a node with thousands of refused
        // controls logs a few of them and their count, not a flood per edit.
        std::size_t refused = 0;
        for (const auto& [name, value] : n.controls) {
            if (auto r = node->set_param(name, value); !r && ++refused <= kRefusalsLogged) {
                support::log::warn(target, "set_param on " + std::string(source) + " " + n.id +
                                               "/" + name + ": " + r.error().display());
            }
        }
        if (refused > kRefusalsLogged) {
            support::log::warn(target, "set_param on " + std::string(source) + " " + n.id + ": " +
                                           std::to_string(refused - kRefusalsLogged) +
                                           " more controls refused");
        }
        parts.nodes.push_back(std::move(node));
        parts.node_ids.push_back(n.id);
        parts.type_ids.push_back(n.type_id);
        parts.generations.push_back(generation);
    }
    support::log::debug(target, "compile_with_reuse: " + std::to_string(reused) + "/" +
                                    std::to_string(graph.nodes.size()) + " nodes reused (from " +
                                    std::to_string(candidates) + " reusable candidates)");

    // 5. Connections, resolved through the declared types.
    for (const ir::ConnectionIr& c : graph.connections) {
        const auto from = positions.find(c.from_node);
        if (from == positions.end()) return fail(CompileError::Kind::UnknownNode, c.from_node);
        const auto to = positions.find(c.to_node);
        if (to == positions.end()) return fail(CompileError::Kind::UnknownNode, c.to_node);
        const std::string& from_type = graph.nodes[from->second].type_id;
        const std::string& to_type = graph.nodes[to->second].type_id;
        const auto* from_decl = registry.declaration(from_type);
        if (!from_decl) return fail(CompileError::Kind::UnknownNode, from_type);
        const auto* to_decl = registry.declaration(to_type);
        if (!to_decl) return fail(CompileError::Kind::UnknownNode, to_type);
        const auto from_port = port_index(from_decl->audio_outputs, c.from_port);
        if (!from_port) return fail(CompileError::Kind::UnknownPort, c.from_node, c.from_port);
        const auto to_port = port_index(to_decl->audio_inputs, c.to_port);
        if (!to_port) return fail(CompileError::Kind::UnknownPort, c.to_node, c.to_port);
        parts.edges.push_back(Edge{from->second, *from_port, to->second, *to_port});
    }

    // 6. Order.
    auto order = topological_sort(graph.nodes.size(), parts.edges);
    if (!order) return fail(CompileError::Kind::Cycle);
    parts.order = std::move(*order);

    // 7. One pool buffer per output of each instance, in node order.
    std::size_t next = 0;
    for (const auto& node : parts.nodes) {
        std::vector<std::size_t> ids(node->num_outputs());
        for (auto& id : ids)
            id = next++;
        parts.output_buffer_ids.push_back(std::move(ids));
    }
    parts.pool = BufferPool(next, block_size);

    // 8. The first "dac" is the output.
    const auto dac = std::find_if(graph.nodes.begin(), graph.nodes.end(),
                                  [](const auto& n) { return n.type_id == "dac"; });
    if (dac != graph.nodes.end()) {
        parts.output_node = static_cast<NodeId>(dac - graph.nodes.begin());
    }

    // 9. Unclaimed candidates are released with `pool`, here on the control thread.
    return DspGraph(std::move(parts));
}

}  // namespace audio_engine::graph::compiler
