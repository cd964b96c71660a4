#include "audio_engine/protocol.hpp"

#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <variant>

namespace {

namespace json = support::json;
namespace protocol = audio_engine::protocol;
namespace ir = audio_engine::ir;
using json::ErrorKind;
using protocol::ClientMessage;

json::Result<ClientMessage> decode(std::string_view text) {
    json::Parser parser;
    return protocol::decode(parser, text);
}

// Fails the test unless `text` is rejected; returns the error kind for closer checks.
ErrorKind failure(std::string_view text) {
    auto message = decode(text);
    EXPECT_FALSE(message.has_value()) << text;
    return message ? ErrorKind::Syntax : message.error().kind;
}

ClientMessage decoded(std::string_view text) {
    auto message = decode(text);
    EXPECT_TRUE(message.has_value()) << text << ": " << (message ? "" : message.error().text);
    return message ? std::move(*message) : ClientMessage{protocol::Shutdown{}};
}

TEST(AudioProtocolDecode, EveryKindByName) {
    EXPECT_EQ(decoded(R"({"type":"load_graph","nodes":[],"connections":[]})"),
              ClientMessage(protocol::LoadGraph{}));
    EXPECT_EQ(decoded(R"({"type":"add_node","id":"o","type_id":"osc","controls":{"f":2}})"),
              ClientMessage(protocol::AddNode{"o", "osc", {{"f", 2.0f}}}));
    EXPECT_EQ(decoded(R"({"type":"remove_node","id":"o"})"),
              ClientMessage(protocol::RemoveNode{"o"}));
    EXPECT_EQ(
        decoded(
            R"({"type":"connect","from_node":"a","from_port":"b","to_node":"c","to_port":"d"})"),
        ClientMessage(protocol::Connect{"a", "b", "c", "d"}));
    EXPECT_EQ(
        decoded(
            R"({"type":"disconnect","from_node":"a","from_port":"b","to_node":"c","to_port":"d"})"),
        ClientMessage(protocol::Disconnect{"a", "b", "c", "d"}));
    EXPECT_EQ(decoded(R"({"type":"expose_control","label":"l","node_id":"n","control_name":"c"})"),
              ClientMessage(protocol::ExposeControl{"l", "n", "c"}));
    EXPECT_EQ(decoded(R"({"type":"set_control","label":"cutoff","value":0.5})"),
              ClientMessage(protocol::SetControl{"cutoff", 0.5f}));
    EXPECT_EQ(decoded(R"({"type":"register_node_type","type_id":"t","audio_inputs":[],)"
                      R"("audio_outputs":[],"controls":[]})"),
              ClientMessage(protocol::RegisterNodeType{{"t", {}, {}, {}}}));
    EXPECT_EQ(decoded(R"({"type":"set_master_gain","gain":0.25})"),
              ClientMessage(protocol::SetMasterGain{0.25f}));
    EXPECT_EQ(decoded(R"({"type":"list_nodes","reply_port":65535})"),
              ClientMessage(protocol::ListNodes{65535}));
    EXPECT_EQ(decoded(R"({"type":"graph_batch","commands":[]})"),
              ClientMessage(protocol::GraphBatch{}));
    EXPECT_EQ(decoded(R"({"type":"ping"})"), ClientMessage(protocol::Ping{}));
    EXPECT_EQ(decoded(R"({"type":"set_automation","id":"a","label":"l","shape":"sine",)"
                      R"("lo":0,"hi":1,"period_secs":2.5,"one_shot":true})"),
              ClientMessage(protocol::SetAutomation{"a", "l", "sine", 0.0f, 1.0f, 2.5, true}));
    EXPECT_EQ(decoded(R"({"type":"clear_automation","id":"a"})"),
              ClientMessage(protocol::ClearAutomation{"a"}));
    EXPECT_EQ(decoded(R"({"type":"start_input","channel":3})"),
              ClientMessage(protocol::StartInput{3}));
    EXPECT_EQ(decoded(R"({"type":"midi_map","channel":1,"cc":74,"label":"l","lo":-1,"hi":1})"),
              ClientMessage(protocol::MidiMap{1, 74, "l", -1.0f, 1.0f}));
    EXPECT_EQ(decoded(R"({"type":"shutdown"})"), ClientMessage(protocol::Shutdown{}));
}

TEST(AudioProtocolDecode, VariantIndexIsTheKindNumber) {
    EXPECT_EQ(decoded(R"({"type":"load_graph","nodes":[],"connections":[]})").index(), 0u);
    EXPECT_EQ(decoded(R"({"type":"graph_batch","commands":[]})").index(), 10u);
    EXPECT_EQ(decoded(R"({"type":"ping"})").index(), 11u);
    EXPECT_EQ(decoded(R"({"type":"shutdown"})").index(), 16u);
}

TEST(AudioProtocolDecode, StartInputChannelDefaultsToZeroAndIsAByte) {
    EXPECT_EQ(decoded(R"({"type":"start_input"})"), ClientMessage(protocol::StartInput{0}));
    EXPECT_EQ(decoded(R"({"type":"start_input","channel":255})"),
              ClientMessage(protocol::StartInput{255}));
    EXPECT_EQ(failure(R"({"type":"start_input","channel":256})"), ErrorKind::InvalidValue);
    EXPECT_EQ(failure(R"({"type":"start_input","channel":-1})"), ErrorKind::InvalidValue);
    failure(R"({"type":"start_input","channel":1.0})");
    failure(R"({"type":"start_input","channel":1e0})");
    failure(R"({"type":"start_input","channel":"1"})");
}

TEST(AudioProtocolDecode, SetAutomationOneShotDefaultsAndPeriodIsRequired) {
    EXPECT_EQ(decoded(R"({"type":"set_automation","id":"a","label":"l","shape":"no such",)"
                      R"("lo":0.5,"hi":2,"period_secs":4})"),
              ClientMessage(protocol::SetAutomation{"a", "l", "no such", 0.5f, 2.0f, 4.0, false}));
    EXPECT_EQ(failure(R"({"type":"set_automation","id":"a","label":"l","shape":"sine",)"
                      R"("lo":0,"hi":1})"),
              ErrorKind::MissingField);
    failure(R"({"type":"set_automation","id":"a","label":"l","shape":"sine",)"
            R"("lo":0,"hi":1,"period_secs":1,"one_shot":1})");
}

TEST(AudioProtocolDecode, AddNodeControlsDefaultToEmpty) {
    EXPECT_EQ(decoded(R"({"type":"add_node","id":"o","type_id":"osc"})"),
              ClientMessage(protocol::AddNode{"o", "osc", {}}));
    failure(R"({"type":"add_node","id":"o","type_id":"osc","controls":{"f":"x"}})");
    failure(R"({"type":"add_node","id":"o","type_id":"osc","controls":[]})");
}

TEST(AudioProtocolDecode, NullIsNotAcceptedForOptionalFields) {
    EXPECT_EQ(failure(R"({"type":"start_input","channel":null})"), ErrorKind::InvalidType);
    EXPECT_EQ(failure(R"({"type":"add_node","id":"o","type_id":"osc","controls":null})"),
              ErrorKind::InvalidType);
    EXPECT_EQ(failure(R"({"type":"set_automation","id":"a","label":"l","shape":"s",)"
                      R"("lo":0,"hi":1,"period_secs":1,"one_shot":null})"),
              ErrorKind::InvalidType);
}

TEST(AudioProtocolDecode, ListNodesRequiresReplyPort) {
    EXPECT_EQ(failure(R"({"type":"list_nodes"})"), ErrorKind::MissingField);
    failure(R"({"type":"list_nodes","reply_port":65536})");
}

TEST(AudioProtocolDecode, UnitKindsIgnoreTheirContent) {
    EXPECT_EQ(decoded(R"({"type":"ping","x":1,"gain":"loud","type_id":[1,2]})"),
              ClientMessage(protocol::Ping{}));
    EXPECT_EQ(decoded(R"({"a":null,"type":"shutdown","b":{}})"),
              ClientMessage(protocol::Shutdown{}));
}

TEST(AudioProtocolDecode, TypeMayStandAnywhereAndUnknownKeysAreSkipped) {
    EXPECT_EQ(decoded(R"({"client":"x","from_node":"a","from_port":"b","to_node":"c",)"
                      R"("to_port":"d","type":"connect"})"),
              ClientMessage(protocol::Connect{"a", "b", "c", "d"}));
    EXPECT_EQ(decoded(R"({"label":"l","extra":1,"extra":2,"type":"set_control","value":1})"),
              ClientMessage(protocol::SetControl{"l", 1.0f}));
}

TEST(AudioProtocolDecode, KindNamesAreExact) {
    EXPECT_EQ(failure(R"({"type":"Connect","from_node":"a","from_port":"b","to_node":"c",)"
                      R"("to_port":"d"})"),
              ErrorKind::UnknownVariant);
    EXPECT_EQ(failure(R"({"type":"Ping"})"), ErrorKind::UnknownVariant);
    EXPECT_EQ(failure(R"({"type":" ping"})"), ErrorKind::UnknownVariant);
    EXPECT_EQ(failure(R"({"type":"nope"})"), ErrorKind::UnknownVariant);
}

TEST(AudioProtocolDecode, IntegerValueReadsAsFloat) {
    auto message = decoded(R"({"type":"set_control","label":"l","value":1})");
    ASSERT_TRUE(std::holds_alternative<protocol::SetControl>(message));
    EXPECT_EQ(std::get<protocol::SetControl>(message).value, 1.0f);
    EXPECT_EQ(protocol::debug(message), R"(SetControl { label: "l", value: 1.0 })");
    failure(R"({"type":"set_control","label":"l","value":"1"})");
    failure(R"({"type":"set_control","label":1,"value":1})");
}

TEST(AudioProtocolDecode, FieldOrTagTwiceFails) {
    EXPECT_EQ(failure(R"({"type":"set_master_gain","gain":1,"gain":2})"),
              ErrorKind::DuplicateField);
    EXPECT_EQ(failure(R"({"type":"ping","type":"ping"})"), ErrorKind::DuplicateField);
}

TEST(AudioProtocolDecode, MissingTypeFails) {
    EXPECT_EQ(failure(R"({"gain":1})"), ErrorKind::MissingField);
    EXPECT_EQ(failure("{}"), ErrorKind::MissingField);
}

TEST(AudioProtocolDecode, FirstBadMemberIsReported) {
    auto message = decode(R"({"type":"midi_map","cc":"x","channel":-1,"label":"l","lo":0,"hi":1})");
    ASSERT_FALSE(message.has_value());
    EXPECT_EQ(message.error().kind, ErrorKind::InvalidType);
}

TEST(AudioProtocolDecode, IntegerTypeOnlyInsideGraphBatch) {
    failure(R"({"type":11})");
    failure(R"({"type":6,"label":"l","value":1})");
    failure("[11]");

    auto batch = decoded(R"({"type":"graph_batch","commands":[{"type":11},)"
                         R"({"type":6,"label":"l","value":1},{"type":0,"nodes":[],)"
                         R"("connections":[]},{"type":16},[14,2]]})");
    EXPECT_EQ(batch, ClientMessage(protocol::GraphBatch{
                         {protocol::Ping{}, protocol::SetControl{"l", 1.0f}, protocol::LoadGraph{},
                          protocol::Shutdown{}, protocol::StartInput{2}}}));
    failure(R"({"type":"graph_batch","commands":[{"type":17}]})");
    failure(R"({"type":"graph_batch","commands":[{"type":-1}]})");
    failure(R"({"type":"graph_batch","commands":[{"type":1.0}]})");
}

TEST(AudioProtocolDecode, NestedGraphBatch) {
    auto message = decoded(R"({"type":"graph_batch","commands":[{"type":"graph_batch",)"
                           R"("commands":[{"type":"remove_node","id":"x"}]},{"type":10,)"
                           R"("commands":[]}]})");
    protocol::GraphBatch inner{{protocol::RemoveNode{"x"}}};
    EXPECT_EQ(message, ClientMessage(protocol::GraphBatch{{inner, protocol::GraphBatch{}}}));
}

TEST(AudioProtocolDecode, GraphBatchWithOneBadElementFailsAsAWhole) {
    failure(R"({"type":"graph_batch","commands":[{"type":"ping"},)"
            R"({"type":"remove_node"},{"type":"shutdown"}]})");
    failure(R"({"type":"graph_batch","commands":[{"type":"ping"},3]})");
    failure(R"({"type":"graph_batch","commands":{}})");
    EXPECT_EQ(failure(R"({"type":"graph_batch"})"), ErrorKind::MissingField);
}

TEST(AudioProtocolDecode, ArrayForm) {
    EXPECT_EQ(decoded(R"(["start_input"])"), ClientMessage(protocol::StartInput{0}));
    EXPECT_EQ(decoded(R"(["start_input",7])"), ClientMessage(protocol::StartInput{7}));
    EXPECT_EQ(decoded(R"(["set_control","cutoff",0.5])"),
              ClientMessage(protocol::SetControl{"cutoff", 0.5f}));
    EXPECT_EQ(decoded(R"(["add_node","o","osc"])"),
              ClientMessage(protocol::AddNode{"o", "osc", {}}));
    EXPECT_EQ(decoded(R"(["set_automation","a","l","s",0,1,2])"),
              ClientMessage(protocol::SetAutomation{"a", "l", "s", 0.0f, 1.0f, 2.0, false}));
    EXPECT_EQ(decoded(R"(["set_automation","a","l","s",0,1,2,true])"),
              ClientMessage(protocol::SetAutomation{"a", "l", "s", 0.0f, 1.0f, 2.0, true}));
    EXPECT_EQ(decoded(R"(["load_graph",[],[]])"), ClientMessage(protocol::LoadGraph{}));
    EXPECT_EQ(decoded(R"(["graph_batch",[["ping"],[11]]])"),
              ClientMessage(protocol::GraphBatch{{protocol::Ping{}, protocol::Ping{}}}));
    EXPECT_EQ(decoded(R"(["ping"])"), ClientMessage(protocol::Ping{}));
    // A unit kind has no fields: a value after its name is surplus.
    failure(R"(["ping", 1])");
    failure(R"(["shutdown", {}])");

    EXPECT_EQ(failure(R"(["start_input",1,2])"), ErrorKind::InvalidLength);
    EXPECT_EQ(failure(R"(["set_control","cutoff"])"), ErrorKind::InvalidLength);
    EXPECT_EQ(failure(R"(["set_automation","a","l","s",0,1])"), ErrorKind::InvalidLength);
    failure(R"(["set_automation","a","l","s",0,1,2,true,1])");
    failure("[]");
    failure(R"([6,"cutoff",0.5])");
}

TEST(AudioProtocolDecode, TopLevelMustBeObjectOrArray) {
    failure(R"("ping")");
    failure("1");
    failure("null");
}

TEST(AudioProtocolDecode, MalformedOrTooDeepTextFails) {
    EXPECT_EQ(failure(R"({"type":"ping")"), ErrorKind::Syntax);
    failure("");
    std::string deep = R"({"type":"ping","x":)";
    for (int i = 0; i < 130; ++i)
        deep += '[';
    for (int i = 0; i < 130; ++i)
        deep += ']';
    deep += '}';
    EXPECT_EQ(failure(deep), ErrorKind::Depth);

    std::string nested;
    for (int i = 0; i < 130; ++i)
        nested += R"({"type":"graph_batch","commands":[)";
    for (int i = 0; i < 130; ++i)
        nested += "]}";
    EXPECT_EQ(failure(nested), ErrorKind::Depth);
}

TEST(AudioProtocolDecode, LoadGraphKeysStandBesideType) {
    auto message = decoded(R"({"nodes":[{"id":"o","type_id":"osc","controls":{"f":440}}],)"
                           R"("type":"load_graph","connections":[{"from_node":"o",)"
                           R"("from_port":"out","to_node":"d","to_port":"in"}],)"
                           R"("exposed_controls":{"pitch":["o","f"]}})");
    ir::GraphIr graph;
    graph.nodes.push_back({"o", "osc", {{"f", 440.0f}}});
    graph.connections.push_back({"o", "out", "d", "in"});
    graph.exposed_controls["pitch"] = {"o", "f"};
    EXPECT_EQ(message, ClientMessage(protocol::LoadGraph{graph}));
    EXPECT_EQ(failure(R"({"type":"load_graph","nodes":[]})"), ErrorKind::MissingField);
    failure(R"({"type":"register_node_type","type_id":"t"})");
}

TEST(AudioProtocolDecode, ReadJsonLeavesOutputOnFailure) {
    json::Parser parser;
    auto root = parser.parse(R"({"type":"set_control","label":"l","value":"x"})");
    ASSERT_TRUE(root.has_value());
    ClientMessage out{protocol::Ping{}};
    EXPECT_FALSE(protocol::read_json(*root, out).has_value());
    EXPECT_EQ(out, ClientMessage(protocol::Ping{}));
}

TEST(AudioProtocolDebug, FieldKinds) {
    EXPECT_EQ(protocol::debug(protocol::SetControl{"cutoff", 0.5f}),
              R"(SetControl { label: "cutoff", value: 0.5 })");
    EXPECT_EQ(protocol::debug(protocol::AddNode{"o", "osc", {{"a", 1.0f}, {"b", 0.25f}}}),
              R"(AddNode { id: "o", type_id: "osc", controls: {"a": 1.0, "b": 0.25} })");
    EXPECT_EQ(protocol::debug(protocol::AddNode{"o", "osc", {}}),
              R"(AddNode { id: "o", type_id: "osc", controls: {} })");
    EXPECT_EQ(protocol::debug(protocol::Connect{"a", "b", "c", "d"}),
              R"(Connect { from_node: "a", from_port: "b", to_node: "c", to_port: "d" })");
    EXPECT_EQ(protocol::debug(protocol::Disconnect{"a", "b", "c", "d"}),
              R"(Disconnect { from_node: "a", from_port: "b", to_node: "c", to_port: "d" })");
    EXPECT_EQ(protocol::debug(protocol::ExposeControl{"l", "n", "c"}),
              R"(ExposeControl { label: "l", node_id: "n", control_name: "c" })");
    EXPECT_EQ(protocol::debug(protocol::RemoveNode{"q\"x"}), R"(RemoveNode { id: "q\"x" })");
    EXPECT_EQ(protocol::debug(protocol::SetMasterGain{2.0f}), "SetMasterGain { gain: 2.0 }");
    EXPECT_EQ(protocol::debug(protocol::ListNodes{9000}), "ListNodes { reply_port: 9000 }");
    EXPECT_EQ(protocol::debug(protocol::SetAutomation{"a", "l", "sine", 0.0f, 1.0f, 0.1, false}),
              R"(SetAutomation { id: "a", label: "l", shape: "sine", lo: 0.0, hi: 1.0, )"
              R"(period_secs: 0.1, one_shot: false })");
    EXPECT_EQ(protocol::debug(protocol::ClearAutomation{"a"}), R"(ClearAutomation { id: "a" })");
    EXPECT_EQ(protocol::debug(protocol::StartInput{0}), "StartInput { channel: 0 }");
    EXPECT_EQ(protocol::debug(protocol::MidiMap{1, 74, "l", -1.0f, 1e-7f}),
              R"(MidiMap { channel: 1, cc: 74, label: "l", lo: -1.0, hi: 1e-7 })");
}

TEST(AudioProtocolDebug, UnitAndListKinds) {
    EXPECT_EQ(protocol::debug(protocol::Ping{}), "Ping");
    EXPECT_EQ(protocol::debug(protocol::Shutdown{}), "Shutdown");
    EXPECT_EQ(protocol::debug(protocol::GraphBatch{}), "GraphBatch { commands: [] }");
    EXPECT_EQ(protocol::debug(protocol::GraphBatch{{protocol::Ping{}, protocol::RemoveNode{"x"},
                                                    protocol::GraphBatch{{protocol::Shutdown{}}}}}),
              R"(GraphBatch { commands: [Ping, RemoveNode { id: "x" }, )"
              R"(GraphBatch { commands: [Shutdown] }] })");
}

TEST(AudioProtocolDebug, EmbeddedKinds) {
    ir::GraphIr graph;
    graph.nodes.push_back({"o", "osc", {{"f", 440.0f}}});
    graph.connections.push_back({"o", "out", "d", "in"});
    graph.exposed_controls["pitch"] = {"o", "f"};
    EXPECT_EQ(protocol::debug(protocol::LoadGraph{graph}),
              R"(LoadGraph(GraphIr { nodes: [NodeInstance { id: "o", type_id: "osc", )"
              R"(controls: {"f": 440.0} }], connections: [ConnectionIr { from_node: "o", )"
              R"(from_port: "out", to_node: "d", to_port: "in" }], )"
              R"(exposed_controls: {"pitch": ("o", "f")} }))");
    EXPECT_EQ(protocol::debug(protocol::LoadGraph{}),
              "LoadGraph(GraphIr { nodes: [], connections: [], exposed_controls: {} })");
    ir::types::NodeTypeDecl decl{"t", {{"in", ir::types::ChannelLayout::Mono}}, {}, {}};
    EXPECT_EQ(protocol::debug(protocol::RegisterNodeType{decl}),
              "RegisterNodeType(" + ir::types::debug(decl) + ")");
    EXPECT_EQ(protocol::debug(protocol::RegisterNodeType{decl}).substr(0, 41),
              R"(RegisterNodeType(NodeTypeDecl { type_id: )");
}

}  // namespace
