#include "pattern_engine/engine.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <limits>
#include <memory>

#include "ir_builders.hpp"
#include "pattern_engine/ir/compile.hpp"

namespace {

using namespace ir_builders;
using namespace std::chrono_literals;
namespace engine = pattern_engine::engine;
namespace cmd = pattern_engine::engine::command;
using engine::Engine;
using engine::Instant;
using pattern_engine::event::Control;
using pattern_engine::event::Note;
using pattern_engine::pattern::CompiledPattern;

CompiledPattern compiled(const ir::IrNode& root) {
    auto p = ir::compile::compile(root);
    EXPECT_TRUE(p.has_value());
    return p ? std::move(*p) : CompiledPattern{};
}

std::uint8_t key_of(const engine::TimedEvent& e) {
    return std::get<Note>(e.event.value).note;
}

// An engine at 120 bpm and 4 beats per cycle (2 s cycles) with a 100 ms lookahead, on a clock
// that the test moves by hand.
class EngineTest : public ::testing::Test {
protected:
    const Instant origin = Instant{} + 1000s;
    std::shared_ptr<Instant> now = std::make_shared<Instant>(origin);
    Engine engine{100ms, 120.0, 4.0, [clock = now] { return *clock; }};

    Instant at(std::chrono::nanoseconds t) const { return origin + t; }
    void set_now(std::chrono::nanoseconds t) { *now = at(t); }
    void set(std::string slot, const ir::IrNode& tree) {
        engine.apply(cmd::SetPattern{std::move(slot), compiled(tree)});
    }
    void set_from_zero(std::string slot, const ir::IrNode& tree) {
        engine.apply(cmd::SetPatternFromZero{std::move(slot), compiled(tree)});
    }
    // Fills at the current instant and drains everything queued.
    std::vector<engine::TimedEvent> fill_and_drain_all() {
        engine.fill(*now);
        return engine.drain(Instant::max());
    }
};

TEST_F(EngineTest, NothingBeforeTheFirstCommand) {
    engine.fill(*now);
    EXPECT_TRUE(engine.fill_control_curves(*now, 8).empty());
    EXPECT_TRUE(engine.drain(Instant::max()).empty());
    EXPECT_FALSE(engine.earliest_due().has_value());
}

TEST_F(EngineTest, NewSlotStartsAtTheNextCycleBoundary) {
    set_now(3s);
    set("a", note(60));
    engine.fill(*now);  // the horizon 3.1 s is before the next cycle at 4 s
    EXPECT_FALSE(engine.earliest_due().has_value());

    // A cycle that starts exactly at now + lookahead is filled in that pass.
    set_now(3900ms);
    engine.fill(*now);
    ASSERT_EQ(engine.earliest_due(), at(4s));
    auto events = engine.drain(at(4s));
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].due, at(4s));
    EXPECT_EQ(events[0].slot, 0u);
    EXPECT_EQ(key_of(events[0]), 60);
}

TEST_F(EngineTest, ReplacedPatternStartsAtTheCurrentCycle) {
    set_now(1s);
    set("a", note(1));
    set_now(3s);
    set("a", cat(note(60), note(62), note(64), note(67)));
    // Cycle 1 began at 2 s: its events before 3 s are past, the one at 3 s is not.
    const auto events = fill_and_drain_all();
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].due, at(3s));
    EXPECT_EQ(key_of(events[0]), 64);
    EXPECT_EQ(events[1].due, at(3500ms));
    EXPECT_EQ(key_of(events[1]), 67);
}

TEST_F(EngineTest, SetPatternFromZeroOnANewName) {
    // Pattern cycle 0 plays note 1, every other cycle note 2.
    set_now(10600ms);  // cycle 5
    set_from_zero("a", every(2, note(1), note(2)));
    set_now(11950ms);
    const auto events = fill_and_drain_all();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].due, at(12s));
    EXPECT_EQ(key_of(events[0]), 2);  // pattern cycle 1
}

TEST_F(EngineTest, SetPatternFromZeroOnAKnownName) {
    set_now(1s);
    set("a", note(99));
    set_now(10600ms);
    set_from_zero("a", cat(every(2, note(1), note(2)), note(3), note(4), note(5)));
    const auto events = fill_and_drain_all();
    // Pattern cycle 0 for the real cycle that began at 10 s, from 10.6 s on.
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].due, at(11s));
    EXPECT_EQ(key_of(events[0]), 4);
    EXPECT_EQ(events[1].due, at(11500ms));
    EXPECT_EQ(key_of(events[1]), 5);
}

TEST_F(EngineTest, ContinuationFragmentsAreNeverQueuedAgain) {
    set("a", slow(2, 1, note(60)));
    // Cycles 1 to 4, each filled as it comes within the lookahead. Every event spans two
    // cycles and is queued once, at its onset; cycle 1 only continues the event of cycle 0.
    for (auto t : {1950ms, 3950ms, 5950ms, 7950ms}) {
        set_now(t);
        engine.fill(*now);
    }
    const auto events = engine.drain(Instant::max());
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].due, at(4s));
    EXPECT_EQ(events[1].due, at(8s));
}

TEST_F(EngineTest, EachCycleIsQueriedOnce) {
    set("a", note(60));
    for (auto t : {1950ms, 1960ms, 1999ms, 2000ms}) {
        set_now(t);
        engine.fill(*now);
    }
    EXPECT_EQ(engine.drain(Instant::max()).size(), 1u);
}

TEST_F(EngineTest, DrainHandsOutEverythingDueInOrder) {
    set("a", stack(note(1), note(2), note(3)));
    set("b", cat(note(4), note(5)));
    set_now(1950ms);
    engine.fill(*now);
    EXPECT_TRUE(engine.drain(at(1999ms)).empty());
    const auto first = engine.drain(at(2s));
    EXPECT_EQ(first.size(), 4u);  // three of "a" and one of "b", all due at 2 s
    for (const auto& e : first)
        EXPECT_EQ(e.due, at(2s));
    EXPECT_EQ(engine.earliest_due(), at(3s));
    const auto second = engine.drain(Instant::max());
    ASSERT_EQ(second.size(), 1u);
    EXPECT_EQ(key_of(second[0]), 5);
    EXPECT_EQ(second[0].slot, *engine.slot_idx("b"));
}

TEST_F(EngineTest, HushRemovesOnlyThatSlotsEvents) {
    set("a", note(1));
    set("b", note(2));
    set_now(1950ms);
    engine.fill(*now);
    engine.apply(cmd::Hush{"a"});
    auto events = engine.drain(Instant::max());
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(key_of(events[0]), 2);

    engine.apply(cmd::Hush{"nobody"});  // unknown: nothing happens
    EXPECT_FALSE(engine.slot_idx("nobody").has_value());

    set_now(3950ms);
    engine.fill(*now);
    engine.apply(cmd::HushAll{});
    EXPECT_TRUE(engine.drain(Instant::max()).empty());
    for (const auto& [name, playing] : engine.slot_info())
        EXPECT_FALSE(playing) << name;
    // Names and indices survive a hush; setting the name again reuses its slot.
    set("a", note(7));
    EXPECT_EQ(engine.slot_idx("a"), 0u);
}

TEST_F(EngineTest, SlotNamesAndInfo) {
    set("a", note(1));
    set("b", silence());
    EXPECT_EQ(engine.slot_name(0), "a");
    EXPECT_EQ(engine.slot_name(1), "b");
    EXPECT_EQ(engine.slot_name(2), "?");
    auto info = engine.slot_info();
    std::sort(info.begin(), info.end());
    ASSERT_EQ(info.size(), 2u);
    EXPECT_EQ(info[0], (std::pair<std::string, bool>{"a", true}));
    EXPECT_EQ(info[1], (std::pair<std::string, bool>{"b", false}));
}

TEST_F(EngineTest, TempoChangesThatAreNoChangeAreIgnored) {
    set("a", note(1));
    set_now(1950ms);
    engine.fill(*now);
    set_now(2500ms);
    constexpr double inf = std::numeric_limits<double>::infinity();
    for (double bpm : {120.0, 0.0, -5.0, std::nan(""), inf, -inf}) {
        engine.apply(cmd::SetBpm{bpm});
        engine.apply(cmd::SetBeatsPerCycle{bpm == 120.0 ? 4.0 : bpm});
    }
    EXPECT_EQ(engine.bpm(), 120.0);
    EXPECT_EQ(engine.clock().beats_per_cycle, 4.0);
    EXPECT_EQ(engine.clock().origin, origin);
    EXPECT_EQ(engine.earliest_due(), at(2s));  // the queue is untouched

    // A difference below the float epsilon is no change either.
    engine.apply(cmd::SetBpm{0.001});
    const Instant changed = engine.clock().origin;
    set_now(2600ms);
    engine.apply(cmd::SetBpm{0.001 + 1e-17});
    EXPECT_EQ(engine.bpm(), 0.001);
    EXPECT_EQ(engine.clock().origin, changed);
}

TEST_F(EngineTest, TempoChangeRestartsEverySlotAtCycleZero) {
    set("a", every(2, note(1), note(2)));
    set_now(10600ms);
    set_from_zero("b", every(3, note(3), note(4)));
    set_now(11950ms);
    engine.fill(*now);
    ASSERT_TRUE(engine.earliest_due().has_value());

    set_now(12500ms);
    engine.apply(cmd::SetBpm{60.0});
    EXPECT_FALSE(engine.earliest_due().has_value());
    EXPECT_EQ(engine.clock().origin, at(12500ms));
    EXPECT_EQ(engine.clock().cycle_seconds(), 4.0);

    auto events = fill_and_drain_all();
    ASSERT_EQ(events.size(), 2u);
    std::sort(events.begin(), events.end(),
              [](const auto& x, const auto& y) { return key_of(x) < key_of(y); });
    // Both slots play their pattern cycle 0 at the instant of the change.
    EXPECT_EQ(key_of(events[0]), 1);
    EXPECT_EQ(key_of(events[1]), 3);
    EXPECT_EQ(events[0].due, at(12500ms));
    EXPECT_EQ(events[1].due, at(12500ms));
}

TEST_F(EngineTest, ControlOnlySlotsGiveCurvesNotEvents) {
    set("lfo", cat(control("cutoff"), control("cutoff")));
    set("notes", note(60));
    set_now(1950ms);
    engine.fill(*now);
    const auto events = engine.drain(Instant::max());
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].slot, *engine.slot_idx("notes"));

    const auto curves = engine.fill_control_curves(*now, 4);
    ASSERT_EQ(curves.size(), 1u);
    EXPECT_EQ(curves[0].label, "cutoff");
    EXPECT_EQ(curves[0].samples, (std::vector<float>{0.5f, 0.5f, 0.5f, 0.5f}));
    EXPECT_EQ(curves[0].start, at(2s));
    EXPECT_EQ(curves[0].slot, *engine.slot_idx("lfo"));
    // Each cycle once.
    EXPECT_TRUE(engine.fill_control_curves(*now, 4).empty());

    // Switching the slot to notes moves it over to fill.
    set("lfo", note(61));
    set_now(3950ms);
    engine.fill(*now);
    EXPECT_EQ(engine.drain(Instant::max()).size(), 2u);
    EXPECT_TRUE(engine.fill_control_curves(*now, 4).empty());
}

TEST_F(EngineTest, AbsurdTempoDoesNotStallTheLoop) {
    set("a", note(60));
    engine.apply(cmd::SetBpm{1e300});
    const auto start = std::chrono::steady_clock::now();
    for (int pass = 0; pass < 3; ++pass) {
        engine.fill(*now);
        engine.drain(Instant::max());
    }
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);

    // So tiny a tempo that cycle starts leave the instant range: the slot just stays silent.
    engine.apply(cmd::SetBpm{1e-300});
    set_now(1h);
    engine.fill(*now);
    EXPECT_TRUE(engine.drain(Instant::max()).size() <= 1u);
}

}  // namespace
