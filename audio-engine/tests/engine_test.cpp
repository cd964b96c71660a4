#include "audio_engine/engine.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <thread>

#include "audio_engine/nodes/adc.hpp"
#include "support/log.hpp"
#include "test_nodes.hpp"

namespace {

using namespace audio_engine;
namespace msg = protocol;
using test_nodes::heap_use;
using test_nodes::HeapUse;

msg::ClientMessage decode(std::string_view text) {
    support::json::Parser parser;
    auto m = msg::decode(parser, text);
    EXPECT_TRUE(m.has_value()) << text;
    return m ? std::move(*m) : msg::ClientMessage{msg::Ping{}};
}

// A square wave (+1/-1) through a gain into the dac, the gain exposed as "vol".
std::string square_graph(std::string_view amp = "amp", std::string_view labels = "") {
    const std::string a(amp);
    return R"({"type":"load_graph","nodes":[{"id":"osc","type_id":"oscillator","controls":)"
           R"({"waveform":2,"freq":100}},{"id":")" + a + R"(","type_id":"gain"},)"
           R"({"id":"out","type_id":"dac"}],"connections":[{"from_node":"osc","from_port":"out",)"
           R"("to_node":")" + a + R"(","to_port":"in"},{"from_node":")" + a +
           R"(","from_port":"out","to_node":"out","to_port":"in"}],"exposed_controls":{)" +
           (labels.empty() ? R"("vol":[")" + a + R"(","gain"])" : std::string(labels)) + "}}";
}

class EngineBlocks : public ::testing::TestWithParam<std::size_t> {
protected:
    EngineBlocks() {
        support::log::init_with("debug", support::log::Style::Never,
                                [this](std::string_view line) { log.emplace_back(line); });
    }
    ~EngineBlocks() override { support::log::reset(); }

    engine::Result handle(std::string_view text) { return controller.handle_message(decode(text)); }
    std::vector<float> render(std::size_t m) {
        std::vector<float> out(m, 9.0f);
        processor.process(out);
        return out;
    }
    // Until the fade is over and the outgoing graph went back.
    void settle() {
        render(n);
        for (int i = 0; i < 1000 && processor.swapper().fading(); ++i)
            render(n);
        render(n);
    }
    std::size_t logged(std::string_view text) const {
        return std::count_if(log.begin(), log.end(), [text](const std::string& line) {
            return line.find(text) != std::string::npos;
        });
    }
    float peak() {
        const auto out = render(n);
        return std::abs(*std::max_element(out.begin(), out.end(), [](float a, float b) {
            return std::abs(a) < std::abs(b);
        }));
    }

    const std::size_t n = GetParam();
    std::pair<engine::EngineController, engine::AudioProcessor> parts =
        engine::engine({n, 2, 48000, 1});  // a 48-sample crossfade
    engine::EngineController& controller = parts.first;
    engine::AudioProcessor& processor = parts.second;
    std::vector<std::string> log;
};

TEST_P(EngineBlocks, StoredValuesOutliveRecompilesAndDroppedLabels) {
    ASSERT_TRUE(handle(square_graph()));
    ASSERT_TRUE(handle(R"({"type":"set_control","label":"vol","value":0.25})"));
    settle();
    EXPECT_EQ(peak(), 0.25f);
    ASSERT_TRUE(handle(R"({"type":"add_node","id":"extra","type_id":"gain"})"));
    settle();
    EXPECT_EQ(peak(), 0.25f);  // the new graph got the stored value
    ASSERT_TRUE(handle(square_graph("amp", R"("other":["amp","gain"])")));
    ASSERT_TRUE(handle(R"({"type":"set_control","label":"vol","value":1})"));
    EXPECT_EQ(logged(R"(set_control: unknown label 'vol', available: ["other"])"), 1u);
    ASSERT_TRUE(handle(square_graph("fresh_amp")));  // the label returns: so does its value
    settle();
    EXPECT_EQ(peak(), 0.25f);
}

TEST_P(EngineBlocks, GraphEditsReachTheStoredDescription) {
    ASSERT_TRUE(handle(square_graph()));
    ASSERT_TRUE(handle(
        R"({"type":"disconnect","from_node":"osc","from_port":"out","to_node":"amp","to_port":"in"})"));
    settle();
    EXPECT_EQ(peak(), 0.0f);
    log.clear();
    ASSERT_TRUE(handle(R"({"type":"graph_batch","commands":[{"type":"ping"},
        [3,"osc","out","amp","in"],{"type":"expose_control","label":"v2","node_id":"amp",
        "control_name":"gain"}]})"));
    EXPECT_EQ(logged("GraphBatch: ignoring non-mutation message: Ping"), 1u);
    EXPECT_EQ(logged("compile_with_reuse"), 1u);
    EXPECT_TRUE(controller.resolve_label("v2").has_value());
    settle();
    EXPECT_EQ(peak(), 1.0f);
    ASSERT_TRUE(handle(R"({"type":"remove_node","id":"amp"})"));  // its connections go too
    settle();
    EXPECT_EQ(peak(), 0.0f);
    auto failed = handle(R"({"type":"add_node","id":"x","type_id":"nope"})");
    ASSERT_FALSE(failed);
    EXPECT_EQ(failed.error().display(), "registry error: node type not found: nope");
    EXPECT_EQ(controller.graph().nodes.size(), 3u);  // kept, for the next compile to mend
}

TEST_P(EngineBlocks, ReuseDrawsOnTheNewestGraphHandedBack) {
    ASSERT_TRUE(handle(square_graph()));
    ASSERT_TRUE(handle(R"({"type":"add_node","id":"e1","type_id":"gain"})"));
    ASSERT_TRUE(handle(R"({"type":"add_node","id":"e2","type_id":"gain"})"));
    EXPECT_EQ(logged("0/5 nodes reused (from 0 reusable candidates)"), 1u);
    settle();  // the 3-node graph went back first, then the 4-node one
    ASSERT_TRUE(handle(R"({"type":"add_node","id":"e3","type_id":"gain"})"));
    EXPECT_EQ(logged("4/6 nodes reused (from 4 reusable candidates)"), 1u);
}

TEST_P(EngineBlocks, EmptyBlocksRenderNothingAndTheInputIsTakenOnce) {
    auto ring = std::make_shared<nodes::adc::CaptureRing>(1000);
    for (int i = 0; i < 1000; ++i)
        ASSERT_TRUE(ring->try_push(0.5f));
    controller.inject_node("adc_in", std::make_unique<nodes::adc::AdcNode>(ring));
    ASSERT_TRUE(handle(R"({"type":"load_graph","nodes":[{"id":"adc_in","type_id":"adc_input"},
        {"id":"osc","type_id":"oscillator"},{"id":"out","type_id":"dac"}],"connections":[
        {"from_node":"adc_in","from_port":"out","to_node":"out","to_port":"in"},
        {"from_node":"osc","from_port":"out","to_node":"out","to_port":"in"}]})"));
    auto [reference, reference_processor] = engine::engine({n, 2, 48000, 1});
    ASSERT_TRUE(reference.handle_message(decode(
        R"({"type":"load_graph","nodes":[{"id":"osc","type_id":"oscillator"},{"id":"out","type_id":"dac"}],
        "connections":[{"from_node":"osc","from_port":"out","to_node":"out","to_port":"in"}]})")));
    for (int i = 0; i < 3; ++i)
        render(0);
    EXPECT_EQ(ring->size(), 1000u);
    std::vector<float> expected(n);
    reference_processor.process(expected);
    for (float& s : expected)
        s = std::clamp(s + 0.5f, -1.0f, 1.0f);
    EXPECT_EQ(render(n), expected);  // the oscillator did not advance either
    auto again = handle(R"({"type":"add_node","id":"g","type_id":"gain"})");
    ASSERT_FALSE(again);
    EXPECT_EQ(again.error().display(), "registry error: node type not found: adc_input");
}

TEST_P(EngineBlocks, TheAudioThreadNeitherAllocatesNorReleases) {
    ASSERT_TRUE(handle(square_graph("amplifier_main_bus")));
    ASSERT_TRUE(handle(R"({"type":"set_automation","id":"sweeping_the_main_bus","label":"vol",
        "shape":"tri","lo":0,"hi":1,"period_secs":0.01})"));
    settle();
    for (int i = 0; i < 100; ++i)
        ASSERT_TRUE(handle(R"({"type":"set_control","label":"vol","value":0.5})"));
    std::vector<float> out(n);
    EXPECT_EQ(heap_use([&] { processor.process(out); }), HeapUse{});
    EXPECT_EQ(heap_use([&] {
                  for (int i = 0; i < 20; ++i)
                      processor.process(out);
              }),
              HeapUse{});
    ASSERT_TRUE(handle(R"({"type":"add_node","id":"e","type_id":"gain"})"));
    EXPECT_EQ(heap_use([&] { processor.process(out); }), HeapUse{});  // swap and fade
}

INSTANTIATE_TEST_SUITE_P(Blocks, EngineBlocks, ::testing::ValuesIn(test_nodes::block_sizes()));

using EngineTest = EngineBlocks;
INSTANTIATE_TEST_SUITE_P(Block, EngineTest, ::testing::Values(256));

TEST_P(EngineTest, AMutedGainIsExactSilenceAndCostsNoMore) {
    auto [normal, normal_processor] = engine::engine({n, 2, 48000, 0});
    ASSERT_TRUE(normal.handle_message(decode(square_graph())));
    ASSERT_TRUE(handle(square_graph()));
    render(n);
    ASSERT_TRUE(handle(R"({"type":"set_control","label":"vol","value":0})"));
    for (int i = 0; i < 40; ++i)
        render(n);
    EXPECT_EQ(render(n), std::vector<float>(n, 0.0f));
    // Medians of interleaved blocks, so both see the same machine load.
    using Clock = std::chrono::steady_clock;
    std::vector<double> muted, plain;
    std::vector<float> out(n);
    for (int i = 0; i < 301; ++i) {
        auto t = Clock::now();
        processor.process(out);
        muted.push_back(std::chrono::duration<double>(Clock::now() - t).count());
        t = Clock::now();
        normal_processor.process(out);
        plain.push_back(std::chrono::duration<double>(Clock::now() - t).count());
    }
    std::nth_element(muted.begin(), muted.begin() + 150, muted.end());
    std::nth_element(plain.begin(), plain.begin() + 150, plain.end());
    EXPECT_LE(muted[150], 1.5 * plain[150] + 2e-6);
}

TEST_P(EngineTest, DenormalsAreFlushedForTheRenderOnly) {
    auto probe = std::make_unique<test_nodes::Probe>(0.0f);
    const auto* p = probe.get();
    controller.inject_node("p", std::move(probe));
    ASSERT_TRUE(handle(R"({"type":"load_graph","nodes":[{"id":"p","type_id":"adc_input"}],"connections":[]})"));
    render(n);
    EXPECT_TRUE(p->flushed);
    volatile float tiny = std::numeric_limits<float>::min();
    EXPECT_NE(tiny * 0.5f, 0.0f);
}

class Made final : public graph::node::NodeFactory {
public:
    explicit Made(std::vector<test_nodes::Probe*>* made) : made_(made) {}
    std::expected<std::unique_ptr<graph::node::DspNode>, std::string> create(
        std::uint32_t, std::size_t) const override {
        auto p = std::make_unique<test_nodes::Probe>(0.0f);
        made_->push_back(p.get());
        return p;
    }

private:
    std::vector<test_nodes::Probe*>* made_;
};

TEST_P(EngineTest, GateValuesAreSentButNotAppliedAgain) {
    std::vector<test_nodes::Probe*> made;
    ASSERT_TRUE(controller.registry().register_type(
        ir::types::NodeTypeDecl{"probe", {}, {{"out"}}, {}}, std::make_unique<Made>(&made)));
    ASSERT_TRUE(handle(R"({"type":"load_graph","nodes":[{"id":"p","type_id":"probe"}],"connections":[],
        "exposed_controls":{"g":["p","gate"],"lvl":["p","value"]}})"));
    ASSERT_TRUE(handle(R"({"type":"set_control","label":"g","value":1})"));
    ASSERT_TRUE(handle(R"({"type":"set_control","label":"lvl","value":0.25})"));
    render(n);
    EXPECT_EQ(made.at(0)->gate, 1.0f);
    ASSERT_TRUE(handle(R"({"type":"add_node","id":"q","type_id":"probe"})"));
    EXPECT_EQ(made.at(1)->value, 0.25f);
    EXPECT_EQ(made.at(1)->gate, 0.0f);
}

TEST_P(EngineTest, AutomationPeriodsAndShapesFromMessages) {
    ASSERT_TRUE(handle(square_graph()));
    const double nan = std::numeric_limits<double>::quiet_NaN();
    struct Case {
        std::string shape;
        double secs;
        std::uint64_t period;
        std::size_t kind;
    };
    for (const Case& c : {Case{"tri", 0.5, 24000, 1}, Case{"ramp_down", 0, 0, 3},
                          Case{"exp", -1, 0, 5}, Case{"square", nan, 0, 4},
                          Case{"triangle", INFINITY, 0, 0}}) {
        ASSERT_TRUE(controller.handle_message(msg::SetAutomation{"a", "vol", c.shape, 0, 1, c.secs}));
        render(n);
        const auto& a = processor.swapper().automations().at(0).automation;
        EXPECT_EQ(a.period, c.period) << c.shape;
        EXPECT_EQ(a.shape.index(), c.kind) << c.shape;
    }
    ASSERT_TRUE(handle(R"({"type":"set_automation","id":"a","label":"nope","shape":"tri","lo":0,"hi":1,"period_secs":1})"));
    EXPECT_EQ(logged("set_automation: unknown label 'nope', available: [\"vol\"]"), 1u);
    ASSERT_TRUE(handle(R"({"type":"clear_automation","id":"a"})"));
    render(n);
    EXPECT_TRUE(processor.swapper().automations().empty());
}

TEST_P(EngineTest, TheCommandRingHoldsExactly256) {
    for (std::uint64_t i = 0; i < 257; ++i)
        controller.set_crossfade_samples(i);
    EXPECT_EQ(logged("WARN  audio_engine::engine] command queue full, dropping command"), 1u);
    render(n);
    EXPECT_EQ(processor.swapper().crossfade(), 255u);
}

// A control thread edits, swaps and automates while an audio thread renders; run under
// ThreadSanitizer in CI.
TEST(EngineStress, ControllerAndAudioThreadRunConcurrently) {
    auto [controller, processor] = engine::engine({64, 2, 48000, 2});
    std::atomic<bool> done{false};
    std::thread audio([&processor = processor, &done] {
        std::vector<float> out(64);
        while (!done.load(std::memory_order_acquire))
            processor.process(out);
        for (int i = 0; i < 50; ++i)
            processor.process(out);
    });
    ASSERT_TRUE(controller.handle_message(decode(square_graph())));
    for (int i = 0; i < 300; ++i) {
        const std::string id = "n" + std::to_string(i % 7);
        (void)controller.handle_message(msg::AddNode{id, "gain", {{"gain", 0.5f}}});
        (void)controller.handle_message(msg::SetControl{"vol", static_cast<float>(i % 10) / 10});
        (void)controller.handle_message(msg::SetAutomation{"a", "vol", "sine", 0, 1, 0.01, false});
        (void)controller.handle_message(msg::RemoveNode{id});
        if (i % 50 == 0) (void)controller.handle_message(msg::ClearAutomation{"a"});
    }
    done.store(true, std::memory_order_release);
    audio.join();
    EXPECT_EQ(controller.graph().nodes.size(), 3u);
}

}  // namespace
