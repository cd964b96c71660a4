#include "audio_engine/graph.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "test_nodes.hpp"

namespace {

using namespace audio_engine::graph;
using test_nodes::Probe;

std::unique_ptr<DspNode> probe(float value, std::size_t inputs = 0) {
    return std::make_unique<Probe>(value, inputs);
}
template <class... N>
std::vector<std::unique_ptr<DspNode>> list(N... n) {
    std::vector<std::unique_ptr<DspNode>> v;
    (v.push_back(std::move(n)), ...);
    return v;
}

TEST(TopologicalSort, KahnWithALastInFirstOutReadyList) {
    struct Case {
        std::size_t n;
        std::vector<Edge> edges;
        std::vector<NodeId> order;  // empty: a cycle
    };
    const Case cases[] = {{3, {}, {2, 1, 0}},
                          {3, {{0, 0, 1, 0}}, {2, 0, 1}},
                          {2, {{0, 0, 1, 0}, {0, 0, 1, 0}}, {0, 1}},
                          {1, {{0, 0, 0, 0}}, {}},
                          {3, {{0, 0, 1, 0}, {1, 0, 0, 0}}, {}}};
    for (const Case& c : cases) {
        const auto order = topological_sort(c.n, c.edges);
        if (c.order.empty()) {
            EXPECT_EQ(order.error(), "graph contains a cycle");
        } else {
            EXPECT_EQ(*order, c.order);
        }
    }
}

class DspGraphBlocks : public ::testing::TestWithParam<std::size_t> {};

TEST_P(DspGraphBlocks, RendersSumsSafelyAndFreshEveryBlock) {
    const std::size_t n = GetParam();
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    // A non-finite source first into the port, another later, one into a port the sum lacks.
    auto g = test_nodes::make_graph(
        list(probe(nan), probe(0.25f), probe(0.5f), probe(-inf), probe(0.0f, 1)),
        {{0, 0, 4, 0}, {1, 0, 4, 0}, {2, 0, 4, 0}, {3, 0, 4, 0}, {1, 0, 4, 1}}, 4, n);
    std::vector<float> out(n + 3, 9.0f);
    g.process(out);
    for (std::size_t i = 0; i < out.size(); ++i)
        ASSERT_EQ(out[i], i < n ? 0.75f : 9.0f) << i;
    EXPECT_TRUE(std::isnan(g.pool().buffers[0][0]));  // the source keeps its samples
    std::vector<float> one(1);
    g.process(one);
    EXPECT_EQ(one[0], 0.75f);

    // A node that stops writing leaves silence, not its last block.
    Probe* p = nullptr;
    auto single = test_nodes::probe_graph(0.5f, n, &p);
    single.process(out);
    p->write = false;
    single.process(out);
    EXPECT_EQ(out[n - 1], 0.0f);

    auto no_output = test_nodes::make_graph(list(probe(0.5f)), {}, std::nullopt, n);
    out[0] = 3.0f;
    no_output.process(out);
    EXPECT_EQ(out[0], 3.0f);  // left as it was
    EXPECT_EQ(test_nodes::heap_use([&] {
                  for (int i = 0; i < 10; ++i)
                      g.process(out);
              }),
              test_nodes::HeapUse{});
}

INSTANTIATE_TEST_SUITE_P(Blocks, DspGraphBlocks, ::testing::ValuesIn(test_nodes::block_sizes()));

TEST(DspGraph, FindsNodesByIdAndHandsThemBackWithTheirState) {
    auto g = test_nodes::make_graph(list(probe(0.5f), probe(0.0f, 1)), {{0, 0, 1, 0}}, 1, 8);
    EXPECT_TRUE(g.set_param("n0", "value", 0.75f));
    EXPECT_EQ(g.set_param("nope", "value", 1.0f).error().display(),
              "parameter not found: node 'nope' not found");
    EXPECT_EQ(g.find("n1"), 1u);
    std::vector<float> out(8);
    g.process(out);
    EXPECT_EQ(out[7], 0.75f);
    auto nodes = std::move(g).into_reusable_nodes();
    ASSERT_EQ(nodes.size(), 2u);
    EXPECT_EQ(static_cast<Probe&>(*nodes.at("n1").node).blocks, 1);
}

}  // namespace
