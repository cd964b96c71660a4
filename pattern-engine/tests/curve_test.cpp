#include "pattern_engine/pattern/curve.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace {

using pattern_engine::event::Cc;
using pattern_engine::event::Control;
using pattern_engine::event::Event;
using pattern_engine::event::Note;
using pattern_engine::event::Osc;
using pattern_engine::event::Value;
using pattern_engine::pattern::curve::compile_wavetable;
using pattern_engine::pattern::curve::Wavetables;
using pattern_engine::time::Arc;
using pattern_engine::time::Time;

using Table = std::vector<float>;

// An event whose whole starts at n/d and lasts a quarter cycle; the part is the whole.
Event<> at(std::int64_t n, std::uint64_t d, Value value) {
    const Time begin(n, d);
    const Arc whole{begin, begin + Time(1, 4)};
    return {whole, whole, std::move(value)};
}

Event<> control_at(std::int64_t n, std::uint64_t d, std::string label, float value) {
    return at(n, d, Control{std::move(label), value});
}

TEST(WavetableEmpty, ZeroSizeGivesNoTablesEvenWithControls) {
    const std::vector<Event<>> events{control_at(0, 1, "cutoff", 0.5f),
                                      control_at(1, 2, "res", 0.25f)};
    EXPECT_TRUE(compile_wavetable(events, 0).empty());
}

TEST(WavetableEmpty, NoEventsGivesNoTables) {
    EXPECT_TRUE(compile_wavetable({}, 8).empty());
}

TEST(WavetableEmpty, NonControlEventsAndControlsWithoutWholeCountForNothing) {
    Event<> no_whole = control_at(0, 1, "cutoff", 0.5f);
    no_whole.whole.reset();
    const std::vector<Event<>> events{
        at(0, 1, Note{0, 60, 100, 0.25}),
        at(1, 4, Cc{0, 74, 64}),
        at(1, 2, Osc{"/a", {}}),
        no_whole,
    };
    for (std::size_t size : {0u, 1u, 4u, 16u}) {
        EXPECT_TRUE(compile_wavetable(events, size).empty()) << size;
    }
}

TEST(WavetableEmpty, ControlWithoutWholeAddsNoBreakpointToALabelThatHasOne) {
    Event<> no_whole = control_at(0, 1, "cutoff", 0.9f);
    no_whole.whole.reset();
    const std::vector<Event<>> events{control_at(1, 2, "cutoff", 0.5f), no_whole};
    EXPECT_EQ(compile_wavetable(events, 4).at("cutoff"), (Table{0.0f, 0.0f, 0.5f, 0.5f}));
}

TEST(WavetableSteps, OnsetAtCycleStartFillsTheTable) {
    const std::vector<Event<>> events{control_at(0, 1, "cutoff", 0.7f)};
    const Wavetables tables = compile_wavetable(events, 5);
    ASSERT_EQ(tables.size(), 1u);
    EXPECT_EQ(tables.at("cutoff"), Table(5, 0.7f));
}

TEST(WavetableSteps, SampleExactlyAtThePositionTakesTheValue) {
    const std::vector<Event<>> events{control_at(1, 2, "cutoff", 0.8f)};
    EXPECT_EQ(compile_wavetable(events, 4).at("cutoff"), (Table{0.0f, 0.0f, 0.8f, 0.8f}));
}

TEST(WavetableSteps, EachBreakpointHoldsUntilTheNext) {
    const float a = 0.25f;
    const float b = 0.75f;
    const std::vector<Event<>> events{control_at(1, 4, "cutoff", a), control_at(3, 4, "cutoff", b)};
    EXPECT_EQ(compile_wavetable(events, 8).at("cutoff"), (Table{0, 0, a, a, a, a, b, b}));
}

TEST(WavetableSteps, BreakpointsAreSortedByPosition) {
    const std::vector<Event<>> events{control_at(3, 4, "cutoff", 2.0f),
                                      control_at(1, 4, "cutoff", 1.0f),
                                      control_at(1, 2, "cutoff", 3.0f)};
    EXPECT_EQ(compile_wavetable(events, 4).at("cutoff"), (Table{0, 1, 3, 2}));
}

TEST(WavetableSteps, PositionBetweenSamplePointsTakesEffectAtTheNextOne) {
    const std::vector<Event<>> events{control_at(3, 10, "cutoff", 0.6f)};
    EXPECT_EQ(compile_wavetable(events, 4).at("cutoff"), (Table{0.0f, 0.0f, 0.6f, 0.6f}));
}

TEST(WavetableSteps, SeveralBreakpointsBetweenTwoSamplesLeaveTheLastOne) {
    const std::vector<Event<>> events{control_at(1, 10, "cutoff", 1.0f),
                                      control_at(1, 5, "cutoff", 2.0f),
                                      control_at(3, 10, "cutoff", 3.0f)};
    EXPECT_EQ(compile_wavetable(events, 2).at("cutoff"), (Table{0.0f, 3.0f}));
}

TEST(WavetableSteps, OneSampleTableTakesOnlyPositionZero) {
    const std::vector<Event<>> late{control_at(1, 100, "a", 1.0f)};
    EXPECT_EQ(compile_wavetable(late, 1).at("a"), (Table{0.0f}));
    const std::vector<Event<>> start{control_at(3, 1, "a", 1.0f)};
    EXPECT_EQ(compile_wavetable(start, 1).at("a"), (Table{1.0f}));
}

TEST(WavetableTies, LaterEventWinsAtTheSamePosition) {
    const std::vector<Event<>> events{control_at(1, 2, "cutoff", 1.0f),
                                      control_at(1, 2, "cutoff", 2.0f)};
    EXPECT_EQ(compile_wavetable(events, 4).at("cutoff"), (Table{0, 0, 2, 2}));
}

TEST(WavetableTies, EqualPositionsFromDifferentCyclesKeepInputOrder) {
    // 3/2 and -1/2 both fall on 1/2; the sort must not reorder them.
    const std::vector<Event<>> events{control_at(1, 4, "cutoff", 5.0f),
                                      control_at(3, 2, "cutoff", 1.0f),
                                      control_at(-1, 2, "cutoff", 2.0f)};
    EXPECT_EQ(compile_wavetable(events, 4).at("cutoff"), (Table{0, 5, 2, 2}));
    const std::vector<Event<>> swapped{control_at(-1, 2, "cutoff", 2.0f),
                                       control_at(1, 4, "cutoff", 5.0f),
                                       control_at(3, 2, "cutoff", 1.0f)};
    EXPECT_EQ(compile_wavetable(swapped, 4).at("cutoff"), (Table{0, 5, 1, 1}));
}

TEST(WavetableLabels, TwoLabelsGiveIndependentTablesOfTheSameSize) {
    const std::vector<Event<>> events{
        control_at(0, 1, "cutoff", 1.0f), control_at(1, 2, "res", 2.0f),
        control_at(1, 2, "cutoff", 3.0f), at(1, 4, Note{0, 60, 100, 0.25})};
    const Wavetables tables = compile_wavetable(events, 4);
    ASSERT_EQ(tables.size(), 2u);
    EXPECT_EQ(tables.at("cutoff"), (Table{1, 1, 3, 3}));
    EXPECT_EQ(tables.at("res"), (Table{0, 0, 2, 2}));
}

TEST(WavetableLabels, LabelsAreExactTexts) {
    const std::vector<Event<>> events{
        control_at(0, 1, "Cutoff", 1.0f), control_at(0, 1, "cutoff", 2.0f),
        control_at(0, 1, "cutoff ", 3.0f), control_at(0, 1, "", 4.0f)};
    const Wavetables tables = compile_wavetable(events, 2);
    ASSERT_EQ(tables.size(), 4u);
    EXPECT_EQ(tables.at("Cutoff"), (Table{1, 1}));
    EXPECT_EQ(tables.at("cutoff"), (Table{2, 2}));
    EXPECT_EQ(tables.at("cutoff "), (Table{3, 3}));
    EXPECT_EQ(tables.at(""), (Table{4, 4}));
}

TEST(WavetablePositions, OnsetsOutsideTheCycleUseTheirFraction) {
    const std::vector<Event<>> negative{control_at(-1, 4, "a", 1.0f)};
    EXPECT_EQ(compile_wavetable(negative, 4).at("a"), (Table{0, 0, 0, 1}));
    const std::vector<Event<>> later{control_at(5, 2, "a", 1.0f)};
    EXPECT_EQ(compile_wavetable(later, 4).at("a"), (Table{0, 0, 1, 1}));
    const std::vector<Event<>> whole_negative{control_at(-3, 1, "a", 1.0f)};
    EXPECT_EQ(compile_wavetable(whole_negative, 4).at("a"), (Table{1, 1, 1, 1}));
    const std::vector<Event<>> far_negative{control_at(-7, 4, "a", 1.0f)};
    EXPECT_EQ(compile_wavetable(far_negative, 4).at("a"), (Table{0, 1, 1, 1}));
}

TEST(WavetablePositions, OnsetFromAnEarlierCycleOfASlowedControl) {
    // A whole that began in cycle 2 at 2 + 3/4 while cycle 3 is queried: the part starts at 3.
    const Time begin(11, 4);
    Event<> spanning{Arc{begin, Time(15, 4)}, Arc{Time(3, 1), Time(15, 4)}, Control{"a", 1.0f}};
    const std::vector<Event<>> events{spanning};
    EXPECT_EQ(compile_wavetable(events, 4).at("a"), (Table{0, 0, 0, 1}));
}

TEST(WavetablePositions, SamplePointsAreExactFractionsOfTheTable) {
    // k / 3 in doubles: the breakpoint at 1/3 (rounded the same way) is reached at k = 1.
    const std::vector<Event<>> events{control_at(1, 3, "a", 1.0f), control_at(2, 3, "a", 2.0f)};
    EXPECT_EQ(compile_wavetable(events, 3).at("a"), (Table{0, 1, 2}));
    EXPECT_EQ(compile_wavetable(events, 6).at("a"), (Table{0, 0, 1, 1, 2, 2}));
}

TEST(WavetableValues, ValuesAreCopiedBitExact) {
    const std::vector<Event<>> events{control_at(0, 1, "a", -0.1f), control_at(1, 2, "a", 3.4e38f)};
    EXPECT_EQ(compile_wavetable(events, 2).at("a"), (Table{-0.1f, 3.4e38f}));
}

TEST(WavetableInput, InputIsLeftUntouched) {
    const std::vector<Event<>> events{control_at(3, 4, "a", 1.0f), control_at(1, 4, "a", 2.0f)};
    const std::vector<Event<>> copy = events;
    (void)compile_wavetable(events, 4);
    EXPECT_EQ(events, copy);
}

TEST(WavetableInput, LargeTableWithManyBreakpoints) {
    std::vector<Event<>> events;
    for (std::int64_t i = 0; i < 64; ++i) {
        events.push_back(control_at(i, 64, "a", static_cast<float>(i)));
    }
    const Table table = compile_wavetable(events, 4096).at("a");
    ASSERT_EQ(table.size(), 4096u);
    for (std::size_t k = 0; k < table.size(); ++k) {
        ASSERT_EQ(table[k], static_cast<float>(k / 64)) << k;
    }
}

}  // namespace
