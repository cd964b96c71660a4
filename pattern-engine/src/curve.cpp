#include "pattern_engine/pattern/curve.hpp"

#include <algorithm>
#include <limits>
#include <utility>
#include <variant>

namespace pattern_engine::pattern::curve {

namespace {

struct Breakpoint {
    double position;  // in [0, 1) up to rounding of the division
    float value;
};

// Fractional part of the onset, so negative onsets and onsets of earlier cycles land inside
// the cycle too. Time is canonical, so the difference is already in lowest terms.
double position_of(const time::Time& onset) {
    const time::Time f = onset - time::Time::from_integer(onset.floor());
    return static_cast<double>(f.numer()) / static_cast<double>(f.denom());
}

void fill_table(std::span<const Breakpoint> points, std::vector<float>& table) {
    const double size = static_cast<double>(table.size());
    std::size_t next = 0;
    float current = 0.0f;
    for (std::size_t k = 0; k < table.size(); ++k) {
        const double x = static_cast<double>(k) / size;
        // Forward only: the last breakpoint at or before x wins, ties to the latest event.
        while (next < points.size() && points[next].position <= x) {
            current = points[next].value;
            ++next;
        }
        table[k] = current;
    }
}

}  // namespace

Wavetables compile_wavetable(std::span<const event::Event<>> events, std::size_t table_size) {
    SampleBudget unbounded{std::numeric_limits<std::size_t>::max()};
    return compile_wavetable(events, table_size, unbounded);
}

Wavetables compile_wavetable(std::span<const event::Event<>> events, std::size_t table_size,
                             SampleBudget& budget) {
    Wavetables tables;
    if (table_size == 0) return tables;

    std::unordered_map<std::string, std::vector<Breakpoint>> points;
    for (const event::Event<>& e : events) {
        const auto* control = std::get_if<event::Control>(&e.value);
        if (control == nullptr || !e.whole) continue;
        // try_emplace copies the label only when it is new.
        points.try_emplace(control->label)
            .first->second.push_back({position_of(e.whole->begin), control->value});
    }

    tables.reserve(points.size());
    while (!points.empty()) {
        if (table_size > budget.samples) {
            budget.cut = true;
            break;
        }
        budget.samples -= table_size;
        // Extracting hands the label over to the result without another copy.
        auto entry = points.extract(points.begin());
        std::vector<Breakpoint>& list = entry.mapped();
        std::stable_sort(list.begin(), list.end(), [](const Breakpoint& a, const Breakpoint& b) {
            return a.position < b.position;
        });
        std::vector<float> table(table_size, 0.0f);
        fill_table(list, table);
        tables.emplace(std::move(entry.key()), std::move(table));
    }
    return tables;
}

}  // namespace pattern_engine::pattern::curve
