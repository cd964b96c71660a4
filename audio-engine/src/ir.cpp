#include "audio_engine/ir.hpp"

#include "support/record.hpp"

namespace audio_engine::ir {

namespace json = support::json;
namespace record = support::record;

constexpr auto record_of(record::Type<NodeInstance>) {
    using namespace record;
    return fields<NodeInstance>("NodeInstance", field("id", &NodeInstance::id),
                                field("type_id", &NodeInstance::type_id),
                                defaulted("controls", &NodeInstance::controls));
}

constexpr auto record_of(record::Type<ConnectionIr>) {
    using namespace record;
    return fields<ConnectionIr>("ConnectionIr", field("from_node", &ConnectionIr::from_node),
                                field("from_port", &ConnectionIr::from_port),
                                field("to_node", &ConnectionIr::to_node),
                                field("to_port", &ConnectionIr::to_port));
}

constexpr auto record_of(record::Type<GraphIr>) {
    using namespace record;
    return fields<GraphIr>("GraphIr", field("nodes", &GraphIr::nodes),
                           field("connections", &GraphIr::connections),
                           defaulted("exposed_controls", &GraphIr::exposed_controls));
}

json::Status read_json(json::Element e, GraphIr& out) {
    return record::read_fresh(e, out);
}
json::Status read_fields_of(const json::Content& content, GraphIr& out) {
    return record::read_fields_fresh(content, out);
}
json::Status read_json(json::Element e, NodeInstance& out) {
    return record::read_fresh(e, out);
}
json::Status read_json(json::Element e, ConnectionIr& out) {
    return record::read_fresh(e, out);
}

void append_json(std::string& out, const NodeInstance& node) {
    record::json_form(out, node);
}
void append_json(std::string& out, const ConnectionIr& connection) {
    record::json_form(out, connection);
}

void append_nodes_json(std::string& out, std::span<const NodeInstance> nodes) {
    json::append_sequence(
        out, '[', nodes, [](std::string& o, const NodeInstance& n) { append_json(o, n); }, ']');
}

void append_connections_json(std::string& out, std::span<const ConnectionIr> connections) {
    json::append_sequence(
        out, '[', connections, [](std::string& o, const ConnectionIr& c) { append_json(o, c); },
        ']');
}

std::string nodes_json(std::span<const NodeInstance> nodes) {
    std::string out;
    append_nodes_json(out, nodes);
    return out;
}

std::string connections_json(std::span<const ConnectionIr> connections) {
    std::string out;
    append_connections_json(out, connections);
    return out;
}

void append_debug(std::string& out, const NodeInstance& value) {
    record::debug_form(out, value);
}
void append_debug(std::string& out, const ConnectionIr& value) {
    record::debug_form(out, value);
}
void append_debug(std::string& out, const GraphIr& value) {
    record::debug_form(out, value);
}

}  // namespace audio_engine::ir
