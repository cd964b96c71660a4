#include "support/log.hpp"

#include <gtest/gtest.h>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <mutex>
#include <optional>
#include <regex>
#include <set>
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
        // A target is a plain string prefix; no match logs nothing.
        {"audio_engine=debug", "audio_engine::graph::compiler", "ewid"},
        {"audio=debug", "audio_engine::engine", "ewid"},
        {"audio_engine=debug", "vorla_engine", ""},
        {"audio_engine::engine=debug", "audio_engine", ""},
        {"warn,vorla_engine::ipc=debug", "vorla_engine::ipc", "ewid"},
        {"warn,vorla_engine::ipc=debug", "vorla_engine", "ew"},
        {"audio=trace,warn", "audio_engine", "ewidt"},
        {"audio=trace,warn", "vorla_engine", "ew"},
        // A bare target means every level.
        {"audio_faust", "audio_faust::hot_reload", "ewidt"},
        {"audio_faust=", "audio_faust", "ewidt"},
        // The longest match wins; of the same target twice the later.
        {"audio_engine::graph::compiler=error,audio_engine=trace,audio_engine::graph=warn",
         "audio_engine::graph::compiler", "e"},
        {"audio_engine::graph::compiler=error,audio_engine=trace,audio_engine::graph=warn",
         "audio_engine::graph::other", "ew"},
        {"x=debug,x=warn", "x", "ew"},
        {"audio_engine=debug,audio=error", "audio_engine::engine", "ewid"},
        {"audio_engine=debug,audio=error", "audio_faust", "e"},
        {"info,audio_engine=off", "audio_engine::engine", ""},
        {"Off", "vorla_engine", ""},
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
        {"trace/(?i)^[EW]$", "t", "ew"},  // the syntax RUST_LOG users write
        {"trace/(?P<name>d)|\\Ai\\z", "t", "id"},
        {"info/(unclosed", "t", "ewi"},  // a bad regex is dropped, the directives kept
        {"x=debug/(?i)(", "x", "ewid"},
        {"info/a/b", "t", "e"},  // too many '/': the whole filter is ignored
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

// The formatter reuses the date and time it last printed; when the second changes while
// several threads log, each line must still show the clock as read during its own call.
TEST_F(LogTest, ConcurrentWritersStampTheirOwnTimeAcrossASecondChange) {
    using namespace std::chrono;
    using Call = std::pair<system_clock::time_point, system_clock::time_point>;  // before, after
    std::mutex mutex;
    std::vector<std::string> lines;
    std::atomic<int> in_sink{0};
    std::atomic<bool> overlapped{false};
    log::init_with("info", Style::Never, [&](std::string_view line) {
        if (in_sink++ > 0) overlapped = true;  // sink calls are serialised
        {
            const std::lock_guard lock(mutex);
            lines.emplace_back(line);
        }
        --in_sink;
    });
    constexpr int kThreads = 4;
    std::vector<std::vector<Call>> calls(kThreads);
    // Start some 50 ms before the clock's next second.
    std::this_thread::sleep_until(ceil<seconds>(system_clock::now() + 50ms) - 50ms);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t, &mine = calls[t]] {
            // Each thread crosses a change of second, however late it starts.
            const auto end = floor<seconds>(system_clock::now()) + 1050ms;
            for (system_clock::time_point before; before < end;) {
                const std::string message = std::to_string(t) + " " + std::to_string(mine.size());
                before = system_clock::now();
                log::info("audio_engine::clock", message);
                mine.emplace_back(before, system_clock::now());
            }
        });
    }
    for (auto& th : threads)
        th.join();
    log::reset();
    EXPECT_FALSE(overlapped);
    std::size_t total = 0;
    for (const auto& mine : calls)
        total += mine.size();
    ASSERT_EQ(lines.size(), total);
    std::set<std::string> seen;
    for (const auto& line : lines) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(line, m, kLine)) << line;
        int y, mo, d, h, mi, s, ms;
        std::size_t t, i;
        ASSERT_EQ(std::sscanf(line.c_str(), "[%d-%d-%dT%d:%d:%d.%d", &y, &mo, &d, &h, &mi, &s, &ms),
                  7);
        ASSERT_EQ(std::sscanf(m[3].str().c_str(), "%zu %zu", &t, &i), 2) << line;
        ASSERT_TRUE(t < calls.size() && i < calls[t].size() && seen.insert(m[3]).second) << line;
        const sys_time<milliseconds> stamp =
            sys_days(year(y) / mo / d) + hours(h) + minutes(mi) + seconds(s) + milliseconds(ms);
        const auto [before, after] = calls[t][i];
        ASSERT_TRUE(floor<milliseconds>(before) <= stamp && stamp <= floor<milliseconds>(after))
            << line << "called in [" << floor<milliseconds>(before).time_since_epoch() << ", "
            << floor<milliseconds>(after).time_since_epoch() << "]";
    }
}

// Descriptor 2 goes to `fd` (taken over) for the life of the object.
class StderrTo {
public:
    explicit StderrTo(int fd) : saved_(::dup(STDERR_FILENO)) {
        ::dup2(fd, STDERR_FILENO);
        ::close(fd);
    }
    ~StderrTo() {
        ::dup2(saved_, STDERR_FILENO);
        ::close(saved_);
    }

private:
    int saved_;
};

// One read from `fd`, or nothing when no data comes within `timeout`. On a datagram socket
// that is exactly one write(2) of the other end.
std::optional<std::string> next_read(int fd, std::chrono::milliseconds timeout) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(timeout.count())) != 1) return std::nullopt;
    std::string data(1 << 16, '\0');
    const ssize_t n = ::read(fd, data.data(), data.size());
    if (n <= 0) return std::nullopt;
    data.resize(static_cast<std::size_t>(n));
    return data;
}

// A library thread cancelled inside stdio leaves stderr's lock held for good. Lines and the
// facade's own warnings must leave anyway, each whole in one write(2), from several threads.
TEST_F(LogTest, ConcurrentLinesLeaveInOneWriteEachWhileStdioIsLocked) {
    int fds[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_SEQPACKET, 0, fds), 0);
    const StderrTo redirect(fds[1]);
    constexpr int kThreads = 4, kPerThread = 50;
    std::atomic<bool> done{false};
    ::flockfile(stderr);
    std::thread logging([&] {
        log::init_with("debug,x=loud/(", Style::Never);
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t) {
            threads.emplace_back([t] {
                for (int i = 0; i < kPerThread; ++i)
                    log::info("audio_engine::t" + std::to_string(t), std::to_string(i));
            });
        }
        for (auto& th : threads)
            th.join();
        done = true;
    });
    // Never hang: after the deadline the lock goes, and a facade that waited for it fails.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    bool locked = true;
    std::vector<std::string> got;
    for (;;) {
        const bool finished = done;
        if (auto message = next_read(fds[0], std::chrono::milliseconds(20))) {
            got.push_back(std::move(*message));
            continue;
        }
        if (finished) break;
        if (locked && std::chrono::steady_clock::now() > deadline) {
            ::funlockfile(stderr);
            locked = false;
        }
    }
    if (locked) ::funlockfile(stderr);
    logging.join();
    ::close(fds[0]);
    EXPECT_TRUE(locked) << "logging waited for the stdio lock";

    ASSERT_EQ(got.size(), static_cast<std::size_t>(2 + kThreads * kPerThread));
    EXPECT_EQ(got[0], "warning: invalid log directive 'loud', ignoring it\n");
    EXPECT_TRUE(got[1].starts_with("warning: invalid regex filter - ")) << got[1];
    EXPECT_EQ(std::count(got[1].begin(), got[1].end(), '\n'), 1) << got[1];
    EXPECT_TRUE(got[1].ends_with("\n")) << got[1];
    std::set<std::pair<std::string, std::string>> seen;  // (target, message), each once
    for (auto it = got.begin() + 2; it != got.end(); ++it) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(*it, m, kLine)) << *it;
        EXPECT_TRUE(seen.emplace(m[2], m[3]).second) << *it;
    }
}

// A signal that interrupts a long write must not cut the line: the rest follows.
TEST(WriteStderrLine, FinishesALineThatSignalsInterrupt) {
    struct sigaction action {};
    struct sigaction old {};
    action.sa_handler = [](int) {};
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;  // no SA_RESTART: a blocked write returns early
    ASSERT_EQ(::sigaction(SIGUSR1, &action, &old), 0);
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    std::string got;
    const std::string line = std::string(1 << 20, 'x') + "\n";  // many times a pipe's capacity
    {
        const StderrTo redirect(fds[1]);
        std::thread writer([&] { log::write_stderr_line(line); });
        for (int i = 0; i < 5; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            ::pthread_kill(writer.native_handle(), SIGUSR1);
        }
        while (got.size() < line.size()) {
            const auto data = next_read(fds[0], std::chrono::seconds(2));
            if (!data) break;
            got += *data;
        }
        writer.join();
    }
    ::close(fds[0]);
    ::sigaction(SIGUSR1, &old, nullptr);
    EXPECT_EQ(got.size(), line.size());
    EXPECT_TRUE(got == line);
}

}  // namespace
