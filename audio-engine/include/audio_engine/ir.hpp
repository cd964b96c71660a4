// audio_engine::ir — a graph as data: node instances, audio connections and exposed controls.
//
// Plain values (deep copies). Read from JSON inside "load_graph", stored and edited by the
// engine controller on the control thread, compiled into a runnable graph by the compiler;
// lists of nodes and connections are written back as JSON in status replies. Nothing is
// checked while reading: unknown ids, ports and types are the compiler's to find.
#pragma once

#include <map>
#include <string>
#include <utility>
#include <vector>

namespace audio_engine::ir {

struct NodeInstance {
    std::string id;       // unique within a graph (checked by the compiler)
    std::string type_id;  // a registry key
    std::map<std::string, float> controls;  // initial control values
    bool operator==(const NodeInstance&) const = default;
};

struct ConnectionIr {
    std::string from_node;
    std::string from_port;  // one of the source type's audio_outputs
    std::string to_node;
    std::string to_port;    // one of the destination type's audio_inputs
    bool operator==(const ConnectionIr&) const = default;
};

struct GraphIr {
    std::vector<NodeInstance> nodes;  // position = index in the compiled graph
    std::vector<ConnectionIr> connections;
    // label -> (node id, control name)
    std::map<std::string, std::pair<std::string, std::string>> exposed_controls;
    bool operator==(const GraphIr&) const = default;
};

}  // namespace audio_engine::ir
