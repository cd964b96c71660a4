// The JSON writing of replies and the status reply.
#include <type_traits>

#include "support/json_write.hpp"
#include "vorla_engine/ipc.hpp"

namespace vorla_engine::ipc {

namespace json = support::json;

namespace {

constexpr std::string_view kStatus[] = {"Ok", "Error", "Pong", "NodeTypes", "State"};

void append_text(std::string& out, const std::string& text) {
    json::append_string(out, text);
}

template <class Map, class Value>
void append_object(std::string& out, const Map& map, Value&& value) {
    json::append_sequence(out, '{', map, [&](std::string& o, const auto& member) {
        json::append_key(o, member.first);
        value(o, member.second);
    }, '}');
}

void append_state(std::string& out, const response::State& state) {
    json::append_key(out, "nodes");
    audio_engine::ir::append_nodes_json(out, state.nodes);
    out += ',';
    json::append_key(out, "connections");
    audio_engine::ir::append_connections_json(out, state.connections);
    out += ',';
    json::append_key(out, "exposed_controls");
    append_object(out, state.exposed_controls, [](std::string& o, const auto& target) {
        o += '[';
        append_text(o, target.first);
        o += ',';
        append_text(o, target.second);
        o += ']';
    });
    out += ',';
    json::append_key(out, "control_values");
    append_object(out, state.control_values,
                  [](std::string& o, float value) { json::append_number(o, value); });
    out += ',';
    json::append_key(out, "slots");
    json::append_sequence(out, '[', state.slots, [](std::string& o, const SlotInfo& slot) {
        o += '{';
        json::append_key(o, "name");
        append_text(o, slot.name);
        o += ',';
        json::append_key(o, "playing");
        o += slot.playing ? "true" : "false";
        o += '}';
    }, ']');
    out += ',';
    json::append_key(out, "transport");
    const std::pair<std::string_view, double> transport[] = {
        {"bpm", state.transport.bpm}, {"meter", state.transport.meter},
        {"master", state.transport.master}};
    append_object(out, transport, [](std::string& o, double value) { json::append_number(o, value); });
}

}  // namespace

void append_json(std::string& out, const IpcResponse& response) {
    out += '{';
    json::append_key(out, "status");
    json::append_string(out, kStatus[response.index()]);
    std::visit([&](const auto& r) {
        using R = std::decay_t<decltype(r)>;
        if constexpr (std::is_same_v<R, response::Ok> || std::is_same_v<R, response::Error>) {
            out += ',';
            json::append_key(out, "msg");
            append_text(out, r.msg);
        } else if constexpr (std::is_same_v<R, response::NodeTypes>) {
            out += ',';
            json::append_key(out, "types");
            json::append_sequence(out, '[', r.types, append_text, ']');
        } else if constexpr (std::is_same_v<R, response::State>) {
            out += ',';
            append_state(out, r);
        }
    }, static_cast<const IpcResponse::variant&>(response));
    out += '}';
}

void append_json_line(std::string& out, const IpcResponse& response) {
    append_json(out, response);
    out += '\n';
}

std::string json_line(const IpcResponse& response) {
    std::string out;
    append_json_line(out, response);
    return out;
}

IpcResponse build_state_response(audio_engine::engine::EngineSnapshot snapshot,
                                 std::vector<SlotInfo> slots, double bpm, double meter,
                                 double master) {
    return response::State{std::move(snapshot.nodes), std::move(snapshot.connections),
                           std::move(snapshot.exposed_controls),
                           std::move(snapshot.control_values), std::move(slots),
                           TransportInfo{bpm, meter, master}};
}

}  // namespace vorla_engine::ipc
