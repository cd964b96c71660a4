#include "audio_engine/graph.hpp"

#include <gtest/gtest.h>

#include <cmath>

#include "test_nodes.hpp"

namespace {

using namespace audio_engine::graph;
using test_nodes::Probe;

TEST(TopologicalSort, KahnWithALastInFirstOutReadyList) {
    EXPECT_EQ(*topological_sort(3, std::vector<Edge>{{0, 0, 1, 0}, {0, 0, 1, 0}}),
              (std::vector<NodeId>{2, 0, 1}));  // a repeated edge counts twice
    EXPECT_EQ(topological_sort(3, std::vector<Edge>{{0, 0, 1, 0}, {1, 0, 0, 0}}).error(),
              "graph contains a cycle");
}

class DspGraphBlocks : public ::testing::TestWithParam<std::size_t> {};

TEST_P(DspGraphBlocks, SumsSafelyIntoFreshBuffersAndUsesNoHeap) {
    const std::size_t n = GetParam();
    const float inf = std::numeric_limits<float>::infinity();
    std::vector<std::unique_ptr<DspNode>> nodes;
    for (const float v : {std::nanf(""), 0.25f, 0.5f, -inf, 0.0f, 0.0f})
        nodes.push_back(std::make_unique<Probe>(v, nodes.size() / 4));
    auto* quiet = static_cast<Probe*>(nodes[1].get());
    // A non-finite source first into a port and one later, one alone into node 5, and one into
    // a port the sum lacks.
    auto g = test_nodes::make_graph(
        std::move(nodes),
        {{0, 0, 4, 0}, {1, 0, 4, 0}, {2, 0, 4, 0}, {3, 0, 4, 0}, {1, 0, 4, 1}, {3, 0, 5, 0}}, 4, n);
    std::vector<float> out(n + 3, 9.0f);
    g.process(out);
    for (std::size_t i = 0; i < out.size(); ++i)
        ASSERT_EQ(out[i], i < n ? 0.75f : 9.0f) << i;
    EXPECT_TRUE(std::isnan(g.pool().buffers[0][0]));  // the source keeps its samples
    EXPECT_EQ(g.pool().buffers[5][n - 1], 0.0f);
    quiet->write = false;  // leaves silence, not its last block
    std::vector<float> one(1);
    g.process(one);
    EXPECT_EQ(one[0], 0.5f);
    EXPECT_EQ(test_nodes::heap_use([&] { g.process(out); }), test_nodes::HeapUse{});

    auto silent = test_nodes::make_graph({}, {}, std::nullopt, n);
    silent.process(out);
    EXPECT_EQ(out.back(), 9.0f);  // no output node: left as it was
}

INSTANTIATE_TEST_SUITE_P(Blocks, DspGraphBlocks, ::testing::ValuesIn(test_nodes::block_sizes()));

}  // namespace
