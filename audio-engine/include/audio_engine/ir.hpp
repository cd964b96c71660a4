// audio_engine::ir — a graph as data: node instances, audio connections and exposed controls.
//
// Plain values (deep copies). Read from JSON inside "load_graph", stored and edited by the
// engine controller on the control thread, compiled into a runnable graph by the compiler;
// lists of nodes and connections are written back as JSON in status replies. Nothing is
// checked while reading: unknown ids, ports and types are the compiler's to find.
#pragma once

#include <map>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "audio_engine/ir/types.hpp"
#include "support/json.hpp"

namespace audio_engine::ir {

struct NodeInstance {
    std::string id;                         // unique within a graph (checked by the compiler)
    std::string type_id;                    // a registry key
    std::map<std::string, float> controls;  // initial control values
    bool operator==(const NodeInstance&) const = default;
};

struct ConnectionIr {
    std::string from_node;
    std::string from_port;  // one of the source type's audio_outputs
    std::string to_node;
    std::string to_port;  // one of the destination type's audio_inputs
    bool operator==(const ConnectionIr&) const = default;
};

struct GraphIr {
    std::vector<NodeInstance> nodes;  // position = index in the compiled graph
    std::vector<ConnectionIr> connections;
    // label -> (node id, control name)
    std::map<std::string, std::pair<std::string, std::string>> exposed_controls;
    bool operator==(const GraphIr&) const = default;
};

// Readers: the keyed (object) or positional (array) form; `exposed_controls` and `controls`
// may be left off. The first error ends reading and leaves `out` as it was.
support::json::Status read_json(support::json::Element e, GraphIr& out);
support::json::Status read_json(support::json::Element e, NodeInstance& out);
support::json::Status read_json(support::json::Element e, ConnectionIr& out);
// The fields of a GraphIr from a record's content, e.g. the members beside a union's tag.
support::json::Status read_fields_of(const support::json::Content& content, GraphIr& out);

// Compact JSON of node and connection lists, as status replies carry them: keys in declaration
// order, control values as the shortest float text (null when not finite).
std::string nodes_json(std::span<const NodeInstance> nodes);
std::string connections_json(std::span<const ConnectionIr> connections);
void append_nodes_json(std::string& out, std::span<const NodeInstance> nodes);
void append_connections_json(std::string& out, std::span<const ConnectionIr> connections);
void append_json(std::string& out, const NodeInstance& node);
void append_json(std::string& out, const ConnectionIr& connection);

// Single-line debug forms for log lines, e.g.
// `NodeInstance { id: "osc", type_id: "oscillator", controls: {"freq": 440.0} }`.
using types::debug;
void append_debug(std::string& out, const GraphIr& value);
void append_debug(std::string& out, const NodeInstance& value);
void append_debug(std::string& out, const ConnectionIr& value);

}  // namespace audio_engine::ir
