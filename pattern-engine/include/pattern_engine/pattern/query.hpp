// pattern_engine::pattern::query — evaluates a compiled pattern over a span of cycle time.
//
// Called by the slot engine on the main loop, once per slot and cycle. Stateless and
// deterministic: the same node over the same span always yields the same events in the same
// order (the order is part of the contract). Every event has a whole.
//
// Children append straight into the caller's list and are rewritten or filtered in place, so a
// query allocates nothing but the result list (and copies of non-trivial atom values).
//
// A query is bounded: after `work_limit` steps (cycle pieces, Cat segments, Euclid hits) it
// stops and returns what it has found. Legal patterns such as Fast 10^12 would otherwise stall
// the main loop or exhaust memory; musical patterns stay far below the limit.
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

inline constexpr std::uint64_t work_limit = std::uint64_t{1} << 18;

// What queries may spend. A query charges its steps against `work`, stops when it runs out and
// sets `cut`; one budget may span several queries (a whole pass of the slot engine).
struct Budget {
    std::uint64_t work = work_limit;
    bool cut = false;
};

// The events of node `index` over `span`.
Events query(Nodes nodes, NodeIndex index, const time::Arc& span);

// Same, appended to `out` (which keeps its earlier contents), for callers that reuse a list.
void query_into(Nodes nodes, NodeIndex index, const time::Arc& span, Events& out);
// Same, spending from `budget`.
void query_into(Nodes nodes, NodeIndex index, const time::Arc& span, Events& out,
                Budget& budget);

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
