#include "audio_engine/swap.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "test_nodes.hpp"

namespace {

using namespace audio_engine;
using swap::GraphSwapper;
namespace cmd = swap::command;
using test_nodes::constant_graph;
using test_nodes::Recorder;

constexpr std::size_t kBlock = 4;

std::vector<float> render(GraphSwapper& s, std::size_t n = kBlock) {
    std::vector<float> out(n, 9.0f);
    s.process(out);
    return out;
}

// The crossfade formula for one sample, in the same float steps.
float mix(float old_value, float new_value, std::uint64_t remaining, std::size_t i,
          std::uint64_t length) {
    const float f = std::max(static_cast<float>(remaining) - static_cast<float>(i), 0.0f) /
                    static_cast<float>(length == 0 ? 1 : length);
    return std::clamp(std::fma(old_value, f, (1.0f - f) * new_value), -1.0f, 1.0f);
}

TEST(GraphSwapper, SilentWithoutAGraphAndTheFirstGraphStartsWithoutAFade) {
    GraphSwapper s(8, kBlock);
    EXPECT_EQ(render(s), std::vector<float>(kBlock, 0.0f));
    s.drain_commands(cmd::SwapGraph{constant_graph(0.5f, kBlock)});
    EXPECT_FALSE(s.fading());
    EXPECT_EQ(render(s), std::vector<float>(kBlock, 0.5f));
}

TEST(GraphSwapper, CrossfadeGainsSampleBySample) {
    constexpr std::uint64_t length = 6;
    GraphSwapper s(length, kBlock);
    s.drain_commands(cmd::SwapGraph{constant_graph(0.8f, kBlock)});
    render(s);
    s.drain_commands(cmd::SwapGraph{constant_graph(-0.4f, kBlock)});
    ASSERT_TRUE(s.fading());

    // The first sample is the old graph alone; f falls by 1/6 per sample.
    const auto first = render(s);
    for (std::size_t i = 0; i < kBlock; ++i)
        EXPECT_EQ(first[i], mix(0.8f, -0.4f, 6, i, length));
    EXPECT_EQ(first[0], 0.8f);
    EXPECT_EQ(s.remaining(), 2u);
    EXPECT_FALSE(s.take_retired().has_value());

    // remaining 2 <= 4: the fade ends here; from index 2 on the new graph alone.
    const auto second = render(s);
    for (std::size_t i = 0; i < kBlock; ++i) {
        EXPECT_EQ(second[i], mix(0.8f, -0.4f, 2, i, length)) << i;
    }
    EXPECT_EQ(second[2], -0.4f);
    EXPECT_FALSE(s.fading());
    EXPECT_TRUE(s.take_retired().has_value());
    EXPECT_EQ(render(s), std::vector<float>(kBlock, -0.4f));
}

TEST(GraphSwapper, ZeroLengthCrossfadeSwitchesInOneBlock) {
    GraphSwapper s(0, kBlock);
    s.drain_commands(cmd::SwapGraph{constant_graph(0.8f, kBlock)});
    render(s);
    s.drain_commands(cmd::SwapGraph{constant_graph(0.25f, kBlock)});
    EXPECT_EQ(render(s), std::vector<float>(kBlock, 0.25f));
    EXPECT_TRUE(s.take_retired().has_value());
    EXPECT_FALSE(s.fading());
}

TEST(GraphSwapper, SetCrossfadeDuringAFadeChangesTheRestOfIt) {
    GraphSwapper s(8, kBlock);
    s.drain_commands(cmd::SwapGraph{constant_graph(0.5f, kBlock)});
    s.drain_commands(cmd::SwapGraph{constant_graph(0.0f, kBlock)});
    render(s);  // remaining 8 -> 4
    s.drain_commands(cmd::SetCrossfade{2});
    // f = (4 - i) / 2 exceeds 1 at first; the output stage clamps.
    const auto out = render(s);
    for (std::size_t i = 0; i < kBlock; ++i)
        EXPECT_EQ(out[i], mix(0.5f, 0.0f, 4, i, 2)) << i;
    EXPECT_EQ(out[0], 1.0f);
}

TEST(GraphSwapper, ASwapDuringAFadeRetiresTheFadingGraphAndRestarts) {
    GraphSwapper s(8, kBlock);
    s.drain_commands(cmd::SwapGraph{constant_graph(0.1f, kBlock)});
    s.drain_commands(cmd::SwapGraph{constant_graph(0.2f, kBlock)});
    render(s);
    EXPECT_EQ(s.remaining(), 4u);
    s.drain_commands(cmd::SwapGraph{constant_graph(0.3f, kBlock)});
    EXPECT_EQ(s.remaining(), 8u);
    auto retired = s.take_retired();
    ASSERT_TRUE(retired.has_value());
    std::vector<float> probe(kBlock);
    retired->process(probe);
    EXPECT_EQ(probe[0], 0.1f);  // the first outgoing graph
    EXPECT_EQ(render(s)[0], 0.2f);
}

TEST(GraphSwapper, SetParamReachesTheCurrentAndTheFadingGraph) {
    GraphSwapper s(8, kBlock);
    s.drain_commands(cmd::SwapGraph{constant_graph(0.1f, kBlock)});
    s.drain_commands(cmd::SwapGraph{constant_graph(0.2f, kBlock)});
    s.drain_commands(cmd::SetParam{"n0", "value", 0.5f});
    s.drain_commands(cmd::SetParam{"missing", "value", 0.7f});  // ignored
    EXPECT_EQ(render(s), std::vector<float>(kBlock, 0.5f));
}

TEST(GraphSwapper, OutputStageAppliesGainAndMakesSamplesSafe) {
    GraphSwapper s(0, kBlock);
    s.drain_commands(cmd::SwapGraph{constant_graph(0.75f, kBlock)});
    s.drain_commands(cmd::SetMasterGain{2.0f});
    EXPECT_EQ(render(s), std::vector<float>(kBlock, 1.0f));
    s.drain_commands(cmd::SetMasterGain{-2.0f});
    EXPECT_EQ(render(s), std::vector<float>(kBlock, -1.0f));
    s.drain_commands(cmd::SetMasterGain{std::numeric_limits<float>::quiet_NaN()});
    EXPECT_EQ(render(s), std::vector<float>(kBlock, 0.0f));
    s.drain_commands(cmd::SetMasterGain{1.0f});
    s.drain_commands(
        cmd::SwapGraph{constant_graph(std::numeric_limits<float>::infinity(), kBlock)});
    // The graph's own buffers keep the infinity, the device gets 0.
    EXPECT_EQ(render(s), std::vector<float>(kBlock, 0.0f));
}

TEST(GraphSwapper, OnlyTheFirstMaxBlockSamplesAreWritten) {
    GraphSwapper s(0, kBlock);
    s.drain_commands(cmd::SwapGraph{constant_graph(0.5f, kBlock)});
    const auto out = render(s, kBlock + 3);
    for (std::size_t i = 0; i < out.size(); ++i)
        EXPECT_EQ(out[i], i < kBlock ? 0.5f : 9.0f);
}

automation::Automation ramp(std::uint64_t period, bool one_shot = false) {
    return automation::Automation{"n0", "x",     automation::shape::Ramp{}, period, 0, 0.0f, 1.0f,
                                  true, one_shot};
}

class AutomationTest : public ::testing::Test {
protected:
    AutomationTest() {
        auto recorder = std::make_unique<Recorder>();
        values = &recorder->values;
        s.drain_commands(cmd::SwapGraph{
            test_nodes::make_graph(test_nodes::nodes(std::move(recorder)), {}, 0, kBlock)});
    }
    GraphSwapper s{0, kBlock};
    std::vector<float>* values;
};

TEST_F(AutomationTest, PeriodZeroSetsLoOnceAndStops) {
    auto a = ramp(0);
    a.lo = 0.3f;
    s.drain_commands(cmd::SetAutomation{"a", a});
    render(s);
    render(s);
    EXPECT_EQ(*values, (std::vector<float>{0.3f}));
    EXPECT_FALSE(s.automations()[0].second.active);
}

TEST_F(AutomationTest, OneShotStopsBeforeTheEndOfItsPeriod) {
    // Period 10 over blocks of 4: values at positions 0, 4, 8, then it stops at 9.
    s.drain_commands(cmd::SetAutomation{"a", ramp(10, true)});
    for (int i = 0; i < 5; ++i)
        render(s);
    EXPECT_EQ(*values, (std::vector<float>{0.0f, 0.4f, 0.8f}));
    EXPECT_EQ(s.automations()[0].second.position, 9u);
    EXPECT_FALSE(s.automations()[0].second.active);
}

TEST_F(AutomationTest, LoopingWrapsAndAReplacementRestarts) {
    s.drain_commands(cmd::SetAutomation{"a", ramp(6)});
    for (int i = 0; i < 4; ++i)
        render(s);
    // Positions 0, 4, 8 mod 6 = 2, 6 mod 6 = 0.
    EXPECT_EQ(*values, (std::vector<float>{0.0f, 4.0f / 6.0f, 2.0f / 6.0f, 0.0f}));

    values->clear();
    auto replacement = ramp(8);
    replacement.position = 2;
    s.drain_commands(cmd::SetAutomation{"a", replacement});
    s.drain_commands(cmd::SetAutomation{"b", ramp(0)});
    ASSERT_EQ(s.automations().size(), 2u);
    EXPECT_EQ(s.automations()[0].first, "a");  // replaced in place
    render(s);
    EXPECT_EQ(*values, (std::vector<float>{0.25f, 0.0f}));

    s.drain_commands(cmd::ClearAutomation{"a"});
    s.drain_commands(cmd::ClearAutomation{"unknown"});
    ASSERT_EQ(s.automations().size(), 1u);
    EXPECT_EQ(s.automations()[0].first, "b");
}

TEST(AutomationWithoutGraph, PositionsRunOnWhileNoGraphIsCurrent) {
    GraphSwapper s(0, kBlock);
    s.drain_commands(cmd::SetAutomation{"a", ramp(100)});
    render(s);
    render(s);
    EXPECT_EQ(s.automations()[0].second.position, 8u);
}

TEST(AutoShape, CurveValues) {
    using namespace automation;
    EXPECT_EQ(AutoShape(shape::Sine{}).eval(0.0f), 0.5f);
    EXPECT_EQ(AutoShape(shape::Sine{}).eval(0.25f),
              std::fma(std::sin(0.5f * 3.1415927f), 0.5f, 0.5f));
    EXPECT_EQ(AutoShape(shape::Tri{}).eval(0.25f), 0.5f);
    EXPECT_EQ(AutoShape(shape::Tri{}).eval(0.5f), 1.0f);
    EXPECT_EQ(AutoShape(shape::Ramp{}).eval(0.3f), 0.3f);
    EXPECT_EQ(AutoShape(shape::RampDown{}).eval(0.25f), 0.75f);
    EXPECT_EQ(AutoShape(shape::Square{}).eval(0.49f), 1.0f);
    EXPECT_EQ(AutoShape(shape::Square{}).eval(0.5f), 0.0f);
    EXPECT_EQ(AutoShape(shape::Exp{}).eval(0.5f), 0.25f);
    EXPECT_EQ(AutoShape(shape::Pulse{0.25f}).eval(0.2f), 1.0f);
    EXPECT_EQ(AutoShape(shape::Pulse{0.25f}).eval(0.25f), 0.0f);
}

TEST(AutoShape, TableLooksUpByTruncatedIndex) {
    using namespace automation;
    const AutoShape table(shape::Table{{1.0f, 2.0f, 3.0f, 4.0f}});
    EXPECT_EQ(table.eval(0.0f), 1.0f);
    EXPECT_EQ(table.eval(0.49f), 2.0f);
    EXPECT_EQ(table.eval(0.99f), 4.0f);
    EXPECT_EQ(table.eval(1.0f), 4.0f);
    EXPECT_EQ(table.eval(1e30f), 4.0f);
    EXPECT_EQ(table.eval(-0.5f), 1.0f);
    EXPECT_EQ(table.eval(std::numeric_limits<float>::quiet_NaN()), 1.0f);
    EXPECT_EQ(AutoShape(shape::Table{{7.0f}}).eval(0.6f), 7.0f);
    EXPECT_EQ(AutoShape(shape::Table{}).eval(0.5f), 0.0f);
}

TEST(GraphSwapper, BlocksAllocateNothingSteadyOrFading) {
    GraphSwapper s(6, kBlock);
    s.drain_commands(cmd::SwapGraph{constant_graph(0.5f, kBlock)});
    s.drain_commands(cmd::SetAutomation{"a", ramp(16)});
    std::vector<float> out(kBlock);
    s.process(out);
    EXPECT_EQ(test_nodes::count_allocations([&] {
                  for (int i = 0; i < 10; ++i)
                      s.process(out);
              }),
              0u);
    s.drain_commands(cmd::SwapGraph{constant_graph(0.25f, kBlock)});
    EXPECT_EQ(test_nodes::count_allocations([&] { s.process(out); }), 0u);
    EXPECT_TRUE(s.fading());
}

}  // namespace
