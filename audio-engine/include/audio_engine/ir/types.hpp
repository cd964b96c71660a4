// audio_engine::ir::types — declarations of node types: their audio ports and controls.
//
// Plain values (deep copies, nothing shared). Built in code by the built-in and Faust node
// types, read from JSON inside "register_node_type", stored one per type by the registry.
// Reading enforces only the JSON shape; ports are matched by name and used by position, and
// `channels` and `rate` do not change how a port or control is treated.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "support/json.hpp"

namespace audio_engine::ir::types {

enum class Rate { Control = 0, Audio = 1 };
enum class ChannelLayout { Mono = 0, Stereo = 1 };

struct PortDecl {
    std::string name;
    ChannelLayout channels = ChannelLayout::Mono;
    bool operator==(const PortDecl&) const = default;
};

struct ControlDecl {
    std::string name;
    std::pair<float, float> range;  // (min, max), documented only
    float default_value = 0.0f;     // "default" in JSON
    Rate rate = Rate::Control;
    std::optional<std::string> unit;
    bool operator==(const ControlDecl&) const = default;
};

struct NodeTypeDecl {
    std::string type_id;
    std::vector<PortDecl> audio_inputs;   // position = input index
    std::vector<PortDecl> audio_outputs;  // position = output index
    std::vector<ControlDecl> controls;
    bool operator==(const NodeTypeDecl&) const = default;
};

// Readers: the keyed (object) or positional (array) form of each record; the enums from their
// lower-case names or a one-key object. The first error ends reading and leaves `out` as it was.
support::json::Status read_json(support::json::Element e, Rate& out);
support::json::Status read_json(support::json::Element e, ChannelLayout& out);
support::json::Status read_json(support::json::Element e, PortDecl& out);
support::json::Status read_json(support::json::Element e, ControlDecl& out);
support::json::Status read_json(support::json::Element e, NodeTypeDecl& out);
// The fields of a NodeTypeDecl from a record's content, e.g. the members beside a union's tag.
support::json::Status read_fields_of(const support::json::Content& content, NodeTypeDecl& out);

// Single-line debug forms for log lines, e.g.
// `PortDecl { name: "in", channels: Mono }`.
// The debug form as a string, for any type with an append_debug.
template <class T>
std::string debug(const T& value) {
    std::string out;
    append_debug(out, value);
    return out;
}
void append_debug(std::string& out, Rate value);
void append_debug(std::string& out, ChannelLayout value);
void append_debug(std::string& out, const PortDecl& value);
void append_debug(std::string& out, const ControlDecl& value);
void append_debug(std::string& out, const NodeTypeDecl& value);

}  // namespace audio_engine::ir::types
