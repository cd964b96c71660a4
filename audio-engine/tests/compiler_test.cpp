#include "audio_engine/graph/compiler.hpp"

#include <gtest/gtest.h>

#include <sstream>

#include "support/log.hpp"
#include "test_nodes.hpp"

namespace {

using namespace audio_engine;
using test_nodes::Probe;

ir::ConnectionIr wire(std::string from, std::string to, std::string port = "out",
                      std::string to_port = "in") {
    return {std::move(from), std::move(port), std::move(to), std::move(to_port)};
}

class CompilerTest : public ::testing::Test {
protected:
    CompilerTest() {
        // "sum" declares "in" twice: connections take the first.
        for (auto [id, inputs] : {std::pair{"const", 0}, {"sum", 2}, {"dac", 1}}) {
            std::vector<ir::types::PortDecl> ins(inputs, {"in"});
            EXPECT_TRUE(registry.register_type(
                {id, ins, {{"out"}}, {}},
                std::make_unique<test_nodes::ProbeFactory>(1.0f, inputs > 0)));
        }
        support::log::init_with("debug", support::log::Style::Never,
                                [this](std::string_view line) { log += line; });
    }
    ~CompilerTest() override { support::log::reset(); }

    std::expected<graph::DspGraph, graph::compiler::CompileError> compile(
        const ir::GraphIr& g, std::optional<graph::DspGraph> previous = std::nullopt) {
        return graph::compiler::compile_with_reuse_and_injected(g, registry, std::move(previous),
                                                                injected, 48000, 8);
    }
    bool logged(std::string_view text) const { return log.find(text) != std::string::npos; }

    registry::NodeRegistry registry;
    graph::compiler::InjectedNodes injected;
    std::string log;
};

TEST_F(CompilerTest, RefusesBrokenDescriptions) {
    injected.emplace("x", std::make_unique<Probe>(0.5f));
    const std::vector<ir::NodeInstance> two{{"a", "const", {}}, {"b", "sum", {}}};
    const std::pair<ir::GraphIr, std::string> cases[] = {
        {{{{"x", "const", {}}, {"x", "sum", {}}}, {}, {}}, "duplicate node id: x"},
        {{two, {wire("zz", "b")}, {}}, "unknown node: zz"},
        {{two, {wire("a", "zz")}, {}}, "unknown node: zz"},
        {{two, {wire("a", "b", "nope")}, {}}, "unknown port 'nope' on node 'a'"},
        {{two, {wire("a", "b", "out", "out")}, {}}, "unknown port 'out' on node 'b'"},
        {{{{"a", "mystery", {}}}, {}, {}}, "registry error: node type not found: mystery"},
        {{two, {wire("b", "b")}, {}}, "graph contains a cycle"}};
    for (const auto& [g, error] : cases)
        EXPECT_EQ(compile(g).error().display(), error);
    EXPECT_TRUE(injected.contains("x"));  // a duplicate fails before anything is taken
}

TEST_F(CompilerTest, TheFirstDacIsTheOutputAndPortsResolveToTheFirstOfAName) {
    auto g = compile({{{"a", "const", {{"value", 0.25f}, {"bogus", 1.0f}}},
                       {"b", "const", {}},
                       {"d1", "dac", {}},
                       {"d2", "dac", {}},
                       {"s", "sum", {}}},
                      {wire("a", "d1"), wire("b", "d2"), wire("a", "s")},
                      {}});
    std::vector<float> out(8);
    g->process(out);
    EXPECT_EQ(out[0], 1.25f);  // the dac probe adds its own 1
    EXPECT_EQ(g->edges()[2], (graph::Edge{0, 0, 4, 0}));
    EXPECT_TRUE(
        logged("WARN  audio_engine::graph::compiler] set_param on new a/bogus: "
               "parameter not found: bogus"));
}

// Each compile logs a node's first three refused controls, then one line with the rest's count.
TEST_F(CompilerTest, RefusedControlsAreLoggedAFewPerNodeThenCounted) {
    std::map<std::string, float> many, three;
    for (int i = 0; i < 20000; ++i)
        many.emplace("x" + std::to_string(10000 + i), 1.0f);
    three = {{"u", 1.0f}, {"v", 1.0f}, {"value", 0.5f}, {"w", 1.0f}};
    const ir::GraphIr g{{{"a", "const", many}, {"b", "const", three}}, {}, {}};
    auto previous = compile(g);
    ASSERT_TRUE(previous);
    ASSERT_TRUE(compile(g, std::move(*previous)));
    std::vector<std::string> warned;
    std::istringstream lines(log);
    for (std::string line; std::getline(lines, line);)
        if (line.find(" WARN  ") != std::string::npos)
            warned.push_back(line.substr(line.find("] ") + 2));
    const std::string not_found = ": parameter not found: ";
    std::vector<std::string> once{"set_param on new a/x10000" + not_found + "x10000",
                                  "set_param on new a/x10001" + not_found + "x10001",
                                  "set_param on new a/x10002" + not_found + "x10002",
                                  "set_param on new a: 19997 more controls refused",
                                  "set_param on new b/u" + not_found + "u",
                                  "set_param on new b/v" + not_found + "v",
                                  "set_param on new b/w" + not_found + "w"};
    auto twice = once;
    for (auto line : once)
        twice.push_back(line.replace(line.find("new"), 3, "reused"));
    EXPECT_EQ(warned, twice);
}

TEST_F(CompilerTest, ReusesRunningNodesWhileIdTypeAndGenerationHold) {
    const ir::GraphIr g{{{"a", "const", {}}, {"out", "dac", {}}}, {wire("a", "out")}, {}};
    std::optional<graph::DspGraph> last;
    const auto blocks = [&] {  // recompiled with the last graph to reuse, then one block
        last.emplace(*compile(g, std::move(last)));
        std::vector<float> out(8);
        last->process(out);
        return static_cast<Probe&>(last->node(0)).blocks;
    };
    EXPECT_EQ(blocks(), 1);
    EXPECT_EQ(blocks(), 2);
    ASSERT_TRUE(registry.reregister({"const", {}, {{"out"}}, {}},
                                    std::make_unique<test_nodes::ProbeFactory>(1.0f)));
    EXPECT_EQ(blocks(), 1);  // a new generation: a new instance
    ASSERT_TRUE(compile({{{"a", "sum", {}}}, {}, {}}, std::move(last)));
    EXPECT_TRUE(logged("compile_with_reuse: 0/1 nodes reused (from 2 reusable candidates)"));
}

}  // namespace
