#include "audio_engine/engine.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <thread>

#include "support/log.hpp"
#include "test_nodes.hpp"

namespace {

using namespace audio_engine;
namespace msg = protocol;
using test_nodes::HeapUse;

msg::ClientMessage decode(std::string text) {
    support::json::Parser parser;
    return msg::decode(parser, text).value();  // a bad text throws: the test fails
}

// A square wave (+1/-1) through a gain `amp` into the dac; "vol" exposes the gain.
std::string square(std::string amp = "amp", std::string labels = "") {
    return R"({"type":"load_graph","nodes":[{"id":"osc","type_id":"oscillator","controls":)"
           R"({"waveform":2,"freq":100}},{"id":")" +
           amp +
           R"(","type_id":"gain"},{"id":"out",)"
           R"("type_id":"dac"}],"connections":[["osc","out",")" +
           amp + R"(","in"],[")" + amp + R"(","out","out","in"]],"exposed_controls":{)" +
           (labels.empty() ? R"("vol":[")" + amp + R"(","gain"])" : labels) + "}}";
}

class EngineBlocks : public ::testing::TestWithParam<std::size_t> {
protected:
    EngineBlocks() {
        support::log::init_with("debug", support::log::Style::Never,
                                [this](std::string_view line) { log += line; });
    }
    ~EngineBlocks() override { support::log::reset(); }

    engine::Result handle(std::string text) { return controller.handle_message(decode(text)); }
    std::vector<float> render(std::size_t m) {
        std::vector<float> out(m, 9.0f);
        processor.process(out);
        return out;
    }
    // The peak of a block once the fade is over and the outgoing graph went back.
    float peak() {
        for (int i = 0; i < 2 || (i < 1000 && processor.swapper().fading()); ++i)
            render(n);
        float p = 0.0f;
        for (const float s : render(n))
            p = std::max(p, std::abs(s));
        return p;
    }
    bool logged(std::string_view text) const { return log.find(text) != std::string::npos; }

    const std::size_t n = GetParam();
    std::pair<engine::EngineController, engine::AudioProcessor> parts =
        engine::engine({n, 2, 48000, 1});  // a 48-sample crossfade
    engine::EngineController& controller = parts.first;
    engine::AudioProcessor& processor = parts.second;
    std::string log;
};

TEST_P(EngineBlocks, EditsAndStoredValuesOutliveRecompilesAndReuseTakesTheNewestGraphBack) {
    ASSERT_TRUE(handle(square()));
    ASSERT_TRUE(handle(R"({"type":"set_control","label":"vol","value":0.25})"));
    ASSERT_TRUE(handle(R"({"type":"add_node","id":"e1","type_id":"gain"})"));
    ASSERT_TRUE(handle(R"({"type":"add_node","id":"e2","type_id":"gain"})"));
    EXPECT_TRUE(logged("0/5 nodes reused (from 0 reusable candidates)"));
    // The 3-node graph went back first, then the 4-node one; the new graph got the stored value.
    EXPECT_EQ(peak(), 0.25f);
    ASSERT_TRUE(handle(R"({"type":"add_node","id":"e3","type_id":"gain"})"));
    EXPECT_TRUE(logged("4/6 nodes reused (from 4 reusable candidates)"));
    ASSERT_TRUE(handle(R"({"type":"disconnect","from_node":"osc","from_port":"out",
        "to_node":"amp","to_port":"in"})"));
    EXPECT_EQ(peak(), 0.0f);
    ASSERT_TRUE(handle(R"({"type":"graph_batch","commands":[{"type":"ping"},
        [3,"osc","out","amp","in"],{"type":"expose_control","label":"v2","node_id":"amp",
        "control_name":"gain"}]})"));
    EXPECT_TRUE(logged("GraphBatch: ignoring non-mutation message: Ping"));
    EXPECT_TRUE(controller.resolve_label("v2"));
    EXPECT_EQ(peak(), 0.25f);
    ASSERT_TRUE(handle(R"({"type":"remove_node","id":"amp"})"));  // its connections go too
    EXPECT_EQ(peak(), 0.0f);
    EXPECT_EQ(handle(R"({"type":"add_node","id":"x","type_id":"nope"})").error().display(),
              "registry error: node type not found: nope");
    EXPECT_EQ(controller.graph().nodes.size(), 6u);  // kept, for a later compile to mend
    ASSERT_TRUE(handle(square("amp", R"("other":["amp","gain"])")));
    ASSERT_TRUE(handle(R"({"type":"set_control","label":"vol","value":1})"));
    EXPECT_TRUE(logged(R"(set_control: unknown label 'vol', available: ["other"])"));
    ASSERT_TRUE(handle(square("fresh_amp")));  // the label returns, and so does its value
    EXPECT_EQ(peak(), 0.25f);
}

TEST_P(EngineBlocks, TheAudioThreadNeitherAllocatesNorReleases) {
    ASSERT_TRUE(handle(square("amplifier_main_bus")));
    ASSERT_TRUE(handle(R"({"type":"set_automation","id":"sweeping_the_main_bus","label":"vol",
        "shape":"tri","lo":0,"hi":1,"period_secs":0.01})"));
    peak();
    for (int i = 0; i < 100; ++i)
        ASSERT_TRUE(handle(R"({"type":"set_control","label":"vol","value":0.5})"));
    std::vector<float> out(n);
    const auto blocks = [&](int count) {
        return test_nodes::heap_use([&] {
            while (count-- > 0)
                processor.process(out);
        });
    };
    EXPECT_EQ(blocks(20), HeapUse{});
    ASSERT_TRUE(handle(R"({"type":"add_node","id":"e","type_id":"gain"})"));
    EXPECT_EQ(blocks(1), HeapUse{});  // the swap and a fade
}

INSTANTIATE_TEST_SUITE_P(Blocks, EngineBlocks, ::testing::ValuesIn(test_nodes::block_sizes()));

using AudioEngine = EngineBlocks;
INSTANTIATE_TEST_SUITE_P(Block, AudioEngine, ::testing::Values(256));

TEST_P(AudioEngine, AMutedGainIsExactSilenceAndCostsNoMore) {
    auto [normal, normal_processor] = engine::engine({n, 2, 48000, 0});
    ASSERT_TRUE(normal.handle_message(decode(square())));
    ASSERT_TRUE(handle(square()));
    render(n);
    ASSERT_TRUE(handle(R"({"type":"set_control","label":"vol","value":0})"));
    for (int i = 0; i < 40; ++i)
        render(n);
    EXPECT_EQ(render(n), std::vector<float>(n, 0.0f));
    // Medians of interleaved blocks, so that both see the same machine load; a gain stuck at a
    // subnormal value costs many times a normal block.
    std::vector<double> muted, plain;
    std::vector<float> out(n);
    const auto time = [&out](engine::AudioProcessor& p, std::vector<double>& times) {
        const auto t = std::chrono::steady_clock::now();
        p.process(out);
        times.push_back(
            std::chrono::duration<double>(std::chrono::steady_clock::now() - t).count());
    };
    for (int i = 0; i < 301; ++i) {
        time(processor, muted);
        time(normal_processor, plain);
    }
    std::nth_element(muted.begin(), muted.begin() + 150, muted.end());
    std::nth_element(plain.begin(), plain.begin() + 150, plain.end());
    EXPECT_LE(muted[150], 1.5 * plain[150] + 2e-6);
}

TEST_P(AudioEngine, DenormalsAreFlushedForTheRenderOnlyAndGatesAreNotReapplied) {
    auto probe = std::make_unique<test_nodes::Probe>(0.0f),
         again = std::make_unique<test_nodes::Probe>(0.0f);
    const auto *first = probe.get(), *second = again.get();
    controller.inject_node("p", std::move(probe));
    ASSERT_TRUE(handle(R"({"type":"load_graph","nodes":[{"id":"p","type_id":"adc_input"}],
        "connections":[],"exposed_controls":{"g":["p","gate"],"lvl":["p","value"]}})"));
    ASSERT_TRUE(handle(R"({"type":"set_control","label":"g","value":1})"));
    ASSERT_TRUE(handle(R"({"type":"set_control","label":"lvl","value":0.25})"));
    render(n);
    volatile float tiny = std::numeric_limits<float>::min();
    EXPECT_TRUE(first->flushed && first->gate == 1.0f && tiny * 0.5f != 0.0f);
    controller.inject_node("p", std::move(again));
    ASSERT_TRUE(handle(R"({"type":"add_node","id":"q","type_id":"dac"})"));
    EXPECT_EQ(std::pair(second->value, second->gate), std::pair(0.25f, 0.0f));
}

TEST_P(AudioEngine, AutomationsFromMessagesAndAFullCommandRing) {
    ASSERT_TRUE(handle(square()));
    for (const auto& [shape, secs, period, kind] :
         {std::tuple{"tri", 0.5, 24000ul, 1ul}, {"ramp_down", 0.0, 0ul, 3ul},
          {"exp", -1.0, 0ul, 5ul}, {"square", NAN, 0ul, 4ul}, {"triangle", INFINITY, 0ul, 0ul}}) {
        ASSERT_TRUE(controller.handle_message(msg::SetAutomation{"a", "vol", shape, 0, 1, secs}));
        render(n);
        const auto& a = processor.swapper().automations().at(0).automation;
        EXPECT_EQ(std::pair(a.period, a.shape.index()), std::pair(period, kind)) << shape;
    }
    ASSERT_TRUE(handle(R"({"type":"clear_automation","id":"a"})"));
    for (std::uint64_t i = 0; i < 258; ++i)
        controller.set_crossfade_samples(i);
    EXPECT_EQ(controller.waiting(), 1u);  // the last two: one target
    render(n);
    EXPECT_TRUE(processor.swapper().automations().empty());
    EXPECT_EQ(processor.swapper().crossfade(), 254u);  // the clear took one of the 256
    EXPECT_EQ(controller.flush(), 0u);
    render(n);
    EXPECT_EQ(processor.swapper().crossfade(), 257u);
}

// Values beyond the ring's room wait, in order, and go out as the audio thread makes room: none
// is lost, a later value (or automation) replaces a waiting one of its target (or id) unless a
// swap, or an automation of that control, stands between them, and Status shows only what went
// out. Steps: "v" a value for every label (round r gives label i the value 1000 r + i), "s" an
// edit that swaps the graph, "a" an automation that sets the last label to 7 once, "r" a block.
TEST(EngineController, ValuesBeyondTheRingWaitInOrderAndNoneIsLost) {
    struct Case {
        std::size_t labels;
        std::string steps;
        std::size_t waiting, shown;  // after the steps
        int flushes;                 // blocks and flushes until none waits
    };
    const Case cases[] = {
        {300, "v", 44, 256, 1},    {300, "vv", 300, 256, 2}, {100, "vvvvvvvvvv", 100, 100, 1},
        {300, "vsv", 345, 256, 2}, {300, "vrv", 88, 300, 1}, {300, "vaaav", 302, 256, 2},
    };
    for (const auto& [labels, steps, waiting, shown, flushes] : cases) {
        auto [controller, processor] = engine::engine({256, 2, 48000, 1});
        std::vector<test_nodes::Probe*> made;
        ASSERT_TRUE(controller.handle_message(
            msg::LoadGraph{test_nodes::probes(controller.registry(), made, labels)}));
        std::vector<float> out(256);
        processor.process(out);
        std::map<std::string, float> last;
        std::string automated;  // holds the automation's value until its next value comes
        float round = 0.0f;
        for (const char step : steps) {
            if (step == 'r') processor.process(out);
            if (step == 's') {
                ASSERT_TRUE(controller.handle_message(msg::AddNode{"e", "gain", {}}));
            }
            const std::string last_label = "l" + std::to_string(labels - 1);
            if (step == 'a') {
                ASSERT_TRUE(controller.handle_message(
                    msg::SetAutomation{"sweep", last_label, "tri", 7, 7, 0, false}));
                automated = last_label;
            }
            if (step != 'v') continue;
            round += 1000.0f;
            for (std::size_t i = 0; i < labels; ++i) {
                const std::string label = "l" + std::to_string(i);
                last[label] = round + static_cast<float>(i);
                ASSERT_TRUE(controller.handle_message(msg::SetControl{label, last[label]}));
            }
        }
        const std::string at = std::to_string(labels) + " " + steps;
        EXPECT_EQ(controller.waiting(), waiting) << at;
        EXPECT_EQ(controller.snapshot().control_values.size(), shown) << at;
        // What Status shows is what the newest graph's nodes hold once the block has run.
        const auto holds_what_is_shown = [&] {
            for (const auto& [label, value] : controller.snapshot().control_values) {
                const auto* probe = made[made.size() - labels + std::stoul(label.substr(1))];
                ASSERT_TRUE(label == automated || probe->value == value) << at << " " << label;
            }
        };
        int passes = 0;
        do {
            processor.process(out);
            holds_what_is_shown();
            ++passes;
        } while (controller.flush() > 0);
        processor.process(out);
        automated.clear();
        holds_what_is_shown();
        EXPECT_EQ(passes, flushes) << at;
        EXPECT_EQ(controller.snapshot().control_values, last) << at;
    }
}

// Every line the controller logs, level and text, in one controller's life; `fill` commands
// are sent before the request, so that the ring is full.
TEST(EngineController, LogsEveryRequestInItsWords) {
    using Lines = std::vector<std::pair<std::string, std::string>>;
    Lines got;
    support::log::init_with("audio_engine::engine=debug", support::log::Style::Never,
                            [&got](std::string_view line) {
                                const auto level = line.find(' ') + 1;
                                got.emplace_back(line.substr(level, line.find(' ', level) - level),
                                                 line.substr(line.find("] ") + 2));
                                got.back().second.pop_back();  // the '\n'
                            });
    const std::string lo_hi = R"("lo":0,"hi":1,"period_secs":0.5})";
    const std::tuple<int, std::string, Lines> cases[] = {
        {0,
         square(),
         {{"INFO", "load_graph: 3 nodes, 2 connections, 1 controls"},
          {"INFO", "graph compiled — exposed: [\"vol\"]"}}},
        {0,
         R"({"type":"add_node","id":"e","type_id":"gain","controls":{"gain":0.5}})",
         {{"DEBUG", "add_node: id=e, type=gain, controls={\"gain\": 0.5}"}}},
        {0, R"({"type":"remove_node","id":"e"})", {{"DEBUG", "remove_node: e"}}},
        {0, R"(["connect","osc","out","amp","in"])", {{"DEBUG", "connect: osc:out -> amp:in"}}},
        {0,
         R"(["disconnect","osc","out","amp","in"])",
         {{"DEBUG", "disconnect: osc:out -> amp:in"}}},
        {0,
         R"(["expose_control","v2","amp","gain"])",
         {{"DEBUG", "expose_control: v2 -> amp:gain"}}},
        {0, R"(["set_control","vol",0.25])", {{"DEBUG", "set_control: vol=0.25 (-> amp:gain)"}}},
        {0,
         R"(["set_control","nope",1])",
         {{"WARN", R"(set_control: unknown label 'nope', available: ["v2", "vol"])"}}},
        {0, R"(["set_master_gain",0.5])", {{"DEBUG", "set_master_gain: 0.5"}}},
        {0, R"(["list_nodes",9])", {{"DEBUG", "list_nodes (reply handled by caller)"}}},
        {0,
         R"({"type":"graph_batch","commands":[["ping"],["remove_node","x"]]})",
         {{"DEBUG", "graph_batch: 2 commands"},
          {"WARN", "GraphBatch: ignoring non-mutation message: Ping"}}},
        {0, R"(["ping"])", {{"DEBUG", "ping"}}},
        {0,
         R"({"type":"set_automation","id":"s","label":"vol","shape":"tri",)" + lo_hi,
         {{"DEBUG", "set_automation: s -> amp/gain shape=tri lo=0 hi=1 period=24000samp"}}},
        {0,
         R"({"type":"set_automation","id":"s","label":"nope","shape":"tri",)" + lo_hi,
         {{"WARN", R"(set_automation: unknown label 'nope', available: ["v2", "vol"])"}}},
        {0, R"(["clear_automation","s"])", {{"DEBUG", "clear_automation: s"}}},
        {0, R"(["start_input"])", {{"DEBUG", "start_input (handled by caller)"}}},
        {0, R"(["midi_map",0,1,"vol",0,1])", {{"DEBUG", "midi_map (handled by caller)"}}},
        {0, R"(["shutdown"])", {{"DEBUG", "shutdown"}}},
        {0,
         R"({"type":"register_node_type","type_id":"t","audio_inputs":[],"audio_outputs":[],)"
         R"("controls":[]})",
         {}},
        {256,
         R"(["set_control","vol",0.5])",
         {{"DEBUG", "command ring full, commands wait for room"},
          {"DEBUG", "set_control: vol=0.5 (-> amp:gain)"}}},
    };
    auto [controller, processor] = engine::engine({256, 2, 48000, 1});
    for (const auto& [fill, request, lines] : cases) {
        got.clear();
        for (int i = 0; i < fill; ++i)
            controller.set_crossfade_samples(0);
        (void)controller.handle_message(decode(request));
        EXPECT_EQ(got, lines) << request;
    }
    support::log::reset();
}

// A control thread edits, swaps and automates while an audio thread renders; run under
// ThreadSanitizer in CI.
TEST(EngineStress, ControllerAndAudioThreadRunConcurrently) {
    auto [controller, processor] = engine::engine({64, 2, 48000, 2});
    std::atomic<bool> done{false};
    std::thread audio([&processor = processor, &done] {
        std::vector<float> out(64);
        for (int tail = 50; tail > 0; tail -= done.load(std::memory_order_acquire))
            processor.process(out);
    });
    ASSERT_TRUE(controller.handle_message(decode(square())));
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
