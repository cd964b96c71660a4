#include "audio_engine/graph.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <memory>
#include <vector>

#include "test_nodes.hpp"

namespace {

using namespace audio_engine::graph;
using test_nodes::Constant;
using test_nodes::make_graph;
using test_nodes::nodes;
using test_nodes::Sum;

constexpr std::size_t kBlock = 8;

TEST(TopologicalSort, IndependentNodesRunFromTheHighestIndexDown) {
    EXPECT_EQ(*topological_sort(3, {}), (std::vector<NodeId>{2, 1, 0}));
    const std::vector<Edge> one{{0, 0, 1, 0}};
    EXPECT_EQ(*topological_sort(3, one), (std::vector<NodeId>{2, 0, 1}));
    const std::vector<Edge> chain{{2, 0, 1, 0}, {1, 0, 0, 0}};
    EXPECT_EQ(*topological_sort(3, chain), (std::vector<NodeId>{2, 1, 0}));
    EXPECT_TRUE(topological_sort(0, {})->empty());
}

TEST(TopologicalSort, CyclesFail) {
    const std::vector<Edge> self{{0, 0, 0, 0}};
    EXPECT_EQ(topological_sort(1, self).error(), "graph contains a cycle");
    const std::vector<Edge> loop{{0, 0, 1, 0}, {1, 0, 0, 0}};
    EXPECT_EQ(topological_sort(3, loop).error(), "graph contains a cycle");
    // A repeated edge counts twice and still sorts.
    const std::vector<Edge> twice{{0, 0, 1, 0}, {0, 0, 1, 0}};
    EXPECT_EQ(*topological_sort(2, twice), (std::vector<NodeId>{0, 1}));
}

TEST(DspGraph, RendersThroughTheOutputNode) {
    auto g = make_graph(nodes(std::make_unique<Constant>(0.25f), std::make_unique<Sum>()),
                        {{0, 0, 1, 0}}, 1);
    std::vector<float> out(kBlock, -1.0f);
    g.process(out);
    EXPECT_EQ(out, std::vector<float>(kBlock, 0.25f));
}

TEST(DspGraph, ConnectionsIntoOneInputAreSummedAndNonFiniteSamplesCountAsZero) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    auto g = make_graph(nodes(std::make_unique<Constant>(0.25f), std::make_unique<Constant>(0.5f),
                              std::make_unique<Constant>(nan), std::make_unique<Constant>(-inf),
                              std::make_unique<Sum>()),
                        {{0, 0, 4, 0}, {1, 0, 4, 0}, {2, 0, 4, 0}, {3, 0, 4, 0}}, 4);
    std::vector<float> out(kBlock, 0.0f);
    g.process(out);
    EXPECT_EQ(out, std::vector<float>(kBlock, 0.75f));
    // The source keeps its own samples.
    EXPECT_TRUE(std::isnan(g.pool().buffers[2][0]));
}

TEST(DspGraph, PortsTheInstanceDoesNotHaveContributeNothing) {
    // Sum has one input: a connection into port 1 is dropped.
    auto g = make_graph(nodes(std::make_unique<Constant>(1.0f), std::make_unique<Sum>()),
                        {{0, 0, 1, 1}}, 1);
    std::vector<float> out(kBlock, 7.0f);
    g.process(out);
    EXPECT_EQ(out, std::vector<float>(kBlock, 0.0f));
}

TEST(DspGraph, OutShorterOrLongerThanTheBlock) {
    auto g = make_graph(nodes(std::make_unique<Constant>(0.5f)), {}, 0);
    std::vector<float> shorter(3, 0.0f);
    g.process(shorter);
    EXPECT_EQ(shorter, std::vector<float>(3, 0.5f));
    std::vector<float> longer(kBlock + 4, 9.0f);
    g.process(longer);
    for (std::size_t i = 0; i < longer.size(); ++i) {
        EXPECT_EQ(longer[i], i < kBlock ? 0.5f : 9.0f) << i;
    }
}

TEST(DspGraph, WithoutAnOutputNodeTheBlockIsLeftAsItWas) {
    auto g = make_graph(nodes(std::make_unique<Constant>(0.5f)), {}, std::nullopt);
    std::vector<float> out(kBlock, 3.0f);
    g.process(out);
    EXPECT_EQ(out, std::vector<float>(kBlock, 3.0f));

    auto empty = make_graph({}, {}, std::nullopt);
    EXPECT_EQ(empty.pool().buffers.size(), 1u);
    empty.process(out);
    EXPECT_EQ(out, std::vector<float>(kBlock, 3.0f));
}

TEST(DspGraph, ANodeThatWritesNothingLeavesSilence) {
    auto silent = std::make_unique<Constant>(0.5f);
    silent->write = false;
    auto g = make_graph(nodes(std::move(silent)), {}, 0);
    std::vector<float> out(kBlock, 3.0f);
    g.process(out);
    EXPECT_EQ(out, std::vector<float>(kBlock, 0.0f));
}

TEST(DspGraph, SetParamFindsTheNodeById) {
    auto g = make_graph(nodes(std::make_unique<Constant>(0.5f)), {}, 0);
    EXPECT_TRUE(g.set_param("n0", "value", 0.75f).has_value());
    std::vector<float> out(kBlock);
    g.process(out);
    EXPECT_EQ(out[0], 0.75f);
    EXPECT_EQ(g.set_param("n0", "other", 1.0f).error().display(), "parameter not found: other");
    EXPECT_EQ(g.set_param("nope", "value", 1.0f).error().display(),
              "parameter not found: node 'nope' not found");
}

TEST(DspGraph, HandsBackItsNodesWithTheirState) {
    auto g = make_graph(nodes(std::make_unique<Constant>(0.5f), std::make_unique<Sum>()),
                        {{0, 0, 1, 0}}, 1);
    std::vector<float> out(kBlock);
    g.process(out);
    auto reusable = std::move(g).into_reusable_nodes();
    ASSERT_EQ(reusable.size(), 2u);
    EXPECT_EQ(reusable.at("n0").type_id, "test");
    EXPECT_EQ(reusable.at("n0").generation, 1u);
    EXPECT_EQ(static_cast<Constant&>(*reusable.at("n0").node).blocks, 1);
    EXPECT_TRUE(std::move(make_graph({}, {}, std::nullopt)).into_reusable_nodes().empty());
}

TEST(DspGraph, RenderingAllocatesNothing) {
    auto g = make_graph(nodes(std::make_unique<Constant>(0.25f), std::make_unique<Constant>(0.5f),
                              std::make_unique<Sum>()),
                        {{0, 0, 2, 0}, {1, 0, 2, 0}}, 2);
    std::vector<float> out(kBlock);
    g.process(out);
    const auto allocations = test_nodes::count_allocations([&] {
        for (int i = 0; i < 100; ++i)
            g.process(out);
    });
    EXPECT_EQ(allocations, 0u);
}

}  // namespace
