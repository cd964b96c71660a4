// pattern_engine::engine — the slot engine: named slots of compiled patterns played against
// the tempo clock.
//
// Owned and used by one thread, the host's main loop; no locks. Commands arrive compiled
// (`EngineCommand`, made on the IPC thread). `fill` queries every ordinary slot cycle by cycle
// up to the lookahead and queues timed events; `drain` hands out the due ones;
// `fill_control_curves` turns control-only slots into one step table per label and cycle.
// The clock is read through an injectable source so tests drive time exactly; production
// uses the monotonic clock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <variant>
#include <vector>

#include "pattern_engine/event.hpp"
#include "pattern_engine/pattern.hpp"
#include "pattern_engine/pattern/query.hpp"
#include "pattern_engine/scheduler/clock.hpp"

namespace pattern_engine::engine {

using scheduler::clock::Clock;
using scheduler::clock::Duration;
using scheduler::clock::Instant;

namespace command {
struct SetPattern {
    std::string slot;
    pattern::CompiledPattern pattern;
};
struct Hush {
    std::string slot;
};
struct HushAll {};
struct SetPatternFromZero {
    std::string slot;
    pattern::CompiledPattern pattern;
};
struct SetBpm {
    double bpm;
};
struct SetBeatsPerCycle {
    double beats;
};
}  // namespace command

// A compiled pattern command; kinds in this order.
struct EngineCommand
    : std::variant<command::SetPattern, command::Hush, command::HushAll,
                   command::SetPatternFromZero, command::SetBpm, command::SetBeatsPerCycle> {
    using variant::variant;
};

// An event with its due instant and the index of the slot it came from.
struct TimedEvent {
    event::Event<> event;
    Instant due;
    std::size_t slot;
};

// One cycle of one label's control curve.
struct CurveOutput {
    std::string label;
    std::vector<float> samples;
    Instant start;  // start of the real cycle the table covers
    std::size_t slot;
};

class Engine {
public:
    using NowSource = std::function<Instant()>;

    // No slots, an empty queue, the clock origin at the source's current instant.
    Engine(
        Duration lookahead, double bpm, double beats_per_cycle,
        NowSource now = [] { return scheduler::clock::MonotonicClock::now(); });

    void apply(EngineCommand command);
    void fill(Instant now);
    std::vector<CurveOutput> fill_control_curves(Instant now, std::size_t table_size);
    // Every queued event due at or before `until`, in ascending due time.
    std::vector<TimedEvent> drain(Instant until);

    std::optional<std::size_t> slot_idx(std::string_view name) const;
    // (name, playing) per slot, in an unspecified order.
    std::vector<std::pair<std::string, bool>> slot_info() const;
    // "?" when no name has that index.
    std::string_view slot_name(std::size_t index) const;

    double bpm() const { return clock_.bpm; }
    const Clock& clock() const { return clock_; }
    std::optional<Instant> earliest_due() const;

private:
    void set_pattern(std::string name, pattern::CompiledPattern pattern, bool from_zero);
    void set_tempo(double Clock::*field, double value);
    void remove_queued(std::size_t slot);
    // Calls f(q, start) for each cycle of the slot that starts by the horizon (q the pattern
    // cycle, start the real cycle's start), advancing its cursor.
    template <class F>
    void for_each_due_cycle(std::size_t slot, Instant horizon, F&& f);
    // Pattern cycle q of the slot into scratch_.
    void query_cycle(std::size_t slot, std::int64_t q);

    struct Later {
        bool operator()(const TimedEvent& a, const TimedEvent& b) const { return a.due > b.due; }
    };

    NowSource now_;
    Duration lookahead_;
    Clock clock_;
    std::vector<pattern::CompiledPattern> slots_;
    std::vector<std::int64_t> cursors_;
    std::vector<std::int64_t> offsets_;
    std::vector<TimedEvent> queue_;  // binary heap, earliest due on top
    std::unordered_map<std::string, std::size_t> names_;
    std::vector<std::string> slot_names_;  // by slot index
    pattern::query::Events scratch_;       // reused by every query
};

}  // namespace pattern_engine::engine
