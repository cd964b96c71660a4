#include "audio_engine/engine.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <limits>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "audio_engine/nodes/adc.hpp"
#include "support/log.hpp"
#include "test_nodes.hpp"

namespace {

using namespace audio_engine;
using engine::AudioProcessor;
using engine::EngineController;
namespace msg = protocol;

constexpr std::size_t kBlock = 64;

msg::ClientMessage decode(std::string_view text) {
    support::json::Parser parser;
    auto m = msg::decode(parser, text);
    EXPECT_TRUE(m.has_value()) << text;
    return m ? std::move(*m) : msg::ClientMessage{msg::Ping{}};
}

// A square wave (+1/-1) through a gain into the dac, with the gain exposed as "vol".
constexpr std::string_view kSquareGraph = R"({"type":"load_graph",
    "nodes":[{"id":"osc","type_id":"oscillator","controls":{"waveform":2,"freq":100}},
             {"id":"amp","type_id":"gain"},{"id":"out","type_id":"dac"}],
    "connections":[{"from_node":"osc","from_port":"out","to_node":"amp","to_port":"in"},
                   {"from_node":"amp","from_port":"out","to_node":"out","to_port":"in"}],
    "exposed_controls":{"vol":["amp","gain"]}})";

class EngineTest : public ::testing::Test {
protected:
    EngineTest() {
        support::log::init_with("debug", support::log::Style::Never,
                                [this](std::string_view line) { log.emplace_back(line); });
    }
    ~EngineTest() override { support::log::reset(); }

    engine::Result handle(std::string_view text) { return controller.handle_message(decode(text)); }
    std::vector<float> render(std::size_t n = kBlock) {
        std::vector<float> out(n, 9.0f);
        processor.process(out);
        return out;
    }
    // Renders until the swapper is steady and the retired graph went back.
    void settle() {
        for (int i = 0; i < 100 && processor.swapper().fading(); ++i)
            render();
        render();
    }
    bool logged(std::string_view text) const {
        for (const auto& line : log) {
            if (line.find(text) != std::string::npos) return true;
        }
        return false;
    }
    float peak() {
        const auto out = render();
        float p = 0.0f;
        for (float s : out)
            p = std::max(p, std::abs(s));
        return p;
    }

    // 48 kHz, 1 ms crossfade (48 samples, less than a block).
    std::pair<EngineController, AudioProcessor> parts = engine::engine({kBlock, 2, 48000, 1});
    EngineController& controller = parts.first;
    AudioProcessor& processor = parts.second;
    std::vector<std::string> log;
};

TEST_F(EngineTest, BuiltInTypesAreRegistered) {
    auto types = controller.list_node_types();
    std::sort(types.begin(), types.end());
    EXPECT_EQ(types, (std::vector<std::string>{"adc_input", "dac", "gain", "oscillator"}));
    EXPECT_EQ(processor.swapper().crossfade(), 48u);
}

TEST_F(EngineTest, LoadGraphPlaysAndLogs) {
    ASSERT_TRUE(handle(kSquareGraph));
    EXPECT_TRUE(
        logged("INFO  audio_engine::engine] load_graph: 3 nodes, 2 connections, 1 controls"));
    EXPECT_TRUE(logged("graph compiled — exposed: [\"vol\"]"));
    EXPECT_EQ(peak(), 1.0f);
    EXPECT_EQ(controller.resolve_label("vol"),
              (std::pair<std::string, std::string>{"amp", "gain"}));
}

TEST_F(EngineTest, StoredControlValuesAreAppliedAgainAfterRecompiles) {
    ASSERT_TRUE(handle(kSquareGraph));
    ASSERT_TRUE(handle(R"({"type":"set_control","label":"vol","value":0.25})"));
    EXPECT_TRUE(logged("set_control: vol=0.25 (-> amp:gain)"));
    settle();
    EXPECT_EQ(peak(), 0.25f);
    // A new graph gets the stored value, not the description's default of 1.
    ASSERT_TRUE(handle(R"({"type":"add_node","id":"extra","type_id":"gain"})"));
    settle();
    EXPECT_EQ(peak(), 0.25f);
    EXPECT_EQ(controller.snapshot().control_values.at("vol"), 0.25f);
}

// Records every control it is given, in a list the test reads.
class Probe final : public graph::node::DspNode {
public:
    explicit Probe(std::vector<std::pair<std::string, float>>* seen) : seen_(seen) {}
    void process(std::span<const std::span<const float>>,
                 std::span<const std::span<float>>) override {}
    std::size_t num_inputs() const override { return 0; }
    std::size_t num_outputs() const override { return 1; }
    graph::node::ParamResult set_param(std::string_view name, float value) override {
        seen_->emplace_back(std::string(name), value);
        return {};
    }
    void reset(std::uint32_t) override {}

private:
    std::vector<std::pair<std::string, float>>* seen_;
};

class ProbeFactory final : public graph::node::NodeFactory {
public:
    explicit ProbeFactory(std::vector<std::pair<std::string, float>>* seen) : seen_(seen) {}
    std::expected<std::unique_ptr<graph::node::DspNode>, std::string> create(
        std::uint32_t, std::size_t) const override {
        return std::make_unique<Probe>(seen_);
    }

private:
    std::vector<std::pair<std::string, float>>* seen_;
};

TEST_F(EngineTest, GateValuesAreSentButNotAppliedAgain) {
    std::vector<std::pair<std::string, float>> seen;
    ASSERT_TRUE(
        controller.registry().register_type(ir::types::NodeTypeDecl{"probe", {}, {{"out"}}, {}},
                                            std::make_unique<ProbeFactory>(&seen)));
    ASSERT_TRUE(handle(R"({"type":"load_graph","nodes":[{"id":"p","type_id":"probe"}],
        "connections":[],"exposed_controls":{"g":["p","gate"],"lvl":["p","level"]}})"));
    ASSERT_TRUE(handle(R"({"type":"set_control","label":"g","value":1})"));
    ASSERT_TRUE(handle(R"({"type":"set_control","label":"lvl","value":0.25})"));
    render();  // both arrive as parameter commands
    EXPECT_EQ(seen, (std::vector<std::pair<std::string, float>>{{"gate", 1.0f}, {"level", 0.25f}}));

    seen.clear();
    ASSERT_TRUE(handle(R"({"type":"add_node","id":"q","type_id":"probe"})"));
    // The new graph's probe gets the stored level at compile time, not the gate.
    EXPECT_EQ(seen, (std::vector<std::pair<std::string, float>>{{"level", 0.25f}}));
}

TEST_F(EngineTest, UnknownLabelsWarnAndStoreNothing) {
    ASSERT_TRUE(handle(kSquareGraph));
    ASSERT_TRUE(handle(R"({"type":"set_control","label":"nope","value":0.5})"));
    EXPECT_TRUE(
        logged("WARN  audio_engine::engine] set_control: unknown label 'nope', "
               "available: [\"vol\"]"));
    EXPECT_FALSE(controller.snapshot().control_values.contains("nope"));
    ASSERT_TRUE(handle(
        R"({"type":"set_automation","id":"a","label":"nope","shape":"sine","lo":0,"hi":1,"period_secs":1})"));
    EXPECT_TRUE(logged("set_automation: unknown label 'nope', available: [\"vol\"]"));
}

TEST_F(EngineTest, GraphEditsStayWhenACompileFails) {
    ASSERT_TRUE(handle(kSquareGraph));
    auto failed = handle(R"({"type":"add_node","id":"x","type_id":"nope"})");
    ASSERT_FALSE(failed);
    EXPECT_EQ(failed.error().display(), "registry error: node type not found: nope");
    EXPECT_EQ(controller.graph().nodes.size(), 4u);
    EXPECT_EQ(peak(), 1.0f);  // the last good graph plays on
    EXPECT_FALSE(handle(
        R"({"type":"connect","from_node":"osc","from_port":"out","to_node":"out","to_port":"in"})"));
    ASSERT_TRUE(handle(R"({"type":"remove_node","id":"x"})"));

    auto duplicate = handle(
        R"({"type":"load_graph","nodes":[{"id":"a","type_id":"dac"},{"id":"a","type_id":"dac"}],"connections":[],"exposed_controls":{"l":["a","x"]}})");
    ASSERT_FALSE(duplicate);
    EXPECT_EQ(duplicate.error().display(), "duplicate node id: a");
    EXPECT_EQ(controller.graph().nodes.size(), 2u);
    EXPECT_TRUE(controller.resolve_label("l").has_value());
    EXPECT_FALSE(controller.resolve_label("vol").has_value());
}

TEST_F(EngineTest, ReuseDrawsOnlyOnGraphsHandedBack) {
    ASSERT_TRUE(handle(kSquareGraph));
    render();
    // The first graph is still playing: nothing to reuse.
    ASSERT_TRUE(handle(R"({"type":"add_node","id":"e1","type_id":"gain"})"));
    EXPECT_TRUE(logged("compile_with_reuse: 0/4 nodes reused (from 0 reusable candidates)"));
    settle();  // the first graph fades out and comes back
    ASSERT_TRUE(handle(R"({"type":"add_node","id":"e2","type_id":"gain"})"));
    EXPECT_TRUE(logged("compile_with_reuse: 3/5 nodes reused (from 3 reusable candidates)"));
}

TEST_F(EngineTest, InjectedInputIsTakenOnce) {
    auto ring = std::make_shared<nodes::adc::CaptureRing>(1024);
    controller.inject_node("adc_in", std::make_unique<nodes::adc::AdcNode>(ring));
    ASSERT_TRUE(handle(
        R"({"type":"load_graph","nodes":[{"id":"adc_in","type_id":"adc_input"},{"id":"out","type_id":"dac"}],
        "connections":[{"from_node":"adc_in","from_port":"out","to_node":"out","to_port":"in"}]})"));
    for (int i = 0; i < 10; ++i)
        ASSERT_TRUE(ring->try_push(0.5f));
    const auto out = render();
    EXPECT_EQ(out[9], 0.5f);
    EXPECT_EQ(out[10], 0.0f);
    // The graph that holds it is still playing: a recompile cannot find it.
    auto again = handle(R"({"type":"add_node","id":"g","type_id":"gain"})");
    ASSERT_FALSE(again);
    EXPECT_EQ(again.error().display(), "registry error: node type not found: adc_input");
}

TEST_F(EngineTest, GraphBatchRecompilesOnceAndSkipsNonEdits) {
    ASSERT_TRUE(handle(kSquareGraph));
    log.clear();
    ASSERT_TRUE(handle(R"({"type":"graph_batch","commands":[]})"));
    EXPECT_TRUE(logged("graph_batch: 0 commands"));
    EXPECT_TRUE(logged("compile_with_reuse"));
    log.clear();
    ASSERT_TRUE(handle(R"({"type":"graph_batch","commands":[
        {"type":"add_node","id":"g2","type_id":"gain"},
        {"type":"ping"},
        [3,"osc","out","g2","in"]]})"));
    EXPECT_TRUE(
        logged("WARN  audio_engine::engine] GraphBatch: ignoring non-mutation message: Ping"));
    EXPECT_EQ(controller.graph().nodes.size(), 4u);
    EXPECT_EQ(controller.graph().connections.size(), 3u);
    int compiles = 0;
    for (const auto& line : log)
        compiles += line.find("compile_with_reuse") != std::string::npos;
    EXPECT_EQ(compiles, 1);
}

TEST_F(EngineTest, AutomationPeriodsAndShapes) {
    ASSERT_TRUE(handle(kSquareGraph));
    const auto automation = [&](std::string_view shape, std::string_view period) {
        return handle(std::string(R"({"type":"set_automation","id":"a","label":"vol","shape":")") +
                      std::string(shape) + R"(","lo":0,"hi":1,"period_secs":)" +
                      std::string(period) + "}");
    };
    ASSERT_TRUE(automation("tri", "0.5"));
    EXPECT_TRUE(logged("set_automation: a -> amp/gain shape=tri lo=0 hi=1 period=24000samp"));
    render();
    ASSERT_EQ(processor.swapper().automations().size(), 1u);
    const auto& a = processor.swapper().automations()[0].second;
    EXPECT_EQ(a.period, 24000u);
    EXPECT_TRUE(std::holds_alternative<automation::shape::Tri>(a.shape));
    for (std::string_view p : {"0", "-1"}) {
        ASSERT_TRUE(automation("ramp", p));
        render();
        EXPECT_EQ(processor.swapper().automations()[0].second.period, 0u) << p;
    }
    for (double p :
         {std::numeric_limits<double>::quiet_NaN(), std::numeric_limits<double>::infinity()}) {
        ASSERT_TRUE(
            controller.handle_message(msg::SetAutomation{"a", "vol", "ramp", 0, 1, p, false}));
        render();
        EXPECT_EQ(processor.swapper().automations()[0].second.period, 0u) << p;
    }
    ASSERT_TRUE(automation("triangle", "1"));
    render();
    EXPECT_TRUE(std::holds_alternative<automation::shape::Sine>(
        processor.swapper().automations()[0].second.shape));
    ASSERT_TRUE(handle(R"({"type":"clear_automation","id":"a"})"));
    render();
    EXPECT_TRUE(processor.swapper().automations().empty());
}

TEST_F(EngineTest, TheCommandRingHoldsExactly256) {
    for (int i = 0; i < 256; ++i)
        controller.set_crossfade_samples(static_cast<std::uint64_t>(i));
    EXPECT_FALSE(logged("command queue full"));
    controller.set_crossfade_samples(999);
    EXPECT_TRUE(logged("WARN  audio_engine::engine] command queue full, dropping command"));
    render();
    EXPECT_EQ(processor.swapper().crossfade(), 255u);  // the 257th never arrived
}

TEST_F(EngineTest, MasterGainAndTheOutputClamp) {
    ASSERT_TRUE(handle(kSquareGraph));
    ASSERT_TRUE(handle(R"({"type":"set_master_gain","gain":0.5})"));
    EXPECT_EQ(peak(), 0.5f);
    EXPECT_EQ(controller.master_gain(), 0.5f);
    ASSERT_TRUE(handle(R"({"type":"set_master_gain","gain":4})"));
    EXPECT_EQ(peak(), 1.0f);
    // JSON has no NaN: send it as the controller would forward one.
    controller.handle_message(msg::SetMasterGain{std::numeric_limits<float>::quiet_NaN()});
    EXPECT_EQ(render(), std::vector<float>(kBlock, 0.0f));
}

TEST_F(EngineTest, OnlyMaxBlockSamplesAreWritten) {
    ASSERT_TRUE(handle(kSquareGraph));
    const auto out = render(2 * kBlock);
    EXPECT_EQ(out[kBlock], 9.0f);
    EXPECT_EQ(out[2 * kBlock - 1], 9.0f);
    EXPECT_NE(out[0], 9.0f);
}

TEST_F(EngineTest, RenderingAllocatesNothingSteadyOrDuringACrossfade) {
    ASSERT_TRUE(handle(kSquareGraph));
    settle();
    std::vector<float> out(kBlock);
    EXPECT_EQ(test_nodes::count_allocations([&] {
                  for (int i = 0; i < 20; ++i)
                      processor.process(out);
              }),
              0u);
    ASSERT_TRUE(handle(R"({"type":"set_control","label":"vol","value":0.5})"));
    ASSERT_TRUE(handle(R"({"type":"add_node","id":"e","type_id":"gain"})"));
    // Applies the commands, then renders a block of the crossfade.
    EXPECT_EQ(test_nodes::count_allocations([&] { processor.process(out); }), 0u);
    EXPECT_FALSE(processor.swapper().fading());  // 48-sample fade ended in that block
}

// A control thread edits, swaps and automates while an audio thread renders; run under
// ThreadSanitizer in CI.
TEST(EngineStress, ControllerAndAudioThreadRunConcurrently) {
    auto [controller, processor] = engine::engine({kBlock, 2, 48000, 2});
    std::atomic<bool> done{false};
    std::thread audio([&processor = processor, &done] {
        std::vector<float> out(kBlock);
        while (!done.load(std::memory_order_acquire))
            processor.process(out);
        for (int i = 0; i < 50; ++i)
            processor.process(out);
    });
    ASSERT_TRUE(controller.handle_message(decode(kSquareGraph)));
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
