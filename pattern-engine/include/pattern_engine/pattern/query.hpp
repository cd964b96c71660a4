// pattern_engine::pattern::query — evaluates a compiled pattern over a span of cycle time.
//
// Called by the slot engine on the main loop, once per slot and cycle. Stateless and
// deterministic: the same node over the same span always yields the same events in the same
// order (the order is part of the contract). Every event has a whole.
//
// Children append straight into the caller's list and are rewritten or filtered in place, so a
// query allocates nothing but the result list (Osc bodies are shared, not copied).
//
// A query is bounded in time and memory: it charges a Budget and stops, returning what it has
// found so far, when that runs out. Work is counted in steps (cycle pieces, Cat segments, Euclid
// hits, Stack children) and, per event, one step for the event and one for each Warp or Degrade
// above it that will remap or filter it; bytes are the events' own size plus the heap they
// alone own. Legal patterns such as Fast 10^12 or a hundred stacked Warps would otherwise stall
// the main loop or exhaust memory; musical patterns stay far below the limits. A Stack child or
// a segment of a Cat piece leaves an eighth of what is left to its later siblings, so one
// absurd branch cannot starve the others.
//
// Exactness: each level maps its child's times through a map anchored at the child's span
// begin, whose image is the level's own span begin, so every intermediate value is a time the
// query needs anyway; results are exact whenever those times fit the 64-bit fields.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "pattern_engine/event.hpp"
#include "pattern_engine/pattern.hpp"
#include "pattern_engine/time.hpp"

namespace pattern_engine::pattern::query {

using Events = std::vector<event::Event<>>;
using Nodes = std::span<const PatternNode>;

// Some milliseconds even of the costliest steps (events of huge rationals); far more events
// than music needs.
inline constexpr std::uint64_t work_limit = std::uint64_t{1} << 15;
// About 2^18 events of plain values; a list's spare capacity may add up to as much again.
inline constexpr std::uint64_t bytes_limit = std::uint64_t{32} << 20;

// What queries may spend. A query charges its steps against `work` and its events against
// `bytes`, stops when either runs out and sets `cut`; one budget may span several queries (a
// whole pass of the slot engine).
struct Budget {
    std::uint64_t work = work_limit;
    bool cut = false;
    std::uint64_t bytes = bytes_limit;
};

// The events of node `index` over `span`.
Events query(Nodes nodes, NodeIndex index, const time::Arc& span);

// Same, appended to `out` (which keeps its earlier contents), for callers that reuse a list.
void query_into(Nodes nodes, NodeIndex index, const time::Arc& span, Events& out);
// Same, spending from `budget`.
void query_into(Nodes nodes, NodeIndex index, const time::Arc& span, Events& out, Budget& budget);

// The child sped up by num/den (Fast; Slow with the reciprocal). num < 1 gives nothing.
Events query_fast(Nodes nodes, std::int64_t num, std::uint64_t den, NodeIndex child,
                  const time::Arc& span);

// The child shifted earlier by num/den cycles (Early; Late with num negated).
Events query_early(Nodes nodes, std::int64_t num, std::uint64_t den, NodeIndex child,
                   const time::Arc& span);

// Swing: bends t inside each pair of grid steps so the pair's middle moves to `amount`, then
// rounds to 1/10000 of a cycle.
time::Time warp_time(time::Time t, std::uint32_t grid, double amount);

}  // namespace pattern_engine::pattern::query
