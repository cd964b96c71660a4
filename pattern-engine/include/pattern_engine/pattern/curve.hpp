// pattern_engine::pattern::curve — turns one queried cycle of a control-only pattern into one
// step table per control label.
//
// Called by the slot engine on the main loop (`Engine::fill_control_curves`), once per cycle of
// each control-only slot, with the events of a query over that whole cycle; the host plays each
// table as a one-shot automation lasting one cycle. Pure: no state, no clock, the input is left
// untouched.
//
// Contract:
// - A table has exactly `table_size` samples; sample k stands for x = k / table_size of the
//   cycle and holds the value of the last breakpoint at or before x (0.0 before the first).
//   No interpolation; at equal positions the later event wins.
// - A breakpoint's position is the fractional part of its event's onset (also for onsets in
//   earlier cycles or below zero); events without a whole or with a non-Control value count
//   for nothing.
// - `table_size` 0 gives an empty map. The order of the map's entries means nothing.
// - Allocates one breakpoint list and one table per label, nothing per sample; the cost of a
//   table is linear in `table_size` plus its breakpoints.
#pragma once

#include <cstddef>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

#include "pattern_engine/event.hpp"

namespace pattern_engine::pattern::curve {

// Label -> samples.
using Wavetables = std::unordered_map<std::string, std::vector<float>>;

Wavetables compile_wavetable(std::span<const event::Event<>> events, std::size_t table_size);

// Samples a caller lets tables take (the slot engine's bound on one pass).
struct SampleBudget {
    std::size_t samples;
    bool cut = false;  // set when a label's table did not fit and was left out
};

// Same, building tables only while they fit in `budget` (each takes `table_size` from it).
Wavetables compile_wavetable(std::span<const event::Event<>> events, std::size_t table_size,
                             SampleBudget& budget);

}  // namespace pattern_engine::pattern::curve
