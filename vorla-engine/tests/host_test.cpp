#include "vorla_engine/host.hpp"

#include <gtest/gtest.h>

#include <map>

#include "../../audio-faust/tests/temp_dir.hpp"
#include "audio_engine/protocol.hpp"
#include "pattern_engine/ipc.hpp"
#include "pattern_engine/ipc/protocol.hpp"

namespace {

using namespace vorla_engine;
using namespace std::chrono_literals;
using audio_faust::hot_reload::HotReloadEngine;
using pattern_engine::engine::Engine;

TEST(HostConfig, ReadsOnlyItsVariables) {
    using Env = std::map<std::string, std::string>;
    const std::pair<Env, Config> cases[] = {
        {{}, {"/tmp/zorva/dsp", "/tmp/vorla.sock", false}},
        {{{"HOME", "/home/x"}, {"TMPDIR", "/t"}, {"ZORVA_MIDI_CLOCK", "1"}},
         {"/home/x/.vorla/dsp", "/t/vorla.sock", true}},
        {{{"HOME", "/h"}, {"ZORVA_MIDI_CLOCK", " 1"}}, {"/h/.vorla/dsp", "/tmp/vorla.sock", false}},
        {{{"HOME", "/h"}, {"ZORVA_MIDI_CLOCK", "01"}}, {"/h/.vorla/dsp", "/tmp/vorla.sock", false}},
        {{{"ZORVA_DSP_DIR", "d"}, {"HOME", "/h"}, {"ZORVA_SOCKET", ""}, {"TMPDIR", ""}},
         {"d", "", false}},
        // Not UTF-8: unset. An empty TMPDIR would make the socket relative.
        {{{"ZORVA_DSP_DIR", "\xff"}, {"HOME", "/h"}, {"ZORVA_SOCKET", "\xc0"}, {"TMPDIR", ""}},
         {"/h/.vorla/dsp", "/tmp/vorla.sock", false}},
    };
    for (const auto& [env, want] : cases) {
        const Config got = config_from_env([&](const char* name) {
            return env.contains(name) ? std::optional(env.at(name)) : std::nullopt;
        });
        EXPECT_EQ(std::tie(got.dsp_dir, got.socket_path, got.midi_clock),
                  std::tie(want.dsp_dir, want.socket_path, want.midi_clock));
    }
}

// Writes 1, 2, 3, ... across chunks and records each chunk's length.
struct CountingProcessor {
    std::vector<std::size_t>* chunks;
    float next = 1.0f;
    void process(std::span<float> out) {
        chunks->push_back(out.size());
        for (float& s : out) s += next++;
    }
};

TEST(HostAudioCallback, ChunksAndCopiesMonoToEveryChannel) {
    const std::tuple<std::size_t, std::size_t, std::vector<std::size_t>> cases[] = {
        {1030, 2, {256, 256, 3}}, {1030, 3, {256, 87}}, {1, 2, {}}, {0, 1, {}}, {4, 0, {}},
    };
    for (const auto& [len, channels, want] : cases) {
        std::vector<std::size_t> chunks;
        AudioCallback<CountingProcessor> callback({&chunks}, channels);
        std::vector<float> buffer(len, -7.0f);
        callback(buffer);
        EXPECT_EQ(chunks, want) << len << " x" << channels;
        const std::size_t frames = channels ? len / channels : 0;
        for (std::size_t i = 0; i < len; ++i) {
            const float expect = i < frames * channels ? float(i / channels + 1) : -7.0f;
            ASSERT_EQ(buffer[i], expect) << len << " x" << channels << " at " << i;
        }
    }
}

// ---- the main loop against a fake clock, a recording MIDI sink and a fake device ----

class FakeDevice final : public AudioDevice {
public:
    bool stopped = false;
    bool input_fails = false;
    void stop() override { stopped = true; }
    std::expected<std::shared_ptr<audio_engine::nodes::adc::CaptureRing>, std::string>
    start_input(std::uint32_t, std::size_t) override {
        if (input_fails) return std::unexpected("no input device");
        return std::make_shared<audio_engine::nodes::adc::CaptureRing>(16);
    }
};

namespace out = pattern_engine::output;

// Records "on N", "off N" and "tick".
struct Recorder final : out::OutputSink {
    std::function<out::Result(std::string)> rec;
    explicit Recorder(std::function<out::Result(std::string)> rec) : rec(std::move(rec)) {}
    out::Result send(const pattern_engine::event::Event<>& e) override {
        return rec("on " + std::to_string(std::get<pattern_engine::event::Note>(e.value).note));
    }
    out::Result send_note_off(std::uint8_t, std::uint8_t n) override {
        return rec("off " + std::to_string(n));
    }
    out::Result send_clock_tick() override { return rec("tick"); }
    out::Result send_clock_start() override { return {}; }
    out::Result send_clock_stop() override { return {}; }
    std::string_view name() const override { return "rec"; }
};

// A main loop on a fake clock that its sleeps advance; MIDI recorded with the time since start.
struct Loop {
    Instant start = Instant{} + 1h, t = start;
    audio_faust::test_util::TempDir dir;
    Engine engine{lookahead, start_bpm, start_beats_per_cycle, [this] { return t; }};
    std::expected<std::pair<HotReloadEngine, audio_engine::engine::AudioProcessor>, std::string>
        audio = HotReloadEngine::create({block_frames, 2, 48000, 10}, dir.path());
    FakeDevice device;
    std::pair<ipc::LoopSender, ipc::LoopReceiver> channel =
        support::channel::unbounded<LoopCommand>();
    ipc::LoopSender& tx = channel.first;
    support::json::Parser parser;
    std::shared_ptr<CcRing> cc = std::make_shared<CcRing>(16);
    std::vector<std::pair<Duration, std::string>> midi;
    Duration longest_sleep{};
    std::unique_ptr<MainLoop> loop;

    explicit Loop(bool clock = false) {
        auto rec = [this](std::string text) -> out::Result {
            midi.emplace_back(t - start, std::move(text));
            return {};
        };
        const auto sleep = [this](Duration d) {
            longest_sleep = std::max(longest_sleep, d);
            t += d;
        };
        loop = std::make_unique<MainLoop>(LoopParts{
            engine, audio->first, device, 48000, std::make_shared<ipc::NodeTypeList>(),
            std::move(channel.second), std::nullopt, std::make_unique<Recorder>(rec), cc,
            clock ? std::optional(t) : std::nullopt, {[this] { return t; }, sleep}});
    }
    void run_for(Duration d) {
        for (const Instant end = t + d; t < end;) ASSERT_TRUE(loop->pass());
    }
    // A pattern command: `slot` and `tree` make it a SetPattern.
    void pattern(std::string_view line, std::string_view tree = {}) {
        const std::string set = R"({"cmd":"SetPattern","slot":")" + std::string(line) +
                                R"(","pattern":)" + std::string(tree) + "}";
        auto c = pattern_engine::ipc::compile_command(
            *pattern_engine::ipc::protocol::decode(parser, tree.empty() ? line : set));
        ASSERT_TRUE(c && *c) << line;
        tx.send(ipc::loop::PatternCommand{std::move(**c)});
    }
    support::channel::SlotReceiver<ipc::AudioResult> queue_audio(std::string_view line) {
        auto [reply, answer] = support::channel::one_slot<ipc::AudioResult>();
        tx.send(ipc::loop::AudioRequest{*audio_engine::protocol::decode(parser, line),
                                        std::move(reply)});
        return std::move(answer);
    }
    ipc::AudioResult audio_request(std::string_view line) {
        auto answer = queue_audio(line);
        loop->pass();
        return answer.recv_for(0ms).value_or(std::unexpected("no answer"));
    }
    // oscillator -> gain "amp" -> dac, with "freq" and "vol" exposed.
    void load_graph() {
        ASSERT_EQ(
            audio_request(R"({"type":"load_graph","nodes":[{"id":"osc","type_id":"oscillator"},)"
                          R"({"id":"amp","type_id":"gain"},{"id":"out","type_id":"dac"}],)"
                          R"("connections":[["osc","out","amp","in"],["amp","out","out","in"]],)"
                          R"("exposed_controls":{"freq":["osc","freq"],"vol":["amp","gain"]}})"),
            ipc::AudioResult("graph loaded"));
    }
    auto control_values() { return audio->first.controller().snapshot().control_values; }
    // The audio thread's view once it has taken the queued commands.
    const audio_engine::swap::GraphSwapper& swapper() {
        audio->second.process({});
        return audio->second.swapper();
    }
};

TEST(MainLoop, NotesLeaveWhenDueAndEndAfterTheirDuration) {
    using Sent = std::vector<std::pair<Duration, std::string>>;
    // A new slot starts at the next cycle (2 s at 120 bpm and 4 beats, 1.5 s at 3 beats); dur
    // counts four beats whatever the cycle.
    const std::tuple<std::string, std::string, Sent> cases[] = {
        {"4", "0.25", {{2s, "on 60"}, {2500ms, "off 60"}}},
        {"3", "0.25", {{1500ms, "on 60"}, {2s, "off 60"}}},
        {"4", "-1", {{2s, "on 60"}, {2s, "off 60"}}},
        {"4", "1e300", {{2s, "on 60"}}},
    };
    for (const auto& [beats, dur, want] : cases) {
        Loop l;
        l.pattern(R"({"cmd":"SetBeatsPerCycle","beats":)" + beats + "}");
        l.pattern("d1", R"(["Atom",["Note",0,60,100,)" + dur + "]]");
        l.run_for(2900ms);
        EXPECT_EQ(l.midi, want) << dur;
        EXPECT_LE(l.longest_sleep, 1ms);
    }
}

TEST(MainLoop, PatternControlsReachTheGraphWhenDue) {
    const std::tuple<std::string, std::map<std::string, float>, float> cases[] = {
        {R"(["Control","freq",300])", {{"freq", 300.0f}}, 1.0f},
        {R"(["Osc","/audio/set",[{"Str":"vol"},{"Int":3}]])", {{"vol", 3.0f}}, 1.0f},
        {R"(["Osc","/audio/set",[{"Str":"vol"},{"Float":0.5},{"Int":9}]])", {{"vol", 0.5f}}, 1.0f},
        {R"(["Osc","/audio/set",[{"Float":0.5}]])", {}, 1.0f},
        {R"(["Osc","/audio/gain",[{"Float":0.25}]])", {}, 0.25f},
        {R"(["Osc","/audio/gain",[{"Str":"x"}]])", {}, 1.0f},
    };
    for (const auto& [value, controls, master] : cases) {
        Loop l;
        l.load_graph();
        // Two atoms in a cycle: a control-only slot would become curves instead.
        l.pattern("d1", R"(["Cat",[["Atom",)" + value + R"(],["Atom",["Cc",0,1,2]]]])");
        l.run_for(1950ms);
        EXPECT_EQ(l.loop->pending_controls() + l.loop->pending_output(), 1u) << value;
        EXPECT_TRUE(l.control_values().empty()) << value;
        l.run_for(100ms);
        EXPECT_EQ(l.control_values(), controls) << value;
        EXPECT_EQ(l.audio->first.controller().master_gain(), master) << value;
        EXPECT_TRUE(l.midi.empty()) << value;  // OSC finds no sink and is dropped
    }
}

TEST(MainLoop, AnswersRequestsMapsControlChangesRunsCurvesAndShutsDown) {
    Loop l;
    l.load_graph();
    EXPECT_EQ(l.swapper().crossfade(), 12000u);  // half a beat at 120 bpm
    l.device.input_fails = true;
    const std::pair<std::string, ipc::AudioResult> requests[] = {
        {R"({"type":"set_control","label":"nope","value":5})", "ok"},
        {R"({"type":"connect","from_node":"x","from_port":"out","to_node":"out","to_port":"in"})",
         std::unexpected("handle_message: ")},
        {R"({"type":"load_graph","nodes":[{"id":"a","type_id":"nope"}],"connections":[]})",
         std::unexpected("load_graph: ")},
        {R"({"type":"start_input","channel":0})", std::unexpected("start_input: no input device")},
        {R"({"type":"midi_map","channel":15,"cc":74,"label":"freq","lo":200,"hi":4000})",
         "midi_map: ch15 cc74 \u2192 freq"},
    };
    for (const auto& [line, want] : requests) {
        const auto got = l.audio_request(line);
        EXPECT_TRUE(want ? got == want : !got && got.error().starts_with(want.error())) << line;
    }
    l.load_graph();  // a failed load leaves its graph as the controller's description
    const std::pair<CcTriple, float> ccs[] = {
        {{15, 74, 0}, 200.0f},    {{15, 74, 127}, 4000.0f},  {{15, 74, 64}, 2114.9607f},
        {{0, 74, 0}, 2114.9607f}, {{15, 75, 0}, 2114.9607f},  // unmapped: unchanged
    };
    for (const auto& [triple, want] : ccs) {
        ASSERT_TRUE(l.cc->try_push(triple));
        l.loop->pass();
        EXPECT_FLOAT_EQ(l.control_values().at("freq"), want)
            << int(triple[0]) << " " << int(triple[1]);
    }

    // A control-only slot: each automation id recorded once over cycles, cleared when set again.
    l.pattern("s", R"(["Stack",[["Atom",["Control","freq",0.5]],["Atom",["Control","nope",1]]]])");
    l.run_for(6s);
    EXPECT_EQ(
        l.loop->slot_automations(),
        MainLoop::SlotAutomations({{*l.engine.slot_idx("s"), std::vector<std::string>{"s/freq"}}}));
    const auto& running = l.swapper().automations();
    ASSERT_EQ(running.size(), 1u);
    EXPECT_EQ(running[0].id, "s/freq");
    EXPECT_EQ(running[0].automation.period, 96000u);
    EXPECT_TRUE(running[0].automation.one_shot);
    l.pattern("s", R"(["Atom",["Note",0,60,100,0.25]])");
    l.loop->pass();
    EXPECT_TRUE(l.loop->slot_automations().empty());
    for (const auto& a : l.swapper().automations()) EXPECT_FALSE(a.automation.active) << a.id;

    // Shutdown stops audio and leaves later requests unanswered.
    auto bye = l.queue_audio(R"({"type":"shutdown"})");
    auto later = l.queue_audio(R"({"type":"set_control","label":"freq","value":5})");
    EXPECT_FALSE(l.loop->pass());
    EXPECT_EQ(*bye.recv_for(0ms), ipc::AudioResult("shutting down"));
    EXPECT_TRUE(l.device.stopped);
    l.loop.reset();
    EXPECT_EQ(later.recv_for(0ms).error(), support::channel::RecvError::Disconnected);
}

TEST(MainLoop, ClockPulses24PerBeatAndCatchesUpAfterALongPass) {
    Loop l(true);
    l.run_for(1s);
    // 48 per second at 120 bpm, each 20833333 ns after the one before (never re-aligned).
    ASSERT_EQ(l.midi.size(), 49u);
    for (std::size_t i = 0; i < l.midi.size(); ++i) EXPECT_EQ(l.midi[i].first, i * 20833333ns);
    l.midi.clear();
    l.t += 100ms;  // a long pass
    const Duration now = l.t - l.start;
    l.loop->pass();
    EXPECT_EQ(l.midi, decltype(l.midi)(4, {now, "tick"}));  // all at once
}

}  // namespace
