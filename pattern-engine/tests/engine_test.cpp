#include "pattern_engine/engine.hpp"

#include <gtest/gtest.h>
#include <malloc.h>

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <ctime>
#include <iterator>

#include "ir_builders.hpp"
#include "pattern_engine/ir/compile.hpp"
#include "support/log.hpp"

namespace {

using namespace ir_builders;
using namespace std::chrono_literals;
using namespace pattern_engine::engine;
using Played = std::vector<std::pair<std::int64_t, int>>;  // (due in ms, key)

// At 120 bpm and 4 beats per cycle (2 s cycles) with a 100 ms lookahead, on a clock the test
// moves by hand; warnings go to `log`.
class EngineTest : public ::testing::Test {
protected:
    const Instant origin = Instant{} + 1000s;
    Instant now = origin;
    Engine engine = make(120.0, 4.0);
    std::string log;

    void SetUp() override {
        support::log::init_with("warn", support::log::Style::Never,
                                [this](std::string_view line) { log += line; });
    }
    void TearDown() override { support::log::reset(); }
    Engine make(double bpm, double beats) {
        return Engine{100ms, bpm, beats, [this] { return now; }};
    }
    void set(std::string slot, const ir::IrNode& tree, bool from_zero = false) {
        auto p = *ir::compile::compile(tree);
        if (from_zero) return engine.apply(command::SetPatternFromZero{std::move(slot), p});
        engine.apply(command::SetPattern{std::move(slot), std::move(p)});
    }
    // Fills at `t` and drains everything queued, sorted.
    Played fill_at(std::chrono::milliseconds t) {
        engine.fill(now = origin + t);
        Played out;
        for (const auto& e : engine.drain(Instant::max()))
            out.emplace_back((e.due - origin) / 1ms, std::get<0>(e.event.value).note);
        std::sort(out.begin(), out.end());
        return out;
    }
};

TEST_F(EngineTest, SlotsStartAtCycleBoundariesAndEachOnsetIsQueuedOnce) {
    EXPECT_EQ(fill_at(0ms), Played{});
    EXPECT_TRUE(engine.fill_control_curves(now, 8).empty());
    set("a", note(1));
    set("b", slow(2, 1, note(2)));  // continued into odd cycles, never queued again
    EXPECT_EQ(fill_at(1899ms), Played{});
    EXPECT_EQ(fill_at(1900ms), (Played{{2000, 1}}));  // a start at the horizon is in
    EXPECT_EQ(fill_at(1950ms), Played{});
    engine.fill(now = origin + 3950ms);
    now = origin + 4500ms;  // a replaced pattern plays from now on; other slots keep theirs
    set("a", cat(note(60), note(62), note(64), note(67)));
    EXPECT_EQ(fill_at(4500ms), (Played{{4000, 2}, {4500, 62}, {5000, 64}, {5500, 67}}));
}

TEST_F(EngineTest, SetPatternFromZeroStartsThePatternAtTheCurrentCycleAndATempoChangeAtZero) {
    // Pattern cycle 0 plays note 1 at its start and note 2 at 2/3, cycle 1 note 3 at 1/3.
    const auto p = slow(4, 1, cat(note(1), note(2), note(3), note(4), note(5), note(6)));
    set("b", note(99));
    now = origin + 10600ms;  // cycle 5, begun at 10 s
    set("a", p, true);       // new: pattern cycle 1 from the next boundary on
    set("b", p, true);       // known: pattern cycle 0 now, from 10.6 s on
    EXPECT_EQ(fill_at(10600ms), (Played{{11333, 2}}));
    EXPECT_EQ(fill_at(11950ms), (Played{{12666, 3}, {12666, 3}}));
    // Every slot starts again at its pattern cycle 0, now.
    engine.apply(command::SetBpm{60.0});
    EXPECT_EQ(fill_at(11950ms), (Played{{11950, 1}, {11950, 1}, {14616, 2}, {14616, 2}}));
}

TEST_F(EngineTest, HushSilencesOneSlotAndLeavesTheQueueInOrder) {
    set("a", fast(16, 1, note(1)));
    set("b", fast(5, 1, note(2)));
    set("c", fast(7, 1, note(3)));
    engine.fill(now = origin + 1950ms);
    engine.apply(command::Hush{"b"});
    engine.apply(command::Hush{"nobody"});
    std::vector<TimedEvent> events;
    for (auto until : {1999ms, 2000ms, 3999ms, 4000ms, 5999ms}) {
        if (until == 4000ms) engine.fill(now = origin + 3950ms);
        std::ranges::copy(engine.drain(origin + until), std::back_inserter(events));
    }
    EXPECT_EQ(events.size(), 2u * (16 + 7));
    EXPECT_TRUE(std::is_sorted(events.begin(), events.end(),
                               [](const auto& x, const auto& y) { return x.due < y.due; }));
    for (const auto& [name, playing] : engine.slot_info())
        EXPECT_EQ(playing, name != "b") << name;
    engine.apply(command::HushAll{});
    EXPECT_EQ(fill_at(5950ms), Played{});
}

TEST_F(EngineTest, OnlyAFiniteTempoChangeOfAtLeastTheEpsilonRestartsTheClock) {
    const std::tuple<double, double, bool> cases[] = {
        {120, 120, false},     {120, 0, false},       {120, -5, false},
        {120, NAN, false},     {120, INFINITY, false}, {0.01, 0.01 + 1e-17, false},
        {1, 1 + DBL_EPSILON, true}, {120, 60, true}};
    for (const auto& [from, to, changes] : cases) {
        for (bool bpm : {true, false}) {
            engine = bpm ? make(from, 4.0) : make(120.0, from);
            set("a", note(1));
            engine.fill(now = origin + 1950ms);
            const auto queued = engine.earliest_due();
            engine.apply(bpm ? EngineCommand{command::SetBpm{to}} : command::SetBeatsPerCycle{to});
            EXPECT_EQ(bpm ? engine.bpm() : engine.clock().beats_per_cycle, changes ? to : from);
            EXPECT_EQ(engine.clock().origin, changes ? now : origin) << from << " to " << to;
            EXPECT_EQ(engine.earliest_due(), changes ? std::nullopt : queued);
            now = origin;
        }
    }
}

TEST_F(EngineTest, ControlOnlySlotsGiveCurvesNotEvents) {
    set("lfo", cat(control("x"), control("x")));
    set("notes", note(60));
    EXPECT_EQ(fill_at(1950ms), (Played{{2000, 60}}));
    const auto curves = engine.fill_control_curves(now, 4);
    ASSERT_EQ(curves.size(), 1u);
    EXPECT_EQ(std::tie(curves[0].label, curves[0].samples, curves[0].start, curves[0].slot),
              std::tuple("x", std::vector<float>(4, 0.5f), origin + 2s, 0u));
    EXPECT_TRUE(engine.fill_control_curves(now, 4).empty());  // each cycle once
    set("lfo", note(61));  // now served by fill
    EXPECT_EQ(fill_at(3950ms), (Played{{4000, 60}, {4000, 61}}));
    EXPECT_TRUE(engine.fill_control_curves(now, 4).empty());
}

TEST_F(EngineTest, ASlotThatDoesNotFitInAPassWaitsForTheNext) {
    set("a", fast(5000, 1, note(1)));
    set("b", fast(5000, 1, note(2)));
    engine.fill(now = origin + 1950ms);
    EXPECT_EQ(fill_at(1950ms).size(), 10000u);
    EXPECT_EQ(log, "");
}

// Cycles of 8 x `fast` notes in each of `slots` slots, filled and drained once a millisecond:
// every event plays at its exact instant while passes can fill a cycle before it falls due,
// also after the slots are set again in mid-cycle; past that, within a cycle or over several,
// only what was not filled in time is dropped and the slot is named once.
TEST_F(EngineTest, ADenseCycleIsCutOnlyWhereItCannotBeFilledBeforeItFallsDue) {
    const auto dense = [](std::int64_t by, std::uint8_t low) {
        return fast(by, 1,
                    cat(note(low), note(low + 1), note(low + 2), note(low + 3), note(low + 4),
                        note(low + 5), note(low + 6), note(low + 7)));
    };
    const struct {
        double bpm;
        std::int64_t fast;
        std::size_t slots;
        std::int64_t cycles;              // played from cycle 1 on
        std::chrono::milliseconds again;  // when the slots are set again, 10 keys up; 0: never
        bool whole;
    } cases[] = {{120, 512, 1, 3, 0ms, true},
                 {120, 512, 4, 3, 0ms, true},
                 {120, 512, 1, 3, 5300ms, true},
                 {60'000, 4096, 1, 1, 0ms, false},
                 {480'000, 512, 1, 40, 0ms, false}};
    using Heard = std::vector<std::tuple<Instant, std::size_t, int>>;  // (due, slot, key)
    for (const auto& c : cases) {
        log.clear();
        now = origin;
        engine = make(c.bpm, 4.0);
        for (std::size_t i = 0; i < c.slots; ++i)
            set("dense" + std::to_string(i), dense(c.fast, 60));
        const Instant again = c.again > 0ms ? origin + c.again : Instant::max();
        const double cycle_s = 240.0 / c.bpm;
        Heard expected;
        const std::int64_t per_cycle = 8 * c.fast;
        for (std::int64_t n = per_cycle; n < per_cycle * (c.cycles + 1); ++n) {
            const Instant due = *engine.clock().instant_after(double(n) / per_cycle * cycle_s);
            for (std::size_t i = 0; i < c.slots; ++i)
                expected.emplace_back(due, i, (due < again ? 60 : 70) + n % 8);
        }
        const Instant end = *engine.clock().cycle_start_instant(c.cycles + 1);
        Heard heard;
        for (; now < end; now += 1ms) {
            for (std::size_t i = 0; now == again && i < c.slots; ++i)
                set("dense" + std::to_string(i), dense(c.fast, 70));
            engine.fill(now);
            for (const auto& e : engine.drain(now + 100ms)) {
                const int key = std::get<0>(e.event.value).note;
                // Drained ahead before the slot was set again.
                if (e.due < end && (key >= 70 || e.due < again))
                    heard.emplace_back(e.due, e.slot, key);
            }
        }
        std::sort(expected.begin(), expected.end());
        std::sort(heard.begin(), heard.end());
        EXPECT_TRUE(std::includes(expected.begin(), expected.end(), heard.begin(), heard.end()));
        EXPECT_EQ(heard.size() == expected.size(), c.whole)
            << heard.size() << " of " << expected.size() << " at " << c.bpm;
        EXPECT_EQ(log.find("slot \"dense0\" asks for more work") == std::string::npos, c.whole)
            << log;
        EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), c.whole ? 0 : 1) << log;
    }
}

// Slots are never removed: a pass costs what the playing slots cost, not every name ever set.
TEST_F(EngineTest, HushedSlotsCostNothingPerPassAndPlayWhenSetAgain) {
    const auto p = *ir::compile::compile(fast(2, 1, note(9)));
    constexpr int kEach = 50'000;
    for (int i = 0; i < kEach; ++i)
        engine.apply(command::SetPattern{"x" + std::to_string(i), p});
    engine.apply(command::HushAll{});
    for (int i = 0; i < kEach; ++i)
        engine.apply(command::SetPattern{"h" + std::to_string(i), p});
    for (int i = 0; i < kEach; ++i)
        engine.apply(command::Hush{"h" + std::to_string(i)});
    set("a", fast(4, 1, note(1)));
    Played heard;
    // Two cycles of passes 1 ms apart; each visiting the hushed slots took milliseconds.
    const std::clock_t cpu = std::clock();
    for (; now < origin + 4s; now += 1ms) {
        engine.fill(now);
        EXPECT_TRUE(engine.fill_control_curves(now, 8).empty());
        for (const auto& e : engine.drain(now + 100ms))
            heard.emplace_back((e.due - origin) / 1ms, std::get<0>(e.event.value).note);
    }
    EXPECT_LT(double(std::clock() - cpu) / CLOCKS_PER_SEC, 0.5);
    EXPECT_EQ(heard, (Played{{2000, 1}, {2500, 1}, {3000, 1}, {3500, 1}, {4000, 1}}));
    // A hushed slot set again plays from the current cycle on.
    set("h7", note(2));
    EXPECT_EQ(fill_at(4000ms), (Played{{4000, 2}, {4500, 1}, {5000, 1}, {5500, 1}}));
}

// Hostile requests: each pass stays within its time and memory (the heap outside sanitizer
// builds) and the slot cut short is named once.
TEST_F(EngineTest, EveryPassIsBoundedWhateverTheRequests) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__) || !defined(NDEBUG)
    const double pass_limit = 0.2;  // instrumented builds run several times slower
#else
    const double pass_limit = 0.03;  // about 10 ms of work, with room for a loaded machine
#endif
    const struct {
        double bpm;
        ir::IrNode pattern;
        std::size_t table_size = 1, slots = 1;
    } cases[] = {
        {1e6, fast(65536, 1, note(1))}, {1e9, fast(262144, 1, note(1))},
        {1e9, fast(262144, 1, control("x"))}, {60, stack(control("x"), control("y")), 1ull << 40},
        {60, fast(8000, 1, note(1)), 1, 80},  // a queue of many seconds' events
        {1e300, note(1)}, {1e-300, note(1)}, {5e-324, note(1)}};
    for (const auto& c : cases) {
        log.clear();
        engine = make(120.0, 4.0);
        for (std::size_t i = 0; i < c.slots; ++i)
            set("absurd" + (i ? std::to_string(i) : ""), c.pattern);
        engine.apply(command::SetBpm{c.bpm});
        const std::size_t held_before = mallinfo2().uordblks + mallinfo2().hblkhd;
        for (int pass = 0; pass < 100; ++pass, now += 1ms) {
            const std::clock_t cpu = std::clock();
            engine.fill(now);
            const auto curves = engine.fill_control_curves(now, c.table_size);
            const auto events = engine.drain(now + 100ms);
            EXPECT_LT(double(std::clock() - cpu) / CLOCKS_PER_SEC, pass_limit) << c.bpm;
            EXPECT_LT(mallinfo2().uordblks + mallinfo2().hblkhd, held_before + (64 << 20));
            // A slot that cannot keep up skips what is past instead of lagging ever further.
            EXPECT_GE(curves.empty() ? now : curves.back().start + 1ms, now) << c.bpm;
        }
        const bool cut = (c.bpm > 1e5 && c.bpm < 1e10) || c.table_size > 1;
        EXPECT_EQ(log.rfind("slot \"absurd\" asks for more work"),
                  cut ? log.find("slot ") : std::string::npos) << log;
        now = origin;
    }
}

// At a tempo whose cycles are shorter than a pass an absurd slot always has a cycle due. The
// others may lose what falls due during its first turn, nothing after.
TEST_F(EngineTest, AnAbsurdSlotDoesNotStarveTheOthers) {
    Played alone;
    for (bool absurd : {false, true}) {
        log.clear();
        engine = make(120.0, 4.0);
        if (absurd) set("absurd", fast(1 << 20, 1, note(1)));
        set("drums", stack(fast(4, 1, note(36)), note(38)));
        set("curve", fast(2, 1, control("x")));
        if (absurd) set("absurd curve", fast(1 << 20, 1, control("x")));
        engine.apply(command::SetBpm{1e6});
        Played heard;  // (start or due in µs, 1 for curves, 2 for drums)
        for (; now < origin + 200ms; now += 1ms) {
            engine.fill(now);
            for (const auto& c : engine.fill_control_curves(now, 1))
                heard.emplace_back((c.start - origin) / 1us, engine.slot_name(c.slot) == "curve");
            for (const auto& e : engine.drain(now + 100ms))
                heard.emplace_back((e.due - origin) / 1us, 2 * (engine.slot_name(e.slot) == "drums"));
        }
        std::erase_if(heard, [](auto& e) { return !e.second || e.first < 2000 || e.first > 250000; });
        std::sort(heard.begin(), heard.end());
        if (!absurd) alone = heard;
        EXPECT_EQ(heard, alone);
        EXPECT_GT(heard.size(), 5000u);
        EXPECT_EQ(log.find("slot \"absurd\"") < log.find("slot \"absurd curve\""), absurd);
        EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), absurd ? 2 : 0) << log;
        now = origin;
    }
    set("absurd", fast(1 << 20, 1, note(2)));  // set again: its next cut is named again
    log.clear();
    for (int pass = 0; pass < 4; ++pass, now += 1ms)
        engine.fill(now);
    EXPECT_NE(log.find("slot \"absurd\""), std::string::npos);
}

}  // namespace
