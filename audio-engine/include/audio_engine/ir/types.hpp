// audio_engine::ir::types — declarations of node types: their audio ports and controls.
//
// Plain values (deep copies, nothing shared). Built in code by the built-in and Faust node
// types, read from JSON inside "register_node_type", stored one per type by the registry.
// Reading enforces only the JSON shape; ports are matched by name and used by position, and
// `channels` and `rate` do not change how a port or control is treated.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

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

}  // namespace audio_engine::ir::types
