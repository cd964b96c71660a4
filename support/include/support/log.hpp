// support::log — the one logging facade of the process.
//
// A record has a level, a target (the module path of the code that logs, e.g.
// `audio_engine::graph::compiler`) and a message the caller has already formatted (numbers
// through support::number). Each line goes to standard error as
//   [2026-12-06T20:50:20.367Z INFO  audio_engine::engine] message
// (UTC, milliseconds, level upper case in five columns).
//
// The filter (RUST_LOG) is a comma-separated list of directives:
//   "warn"               default level for every target
//   "audio_engine=debug" level for that target and everything below it (whole `::` segments)
//   "audio_engine"       all levels (trace) for that target
// The longest matching target wins; a target no directive matches logs nothing. Levels are
// off, error, warn, info, debug, trace (any case). An optional "/regex" after the directives
// keeps only messages the regular expression finds a match in. Invalid directives are ignored
// with a warning on stderr; a filter without any valid directive logs errors only. Unset
// RUST_LOG means "info".
// RUST_LOG_STYLE: "always" colours the level text, "never" does not, anything else ("auto")
// colours only when stderr is a terminal.
//
// Before init() or init_with() nothing is logged. The level check happens before any
// formatting, so disabled records cost a few loads and compares.
//
// Callers: any thread except the audio thread (calls lock and allocate). All functions are
// thread-safe.
#pragma once

#include <cstdint>
#include <functional>
#include <string_view>

namespace support::log {

enum class Level : std::uint8_t { Error = 1, Warn, Info, Debug, Trace };

enum class Style : std::uint8_t { Auto, Always, Never };

// Receives each finished line, trailing '\n' included. Calls are serialised.
using Sink = std::function<void(std::string_view line)>;

inline constexpr std::string_view kDefaultFilter = "info";

// Reads RUST_LOG and RUST_LOG_STYLE and logs to stderr. Does nothing when a configuration is
// already installed, so a second call is harmless.
void init();

// Installs a configuration, replacing any earlier one (tests). An empty sink means stderr.
void init_with(std::string_view filter, Style style, Sink sink = {});

// Removes the configuration: nothing is logged until the next init() / init_with().
void reset();

bool enabled(Level level, std::string_view target);

void write(Level level, std::string_view target, std::string_view message);

inline void error(std::string_view target, std::string_view message) {
    write(Level::Error, target, message);
}
inline void warn(std::string_view target, std::string_view message) {
    write(Level::Warn, target, message);
}
inline void info(std::string_view target, std::string_view message) {
    write(Level::Info, target, message);
}
inline void debug(std::string_view target, std::string_view message) {
    write(Level::Debug, target, message);
}
inline void trace(std::string_view target, std::string_view message) {
    write(Level::Trace, target, message);
}

}  // namespace support::log
