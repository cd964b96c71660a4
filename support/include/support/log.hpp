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
//   "audio_engine=debug" level for every target that starts with "audio_engine" (a plain
//                        string prefix: "audio=debug" covers "audio_engine::engine" too)
//   "audio_engine"       all levels (trace) for those targets
// The longest matching target wins (of the same target twice, the later); a target no
// directive matches logs nothing. Levels are off, error, warn, info, debug, trace (any case).
// An optional "/regex" after the directives keeps only messages the regular expression finds
// a match in (RE2 syntax, inline flags such as "(?i)" included); an invalid one is dropped
// with a warning and the directives stay. Invalid directives are ignored with a warning; a
// filter without any valid directive logs errors only. Unset RUST_LOG means "info".
// RUST_LOG_STYLE: "always" colours the level text, "never" does not, anything else ("auto")
// colours only when stderr is a terminal.
//
// Before init() or init_with() nothing is logged. The level check happens before any
// formatting, so disabled records cost a few loads and compares.
//
// Output: every line, and every warning of the facade itself, leaves with one write(2) on
// file descriptor 2, never through stdio or iostream: a thread that died holding the stdio
// lock cannot block a log line, and lines of different threads do not interleave.
//
// Callers: any thread except the audio thread and threads a library may cancel (JACK's):
// write() allocates for long lines and holds a mutex while it formats, and a thread cancelled
// inside it would leave that mutex held. Those threads use write_stderr_line() with a line
// formatted beforehand. All functions are thread-safe.
#pragma once

#include <cstdint>
#include <functional>
#include <string_view>

namespace support::log {

enum class Level : std::uint8_t { Error = 1, Warn, Info, Debug, Trace };

enum class Style : std::uint8_t { Auto, Always, Never };

// Receives each finished line, trailing '\n' included (tests). Calls are serialised.
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

// Writes a finished line ('\n' included) to standard error with one write(2), looping only on
// partial writes and EINTR; a failing descriptor drops the rest. No lock, allocation or stdio:
// safe on every thread, the cancellable ones included. Also for the few lines the engine
// writes outside the log format.
void write_stderr_line(std::string_view line) noexcept;

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
