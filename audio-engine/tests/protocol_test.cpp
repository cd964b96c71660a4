// The audio requests' own reading: the kind table, defaults, the tag rules, graph_batch and
// the debug form of messages. The generic reading rules (numbers such as 2^64 and -0
// included) are support's tests.
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

// Every kind, keyed or positional (fields in declaration order), in one graph_batch.
TEST(AudioProtocolDecode, EveryKindInBothForms) {
    const auto batch = decode(R"({"type":"graph_batch","commands":[
        {"nodes":[{"id":"o","type_id":"osc","controls":{"f":440}}],"type":"load_graph",
         "connections":[["o","out","d","in"]],"exposed_controls":{"pitch":["o","f"]}},
        {"type":"add_node","id":"o","type_id":"osc"}, ["add_node","o","osc",{"f":2}],
        {"type":"remove_node","id":"o"}, ["connect","a","b","c","d"],
        {"client":"x","from_node":"a","from_port":"b","to_node":"c","to_port":"d","type":"connect"},
        ["disconnect","a","b","c","d"], ["expose_control","l","n","c"],
        {"type":"expose_control","label":"l","node_id":"n","control_name":"c"},
        {"type":"set_control","label":"cutoff","value":1}, ["set_control","cutoff",0.5],
        {"type":"register_node_type","type_id":"t","audio_inputs":[],"audio_outputs":[],
         "controls":[]},
        ["set_master_gain",0.25], {"type":"list_nodes","reply_port":65535},
        {"type":"graph_batch","commands":[]}, {"type":"ping","x":1,"gain":"loud","type_id":[1,2]},
        ["set_automation","a","l","no such",0.5,2,4], {"type":"clear_automation","id":"a"},
        {"type":"start_input"}, ["midi_map",1,74,"l",-1,1],
        {"type":"midi_map","channel":1,"cc":74,"label":"l","lo":-1,"hi":1},
        {"a":null,"type":"shutdown","b":{}}]})");
    ASSERT_TRUE(batch.has_value()) << batch.error().text;
    const protocol::MidiMap map{1, 74, "l", -1.0f, 1.0f};
    const protocol::Connect connect{"a", "b", "c", "d"};
    const protocol::ExposeControl expose{"l", "n", "c"};
    EXPECT_EQ(*batch, ClientMessage(protocol::GraphBatch{
                          {protocol::LoadGraph{{{{"o", "osc", {{"f", 440.0f}}}},
                                                {{"o", "out", "d", "in"}},
                                                {{"pitch", {"o", "f"}}}}},
                           protocol::AddNode{"o", "osc", {}},
                           protocol::AddNode{"o", "osc", {{"f", 2.0f}}},
                           protocol::RemoveNode{"o"},
                           connect,
                           connect,
                           protocol::Disconnect{"a", "b", "c", "d"},
                           expose,
                           expose,
                           protocol::SetControl{"cutoff", 1.0f},
                           protocol::SetControl{"cutoff", 0.5f},
                           protocol::RegisterNodeType{{"t", {}, {}, {}}},
                           protocol::SetMasterGain{0.25f},
                           protocol::ListNodes{65535},
                           protocol::GraphBatch{},
                           protocol::Ping{},
                           protocol::SetAutomation{"a", "l", "no such", 0.5f, 2.0f, 4.0, false},
                           protocol::ClearAutomation{"a"},
                           protocol::StartInput{0},
                           map,
                           map,
                           protocol::Shutdown{}}}));
}

TEST(AudioProtocolDecode, RefusedRequests) {
    const std::pair<std::string_view, ErrorKind> cases[] = {
        {R"({"type":"start_input","channel":256})", ErrorKind::InvalidValue},
        {R"({"type":"set_automation","id":"a","label":"l","shape":"s","lo":0,"hi":1})",
         ErrorKind::MissingField},
        {R"({"type":"list_nodes"})", ErrorKind::MissingField},
        {R"({"type":"list_nodes","reply_port":65536})", ErrorKind::InvalidValue},
        {R"({"type":"Ping"})", ErrorKind::UnknownVariant},
        {R"({"type":"load_graph","nodes":[]})", ErrorKind::MissingField},
        // A kind by its number only inside graph_batch, and within the table.
        {R"({"type":11})", ErrorKind::InvalidType},
        {R"([6,"cutoff",0.5])", ErrorKind::InvalidType},
        {R"({"type":"graph_batch","commands":[{"type":17}]})", ErrorKind::InvalidValue},
        {R"({"type":"graph_batch","commands":[{"type":"ping"},{"type":"remove_node"}]})",
         ErrorKind::MissingField},
    };
    for (const auto& [text, kind] : cases) {
        auto message = decode(text);
        ASSERT_FALSE(message.has_value()) << text;
        EXPECT_EQ(message.error().kind, kind) << text << ": " << message.error().text;
    }
}

TEST(AudioProtocolDecode, GraphBatchElementsByNameOrNumber) {
    auto batch = decode(R"({"type":"graph_batch","commands":[{"type":11},)"
                        R"({"type":6,"label":"l","value":1},{"type":0,"nodes":[],)"
                        R"("connections":[]},[14,2],{"type":"graph_batch","commands":)"
                        R"([{"type":10,"commands":[]}]}]})");
    ASSERT_TRUE(batch.has_value()) << batch.error().text;
    EXPECT_EQ(*batch,
              ClientMessage(protocol::GraphBatch{
                  {protocol::Ping{}, protocol::SetControl{"l", 1.0f}, protocol::LoadGraph{},
                   protocol::StartInput{2}, protocol::GraphBatch{{protocol::GraphBatch{}}}}}));
}

TEST(AudioProtocolDecode, FailureLeavesTheMessageAsItWas) {
    json::Parser parser;
    ClientMessage out{protocol::RemoveNode{"keep"}};
    EXPECT_FALSE(protocol::read_json(*parser.parse(R"({"type":"set_control","value":"x"})"), out));
    EXPECT_EQ(out, ClientMessage(protocol::RemoveNode{"keep"}));
}

TEST(AudioProtocolDebug, FieldUnitListAndEmbeddedKinds) {
    EXPECT_EQ(protocol::debug(protocol::SetControl{"cutoff", 0.5f}),
              R"(SetControl { label: "cutoff", value: 0.5 })");
    EXPECT_EQ(protocol::debug(protocol::GraphBatch{{protocol::Ping{}, protocol::ListNodes{9000},
                                                    protocol::GraphBatch{{protocol::Shutdown{}}}}}),
              R"(GraphBatch { commands: [Ping, ListNodes { reply_port: 9000 }, )"
              R"(GraphBatch { commands: [Shutdown] }] })");
    EXPECT_EQ(protocol::debug(protocol::LoadGraph{}),
              "LoadGraph(GraphIr { nodes: [], connections: [], exposed_controls: {} })");
    const ir::types::NodeTypeDecl decl{"t", {{"in", ir::types::ChannelLayout::Mono}}, {}, {}};
    EXPECT_EQ(protocol::debug(protocol::RegisterNodeType{decl}),
              "RegisterNodeType(" + ir::types::debug(decl) + ")");
}

}  // namespace
