#include "support/log.hpp"

#include <fmt/core.h>
#include <re2/re2.h>
#include <spdlog/details/log_msg.h>
#include <spdlog/pattern_formatter.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace support::log {
namespace {

constexpr std::uint8_t kOff = 0;

struct Directive {
    std::string target;  // empty: every target
    std::uint8_t level;  // kOff or a Level value
};

struct Filter {
    std::vector<Directive> directives;  // by target length, shortest first
    std::unique_ptr<const re2::RE2> message;
    std::uint8_t max_level = kOff;
};

std::string_view trim(std::string_view s) {
    constexpr std::string_view kSpace = " \t\r\n";
    const auto first = s.find_first_not_of(kSpace);
    if (first == std::string_view::npos) return {};
    const auto last = s.find_last_not_of(kSpace);
    return s.substr(first, last - first + 1);
}

std::optional<std::uint8_t> parse_level(std::string_view text) {
    static constexpr std::string_view kNames[] = {"off", "error", "warn", "info", "debug", "trace"};
    for (std::size_t i = 0; i < std::size(kNames); ++i) {
        const auto name = kNames[i];
        if (text.size() == name.size() &&
            std::equal(text.begin(), text.end(), name.begin(), [](char a, char b) {
                return (a >= 'A' && a <= 'Z' ? static_cast<char>(a - 'A' + 'a') : a) == b;
            })) {
            return static_cast<std::uint8_t>(i);
        }
    }
    return std::nullopt;
}

void warn_invalid(std::string_view what) {
    write_stderr_line(fmt::format("warning: invalid log directive '{}', ignoring it\n", what));
}

std::optional<Directive> parse_directive(std::string_view text) {
    const auto eq = text.find('=');
    if (eq == std::string_view::npos) {
        if (auto level = parse_level(text)) return Directive{{}, *level};
        return Directive{std::string(text), static_cast<std::uint8_t>(Level::Trace)};
    }
    const auto target = text.substr(0, eq);
    const auto level_text = trim(text.substr(eq + 1));
    if (level_text.find('=') != std::string_view::npos) {
        warn_invalid(text);
        return std::nullopt;
    }
    if (level_text.empty())
        return Directive{std::string(target), static_cast<std::uint8_t>(Level::Trace)};
    const auto level = parse_level(level_text);
    if (!level) {
        warn_invalid(level_text);
        return std::nullopt;
    }
    return Directive{std::string(target), *level};
}

Filter parse_filter(std::string_view text) {
    Filter filter;
    std::string_view mods = text;
    std::optional<std::string_view> pattern;
    if (const auto slash = text.find('/'); slash != std::string_view::npos) {
        mods = text.substr(0, slash);
        pattern = text.substr(slash + 1);
        if (pattern->find('/') != std::string_view::npos) {
            write_stderr_line(fmt::format(
                "warning: invalid log filter '{}' (too many '/'s), ignoring it\n", text));
            mods = {};
            pattern.reset();
        }
    }
    while (!mods.empty()) {
        const auto comma = mods.find(',');
        const auto part = trim(mods.substr(0, comma));
        mods = comma == std::string_view::npos ? std::string_view{} : mods.substr(comma + 1);
        if (part.empty()) continue;
        if (auto directive = parse_directive(part))
            filter.directives.push_back(std::move(*directive));
    }
    // Without any directive only errors get through, like an empty RUST_LOG.
    if (filter.directives.empty()) {
        filter.directives.push_back({{}, static_cast<std::uint8_t>(Level::Error)});
    }
    std::stable_sort(
        filter.directives.begin(), filter.directives.end(),
        [](const Directive& a, const Directive& b) { return a.target.size() < b.target.size(); });
    for (const auto& d : filter.directives)
        filter.max_level = std::max(filter.max_level, d.level);
    if (pattern) {
        RE2::Options options;
        options.set_log_errors(false);  // RE2 would print through iostream
        auto regex = std::make_unique<const re2::RE2>(
            re2::StringPiece(pattern->data(), pattern->size()), options);
        if (regex->ok()) {
            filter.message = std::move(regex);
        } else {
            write_stderr_line(fmt::format("warning: invalid regex filter - {}\n", regex->error()));
        }
    }
    return filter;
}

// A directive's target is a plain prefix: "audio" covers "audio_engine::engine".
bool filter_allows(const Filter& filter, Level level, std::string_view target) {
    for (auto it = filter.directives.rbegin(); it != filter.directives.rend(); ++it) {
        if (target.starts_with(it->target)) return static_cast<std::uint8_t>(level) <= it->level;
    }
    return false;
}

spdlog::level::level_enum to_spdlog(Level level) {
    switch (level) {
        case Level::Error:
            return spdlog::level::err;
        case Level::Warn:
            return spdlog::level::warn;
        case Level::Info:
            return spdlog::level::info;
        case Level::Debug:
            return spdlog::level::debug;
        case Level::Trace:
            break;
    }
    return spdlog::level::trace;
}

// %*: the level, upper case in five columns; spdlog ignores padding options on custom flags.
class LevelFlag final : public spdlog::custom_flag_formatter {
public:
    explicit LevelFlag(bool colour) : colour_(colour) {}

    void format(const spdlog::details::log_msg& msg, const std::tm&,
                spdlog::memory_buf_t& dest) override {
        std::string_view text = "TRACE";
        std::string_view colour = "\x1b[36m";
        switch (msg.level) {
            case spdlog::level::critical:
            case spdlog::level::err:
                text = "ERROR";
                colour = "\x1b[31m";
                break;
            case spdlog::level::warn:
                text = "WARN ";
                colour = "\x1b[33m";
                break;
            case spdlog::level::info:
                text = "INFO ";
                colour = "\x1b[32m";
                break;
            case spdlog::level::debug:
                text = "DEBUG";
                colour = "\x1b[34m";
                break;
            default:
                break;
        }
        if (colour_) dest.append(colour.data(), colour.data() + colour.size());
        dest.append(text.data(), text.data() + text.size());
        if (colour_) {
            constexpr std::string_view kReset = "\x1b[0m";
            dest.append(kReset.data(), kReset.data() + kReset.size());
        }
    }

    std::unique_ptr<custom_flag_formatter> clone() const override {
        return std::make_unique<LevelFlag>(colour_);
    }

private:
    bool colour_;
};

struct Config {
    Filter filter;
    Sink sink;  // empty: stderr
    // The formatter caches the time it last printed; the lock is held only while a line is
    // formatted (and handed to a test's sink), never while it is written to stderr.
    std::mutex format_mutex;
    std::unique_ptr<spdlog::formatter> formatter;
};

// Checked first without the lock, so disabled levels never touch the mutex.
std::atomic<std::uint8_t> g_max_level{kOff};
std::mutex g_mutex;
std::shared_ptr<Config> g_config;

std::shared_ptr<Config> current() {
    const std::lock_guard lock(g_mutex);
    return g_config;
}

std::shared_ptr<Config> make_config(std::string_view filter, Style style, Sink sink) {
    auto config = std::make_shared<Config>();
    config->filter = parse_filter(filter);
    const bool colour = style == Style::Always || (style == Style::Auto && ::isatty(STDERR_FILENO));
    auto formatter = std::make_unique<spdlog::pattern_formatter>(spdlog::pattern_time_type::utc);
    formatter->add_flag<LevelFlag>('*', colour).set_pattern("[%Y-%m-%dT%H:%M:%S.%eZ %* %n] %v");
    config->formatter = std::move(formatter);
    config->sink = std::move(sink);
    return config;
}

void install(std::shared_ptr<Config> config) {
    const std::uint8_t max = config ? config->filter.max_level : kOff;
    const std::lock_guard lock(g_mutex);
    g_config = std::move(config);
    g_max_level.store(max, std::memory_order_relaxed);
}

Style style_from_env() {
    const char* value = std::getenv("RUST_LOG_STYLE");
    const std::string_view text = value ? value : "";
    if (text == "always") return Style::Always;
    if (text == "never") return Style::Never;
    return Style::Auto;
}

}  // namespace

void write_stderr_line(std::string_view line) noexcept {
    const char* p = line.data();
    std::size_t left = line.size();
    while (left > 0) {
        const ssize_t n = ::write(STDERR_FILENO, p, left);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        p += n;
        left -= static_cast<std::size_t>(n);
    }
}

void init() {
    const std::lock_guard lock(g_mutex);
    if (g_config) return;
    const char* filter = std::getenv("RUST_LOG");
    g_config =
        make_config(filter ? std::string_view(filter) : kDefaultFilter, style_from_env(), {});
    g_max_level.store(g_config->filter.max_level, std::memory_order_relaxed);
}

void init_with(std::string_view filter, Style style, Sink sink) {
    install(make_config(filter, style, std::move(sink)));
}

void reset() {
    install(nullptr);
}

bool enabled(Level level, std::string_view target) {
    if (static_cast<std::uint8_t>(level) > g_max_level.load(std::memory_order_relaxed)) {
        return false;
    }
    const auto config = current();
    return config && filter_allows(config->filter, level, target);
}

void write(Level level, std::string_view target, std::string_view message) {
    if (static_cast<std::uint8_t>(level) > g_max_level.load(std::memory_order_relaxed)) return;
    const auto config = current();
    if (!config || !filter_allows(config->filter, level, target)) return;
    if (config->filter.message &&
        !RE2::PartialMatch(re2::StringPiece(message.data(), message.size()),
                           *config->filter.message)) {
        return;
    }
    const spdlog::details::log_msg record(spdlog::string_view_t(target.data(), target.size()),
                                          to_spdlog(level),
                                          spdlog::string_view_t(message.data(), message.size()));
    spdlog::memory_buf_t line;  // inline storage: short lines stay off the heap
    {
        const std::lock_guard lock(config->format_mutex);
        config->formatter->format(record, line);
        if (config->sink) {
            config->sink(std::string_view(line.data(), line.size()));
            return;
        }
    }
    write_stderr_line(std::string_view(line.data(), line.size()));
}

}  // namespace support::log
