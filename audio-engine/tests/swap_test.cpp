#include "audio_engine/swap.hpp"

#include <gtest/gtest.h>

#include <limits>

#include "test_nodes.hpp"

namespace {

using namespace audio_engine;
using swap::GraphSwapper;
namespace cmd = swap::command;
using test_nodes::probe_graph;
using test_nodes::Probe;

std::vector<float> render(GraphSwapper& s, std::size_t n) {
    std::vector<float> out(n, 9.0f);
    s.process(out);
    return out;
}

automation::Automation ramp(std::uint64_t period, bool one_shot = false,
                            std::string node = "n0", std::string control = "value") {
    return {std::move(node), std::move(control), automation::shape::Ramp{}, period, 0, 0.0f, 1.0f,
            true, one_shot};
}

class SwapperBlocks : public ::testing::TestWithParam<std::size_t> {
protected:
    const std::size_t n = GetParam();
};

TEST_P(SwapperBlocks, CrossfadesFromOldToNewAndRetiresAtTheEnd) {
    for (const std::uint64_t length : {std::uint64_t{0}, 2 * n, 2 * n + 1, 3 * n - 1}) {
        GraphSwapper s(length, n);
        s.drain_commands(cmd::SwapGraph{probe_graph(0.8f, n)});
        EXPECT_EQ(render(s, n), std::vector<float>(n, 0.8f));  // no fade for the first graph
        s.drain_commands(cmd::SwapGraph{probe_graph(-0.4f, n)});
        std::vector<float> heard;
        while (s.fading()) {
            ASSERT_FALSE(s.take_retired().has_value());
            const auto block = render(s, n);
            heard.insert(heard.end(), block.begin(), block.end());
        }
        // The fade ends in the block in which remaining <= block size.
        EXPECT_EQ(heard.size(), std::max<std::uint64_t>(1, (length + n - 1) / n) * n) << length;
        EXPECT_TRUE(s.take_retired().has_value());
        if (length > 0) {
            EXPECT_EQ(heard[0], 0.8f);  // the old graph alone
        }
        for (std::size_t t = 1; t < heard.size(); ++t) {
            if (t >= length) {
                ASSERT_EQ(heard[t], -0.4f) << length << " " << t;
            } else {
                ASSERT_LT(heard[t], heard[t - 1]) << length << " " << t;
            }
        }
    }
}

TEST_P(SwapperBlocks, AutomationsRunOnTheCurrentGraphOnly) {
    GraphSwapper s(1'000'000, n);
    Probe* old_probe = nullptr;
    Probe* probe = nullptr;
    s.drain_commands(cmd::SwapGraph{probe_graph(0.0f, n, &old_probe)});
    s.drain_commands(cmd::SwapGraph{probe_graph(0.0f, n, &probe)});
    old_probe->record = probe->record = true;
    const std::uint64_t period = 3 * n + 2;
    s.drain_commands(cmd::SetAutomation{"shot", ramp(period, true)});
    s.drain_commands(cmd::SetAutomation{"loop", ramp(2 * n + 1)});
    for (int b = 0; b < 6; ++b)
        render(s, n);
    // Each block applies the value where it begins; the one-shot stops at period - 1.
    std::vector<float> expected;
    for (std::uint64_t b = 0, pos = 0; b < 6; ++b, pos += n) {
        if (pos < period) expected.push_back(static_cast<float>(pos) / static_cast<float>(period));
        expected.push_back(static_cast<float>(pos % (2 * n + 1)) / static_cast<float>(2 * n + 1));
    }
    EXPECT_EQ(probe->seen, expected);
    EXPECT_TRUE(old_probe->seen.empty());
    EXPECT_EQ(s.automations()[0].automation.position, period - 1);
    EXPECT_FALSE(s.automations()[0].automation.active);

    // An empty block applies the values and advances nothing.
    const int blocks = probe->blocks;
    render(s, 0);
    EXPECT_EQ(probe->blocks, blocks);
    EXPECT_EQ(s.automations()[1].automation.position, (6 * n) % (2 * n + 1));

    // Replaced in place, restarting from the new record; period 0 sets lo once.
    s.drain_commands(cmd::SetAutomation{"loop", ramp(0)});
    probe->seen.clear();
    render(s, n);
    render(s, n);
    EXPECT_EQ(probe->seen, std::vector<float>{0.0f});
    EXPECT_EQ(s.automations()[1].id, "loop");
}

INSTANTIATE_TEST_SUITE_P(Blocks, SwapperBlocks, ::testing::ValuesIn(test_nodes::block_sizes()));

TEST(GraphSwapper, SwapsDuringAFadeAndParametersReachBothGraphs) {
    GraphSwapper s(8, 4);
    Probe* first = nullptr;
    Probe* second = nullptr;
    s.drain_commands(cmd::SwapGraph{probe_graph(0.1f, 4, &first)});
    s.drain_commands(cmd::SwapGraph{probe_graph(0.2f, 4, &second)});
    s.drain_commands(cmd::SetParam{"n0", "value", 0.5f});
    EXPECT_EQ(first->value, 0.5f);
    EXPECT_EQ(second->value, 0.5f);
    render(s, 4);
    s.drain_commands(cmd::SwapGraph{probe_graph(0.3f, 4)});
    EXPECT_EQ(s.remaining(), 8u);  // restarted
    auto retired = s.take_retired();
    ASSERT_TRUE(retired.has_value());
    EXPECT_EQ(retired->find("n0").has_value(), true);
    EXPECT_EQ(&retired->node(0), first);
    s.drain_commands(cmd::SetCrossfade{2});  // shorter than what remains: f > 1, clamped
    s.drain_commands(cmd::SetMasterGain{2.0f});
    EXPECT_EQ(render(s, 4)[0], 1.0f);
}

TEST(GraphSwapper, OutputStageMakesSamplesSafe) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    struct Case {
        float sample, gain, heard;
    };
    for (const Case c : {Case{0.75f, 2.0f, 1.0f}, Case{0.75f, -2.0f, -1.0f},
                         Case{0.5f, nan, 0.0f}, Case{inf, 1.0f, 0.0f}}) {
        GraphSwapper s(0, 4);
        s.drain_commands(cmd::SwapGraph{probe_graph(c.sample, 4)});
        s.drain_commands(cmd::SetMasterGain{c.gain});
        EXPECT_EQ(render(s, 6), (std::vector<float>{c.heard, c.heard, c.heard, c.heard, 9, 9}));
    }
}

TEST(GraphSwapper, FinishedAutomationsGiveTheirRoomBack) {
    GraphSwapper s(0, 4);
    s.drain_commands(cmd::SwapGraph{probe_graph(0.0f, 4)});
    for (int i = 0; i < 20000; ++i) {
        s.drain_commands(cmd::SetAutomation{"one_shot_automation_" + std::to_string(i),
                                            ramp(3, true)});
        render(s, 4);
    }
    EXPECT_EQ(s.automations().size(), 1u);
    s.drain_commands(cmd::ClearAutomation{"one_shot_automation_19999"});
    EXPECT_TRUE(s.automations().empty());
}

TEST(GraphSwapper, SteadyAndFadingBlocksUseNoHeapEvenForMissingTargets) {
    GraphSwapper s(1'000'000, 4);
    s.drain_commands(cmd::SwapGraph{probe_graph(0.5f, 4)});
    s.drain_commands(cmd::SetAutomation{"a", ramp(16)});
    s.drain_commands(cmd::SetAutomation{"b", ramp(16, false, "a_node_that_is_not_there")});
    s.drain_commands(cmd::SetAutomation{"c", ramp(16, false, "n0", "a_control_not_there")});
    std::vector<float> out(4);
    s.process(out);
    EXPECT_TRUE(s.automations()[1].missing);
    EXPECT_TRUE(s.automations()[2].missing);
    const auto blocks = [&] {
        for (int i = 0; i < 10; ++i)
            s.process(out);
    };
    EXPECT_EQ(test_nodes::heap_use(blocks), test_nodes::HeapUse{});
    s.drain_commands(cmd::SwapGraph{probe_graph(0.25f, 4)});
    s.process(out);  // a new graph looks its targets up once
    EXPECT_EQ(test_nodes::heap_use(blocks), test_nodes::HeapUse{});
    EXPECT_TRUE(s.fading());
}

TEST(AutoShape, CurveValues) {
    using namespace automation;
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const AutoShape table(shape::Table{{1.0f, 2.0f, 3.0f, 4.0f}});
    struct Case {
        AutoShape shape;
        float p, value;
    };
    const Case cases[] = {
        {shape::Sine{}, 0.0f, 0.5f},       {shape::Tri{}, 0.25f, 0.5f},
        {shape::Tri{}, 0.5f, 1.0f},        {shape::RampDown{}, 0.25f, 0.75f},
        {shape::Square{}, 0.5f, 0.0f},     {shape::Exp{}, 0.5f, 0.25f},
        {shape::Pulse{0.25f}, 0.2f, 1.0f}, {shape::Pulse{0.25f}, 0.25f, 0.0f},
        {table, 0.49f, 2.0f},              {table, 1.0f, 4.0f},
        {table, 1e30f, 4.0f},              {table, -0.5f, 1.0f},
        {table, nan, 1.0f},                {shape::Table{}, 0.5f, 0.0f}};
    for (const Case& c : cases)
        EXPECT_EQ(c.shape.eval(c.p), c.value) << c.shape.index() << " " << c.p;
}

}  // namespace
