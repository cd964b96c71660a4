// pattern_engine::ipc::protocol — the pattern commands a client sends on the IPC socket.
//
// Wire form: one JSON object whose key "cmd" names the command, its fields beside it
// ({"cmd": "SetBpm", "bpm": 90}), or an array of the name and the field values in order
// (["SetBpm", 90]). Decoding checks only the JSON shape and field types: bpm and beats are
// checked when applied, pattern trees when compiled, and any slot name (even "") is accepted.
// Keys that name no field are ignored; a missing, repeated or mistyped field, an unknown or
// non-text "cmd", or any bad element of a Batch fails the whole message.
//
// Decoded on the IPC thread, one request at a time; nothing here keeps state.
#pragma once

#include <expected>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "pattern_engine/ir.hpp"
#include "support/json.hpp"

namespace pattern_engine::ipc::protocol {

struct ClientMessage;

struct SetPattern {
    std::string slot;
    ir::IrNode pattern;
    bool operator==(const SetPattern&) const = default;
};
struct SetPatternFromZero {
    std::string slot;
    ir::IrNode pattern;
    bool operator==(const SetPatternFromZero&) const = default;
};
struct Hush {
    std::string slot;
    bool operator==(const Hush&) const = default;
};
struct HushAll {
    bool operator==(const HushAll&) const = default;
};
struct SetBpm {
    double bpm = 0.0;
    bool operator==(const SetBpm&) const = default;
};
struct SetBeatsPerCycle {
    double beats = 0.0;
    bool operator==(const SetBeatsPerCycle&) const = default;
};
struct Ping {
    bool operator==(const Ping&) const = default;
};
// Taken apart by the IPC server; each element is a complete command with its own "cmd".
struct Batch {
    std::vector<ClientMessage> commands;
    bool operator==(const Batch&) const;
};

// Kinds in wire order; only the names are accepted as the tag, not the index.
struct ClientMessage : std::variant<SetPattern, SetPatternFromZero, Hush, HushAll, SetBpm,
                                    SetBeatsPerCycle, Ping, Batch> {
    using variant::variant;
};

inline bool Batch::operator==(const Batch& o) const {
    return commands == o.commands;
}

support::json::Status read_json(support::json::Element e, ClientMessage& out);

// Parses one request line and reads a message from it; the error text is for logs only.
// A message inside an already parsed value reads with support::json::read_as<ClientMessage>.
std::expected<ClientMessage, support::json::ReadError> decode(support::json::Parser& parser,
                                                              std::string_view line);

}  // namespace pattern_engine::ipc::protocol
