// The JSON writing of replies, driven by the field declarations below, and the status reply.
#include "support/record.hpp"
#include "vorla_engine/ipc.hpp"

namespace vorla_engine::ipc {

namespace record = support::record;

constexpr auto record_of(record::Type<SlotInfo>) {
    using namespace record;
    return fields<SlotInfo>("SlotInfo", field("name", &SlotInfo::name),
                            field("playing", &SlotInfo::playing));
}

constexpr auto record_of(record::Type<TransportInfo>) {
    using namespace record;
    return fields<TransportInfo>("TransportInfo", field("bpm", &TransportInfo::bpm),
                                 field("meter", &TransportInfo::meter),
                                 field("master", &TransportInfo::master));
}

namespace response {
constexpr auto record_of(record::Type<Ok>) {
    return record::fields<Ok>("Ok", record::field("msg", &Ok::msg));
}
constexpr auto record_of(record::Type<Error>) {
    return record::fields<Error>("Error", record::field("msg", &Error::msg));
}
constexpr auto record_of(record::Type<Pong>) {
    return record::fields<Pong>("Pong");
}
constexpr auto record_of(record::Type<NodeTypes>) {
    return record::fields<NodeTypes>("NodeTypes", record::field("types", &NodeTypes::types));
}
constexpr auto record_of(record::Type<State>) {
    using namespace record;
    return fields<State>("State", field("nodes", &State::nodes),
                         field("connections", &State::connections),
                         field("exposed_controls", &State::exposed_controls),
                         field("control_values", &State::control_values),
                         field("slots", &State::slots), field("transport", &State::transport));
}
}  // namespace response

constexpr auto record_of(record::Type<IpcResponse>) {
    return record::tagged<IpcResponse>("IpcResponse", "status", support::json::TagIndex::Refused,
                                       {"Ok", "Error", "Pong", "NodeTypes", "State"});
}

void append_json(std::string& out, const IpcResponse& response) {
    record::json_form(out, response);
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
    return response::State{std::move(snapshot.nodes),
                           std::move(snapshot.connections),
                           std::move(snapshot.exposed_controls),
                           std::move(snapshot.control_values),
                           std::move(slots),
                           TransportInfo{bpm, meter, master}};
}

}  // namespace vorla_engine::ipc
