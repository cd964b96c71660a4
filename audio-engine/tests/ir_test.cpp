// The graph IR's own forms: its records' fields (one round trip from a literal), the names in
// its failures, the JSON lists of status replies and the debug form. The generic reading rules
// are support's tests.
#include "audio_engine/ir.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "read_helpers.hpp"

namespace {

using audio_engine::ir::ConnectionIr;
using audio_engine::ir::GraphIr;
using audio_engine::ir::NodeInstance;
using namespace read_helpers;

const GraphIr graph{
    {{"osc", "oscillator", {{"freq", 440.0f}}}, {"out", "dac", {}}},
    {{"osc", "out", "out", "in"}},
    {{"pitch", {"osc", "freq"}}},
};

TEST(GraphIrRead, EveryFieldInBothForms) {
    auto g = read<GraphIr>(R"({
        "nodes": [{"id": "osc", "type_id": "oscillator", "controls": {"freq": 440}},
                  ["out", "dac"]],
        "connections": [{"from_node": "osc", "from_port": "out", "to_node": "out", "to_port": "in"}],
        "exposed_controls": {"pitch": ["osc", "freq"]}})");
    ASSERT_TRUE(g.has_value()) << g.error().text;
    EXPECT_EQ(*g, graph);
    EXPECT_EQ(
        read<GraphIr>(R"([[{"id":"osc","type_id":"oscillator","controls":{"freq":440}},)"
                      R"(["out","dac",{}]],[["osc","out","out","in"]],{"pitch":["osc","freq"]}])")
            .value(),
        graph);
    EXPECT_EQ(read<GraphIr>(R"({"nodes":[],"connections":[]})").value(), GraphIr{});
}

TEST(GraphIrRead, RecordNamesInFailures) {
    const std::pair<std::string, std::string_view> cases[] = {
        {failure<GraphIr>("[[]]"), "invalid length 1, expected struct GraphIr with 3 elements"},
        {failure<GraphIr>(R"({"nodes":[]})"), "missing field `connections`"},
        {failure<GraphIr>("7"), "invalid type: integer `7`, expected struct GraphIr"},
        {failure<NodeInstance>(R"(["osc"])"),
         "invalid length 1, expected struct NodeInstance with 3 elements"},
        {failure<ConnectionIr>(R"(["a","o","b"])"),
         "invalid length 3, expected struct ConnectionIr with 4 elements"},
    };
    for (const auto& [error, text] : cases) {
        EXPECT_EQ(error, text);
    }
}

TEST(GraphIrJson, ListsOfNodesAndConnectionsReadBack) {
    EXPECT_EQ(audio_engine::ir::nodes_json({}), "[]");
    const std::vector<NodeInstance> nodes = {
        {"osc\"1", "oscillator", {{"amp", 0.1f}, {"freq", 440.0f}, {"x", NAN}, {"y", -INFINITY}}},
        {"dac", "dac", {}}};
    EXPECT_EQ(audio_engine::ir::nodes_json(nodes),
              R"([{"id":"osc\"1","type_id":"oscillator","controls":)"
              R"({"amp":0.1,"freq":440.0,"x":null,"y":null}},)"
              R"({"id":"dac","type_id":"dac","controls":{}}])");
    std::string out = "x";
    audio_engine::ir::append_connections_json(out, graph.connections);
    EXPECT_EQ(out, R"(x[{"from_node":"osc","from_port":"out","to_node":"out","to_port":"in"}])");
    EXPECT_EQ(read<std::vector<NodeInstance>>(audio_engine::ir::nodes_json(graph.nodes)).value(),
              graph.nodes);
    EXPECT_EQ(read<std::vector<ConnectionIr>>(audio_engine::ir::connections_json(graph.connections))
                  .value(),
              graph.connections);
}

TEST(GraphIrDebug, NestedRecords) {
    EXPECT_EQ(debug(graph),
              R"(GraphIr { nodes: [NodeInstance { id: "osc", type_id: "oscillator", controls: )"
              R"({"freq": 440.0} }, NodeInstance { id: "out", type_id: "dac", controls: {} }], )"
              R"(connections: [ConnectionIr { from_node: "osc", from_port: "out", to_node: )"
              R"("out", to_port: "in" }], exposed_controls: {"pitch": ("osc", "freq")} })");
}

}  // namespace
