// The capture loop on one 256-frame stereo device buffer (channel 1 into the capture ring, which
// the consumer then drains as the audio input node does), against a plain strided copy of the
// same channel into an array: the cost of the lock-free ring per captured sample.
#include <benchmark/benchmark.h>

#include <array>
#include <vector>

#include "audio_engine/output/cpal_backend.hpp"

namespace {

using audio_engine::output::cpal_backend::capture_frames;
using audio_engine::output::cpal_backend::CaptureRing;

constexpr std::size_t kFrames = 256;
constexpr std::size_t kChannels = 2;

std::vector<float> device_buffer() {
    std::vector<float> b(kFrames * kChannels);
    for (std::size_t i = 0; i < b.size(); ++i)
        b[i] = static_cast<float>(i) * 0.001f;
    return b;
}

void BM_CaptureLoop(benchmark::State& state) {
    const std::vector<float> buffer = device_buffer();
    CaptureRing ring(48000 / 5);
    float sum = 0.0f;
    for (auto _ : state) {
        capture_frames(buffer, kChannels, 1, ring);
        float s;
        while (ring.try_pop(s))
            sum += s;
    }
    benchmark::DoNotOptimize(sum);
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * kFrames));
}
BENCHMARK(BM_CaptureLoop);

void BM_StridedCopyBaseline(benchmark::State& state) {
    const std::vector<float> buffer = device_buffer();
    std::array<float, kFrames> out{};
    float sum = 0.0f;
    for (auto _ : state) {
        benchmark::DoNotOptimize(buffer.data());
        for (std::size_t f = 0; f < kFrames; ++f)
            out[f] = buffer[f * kChannels + 1];
        for (float s : out)
            sum += s;
        benchmark::ClobberMemory();
    }
    benchmark::DoNotOptimize(sum);
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * kFrames));
}
BENCHMARK(BM_StridedCopyBaseline);

}  // namespace
