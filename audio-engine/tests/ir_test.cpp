#include "audio_engine/ir.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "read_helpers.hpp"
#include "support/json.hpp"

namespace {

namespace json = support::json;
using audio_engine::ir::ConnectionIr;
using audio_engine::ir::GraphIr;
using audio_engine::ir::NodeInstance;
using json::ErrorKind;

using namespace read_helpers;

// --- GraphIr ---

TEST(GraphIrRead, EmptyGraphHasNoLabels) {
    auto g = read<GraphIr>(R"({"nodes":[],"connections":[]})");
    ASSERT_TRUE(g.has_value());
    EXPECT_EQ(*g, GraphIr{});
}

TEST(GraphIrRead, KeyedFormWithEverything) {
    auto g = read<GraphIr>(R"({
        "nodes": [{"id": "osc", "type_id": "oscillator", "controls": {"freq": 440}},
                  {"id": "out", "type_id": "dac"}],
        "connections": [{"from_node": "osc", "from_port": "out",
                         "to_node": "out", "to_port": "in"}],
        "exposed_controls": {"pitch": ["osc", "freq"]}
    })");
    ASSERT_TRUE(g.has_value()) << g.error().text;
    GraphIr expected{
        {{"osc", "oscillator", {{"freq", 440.0f}}}, {"out", "dac", {}}},
        {{"osc", "out", "out", "in"}},
        {{"pitch", {"osc", "freq"}}},
    };
    EXPECT_EQ(*g, expected);
}

TEST(GraphIrRead, PositionalForm) {
    auto g = read<GraphIr>(R"([[["a","gain"]],[["a","out","b","in"]],{"l":["a","gain"]}])");
    ASSERT_TRUE(g.has_value()) << g.error().text;
    GraphIr expected{{{"a", "gain", {}}}, {{"a", "out", "b", "in"}}, {{"l", {"a", "gain"}}}};
    EXPECT_EQ(*g, expected);

    auto short_form = read<GraphIr>(R"([[],[]])");
    ASSERT_TRUE(short_form.has_value()) << short_form.error().text;
    EXPECT_EQ(*short_form, GraphIr{});
}

TEST(GraphIrRead, MissingAndDuplicateFields) {
    expect_error<GraphIr>(R"({"nodes":[]})", ErrorKind::MissingField,
                          "missing field `connections`");
    expect_error<GraphIr>(R"({"connections":[]})", ErrorKind::MissingField,
                          "missing field `nodes`");
    expect_error<GraphIr>(R"({})", ErrorKind::MissingField, "missing field `nodes`");
    expect_error<GraphIr>(R"({"nodes":[],"connections":[],"nodes":[]})", ErrorKind::DuplicateField,
                          "duplicate field `nodes`");
    expect_error<GraphIr>(
        R"({"nodes":[],"connections":[],"exposed_controls":{},"exposed_controls":{}})",
        ErrorKind::DuplicateField, "duplicate field `exposed_controls`");
}

TEST(GraphIrRead, PositionalLengths) {
    expect_error<GraphIr>("[]", ErrorKind::InvalidLength,
                          "invalid length 0, expected struct GraphIr with 3 elements");
    expect_error<GraphIr>("[[]]", ErrorKind::InvalidLength,
                          "invalid length 1, expected struct GraphIr with 3 elements");
    expect_error<GraphIr>("[[],[],{},0]", ErrorKind::InvalidLength,
                          "invalid length 4, expected 3 elements in sequence");
}

TEST(GraphIrRead, InvalidTypes) {
    for (const char* text : {"null", "1", "\"graph\"", "true"}) {
        auto r = read<GraphIr>(text);
        ASSERT_FALSE(r.has_value()) << text;
        EXPECT_EQ(r.error().kind, ErrorKind::InvalidType);
        EXPECT_TRUE(r.error().text.ends_with(", expected struct GraphIr")) << r.error().text;
    }
    expect_kind<GraphIr>(R"({"nodes":{},"connections":[]})", ErrorKind::InvalidType);
    expect_kind<GraphIr>(R"({"nodes":[],"connections":null})", ErrorKind::InvalidType);
    expect_kind<GraphIr>(R"({"nodes":[],"connections":[],"exposed_controls":[]})",
                         ErrorKind::InvalidType);
    expect_kind<GraphIr>(R"({"nodes":[1],"connections":[]})", ErrorKind::InvalidType);
}

TEST(GraphIrRead, ExposedControlPairs) {
    expect_error<GraphIr>(R"({"nodes":[],"connections":[],"exposed_controls":{"l":["osc"]}})",
                          ErrorKind::InvalidLength, "invalid length 1, expected a tuple of size 2");
    expect_error<GraphIr>(R"({"nodes":[],"connections":[],"exposed_controls":{"l":[]}})",
                          ErrorKind::InvalidLength, "invalid length 0, expected a tuple of size 2");
    expect_error<GraphIr>(R"({"nodes":[],"connections":[],"exposed_controls":{"l":["a","b","c"]}})",
                          ErrorKind::InvalidLength,
                          "invalid length 3, expected 2 elements in sequence");
    expect_kind<GraphIr>(R"({"nodes":[],"connections":[],"exposed_controls":{"l":"a"}})",
                         ErrorKind::InvalidType);
    expect_kind<GraphIr>(R"({"nodes":[],"connections":[],"exposed_controls":{"l":["a",1]}})",
                         ErrorKind::InvalidType);
}

TEST(GraphIrRead, RepeatedLabelKeepsTheLast) {
    auto g = read<GraphIr>(
        R"({"nodes":[],"connections":[],"exposed_controls":{"l":["a","x"],"l":["b","y"]}})");
    ASSERT_TRUE(g.has_value()) << g.error().text;
    ASSERT_EQ(g->exposed_controls.size(), 1u);
    EXPECT_EQ(g->exposed_controls.at("l"), std::make_pair(std::string("b"), std::string("y")));
}

TEST(GraphIrRead, UnknownKeysAreSkippedWhateverTheirValue) {
    auto g = read<GraphIr>(R"({"comment":{"deep":[1,{"x":null}]},"nodes":[{"id":"a",
        "type_id":"t","note":[1,2,3],"Id":5}],"connections":[{"from_node":"a","from_port":"o",
        "to_node":"b","to_port":"i","why":"x"}],"NODES":7,"comment2":null,"c3":true})");
    ASSERT_TRUE(g.has_value()) << g.error().text;
    EXPECT_EQ(g->nodes, (std::vector<NodeInstance>{{"a", "t", {}}}));
    EXPECT_EQ(g->connections, (std::vector<ConnectionIr>{{"a", "o", "b", "i"}}));
}

TEST(GraphIrRead, EmptyTextsAreAllowed) {
    auto g = read<GraphIr>(
        R"({"nodes":[{"id":"","type_id":""}],"connections":[["","","",""]],
            "exposed_controls":{"":["",""]}})");
    ASSERT_TRUE(g.has_value()) << g.error().text;
    EXPECT_EQ(g->exposed_controls.at(""), std::make_pair(std::string(), std::string()));
}

TEST(GraphIrRead, FailureLeavesTargetUntouched) {
    json::Parser parser;
    GraphIr g{{{"keep", "gain", {}}}, {}, {{"l", {"keep", "gain"}}}};
    const GraphIr before = g;
    auto root = parser.parse(R"({"nodes":[],"connections":[1]})");
    ASSERT_TRUE(root.has_value());
    EXPECT_FALSE(read_json(*root, g).has_value());
    EXPECT_EQ(g, before);

    // A successful read replaces everything, defaults included.
    root = parser.parse(R"({"nodes":[],"connections":[]})");
    ASSERT_TRUE(root.has_value());
    ASSERT_TRUE(read_json(*root, g).has_value());
    EXPECT_EQ(g, GraphIr{});
}

TEST(GraphIrCopy, CopiesAreDeep) {
    GraphIr a{{{"n", "t", {{"c", 1.0f}}}}, {}, {}};
    GraphIr b = a;
    b.nodes[0].controls["c"] = 2.0f;
    EXPECT_EQ(a.nodes[0].controls.at("c"), 1.0f);
}

// --- NodeInstance ---

TEST(NodeInstanceRead, WithoutControlsHasEmptyMap) {
    auto n = read<NodeInstance>(R"({"id":"osc","type_id":"oscillator"})");
    ASSERT_TRUE(n.has_value());
    EXPECT_EQ(*n, (NodeInstance{"osc", "oscillator", {}}));
}

TEST(NodeInstanceRead, ControlValuesAreFloats) {
    auto n = read<NodeInstance>(
        R"({"type_id":"t","controls":{"a":1,"b":0.1,"c":-2.5e3,"d":16777217,"a2":-0},"id":"n"})");
    ASSERT_TRUE(n.has_value()) << n.error().text;
    EXPECT_EQ(n->controls.at("a"), 1.0f);
    EXPECT_EQ(n->controls.at("b"), 0.1f);
    EXPECT_EQ(n->controls.at("c"), -2500.0f);
    EXPECT_EQ(n->controls.at("d"), 16777216.0f);  // nearest float
    EXPECT_EQ(n->controls.at("a2"), 0.0f);
}

TEST(NodeInstanceRead, ControlValueOfWrongTypeFails) {
    for (const char* value : {R"("1")", "true", "null", "[1]", "{}"}) {
        const std::string text =
            std::string(R"({"id":"n","type_id":"t","controls":{"a":)") + value + "}}";
        expect_kind<NodeInstance>(text, ErrorKind::InvalidType);
    }
    expect_error<NodeInstance>(R"({"id":"n","type_id":"t","controls":{"a":"1"}})",
                               ErrorKind::InvalidType, R"(invalid type: string "1", expected f32)");
}

TEST(NodeInstanceRead, RepeatedControlKeepsTheLast) {
    auto n = read<NodeInstance>(R"({"id":"n","type_id":"t","controls":{"a":1,"a":2}})");
    ASSERT_TRUE(n.has_value());
    EXPECT_EQ(n->controls, (std::map<std::string, float>{{"a", 2.0f}}));
}

TEST(NodeInstanceRead, DuplicateFieldFailsEvenWithEqualValues) {
    expect_error<NodeInstance>(R"({"id":"a","type_id":"t","id":"a"})", ErrorKind::DuplicateField,
                               "duplicate field `id`");
    expect_error<NodeInstance>(R"({"id":"a","controls":{},"type_id":"t","controls":{}})",
                               ErrorKind::DuplicateField, "duplicate field `controls`");
}

TEST(NodeInstanceRead, MissingFields) {
    expect_error<NodeInstance>(R"({"type_id":"t"})", ErrorKind::MissingField, "missing field `id`");
    expect_error<NodeInstance>(R"({"id":"a","controls":{}})", ErrorKind::MissingField,
                               "missing field `type_id`");
    // The first missing field in declaration order is named.
    expect_error<NodeInstance>(R"({"controls":{}})", ErrorKind::MissingField, "missing field `id`");
}

TEST(NodeInstanceRead, KeysAreCaseSensitive) {
    expect_error<NodeInstance>(R"({"ID":"a","type_id":"t"})", ErrorKind::MissingField,
                               "missing field `id`");
}

TEST(NodeInstanceRead, PositionalForm) {
    auto two = read<NodeInstance>(R"(["osc","oscillator"])");
    ASSERT_TRUE(two.has_value());
    EXPECT_EQ(*two, (NodeInstance{"osc", "oscillator", {}}));
    auto three = read<NodeInstance>(R"(["osc","oscillator",{"freq":440}])");
    ASSERT_TRUE(three.has_value());
    EXPECT_EQ(*three, (NodeInstance{"osc", "oscillator", {{"freq", 440.0f}}}));

    expect_error<NodeInstance>(R"(["osc"])", ErrorKind::InvalidLength,
                               "invalid length 1, expected struct NodeInstance with 3 elements");
    expect_error<NodeInstance>(R"([])", ErrorKind::InvalidLength,
                               "invalid length 0, expected struct NodeInstance with 3 elements");
    expect_error<NodeInstance>(R"(["a","b",{},{}])", ErrorKind::InvalidLength,
                               "invalid length 4, expected 3 elements in sequence");
    expect_kind<NodeInstance>(R"(["a",1])", ErrorKind::InvalidType);
}

TEST(NodeInstanceRead, OtherValuesAreInvalidType) {
    expect_error<NodeInstance>(R"("osc")", ErrorKind::InvalidType,
                               R"(invalid type: string "osc", expected struct NodeInstance)");
    expect_kind<NodeInstance>("null", ErrorKind::InvalidType);
    expect_kind<NodeInstance>("3.5", ErrorKind::InvalidType);
    expect_kind<NodeInstance>(R"({"id":1,"type_id":"t"})", ErrorKind::InvalidType);
    expect_kind<NodeInstance>(R"({"id":"a","type_id":"t","controls":[]})", ErrorKind::InvalidType);
}

// --- ConnectionIr ---

TEST(ConnectionIrRead, BothForms) {
    const ConnectionIr expected{"osc", "out", "dac", "in"};
    auto keyed = read<ConnectionIr>(
        R"({"to_port":"in","to_node":"dac","from_port":"out","from_node":"osc"})");
    ASSERT_TRUE(keyed.has_value());
    EXPECT_EQ(*keyed, expected);
    auto positional = read<ConnectionIr>(R"(["osc","out","dac","in"])");
    ASSERT_TRUE(positional.has_value());
    EXPECT_EQ(*positional, expected);
}

TEST(ConnectionIrRead, Failures) {
    expect_error<ConnectionIr>(R"({"from_node":"a","from_port":"o","to_node":"b"})",
                               ErrorKind::MissingField, "missing field `to_port`");
    expect_error<ConnectionIr>(R"({"from_port":"o","to_node":"b","to_port":"i"})",
                               ErrorKind::MissingField, "missing field `from_node`");
    expect_error<ConnectionIr>(
        R"({"from_node":"a","from_port":"o","to_node":"b","to_port":"i","to_node":"b"})",
        ErrorKind::DuplicateField, "duplicate field `to_node`");
    expect_error<ConnectionIr>(R"(["a","o","b"])", ErrorKind::InvalidLength,
                               "invalid length 3, expected struct ConnectionIr with 4 elements");
    expect_error<ConnectionIr>(R"(["a","o","b","i","x"])", ErrorKind::InvalidLength,
                               "invalid length 5, expected 4 elements in sequence");
    expect_error<ConnectionIr>("7", ErrorKind::InvalidType,
                               "invalid type: integer `7`, expected struct ConnectionIr");
    expect_kind<ConnectionIr>(R"({"from_node":"a","from_port":null,"to_node":"b","to_port":"i"})",
                              ErrorKind::InvalidType);
}

TEST(ConnectionIrRead, UnknownKeysAreSkipped) {
    auto c = read<ConnectionIr>(
        R"({"x":[{}],"from_node":"a","from_port":"o","to_node":"b","to_port":"i","y":-1})");
    ASSERT_TRUE(c.has_value());
    EXPECT_EQ(*c, (ConnectionIr{"a", "o", "b", "i"}));
}

// --- writers ---

TEST(NodeInstanceJson, EmptyListAndEmptyControls) {
    EXPECT_EQ(audio_engine::ir::nodes_json({}), "[]");
    const std::vector<NodeInstance> nodes = {{"dac", "dac", {}}};
    EXPECT_EQ(audio_engine::ir::nodes_json(nodes),
              R"([{"id":"dac","type_id":"dac","controls":{}}])");
}

TEST(NodeInstanceJson, KeysInOrderAndShortestNumbers) {
    const std::vector<NodeInstance> nodes = {
        {"osc", "oscillator", {{"freq", 440.0f}, {"amp", 0.1f}}},
        {"g", "gain", {{"gain", -1.5f}}},
    };
    EXPECT_EQ(audio_engine::ir::nodes_json(nodes),
              R"([{"id":"osc","type_id":"oscillator","controls":{"amp":0.1,"freq":440.0}},)"
              R"({"id":"g","type_id":"gain","controls":{"gain":-1.5}}])");
}

TEST(NodeInstanceJson, NonFiniteValuesAreNull) {
    const std::vector<NodeInstance> nodes = {{"n",
                                              "t",
                                              {{"a", std::numeric_limits<float>::quiet_NaN()},
                                               {"b", std::numeric_limits<float>::infinity()},
                                               {"c", -std::numeric_limits<float>::infinity()},
                                               {"d", 2.0f}}}};
    EXPECT_EQ(audio_engine::ir::nodes_json(nodes),
              R"([{"id":"n","type_id":"t","controls":{"a":null,"b":null,"c":null,"d":2.0}}])");
}

TEST(NodeInstanceJson, TextsAreEscaped) {
    const std::vector<NodeInstance> nodes = {{"a\"b\\c\n", "t\x01\xc3\xa9", {{"k\t", 1.0f}}}};
    EXPECT_EQ(audio_engine::ir::nodes_json(nodes),
              "[{\"id\":\"a\\\"b\\\\c\\n\",\"type_id\":\"t\\u0001\xc3\xa9\","
              "\"controls\":{\"k\\t\":1.0}}]");
}

TEST(NodeInstanceJson, ReadsBack) {
    const std::vector<NodeInstance> nodes = {
        {"osc\"1", "oscillator", {{"freq", 440.0f}, {"x", 1.0e-7f}, {"y", 3.4028235e38f}}},
        {"", "", {}}};
    const std::string text = audio_engine::ir::nodes_json(nodes);
    auto back = read<std::vector<NodeInstance>>(text);
    ASSERT_TRUE(back.has_value()) << text;
    EXPECT_EQ(*back, nodes);
}

TEST(NodeInstanceJson, AppendsToExistingText) {
    const std::vector<NodeInstance> nodes = {{"a", "b", {}}};
    std::string out = R"({"nodes":)";
    audio_engine::ir::append_nodes_json(out, nodes);
    EXPECT_EQ(out, R"({"nodes":[{"id":"a","type_id":"b","controls":{}}])");
}

TEST(ConnectionIrJson, ListsInOrder) {
    EXPECT_EQ(audio_engine::ir::connections_json({}), "[]");
    const std::vector<ConnectionIr> connections = {{"osc", "out", "dac", "in"},
                                                   {"a\"", "b", "c", "d\x1f"}};
    EXPECT_EQ(audio_engine::ir::connections_json(connections),
              R"([{"from_node":"osc","from_port":"out","to_node":"dac","to_port":"in"},)"
              R"({"from_node":"a\"","from_port":"b","to_node":"c","to_port":"d\u001f"}])");
    std::string out = "x";
    audio_engine::ir::append_connections_json(out, connections);
    EXPECT_EQ(out, "x" + audio_engine::ir::connections_json(connections));
    auto back = read<std::vector<ConnectionIr>>(audio_engine::ir::connections_json(connections));
    ASSERT_TRUE(back.has_value());
    EXPECT_EQ(*back, connections);
}

// --- debug forms ---

TEST(NodeInstanceDebug, Form) {
    EXPECT_EQ(debug(NodeInstance{"osc", "oscillator", {{"freq", 440.0f}}}),
              R"(NodeInstance { id: "osc", type_id: "oscillator", controls: {"freq": 440.0} })");
    EXPECT_EQ(debug(NodeInstance{"g", "gain", {{"a", 0.5f}, {"b", -2.0f}}}),
              R"(NodeInstance { id: "g", type_id: "gain", controls: {"a": 0.5, "b": -2.0} })");
    EXPECT_EQ(debug(NodeInstance{}), R"(NodeInstance { id: "", type_id: "", controls: {} })");
}

TEST(NodeInstanceDebug, TextsAreEscaped) {
    EXPECT_EQ(debug(NodeInstance{"a\"b\\c", "x\ny\r\tz\x01\x7f\xc3\xa9", {}}),
              R"(NodeInstance { id: "a\"b\\c", type_id: "x\ny\r\tz\u{1}\u{7f})"
              "\xc3\xa9"
              R"(", controls: {} })");
    EXPECT_EQ(debug(NodeInstance{std::string("\0\x1b'", 3), "\xc2\x85", {}}),
              R"(NodeInstance { id: "\u{0}\u{1b}'", type_id: "\u{85}", controls: {} })");
}

TEST(NodeInstanceDebug, NonFiniteAndSmallValues) {
    EXPECT_EQ(
        debug(NodeInstance{"n",
                           "t",
                           {{"a", std::numeric_limits<float>::quiet_NaN()},
                            {"b", -std::numeric_limits<float>::infinity()},
                            {"c", 0.1f}}}),
        R"(NodeInstance { id: "n", type_id: "t", controls: {"a": NaN, "b": -inf, "c": 0.1} })");
}

TEST(ConnectionIrDebug, Form) {
    EXPECT_EQ(
        debug(ConnectionIr{"osc", "out", "dac", "in"}),
        R"(ConnectionIr { from_node: "osc", from_port: "out", to_node: "dac", to_port: "in" })");
}

TEST(GraphIrDebug, Form) {
    EXPECT_EQ(debug(GraphIr{}), "GraphIr { nodes: [], connections: [], exposed_controls: {} }");
    const GraphIr g{
        {{"osc", "oscillator", {{"freq", 440.0f}}}, {"dac", "dac", {}}},
        {{"osc", "out", "dac", "in"}},
        {{"pitch", {"osc", "freq"}}, {"z", {"dac", "v"}}},
    };
    EXPECT_EQ(debug(g),
              "GraphIr { nodes: [NodeInstance { id: \"osc\", type_id: \"oscillator\", controls: "
              "{\"freq\": 440.0} }, NodeInstance { id: \"dac\", type_id: \"dac\", controls: {} }], "
              "connections: [ConnectionIr { from_node: \"osc\", from_port: \"out\", to_node: "
              "\"dac\", to_port: \"in\" }], exposed_controls: {\"pitch\": (\"osc\", \"freq\"), "
              "\"z\": (\"dac\", \"v\")} }");
    std::string out = "msg: ";
    append_debug(out, g);
    EXPECT_EQ(out, "msg: " + debug(g));
}

}  // namespace
