#include "audio_engine/swap.hpp"

#include <gtest/gtest.h>

#include <cmath>

#include "test_nodes.hpp"

namespace {

using namespace audio_engine;
using swap::GraphSwapper;
namespace cmd = swap::command;
using test_nodes::Probe;
using test_nodes::probe_graph;

std::vector<float> render(GraphSwapper& s, std::size_t n) {
    std::vector<float> out(n, 9.0f);
    s.process(out);
    return out;
}

cmd::SetAutomation ramp(std::string id, std::uint64_t period, bool one_shot = false,
                        std::string node = "n0", std::string control = "value") {
    return {std::move(id),
            {std::move(node), std::move(control), automation::shape::Ramp{}, period, 0, 0.0f, 1.0f,
             true, one_shot}};
}

class SwapperBlocks : public ::testing::TestWithParam<std::size_t> {
protected:
    const std::size_t n = GetParam();
};

TEST_P(SwapperBlocks, CrossfadesFromOldToNewAndRetiresAtTheEnd) {
    for (const std::uint64_t length : {std::uint64_t{0}, 2 * n, 2 * n + 1, 3 * n - 1}) {
        GraphSwapper s(length, n);
        s.drain_commands(cmd::SwapGraph{probe_graph(0.8f, n)});
        EXPECT_EQ(render(s, n), std::vector<float>(n, 0.8f));  // the first graph: no fade
        s.drain_commands(cmd::SwapGraph{probe_graph(-0.4f, n)});
        std::vector<float> heard;
        for (bool first = true; first || s.fading(); first = false) {
            ASSERT_FALSE(s.take_retired());
            const auto block = render(s, n);
            heard.insert(heard.end(), block.begin(), block.end());
        }
        // It ends in the block in which remaining <= block size; the old graph alone first.
        EXPECT_EQ(heard.size(), std::max<std::uint64_t>(1, (length + n - 1) / n) * n) << length;
        EXPECT_TRUE(s.take_retired());
        EXPECT_EQ(heard[0], length > 0 ? 0.8f : -0.4f);
        for (std::size_t t = 1; t < heard.size(); ++t)
            ASSERT_TRUE(t < length ? heard[t] < heard[t - 1] : heard[t] == -0.4f) << length << t;
    }
}

TEST_P(SwapperBlocks, AutomationsRunOnTheCurrentGraphOnly) {
    GraphSwapper s(1'000'000, n);
    Probe *old_probe = nullptr, *probe = nullptr;
    s.drain_commands(cmd::SwapGraph{probe_graph(0.0f, n, &old_probe)});
    s.drain_commands(cmd::SwapGraph{probe_graph(0.0f, n, &probe)});
    old_probe->record = probe->record = true;
    const std::uint64_t shot = 3 * n + 2, loop = 2 * n + 1;
    s.drain_commands(ramp("shot", shot, true));
    s.drain_commands(ramp("loop", loop));
    // Each block applies the value where it begins; the one-shot stops at its period - 1.
    std::vector<float> expected;
    for (std::uint64_t pos = 0; pos < 6 * n; pos += n) {
        render(s, n);
        if (pos < shot) expected.push_back(static_cast<float>(pos) / static_cast<float>(shot));
        expected.push_back(static_cast<float>(pos % loop) / static_cast<float>(loop));
    }
    EXPECT_EQ(probe->seen, expected);
    EXPECT_TRUE(old_probe->seen.empty());
    EXPECT_EQ(s.automations()[0].automation.position, shot - 1);
    // An empty block applies the values, advances nothing and renders nothing.
    render(s, 0);
    EXPECT_EQ(probe->blocks, 6);
    EXPECT_EQ(s.automations()[1].automation.position, 6 * n % loop);
    // Replaced in place; period 0 sets lo once.
    s.drain_commands(ramp("loop", 0));
    probe->seen.clear();
    render(s, n);
    render(s, n);
    EXPECT_EQ(probe->seen, std::vector<float>{0.0f});
    EXPECT_EQ(s.automations()[1].id, "loop");
}

INSTANTIATE_TEST_SUITE_P(Blocks, SwapperBlocks, ::testing::ValuesIn(test_nodes::block_sizes()));

TEST(GraphSwapper, ASwapDuringAFadeRetiresTheFadingGraphAndParametersReachBoth) {
    GraphSwapper s(8, 4);
    Probe *first = nullptr, *second = nullptr;
    s.drain_commands(cmd::SwapGraph{probe_graph(0.1f, 4, &first)});
    s.drain_commands(cmd::SwapGraph{probe_graph(0.2f, 4, &second)});
    s.drain_commands(cmd::SetParam{"n0", "value", 0.5f});
    EXPECT_EQ(first->value + second->value, 1.0f);
    render(s, 4);
    s.drain_commands(cmd::SwapGraph{probe_graph(0.3f, 4)});
    EXPECT_EQ(s.remaining(), 8u);
    EXPECT_EQ(&s.take_retired()->node(0), first);
}

TEST(GraphSwapper, TheOutputStageMakesSamplesSafe) {
    const float nan = std::nanf(""), inf = std::numeric_limits<float>::infinity();
    for (const auto& [sample, gain, heard] :
         {std::array{0.75f, -2.0f, -1.0f}, std::array{0.5f, nan, 0.0f},
          std::array{inf, 1.0f, 0.0f}}) {
        GraphSwapper s(0, 4);
        s.drain_commands(cmd::SwapGraph{probe_graph(sample, 4)});
        s.drain_commands(cmd::SetMasterGain{gain});
        EXPECT_EQ(render(s, 6), (std::vector<float>{heard, heard, heard, heard, 9, 9}));
    }
}

TEST(GraphSwapper, BlocksUseNoHeapSteadyOrFadingEvenForMissingTargets) {
    GraphSwapper s(1'000'000, 4);
    s.drain_commands(cmd::SwapGraph{probe_graph(0.5f, 4)});
    for (int i = 0; i < 20000; ++i) {  // finished automations give their room back
        s.drain_commands(ramp("one_shot_automation_" + std::to_string(i), 3, true));
        render(s, 4);
    }
    EXPECT_EQ(s.automations().size(), 1u);
    s.drain_commands(ramp("a", 16));
    s.drain_commands(ramp("b", 16, false, "a_node_that_is_not_there"));
    s.drain_commands(ramp("c", 16, false, "n0", "a_control_not_there"));
    std::vector<float> out(4);
    s.process(out);
    EXPECT_EQ(s.automations().size(), 3u);
    EXPECT_TRUE(s.automations()[1].missing && s.automations()[2].missing);
    const auto blocks = [&] {
        for (int i = 0; i < 10; ++i)
            s.process(out);
    };
    EXPECT_EQ(test_nodes::heap_use(blocks), test_nodes::HeapUse{});
    s.drain_commands(cmd::SwapGraph{probe_graph(0.25f, 4)});
    s.process(out);  // a new graph looks the targets up once
    EXPECT_EQ(test_nodes::heap_use(blocks), test_nodes::HeapUse{});
    EXPECT_TRUE(s.fading());
}

// A new automation joins the end of the table, in a finished entry's room too, without taking
// heap; a replaced one keeps its place. So of automations on one control the newest set writes
// last. Each step sets a constant automation (period 0: once), or renders a block (no id).
TEST(GraphSwapper, NewAutomationsWriteAfterOlderOnes) {
    struct Set {
        std::string id;
        float value = 0.0f;
        std::uint64_t period = 0;
    };
    using Ids = std::vector<std::string>;
    const std::tuple<std::vector<Set>, float, Ids> cases[] = {
        {{{"a", 0.1f}, {"b", 0.2f, 16}, {}, {"c", 0.8f, 16}}, 0.8f, {"b", "c"}},
        {{{"a", 0.1f}, {"b", 0.2f}, {"c", 0.3f, 16}, {}, {"d", 0.8f, 16}}, 0.8f, {"b", "c", "d"}},
        {{{"a", 0.1f, 16}, {"b", 0.2f}, {}, {"c", 0.8f, 16}}, 0.8f, {"a", "c"}},
        {{{"a", 0.1f, 16}, {"b", 0.2f, 16}, {}, {"a", 0.9f, 16}}, 0.2f, {"a", "b"}},
    };
    for (const auto& [sets, heard, ids] : cases) {
        GraphSwapper s(0, 4);
        Probe* probe = nullptr;
        s.drain_commands(cmd::SwapGraph{probe_graph(0.0f, 4, &probe)});
        std::size_t allocations = 0;
        for (const auto& [id, value, period] : sets) {
            if (id.empty()) {
                render(s, 4);
                continue;
            }
            cmd::Command c = cmd::SetAutomation{
                id, {"n0", "value", automation::shape::Ramp{}, period, 0, value, value, true}};
            allocations += test_nodes::heap_use([&] { s.drain_commands(std::move(c)); }).first;
        }
        render(s, 4);
        Ids order;
        for (const auto& e : s.automations())
            order.push_back(e.id);
        EXPECT_EQ(std::tuple(probe->value, order, allocations), std::tuple(heard, ids, 0u));
    }
}

TEST(AutoShape, CurveValues) {
    using namespace automation;
    const AutoShape table(shape::Table{{1.0f, 2.0f, 3.0f, 4.0f}});
    const std::tuple<AutoShape, float, float> cases[] = {
        {shape::Tri{}, 0.25f, 0.5f},  {shape::Pulse{0.25f}, 0.25f, 0.0f},
        {table, 0.49f, 2.0f},         {table, 1e30f, 4.0f},
        {table, std::nanf(""), 1.0f}, {shape::Table{}, 0.5f, 0.0f}};
    for (const auto& [shape, p, value] : cases)
        EXPECT_EQ(shape.eval(p), value) << shape.index() << " " << p;
}

}  // namespace
