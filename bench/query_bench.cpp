// Querying patterns cycle by cycle, as the slot engine does: 20,000 one-cycle spans per
// iteration. The reference pattern with a fresh result list per cycle and with one reused list;
// four voices of sixteenths and each typical pattern with a reused list (events_per_s is the
// figure to compare).
#include <benchmark/benchmark.h>

#include <cstdint>
#include <string>

#include "pattern_engine/pattern/query.hpp"
#include "reference_pattern.hpp"

namespace {

namespace pq = pattern_engine::pattern::query;
using pattern_engine::time::Arc;
using pattern_engine::time::Time;

constexpr std::int64_t kCycles = 20'000;

void report(benchmark::State& state, std::int64_t events) {
    state.counters["events_per_s"] =
        benchmark::Counter(static_cast<double>(events), benchmark::Counter::kIsRate);
    state.counters["cycles_per_s"] = benchmark::Counter(
        static_cast<double>(state.iterations() * kCycles), benchmark::Counter::kIsRate);
}

void BM_Query(benchmark::State& state) {
    const auto* p = bench::reference_pattern();
    if (!p) {
        state.SkipWithError("reference pattern does not compile");
        return;
    }
    std::int64_t events = 0;
    for (auto _ : state) {
        for (std::int64_t q = 0; q < kCycles; ++q) {
            const pq::Events out =
                pq::query(p->nodes, p->root, Arc{Time::from_integer(q), Time::from_integer(q + 1)});
            events += static_cast<std::int64_t>(out.size());
            benchmark::DoNotOptimize(out.data());
        }
    }
    report(state, events);
}
BENCHMARK(BM_Query)->Name("query")->Unit(benchmark::kMillisecond);

void query_into(benchmark::State& state, const pattern_engine::pattern::CompiledPattern* p) {
    if (!p) {
        state.SkipWithError("pattern does not compile");
        return;
    }
    std::int64_t events = 0;
    pq::Events out;
    for (auto _ : state) {
        for (std::int64_t q = 0; q < kCycles; ++q) {
            out.clear();
            pq::query_into(p->nodes, p->root, Arc{Time::from_integer(q), Time::from_integer(q + 1)},
                           out);
            events += static_cast<std::int64_t>(out.size());
            benchmark::DoNotOptimize(out.data());
        }
    }
    report(state, events);
}

void BM_QueryInto(benchmark::State& state) {
    query_into(state, bench::reference_pattern());
}
BENCHMARK(BM_QueryInto)->Name("query_into")->Unit(benchmark::kMillisecond);

// Many events of one shape: every event's times go through the same sixteenth-note map.
void BM_QuerySixteenths(benchmark::State& state) {
    static const auto p =
        bench::compile(R"(["Fast", [16, 1], ["Stack", [)" + bench::notes({60, 64, 67, 71}) + "]]]");
    query_into(state, p ? &*p : nullptr);
}
BENCHMARK(BM_QuerySixteenths)->Name("four_voice_sixteenths")->Unit(benchmark::kMillisecond);

const bool typical_registered = [] {
    for (const auto& t : bench::typical_patterns()) {
        const auto* p = t.pattern ? &*t.pattern : nullptr;
        benchmark::RegisterBenchmark(("typical/" + t.name).c_str(), [p](benchmark::State& state) {
            query_into(state, p);
        })->Unit(benchmark::kMillisecond);
    }
    return true;
}();

}  // namespace
