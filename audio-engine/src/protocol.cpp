#include "audio_engine/protocol.hpp"

#include <array>
#include <span>
#include <type_traits>
#include <utility>

#include "support/debug.hpp"
#include "support/number.hpp"

namespace audio_engine::protocol {

namespace json = support::json;
using support::debug::append_quoted;

namespace {

constexpr std::array<std::string_view, 17> kinds = {
    "load_graph",     "add_node",    "remove_node",        "connect",          "disconnect",
    "expose_control", "set_control", "register_node_type", "set_master_gain",  "list_nodes",
    "graph_batch",    "ping",        "set_automation",     "clear_automation", "start_input",
    "midi_map",       "shutdown"};

constexpr std::string_view what = "internally tagged enum ClientMessage";

json::Status read_message(json::Element e, ClientMessage& out, json::TagIndex index);

// The elements of graph_batch, the one place where a kind may be given by its number.
json::Status read_commands(json::Element e, void* out) {
    auto& commands = *static_cast<std::vector<ClientMessage>*>(out);
    simdjson::dom::array array;
    if (e.get_array().get(array)) return std::unexpected(json::invalid_type(e, "a sequence"));
    commands.clear();
    for (json::Element item : array) {
        // Nesting is bounded by the parser's depth limit, so the recursion is too.
        auto& message = commands.emplace_back(Ping{});
        if (auto st = read_message(item, message, json::TagIndex::Allowed); !st) return st;
    }
    return {};
}

json::Status read_kind(const json::Tagged& tagged, ClientMessage& out) {
    const json::Content& c = tagged.content;
    using json::defaulted;
    using json::required;
    switch (tagged.index) {
        case 0:
            return ir::read_fields_of(c, out.emplace<LoadGraph>().graph);
        case 1: {
            auto& v = out.emplace<AddNode>();
            return json::read_fields(c, "struct variant ClientMessage::AddNode",
                                     {required("id", v.id), required("type_id", v.type_id),
                                      defaulted("controls", v.controls)});
        }
        case 2: {
            auto& v = out.emplace<RemoveNode>();
            return json::read_fields(c, "struct variant ClientMessage::RemoveNode",
                                     {required("id", v.id)});
        }
        case 3: {
            auto& v = out.emplace<Connect>();
            return json::read_fields(
                c, "struct variant ClientMessage::Connect",
                {required("from_node", v.from_node), required("from_port", v.from_port),
                 required("to_node", v.to_node), required("to_port", v.to_port)});
        }
        case 4: {
            auto& v = out.emplace<Disconnect>();
            return json::read_fields(
                c, "struct variant ClientMessage::Disconnect",
                {required("from_node", v.from_node), required("from_port", v.from_port),
                 required("to_node", v.to_node), required("to_port", v.to_port)});
        }
        case 5: {
            auto& v = out.emplace<ExposeControl>();
            return json::read_fields(c, "struct variant ClientMessage::ExposeControl",
                                     {required("label", v.label), required("node_id", v.node_id),
                                      required("control_name", v.control_name)});
        }
        case 6: {
            auto& v = out.emplace<SetControl>();
            return json::read_fields(c, "struct variant ClientMessage::SetControl",
                                     {required("label", v.label), required("value", v.value)});
        }
        case 7:
            return ir::types::read_fields_of(c, out.emplace<RegisterNodeType>().decl);
        case 8: {
            auto& v = out.emplace<SetMasterGain>();
            return json::read_fields(c, "struct variant ClientMessage::SetMasterGain",
                                     {required("gain", v.gain)});
        }
        case 9: {
            auto& v = out.emplace<ListNodes>();
            return json::read_fields(c, "struct variant ClientMessage::ListNodes",
                                     {required("reply_port", v.reply_port)});
        }
        case 10: {
            auto& v = out.emplace<GraphBatch>();
            const json::FieldRef commands{"commands", json::Presence::Required, &v.commands,
                                          &read_commands};
            return json::read_fields(c, "struct variant ClientMessage::GraphBatch",
                                     std::span<const json::FieldRef>(&commands, 1));
        }
        case 11:
            // Unit kinds ignore every key; in the array form a surplus value still fails.
            out.emplace<Ping>();
            return json::read_fields(c, "unit variant ClientMessage::Ping", {});
        case 12: {
            auto& v = out.emplace<SetAutomation>();
            return json::read_fields(
                c, "struct variant ClientMessage::SetAutomation",
                {required("id", v.id), required("label", v.label), required("shape", v.shape),
                 required("lo", v.lo), required("hi", v.hi), required("period_secs", v.period_secs),
                 defaulted("one_shot", v.one_shot)});
        }
        case 13: {
            auto& v = out.emplace<ClearAutomation>();
            return json::read_fields(c, "struct variant ClientMessage::ClearAutomation",
                                     {required("id", v.id)});
        }
        case 14: {
            auto& v = out.emplace<StartInput>();
            return json::read_fields(c, "struct variant ClientMessage::StartInput",
                                     {defaulted("channel", v.channel)});
        }
        case 15: {
            auto& v = out.emplace<MidiMap>();
            return json::read_fields(
                c, "struct variant ClientMessage::MidiMap",
                {required("channel", v.channel), required("cc", v.cc), required("label", v.label),
                 required("lo", v.lo), required("hi", v.hi)});
        }
        default:
            out.emplace<Shutdown>();
            return json::read_fields(c, "unit variant ClientMessage::Shutdown", {});
    }
}

json::Status read_message(json::Element e, ClientMessage& out, json::TagIndex index) {
    auto tagged = json::read_internal_tag(e, "type", kinds, index, what);
    if (!tagged) return std::unexpected(std::move(tagged.error()));
    // A fresh value, so that a failure leaves `out` as it was.
    ClientMessage value{Ping{}};
    if (auto st = read_kind(*tagged, value); !st) return st;
    out = std::move(value);
    return {};
}

// Writes `Name { a: x, b: y }` one field at a time.
class FieldWriter {
public:
    FieldWriter(std::string& out, std::string_view name) : out_(out) {
        out_ += name;
        out_ += " { ";
    }
    ~FieldWriter() { out_ += " }"; }
    FieldWriter(const FieldWriter&) = delete;
    FieldWriter& operator=(const FieldWriter&) = delete;

    std::string& field(std::string_view name) {
        if (!first_) out_ += ", ";
        first_ = false;
        out_ += name;
        out_ += ": ";
        return out_;
    }
    void text(std::string_view name, std::string_view value) { append_quoted(field(name), value); }
    void number(std::string_view name, float value) {
        support::number::append_debug(field(name), value);
    }
    void number(std::string_view name, double value) {
        support::number::append_debug(field(name), value);
    }
    void integer(std::string_view name, unsigned value) { field(name) += std::to_string(value); }
    void boolean(std::string_view name, bool value) { field(name) += value ? "true" : "false"; }

private:
    std::string& out_;
    bool first_ = true;
};

void append_link(std::string& out, std::string_view name, const auto& v) {
    FieldWriter w(out, name);
    w.text("from_node", v.from_node);
    w.text("from_port", v.from_port);
    w.text("to_node", v.to_node);
    w.text("to_port", v.to_port);
}

}  // namespace

json::Status read_json(json::Element e, ClientMessage& out) {
    // An integer "type" names no kind at the top level: clients must spell the name.
    return read_message(e, out, json::TagIndex::Refused);
}

std::expected<ClientMessage, json::ReadError> decode(json::Parser& parser, std::string_view line) {
    return json::read_text<ClientMessage>(parser, line);
}

void append_debug(std::string& out, const ClientMessage& message) {
    std::visit(
        [&out](const auto& m) {
            using M = std::decay_t<decltype(m)>;
            if constexpr (std::is_same_v<M, LoadGraph>) {
                out += "LoadGraph(";
                ir::append_debug(out, m.graph);
                out += ')';
            } else if constexpr (std::is_same_v<M, AddNode>) {
                FieldWriter w(out, "AddNode");
                w.text("id", m.id);
                w.text("type_id", m.type_id);
                std::string& o = w.field("controls");
                o += '{';
                bool first = true;
                for (const auto& [key, value] : m.controls) {
                    if (!first) o += ", ";
                    first = false;
                    append_quoted(o, key);
                    o += ": ";
                    support::number::append_debug(o, value);
                }
                o += '}';
            } else if constexpr (std::is_same_v<M, RemoveNode>) {
                FieldWriter(out, "RemoveNode").text("id", m.id);
            } else if constexpr (std::is_same_v<M, Connect>) {
                append_link(out, "Connect", m);
            } else if constexpr (std::is_same_v<M, Disconnect>) {
                append_link(out, "Disconnect", m);
            } else if constexpr (std::is_same_v<M, ExposeControl>) {
                FieldWriter w(out, "ExposeControl");
                w.text("label", m.label);
                w.text("node_id", m.node_id);
                w.text("control_name", m.control_name);
            } else if constexpr (std::is_same_v<M, SetControl>) {
                FieldWriter w(out, "SetControl");
                w.text("label", m.label);
                w.number("value", m.value);
            } else if constexpr (std::is_same_v<M, RegisterNodeType>) {
                out += "RegisterNodeType(";
                ir::types::append_debug(out, m.decl);
                out += ')';
            } else if constexpr (std::is_same_v<M, SetMasterGain>) {
                FieldWriter(out, "SetMasterGain").number("gain", m.gain);
            } else if constexpr (std::is_same_v<M, ListNodes>) {
                FieldWriter(out, "ListNodes").integer("reply_port", m.reply_port);
            } else if constexpr (std::is_same_v<M, GraphBatch>) {
                FieldWriter w(out, "GraphBatch");
                std::string& o = w.field("commands");
                o += '[';
                for (std::size_t i = 0; i < m.commands.size(); ++i) {
                    if (i > 0) o += ", ";
                    append_debug(o, m.commands[i]);
                }
                o += ']';
            } else if constexpr (std::is_same_v<M, Ping>) {
                out += "Ping";
            } else if constexpr (std::is_same_v<M, SetAutomation>) {
                FieldWriter w(out, "SetAutomation");
                w.text("id", m.id);
                w.text("label", m.label);
                w.text("shape", m.shape);
                w.number("lo", m.lo);
                w.number("hi", m.hi);
                w.number("period_secs", m.period_secs);
                w.boolean("one_shot", m.one_shot);
            } else if constexpr (std::is_same_v<M, ClearAutomation>) {
                FieldWriter(out, "ClearAutomation").text("id", m.id);
            } else if constexpr (std::is_same_v<M, StartInput>) {
                FieldWriter(out, "StartInput").integer("channel", m.channel);
            } else if constexpr (std::is_same_v<M, MidiMap>) {
                FieldWriter w(out, "MidiMap");
                w.integer("channel", m.channel);
                w.integer("cc", m.cc);
                w.text("label", m.label);
                w.number("lo", m.lo);
                w.number("hi", m.hi);
            } else {
                static_assert(std::is_same_v<M, Shutdown>);
                out += "Shutdown";
            }
        },
        static_cast<const ClientMessage::variant&>(message));
}

std::string debug(const ClientMessage& message) {
    std::string out;
    append_debug(out, message);
    return out;
}

}  // namespace audio_engine::protocol
