#include "pattern_engine/engine.hpp"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <limits>

#include "pattern_engine/pattern/curve.hpp"
#include "pattern_engine/pattern/query.hpp"

namespace pattern_engine::engine {

namespace {

// Cycles one slot may fill in one pass. Only an absurd tempo (a cycle far shorter than the
// lookahead) reaches it; the slot then lags instead of stalling the main loop.
constexpr int max_cycles_per_pass = 256;

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

template <class... F>
struct Overloaded : F... {
    using F::operator()...;
};

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
                remove_queued(it->second);
            },
            [this](command::HushAll&) {
                for (auto& slot : slots_)
                    slot = silent_pattern();
                queue_.clear();
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
        cursors_[i] = c;
        offsets_[i] = offset;
        return;
    }
    // A new slot starts at the next cycle boundary.
    names_.emplace(name, slots_.size());
    slot_names_.push_back(std::move(name));
    slots_.push_back(std::move(pattern));
    cursors_.push_back(saturating_add(c, 1));
    offsets_.push_back(offset);
}

void Engine::set_tempo(double Clock::*field, double value) {
    if (!std::isfinite(value) || !(value > 0.0)) return;
    if (!(std::abs(value - clock_.*field) >= DBL_EPSILON)) return;
    clock_.*field = value;
    // Every slot starts again at its pattern cycle 0, on a new cycle grid.
    clock_.origin = now_();
    queue_.clear();
    std::fill(cursors_.begin(), cursors_.end(), 0);
    std::fill(offsets_.begin(), offsets_.end(), 0);
}

void Engine::remove_queued(std::size_t slot) {
    std::erase_if(queue_, [slot](const TimedEvent& e) { return e.slot == slot; });
    std::make_heap(queue_.begin(), queue_.end(), Later{});
}

template <class F>
void Engine::for_each_due_cycle(std::size_t slot, Instant horizon, F&& f) {
    for (int n = 0; n < max_cycles_per_pass; ++n) {
        // A start that is not representable (absurd tempo) leaves the slot where it is.
        const auto start = clock_.cycle_start_instant(cursors_[slot]);
        if (!start || *start > horizon) return;
        f(saturating_add(cursors_[slot], offsets_[slot]), *start);
        cursors_[slot] = saturating_add(cursors_[slot], 1);
    }
}

void Engine::fill(Instant now) {
    const Instant horizon = now + lookahead_;
    const double cycle_seconds = clock_.cycle_seconds();
    for (const auto& [name, i] : names_) {
        if (slots_[i].control_only) continue;
        for_each_due_cycle(i, horizon, [&](std::int64_t q, Instant) {
            query_cycle(i, q);
            const time::Time offset = time::Time::from_integer(offsets_[i]);
            for (auto& e : scratch_) {
                // Only onsets: pieces of events that began in an earlier span were sent then.
                if (!e.whole || !(e.part.begin <= e.whole->begin && e.whole->begin < e.part.end)) {
                    continue;
                }
                const double t = (e.whole->begin - offset).to_f64();
                const auto due = clock_.instant_after(t * cycle_seconds);
                if (!due || *due < now) continue;
                queue_.push_back(TimedEvent{std::move(e), *due, i});
                std::push_heap(queue_.begin(), queue_.end(), Later{});
            }
        });
    }
}

std::vector<CurveOutput> Engine::fill_control_curves(Instant now, std::size_t table_size) {
    std::vector<CurveOutput> out;
    const Instant horizon = now + lookahead_;
    for (const auto& [name, i] : names_) {
        if (!slots_[i].control_only) continue;
        for_each_due_cycle(i, horizon, [&](std::int64_t q, Instant start) {
            query_cycle(i, q);
            for (auto& [label, samples] : pattern::curve::compile_wavetable(scratch_, table_size)) {
                out.push_back(CurveOutput{label, std::move(samples), start, i});
            }
        });
    }
    return out;
}

void Engine::query_cycle(std::size_t slot, std::int64_t q) {
    const auto& p = slots_[slot];
    scratch_.clear();
    pattern::query::query_into(
        p.nodes, p.root,
        time::Arc{time::Time::from_integer(q), time::Time::from_integer(saturating_add(q, 1))},
        scratch_);
}

std::vector<TimedEvent> Engine::drain(Instant until) {
    std::vector<TimedEvent> out;
    while (!queue_.empty() && queue_.front().due <= until) {
        std::pop_heap(queue_.begin(), queue_.end(), Later{});
        out.push_back(std::move(queue_.back()));
        queue_.pop_back();
    }
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
        const auto& p = slots_[i];
        out.emplace_back(name, !std::holds_alternative<pattern::node::Silence>(p.nodes[p.root]));
    }
    return out;
}

std::string_view Engine::slot_name(std::size_t index) const {
    return index < slot_names_.size() ? std::string_view(slot_names_[index]) : "?";
}

std::optional<Instant> Engine::earliest_due() const {
    if (queue_.empty()) return std::nullopt;
    return queue_.front().due;
}

}  // namespace pattern_engine::engine
