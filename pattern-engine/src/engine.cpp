#include "pattern_engine/engine.hpp"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <limits>

#include "pattern_engine/pattern/curve.hpp"
#include "pattern_engine/pattern/query.hpp"
#include "support/debug.hpp"
#include "support/log.hpp"

namespace pattern_engine::engine {

namespace {

// What one pass of fill or fill_control_curves may spend, whatever the requests: query steps
// (each event takes at least one), a fixed cost per query and samples of curve tables. At
// these limits a pass takes about 1 ms here (the first, which also allocates, up to 4) and
// holds a few MB; musical patterns stay far below them. The queue holds at most queue_limit
// events (many slots of dense cycles): fill waits while it is nearly full.
constexpr std::uint64_t pass_work = std::uint64_t{1} << 13;
constexpr std::uint64_t cycle_work = 8;
constexpr std::size_t pass_samples = std::size_t{1} << 20;
constexpr std::size_t queue_limit = std::size_t{1} << 17;
// Pieces of a cycle go down to 1/2^max_piece_k; one that still needs more than a pass is cut
// short. Cycles beyond +-2^46 are not split: their piece boundaries would not be exact.
constexpr std::uint8_t max_piece_k = 16;
constexpr std::int64_t split_limit = std::int64_t{1} << (62 - max_piece_k);

pattern::CompiledPattern silent_pattern() {
    pattern::CompiledPattern p;
    p.nodes.emplace_back(pattern::node::Silence{});
    return p;
}

std::int64_t saturating_add(std::int64_t a, std::int64_t b) {
    std::int64_t r;
    if (!__builtin_add_overflow(a, b, &r)) return r;
    return b > 0 ? std::numeric_limits<std::int64_t>::max()
                 : std::numeric_limits<std::int64_t>::min();
}

struct Later {
    template <class K>
    bool operator()(const K& a, const K& b) const {
        return a.due > b.due;
    }
};

template <class... F>
struct Overloaded : F... {
    using F::operator()...;
};

bool is_playing(const pattern::CompiledPattern& p) {
    return !std::holds_alternative<pattern::node::Silence>(p.nodes[p.root]);
}

}  // namespace

Engine::Engine(Duration lookahead, double bpm, double beats_per_cycle, NowSource now)
    : now_(std::move(now)), lookahead_(lookahead), clock_{bpm, beats_per_cycle, now_()} {}

void Engine::apply(EngineCommand command) {
    std::visit(
        Overloaded{
            [this](command::SetPattern& c) {
                set_pattern(std::move(c.slot), std::move(c.pattern), false);
            },
            [this](command::SetPatternFromZero& c) {
                set_pattern(std::move(c.slot), std::move(c.pattern), true);
            },
            [this](command::Hush& c) {
                const auto it = names_.find(c.slot);
                if (it == names_.end()) return;
                slots_[it->second] = silent_pattern();
                file_slot(it->second);
                remove_queued(it->second);
            },
            [this](command::HushAll&) {
                // Only playing slots can be other than silent.
                for (auto* playing : {&notes_, &curves_}) {
                    for (const std::size_t i : playing->slots)
                        slots_[i] = silent_pattern();
                    playing->slots.clear();
                }
                clear_queue();
            },
            [this](command::SetBpm& c) { set_tempo(&Clock::bpm, c.bpm); },
            [this](command::SetBeatsPerCycle& c) { set_tempo(&Clock::beats_per_cycle, c.beats); },
        },
        static_cast<EngineCommand::variant&>(command));
}

void Engine::set_pattern(std::string name, pattern::CompiledPattern pattern, bool from_zero) {
    const std::int64_t c = clock_.current_cycle(now_());
    const std::int64_t offset = from_zero ? -c : 0;
    if (const auto it = names_.find(name); it != names_.end()) {
        // A replaced pattern starts at the current cycle; its past events are dropped by fill.
        const std::size_t i = it->second;
        slots_[i] = std::move(pattern);
        remove_queued(i);
        offsets_[i] = offset;
        warned_[i] = false;
        file_slot(i);
        set_cursor(i, c);
        return;
    }
    // A new slot starts at the next cycle boundary.
    const std::size_t i = slots_.size();
    names_.emplace(name, i);
    slot_names_.push_back(std::move(name));
    slots_.push_back(std::move(pattern));
    cursors_.push_back(0);
    starts_.emplace_back();
    offsets_.push_back(offset);
    progress_.emplace_back();
    warned_.push_back(false);
    file_slot(i);
    set_cursor(i, saturating_add(c, 1));
}

void Engine::file_slot(std::size_t slot) {
    notes_.slots.erase(slot);
    curves_.slots.erase(slot);
    if (!is_playing(slots_[slot])) return;
    (slots_[slot].control_only ? curves_ : notes_).slots.insert(slot);
}

void Engine::set_cursor(std::size_t slot, std::int64_t cycle) {
    cursors_[slot] = cycle;
    progress_[slot].done = 0;
    progress_[slot].turn = Instant::max();
    // A silent slot's cursor is of no consequence until it is set again.
    if (!is_playing(slots_[slot])) return;
    starts_[slot] = clock_.cycle_start_instant(cycle);
    if (!starts_[slot]) return;
    Instant& next = (slots_[slot].control_only ? curves_ : notes_).next_start;
    next = std::min(next, *starts_[slot]);
}

void Engine::set_tempo(double Clock::*field, double value) {
    if (!std::isfinite(value) || !(value > 0.0)) return;
    if (!(std::abs(value - clock_.*field) >= DBL_EPSILON)) return;
    clock_.*field = value;
    // Every slot starts again at its pattern cycle 0, on a new cycle grid.
    clock_.origin = now_();
    clear_queue();
    std::fill(cursors_.begin(), cursors_.end(), 0);
    std::fill(offsets_.begin(), offsets_.end(), 0);
    for (const auto* playing : {&notes_, &curves_}) {
        for (const std::size_t i : playing->slots)
            set_cursor(i, 0);
    }
}

void Engine::push(event::Event<>&& e, Instant due, std::size_t slot) {
    std::uint32_t index;
    if (free_.empty()) {
        index = static_cast<std::uint32_t>(pool_.size());
        pool_.push_back(Queued{std::move(e), slot});
    } else {
        index = free_.back();
        free_.pop_back();
        pool_[index] = Queued{std::move(e), slot};
    }
    heap_.push_back(Key{due, index});
    std::push_heap(heap_.begin(), heap_.end(), Later{});
}

void Engine::remove_queued(std::size_t slot) {
    std::size_t kept = 0;
    for (const Key& k : heap_) {
        if (pool_[k.index].slot != slot) {
            heap_[kept++] = k;
            continue;
        }
        pool_[k.index].event = {};  // gives its payload back now
        free_.push_back(k.index);
    }
    heap_.resize(kept);
    std::make_heap(heap_.begin(), heap_.end(), Later{});
}

void Engine::clear_queue() {
    heap_.clear();
    free_.clear();
    // A burst of absurd requests leaves no large pool behind.
    if (pool_.capacity() > 4096) {
        pool_ = {};
    } else {
        pool_.clear();
    }
}

template <class Emit>
void Engine::run_pass(Instant now, Playing& playing, bool split, Emit&& emit) {
    const Instant horizon = now + lookahead_;
    // A slot behind the current cycle starts before the horizon too, so nothing is skipped.
    if (playing.slots.empty() || playing.next_start > horizon) return;
    // A slot more than a cycle behind (an absurd tempo, a stalled loop) skips cycles that are
    // wholly past: their events would all be dropped, their curves already over.
    const std::int64_t behind = clock_.current_cycle(now) - 1;
    pattern::query::Budget budget;
    budget.work = pass_work;
    // The pass starts at the first playing slot from `first` on, in index order, and wraps.
    auto start_it = playing.slots.lower_bound(playing.first);
    if (start_it == playing.slots.end()) start_it = playing.slots.begin();
    const std::size_t start_slot = *start_it;
    auto it = start_it;
    Instant next_start = Instant::max();
    do {
        const std::size_t i = *it;
        Progress& p = progress_[i];
        // With nothing spent before it, what the slot leaves unfilled is its own doing.
        const bool own = split && budget.work == pass_work;
        if (cursors_[i] < behind) {
            const std::optional<Instant> end = clock_.cycle_start_instant(cursors_[i] + 1);
            if (end && *end > p.turn) warn_cut(i);
            set_cursor(i, behind);
        }
        for (;;) {
            const std::optional<Instant> start = starts_[i];
            if (!start || *start > horizon) break;
            if (split && skip_past(i, now)) warn_cut(i);
            if (own) p.turn = std::min(p.turn, now);
            if ((p.done >> p.k) == 0) {
                // Nothing spent yet in this pass: a piece cut short now would be cut in any
                // pass, so it is halved, or at the smallest what it gave is kept. Otherwise it
                // waits for a pass that starts with its slot (as does one known to need more
                // than is left); the slot that started this one has had its turn, so the next
                // starts after it.
                const bool fresh = budget.work == pass_work;
                Served served = Served::retry;
                if (budget.work >= cycle_work && (fresh || p.cost <= budget.work)) {
                    budget.work -= cycle_work;
                    const std::uint64_t before = budget.work;
                    const std::int64_t q = saturating_add(cursors_[i], offsets_[i]);
                    query_piece(i, q, budget);
                    served = !budget.cut ? Served::whole : fresh ? Served::cut : Served::retry;
                    if (served == Served::cut && split && p.k < max_piece_k && q > -split_limit &&
                        q < split_limit) {
                        ++p.k;
                        p.done *= 2;
                        p.cost = 0;
                        budget.cut = false;
                        continue;
                    }
                    p.cost = served == Served::retry ? before + 1 : before - budget.work;
                    if (served != Served::retry) {
                        const Served emitted = emit(i, *start, fresh);
                        if (emitted != Served::whole) served = emitted;
                    }
                }
                if (served == Served::retry) {
                    playing.first = i == start_slot ? i + 1 : i;
                    return;
                }
                if (served == Served::cut) warn_cut(i);
                budget.cut = false;
                if ((++p.done >> p.k) == 0) {
                    // Pieces keep to a sixteenth to a quarter of a pass: cheaper ones grow back
                    // (where the double one is aligned), dearer ones leave much of a pass unused.
                    if (p.done % 2 == 0 && p.cost <= pass_work / 16) {
                        --p.k;
                        p.done /= 2;
                        p.cost *= 2;
                    } else if (p.k < max_piece_k && p.cost > pass_work / 4) {
                        ++p.k;
                        p.done *= 2;
                        p.cost /= 2;
                    }
                    continue;
                }
            }
            if (cursors_[i] == std::numeric_limits<std::int64_t>::max()) break;
            set_cursor(i, cursors_[i] + 1);
        }
        if (starts_[i]) next_start = std::min(next_start, *starts_[i]);
        if (++it == playing.slots.end()) it = playing.slots.begin();
    } while (it != start_it);
    playing.next_start = next_start;
}

bool Engine::skip_past(std::size_t slot, Instant now) {
    Progress& p = progress_[slot];
    const std::optional<Instant> start = starts_[slot];
    if (!start || !(*start < now)) return false;
    const std::uint64_t pieces = std::uint64_t{1} << p.k;
    const double cycle_seconds = clock_.cycle_seconds();
    const double elapsed = std::chrono::duration<double>(now - *start).count() / cycle_seconds;
    if (!(elapsed >= 0.0)) return false;
    std::uint64_t m =
        elapsed >= 1.0 ? pieces : static_cast<std::uint64_t>(elapsed * double(pieces));
    // The estimate may be a rounding off: the boundary, timed as onsets are, must be past.
    const time::Time cycle = time::Time::from_integer(cursors_[slot]);
    std::optional<Instant> at;
    for (int tries = 0; m > p.done; --m) {
        const time::Time t = cycle + time::Time(static_cast<std::int64_t>(m), pieces);
        at = clock_.instant_after(t.to_f64() * cycle_seconds);
        if (at && *at < now) break;
        if (++tries == 2) return false;
    }
    if (m <= p.done) return false;
    p.done = m;
    return *at > p.turn;
}

void Engine::fill(Instant now) {
    if (heap_.size() + pass_work > queue_limit) return;
    const double cycle_seconds = clock_.cycle_seconds();
    run_pass(now, notes_, true, [&](std::size_t i, Instant, bool) {
        const time::Time offset = time::Time::from_integer(offsets_[i]);
        for (auto& e : scratch_) {
            // Only onsets: pieces of events that began in an earlier span were sent then.
            if (!e.whole || !(e.part.begin <= e.whole->begin && e.whole->begin < e.part.end)) {
                continue;
            }
            const double t = (e.whole->begin - offset).to_f64();
            const auto due = clock_.instant_after(t * cycle_seconds);
            if (!due || *due < now) continue;
            push(std::move(e), *due, i);
        }
        return Served::whole;
    });
}

std::vector<CurveOutput> Engine::fill_control_curves(Instant now, std::size_t table_size) {
    std::vector<CurveOutput> out;
    pattern::curve::SampleBudget samples{pass_samples};
    run_pass(now, curves_, false, [&](std::size_t i, Instant start, bool fresh) {
        auto tables = pattern::curve::compile_wavetable(scratch_, table_size, samples);
        const bool cut = samples.cut;
        samples.cut = false;
        if (cut && !fresh) return Served::retry;
        for (auto& [label, table] : tables)
            out.push_back(CurveOutput{label, std::move(table), start, i});
        return cut ? Served::cut : Served::whole;
    });
    return out;
}

void Engine::query_piece(std::size_t slot, std::int64_t q, pattern::query::Budget& budget) {
    const auto& p = slots_[slot];
    const Progress& f = progress_[slot];
    time::Arc span{time::Time::from_integer(q), time::Time::from_integer(saturating_add(q, 1))};
    if (f.k > 0) {
        const std::uint64_t pieces = std::uint64_t{1} << f.k;
        const auto done = static_cast<std::int64_t>(f.done);
        span = {span.begin + time::Time(done, pieces), span.begin + time::Time(done + 1, pieces)};
    }
    scratch_.clear();
    pattern::query::query_into(p.nodes, p.root, span, scratch_, budget);
}

void Engine::warn_cut(std::size_t slot) {
    if (warned_[slot]) return;
    warned_[slot] = true;
    std::string message = "slot ";
    support::debug::append_quoted(message, slot_names_[slot]);
    message +=
        " asks for more work than the passes before it plays allow: some of its events are "
        "dropped";
    support::log::warn("pattern_engine::engine", message);
}

std::vector<TimedEvent> Engine::drain(Instant until) {
    std::vector<TimedEvent> out;
    while (!heap_.empty() && heap_.front().due <= until) {
        std::pop_heap(heap_.begin(), heap_.end(), Later{});
        const Key k = heap_.back();
        heap_.pop_back();
        out.push_back(TimedEvent{std::move(pool_[k.index].event), k.due, pool_[k.index].slot});
        free_.push_back(k.index);
    }
    if (heap_.empty()) clear_queue();
    return out;
}

std::optional<std::size_t> Engine::slot_idx(std::string_view name) const {
    const auto it = names_.find(std::string(name));
    if (it == names_.end()) return std::nullopt;
    return it->second;
}

std::vector<std::pair<std::string, bool>> Engine::slot_info() const {
    std::vector<std::pair<std::string, bool>> out;
    out.reserve(names_.size());
    for (const auto& [name, i] : names_) {
        out.emplace_back(name, is_playing(slots_[i]));
    }
    return out;
}

std::string_view Engine::slot_name(std::size_t index) const {
    return index < slot_names_.size() ? std::string_view(slot_names_[index]) : "?";
}

std::optional<Instant> Engine::earliest_due() const {
    if (heap_.empty()) return std::nullopt;
    return heap_.front().due;
}

}  // namespace pattern_engine::engine
