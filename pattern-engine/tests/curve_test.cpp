#include "pattern_engine/pattern/curve.hpp"

#include <gtest/gtest.h>

#include <map>

namespace {

using namespace pattern_engine::event;
using namespace pattern_engine::pattern::curve;
using pattern_engine::time::Arc;
using pattern_engine::time::Time;
using Tables = std::map<std::string, std::vector<float>>;

using Onset = std::tuple<std::int64_t, std::uint64_t, std::string, float>;

// Controls whose wholes start at n/d and last a quarter cycle; the part is the whole.
std::vector<Event<>> controls(const std::vector<Onset>& onsets) {
    std::vector<Event<>> out;
    for (const auto& [n, d, label, value] : onsets) {
        const Arc whole{Time(n, d), Time(n, d) + Time(1, 4)};
        out.push_back({whole, whole, Control{label, value}});
    }
    return out;
}

Tables sorted(const Wavetables& tables) {
    return {tables.begin(), tables.end()};
}

TEST(Wavetable, StepsFromTheBreakpointsOfEachLabel) {
    const struct {
        std::vector<Onset> onsets;
        std::size_t size;
        Tables expected;
    } cases[] = {
        {{{0, 1, "x", 1}}, 0, {}},
        {{{1, 4, "x", 1}, {3, 4, "x", 2}}, 8, {{"x", {0, 0, 1, 1, 1, 1, 2, 2}}}},
        {{{3, 4, "x", 2}, {1, 4, "x", 1}, {1, 2, "x", 3}}, 4, {{"x", {0, 1, 3, 2}}}},
        {{{1, 100, "x", 1}, {3, 1, "y", 1}}, 1, {{"x", {0}}, {"y", {1}}}},
        {{{1, 3, "x", 1}, {2, 3, "x", 2}}, 3, {{"x", {0, 1, 2}}}},  // k / 3 meets 1/3
        // At equal positions the later event wins, also from other cycles.
        {{{1, 4, "x", 5}, {3, 2, "x", 1}, {-1, 2, "x", 2}}, 4, {{"x", {0, 5, 2, 2}}}},
        {{{-1, 2, "x", 2}, {1, 4, "x", 5}, {3, 2, "x", 1}}, 4, {{"x", {0, 5, 1, 1}}}},
        {{{-1, 4, "a", 1}, {5, 2, "b", 1}, {-7, 4, "c", 1}},
         4,
         {{"a", {0, 0, 0, 1}}, {"b", {0, 0, 1, 1}}, {"c", {0, 1, 1, 1}}}},
    };
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        const auto& c = cases[i];
        EXPECT_EQ(sorted(compile_wavetable(controls(c.onsets), c.size)), c.expected) << i;
    }
}

TEST(Wavetable, OnlyControlsWithAWholeCountAndAtTheirOnset) {
    std::vector<Event<>> events = controls({{0, 1, "x", 0.9f}, {1, 2, "x", 0.5f}});
    events[0].whole.reset();
    const Arc arc{Time(0, 1), Time(1, 4)};
    events.push_back({arc, arc, Note{0, 60, 100, 0.25}});
    events.push_back({arc, arc, Cc{0, 74, 64}});
    events.push_back({arc, arc, Osc{"/a", {}}});
    // A slowed control whose whole began in the previous cycle at 3/4.
    events.push_back(
        {Arc{Time(11, 4), Time(15, 4)}, Arc{Time(3, 1), Time(15, 4)}, Control{"y", 1}});
    EXPECT_EQ(sorted(compile_wavetable(events, 4)),
              (Tables{{"x", {0, 0, 0.5f, 0.5f}}, {"y", {0, 0, 0, 1}}}));
}

TEST(Wavetable, TablesBeyondTheSampleBudgetAreLeftOut) {
    const auto events = controls({{0, 1, "a", 1}, {0, 1, "b", 2}, {0, 1, "c", 3}});
    SampleBudget budget{9}, enough{12};
    EXPECT_EQ(compile_wavetable(events, 4, budget).size(), 2u);
    EXPECT_EQ(std::pair(budget.samples, budget.cut), std::pair(std::size_t{1}, true));
    EXPECT_EQ(compile_wavetable(events, 4, enough).size(), 3u);
    EXPECT_FALSE(enough.cut);
}

}  // namespace
