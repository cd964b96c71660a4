#include "audio_engine/graph.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>

#include "audio_engine/nodes/adc.hpp"
#include "audio_engine/nodes/dac.hpp"
#include "audio_engine/nodes/gain.hpp"
#include "audio_engine/nodes/oscillator.hpp"
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

// The built-in nodes and the graph's input rule written plainly, one sample at a time: what the
// graph must render bit for bit, however it gets there.
struct Reference {
    struct Osc {
        float freq, rate, phase = 0.0f;
        std::uint8_t waveform;
    };
    struct Gain {
        float current = 1.0f, target = 1.0f;
        bool snap = true;
    };
    enum Kind { kOsc, kGain, kDac, kAdc };
    struct Node {
        Kind kind;
        Osc osc{};
        Gain gain{};
        std::vector<float> out{};
    };
    std::vector<Node> nodes;
    std::vector<Edge> edges;
    std::vector<float> adc;

    static float osc_sample(Osc& o, float increment) {
        const float value = o.waveform == 1   ? std::fma(2.0f, o.phase, -1.0f)
                            : o.waveform == 2 ? (o.phase < 0.5f ? 1.0f : -1.0f)
                                              : std::sin(o.phase * 6.2831855f);
        const float p = increment + o.phase;
        o.phase = p - std::floor(p);
        return value;
    }
    static float gain_sample(Gain& g, float in) {
        const float distance = g.target - g.current;
        const float d = 0.02f * distance;
        const float next = g.current + d;
        g.current = next == g.current || std::abs(distance) < std::numeric_limits<float>::min()
                        ? g.target
                        : next;
        return in * g.current;
    }
    static bool finite(float x) {
        return (std::bit_cast<std::uint32_t>(x) & 0x7FFFFFFFu) < 0x7F800000u;
    }

    void block(std::size_t n, std::span<const NodeId> order) {
        for (const NodeId id : order) {
            Node& node = nodes[id];
            // One input port: the first connection is taken as it is, later ones are added.
            std::vector<float> in(n, 0.0f);
            bool first = true;
            for (const Edge& e : edges) {
                if (e.to != id) continue;
                for (std::size_t i = 0; i < n; ++i) {
                    const float x = finite(nodes[e.from].out[i]) ? nodes[e.from].out[i] : 0.0f;
                    in[i] = first ? x : in[i] + x;
                }
                first = false;
            }
            node.out.resize(n);
            const float increment = node.osc.freq / node.osc.rate;
            node.gain.snap = node.kind == kGain ? false : node.gain.snap;
            for (std::size_t i = 0; i < n; ++i) {
                node.out[i] = node.kind == kOsc    ? osc_sample(node.osc, increment)
                              : node.kind == kGain ? gain_sample(node.gain, in[i])
                              : node.kind == kDac  ? in[i]
                                                   : (i < adc.size() ? adc[i] : 0.0f);
            }
        }
    }
    void set_gain(NodeId id, float value) {
        nodes[id].gain.target = value;
        if (nodes[id].gain.snap) nodes[id].gain.current = value;
    }
};

class BuiltinGraphBlocks : public ::testing::TestWithParam<std::size_t> {};

TEST_P(BuiltinGraphBlocks, RenderTheReferenceBitsForEveryWaveformAndNonFiniteInput) {
    using namespace audio_engine::nodes;
    const std::size_t n = GetParam();
    const float inf = std::numeric_limits<float>::infinity();
    Reference ref;
    std::vector<std::unique_ptr<DspNode>> nodes;
    const auto osc = [&](float freq, std::uint32_t rate, float waveform) {
        nodes.push_back(std::make_unique<oscillator::Oscillator>(rate));
        EXPECT_TRUE(nodes.back()->set_param("waveform", waveform));
        if (freq != 440.0f) {
            EXPECT_TRUE(nodes.back()->set_param("freq", freq));
        }
        ref.nodes.push_back(
            {Reference::kOsc,
             {freq, static_cast<float>(rate), 0.0f, static_cast<std::uint8_t>(waveform)}});
    };
    const auto gain = [&](float value) {
        nodes.push_back(std::make_unique<gain::GainNode>());
        ref.nodes.push_back({Reference::kGain});
        if (value == 1.0f) return;
        EXPECT_TRUE(nodes.back()->set_param("gain", value));
        ref.set_gain(nodes.size() - 1, value);
    };
    osc(440.0f, 48000, 0.0f);   // 0
    osc(1000.0f, 44100, 1.0f);  // 1
    osc(3000.0f, 96000, 2.0f);  // 2
    osc(12000.0f, 8000, 1.0f);  // 3: more than a cycle per sample
    osc(440.0f, 0, 0.0f);       // 4: no rate, NaN from the second sample on
    auto ring = std::make_shared<adc::CaptureRing>(512);
    nodes.push_back(std::make_unique<adc::AdcNode>(ring));  // 5
    ref.nodes.push_back({Reference::kAdc});
    gain(0.5f);   // 6 <- 0
    gain(1.0f);   // 7 <- 1, ramps later
    gain(-1.0f);  // 8 <- 2
    gain(inf);    // 9 <- 0: infinite, NaN where the sine is 0
    gain(0.25f);  // 10 <- 4
    gain(1e30f);  // 11 <- 5: overflows
    gain(2.0f);   // 12 <- 9, alone
    gain(-0.5f);  // 13 <- 5: -0.0 where the ring runs dry, first into the output
    gain(1.0f);   // 14 <- 5 and 3 summed
    nodes.push_back(std::make_unique<dac::DacNode>());  // 15, the output
    ref.nodes.push_back({Reference::kDac});
    nodes.push_back(std::make_unique<dac::DacNode>());  // 16 <- 10, alone
    ref.nodes.push_back({Reference::kDac});
    gain(1.0f);  // 17 <- 5 twice: the sum of finite samples overflows
    nodes.push_back(std::make_unique<dac::DacNode>());  // 18 <- 17, alone
    ref.nodes.push_back({Reference::kDac});
    ref.edges = {{0, 0, 6, 0},   {1, 0, 7, 0},   {2, 0, 8, 0},   {0, 0, 9, 0},   {4, 0, 10, 0},
                 {5, 0, 11, 0},  {9, 0, 12, 0},  {5, 0, 13, 0},  {5, 0, 14, 0},  {3, 0, 14, 0},
                 {13, 0, 15, 0}, {6, 0, 15, 0},  {7, 0, 15, 0},  {8, 0, 15, 0},  {9, 0, 15, 0},
                 {10, 0, 15, 0}, {11, 0, 15, 0}, {12, 0, 15, 0}, {14, 0, 15, 0}, {10, 0, 16, 0},
                 {5, 0, 17, 0},  {5, 0, 17, 0},  {17, 0, 18, 0}};
    auto g = test_nodes::make_graph(std::move(nodes), ref.edges, 15, n);

    const float nan = std::nanf("");
    const std::vector<float> captured = {nan, inf, -inf, -0.0f, 1e30f, -2.0f, 0.5f, 3e-39f, 3e38f};
    std::vector<float> out(n);
    std::size_t next = 0;  // the captured values go round, whatever the block size
    for (std::size_t b = 0, done = 0; done < 700; ++b, done += n) {
        ref.adc.clear();
        for (std::size_t i = 0; i < std::min<std::size_t>(n - n / 4, 2 * captured.size()); ++i) {
            ref.adc.push_back(captured[next++ % captured.size()]);
            ASSERT_TRUE(ring->try_push(ref.adc.back()));
        }
        if (b == 1) {  // a ramp, a waveform change, a new pitch
            ASSERT_TRUE(g.set_param("n7", "gain", -0.25f));
            ref.set_gain(7, -0.25f);
            ASSERT_TRUE(g.set_param("n1", "waveform", 2.0f) && g.set_param("n2", "waveform", 0.0f));
            ref.nodes[1].osc.waveform = 2;
            ref.nodes[2].osc.waveform = 0;
            ASSERT_TRUE(g.set_param("n0", "freq", 20000.0f));
            ref.nodes[0].osc.freq = 20000.0f;
        }
        g.process(out);
        ref.block(n, g.order());
        for (NodeId id = 0; id < ref.nodes.size(); ++id) {
            for (std::size_t i = 0; i < n; ++i) {
                ASSERT_EQ(std::bit_cast<std::uint32_t>(g.pool().buffers[id][i]),
                          std::bit_cast<std::uint32_t>(ref.nodes[id].out[i]))
                    << "node " << id << " sample " << i << " block " << b;
            }
        }
        for (std::size_t i = 0; i < n; ++i)
            ASSERT_EQ(std::bit_cast<std::uint32_t>(out[i]),
                      std::bit_cast<std::uint32_t>(ref.nodes[15].out[i]));
    }
    EXPECT_EQ(test_nodes::heap_use([&] { g.process(out); }), test_nodes::HeapUse{});
}

INSTANTIATE_TEST_SUITE_P(Blocks, BuiltinGraphBlocks,
                         ::testing::ValuesIn(test_nodes::block_sizes()));

}  // namespace
