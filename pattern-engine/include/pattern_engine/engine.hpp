// pattern_engine::engine — the slot engine: named slots of compiled patterns played against
// the tempo clock.
//
// Owned and used by one thread, the host's main loop; no locks. Commands arrive compiled
// (`EngineCommand`, made on the IPC thread). `fill` queries every ordinary slot cycle by cycle
// up to the lookahead and queues timed events; `drain` hands out the due ones;
// `fill_control_curves` turns control-only slots into one step table per label and cycle.
// The clock is read through an injectable source so tests drive time exactly; production
// uses the monotonic clock.
//
// Each pass of `fill` and of `fill_control_curves` is bounded in work and memory whatever the
// patterns and the tempo. An ordinary slot whose cycle needs more than a pass fills it in
// pieces (halves, quarters, ... of the cycle, the size kept across cycles) over several passes;
// only what is still unfilled when it falls due is dropped, or a smallest piece that needs more
// than a whole pass is cut short. A control-only slot's cycle is one table, filled whole: one
// that needs more than a whole pass is cut short. Either way the slot is named once in a
// warning (target `pattern_engine::engine`) until it is set again. A cycle or piece that does
// not fit in what is left of a pass waits for a pass that starts with its slot. Passes start
// with each slot in turn, so an absurd slot cannot starve the others. A slot more than a cycle
// behind skips the cycles that are wholly past, an ordinary slot also the pieces.
//
// A pass costs what the playing slots cost: hushed and silent slots are not visited, each
// playing slot keeps the instant its next cycle starts (until the tempo or the slot changes),
// and a pass with nothing new to fill compares one instant, the earliest of those.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <set>
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
    // What became of one cycle of a slot in a pass.
    enum class Served { whole, cut, retry };
    // An event waiting in the pool; the heap orders small keys that point at it.
    struct Queued {
        event::Event<> event;
        std::size_t slot;
    };
    struct Key {
        Instant due;
        std::uint32_t index;  // into pool_
    };
    // How far a slot's current cycle is filled: `done` pieces of 1/2^k of the cycle.
    struct Progress {
        std::uint64_t done = 0;
        std::uint64_t cost = 0;  // work of the last whole piece, 0 when not known
        std::uint8_t k = 0;      // kept across cycles and patterns: resent ones are alike
        // The first pass that had nothing spent when it came to the slot on this cycle: what of
        // the cycle was still to come then and goes unfilled is the slot's own doing.
        Instant turn = Instant::max();
    };
    // The playing slots of one kind (ordinary or control-only): the only ones a pass visits.
    struct Playing {
        std::set<std::size_t> slots;  // in index order
        std::size_t first = 0;        // where the next pass starts
        // No slot's next cycle starts before this; a pass that finds none due stops here.
        Instant next_start = Instant::min();
    };

    void set_pattern(std::string name, pattern::CompiledPattern pattern, bool from_zero);
    void set_tempo(double Clock::*field, double value);
    void push(event::Event<>&& e, Instant due, std::size_t slot);
    void remove_queued(std::size_t slot);
    void clear_queue();
    // One pass over the slots of one kind from `first` on, each filling its cycles up to the
    // horizon while the pass's budget lasts (in pieces when `split`); `first` becomes the slot
    // the next pass starts at. emit(i, start, fresh) turns what was queried into scratch_ into
    // output.
    template <class Emit>
    void run_pass(Instant now, Playing& playing, bool split, Emit&& emit);
    // Sets a slot's cursor, with nothing of that cycle filled, and, while it plays, the instant
    // that cycle starts.
    void set_cursor(std::size_t slot, std::int64_t cycle);
    // Passes over the pieces of the slot's cycle whose onsets are all due before now; true when
    // some of them were still to come at the slot's turn.
    bool skip_past(std::size_t slot, Instant now);
    // Enters the slot among the playing ones of its kind, or none when its pattern is silent.
    void file_slot(std::size_t slot);
    // The slot's next piece of pattern cycle q into scratch_.
    void query_piece(std::size_t slot, std::int64_t q, pattern::query::Budget& budget);
    void warn_cut(std::size_t slot);

    NowSource now_;
    Duration lookahead_;
    Clock clock_;
    std::vector<pattern::CompiledPattern> slots_;
    std::vector<std::int64_t> cursors_;
    std::vector<std::int64_t> offsets_;
    std::vector<Progress> progress_;
    std::vector<bool> warned_;  // a cut of the slot has been logged since it was last set
    // Start of cycle cursors_[i], none when not representable; kept for playing slots only.
    std::vector<std::optional<Instant>> starts_;
    Playing notes_;
    Playing curves_;
    std::vector<Key> heap_;  // binary heap, earliest due on top
    std::vector<Queued> pool_;
    std::vector<std::uint32_t> free_;  // unused places in pool_
    std::unordered_map<std::string, std::size_t> names_;
    std::vector<std::string> slot_names_;  // by slot index
    pattern::query::Events scratch_;       // reused by every query
};

}  // namespace pattern_engine::engine
