// The logging facade: what a call costs when its level is off, when its target is filtered
// out, and when the line is written (to a sink that drops it, and to stderr on /dev/null).
#include "support/log.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

namespace {

namespace log = support::log;

constexpr std::string_view kTarget = "audio_engine::graph::compiler";
constexpr std::string_view kMessage =
    "compile_with_reuse: 3/4 nodes reused (from 4 reusable candidates)";

void run(benchmark::State& state, std::string_view filter, log::Level level, log::Sink sink) {
    log::init_with(filter, log::Style::Never, std::move(sink));
    for (auto _ : state)
        log::write(level, kTarget, kMessage);
    log::reset();
}

void BM_LogLevelOff(benchmark::State& state) {
    run(state, "info", log::Level::Debug, [](std::string_view) {});
}
BENCHMARK(BM_LogLevelOff);

void BM_LogTargetFilteredOut(benchmark::State& state) {
    run(state, "warn,vorla_engine=debug", log::Level::Debug, [](std::string_view) {});
}
BENCHMARK(BM_LogTargetFilteredOut);

void BM_LogLineToSink(benchmark::State& state) {
    run(state, "info", log::Level::Info,
        [](std::string_view line) { benchmark::DoNotOptimize(line.data()); });
}
BENCHMARK(BM_LogLineToSink)->ThreadRange(1, 4);

void BM_LogLineToDevNull(benchmark::State& state) {
    const int saved = ::dup(STDERR_FILENO);
    const int null = ::open("/dev/null", O_WRONLY);
    ::dup2(null, STDERR_FILENO);
    ::close(null);
    run(state, "info", log::Level::Info, {});
    ::dup2(saved, STDERR_FILENO);
    ::close(saved);
}
BENCHMARK(BM_LogLineToDevNull);

}  // namespace
