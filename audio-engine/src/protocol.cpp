#include "audio_engine/protocol.hpp"

#include "support/record.hpp"

namespace audio_engine::protocol {

namespace json = support::json;
namespace record = support::record;

namespace {

// The elements of graph_batch, the one place where a kind may be given by its number.
struct ReadBatch {
    json::Status operator()(json::Element e, std::vector<ClientMessage>& commands) const {
        if (!e.is_array()) return std::unexpected(json::invalid_type(e, "a sequence"));
        commands.clear();
        for (auto item : e.elements()) {
            // Nesting is bounded by the parser's depth limit, so the recursion is too.
            auto& message = commands.emplace_back(Ping{});
            if (auto st = record::read_tagged(item.value, message, json::TagIndex::Allowed); !st)
                return st;
        }
        return {};
    }
};

}  // namespace

constexpr auto record_of(record::Type<LoadGraph>) {
    return record::embedded("LoadGraph", &LoadGraph::graph);
}
constexpr auto record_of(record::Type<AddNode>) {
    using namespace record;
    return fields<AddNode>("AddNode", field("id", &AddNode::id),
                           field("type_id", &AddNode::type_id),
                           defaulted("controls", &AddNode::controls));
}
constexpr auto record_of(record::Type<RemoveNode>) {
    using namespace record;
    return fields<RemoveNode>("RemoveNode", field("id", &RemoveNode::id));
}
template <class Link>
constexpr auto link_fields(std::string_view name) {
    using namespace record;
    return fields<Link>(name, field("from_node", &Link::from_node),
                        field("from_port", &Link::from_port), field("to_node", &Link::to_node),
                        field("to_port", &Link::to_port));
}
constexpr auto record_of(record::Type<Connect>) {
    return link_fields<Connect>("Connect");
}
constexpr auto record_of(record::Type<Disconnect>) {
    return link_fields<Disconnect>("Disconnect");
}
constexpr auto record_of(record::Type<ExposeControl>) {
    using namespace record;
    return fields<ExposeControl>("ExposeControl", field("label", &ExposeControl::label),
                                 field("node_id", &ExposeControl::node_id),
                                 field("control_name", &ExposeControl::control_name));
}
constexpr auto record_of(record::Type<SetControl>) {
    using namespace record;
    return fields<SetControl>("SetControl", field("label", &SetControl::label),
                              field("value", &SetControl::value));
}
constexpr auto record_of(record::Type<RegisterNodeType>) {
    return record::embedded("RegisterNodeType", &RegisterNodeType::decl);
}
constexpr auto record_of(record::Type<SetMasterGain>) {
    using namespace record;
    return fields<SetMasterGain>("SetMasterGain", field("gain", &SetMasterGain::gain));
}
constexpr auto record_of(record::Type<ListNodes>) {
    using namespace record;
    return fields<ListNodes>("ListNodes", field("reply_port", &ListNodes::reply_port));
}
constexpr auto record_of(record::Type<GraphBatch>) {
    using namespace record;
    return fields<GraphBatch>("GraphBatch", field("commands", &GraphBatch::commands, ReadBatch{}));
}
constexpr auto record_of(record::Type<Ping>) {
    return record::fields<Ping>("Ping");
}
constexpr auto record_of(record::Type<SetAutomation>) {
    using namespace record;
    return fields<SetAutomation>(
        "SetAutomation", field("id", &SetAutomation::id), field("label", &SetAutomation::label),
        field("shape", &SetAutomation::shape), field("lo", &SetAutomation::lo),
        field("hi", &SetAutomation::hi), field("period_secs", &SetAutomation::period_secs),
        defaulted("one_shot", &SetAutomation::one_shot));
}
constexpr auto record_of(record::Type<ClearAutomation>) {
    using namespace record;
    return fields<ClearAutomation>("ClearAutomation", field("id", &ClearAutomation::id));
}
constexpr auto record_of(record::Type<StartInput>) {
    using namespace record;
    return fields<StartInput>("StartInput", defaulted("channel", &StartInput::channel));
}
constexpr auto record_of(record::Type<MidiMap>) {
    using namespace record;
    return fields<MidiMap>("MidiMap", field("channel", &MidiMap::channel),
                           field("cc", &MidiMap::cc), field("label", &MidiMap::label),
                           field("lo", &MidiMap::lo), field("hi", &MidiMap::hi));
}
constexpr auto record_of(record::Type<Shutdown>) {
    return record::fields<Shutdown>("Shutdown");
}
// An integer "type" names no kind at the top level: clients must spell the name.
constexpr auto record_of(record::Type<ClientMessage>) {
    return record::tagged<ClientMessage>(
        "ClientMessage", "type", json::TagIndex::Refused,
        {"load_graph", "add_node", "remove_node", "connect", "disconnect", "expose_control",
         "set_control", "register_node_type", "set_master_gain", "list_nodes", "graph_batch",
         "ping", "set_automation", "clear_automation", "start_input", "midi_map", "shutdown"});
}

json::Status read_json(json::Element e, ClientMessage& out) {
    return record::read_fresh(e, out);
}

std::expected<ClientMessage, json::ReadError> decode(json::Parser& parser, std::string_view line) {
    return json::read_text<ClientMessage>(parser, line);
}

void append_debug(std::string& out, const ClientMessage& message) {
    record::debug_form(out, message);
}

std::string debug(const ClientMessage& message) {
    std::string out;
    append_debug(out, message);
    return out;
}

}  // namespace audio_engine::protocol
