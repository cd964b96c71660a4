#include "audio_engine/graph/compiler.hpp"

#include <gtest/gtest.h>

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
        registry.register_type_only({"adc_input", {}, {{"out"}}, {}});
        support::log::init_with("debug", support::log::Style::Never,
                                [this](std::string_view line) { log += line; });
    }
    ~CompilerTest() override { support::log::reset(); }

    std::expected<graph::DspGraph, graph::compiler::CompileError> compile(
        const ir::GraphIr& g, std::optional<graph::DspGraph> previous = std::nullopt) {
        return graph::compiler::compile_with_reuse_and_injected(g, registry, std::move(previous),
                                                                injected, 48000, 8);
    }
    float first_sample(graph::DspGraph& g) {
        std::vector<float> out(8);
        g.process(out);
        return out[0];
    }

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
        {{two, {wire("b", "b")}, {}}, "graph contains a cycle"},
        {{{{"y", "adc_input", {}}}, {}, {}}, "registry error: node type not found: adc_input"}};
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
    EXPECT_EQ(first_sample(*g), 1.25f);  // the dac probe adds its own 1
    EXPECT_EQ(g->edges()[2], (graph::Edge{0, 0, 4, 0}));
    EXPECT_NE(log.find("WARN  audio_engine::graph::compiler] set_param on new a/bogus: "
                       "parameter not found: bogus"),
              std::string::npos);
}

TEST_F(CompilerTest, ReusesRunningNodesWhileIdTypeAndGenerationHold) {
    const ir::GraphIr g{{{"a", "const", {}}, {"out", "dac", {}}}, {wire("a", "out")}, {}};
    const auto blocks_after = [&](std::optional<graph::DspGraph> previous) {
        auto next = compile(g, std::move(previous));
        first_sample(*next);
        return static_cast<Probe&>(next->node(0)).blocks;
    };
    auto first = compile(g);
    first_sample(*first);
    EXPECT_EQ(blocks_after(std::move(*first)), 2);
    auto second = compile(g);
    first_sample(*second);
    ASSERT_TRUE(registry.reregister({"const", {}, {{"out"}}, {}},
                                    std::make_unique<test_nodes::ProbeFactory>(1.0f)));
    EXPECT_EQ(blocks_after(std::move(*second)), 1);  // a new generation: a new instance
    auto third = compile(g);
    ASSERT_TRUE(compile({{{"a", "sum", {}}}, {}, {}}, std::move(*third)));
    EXPECT_NE(log.find("compile_with_reuse: 0/1 nodes reused (from 2 reusable candidates)"),
              std::string::npos);
}

}  // namespace
