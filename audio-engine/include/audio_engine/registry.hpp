// audio_engine::registry — node types by type id: declaration, factory and generation.
//
// Owned by the engine controller and used on the control thread only (no lock). Types are
// only ever added or re-declared, never removed. Every successful declaration raises the
// type's generation, which is how the compiler knows a running node of that type is stale.
#pragma once

#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "audio_engine/graph/node.hpp"
#include "audio_engine/ir/types.hpp"

namespace audio_engine::registry {

using graph::node::DspNode;
using graph::node::NodeFactory;
using ir::types::NodeTypeDecl;

struct RegistryError {
    enum class Kind { NotFound, AlreadyRegistered, CreationFailed };

    Kind kind;
    std::string text;  // the type id, or the factory's error text

    // "node type not found: {}" / "node type already registered: {}" /
    // "node creation failed: {}"
    std::string display() const;
    bool operator==(const RegistryError&) const = default;
};

class NodeRegistry {
public:
    // Adds a new type ("register"; renamed since `register` is a C++ keyword). Fails with
    // AlreadyRegistered when the id is declared; both arguments are consumed either way.
    std::expected<void, RegistryError> register_type(NodeTypeDecl decl,
                                                     std::unique_ptr<NodeFactory> factory);
    // Adds or replaces a declaration; factories are not touched.
    void register_type_only(NodeTypeDecl decl);
    // Replaces declaration and factory of a declared type; NotFound otherwise.
    std::expected<void, RegistryError> reregister(NodeTypeDecl decl,
                                                  std::unique_ptr<NodeFactory> factory);

    // A copy of the declaration, or none.
    std::optional<NodeTypeDecl> get_type(std::string_view type_id) const;
    // The stored declaration, or null (for readers that need no copy).
    const NodeTypeDecl* declaration(std::string_view type_id) const;
    // 0 for a type never declared.
    std::uint64_t generation(std::string_view type_id) const;
    // Ids of all declared types, in the map's order.
    std::vector<std::string> type_ids() const;

    std::expected<std::unique_ptr<DspNode>, RegistryError> create_node(
        std::string_view type_id, std::uint32_t sample_rate, std::size_t block_size) const;

private:
    std::unordered_map<std::string, NodeTypeDecl> declarations_;
    std::unordered_map<std::string, std::unique_ptr<NodeFactory>> factories_;
    std::unordered_map<std::string, std::uint64_t> generations_;
};

}  // namespace audio_engine::registry
