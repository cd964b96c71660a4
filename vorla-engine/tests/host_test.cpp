#include "vorla_engine/host.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <functional>
#include <limits>
#include <map>
#include <mutex>
#include <random>
#include <stdexcept>
#include <thread>

#include "../../audio-engine/tests/test_nodes.hpp"
#include "../../audio-faust/tests/slow_compile.hpp"
#include "../../audio-faust/tests/temp_dir.hpp"
#include "audio_engine/protocol.hpp"
#include "audio_faust/dsp.hpp"
#include "pattern_engine/ipc.hpp"
#include "pattern_engine/ipc/protocol.hpp"
#include "support/log.hpp"

// libfaust 2.54 leaks LLVM optimiser state in every compile, whatever is deleted: a leak check
// of the tests that compile Faust would only see that.
extern "C" const char* __lsan_default_suppressions() {
    return "leak:libfaust.so\nleak:libLLVM-14.so\n";
}

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

// Answers capture requests at once, or keeps them in flight while `hold` is set.
class FakeDevice final : public AudioDevice {
public:
    bool stopped = false;
    bool input_fails = false;
    bool hold = false;
    std::string unconnected;
    std::vector<InputDone> held;
    void stop() override { stopped = true; }
    void start_input(std::uint32_t, std::size_t, InputDone done) override {
        held.push_back(std::move(done));
        if (!hold) finish();
    }
    void finish() {
        for (auto& done : held) {
            if (input_fails)
                done({std::unexpected("no input device"), {}});
            else
                done({std::make_shared<audio_engine::nodes::adc::CaptureRing>(16), unconnected});
        }
        held.clear();
    }
};

namespace out = pattern_engine::output;
namespace ev = pattern_engine::event;

using Sent = std::vector<std::pair<Duration, std::string>>;

// The MIDI side as the loop sees it: what was sent ("on N", "off N", "cc N", "tick") with the
// time since start, notes sounding per (channel, note), and a queue of `capacity` messages of
// which a JACK-like consumer takes `per_period` every period.
struct MidiLog {
    static constexpr Duration period = 5333333ns;  // 256 frames at 48 kHz
    MidiLog(const Instant* t, Instant start) : t(t), start(start) {}
    const Instant* t;
    Instant start;
    std::size_t capacity = std::numeric_limits<std::size_t>::max();
    std::size_t per_period = 0;
    std::size_t queued = 0;
    std::int64_t periods = 0;  // consumer periods done since start
    Sent sent;
    std::map<std::pair<int, int>, int> sounding;
    int stray_offs = 0;  // note-offs of notes not sounding
    bool down = false;   // refuses everything, whatever its room (a server gone)
    std::function<void()> on_send;

    out::Result take(std::string text) {
        if (on_send) on_send();
        if (down) return std::unexpected(out::OutputError::midi("send: the server is gone"));
        if (queued == capacity)
            return std::unexpected(out::OutputError::midi("send: the MIDI output queue is full"));
        ++queued;
        sent.emplace_back(*t - start, std::move(text));
        return {};
    }
    // The consumer catches up with the clock.
    void drain() {
        for (const std::int64_t now = (*t - start) / period; periods < now; ++periods)
            queued -= std::min(queued, per_period);
    }
    bool balanced() const {
        return stray_offs == 0 &&
               std::all_of(sounding.begin(), sounding.end(), [](auto& s) { return s.second == 0; });
    }
};

struct Recorder final : out::OutputSink {
    MidiLog* log;
    explicit Recorder(MidiLog* log) : log(log) {}
    out::Result send(const ev::Event<>& e) override {
        if (const auto* cc = std::get_if<ev::Cc>(&e.value))
            return log->take("cc " + std::to_string(cc->controller));
        const auto& note = std::get<ev::Note>(e.value);
        auto r = log->take("on " + std::to_string(note.note));
        if (r) ++log->sounding[{note.channel, note.note}];
        return r;
    }
    out::Result send_note_off(std::uint8_t channel, std::uint8_t note) override {
        auto r = log->take("off " + std::to_string(note));
        if (r && --log->sounding[{channel, note}] < 0) ++log->stray_offs;
        return r;
    }
    out::Result send_clock_tick() override { return log->take("tick"); }
    out::Result send_clock_start() override { return {}; }
    out::Result send_clock_stop() override { return {}; }
    std::string_view name() const override { return "rec"; }
    std::size_t room() const override { return log->capacity - log->queued; }
    bool gone() const override { return log->down; }
};

// Captures the lines of every target at the filter's levels while it lives (the watcher and
// compile threads log too).
struct Logged {
    mutable std::mutex mutex;
    std::vector<std::string> lines;
    explicit Logged(std::string_view filter = "warn") {
        support::log::init_with(filter, support::log::Style::Never, [this](std::string_view line) {
            std::lock_guard lock(mutex);
            lines.emplace_back(line);
        });
    }
    ~Logged() { support::log::reset(); }
    std::size_t count(std::string_view text) const {
        std::lock_guard lock(mutex);
        return std::count_if(lines.begin(), lines.end(), [&](const std::string& l) {
            return l.find(text) != std::string::npos;
        });
    }
};

using Files = std::vector<std::pair<std::string, std::string>>;

// A main loop on a fake clock that its waits advance; MIDI recorded with the time since start.
struct Loop {
    Instant start = Instant{} + 1h, t = start;
    audio_faust::test_util::TempDir dir;
    Engine engine{lookahead, start_bpm, start_beats_per_cycle, [this] { return t; }};
    std::expected<std::pair<HotReloadEngine, audio_engine::engine::AudioProcessor>, std::string>
        audio;
    FakeDevice device;
    std::pair<ipc::LoopSender, ipc::LoopReceiver> channel =
        support::channel::unbounded<LoopCommand>();
    ipc::LoopSender& tx = channel.first;
    support::json::Parser parser;
    std::shared_ptr<support::Wake> wake = std::make_shared<support::Wake>();
    std::shared_ptr<CcRing> cc = std::make_shared<CcRing>(wake);  // as start-up makes it
    MidiLog log{&t, start};
    Sent& midi = log.sent;
    Duration longest_sleep{};
    Duration min_pass{};  // what each pass takes at least, waits included
    // Run inside each wait, before the clock moves on.
    std::function<void(support::Wake&, support::Wake::Token)> during_wait;
    std::unique_ptr<MainLoop> loop;

    // `files` are in the DSP directory (the temporary one) when the engine starts; without
    // `midi` the loop has no MIDI sink.
    explicit Loop(bool clock = false, const Files& files = {}, bool midi = true)
        : audio([&] {
              for (const auto& [name, text] : files)
                  dir.write(name, text);
              return HotReloadEngine::create({block_frames, 2, 48000, 10}, dir.path());
          }()) {
        if (!audio) throw std::runtime_error(audio.error());
        const auto wait = [this](Instant deadline, support::Wake& w, support::Wake::Token seen) {
            if (during_wait) during_wait(w, seen);
            longest_sleep = std::max(longest_sleep, deadline - t);
            t = std::max(t, deadline);
            log.drain();
        };
        loop = std::make_unique<MainLoop>(LoopParts{
            .engine = engine,
            .audio = audio->first,
            .device = device,
            .sample_rate = 48000,
            .node_types = std::make_shared<ipc::NodeTypeList>(),
            .commands = std::move(channel.second),
            .ipc = std::nullopt,
            .midi = midi ? std::make_unique<Recorder>(&log) : nullptr,
            .midi_in = cc,
            .next_clock_tick = clock ? std::optional(t) : std::nullopt,
            .clock = {[this] { return t; }, wait},
            .wake = wake,
        });
    }
    void run_for(Duration d) {
        std::size_t still = 0;  // passes in a row that did not move the fake clock
        for (const Instant end = t + d; t < end;) {
            const Instant before = t;
            ASSERT_TRUE(loop->pass());
            still = t == before ? still + 1 : 0;
            ASSERT_LT(still, 10000u) << "the loop spins";
            if (t < before + min_pass) {
                t = before + min_pass;
                log.drain();
            }
        }
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
    void shutdown() {
        auto bye = queue_audio(R"({"type":"shutdown"})");
        EXPECT_FALSE(loop->pass());
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

// A Stack of `n` notes over every channel and pitch in turn.
std::string cluster(std::size_t n, std::string_view dur) {
    std::string atoms;
    for (std::size_t i = 0; i < n; ++i)
        atoms += std::string(i ? "," : "") + R"(["Atom",["Note",)" + std::to_string(i / 128 % 16) +
                 "," + std::to_string(i % 128) + ",100," + std::string(dur) + "]]";
    return R"(["Stack",[)" + atoms + "]]";
}

TEST(MainLoop, NotesLeaveWhenDueAndEndAfterTheirDuration) {
    // A new slot starts at the next cycle (2 s at 120 bpm and 4 beats, 1.5 s at 3 beats); dur
    // counts four beats whatever the cycle. Shutdown at 2.9 s ends what still sounds, a note
    // too long to schedule included, and sends no note-on that is only pending.
    const std::tuple<std::string, std::string, Sent> cases[] = {
        {"4", "0.25", {{2s, "on 60"}, {2500ms, "off 60"}}},
        {"3", "0.25", {{1500ms, "on 60"}, {2s, "off 60"}}},
        {"4", "-1", {{2s, "on 60"}, {2s, "off 60"}}},
        {"4", "1", {{2s, "on 60"}, {2900ms, "off 60"}}},
        {"4", "1e300", {{2s, "on 60"}, {2900ms, "off 60"}}},
    };
    for (const auto& [beats, dur, want] : cases) {
        Loop l;
        l.pattern(R"({"cmd":"SetBeatsPerCycle","beats":)" + beats + "}");
        l.pattern("d1", R"(["Atom",["Note",0,60,100,)" + dur + "]]");
        l.run_for(2900ms);
        l.shutdown();
        EXPECT_EQ(l.midi, want) << dur;
        EXPECT_LE(l.longest_sleep, 1ms);
    }
}

// A note-off due at or before a note-on's instant leaves before it, also when one late pass
// sends several: legato notes of one pitch never end the note that follows.
TEST(MainLoop, RepeatedNotesAreNotCut) {
    Loop l;
    l.pattern("d1", R"(["Fast",[4,1],["Atom",["Note",0,60,100,0.25]]])");
    l.run_for(2600ms);
    EXPECT_EQ(l.midi, (Sent{{2s, "on 60"}, {2500ms, "off 60"}, {2500ms, "on 60"}}));
    l.midi.clear();
    l.t += 1s;  // a long pass: the notes of 3 s and 3.5 s and two note-offs are due at once
    const Duration late = l.t - l.start;
    l.loop->pass();
    EXPECT_EQ(l.midi, (Sent{{late, "off 60"}, {late, "on 60"}, {late, "off 60"}, {late, "on 60"}}));
}

// The sink's queue (4,096 messages, a period's worth taken at a time) refuses what does not
// fit. A refused note-off stays and leaves later; a note-on is sent only with room for every
// note-off already due, its own included; a refused note-on gets no note-off. Whatever the
// load, every note ends: balanced after the music stops and after a shutdown.
TEST(MainLoop, NoteOffsAreNeverLostAndKeepTheirRoom) {
    const std::string legato16 = R"(["Fast",[16,1],["Atom",["Note",0,60,100,0.0625]]])";
    const std::tuple<std::string, std::string, std::size_t, Duration> cases[] = {
        // Two slots of 2,048-note legato clusters: 4,096 note-offs and note-ons at each step.
        {"120", R"(["Fast",[2,1],)" + cluster(2048, "0.5") + "]", 2, 5s},
        {"1e7", legato16, 1, 200ms},
        {"1e9", legato16, 1, 200ms},
    };
    for (const auto& [bpm, tree, slots, play] : cases) {
        Logged warnings;
        Loop l;
        l.log.capacity = 4096;
        l.log.per_period = 136;
        l.min_pass = 1ms;  // an absurd tempo leaves no time to wait: each pass works its fill
        for (int round = 0; round < 2; ++round) {
            l.pattern(R"({"cmd":"SetBpm","bpm":)" + bpm + "}");
            for (std::size_t i = 0; i < slots; ++i) l.pattern("d" + std::to_string(i), tree);
            l.run_for(play);
            EXPECT_EQ(l.log.stray_offs, 0) << bpm;
            if (round == 0) {
                l.pattern(R"({"cmd":"HushAll"})");
                l.run_for(3s);
                EXPECT_TRUE(l.log.balanced()) << bpm << " after the music stopped";
                EXPECT_EQ(l.loop->pending_note_offs(), 0u) << bpm;
            } else {
                l.shutdown();
                EXPECT_TRUE(l.log.balanced()) << bpm << " after shutdown";
            }
        }
        const auto ons = std::count_if(l.midi.begin(), l.midi.end(),
                                       [](const auto& m) { return m.second.starts_with("on"); });
        EXPECT_GT(ons, 4096) << bpm;

        // Refusals are counted, one line a second at most.
        const auto refusals = warnings.count("midi dispatch: ");
        EXPECT_GE(refusals, 1u) << bpm;
        EXPECT_LE(refusals, 2 + std::size_t((l.t - l.start) / 1s)) << bpm;
        EXPECT_GE(warnings.count(" sends refused)"), 1u) << bpm;
    }
}

TEST(MainLoop, NoteOnsLeaveRoomForDueNoteOffs) {
    const std::string short60 = R"(["Atom",["Note",0,60,100,0.00025]])";  // ends at 2.0005 s
    const std::string late61 = R"(["Late",[3,20000],["Atom",["Note",0,61,100,1]]])";  // 2.0003 s
    // queue capacity, patterns; what one pass at 2.002 s sends: note-ons, note-offs, and the
    // note-offs still to come
    const std::tuple<std::size_t, std::vector<std::string>, int, int, std::size_t> cases[] = {
        // Notes that end at once: a second one would leave no room for its own note-off.
        {3, {cluster(2, "0")}, 1, 1, 0},
        {4, {cluster(2, "0")}, 2, 2, 0},
        // 61 may not take the room of 60's note-off, due before the pass.
        {2, {short60, late61}, 1, 1, 0},
        {3, {short60, late61}, 2, 1, 1},
    };
    for (const auto& [capacity, trees, ons, offs, waiting] : cases) {
        Loop l;
        l.log.capacity = capacity;
        for (std::size_t i = 0; i < trees.size(); ++i) l.pattern("d" + std::to_string(i), trees[i]);
        l.run_for(1950ms);
        ASSERT_TRUE(l.midi.empty());
        l.t = l.start + 2002ms;  // one pass for everything
        l.loop->pass();
        const auto count = [&](std::string_view what) {
            return std::count_if(l.midi.begin(), l.midi.end(),
                                 [&](const auto& m) { return m.second.starts_with(what); });
        };
        EXPECT_EQ(count("on"), ons) << capacity << " " << trees.size();
        EXPECT_EQ(count("off"), offs) << capacity << " " << trees.size();
        EXPECT_EQ(l.loop->pending_note_offs(), waiting) << capacity << " " << trees.size();
        EXPECT_EQ(l.log.stray_offs, 0);
    }
    // A note the sink refused for another reason gets no note-off either.
    Loop l;
    l.log.down = true;
    l.pattern("d1", cluster(2, "1"));
    l.run_for(2100ms);
    EXPECT_EQ(l.loop->pending_note_offs(), 0u);
}

// Two slots of legato 2,048-note clusters: from the second cycle on, 4,096 note-offs and then
// 4,096 note-ons are due at each cycle (2 s) in a queue of 4,096 of which JACK takes about 2,700
// a period. Note-ons that find no room wait for it behind the note-offs and leave in order as
// it comes, within max_held_lateness; a sink too slow for that has the rest dropped, counted.
// Every cycle sounds, no note-on goes before a note-off of its cycle, every note ends.
TEST(MainLoop, ClusterBurstsPlayEveryCycleAsRoomComes) {
    // messages taken per period; whether every note-on of every cycle leaves
    const std::pair<std::size_t, bool> cases[] = {{2700, true}, {700, false}};
    for (const auto& [per_period, all] : cases) {
        Logged warnings;
        Loop l;
        l.log.capacity = 4096;
        l.log.per_period = per_period;
        l.pattern("d0", cluster(2048, "1"));
        l.pattern("d1", cluster(2048, "1"));
        l.run_for(11s);
        std::map<std::int64_t, std::size_t> ons;  // per cycle, 1 to 5
        Duration latest{};
        bool cut = false;
        for (const auto& [at, what] : l.midi) {
            const std::int64_t cycle = at / 2s;
            if (what.starts_with("on")) {
                ++ons[cycle];
                latest = std::max(latest, at - cycle * 2s);
            } else {
                cut = cut || ons[cycle] > 0;
            }
        }
        ASSERT_EQ(ons.size(), 5u) << per_period;
        EXPECT_EQ(ons.begin()->first, 1) << per_period;
        for (const auto& [cycle, n] : ons)
            EXPECT_GT(n, 0u) << per_period << " cycle " << cycle;
        EXPECT_EQ(std::all_of(ons.begin(), ons.end(), [](auto& c) { return c.second == 4096; }),
                  all)
            << per_period << ": " << ::testing::PrintToString(ons);
        EXPECT_LE(latest, max_held_lateness) << per_period;
        EXPECT_FALSE(cut) << per_period;
        EXPECT_EQ(l.log.stray_offs, 0) << per_period;
        EXPECT_EQ(warnings.count(" sends refused)") > 0, !all) << per_period;
        EXPECT_LE(l.longest_sleep, 1ms) << per_period;
        l.pattern(R"({"cmd":"HushAll"})");
        l.run_for(3s);
        EXPECT_TRUE(l.log.balanced()) << per_period;
        EXPECT_EQ(l.loop->held_output() + l.loop->pending_note_offs(), 0u) << per_period;
    }
}

// Without MIDI output nothing is sent, yet each note-off is taken out when due and the clock
// keeps its pace.
TEST(MainLoop, WithoutMidiOutputNoteOffsAreTakenOutAndTheClockAdvances) {
    constexpr Duration pulse = 20833333ns;  // 24 a beat at 120 bpm
    // run until; note-offs pending then (notes at 2 s and 4 s end half a second later)
    const std::pair<Duration, std::size_t> cases[] = {
        {2100ms, 8}, {2600ms, 0}, {4100ms, 8}, {4600ms, 0}};
    Loop l(true, {}, false);
    l.pattern("d1", cluster(8, "0.25"));
    for (const auto& [until, offs] : cases) {
        l.run_for(l.start + until - l.t);
        EXPECT_EQ(l.loop->pending_note_offs(), offs) << until;
        ASSERT_TRUE(l.loop->next_clock_tick());
        const Duration next = *l.loop->next_clock_tick() - l.start;
        EXPECT_GT(next, l.t - l.start) << until;
        EXPECT_LE(next, l.t - l.start + pulse) << until;
        EXPECT_EQ(next % pulse, 0ns) << until;
    }
    EXPECT_TRUE(l.midi.empty());
}

// A note-off the sink refuses (its queue full, or its server gone) stays and is tried again
// after a wait of up to 1 ms, never at once; it leaves in the first pass after the sink takes
// messages again.
TEST(MainLoop, ARefusedNoteOffIsTriedAgainAfterAWait) {
    const std::pair<std::string, std::function<void(MidiLog&, bool)>> cases[] = {
        {"queue full",
         [](MidiLog& m, bool refuse) {
             m.capacity = refuse ? m.queued : std::numeric_limits<std::size_t>::max();
         }},
        {"server gone", [](MidiLog& m, bool refuse) { m.down = refuse; }},
    };
    for (const auto& [why, refuse] : cases) {
        Loop l;
        l.pattern("d1", R"(["Atom",["Note",0,60,100,0.25]])");  // 2 s to 2.5 s
        l.run_for(2100ms);
        refuse(l.log, true);
        l.run_for(l.start + 2500ms - l.t);
        const Instant before = l.t;
        for (int i = 0; i < 100; ++i)
            ASSERT_TRUE(l.loop->pass());
        EXPECT_EQ(l.t - before, 100ms) << why;  // each pass waited 1 ms, the fake clock's only move
        EXPECT_EQ(l.loop->pending_note_offs(), 1u) << why;
        refuse(l.log, false);
        const Duration at = l.t - l.start;
        l.loop->pass();
        EXPECT_EQ(l.midi, (Sent{{2s, "on 60"}, {at, "off 60"}})) << why;
    }
}

// With the clock on and the sink's queue nearly full, a pulse goes only while room is left for
// every note-off due by then, one that came due while the pass was sending included: a pulse
// may be dropped, a note-off never waits for one.
TEST(MainLoop, ClockPulsesLeaveRoomForDueNoteOffs) {
    // 60 ends just before the pulse of 2.49999996 s, 61 at 2.5 s; each send takes 30 us, so
    // 61 comes due while 60's note-off is sent. Room left; what goes out from then on.
    const std::pair<std::size_t, std::vector<std::string>> cases[] = {
        {2, {"off 60", "off 61"}},
        {3, {"off 60", "tick", "off 61"}},
    };
    for (const auto& [room, want] : cases) {
        Loop l(true);
        l.pattern("d1", R"(["Stack",[["Atom",["Note",0,60,100,0.24999995]],)"
                        R"(["Atom",["Note",0,61,100,0.25]]]])");
        l.run_for(2490ms);
        const std::size_t before = l.midi.size();
        l.log.capacity = l.log.queued + room;  // nothing drains
        l.log.on_send = [&] { l.t += 30us; };
        l.run_for(100ms);
        std::vector<std::string> sent;
        for (std::size_t i = before; i < l.midi.size(); ++i)
            sent.push_back(l.midi[i].second);
        EXPECT_EQ(sent, want) << room;
        EXPECT_EQ(l.loop->pending_note_offs(), 0u) << room;
    }
}

// A flood of control changes before one pass, more than a ring of 1,024 would hold, over one
// or many controllers: every mapped control ends at its controller's last value.
TEST(MainLoop, AFloodOfControlChangesLeavesEachMappedControlAtItsLastValue) {
    constexpr int kControls = 40;
    Loop l;
    std::string nodes, exposed;
    for (int i = 0; i < kControls; ++i) {
        const std::string n = std::to_string(i);
        nodes += R"({"id":"g)" + n + R"(","type_id":"gain"},)";
        exposed += std::string(i ? "," : "") + R"("c)" + n + R"(":["g)" + n + R"(","gain"])";
    }
    ASSERT_EQ(l.audio_request(R"({"type":"load_graph","nodes":[)" + nodes +
                              R"({"id":"out","type_id":"dac"}],"connections":[],)"
                              R"("exposed_controls":{)" +
                              exposed + "}}"),
              ipc::AudioResult("graph loaded"));
    // Control i: channel i % 16, controller 37 i % 128, mapped over 0 to 127.
    const auto pair = [](int i) {
        return std::pair<std::uint8_t, std::uint8_t>(i % 16, 37 * i % 128);
    };
    for (int i = 0; i < kControls; ++i) {
        const auto [channel, cc] = pair(i);
        ASSERT_TRUE(l.audio_request(R"({"type":"midi_map","channel":)" + std::to_string(channel) +
                                    R"(,"cc":)" + std::to_string(cc) + R"(,"label":"c)" +
                                    std::to_string(i) + R"(","lo":0,"hi":127})")
                        .has_value());
    }
    // messages, controllers they go to
    const std::pair<int, int> cases[] = {{2000, 1}, {1100, kControls}, {10000, kControls}};
    std::mt19937 random(3);
    for (const auto& [messages, controls] : cases) {
        std::map<int, int> last;
        for (int m = 0; m < messages; ++m) {
            const int i = static_cast<int>(random() % controls);
            const auto v = static_cast<std::uint8_t>(m + 1 == messages ? 127 : random() % 128);
            const auto [channel, cc] = pair(i);
            ASSERT_TRUE(l.cc->try_push({channel, cc, v}));
            last[i] = v;
        }
        l.loop->pass();
        const auto values = l.control_values();
        for (const auto& [i, v] : last)
            EXPECT_FLOAT_EQ(values.at("c" + std::to_string(i)), float(v))
                << messages << " to " << controls << ": c" << i;
    }
}

// At shutdown every note that sounds ends, waiting for room in the sink's queue while it
// drains, giving up when it stops draining, and at once when its server is gone.
TEST(MainLoop, ShutdownEndsEverySoundingNote) {
    const std::tuple<std::size_t, std::size_t, bool, std::size_t, Duration> cases[] = {
        // queue capacity, taken per period, server gone, note-offs sent, longest wait
        {1 << 20, 0, false, 500, 1s},
        {100, 10, false, 500, shutdown_note_off_stall + 1s},
        {100, 0, false, 100, shutdown_note_off_stall + 1s},
        {1 << 20, 0, true, 0, 0s},
    };
    for (const auto& [capacity, per_period, down, offs, wait] : cases) {
        Loop l;
        l.pattern("d1", cluster(500, "4"));
        l.run_for(2500ms);
        l.log.capacity = capacity;
        l.log.per_period = per_period;
        l.log.queued = 0;
        l.log.down = down;
        const auto ons = l.midi.size();
        ASSERT_EQ(ons, 500u);
        const Instant before = l.t;
        l.shutdown();
        EXPECT_EQ(l.log.balanced(), offs == ons) << capacity << "/" << per_period;
        EXPECT_EQ(l.midi.size() - ons, offs) << capacity << "/" << per_period;
        EXPECT_LE(l.t - before, wait) << capacity << "/" << per_period << "/" << down;
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

// A curve starts at its cycle's start, in the pass that applies a Control event at the same
// place, and lasts one cycle of the engine's beats.
// A capture the device is still starting (a stalled server keeps it waiting) holds up nothing:
// notes, status and other requests go on; its answer comes, in order, once the device is done,
// or as an error at its deadline (a late capture is then left out).
TEST(MainLoop, StartInputIsAnsweredWhenTheDeviceIsDoneAndHoldsUpNothing) {
    const std::string adc_graph =
        R"({"type":"load_graph","nodes":[{"id":"adc_in","type_id":"adc_input"},)"
        R"({"id":"out","type_id":"dac"}],"connections":[["adc_in","out","out","in"]]})";
    const std::tuple<bool, std::string, bool, ipc::AudioResult> cases[] = {
        {false, "", false, "input started (ch 1)"},
        {false, "JACK did not connect 'a' to 'b'", false,
         "input started (ch 1), but JACK did not connect 'a' to 'b'"},
        {true, "", false, std::unexpected("start_input: no input device")},
        {false, "", true,
         std::unexpected("start_input: the audio device did not answer within 3 s")},
    };
    for (const auto& [fails, unconnected, late, want] : cases) {
        Loop l;
        l.device.hold = true;
        l.device.input_fails = fails;
        l.device.unconnected = unconnected;
        l.pattern("d1", R"(["Atom",["Note",0,60,100,1]])");
        auto first = l.queue_audio(R"({"type":"start_input","channel":1})");
        auto second = l.queue_audio(R"({"type":"start_input","channel":1})");
        EXPECT_EQ(l.audio_request(R"({"type":"set_master_gain","gain":0.5})"),
                  ipc::AudioResult("ok"));
        EXPECT_FALSE(l.audio_request(adc_graph).has_value()) << "no adc_in yet";
        l.run_for(2900ms);
        EXPECT_FALSE(first.recv_for(0ms).has_value());
        if (late) l.run_for(200ms);
        l.device.finish();
        l.run_for(late ? 100ms : 300ms);
        EXPECT_EQ(l.midi, (Sent{{2s, "on 60"}})) << "the loop went on";
        EXPECT_EQ(first.recv_for(0ms).value(), want);
        EXPECT_EQ(second.recv_for(0ms).value(), want);
        EXPECT_EQ(l.audio_request(adc_graph).has_value(), want.has_value());
    }
}

TEST(MainLoop, CurvesStartOnTheirCycleAndLastOneCycle) {
    const std::tuple<std::string, Duration, std::uint64_t> cases[] = {
        {"4", 2s, 96000},
        {"3", 1500ms, 72000},
    };
    for (const auto& [beats, cycle, period] : cases) {
        Loop l;
        l.pattern(R"({"cmd":"SetBeatsPerCycle","beats":)" + beats + "}");
        l.load_graph();  // its pass applies the beats at the start
        l.pattern("c", R"(["Atom",["Control","freq",0.5]])");  // control-only: a curve
        l.pattern("d", R"(["Cat",[["Atom",["Control","vol",0.25]],["Atom",["Cc",0,1,2]]]])");
        std::optional<Duration> curve_at, control_at;
        while (l.t < l.start + 3s && !(curve_at && control_at)) {
            const Duration at = l.t - l.start;
            ASSERT_TRUE(l.loop->pass());
            if (!curve_at && !l.swapper().automations().empty()) curve_at = at;
            if (!control_at && l.control_values().contains("vol")) control_at = at;
        }
        EXPECT_EQ(curve_at, cycle) << beats;
        EXPECT_EQ(control_at, cycle) << beats;
        ASSERT_EQ(l.swapper().automations().size(), 1u);
        EXPECT_EQ(l.swapper().automations()[0].automation.period, period) << beats;
    }
}

// A curve taken late joins its cycle where the clock is; a curve pending when the tempo
// changes (computed on the old grid) or when everything is hushed never starts.
TEST(MainLoop, LateCurvesJoinTheirCycleAndCancelledOnesNeverStart) {
    using audio_engine::automation::shape::Table;
    struct Case {
        std::string name;
        Duration at;          // when the command comes
        std::string command;  // empty: "c" set again
        std::size_t points;   // of the table that runs at 3 s (0: none runs)
        Duration joined;      // how far into its cycle it started
    };
    const Case cases[] = {
        {"set again 1.5 s into the cycle", 3500ms, "", 375, 1500ms},
        {"tempo change", 1950ms, R"({"cmd":"SetBpm","bpm":60})", 750, 0ms},
        {"hushed before its first cycle", 1950ms, R"({"cmd":"HushAll"})", 0, 0ms},
    };
    for (const auto& c : cases) {
        Loop l;
        l.load_graph();
        l.pattern("c", R"(["Atom",["Control","freq",0.5]])");  // starts at 2 s
        l.run_for(c.at - (l.t - l.start));
        const Duration late = (l.t - l.start) - 2s;
        if (c.command.empty())
            l.pattern("c", R"(["Atom",["Control","freq",0.25]])");
        else
            l.pattern(c.command);
        l.run_for(l.start + 3900ms - l.t);
        const auto& autos = l.swapper().automations();
        if (c.points == 0) {
            EXPECT_TRUE(autos.empty()) << c.name;
            continue;
        }
        ASSERT_EQ(autos.size(), 1u) << c.name;
        const auto& a = autos[0].automation;
        EXPECT_EQ(std::get<Table>(a.shape).values.size(), c.points) << c.name;
        // samples of the pass's instant into the cycle, which the case's instant is within 1 ms of
        const Duration into = c.joined == 0ms ? 0ms : late;
        EXPECT_LE(std::chrono::abs(into - c.joined), 1ms) << c.name;
        EXPECT_EQ(a.position,
                  std::uint64_t(std::llround(std::chrono::duration<double>(into).count() * 48000)))
            << c.name;
    }
}

TEST(MainLoop, HushAllClearsEverySlotsCurves) {
    Loop l;
    l.load_graph();
    l.pattern("s1", R"(["Atom",["Control","freq",0.5]])");
    l.pattern("s2", R"(["Atom",["Control","vol",0.5]])");
    l.run_for(3s);
    ASSERT_EQ(l.swapper().automations().size(), 2u);
    ASSERT_EQ(l.loop->slot_automations().size(), 2u);
    l.pattern(R"({"cmd":"HushAll"})");
    l.run_for(3s);
    EXPECT_TRUE(l.swapper().automations().empty());
    EXPECT_TRUE(l.loop->slot_automations().empty());
    EXPECT_EQ(l.loop->pending_curves(), 0u);
}

TEST(MainLoop, TempoSetsTheTableSizeAndTheLoadCrossfade) {
    // bpm, points per cycle at 48 kHz, crossfade of a "load_graph" (half a beat)
    const std::tuple<std::string, std::size_t, std::uint64_t> cases[] = {
        {"120", 375, 12000}, {"60", 750, 24000}, {"90", 500, 16000}, {"0.5", 45000, 1440000},
    };
    Loop l;
    for (const auto& [bpm, points, crossfade] : cases) {
        l.pattern(R"({"cmd":"SetBpm","bpm":)" + bpm + "}");
        l.loop->pass();
        EXPECT_EQ(l.loop->points_per_cycle(), points) << bpm;
        l.load_graph();
        EXPECT_EQ(l.swapper().crossfade(), crossfade) << bpm;
    }
}

TEST(MidiInput, TakesControlChangesOnEveryChannel) {
    using Bytes = std::vector<std::uint8_t>;
    const std::pair<Bytes, std::optional<CcTriple>> cases[] = {
        {{0xBF, 74, 127}, CcTriple{15, 74, 127}},  // the sixteenth channel
        {{0xB0, 1, 2}, CcTriple{0, 1, 2}},
        {{0xB3, 7, 100, 9}, CcTriple{3, 7, 100}},
        {{0xB3, 7}, std::nullopt},
        {{0x90, 60, 100}, std::nullopt},
        {{0xAF, 1, 2}, std::nullopt},
        {{0xF8}, std::nullopt},
    };
    for (const auto& [bytes, want] : cases) EXPECT_EQ(control_change(bytes), want) << int(bytes[0]);
}

// Within a pass only the last value per label reaches the audio thread: a burst of due
// control values or mapped control changes is one command per label, however long.
TEST(MainLoop, BurstsOfControlValuesBecomeOneCommandPerLabel) {
    Loop l;
    l.load_graph();
    ASSERT_EQ(l.audio_request(R"({"type":"midi_map","channel":0,"cc":1,"label":"vol",)"
                              R"("lo":0,"hi":127})"),
              ipc::AudioResult("midi_map: ch0 cc1 \u2192 vol"));
    l.swapper();
    for (int i = 0; i < 1000; ++i)
        ASSERT_TRUE(l.cc->try_push({0, 1, static_cast<std::uint8_t>(i % 128)}));
    l.loop->pass();
    EXPECT_EQ(l.control_values().at("vol"), 999 % 128);

    std::string values;
    for (int i = 0; i < 400; ++i)
        values += R"(,["Atom",["Control","freq",)" + std::to_string(i) + "]]";
    l.pattern("d1", R"(["Stack",[["Cat",[)" + values.substr(1) + R"(]],["Atom",["Cc",0,1,2]]]])");
    l.run_for(1950ms);
    l.swapper();
    l.t = l.start + 3999ms;  // one late pass: the whole cycle from 2 s is due
    l.loop->pass();
    EXPECT_EQ(l.control_values().at("freq"), 399.0f);
    EXPECT_EQ(l.audio->first.controller().waiting(), 0u);
}

// Values due at one instant beyond the audio ring's room wait for the audio thread and go out
// over the next passes, none lost; Status shows each once it has gone out.
TEST(MainLoop, ControlValuesBeyondTheAudioRingGoOutOverTheNextPasses) {
    const std::pair<std::size_t, int> cases[] = {{300, 1}, {600, 2}};  // labels, passes after
    for (const auto& [labels, passes] : cases) {
        Loop l;
        auto& controller = l.audio->first.controller();
        std::vector<test_nodes::Probe*> made;
        ASSERT_TRUE(
            l.audio->first.load_graph(test_nodes::probes(controller.registry(), made, labels)));
        std::string atoms;
        std::map<std::string, float> values;
        for (std::size_t i = 0; i < labels; ++i) {
            const std::string label = "l" + std::to_string(i);
            values[label] = static_cast<float>(i) + 0.5f;
            atoms += R"(["Atom",["Control",")" + label + R"(",)" + std::to_string(i) + ".5]],";
        }
        l.pattern("d1", R"(["Stack",[)" + atoms + R"(["Atom",["Cc",0,1,2]]]])");
        l.run_for(1950ms);
        l.swapper();
        l.t = l.start + 2s;
        l.loop->pass();
        EXPECT_EQ(l.control_values().size(), 256u) << labels;
        int more = 0;
        for (; controller.waiting() > 0 && more < 10; ++more) {
            l.swapper();
            l.loop->pass();
        }
        EXPECT_EQ(more, passes) << labels;
        l.swapper();
        EXPECT_EQ(l.control_values(), values) << labels;
        for (std::size_t i = 0; i < labels; ++i)
            ASSERT_EQ(made[made.size() - labels + i]->value, values["l" + std::to_string(i)]);
    }
}

// Whatever arrives while the loop waits, or during the pass before it, cuts the wait short:
// commands and MIDI input notify the wake it waits on, after the token it took at the start
// of the pass.
TEST(MainLoop, CommandsAndMidiInputEndTheWait) {
    Loop l;
    std::function<void()> arrive;
    std::vector<bool> woken;
    l.during_wait = [&](support::Wake& wake, support::Wake::Token seen) {
        EXPECT_EQ(&wake, l.wake.get());
        if (arrive) std::exchange(arrive, nullptr)();
        woken.push_back(wake.token() != seen);
    };
    l.loop->pass();
    arrive = [&] { l.pattern(R"({"cmd":"HushAll"})"); };
    l.loop->pass();
    arrive = [&] { ASSERT_TRUE(l.cc->try_push({0, 1, 2})); };
    l.loop->pass();
    EXPECT_EQ(woken, (std::vector<bool>{false, true, true}));
    // A control change that comes while the pass sends a note.
    l.pattern("d1", R"(["Atom",["Note",0,60,100,0.25]])");
    l.log.on_send = [&] { (void)l.cc->try_push({0, 1, 2}); };
    while (l.midi.empty()) l.loop->pass();
    EXPECT_TRUE(woken.back());
    EXPECT_EQ(std::count(woken.begin(), woken.end(), true), 3);
}

// A slow file saved while the loop runs is compiled away from it: no pass takes more than a
// few ms of CPU, the loop keeps passing meanwhile, the save compiles once and the graph is
// rebuilt from that compile; a "load_graph" of four nodes of a registered type compiles nothing.
TEST(MainLoop, AFaustSaveNeitherHoldsThePassNorCompilesTwice) {
    using audio_faust::test_util::slowdown;
    namespace fs = std::filesystem;
    using audio_faust::test_util::sliders;
    using audio_faust::test_util::thread_cpu_ms;
    using Save = std::function<void(const fs::path& dir, const std::string& text)>;
    const std::pair<std::string, Save> saves[] = {
        {"written in place", [](const fs::path& dir, const std::string& text) {
             std::ofstream(dir / "slow.dsp", std::ios::trunc) << text;
         }},
        {"moved in", [](const fs::path& dir, const std::string& text) {
             std::ofstream(dir / "slow.tmp") << text;
             fs::rename(dir / "slow.tmp", dir / "slow.dsp");
         }},
    };
    // A "load_graph" of `n` nodes of the file's type into the dac.
    const auto graph = [](int n) {
        std::string nodes;
        for (int i = 0; i < n; ++i)
            nodes += R"({"id":"n)" + std::to_string(i) + R"(","type_id":"faust:slow"},)";
        return R"({"type":"load_graph","nodes":[)" + nodes +
               R"({"id":"out","type_id":"dac"}],"connections":[["n0","out","out","in"]]})";
    };
    for (const auto& [how, save] : saves) {
        Logged logs("info");
        Loop l(false, {{"slow.dsp", sliders(2, 0)}});
        // Waits take a little real time, as the loop's do, so the compile thread runs.
        l.during_wait = [](support::Wake&, support::Wake::Token) {
            std::this_thread::sleep_for(200us);
        };
        double longest = 0;
        const auto pass = [&] {
            const double cpu = thread_cpu_ms();
            EXPECT_TRUE(l.loop->pass());
            longest = std::max(longest, thread_cpu_ms() - cpu);
        };
        // Answered once the graph's instances are made, off the loop.
        const auto load = [&](int n) {
            auto answer = l.queue_audio(graph(n));
            pass();
            for (const auto end = std::chrono::steady_clock::now() + 10s;
                 l.loop->held_requests() != 0 && std::chrono::steady_clock::now() < end;)
                pass();
            EXPECT_EQ(answer.recv_for(0ms).value_or(std::unexpected("no answer")),
                      ipc::AudioResult("graph loaded")) << how << " " << n;
        };
        // Whether the audio thread takes a new graph over a crossfade (it plays past its end).
        const auto swapped = [&] {
            const bool fading = l.swapper().fading();
            std::vector<float> block(block_frames);
            for (int i = 0; i < 100; ++i) l.audio->second.process(block);
            return fading;
        };
        const auto& registry = l.audio->first.controller().registry();
        const auto compiles = audio_faust::dsp::compile_count();
        load(2);
        EXPECT_EQ(audio_faust::dsp::compile_count(), compiles) << how;
        ASSERT_FALSE(swapped()) << how;  // the first graph, taken at once
        ASSERT_TRUE(l.swapper().has_current()) << how;

        const auto generation = registry.generation("faust:slow");
        save(l.dir.path(), sliders(200, 1));
        int passes = 0;
        for (const auto end = std::chrono::steady_clock::now() + 20s;
             (registry.generation("faust:slow") == generation || l.audio->first.reload_waiting()) &&
             std::chrono::steady_clock::now() < end;
             ++passes)
            pass();
        EXPECT_EQ(registry.generation("faust:slow"), generation + 1) << how;
        EXPECT_EQ(registry.get_type("faust:slow")->controls.size(), 200u) << how;
        // The loop kept passing while the file compiled: a compile on the pass, or a wait for
        // one, applies the save within a pass or two.
        EXPECT_GT(passes, 10) << how;
        EXPECT_EQ(logs.count("reloading graph after FAUST hot-reload"), 1u) << how;
        EXPECT_TRUE(swapped()) << how;  // the rebuilt graph reached the audio thread
        EXPECT_EQ(audio_faust::dsp::compile_count(), compiles + 1) << how;
        load(4);
        EXPECT_EQ(audio_faust::dsp::compile_count(), compiles + 1) << how;
        l.run_for(200ms);  // a late second event of the save would apply it again
        EXPECT_EQ(audio_faust::dsp::compile_count(), compiles + 1) << how;
        EXPECT_EQ(registry.generation("faust:slow"), generation + 1) << how;
        EXPECT_EQ(logs.count("reloading graph after FAUST hot-reload"), 1u) << how;
        EXPECT_EQ(logs.count("WARN"), 0u) << how;
        EXPECT_LT(longest, 5.0 * slowdown) << how;
    }
}

// Graph requests that need new Faust instances while a slow file compiles (the compile holds
// the lock instances are made under): the loop keeps passing by the wall clock, the requests
// wait in order and are answered once their instances are made, and the requests behind them
// keep their order too.
TEST(MainLoop, GraphRequestsDuringACompileHoldNoPassAndKeepTheirOrder) {
    using audio_faust::test_util::slowdown;
    using audio_faust::test_util::sliders;
    Loop l(false, {{"slow.dsp", sliders(2, 0)},
                   {"fx.dsp", "process = _ * hslider(\"g\", 1, 0, 2, 0.01);"}});
    l.during_wait = [](support::Wake&, support::Wake::Token) {
        std::this_thread::sleep_for(200us);
    };
    const auto wall = [] { return std::chrono::steady_clock::now(); };
    using Answer = support::channel::SlotReceiver<ipc::AudioResult>;
    const auto answered = [](Answer& a) {
        return a.recv_for(0ms).value_or(std::unexpected("no answer"));
    };
    const std::string fx =
        R"({"type":"load_graph","nodes":[{"id":"f1","type_id":"faust:fx"},)"
        R"({"id":"f2","type_id":"faust:fx"},{"id":"osc","type_id":"oscillator"},)"
        R"({"id":"out","type_id":"dac"}],"connections":[["osc","out","f1","in"],)"
        R"(["f1","out","out","in"]],"exposed_controls":{"g":["f1","g"]}})";
    auto first = l.queue_audio(fx);
    ASSERT_TRUE(l.loop->pass());
    for (const auto end = wall() + 10s; l.loop->held_requests() != 0 && wall() < end;)
        ASSERT_TRUE(l.loop->pass());
    ASSERT_EQ(answered(first), ipc::AudioResult("graph loaded"));

    const auto compiles = audio_faust::dsp::compile_count();
    std::ofstream(l.dir.path() / "slow.dsp", std::ios::trunc) << sliders(300, 1);
    for (const auto end = wall() + 10s;
         audio_faust::dsp::compile_count() == compiles && wall() < end;)
        ASSERT_TRUE(l.loop->pass());
    ASSERT_GT(audio_faust::dsp::compile_count(), compiles);  // the compile runs from here on
    const auto generation = l.audio->first.controller().registry().generation("faust:slow");

    // Two more fx nodes than in stock, an oscillator-only edit, a value and a status behind.
    std::string three = fx;
    three.replace(three.find(R"({"id":"osc")"), 0, R"({"id":"f3","type_id":"faust:fx"},)");
    Answer load = l.queue_audio(three);
    Answer edit = l.queue_audio(R"({"type":"add_node","id":"osc2","type_id":"oscillator"})");
    Answer set = l.queue_audio(R"({"type":"set_control","label":"g","value":0.5})");
    double longest = 0;
    int passes = 0;
    const auto start = wall();
    do {
        const auto before = wall();
        ASSERT_TRUE(l.loop->pass());
        longest =
            std::max(longest, std::chrono::duration<double, std::milli>(wall() - before).count());
        ++passes;
    } while (l.loop->held_requests() != 0 && wall() - start < 30s);
    std::printf("held over %d passes, the longest %.2f ms\n", passes, longest);
    // The held requests waited for the compile's lock over many passes; no pass waited.
    EXPECT_GT(passes, 20);
    EXPECT_LT(longest, 40.0 * slowdown);
    EXPECT_EQ(answered(load), ipc::AudioResult("graph loaded"));
    EXPECT_EQ(answered(edit), ipc::AudioResult("ok"));
    EXPECT_EQ(answered(set), ipc::AudioResult("ok"));
    const auto snapshot = l.audio->first.controller().snapshot();
    EXPECT_EQ(snapshot.nodes.size(), 6u);
    EXPECT_EQ(snapshot.control_values, (std::map<std::string, float>{{"g", 0.5f}}));

    for (const auto end = wall() + 10s;
         l.audio->first.controller().registry().generation("faust:slow") == generation &&
         wall() < end;)
        ASSERT_TRUE(l.loop->pass());
    EXPECT_GT(l.audio->first.controller().registry().generation("faust:slow"), generation);
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
    EXPECT_EQ(l.midi, Sent(4, {now, "tick"}));  // all at once
}

}  // namespace
