// One second of stereo audio (47 x 1024 frames at 48 kHz) rendered in 256-frame blocks and
// delivered through the period adapter at device periods of 32, 64, 256 and 1024 frames, into
// one interleaved buffer (the RtAudio path) or spread over two port buffers (the JACK path),
// against rendering the same blocks straight into the interleaved buffer: what the adapter's
// copy costs. The render only fills its block, so the ratio is an upper bound; a real graph
// renders far more per block.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <vector>

#include "audio_engine/output/period_adapter.hpp"

namespace {

using audio_engine::output::PeriodAdapter;

constexpr std::size_t kBlock = 256, kChannels = 2, kSecond = 47 * 1024;

// Fills each block with one level: the cheapest render there is.
audio_engine::output::RenderFn levels() {
    return [level = 0.0f](std::span<float> out) mutable {
        level = level < 1.0f ? level + 1.0f / 64 : -1.0f;
        std::fill(out.begin(), out.end(), level);
    };
}

void BM_StraightBlocksBaseline(benchmark::State& state) {
    auto render = levels();
    std::vector<float> out(kSecond * kChannels);
    for (auto _ : state) {
        for (std::size_t at = 0; at < kSecond; at += kBlock)
            render(std::span<float>(out).subspan(at * kChannels, kBlock * kChannels));
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * kSecond));
}
BENCHMARK(BM_StraightBlocksBaseline);

void BM_AdapterInterleaved(benchmark::State& state) {
    const auto period = static_cast<std::size_t>(state.range(0));
    PeriodAdapter adapter(levels(), kBlock, kChannels);
    std::vector<float> out(kSecond * kChannels);
    for (auto _ : state) {
        for (std::size_t at = 0; at < kSecond; at += period)
            adapter.fill(std::span<float>(out).subspan(at * kChannels, period * kChannels));
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * kSecond));
}
BENCHMARK(BM_AdapterInterleaved)->Arg(32)->Arg(64)->Arg(256)->Arg(1024);

void BM_AdapterPorts(benchmark::State& state) {
    const auto period = static_cast<std::size_t>(state.range(0));
    PeriodAdapter adapter(levels(), kBlock, kChannels);
    std::vector<float> ports[kChannels] = {std::vector<float>(kSecond),
                                           std::vector<float>(kSecond)};
    for (auto _ : state) {
        for (std::size_t at = 0; at < kSecond; at += period)
            adapter.pull(period, [&](std::span<const float> run, std::size_t offset) {
                for (std::size_t i = 0; i < run.size() / kChannels; ++i)
                    for (std::size_t c = 0; c < kChannels; ++c)
                        ports[c][at + offset + i] = run[i * kChannels + c];
            });
        benchmark::DoNotOptimize(ports[0].data());
        benchmark::DoNotOptimize(ports[1].data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * kSecond));
}
BENCHMARK(BM_AdapterPorts)->Arg(32)->Arg(64)->Arg(256)->Arg(1024);

}  // namespace
