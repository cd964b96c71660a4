// 64 oscillators, each through a gain, summed into one dac: the compiled graph against the same
// computation written by hand as one fused loop, for each waveform (the argument: 0 sine, 1 saw,
// 2 square), 256-frame blocks at 48 kHz. Compare the two in one run, interleaved:
//   bench_graph --benchmark_filter='Graph/|Fused' --benchmark_repetitions=5
//     --benchmark_enable_random_interleaving=true --benchmark_report_aggregates_only=true
// Then the audio
// processor on a 64-node graph, steady and during a crossfade between two such graphs. The
// counter realtime_x is seconds of audio rendered per second of CPU.
#include <benchmark/benchmark.h>

#include <cmath>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "audio_engine/engine.hpp"
#include "audio_engine/graph/compiler.hpp"
#include "audio_engine/nodes/dac.hpp"
#include "audio_engine/nodes/gain.hpp"
#include "audio_engine/nodes/oscillator.hpp"
#include "support/log.hpp"

namespace {

using namespace audio_engine;

constexpr int kVoices = 64;
constexpr std::uint32_t kRate = 48000;
constexpr std::size_t kBlock = 256;

float voice_freq(int i) {
    return 110.0f + 7.0f * static_cast<float>(i);
}

void report(benchmark::State& state) {
    state.counters["realtime_x"] = benchmark::Counter(
        static_cast<double>(state.iterations() * kBlock) / kRate, benchmark::Counter::kIsRate);
}

void BM_Graph(benchmark::State& state) {
    const float waveform = static_cast<float>(state.range(0));
    registry::NodeRegistry reg;
    engine::register_builtin_types(reg);
    ir::GraphIr g;
    for (int i = 0; i < kVoices; ++i) {
        const std::string n = std::to_string(i);
        g.nodes.push_back(
            {"osc" + n, "oscillator", {{"freq", voice_freq(i)}, {"waveform", waveform}}});
        g.nodes.push_back({"gain" + n, "gain", {{"gain", 0.01f}}});
        g.connections.push_back({"osc" + n, "out", "gain" + n, "in"});
        g.connections.push_back({"gain" + n, "out", "dac", "in"});
    }
    g.nodes.push_back({"dac", "dac", {}});
    graph::compiler::InjectedNodes injected;
    auto compiled =
        graph::compiler::compile_with_reuse_and_injected(g, reg, {}, injected, kRate, kBlock);
    if (!compiled) {
        state.SkipWithError(compiled.error().display().c_str());
        return;
    }
    std::vector<float> out(kBlock);
    for (auto _ : state) {
        compiled->process(out);
        benchmark::DoNotOptimize(out.data());
    }
    report(state);
}
BENCHMARK(BM_Graph)->DenseRange(0, 2);

struct Voice {
    float phase = 0.0f;
    float increment;
    float current = 0.01f;
    float target = 0.01f;
};

// The same arithmetic per voice and sample, with no graph around it: one block, the state in
// registers. 2p - 1 is the saw's single rounding: 2p is exact. Not inlined, so an instruction
// profile shows the cost per block.
template <int Waveform>
[[gnu::noinline]] void fused_block(std::vector<Voice>& voices, std::span<float> out) {
    std::fill(out.begin(), out.end(), 0.0f);
    for (Voice& v : voices) {
        float phase = v.phase;
        float current = v.current;
        const float target = v.target;
        const float increment = v.increment;
        // Like the gain node, a settled gain skips its ramp.
        const bool settled = current == target && std::isfinite(current);
        for (float& o : out) {
            const float s = Waveform == 0   ? std::sin(phase * 6.2831855f)
                            : Waveform == 1 ? 2.0f * phase - 1.0f
                                            : (phase < 0.5f ? 1.0f : -1.0f);
            if (!settled) {
                float d = target - current;
                d = 0.02f * d;
                current = current + d;
            }
            o += s * current;
            // The oscillator's wrap for phase and increment in [0, 1).
            const float p = increment + phase;
            phase = p >= 1.0f ? p - 1.0f : p;
        }
        v.phase = phase;
        v.current = current;
    }
}

template <int Waveform>
void fused_loop(benchmark::State& state) {
    std::vector<Voice> voices;
    for (int i = 0; i < kVoices; ++i)
        voices.push_back({0.0f, voice_freq(i) / kRate});
    std::vector<float> out(kBlock);
    for (auto _ : state) {
        fused_block<Waveform>(voices, out);
        benchmark::DoNotOptimize(out.data());
    }
    report(state);
}
void BM_FusedLoop(benchmark::State& state) {
    switch (state.range(0)) {
        case 0:
            return fused_loop<0>(state);
        case 1:
            return fused_loop<1>(state);
        default:
            return fused_loop<2>(state);
    }
}
BENCHMARK(BM_FusedLoop)->DenseRange(0, 2);

// 32 oscillators, 31 of them through a gain, into one dac: 64 nodes.
ir::GraphIr processor_graph(float base) {
    ir::GraphIr g;
    for (int i = 0; i < 32; ++i) {
        const std::string n = std::to_string(i);
        g.nodes.push_back(
            {"osc" + n, "oscillator", {{"freq", base + 5.0f * static_cast<float>(i)}}});
        if (i == 31) {
            g.connections.push_back({"osc" + n, "out", "dac", "in"});
            continue;
        }
        g.nodes.push_back({"gain" + n, "gain", {{"gain", 0.02f}}});
        g.connections.push_back({"osc" + n, "out", "gain" + n, "in"});
        g.connections.push_back({"gain" + n, "out", "dac", "in"});
    }
    g.nodes.push_back({"dac", "dac", {}});
    return g;
}

void run_processor(benchmark::State& state, bool crossfade) {
    // A crossfade far longer than the benchmark keeps the second case fading throughout.
    auto [controller, processor] = engine::engine({kBlock, 2, kRate, crossfade ? 1'000'000u : 0u});
    std::vector<float> out(kBlock);
    if (!controller.handle_message(protocol::LoadGraph{processor_graph(110.0f)})) {
        state.SkipWithError("graph does not compile");
        return;
    }
    processor.process(out);
    if (crossfade && !controller.handle_message(protocol::LoadGraph{processor_graph(220.0f)})) {
        state.SkipWithError("graph does not compile");
        return;
    }
    processor.process(out);
    if (processor.swapper().fading() != crossfade) {
        state.SkipWithError("unexpected fade state");
        return;
    }
    for (auto _ : state) {
        processor.process(out);
        benchmark::DoNotOptimize(out.data());
    }
    report(state);
}

void BM_ProcessorSteady(benchmark::State& state) {
    run_processor(state, false);
}
BENCHMARK(BM_ProcessorSteady);

void BM_ProcessorCrossfade(benchmark::State& state) {
    run_processor(state, true);
}
BENCHMARK(BM_ProcessorCrossfade);

// One oscillator given 60,000 control names it does not know, compiled with warnings on (into a
// sink that only counts): what every later edit of such a stored graph costs.
void BM_CompileUnknownControls(benchmark::State& state) {
    registry::NodeRegistry reg;
    engine::register_builtin_types(reg);
    ir::GraphIr g{
        {{"osc", "oscillator", {}}, {"dac", "dac", {}}}, {{"osc", "out", "dac", "in"}}, {}};
    for (int i = 0; i < 60000; ++i)
        g.nodes[0].controls.emplace("unknown" + std::to_string(i), 1.0f);
    std::size_t logged = 0;
    support::log::init_with("warn", support::log::Style::Never,
                            [&](std::string_view line) { logged += line.size(); });
    graph::compiler::InjectedNodes injected;
    for (auto _ : state) {
        auto compiled =
            graph::compiler::compile_with_reuse_and_injected(g, reg, {}, injected, kRate, kBlock);
        benchmark::DoNotOptimize(compiled);
    }
    support::log::reset();
    state.counters["log_bytes"] =
        benchmark::Counter(static_cast<double>(logged) / static_cast<double>(state.iterations()));
}
BENCHMARK(BM_CompileUnknownControls)->Unit(benchmark::kMillisecond);

}  // namespace
