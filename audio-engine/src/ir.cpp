#include "audio_engine/ir.hpp"

#include "audio_engine/ir/types.hpp"
#include "support/debug.hpp"
#include "support/json_write.hpp"
#include "support/number.hpp"

namespace audio_engine::ir {

namespace json = support::json;
using support::debug::append_quoted;
using support::debug::append_sequence;
using types::detail::read_fresh;

namespace {}  // namespace

json::Status read_json(json::Element e, GraphIr& out) {
    auto content = json::Content::of(e, "struct GraphIr");
    if (!content) return std::unexpected(std::move(content.error()));
    return read_fields_of(*content, out);
}

json::Status read_fields_of(const json::Content& content, GraphIr& out) {
    return read_fresh(out, [&](GraphIr& v) {
        return json::read_fields(
            content, "struct GraphIr",
            {json::required("nodes", v.nodes), json::required("connections", v.connections),
             json::defaulted("exposed_controls", v.exposed_controls)});
    });
}

json::Status read_json(json::Element e, NodeInstance& out) {
    return read_fresh(out, [&](NodeInstance& v) {
        return json::read_record(e, "struct NodeInstance",
                                 {json::required("id", v.id), json::required("type_id", v.type_id),
                                  json::defaulted("controls", v.controls)});
    });
}

json::Status read_json(json::Element e, ConnectionIr& out) {
    return read_fresh(out, [&](ConnectionIr& v) {
        return json::read_record(
            e, "struct ConnectionIr",
            {json::required("from_node", v.from_node), json::required("from_port", v.from_port),
             json::required("to_node", v.to_node), json::required("to_port", v.to_port)});
    });
}

void append_json(std::string& out, const NodeInstance& node) {
    out += '{';
    json::append_key(out, "id");
    json::append_string(out, node.id);
    out += ',';
    json::append_key(out, "type_id");
    json::append_string(out, node.type_id);
    out += ',';
    json::append_key(out, "controls");
    json::append_sequence(
        out, '{', node.controls,
        [](std::string& o, const auto& control) {
            json::append_key(o, control.first);
            json::append_number(o, control.second);
        },
        '}');
    out += '}';
}

void append_json(std::string& out, const ConnectionIr& connection) {
    out += '{';
    json::append_key(out, "from_node");
    json::append_string(out, connection.from_node);
    out += ',';
    json::append_key(out, "from_port");
    json::append_string(out, connection.from_port);
    out += ',';
    json::append_key(out, "to_node");
    json::append_string(out, connection.to_node);
    out += ',';
    json::append_key(out, "to_port");
    json::append_string(out, connection.to_port);
    out += '}';
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
    out += "NodeInstance { id: ";
    append_quoted(out, value.id);
    out += ", type_id: ";
    append_quoted(out, value.type_id);
    out += ", controls: ";
    append_sequence(
        out, '{', value.controls,
        [](std::string& o, const auto& control) {
            append_quoted(o, control.first);
            o += ": ";
            support::number::append_debug(o, control.second);
        },
        '}');
    out += " }";
}

void append_debug(std::string& out, const ConnectionIr& value) {
    out += "ConnectionIr { from_node: ";
    append_quoted(out, value.from_node);
    out += ", from_port: ";
    append_quoted(out, value.from_port);
    out += ", to_node: ";
    append_quoted(out, value.to_node);
    out += ", to_port: ";
    append_quoted(out, value.to_port);
    out += " }";
}

void append_debug(std::string& out, const GraphIr& value) {
    auto item = [](std::string& o, const auto& v) { append_debug(o, v); };
    out += "GraphIr { nodes: ";
    append_sequence(out, '[', value.nodes, item, ']');
    out += ", connections: ";
    append_sequence(out, '[', value.connections, item, ']');
    out += ", exposed_controls: ";
    append_sequence(
        out, '{', value.exposed_controls,
        [](std::string& o, const auto& label) {
            append_quoted(o, label.first);
            o += ": (";
            append_quoted(o, label.second.first);
            o += ", ";
            append_quoted(o, label.second.second);
            o += ')';
        },
        '}');
    out += " }";
}

}  // namespace audio_engine::ir
