// The slot engine's steady work: 16 slots of the reference pattern, each pass moving the clock
// on by one cycle, filling every slot's next cycle and draining what came due. The host's
// pass as it mostly runs (fill, curves, earliest due and drain, 1 ms apart): 16 busy slots,
// and one busy slot beside 100,000 hushed ones. And the worst pass a client can ask for:
// Fast 262144 over one note at 1e9 bpm, each pass bounded.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdint>
#include <string>

#include "pattern_engine/engine.hpp"
#include "reference_pattern.hpp"

namespace {

namespace engine = pattern_engine::engine;
using namespace std::chrono_literals;

constexpr int kSlots = 16;

void BM_EngineFillDrain(benchmark::State& state) {
    const auto* p = bench::reference_pattern();
    if (!p) {
        state.SkipWithError("reference pattern does not compile");
        return;
    }
    engine::Instant now = engine::Instant{} + 1s;
    engine::Engine e(100ms, 120.0, 4.0, [&now] { return now; });
    for (int i = 0; i < kSlots; ++i)
        e.apply(engine::command::SetPattern{"d" + std::to_string(i), *p});
    const auto cycle = 2s;  // 120 bpm, 4 beats per cycle
    std::int64_t events = 0;
    for (auto _ : state) {
        now += cycle;
        e.fill(now);
        events += static_cast<std::int64_t>(e.drain(now + cycle).size());
    }
    state.counters["slot_cycles_per_s"] = benchmark::Counter(
        static_cast<double>(state.iterations() * kSlots), benchmark::Counter::kIsRate);
    state.counters["events_per_s"] =
        benchmark::Counter(static_cast<double>(events), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_EngineFillDrain);

// One pass of the host's loop per iteration, 1 ms apart: `playing` slots of the reference
// pattern and `hushed` slots that were set once and hushed.
void BM_EngineHostPass(benchmark::State& state) {
    const auto* p = bench::reference_pattern();
    if (!p) {
        state.SkipWithError("reference pattern does not compile");
        return;
    }
    const auto playing = state.range(0);
    const auto hushed = state.range(1);
    engine::Instant now = engine::Instant{} + 1s;
    engine::Engine e(100ms, 120.0, 4.0, [&now] { return now; });
    for (std::int64_t i = 0; i < hushed; ++i) {
        const std::string name = "h" + std::to_string(i);
        e.apply(engine::command::SetPattern{name, *p});
        e.apply(engine::command::Hush{name});
    }
    for (std::int64_t i = 0; i < playing; ++i)
        e.apply(engine::command::SetPattern{"d" + std::to_string(i), *p});
    std::int64_t events = 0;
    for (auto _ : state) {
        now += 1ms;
        e.fill(now);
        benchmark::DoNotOptimize(e.fill_control_curves(now, 64));
        benchmark::DoNotOptimize(e.earliest_due());
        events += static_cast<std::int64_t>(e.drain(now + 100ms).size());
    }
    state.counters["events_per_s"] =
        benchmark::Counter(static_cast<double>(events), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_EngineHostPass)->Args({16, 0})->Args({1, 100'000})->Unit(benchmark::kMicrosecond);

// One pass of the host's loop (fill, curves, drain) per iteration, 1 ms apart.
void BM_EngineHostilePass(benchmark::State& state) {
    support::json::Parser parser;
    auto tree = support::json::read_text<pattern_engine::ir::IrNode>(
        parser, R"(["Fast", [262144, 1], )" + bench::n(60) + "]");
    auto p = pattern_engine::ir::compile::compile(tree ? *tree : pattern_engine::ir::IrNode{});
    if (!tree || !p) {
        state.SkipWithError("pattern does not compile");
        return;
    }
    engine::Instant now = engine::Instant{} + 1s;
    engine::Engine e(100ms, 120.0, 4.0, [&now] { return now; });
    e.apply(engine::command::SetPattern{"absurd", std::move(*p)});
    e.apply(engine::command::SetBpm{1e9});
    for (auto _ : state) {
        now += 1ms;
        e.fill(now);
        benchmark::DoNotOptimize(e.fill_control_curves(now, 1));
        benchmark::DoNotOptimize(e.drain(now + 100ms));
    }
}
BENCHMARK(BM_EngineHostilePass)->Unit(benchmark::kMillisecond);

}  // namespace
