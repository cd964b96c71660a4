// audio_engine::graph::compiler — turns a graph description into a runnable DspGraph.
//
// Runs on the control thread only (called by the engine controller's recompile). All
// allocation of a graph happens here, never on the audio thread. Node instances of the
// previous graph (the newest one the audio thread handed back) are reused when their id, type
// and type generation are unchanged, with their state; nodes the host built itself (the audio
// input) are handed in by id and taken out of the injected map when a graph uses them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>

#include "audio_engine/graph.hpp"
#include "audio_engine/ir.hpp"
#include "audio_engine/registry.hpp"

namespace audio_engine::graph::compiler {

struct CompileError {
    enum class Kind { Registry, UnknownNode, UnknownPort, DuplicateNode, Cycle };

    Kind kind;
    registry::RegistryError registry{};  // Registry
    std::string node;                    // UnknownNode, UnknownPort, DuplicateNode
    std::string port;                    // UnknownPort

    // "registry error: {}", "unknown node: {}", "unknown port '{}' on node '{}'",
    // "duplicate node id: {}", "graph contains a cycle"
    std::string display() const;
};

using InjectedNodes = std::unordered_map<std::string, std::unique_ptr<DspNode>>;

// The previous graph is always consumed; injected nodes that a node of the description uses
// leave the map, also when the compile fails later.
std::expected<DspGraph, CompileError> compile_with_reuse_and_injected(
    const ir::GraphIr& graph, const registry::NodeRegistry& registry,
    std::optional<DspGraph> previous, InjectedNodes& injected, std::uint32_t sample_rate,
    std::size_t block_size);

}  // namespace audio_engine::graph::compiler
