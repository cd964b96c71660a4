#include "audio_engine/registry.hpp"

#include <utility>

namespace audio_engine::registry {

std::string RegistryError::display() const {
    switch (kind) {
        case Kind::NotFound:
            return "node type not found: " + text;
        case Kind::AlreadyRegistered:
            return "node type already registered: " + text;
        case Kind::CreationFailed:
            return "node creation failed: " + text;
    }
    return text;
}

namespace {

// A null factory stands for "no factory": it replaces the stored one by nothing.
void store_factory(std::unordered_map<std::string, std::unique_ptr<NodeFactory>>& factories,
                   const std::string& type_id, std::unique_ptr<NodeFactory> factory) {
    if (factory) {
        factories.insert_or_assign(type_id, std::move(factory));
    } else {
        factories.erase(type_id);
    }
}

}  // namespace

std::expected<void, RegistryError> NodeRegistry::register_type(
    NodeTypeDecl decl, std::unique_ptr<NodeFactory> factory) {
    if (declarations_.contains(decl.type_id)) {
        return std::unexpected(RegistryError{RegistryError::Kind::AlreadyRegistered, decl.type_id});
    }
    std::string id = decl.type_id;
    store_factory(factories_, id, std::move(factory));
    declarations_.emplace(id, std::move(decl));
    ++generations_[id];
    return {};
}

void NodeRegistry::register_type_only(NodeTypeDecl decl) {
    std::string id = decl.type_id;
    declarations_.insert_or_assign(id, std::move(decl));
    ++generations_[id];
}

std::expected<void, RegistryError> NodeRegistry::reregister(NodeTypeDecl decl,
                                                            std::unique_ptr<NodeFactory> factory) {
    auto it = declarations_.find(decl.type_id);
    if (it == declarations_.end()) {
        return std::unexpected(RegistryError{RegistryError::Kind::NotFound, decl.type_id});
    }
    std::string id = decl.type_id;
    it->second = std::move(decl);
    store_factory(factories_, id, std::move(factory));
    ++generations_[id];
    return {};
}

std::optional<NodeTypeDecl> NodeRegistry::get_type(std::string_view type_id) const {
    if (const NodeTypeDecl* decl = declaration(type_id)) return *decl;
    return std::nullopt;
}

const NodeTypeDecl* NodeRegistry::declaration(std::string_view type_id) const {
    auto it = declarations_.find(std::string(type_id));
    return it == declarations_.end() ? nullptr : &it->second;
}

std::uint64_t NodeRegistry::generation(std::string_view type_id) const {
    auto it = generations_.find(std::string(type_id));
    return it == generations_.end() ? 0 : it->second;
}

std::vector<std::string> NodeRegistry::type_ids() const {
    std::vector<std::string> ids;
    ids.reserve(declarations_.size());
    for (const auto& entry : declarations_)
        ids.push_back(entry.first);
    return ids;
}

std::expected<std::unique_ptr<DspNode>, RegistryError> NodeRegistry::create_node(
    std::string_view type_id, std::uint32_t sample_rate, std::size_t block_size) const {
    auto it = factories_.find(std::string(type_id));
    if (it == factories_.end() || !it->second) {
        return std::unexpected(RegistryError{RegistryError::Kind::NotFound, std::string(type_id)});
    }
    auto created = it->second->create(sample_rate, block_size);
    if (!created) {
        return std::unexpected(
            RegistryError{RegistryError::Kind::CreationFailed, std::move(created.error())});
    }
    return std::move(*created);
}

}  // namespace audio_engine::registry
