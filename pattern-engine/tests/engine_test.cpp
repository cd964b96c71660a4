#include "pattern_engine/engine.hpp"

#include <gtest/gtest.h>
#include <malloc.h>
#include <time.h>

#include <algorithm>
#include <cfloat>
#include <chrono>
#include <cmath>
#include <memory>

#include "ir_builders.hpp"
#include "pattern_engine/ir/compile.hpp"
#include "support/log.hpp"
#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/allocator_interface.h>
#endif

namespace {

using namespace ir_builders;
using namespace std::chrono_literals;
namespace engine = pattern_engine::engine;
namespace cmd = pattern_engine::engine::command;
using engine::Engine;
using engine::Instant;
using pattern_engine::event::Note;

std::uint8_t key_of(const engine::TimedEvent& e) {
    return std::get<Note>(e.event.value).note;
}

// Bytes the process holds on the heap.
std::size_t heap_in_use() {
#if defined(__SANITIZE_ADDRESS__)
    return __sanitizer_get_current_allocated_bytes();
#else
    const auto m = mallinfo2();
    return m.uordblks + m.hblkhd;
#endif
}

std::chrono::nanoseconds thread_cpu_time() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return std::chrono::seconds(t.tv_sec) + std::chrono::nanoseconds(t.tv_nsec);
}

// An engine at 120 bpm and 4 beats per cycle (2 s cycles) with a 100 ms lookahead, on a clock
// that the test moves by hand; warnings go to `log`.
class EngineTest : public ::testing::Test {
protected:
    const Instant origin = Instant{} + 1000s;
    std::shared_ptr<Instant> now = std::make_shared<Instant>(origin);
    Engine engine = make(120.0, 4.0);
    std::string log;

    void SetUp() override {
        support::log::init_with("warn", support::log::Style::Never,
                                [this](std::string_view line) { log += line; });
    }
    void TearDown() override { support::log::reset(); }

    Engine make(double bpm, double beats) const {
        return Engine{100ms, bpm, beats, [clock = now] { return *clock; }};
    }
    Instant at(std::chrono::nanoseconds t) const { return origin + t; }
    void set_now(std::chrono::nanoseconds t) { *now = at(t); }
    void set(std::string slot, const ir::IrNode& tree, bool from_zero = false) {
        auto p = ir::compile::compile(tree);
        ASSERT_TRUE(p.has_value());
        if (from_zero) return engine.apply(cmd::SetPatternFromZero{std::move(slot), *p});
        engine.apply(cmd::SetPattern{std::move(slot), std::move(*p)});
    }
    // Fills at the current instant and drains everything queued.
    std::vector<engine::TimedEvent> fill_and_drain_all() {
        engine.fill(*now);
        return engine.drain(Instant::max());
    }
    using Played = std::vector<std::pair<Instant, int>>;
    // (due, key) of each event, in drain order.
    static Played played(const std::vector<engine::TimedEvent>& v) {
        Played out;
        for (const auto& e : v)
            out.emplace_back(e.due, key_of(e));
        return out;
    }
};

TEST_F(EngineTest, NewSlotStartsAtTheNextCycleBoundary) {
    EXPECT_TRUE(fill_and_drain_all().empty());
    EXPECT_TRUE(engine.fill_control_curves(*now, 8).empty());
    set_now(3s);
    set("a", note(60));
    engine.fill(*now);  // the horizon 3.1 s is before the next cycle at 4 s
    EXPECT_FALSE(engine.earliest_due().has_value());
    // A cycle that starts exactly at now + lookahead is filled in that pass.
    set_now(3900ms);
    EXPECT_EQ(played(fill_and_drain_all()), (Played{{at(4s), 60}}));
}

TEST_F(EngineTest, ReplacedPatternDropsOnlyItsOwnQueuedEvents) {
    set("a", note(1));
    set("b", note(2));
    set_now(1950ms);
    engine.fill(*now);
    set_now(3s);  // cycle 1 began at 2 s; its events before 3 s are past
    set("a", cat(note(60), note(62), note(64), note(67)));
    EXPECT_EQ(played(fill_and_drain_all()),
              (Played{{at(2s), 2}, {at(3s), 64}, {at(3500ms), 67}}));
}

TEST_F(EngineTest, SetPatternFromZeroStartsThePatternAtTheCurrentCycle) {
    // Pattern cycle k plays notes 2k + 1 and 2k + 2.
    const auto p = slow(4, 1, cat(note(1), note(2), note(3), note(4), note(5), note(6), note(7), note(8)));
    set("b", note(99));
    set_now(10600ms);  // cycle 5, begun at 10 s
    set("a", p, true);  // new: pattern cycle 1 from the next boundary on
    set("b", p, true);  // known: pattern cycle 0 now, from 10.6 s on
    engine.fill(*now);
    set_now(11950ms);
    auto events = played(fill_and_drain_all());
    std::sort(events.begin(), events.end());
    EXPECT_EQ(events, (Played{{at(11s), 2}, {at(12s), 3}, {at(12s), 3}, {at(13s), 4}, {at(13s), 4}}));
}

TEST_F(EngineTest, EachOnsetIsQueuedOnceAsItsCycleComesWithinTheLookahead) {
    set("a", slow(2, 1, note(60)));
    // Every event spans two cycles; cycle 1 only continues the event of cycle 0.
    for (auto t : {1950ms, 1960ms, 2000ms, 3950ms, 5950ms, 7950ms}) {
        set_now(t);
        engine.fill(*now);
    }
    EXPECT_EQ(played(engine.drain(Instant::max())),
              (Played{{at(4s), 60}, {at(8s), 60}}));
}

TEST_F(EngineTest, HushSilencesOneSlotAndTheQueueStaysInOrder) {
    set("a", fast(16, 1, note(1)));
    set("b", fast(5, 1, note(2)));
    set("c", fast(7, 1, note(3)));
    set_now(1950ms);
    engine.fill(*now);
    engine.apply(cmd::Hush{"b"});
    engine.apply(cmd::Hush{"nobody"});
    EXPECT_EQ(engine.drain(at(1999ms)).size(), 0u);
    auto events = engine.drain(at(2s));
    EXPECT_EQ(events.size(), 2u);  // "a" and "c" both due at 2 s
    set_now(3950ms);
    engine.fill(*now);
    for (const auto& batch : {engine.drain(at(4s) - 1ns), engine.drain(Instant::max())})
        events.insert(events.end(), batch.begin(), batch.end());
    EXPECT_EQ(events.size(), 2u * (16 + 7));
    EXPECT_TRUE(std::is_sorted(events.begin(), events.end(),
                               [](const auto& x, const auto& y) { return x.due < y.due; }));
    EXPECT_TRUE(std::none_of(events.begin(), events.end(), [](auto& e) { return e.slot == 1; }));

    auto info = engine.slot_info();
    std::sort(info.begin(), info.end());
    EXPECT_EQ(info, (decltype(info){{"a", true}, {"b", false}, {"c", true}}));
    EXPECT_EQ(engine.slot_name(1), "b");
    EXPECT_EQ(engine.slot_name(3), "?");
    engine.apply(cmd::HushAll{});
    set_now(5950ms);
    EXPECT_TRUE(fill_and_drain_all().empty());
    set("b", note(7));  // names survive a hush
    EXPECT_EQ(engine.slot_idx("b"), 1u);
}

TEST_F(EngineTest, OnlyAFiniteTempoChangeOfAtLeastTheEpsilonRestartsTheClock) {
    constexpr double inf = INFINITY;
    const struct {
        double from, to;
        bool changes;
    } cases[] = {{120, 120, false}, {120, 0, false},   {120, -5, false},
                 {120, NAN, false}, {120, inf, false}, {120, -inf, false},
                 {0.001, 0.001 + 1e-17, false},  {1, 1 + DBL_EPSILON, true},
                 {120, 60, true}};
    for (const auto& c : cases) {
        for (bool bpm : {true, false}) {
            set_now(0s);
            engine = bpm ? make(c.from, 4.0) : make(120.0, c.from);
            set_now(1950ms);
            set("a", note(1));
            engine.fill(*now);
            const auto queued = engine.earliest_due();
            set_now(1990ms);
            if (bpm) engine.apply(cmd::SetBpm{c.to});
            if (!bpm) engine.apply(cmd::SetBeatsPerCycle{c.to});
            const double value = bpm ? engine.bpm() : engine.clock().beats_per_cycle;
            EXPECT_EQ(value, c.changes ? c.to : c.from) << c.from << " to " << c.to;
            EXPECT_EQ(engine.clock().origin, c.changes ? at(1990ms) : origin);
            EXPECT_EQ(engine.earliest_due(), c.changes ? std::nullopt : queued);
        }
    }
}

TEST_F(EngineTest, TempoChangeRestartsEverySlotAtCycleZero) {
    set("a", every(2, note(1), note(2)));
    set_now(10600ms);
    set("b", every(3, note(3), note(4)), true);
    set_now(11950ms);
    engine.fill(*now);
    set_now(12500ms);
    engine.apply(cmd::SetBpm{60.0});
    auto events = played(fill_and_drain_all());
    std::sort(events.begin(), events.end());
    EXPECT_EQ(events, (Played{{at(12500ms), 1}, {at(12500ms), 3}}));
}

TEST_F(EngineTest, ControlOnlySlotsGiveCurvesNotEvents) {
    set("lfo", cat(control("cutoff"), control("cutoff")));
    set("notes", note(60));
    set_now(1950ms);
    EXPECT_EQ(played(fill_and_drain_all()), (Played{{at(2s), 60}}));
    const auto curves = engine.fill_control_curves(*now, 4);
    ASSERT_EQ(curves.size(), 1u);
    EXPECT_EQ(curves[0].label, "cutoff");
    EXPECT_EQ(curves[0].samples, (std::vector<float>{0.5f, 0.5f, 0.5f, 0.5f}));
    EXPECT_EQ(curves[0].start, at(2s));
    EXPECT_EQ(curves[0].slot, 0u);
    EXPECT_TRUE(engine.fill_control_curves(*now, 4).empty());  // each cycle once
    // Switching the slot to notes moves it over to fill.
    set("lfo", note(61));
    set_now(3950ms);
    EXPECT_EQ(fill_and_drain_all().size(), 2u);
    EXPECT_TRUE(engine.fill_control_curves(*now, 4).empty());
}

TEST_F(EngineTest, ASlotThatDoesNotFitInAPassWaitsForTheNext) {
    set("a", fast(5000, 1, note(1)));
    set("b", fast(5000, 1, note(2)));
    set_now(1950ms);
    engine.fill(*now);
    engine.fill(*now);
    EXPECT_EQ(engine.drain(Instant::max()).size(), 10000u);
    EXPECT_EQ(log, "");
}

// Hostile requests: every pass stays within its time and memory, a slot that is cut short is
// named once, and a musical slot beside it plays exactly as alone.
TEST_F(EngineTest, EveryPassIsBoundedWhateverTheRequests) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__) || !defined(NDEBUG)
    const auto pass_limit = 200ms;  // instrumented builds run several times slower
#else
    const auto pass_limit = 10ms;
#endif
    const struct {
        double bpm;
        ir::IrNode pattern;
        std::size_t table_size;
        bool cut;
        int slots = 1;
    } cases[] = {
        {1e6, fast(65536, 1, note(1)), 1, true},
        {1e9, fast(262144, 1, note(1)), 1, true},
        {1e9, fast(262144, 1, control("x")), 1, true},
        {60, stack(control("x"), control("y")), std::size_t{1} << 40, true},
        {60, fast(8000, 1, note(1)), 1, false, 80},  // a queue of many seconds' events
        {1e300, note(1), 1, false},
        {1e-300, note(1), 1, false},
        {5e-324, note(1), 1, false},
    };
    for (const auto& c : cases) {
        log.clear();
        set_now(0s);
        engine = make(120.0, 4.0);
        for (int i = 0; i < c.slots; ++i)
            set("absurd" + (i ? std::to_string(i) : ""), c.pattern);
        engine.apply(cmd::SetBpm{c.bpm});
        const std::size_t held_before = heap_in_use();
        std::chrono::nanoseconds slowest{0};
        std::size_t most_held = 0;
        for (int pass = 0; pass < 100; ++pass) {
            const auto cpu = thread_cpu_time();
            engine.fill(*now);
            const auto curves = engine.fill_control_curves(*now, c.table_size);
            const auto events = engine.drain(*now + 100ms);
            // A slot that cannot keep up skips what is past instead of lagging ever further.
            if (!curves.empty()) {
                EXPECT_GE(curves.back().start, *now - 1ms);
            }
            slowest = std::max(slowest, thread_cpu_time() - cpu);
            most_held = std::max(most_held, heap_in_use() - std::min(heap_in_use(), held_before));
            *now += 1ms;
        }
        EXPECT_LT(slowest, pass_limit) << c.bpm;
        EXPECT_LT(most_held, std::size_t{64} << 20) << c.bpm;
        EXPECT_EQ(log.find("slot \"absurd\" asks for more work"), c.cut ? log.rfind("slot ") : log.npos) << log;
    }
}

// At a tempo whose cycles are shorter than a pass, an absurd slot always has a cycle due. The
// others may lose what falls due while it has its turn, but nothing after that.
bool in_window(Instant t, Instant origin) {
    return t >= origin + 2ms && t < origin + 250ms;
}

TEST_F(EngineTest, AnAbsurdSlotDoesNotStarveTheOthers) {
    Played alone;
    std::size_t curves_alone = 0;
    for (bool with_absurd : {false, true}) {
        log.clear();
        set_now(0s);
        engine = make(120.0, 4.0);
        if (with_absurd) set("absurd", fast(1 << 20, 1, note(1)));
        set("drums", stack(fast(4, 1, note(36)), note(38)));
        set("curve", fast(2, 1, control("x")));
        if (with_absurd) set("absurd curve", fast(1 << 20, 1, control("x")));
        engine.apply(cmd::SetBpm{1e6});
        Played heard;
        std::size_t curves = 0;
        for (auto t = 0ms; t < 200ms; t += 1ms) {
            set_now(t);
            engine.fill(*now);
            for (const auto& c : engine.fill_control_curves(*now, 1))
                curves += engine.slot_name(c.slot) == "curve" && in_window(c.start, origin);
            for (const auto& e : engine.drain(*now + 100ms)) {
                if (engine.slot_name(e.slot) == "drums" && in_window(e.due, origin))
                    heard.emplace_back(e.due, key_of(e));
            }
        }
        std::sort(heard.begin(), heard.end());
        if (!with_absurd) std::tie(alone, curves_alone) = std::pair(heard, curves);
        EXPECT_EQ(heard, alone);
        EXPECT_GT(heard.size(), 4000u);
        EXPECT_EQ(curves, curves_alone);
        const bool warned = log.find("slot \"absurd\"") != std::string::npos &&
                            log.find("slot \"absurd curve\"") != std::string::npos;
        EXPECT_EQ(warned, with_absurd) << log;
        EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), with_absurd ? 2 : 0) << log;
    }
    // Setting the slot again lets its next cut be named again.
    set("absurd", fast(1 << 20, 1, note(2)));
    log.clear();
    for (int pass = 0; pass < 2; ++pass)
        engine.fill(*now);
    EXPECT_NE(log.find("slot \"absurd\""), std::string::npos);
}

}  // namespace
