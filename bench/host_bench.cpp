// How late the main loop hands due notes and note-offs to the MIDI sink: the real loop on the
// monotonic clock with its precise sleeps, playing four voices of sixteenth notes at 120 bpm
// (every note and note-off due on a 125 ms grid), for a minute ("VORLA_BENCH_SECONDS" sets
// another length; the test run's one brief pass of every benchmark uses 1). Counters: hand-overs,
// median / 99th-percentile / largest lateness in microseconds. And what one pass of the loop
// costs: busy slots of the reference pattern, and the same beside 100,000 hushed slots, on a
// clock that each pass's sleep moves on.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <random>

#include "pattern_engine/ipc.hpp"
#include "pattern_engine/ipc/protocol.hpp"
#include "reference_pattern.hpp"
#include "vorla_engine/host.hpp"

namespace {

using namespace vorla_engine;
namespace out = pattern_engine::output;

class NoDevice final : public AudioDevice {
public:
    void stop() override {}
    void start_input(std::uint32_t, std::size_t, InputDone done) override {
        done({std::unexpected("none"), {}});
    }
};

struct NullSink final : out::OutputSink {
    out::Result send(const pattern_engine::event::Event<>&) override { return {}; }
    out::Result send_note_off(std::uint8_t, std::uint8_t) override { return {}; }
    out::Result send_clock_tick() override { return {}; }
    out::Result send_clock_start() override { return {}; }
    out::Result send_clock_stop() override { return {}; }
    std::string_view name() const override { return "null"; }
};

// Lateness of each hand-over against the grid the pattern's events lie on.
struct Lateness final : out::OutputSink {
    Instant grid_start;
    Duration step;
    std::vector<double>* us;
    out::Result record() {
        us->push_back(
            std::chrono::duration<double, std::micro>((Instant::clock::now() - grid_start) % step)
                .count());
        return {};
    }
    out::Result send(const pattern_engine::event::Event<>&) override { return record(); }
    out::Result send_note_off(std::uint8_t, std::uint8_t) override { return record(); }
    out::Result send_clock_tick() override { return {}; }
    out::Result send_clock_start() override { return {}; }
    out::Result send_clock_stop() override { return {}; }
    std::string_view name() const override { return "lateness"; }
};

void BM_MainLoopHandOverLateness(benchmark::State& state) {
    const auto dir = std::filesystem::temp_directory_path() /
                     ("vorla-host-bench-" + std::to_string(std::random_device{}()));
    std::filesystem::create_directories(dir);
    std::vector<double> us;
    for (auto _ : state) {
        auto audio = audio_faust::hot_reload::HotReloadEngine::create(
            {block_frames, 2, 48000, start_crossfade_ms}, dir);
        pattern_engine::engine::Engine engine(lookahead, start_bpm, start_beats_per_cycle);
        NoDevice device;
        auto [tx, rx] = support::channel::unbounded<LoopCommand>();
        auto sink = std::make_unique<Lateness>();
        // A new slot starts at the next cycle; its notes lie on 125 ms steps from there.
        sink->grid_start = engine.clock().origin;
        sink->step = std::chrono::milliseconds(125);
        sink->us = &us;
        MainLoop loop(LoopParts{engine, audio->first, device, 48000,
                                std::make_shared<ipc::NodeTypeList>(), std::move(rx), std::nullopt,
                                std::move(sink), nullptr, std::nullopt});
        support::json::Parser parser;
        const auto line =
            std::string(R"({"cmd":"SetPattern","slot":"d1","pattern":)") +
            R"(["Fast",[16,1],["Stack",[["Atom",["Note",0,60,100,0.0625]],)" +
            R"(["Atom",["Note",0,64,100,0.0625]],["Atom",["Note",0,67,100,0.0625]],)" +
            R"(["Atom",["Note",1,36,100,0.0625]]]]]})";
        auto command = pattern_engine::ipc::compile_command(
            *pattern_engine::ipc::protocol::decode(parser, line));
        tx.send(ipc::loop::PatternCommand{std::move(**command)});
        const char* seconds = std::getenv("VORLA_BENCH_SECONDS");
        const auto end =
            Instant::clock::now() + std::chrono::seconds(seconds ? std::atoi(seconds) : 60);
        while (Instant::clock::now() < end)
            loop.pass();
    }
    std::filesystem::remove_all(dir);
    std::sort(us.begin(), us.end());
    if (us.empty()) return;
    state.counters["handovers"] = double(us.size());
    state.counters["median_us"] = us[us.size() / 2];
    state.counters["p99_us"] = us[us.size() * 99 / 100];
    state.counters["max_us"] = us.back();
}
BENCHMARK(BM_MainLoopHandOverLateness)->Iterations(1)->Unit(benchmark::kSecond);

// Arguments: busy slots, hushed slots.
void BM_MainLoopPass(benchmark::State& state) {
    const auto* p = bench::reference_pattern();
    if (!p) {
        state.SkipWithError("reference pattern does not compile");
        return;
    }
    const auto dir = std::filesystem::temp_directory_path() /
                     ("vorla-host-bench-" + std::to_string(std::random_device{}()));
    std::filesystem::create_directories(dir);
    {
        auto audio = audio_faust::hot_reload::HotReloadEngine::create(
            {block_frames, 2, 48000, start_crossfade_ms}, dir);
        Instant now = Instant{} + std::chrono::seconds(1);
        pattern_engine::engine::Engine engine(lookahead, start_bpm, start_beats_per_cycle,
                                              [&now] { return now; });
        NoDevice device;
        auto [tx, rx] = support::channel::unbounded<LoopCommand>();
        MainLoop loop(LoopParts{
            engine, audio->first, device, 48000, std::make_shared<ipc::NodeTypeList>(),
            std::move(rx), std::nullopt, std::make_unique<NullSink>(), nullptr, std::nullopt,
            LoopClock{[&now] { return now; },
                      [&now](Instant deadline, support::Wake&, support::Wake::Token) {
                          now = std::max(now, deadline);
                      }}});
        namespace cmd = pattern_engine::engine::command;
        for (std::int64_t i = 0; i < state.range(1); ++i) {
            const std::string name = "h" + std::to_string(i);
            tx.send(ipc::loop::PatternCommand{cmd::SetPattern{name, *p}});
            tx.send(ipc::loop::PatternCommand{cmd::Hush{name}});
        }
        for (std::int64_t i = 0; i < state.range(0); ++i)
            tx.send(ipc::loop::PatternCommand{cmd::SetPattern{"d" + std::to_string(i), *p}});
        loop.pass();
        for (auto _ : state)
            loop.pass();
    }
    std::filesystem::remove_all(dir);
}
BENCHMARK(BM_MainLoopPass)->Args({16, 0})->Args({16, 100'000})->Unit(benchmark::kMicrosecond);

}  // namespace
