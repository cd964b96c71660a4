// Faust hot reload: the latency from writing a changed .dsp file to its node type being
// registered again, against the bare libfaust compile of the same source that dominates it.
// Each run is one sample; 20 samples, median and worst (max) reported.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <thread>

#include "audio_faust/dsp.hpp"
#include "audio_faust/hot_reload.hpp"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

// A distinct text per sample: libfaust hands back a cached factory for a text it has seen.
std::string source(int k) {
    return "import(\"stdfaust.lib\");\nprocess = fi.lowpass(2, hslider(\"cutoff\", 1000, 20, "
           "20000, 1)) * " + std::to_string(k + 1) + " : fi.highpass(1, 30);\n";
}

int next_k() {
    static int k = std::random_device{}() % 1000000;
    return ++k;
}

double max_of(const std::vector<double>& v) { return *std::max_element(v.begin(), v.end()); }

void BM_FaustCompile(benchmark::State& state) {
    for (auto _ : state) {
        const std::string code = source(next_k());
        const auto start = Clock::now();
        auto dsp = audio_faust::dsp::FaustDsp::from_code("lpf", code, 48000, 256);
        state.SetIterationTime(std::chrono::duration<double>(Clock::now() - start).count());
        if (!dsp) state.SkipWithError(dsp.error().c_str());
    }
}

void BM_HotReloadLatency(benchmark::State& state) {
    const fs::path dir = fs::temp_directory_path() / ("vorla-faust-bench-" + std::to_string(::getpid()));
    fs::create_directories(dir);
    const fs::path file = dir / "lpf.dsp";
    std::ofstream(file) << source(next_k());
    auto made = audio_faust::hot_reload::HotReloadEngine::create({256, 2, 48000, 10}, dir);
    if (!made) {
        state.SkipWithError(made.error().c_str());
        return;
    }
    auto& engine = made->first;
    auto& registry = engine.controller().registry();
    for (auto _ : state) {
        const auto generation = registry.generation("faust:lpf");
        const std::string code = source(next_k());
        const auto start = Clock::now();
        std::ofstream(file) << code;
        while (registry.generation("faust:lpf") == generation) {
            if (auto r = engine.poll_reload(); !r) {
                state.SkipWithError(r.error().c_str());
                break;
            }
        }
        state.SetIterationTime(std::chrono::duration<double>(Clock::now() - start).count());
        // The rest of this save's events (same text, cached) stay out of the next sample.
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        (void)engine.poll_reload();
    }
    fs::remove_all(dir);
}

}  // namespace

// Twenty single timings each; median and worst.
void twenty_timings(benchmark::internal::Benchmark* b) {
    b->UseManualTime()
        ->Unit(benchmark::kMillisecond)
        ->Iterations(1)
        ->Repetitions(20)
        ->ComputeStatistics("max", max_of)
        ->ReportAggregatesOnly(true);
}
BENCHMARK(BM_FaustCompile)->Apply(twenty_timings);
BENCHMARK(BM_HotReloadLatency)->Apply(twenty_timings);
