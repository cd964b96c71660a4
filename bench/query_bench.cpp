// Querying a typical mixed pattern cycle by cycle, as the slot engine does: 20,000 one-cycle
// spans per iteration, with a fresh result list per cycle and with one reused list.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <optional>
#include <string>
#include <utility>

#include "pattern_engine/ir.hpp"
#include "pattern_engine/ir/compile.hpp"
#include "pattern_engine/pattern/query.hpp"

namespace {

namespace json = support::json;
namespace pq = pattern_engine::pattern::query;
using pattern_engine::time::Arc;
using pattern_engine::time::Time;

constexpr std::int64_t kCycles = 20'000;

std::string n(int key) {
    return R"(["Atom", ["Note", 0, )" + std::to_string(key) + ", 100, 0.25]]";
}

const pattern_engine::pattern::CompiledPattern* reference() {
    static const std::optional<pattern_engine::pattern::CompiledPattern> compiled =
        []() -> std::optional<pattern_engine::pattern::CompiledPattern> {
        const std::string text =
            R"(["Stack", [)"
            R"(["Fast", [2, 1], ["Cat", [)" +
            n(60) + "," + n(62) + "," + n(64) + "," + n(67) + R"(]]], ["Euclid", 3, 8, 0, )" +
            n(36) + R"(], ["Late", [1, 4], ["Slow", [3, 2], ["Rev", ["Cat", [)" + n(48) + "," +
            n(50) + R"(]]]]], ["Degrade", 0.3, 7, ["Fast", [4, 1], )" + n(70) + "]]]]";
        json::Parser parser;
        auto tree = json::read_text<pattern_engine::ir::IrNode>(parser, text);
        if (!tree) return std::nullopt;
        auto pattern = pattern_engine::ir::compile::compile(*tree);
        if (!pattern) return std::nullopt;
        return std::move(*pattern);
    }();
    return compiled ? &*compiled : nullptr;
}

void report(benchmark::State& state, std::int64_t events) {
    state.counters["events_per_s"] =
        benchmark::Counter(static_cast<double>(events), benchmark::Counter::kIsRate);
    state.counters["cycles_per_s"] = benchmark::Counter(
        static_cast<double>(state.iterations() * kCycles), benchmark::Counter::kIsRate);
}

void BM_Query(benchmark::State& state) {
    const auto* p = reference();
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

void BM_QueryInto(benchmark::State& state) {
    const auto* p = reference();
    if (!p) {
        state.SkipWithError("reference pattern does not compile");
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
BENCHMARK(BM_QueryInto)->Name("query_into")->Unit(benchmark::kMillisecond);

}  // namespace
