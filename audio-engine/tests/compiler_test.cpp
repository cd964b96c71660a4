#include "audio_engine/graph/compiler.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <string>
#include <vector>

#include "audio_engine/nodes/dac.hpp"
#include "audio_engine/nodes/gain.hpp"
#include "audio_engine/nodes/oscillator.hpp"
#include "support/log.hpp"
#include "test_nodes.hpp"

namespace {

using namespace audio_engine;
using graph::DspGraph;
using graph::compiler::compile_with_reuse_and_injected;
using graph::compiler::InjectedNodes;
using ir::types::NodeTypeDecl;
using ir::types::PortDecl;
using test_nodes::Constant;
using test_nodes::Sum;

constexpr std::uint32_t kRate = 48000;
constexpr std::size_t kBlock = 8;

template <class Node>
class Factory final : public graph::node::NodeFactory {
public:
    std::expected<std::unique_ptr<graph::node::DspNode>, std::string> create(
        std::uint32_t, std::size_t) const override {
        if constexpr (std::is_same_v<Node, Constant>) {
            return std::make_unique<Constant>(1.0f);
        } else {
            return std::make_unique<Node>();
        }
    }
};

NodeTypeDecl decl(std::string type_id, std::vector<std::string> inputs,
                  std::vector<std::string> outputs) {
    NodeTypeDecl d{std::move(type_id), {}, {}, {}};
    for (auto& n : inputs)
        d.audio_inputs.push_back(PortDecl{std::move(n)});
    for (auto& n : outputs)
        d.audio_outputs.push_back(PortDecl{std::move(n)});
    return d;
}

ir::NodeInstance node(std::string id, std::string type, std::map<std::string, float> c = {}) {
    return ir::NodeInstance{std::move(id), std::move(type), std::move(c)};
}

ir::ConnectionIr wire(std::string from, std::string from_port, std::string to,
                      std::string to_port) {
    return ir::ConnectionIr{std::move(from), std::move(from_port), std::move(to),
                            std::move(to_port)};
}

class CompilerTest : public ::testing::Test {
protected:
    CompilerTest() {
        EXPECT_TRUE(registry.register_type(decl("const", {}, {"out"}),
                                           std::make_unique<Factory<Constant>>()));
        // "in" is declared twice: connections use the first.
        EXPECT_TRUE(registry.register_type(decl("sum", {"in", "in"}, {"out"}),
                                           std::make_unique<Factory<Sum>>()));
        EXPECT_TRUE(
            registry.register_type(decl("dac", {"in"}, {"out"}), std::make_unique<Factory<Sum>>()));
        registry.register_type_only(decl("adc_input", {}, {"out"}));
        support::log::init_with("debug", support::log::Style::Never,
                                [this](std::string_view line) { log.emplace_back(line); });
    }
    ~CompilerTest() override { support::log::reset(); }

    std::expected<DspGraph, graph::compiler::CompileError> compile(
        const ir::GraphIr& g, std::optional<DspGraph> previous = std::nullopt) {
        return compile_with_reuse_and_injected(g, registry, std::move(previous), injected, kRate,
                                               kBlock);
    }
    std::string error_of(const ir::GraphIr& g) {
        auto r = compile(g);
        return r ? std::string("compiled") : r.error().display();
    }
    bool logged(std::string_view text) const {
        for (const auto& line : log) {
            if (line.find(text) != std::string::npos) return true;
        }
        return false;
    }

    registry::NodeRegistry registry;
    InjectedNodes injected;
    std::vector<std::string> log;
};

TEST_F(CompilerTest, AnEmptyDescriptionGivesAnEmptyGraph) {
    auto g = compile(ir::GraphIr{});
    ASSERT_TRUE(g.has_value());
    EXPECT_EQ(g->node_count(), 0u);
    EXPECT_EQ(g->pool().buffers.size(), 1u);
    EXPECT_FALSE(g->output_node().has_value());
    EXPECT_TRUE(
        logged("DEBUG audio_engine::graph::compiler] compile_with_reuse: 0/0 nodes "
               "reused (from 0 reusable candidates)"));
}

TEST_F(CompilerTest, RendersConstantsSummedIntoTheDac) {
    ir::GraphIr g{{node("a", "const", {{"value", 0.25f}}), node("b", "const"), node("out", "dac")},
                  {wire("a", "out", "out", "in"), wire("b", "out", "out", "in")},
                  {}};
    auto graph = compile(g);
    ASSERT_TRUE(graph.has_value()) << graph.error().display();
    EXPECT_EQ(graph->output_node(), 2u);
    std::vector<float> out(kBlock);
    graph->process(out);
    EXPECT_EQ(out, std::vector<float>(kBlock, 1.25f));
}

TEST_F(CompilerTest, ProcessingOrderIsKahnLastInFirstOut) {
    ir::GraphIr g{{node("a", "const"), node("b", "sum"), node("c", "const")},
                  {wire("a", "out", "b", "in")},
                  {}};
    auto graph = compile(g);
    ASSERT_TRUE(graph.has_value());
    EXPECT_EQ(graph->order(), (std::vector<graph::NodeId>{2, 0, 1}));
}

TEST_F(CompilerTest, DuplicateIdsFailBeforeAnythingIsTaken) {
    injected.emplace("x", std::make_unique<Constant>(0.5f));
    ir::GraphIr g{{node("x", "const"), node("x", "sum")}, {}, {}};
    EXPECT_EQ(error_of(g), "duplicate node id: x");
    EXPECT_TRUE(injected.contains("x"));
}

TEST_F(CompilerTest, ConnectionFailures) {
    const std::vector<ir::NodeInstance> nodes{node("a", "const"), node("b", "sum")};
    EXPECT_EQ(error_of({nodes, {wire("zz", "out", "b", "in")}, {}}), "unknown node: zz");
    EXPECT_EQ(error_of({nodes, {wire("a", "out", "zz", "in")}, {}}), "unknown node: zz");
    EXPECT_EQ(error_of({nodes, {wire("a", "nope", "b", "in")}, {}}),
              "unknown port 'nope' on node 'a'");
    EXPECT_EQ(error_of({nodes, {wire("a", "out", "b", "out")}, {}}),
              "unknown port 'out' on node 'b'");
    EXPECT_EQ(error_of({{node("a", "const"), node("b", "mystery")}, {}, {}}),
              "registry error: node type not found: mystery");
    EXPECT_EQ(error_of({nodes, {wire("b", "out", "b", "in")}, {}}), "graph contains a cycle");
}

TEST_F(CompilerTest, APortDeclaredTwiceResolvesToTheFirst) {
    auto graph =
        compile({{node("a", "const"), node("b", "sum")}, {wire("a", "out", "b", "in")}, {}});
    ASSERT_TRUE(graph.has_value());
    ASSERT_EQ(graph->edges().size(), 1u);
    EXPECT_EQ(graph->edges()[0], (graph::Edge{0, 0, 1, 0}));
}

TEST_F(CompilerTest, ReuseKeepsStateOnlyWhileIdTypeAndGenerationHold) {
    const ir::GraphIr g{
        {node("a", "const"), node("out", "dac")}, {wire("a", "out", "out", "in")}, {}};
    auto first = compile(g);
    ASSERT_TRUE(first.has_value());
    std::vector<float> out(kBlock);
    first->process(out);
    first->process(out);

    // Same id, type and generation: the running instance with its state.
    auto second = compile(g, std::move(*first));
    ASSERT_TRUE(second.has_value());
    EXPECT_TRUE(logged("compile_with_reuse: 2/2 nodes reused (from 2 reusable candidates)"));
    auto reusable = std::move(*second).into_reusable_nodes();
    EXPECT_EQ(static_cast<Constant&>(*reusable.at("a").node).blocks, 2);

    // Re-registering the type raises its generation: a fresh instance.
    auto third = compile(g);
    third->process(out);
    ASSERT_TRUE(
        registry.reregister(decl("const", {}, {"out"}), std::make_unique<Factory<Constant>>()));
    auto fourth = compile(g, std::move(*third));
    ASSERT_TRUE(fourth.has_value());
    EXPECT_TRUE(logged("compile_with_reuse: 1/2 nodes reused (from 2 reusable candidates)"));
    EXPECT_EQ(static_cast<Constant&>(*std::move(*fourth).into_reusable_nodes().at("a").node).blocks,
              0);

    // A changed type under the same id: fresh as well.
    auto fifth = compile(g);
    const ir::GraphIr changed{{node("a", "sum"), node("out", "dac")}, {}, {}};
    ASSERT_TRUE(compile(changed, std::move(*fifth)).has_value());
    EXPECT_TRUE(logged("compile_with_reuse: 1/2 nodes reused"));
}

TEST_F(CompilerTest, InjectedNodesAreTakenOnceWhateverTheirType) {
    auto adc = std::make_unique<Constant>(0.125f);
    injected.emplace("adc_in", std::move(adc));
    // Declared as adc_input (no factory): only the injected node can stand there.
    const ir::GraphIr g{{node("adc_in", "adc_input"), node("out", "dac")},
                        {wire("adc_in", "out", "out", "in")},
                        {}};
    auto graph = compile(g);
    ASSERT_TRUE(graph.has_value());
    EXPECT_FALSE(injected.contains("adc_in"));
    std::vector<float> out(kBlock);
    graph->process(out);
    EXPECT_EQ(out[0], 0.125f);

    // Without the injected node the type cannot be made.
    EXPECT_EQ(error_of(g), "registry error: node type not found: adc_input");
}

TEST_F(CompilerTest, RefusedControlsAreLoggedAndTheCompileGoesOn) {
    const ir::GraphIr g{{node("a", "const", {{"bogus", 2.0f}, {"value", 0.5f}})}, {}, {}};
    auto graph = compile(g);
    ASSERT_TRUE(graph.has_value());
    EXPECT_TRUE(
        logged("WARN  audio_engine::graph::compiler] set_param on new a/bogus: "
               "parameter not found: bogus"));
    auto again = compile(g, std::move(*graph));
    EXPECT_TRUE(logged("set_param on reused a/bogus: parameter not found: bogus"));
}

}  // namespace

namespace {

// The built-in types end to end: an oscillator at 440 Hz through a gain of 0.5 into the dac.
TEST(BuiltinGraph, OscillatorThroughGainRendersTheExpectedSamples) {
    registry::NodeRegistry reg;
    ASSERT_TRUE(reg.register_type(nodes::oscillator::oscillator_type_decl(),
                                  std::make_unique<nodes::oscillator::OscillatorFactory>()));
    ASSERT_TRUE(
        reg.register_type(nodes::dac::dac_type_decl(), std::make_unique<nodes::dac::DacFactory>()));
    ASSERT_TRUE(reg.register_type(nodes::gain::gain_type_decl(),
                                  std::make_unique<nodes::gain::GainFactory>()));
    const ir::GraphIr g{{node("osc", "oscillator", {{"freq", 440.0f}}),
                         node("amp", "gain", {{"gain", 0.5f}}), node("out", "dac")},
                        {wire("osc", "out", "amp", "in"), wire("amp", "out", "out", "in")},
                        {}};
    InjectedNodes injected;
    auto graph = compile_with_reuse_and_injected(g, reg, std::nullopt, injected, 48000, 256);
    ASSERT_TRUE(graph.has_value()) << graph.error().display();

    // The oscillator's float recurrence, the gain snapped to 0.5 before the first block.
    const float increment = 440.0f / 48000.0f;
    float phase = 0.0f;
    std::vector<float> out(256);
    for (int block = 0; block < 4; ++block) {
        graph->process(out);
        for (std::size_t i = 0; i < out.size(); ++i) {
            const float expected = std::sin(phase * 6.2831855f) * 0.5f;
            ASSERT_EQ(out[i], expected) << "block " << block << " sample " << i;
            const float p = increment + phase;
            phase = p - std::floor(p);
        }
    }
    EXPECT_EQ(test_nodes::count_allocations([&] { graph->process(out); }), 0u);
}

}  // namespace

namespace {

// A running oscillator keeps its phase across recompiles until its type is declared again.
TEST(BuiltinGraph, ReuseKeepsOscillatorPhaseOnlyWhileTheGenerationHolds) {
    registry::NodeRegistry reg;
    ASSERT_TRUE(reg.register_type(nodes::oscillator::oscillator_type_decl(),
                                  std::make_unique<nodes::oscillator::OscillatorFactory>()));
    const ir::GraphIr g{{node("osc", "oscillator", {{"freq", 1000.0f}})}, {}, {}};
    InjectedNodes injected;
    auto phase_of = [](DspGraph graph) {
        auto nodes = std::move(graph).into_reusable_nodes();
        return static_cast<nodes::oscillator::Oscillator&>(*nodes.at("osc").node).phase();
    };
    std::vector<float> out(256);

    auto first = compile_with_reuse_and_injected(g, reg, std::nullopt, injected, 48000, 256);
    ASSERT_TRUE(first.has_value());
    first->process(out);
    auto second = compile_with_reuse_and_injected(g, reg, std::move(*first), injected, 48000, 256);
    ASSERT_TRUE(second.has_value());
    second->process(out);
    // Two blocks of 256 samples at 1000 Hz / 48 kHz: the phase went on from the first block.
    float expected = 0.0f;
    for (int i = 0; i < 512; ++i) {
        const float p = 1000.0f / 48000.0f + expected;
        expected = p - std::floor(p);
    }
    EXPECT_EQ(phase_of(std::move(*second)), expected);

    auto third = compile_with_reuse_and_injected(g, reg, std::nullopt, injected, 48000, 256);
    third->process(out);
    reg.register_type_only(nodes::oscillator::oscillator_type_decl());
    auto fourth = compile_with_reuse_and_injected(g, reg, std::move(*third), injected, 48000, 256);
    ASSERT_TRUE(fourth.has_value());
    EXPECT_EQ(phase_of(std::move(*fourth)), 0.0f);
}

}  // namespace
