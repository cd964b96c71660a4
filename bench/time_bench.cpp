#include "pattern_engine/time.hpp"

#include <array>
#include <cstdint>

#include <benchmark/benchmark.h>

namespace {

using pattern_engine::time::Arc;
using pattern_engine::time::Time;

constexpr std::size_t kCount = 64;

// Grid fractions and cycle offsets as the query meets them: denominators differ, so sums
// and products need reduction.
std::array<Time, kCount> make_values() {
    static constexpr std::uint64_t kDenominators[] = {1, 2, 3, 4, 6, 8, 12, 16, 5, 7};
    std::array<Time, kCount> values{};
    for (std::size_t i = 0; i < kCount; ++i) {
        const std::uint64_t d = kDenominators[i % std::size(kDenominators)];
        const auto n = static_cast<std::int64_t>((i * 37) % 97) - 20;
        values[i] = Time(n, d);
    }
    return values;
}

template <typename Op>
void run_binary(benchmark::State& state, Op op) {
    const std::array<Time, kCount> values = make_values();
    for (auto _ : state) {
        for (std::size_t i = 0; i < kCount; ++i) {
            auto r = op(values[i], values[(i * 7 + 3) % kCount]);
            benchmark::DoNotOptimize(r);
        }
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * kCount));
}

void BM_TimeAdd(benchmark::State& state) {
    run_binary(state, [](Time a, Time b) { return a + b; });
}
BENCHMARK(BM_TimeAdd);

void BM_TimeAddSameDenominator(benchmark::State& state) {
    std::array<Time, kCount> values{};
    for (std::size_t i = 0; i < kCount; ++i)
        values[i] = Time(static_cast<std::int64_t>(i), 16);
    for (auto _ : state) {
        for (std::size_t i = 0; i < kCount; ++i) {
            Time r = values[i] + values[(i * 7 + 3) % kCount];
            benchmark::DoNotOptimize(r);
        }
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * kCount));
}
BENCHMARK(BM_TimeAddSameDenominator);

void BM_TimeMul(benchmark::State& state) {
    run_binary(state, [](Time a, Time b) { return a * b; });
}
BENCHMARK(BM_TimeMul);

void BM_TimeDiv(benchmark::State& state) {
    run_binary(state, [](Time a, Time b) { return b == Time() ? a : a / b; });
}
BENCHMARK(BM_TimeDiv);

void BM_TimeCompare(benchmark::State& state) {
    run_binary(state, [](Time a, Time b) { return a < b; });
}
BENCHMARK(BM_TimeCompare);

void BM_TimeFloor(benchmark::State& state) {
    run_binary(state, [](Time a, Time) { return a.floor(); });
}
BENCHMARK(BM_TimeFloor);

// Spans that touch state.range(0) cycles, with fractional ends and varying offsets.
void BM_SplitCycles(benchmark::State& state) {
    const auto cycles = static_cast<std::int64_t>(state.range(0));
    std::array<Arc, 16> spans{};
    for (std::size_t i = 0; i < spans.size(); ++i) {
        const Time begin = Time::from_integer(static_cast<std::int64_t>(i)) + Time(1, 4);
        spans[i] = Arc{begin, begin + Time::from_integer(cycles - 1) + Time(1, 2)};
    }
    for (auto _ : state) {
        for (const Arc& span : spans) {
            auto pieces = span.split_cycles();
            benchmark::DoNotOptimize(pieces.data());
        }
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * spans.size()));
}
BENCHMARK(BM_SplitCycles)->Arg(1)->Arg(3)->Arg(16);

}  // namespace
