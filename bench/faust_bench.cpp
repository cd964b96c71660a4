// Faust hot reload: the latency from writing a changed .dsp file to its node type being
// registered again and the last loaded graph rebuilt, against the bare libfaust compile of the
// same source that dominates it; and the longest single poll_reload call (a main-loop pass's
// share) while a save is compiled and reloaded. Each run is one sample; 20 samples, median and
// worst (max) reported.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <thread>

#include <unistd.h>

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
double seconds_since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

void BM_FaustCompile(benchmark::State& state) {
    for (auto _ : state) {
        const std::string code = source(next_k());
        const auto start = Clock::now();
        auto dsp = audio_faust::dsp::FaustDsp::from_code("lpf", code, 48000, 256);
        state.SetIterationTime(seconds_since(start));
        if (!dsp) state.SkipWithError(dsp.error().c_str());
    }
}

// An engine on a directory holding lpf.dsp, playing a graph of two lpf nodes; each sample
// saves a new text in place and polls as the main loop does until the type is registered
// again (the graph is rebuilt in that same poll). `sample` gets the save-to-reload time and the
// longest single poll.
template <class Sample, class Text = std::string (*)()>
void reload_samples(benchmark::State& state, Sample sample,
                    Text text = [] { return source(next_k()); }) {
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
    const audio_engine::ir::GraphIr graph{
        {{"a", "faust:lpf", {}}, {"b", "faust:lpf", {}}, {"out", "dac", {}}}, {}, {}};
    if (auto r = engine.load_graph(graph); !r) state.SkipWithError(r.error().c_str());
    for (auto _ : state) {
        const auto generation = registry.generation("faust:lpf");
        const std::string code = text();
        double longest = 0.0;
        const auto start = Clock::now();
        std::ofstream(file) << code;
        while (registry.generation("faust:lpf") == generation) {
            const auto poll = Clock::now();
            auto r = engine.poll_reload();
            longest = std::max(longest, seconds_since(poll));
            if (!r) {
                state.SkipWithError(r.error().c_str());
                break;
            }
            std::this_thread::sleep_for(std::chrono::microseconds(200));  // the loop's sleep
        }
        sample(state, seconds_since(start), longest);
        // The rest of this save's events stay out of the next sample.
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        (void)engine.poll_reload();
    }
    fs::remove_all(dir);
}

void BM_HotReloadLatency(benchmark::State& state) {
    reload_samples(state, [](benchmark::State& s, double latency, double) {
        s.SetIterationTime(latency);
    });
}

void BM_LongestPollDuringReload(benchmark::State& state) {
    reload_samples(state, [](benchmark::State& s, double, double longest) {
        s.SetIterationTime(longest);
    });
}

long rss_kb() {
    std::ifstream statm("/proc/self/statm");
    long pages = 0, resident = 0;
    statm >> pages >> resident;
    return resident * (::sysconf(_SC_PAGESIZE) / 1024);
}

// Resident memory growth per save (the graph is rebuilt each time), after a few warm-up
// saves: counter rss_kB_per_reload. Argument 0: a new text per save; 1: one unchanged text.
void BM_MemoryPerReload(benchmark::State& state) {
    const bool same = state.range(0) == 1;
    const std::string first = source(next_k());
    long before = 0, saves = 0;
    reload_samples(state, [&](benchmark::State&, double latency, double) {
        if (++saves == 5) before = rss_kb();
        state.SetIterationTime(latency);
    }, [&] { return same ? first : source(next_k()); });
    state.counters["rss_kB_per_reload"] = double(rss_kb() - before) / double(saves - 5);
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
BENCHMARK(BM_LongestPollDuringReload)->Apply(twenty_timings);
BENCHMARK(BM_MemoryPerReload)->Arg(0)->Arg(1)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(45);
