#include "support/log.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <mutex>
#include <regex>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

namespace {

namespace log = support::log;
using log::Level;
using log::Style;

// Collects lines; each test installs its own configuration and drops it at the end.
class LogTest : public ::testing::Test {
protected:
    void TearDown() override { log::reset(); }

    void use(std::string_view filter, Style style = Style::Never) {
        out_.clear();
        log::init_with(filter, style, [this](std::string_view line) { out_.append(line); });
    }

    // Logs one marker line per level for `target` and returns which levels came out.
    std::string levels_shown(std::string_view target) {
        out_.clear();
        log::error(target, "e");
        log::warn(target, "w");
        log::info(target, "i");
        log::debug(target, "d");
        log::trace(target, "t");
        std::string shown;
        for (char c : std::string_view("ewidt"))
            if (out_.find(std::string("] ") + c + "\n") != std::string::npos) shown += c;
        return shown;
    }

    std::string out_;
};

const std::regex kLine(
    R"(\[\d{4}-\d{2}-\d{2}T\d{2}:\d{2}:\d{2}\.\d{3}Z (ERROR|WARN |INFO |DEBUG|TRACE) ([^\]]+)\] (.*)\n)");

// Plain: the level in five columns, target and message unformatted; "always" colours only
// the level text.
TEST_F(LogTest, EveryLevelInFiveColumnsColouredOnlyWhenAsked) {
    const std::tuple<Level, std::string, std::string> cases[] = {
        {Level::Error, "ERROR", "\x1b[31mERROR\x1b[0m"},
        {Level::Warn, "WARN ", "\x1b[33mWARN \x1b[0m"},
        {Level::Info, "INFO ", "\x1b[32mINFO \x1b[0m"},
        {Level::Debug, "DEBUG", "\x1b[34mDEBUG\x1b[0m"},
        {Level::Trace, "TRACE", "\x1b[36mTRACE\x1b[0m"}};
    for (const auto& [level, plain, coloured] : cases) {
        use("trace");
        log::write(level, "audio_engine::graph::compiler", "message with {} and %v");
        std::smatch m;
        ASSERT_TRUE(std::regex_match(out_, m, kLine)) << out_;
        EXPECT_EQ(m[1], plain);
        EXPECT_EQ(m[2], "audio_engine::graph::compiler");
        EXPECT_EQ(m[3], "message with {} and %v");
        use("trace", Style::Always);
        log::write(level, "vorla_engine", "ready");
        EXPECT_TRUE(out_.ends_with(" " + coloured + " vorla_engine] ready\n")) << out_;
        EXPECT_EQ(std::count(out_.begin(), out_.end(), '\x1b'), 2);
    }
}

TEST_F(LogTest, TimestampIsUtcNow) {
    ::setenv("TZ", "XYZ-5:30", 1);  // a local time that differs from UTC
    ::tzset();
    use("info");
    const std::time_t now = std::time(nullptr);
    log::info("t", "x");
    ::unsetenv("TZ");
    ::tzset();
    // "[YYYY-MM-DDTHH:MM:SS.mmmZ": to the second against the clock in UTC.
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M", std::gmtime(&now));
    EXPECT_EQ(out_.substr(1, 16), stamp) << out_;
}

struct FilterCase {
    std::string_view filter;
    std::string_view target;
    std::string_view shown;  // levels logged: e w i d t
};

TEST_F(LogTest, FilterDirectives) {
    const FilterCase cases[] = {
        {log::kDefaultFilter, "vorla_engine", "ewi"},
        {"debug", "anything", "ewid"},
        {"TRACE", "anything", "ewidt"},  // levels in any case
        // A target and everything below it, on whole segments; no match logs nothing.
        {"audio_engine=debug", "audio_engine::graph::compiler", "ewid"},
        {"audio_engine=debug", "vorla_engine", ""},
        {"warn,vorla_engine::ipc=debug", "vorla_engine::ipc", "ewid"},
        {"warn,vorla_engine::ipc=debug", "vorla_engine", "ew"},
        {"audio=trace,warn", "audio_engine", "ew"},
        // A bare target means every level.
        {"audio_faust", "audio_faust::hot_reload", "ewidt"},
        {"audio_faust=", "audio_faust", "ewidt"},
        // The longest match wins; of the same target twice the later.
        {"audio_engine::graph::compiler=error,audio_engine=trace,audio_engine::graph=warn",
         "audio_engine::graph::compiler", "e"},
        {"audio_engine::graph::compiler=error,audio_engine=trace,audio_engine::graph=warn",
         "audio_engine::graph::other", "ew"},
        {"x=debug,x=warn", "x", "ew"},
        {"info,audio_engine=off", "audio_engine::engine", ""},
        // Invalid directives are ignored, spaces trimmed; none valid: errors only.
        {"debug,audio_engine=loud,a=b=c, , vorla_engine=warn ,x= error", "audio_engine", "ewid"},
        {"debug,audio_engine=loud,a=b=c, , vorla_engine=warn ,x= error", "vorla_engine", "ew"},
        {"debug,audio_engine=loud,a=b=c, , vorla_engine=warn ,x= error", "x", "e"},
        {"", "vorla_engine", "e"},
        {"x=loud", "x", "e"},
        // A regex after the directives keeps the messages it finds a match in (an empty match
        // is one); alone, it filters errors.
        {"trace/[ew]", "t", "ew"},
        {"trace/x?", "t", "ewidt"},
        {"/[ew]", "t", "e"},
        {"info/(unclosed", "t", "ewi"},  // a bad regex is dropped, the directives kept
        {"info/a/b", "t", "e"},          // too many '/': the whole filter is ignored
    };
    for (const auto& c : cases) {
        use(c.filter);
        EXPECT_EQ(levels_shown(c.target), c.shown) << c.filter << " for " << c.target;
    }
    use(log::kDefaultFilter);
    EXPECT_TRUE(log::enabled(Level::Info, "x"));
    EXPECT_FALSE(log::enabled(Level::Debug, "x"));
    log::reset();  // nothing before init
    EXPECT_FALSE(log::enabled(Level::Error, "vorla_engine"));
    log::error("vorla_engine", "dropped");  // must not crash
}

// What init() writes to stderr with the given environment (null: unset), after `log` ran.
template <class Log>
std::string init_from(const char* filter, const char* style, Log log) {
    log::reset();
    for (auto [name, value] : {std::pair{"RUST_LOG", filter}, std::pair{"RUST_LOG_STYLE", style}})
        value ? ::setenv(name, value, 1) : ::unsetenv(name);
    ::testing::internal::CaptureStderr();
    log::init();
    log();
    ::unsetenv("RUST_LOG");
    ::unsetenv("RUST_LOG_STYLE");
    return ::testing::internal::GetCapturedStderr();
}

TEST_F(LogTest, InitReadsTheEnvironmentOnce) {
    const std::string plain = init_from(nullptr, "auto", [] {
        log::info("vorla_engine", "ready");
        log::debug("vorla_engine", "hidden");
        ::setenv("RUST_LOG", "trace", 1);
        log::init();  // already configured: keeps the default filter
        log::debug("vorla_engine", "still hidden");
    });
    std::smatch m;
    ASSERT_TRUE(std::regex_match(plain, m, kLine)) << plain;  // stderr is a file: no colour
    EXPECT_EQ(m[3], "ready");
    const std::string coloured = init_from("warn,vorla_engine::ipc=debug", "always", [] {
        log::debug("vorla_engine::ipc", "client connected");
        log::info("vorla_engine", "hidden");
    });
    EXPECT_TRUE(coloured.ends_with(" \x1b[34mDEBUG\x1b[0m vorla_engine::ipc] client connected\n"))
        << coloured;
    EXPECT_EQ(coloured.find("hidden"), std::string::npos);
}

TEST_F(LogTest, ConcurrentWritersKeepLinesWhole) {
    std::mutex mutex;
    std::vector<std::string> lines;
    const auto sink = [&](std::string_view line) {
        const std::lock_guard lock(mutex);  // sink calls are serialised; this guards the test
        lines.emplace_back(line);
    };
    log::init_with("debug", Style::Never, sink);
    constexpr int kThreads = 4, kPerThread = 200;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t] {
            const std::string target = "audio_engine::t" + std::to_string(t % 2);
            for (int i = 0; i < kPerThread; ++i) {
                log::debug(target, "message " + std::to_string(i));
                log::trace(target, "hidden");
            }
        });
    }
    // Reconfiguring while others log must be safe too.
    log::init_with("debug", Style::Never, sink);
    for (auto& th : threads)
        th.join();
    log::reset();
    EXPECT_EQ(lines.size(), static_cast<std::size_t>(kThreads * kPerThread));
    for (const auto& line : lines)
        ASSERT_TRUE(std::regex_match(line, kLine)) << line;
}

}  // namespace
