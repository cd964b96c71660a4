// audio_engine::protocol — the requests a client sends to the audio graph engine.
//
// Wire form: one JSON object whose key "type" names the kind in snake_case, anywhere among the
// kind's fields ({"type": "set_control", "label": "cutoff", "value": 0.5}), or an array of the
// name and the field values in order (["set_control", "cutoff", 0.5]). load_graph and
// register_node_type carry a GraphIr / NodeTypeDecl as the members beside "type"; ping and
// shutdown ignore any other members. Keys that name no field are skipped. Only the elements of
// a graph_batch may name their kind by index (0..16); any bad element fails the whole message.
//
// Decoded on the IPC thread, one request at a time; nothing here keeps state.
#pragma once

#include <cstdint>
#include <expected>
#include <map>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "audio_engine/ir.hpp"
#include "audio_engine/ir/types.hpp"
#include "support/json.hpp"

namespace audio_engine::protocol {

struct ClientMessage;

struct LoadGraph {
    ir::GraphIr graph;
    bool operator==(const LoadGraph&) const = default;
};
struct AddNode {
    std::string id;
    std::string type_id;
    std::map<std::string, float> controls;
    bool operator==(const AddNode&) const = default;
};
struct RemoveNode {
    std::string id;
    bool operator==(const RemoveNode&) const = default;
};
struct Connect {
    std::string from_node;
    std::string from_port;
    std::string to_node;
    std::string to_port;
    bool operator==(const Connect&) const = default;
};
struct Disconnect {
    std::string from_node;
    std::string from_port;
    std::string to_node;
    std::string to_port;
    bool operator==(const Disconnect&) const = default;
};
struct ExposeControl {
    std::string label;
    std::string node_id;
    std::string control_name;
    bool operator==(const ExposeControl&) const = default;
};
struct SetControl {
    std::string label;
    float value = 0.0f;
    bool operator==(const SetControl&) const = default;
};
struct RegisterNodeType {
    ir::types::NodeTypeDecl decl;
    bool operator==(const RegisterNodeType&) const = default;
};
struct SetMasterGain {
    float gain = 0.0f;
    bool operator==(const SetMasterGain&) const = default;
};
struct ListNodes {
    std::uint16_t reply_port = 0;
    bool operator==(const ListNodes&) const = default;
};
// Each element is a complete message with its own "type"; which kinds apply is the controller's.
struct GraphBatch {
    std::vector<ClientMessage> commands;
    bool operator==(const GraphBatch&) const;
};
struct Ping {
    bool operator==(const Ping&) const = default;
};
struct SetAutomation {
    std::string id;
    std::string label;
    std::string shape;  // any text; the controller picks a default curve for unknown ones
    float lo = 0.0f;
    float hi = 0.0f;
    double period_secs = 0.0;
    bool one_shot = false;
    bool operator==(const SetAutomation&) const = default;
};
struct ClearAutomation {
    std::string id;
    bool operator==(const ClearAutomation&) const = default;
};
struct StartInput {
    std::uint8_t channel = 0;
    bool operator==(const StartInput&) const = default;
};
struct MidiMap {
    std::uint8_t channel = 0;
    std::uint8_t cc = 0;
    std::string label;
    float lo = 0.0f;
    float hi = 0.0f;
    bool operator==(const MidiMap&) const = default;
};
struct Shutdown {
    bool operator==(const Shutdown&) const = default;
};

// Kinds in wire order: the variant index is the kind's number.
struct ClientMessage
    : std::variant<LoadGraph, AddNode, RemoveNode, Connect, Disconnect, ExposeControl, SetControl,
                   RegisterNodeType, SetMasterGain, ListNodes, GraphBatch, Ping, SetAutomation,
                   ClearAutomation, StartInput, MidiMap, Shutdown> {
    using variant::variant;
};

inline bool GraphBatch::operator==(const GraphBatch& o) const {
    return commands == o.commands;
}

// A top-level message: the kind only by name. The first error ends reading; `out` is left as
// it was then.
support::json::Status read_json(support::json::Element e, ClientMessage& out);

// Parses one request line and reads a message from it; the error is for logs and tests only.
std::expected<ClientMessage, support::json::ReadError> decode(support::json::Parser& parser,
                                                              std::string_view line);

// Single-line debug form for log lines, e.g. `SetControl { label: "cutoff", value: 0.5 }`.
void append_debug(std::string& out, const ClientMessage& message);
std::string debug(const ClientMessage& message);

}  // namespace audio_engine::protocol
