#include "pattern_engine/pattern/query.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <ostream>
#include <random>
#include <string>
#include <tuple>
#include <utility>
#include <variant>
#include <vector>

#include "ir_builders.hpp"
#include "pattern_engine/ir.hpp"
#include "pattern_engine/ir/compile.hpp"
#include "pattern_engine/pattern.hpp"
#include "pattern_engine/time.hpp"

// Readable failure output; internal linkage keeps these apart from other test files' printers.
namespace pattern_engine::time {
[[maybe_unused]] static void PrintTo(const Time& t, std::ostream* os) {
    *os << t.numer();
    if (t.denom() != 1) *os << '/' << t.denom();
}
[[maybe_unused]] static void PrintTo(const Arc& a, std::ostream* os) {
    *os << '[';
    PrintTo(a.begin, os);
    *os << ", ";
    PrintTo(a.end, os);
    *os << ']';
}
}  // namespace pattern_engine::time

namespace pattern_engine::event {
[[maybe_unused]] static void PrintTo(const Value& v, std::ostream* os) {
    if (const auto* n = std::get_if<Note>(&v)) {
        *os << "note " << int{n->note};
        if (n->channel != 0 || n->velocity != 100 || n->dur != 0.25) {
            *os << " (ch " << int{n->channel} << " vel " << int{n->velocity} << " dur " << n->dur
                << ')';
        }
    } else if (const auto* c = std::get_if<Control>(&v)) {
        *os << "control " << c->label << '=' << c->value;
    } else {
        *os << "value kind " << v.index();
    }
}
[[maybe_unused]] static void PrintTo(const Event<>& e, std::ostream* os) {
    *os << "{whole ";
    if (e.whole) {
        time::PrintTo(*e.whole, os);
    } else {
        *os << "none";
    }
    *os << " part ";
    time::PrintTo(e.part, os);
    *os << ' ';
    PrintTo(e.value, os);
    *os << '}';
}
}  // namespace pattern_engine::event

namespace {

using namespace ir_builders;

namespace ir = pattern_engine::ir;
namespace pq = pattern_engine::pattern::query;
using pattern_engine::event::Control;
using pattern_engine::event::Note;
using pattern_engine::event::Value;
using pattern_engine::pattern::CompiledPattern;
using pattern_engine::time::Arc;
using pattern_engine::time::Time;
using Event = pattern_engine::event::Event<>;
using Events = pq::Events;

Time T(std::int64_t n, std::uint64_t d = 1) {
    return Time(n, d);
}
Arc A(Time b, Time e) {
    return Arc{b, e};
}
Arc A(std::int64_t b, std::int64_t e) {
    return Arc{T(b), T(e)};
}
// An event fragment; `onset` for one whose part is its whole.
Event frag(Arc whole, Arc part, Value v) {
    return Event{whole, part, std::move(v)};
}
Event onset(Arc whole, Value v) {
    return Event{whole, whole, std::move(v)};
}

const Value va = note_value(60);
const Value vb = note_value(62);
const Value vc = note_value(64);

ir::IrNode a() {
    return atom(va);
}
ir::IrNode b() {
    return atom(vb);
}
ir::IrNode c() {
    return atom(vc);
}
CompiledPattern build(const ir::IrNode& root) {
    auto p = ir::compile::compile(root);
    EXPECT_TRUE(p.has_value()) << (p ? "" : p.error().display());
    if (!p)
        return CompiledPattern{
            {pattern_engine::pattern::PatternNode{pattern_engine::pattern::node::Silence{}}},
            0,
            false};
    return std::move(*p);
}

Events run(const ir::IrNode& root, const Arc& span) {
    const CompiledPattern p = build(root);
    return pq::query(p.nodes, p.root, span);
}

// ---------------------------------------------------------------------------------------------
// Structure

TEST(QueryAtom, OneEventPerCyclePiece) {
    EXPECT_EQ(run(a(), A(0, 1)), (Events{onset(A(0, 1), va)}));
    EXPECT_EQ(run(a(), A(T(1, 2), T(3, 2))),
              (Events{frag(A(0, 1), A(T(1, 2), T(1)), va), frag(A(1, 2), A(T(1), T(3, 2)), va)}));
    EXPECT_EQ(run(a(), A(0, 3)),
              (Events{onset(A(0, 1), va), onset(A(1, 2), va), onset(A(2, 3), va)}));
    EXPECT_EQ(run(a(), A(T(-1, 2), T(1, 2))),
              (Events{frag(A(-1, 0), A(T(-1, 2), T(0)), va), frag(A(0, 1), A(T(0), T(1, 2)), va)}));
    EXPECT_EQ(run(a(), A(T(1, 3), T(2, 3))), (Events{frag(A(0, 1), A(T(1, 3), T(2, 3)), va)}));
}

TEST(QueryAtom, ZeroWidthSpanGivesOneZeroWidthFragment) {
    EXPECT_EQ(run(a(), A(1, 1)), (Events{frag(A(1, 2), A(1, 1), va)}));
    EXPECT_EQ(run(a(), A(T(1, 2), T(1, 2))), (Events{frag(A(0, 1), A(T(1, 2), T(1, 2)), va)}));
    EXPECT_EQ(run(a(), A(-3, -3)), (Events{frag(A(-3, -2), A(-3, -3), va)}));
}

TEST(QuerySilence, Nothing) {
    EXPECT_TRUE(run(silence(), A(0, 1)).empty());
    EXPECT_TRUE(run(silence(), A(-5, 5)).empty());
    EXPECT_TRUE(run(stack({silence(), silence()}), A(0, 1)).empty());
}

TEST(QueryCat, EachChildTakesItsShareOfTheCycle) {
    const ir::IrNode abc = cat({a(), b(), c()});
    EXPECT_EQ(run(abc, A(0, 1)),
              (Events{onset(A(T(0), T(1, 3)), va), onset(A(T(1, 3), T(2, 3)), vb),
                      onset(A(T(2, 3), T(1)), vc)}));
    EXPECT_EQ(
        run(abc, A(T(1, 2), T(1))),
        (Events{frag(A(T(1, 3), T(2, 3)), A(T(1, 2), T(2, 3)), vb), onset(A(T(2, 3), T(1)), vc)}));
    EXPECT_EQ(run(abc, A(T(-1, 2), T(1, 2))),
              (Events{frag(A(T(-2, 3), T(-1, 3)), A(T(-1, 2), T(-1, 3)), vb),
                      onset(A(T(-1, 3), T(0)), vc), onset(A(T(0), T(1, 3)), va),
                      frag(A(T(1, 3), T(2, 3)), A(T(1, 3), T(1, 2)), vb)}));
    EXPECT_EQ(run(cat({a()}), A(0, 2)), (Events{onset(A(0, 1), va), onset(A(1, 2), va)}));
}

TEST(QueryCat, ZeroWidthSpanTouchesNoSegment) {
    const ir::IrNode abc = cat({a(), b(), c()});
    EXPECT_TRUE(run(abc, A(T(1, 2), T(1, 2))).empty());
    EXPECT_TRUE(run(abc, A(0, 0)).empty());
    EXPECT_TRUE(run(abc, A(T(1, 3), T(1, 3))).empty());
    EXPECT_EQ(run(a(), A(T(1, 2), T(1, 2))).size(), 1u);
}

TEST(QueryCat, ChildCycleIsSqueezedIntoItsSegment) {
    // Cycle c of the child lands in the segment of cycle c, so a slow child continues across
    // cycles rather than restarting.
    const ir::IrNode pair = cat({slow(2, 1, a()), slow(2, 1, b())});
    EXPECT_EQ(run(pair, A(0, 2)), (Events{frag(A(T(0), T(1)), A(T(0), T(1, 2)), va),
                                          frag(A(T(1, 2), T(3, 2)), A(T(1, 2), T(1)), vb),
                                          frag(A(T(1, 2), T(3, 2)), A(T(1), T(3, 2)), va),
                                          frag(A(T(1), T(2)), A(T(3, 2), T(2)), vb)}));
    EXPECT_EQ(run(cat({cat({a(), b()}), c()}), A(0, 1)),
              (Events{onset(A(T(0), T(1, 4)), va), onset(A(T(1, 4), T(1, 2)), vb),
                      onset(A(T(1, 2), T(1)), vc)}));
}

TEST(QueryStack, ChildrenConcatenatedInListOrder) {
    EXPECT_EQ(
        run(stack({a(), cat({b(), c()})}), A(0, 1)),
        (Events{onset(A(0, 1), va), onset(A(T(0), T(1, 2)), vb), onset(A(T(1, 2), T(1)), vc)}));
    // The span is not split: all of the first child's cycles come first.
    EXPECT_EQ(run(stack({a(), b()}), A(0, 2)), (Events{onset(A(0, 1), va), onset(A(1, 2), va),
                                                       onset(A(0, 1), vb), onset(A(1, 2), vb)}));
    EXPECT_EQ(run(stack({b(), silence(), a()}), A(0, 1)),
              (Events{onset(A(0, 1), vb), onset(A(0, 1), va)}));
}

TEST(QueryRev, ReflectsWithinEachCycleKeepingTheChildsOrder) {
    EXPECT_EQ(run(rev(cat({a(), b()})), A(0, 1)),
              (Events{onset(A(T(1, 2), T(1)), va), onset(A(T(0), T(1, 2)), vb)}));
    EXPECT_EQ(run(rev(a()), A(T(1, 4), T(1, 2))), (Events{frag(A(0, 1), A(T(1, 4), T(1, 2)), va)}));
    EXPECT_EQ(run(rev(cat({a(), b(), c()})), A(0, 2)),
              (Events{onset(A(T(2, 3), T(1)), va), onset(A(T(1, 3), T(2, 3)), vb),
                      onset(A(T(0), T(1, 3)), vc), onset(A(T(5, 3), T(2)), va),
                      onset(A(T(4, 3), T(5, 3)), vb), onset(A(T(1), T(4, 3)), vc)}));
    // Only the end of the cycle is asked of the child for the start of the reversed cycle.
    EXPECT_EQ(run(rev(cat({a(), b()})), A(T(0), T(1, 4))),
              (Events{frag(A(T(0), T(1, 2)), A(T(0), T(1, 4)), vb)}));
    EXPECT_EQ(run(rev(cat({a(), b()})), A(-1, 0)),
              (Events{onset(A(T(-1, 2), T(0)), va), onset(A(T(-1), T(-1, 2)), vb)}));
    // A child that spans several cycles is reflected in the cycle queried.
    EXPECT_EQ(run(rev(slow(2, 1, a())), A(0, 1)), (Events{frag(A(-1, 1), A(0, 1), va)}));
}

TEST(QueryEvery, CyclesDivisibleByNTakeTheTransform) {
    const ir::IrNode root = every(2, fast(2, 1, a()), b());
    EXPECT_EQ(run(root, A(0, 2)), (Events{onset(A(T(0), T(1, 2)), va), onset(A(T(1, 2), T(1)), va),
                                          onset(A(1, 2), vb)}));
    EXPECT_EQ(run(every(2, a(), b()), A(T(1, 2), T(3, 2))),
              (Events{frag(A(0, 1), A(T(1, 2), T(1)), va), frag(A(1, 2), A(T(1), T(3, 2)), vb)}));
    EXPECT_EQ(run(every(1, a(), b()), A(0, 3)),
              (Events{onset(A(0, 1), va), onset(A(1, 2), va), onset(A(2, 3), va)}));
    EXPECT_EQ(run(every(3, a(), b()), A(0, 4)), (Events{onset(A(0, 1), va), onset(A(1, 2), vb),
                                                        onset(A(2, 3), vb), onset(A(3, 4), va)}));
}

TEST(QueryEvery, PiecesArePassedOnUnsqueezed) {
    // The transform sees the absolute cycle, so a slow transform shows its later half.
    const ir::IrNode root = every(2, slow(2, 1, a()), b());
    EXPECT_EQ(run(root, A(0, 1)), (Events{frag(A(0, 2), A(0, 1), va)}));
    EXPECT_EQ(run(root, A(2, 3)), (Events{frag(A(2, 4), A(2, 3), va)}));
    EXPECT_EQ(run(every(2, b(), slow(2, 1, a())), A(1, 2)), (Events{frag(A(0, 2), A(1, 2), va)}));
}

TEST(QueryEvery, NegativeCyclesUseTheUnsignedRemainder) {
    // 2^64 - 1 is divisible by 3, so cycle -1 takes the transform and cycle -3 does not.
    EXPECT_EQ(run(every(3, a(), b()), A(-1, 0)), (Events{onset(A(-1, 0), va)}));
    EXPECT_EQ(run(every(3, a(), b()), A(-3, 0)),
              (Events{onset(A(-3, -2), vb), onset(A(-2, -1), vb), onset(A(-1, 0), va)}));
    EXPECT_EQ(run(every(2, a(), b()), A(-2, 0)),
              (Events{onset(A(-2, -1), va), onset(A(-1, 0), vb)}));
    EXPECT_EQ(run(every(4, a(), b()), A(-4, 0)),
              (Events{onset(A(-4, -3), va), onset(A(-3, -2), vb), onset(A(-2, -1), vb),
                      onset(A(-1, 0), vb)}));
    // 2^64 - 4 is divisible by 6; 2^64 - 1 by 5.
    EXPECT_EQ(run(every(6, a(), b()), A(-4, -3)), (Events{onset(A(-4, -3), va)}));
    EXPECT_EQ(run(every(6, a(), b()), A(-1, 0)), (Events{onset(A(-1, 0), vb)}));
    EXPECT_EQ(run(every(5, a(), b()), A(-1, 0)), (Events{onset(A(-1, 0), va)}));
}

// Onsets of `va` on the given steps of one cycle.
Events euclid_hits(std::uint32_t steps, std::initializer_list<int> hits, std::int64_t cycle = 0) {
    Events out;
    for (const int j : hits) {
        out.push_back(onset(A(T(cycle) + T(j, steps), T(cycle) + T(j + 1, steps)), va));
    }
    return out;
}

TEST(QueryEuclid, HitsAtFloorOfIStepsOverK) {
    EXPECT_EQ(run(euclid(3, 8, 0, a()), A(0, 1)),
              (Events{onset(A(T(0), T(1, 8)), va), onset(A(T(1, 4), T(3, 8)), va),
                      onset(A(T(5, 8), T(3, 4)), va)}));
    EXPECT_EQ(run(euclid(5, 8, 0, a()), A(0, 1)), euclid_hits(8, {0, 1, 3, 4, 6}));
    EXPECT_EQ(run(euclid(3, 7, 0, a()), A(0, 1)), euclid_hits(7, {0, 2, 4}));
    EXPECT_EQ(run(euclid(2, 5, 0, a()), A(0, 1)), euclid_hits(5, {0, 2}));
    EXPECT_EQ(run(euclid(1, 1, 0, a()), A(0, 1)), (Events{onset(A(0, 1), va)}));
    EXPECT_EQ(run(euclid(3, 8, 0, a()), A(-1, 0)), euclid_hits(8, {0, 2, 5}, -1));
    EXPECT_EQ(run(euclid(3, 8, 0, a()), A(0, 2)), [] {
        Events both = euclid_hits(8, {0, 2, 5});
        for (auto& e : euclid_hits(8, {0, 2, 5}, 1))
            both.push_back(e);
        return both;
    }());
}

TEST(QueryEuclid, RotationTurnsTheHitsLeft) {
    EXPECT_EQ(run(euclid(3, 8, 1, a()), A(0, 1)),
              (Events{onset(A(T(1, 8), T(1, 4)), va), onset(A(T(1, 2), T(5, 8)), va),
                      onset(A(T(7, 8), T(1)), va)}));
    EXPECT_EQ(run(euclid(3, 8, 9, a()), A(0, 1)), run(euclid(3, 8, 1, a()), A(0, 1)));
    EXPECT_EQ(run(euclid(3, 8, 8, a()), A(0, 1)), run(euclid(3, 8, 0, a()), A(0, 1)));
    // Hits that wrap past the last step still come out in ascending step order.
    EXPECT_EQ(run(euclid(3, 8, 1, a()), A(T(1, 2), T(5, 4))),
              (Events{onset(A(T(1, 2), T(5, 8)), va), onset(A(T(7, 8), T(1)), va),
                      onset(A(T(9, 8), T(5, 4)), va)}));
    // 2^32 - 1 = 7 (mod 8): a left turn by 7 is a right turn by 1.
    EXPECT_EQ(run(euclid(3, 8, UINT32_MAX, a()), A(0, 1)), euclid_hits(8, {1, 3, 6}));
}

TEST(QueryEuclid, NoPulsesAndAllPulses) {
    EXPECT_TRUE(run(euclid(0, 8, 0, a()), A(0, 1)).empty());
    EXPECT_TRUE(run(euclid(0, 8, 3, a()), A(-2, 2)).empty());
    EXPECT_EQ(run(euclid(4, 4, 0, a()), A(0, 1)), euclid_hits(4, {0, 1, 2, 3}));
    EXPECT_EQ(run(euclid(4, 4, 3, a()), A(0, 1)), euclid_hits(4, {0, 1, 2, 3}));
}

TEST(QueryEuclid, SpanEdgesAndSqueezedChildren) {
    EXPECT_EQ(run(euclid(3, 8, 0, a()), A(T(1, 8), T(5, 8))),
              (Events{onset(A(T(1, 4), T(3, 8)), va)}));
    EXPECT_EQ(run(euclid(3, 8, 0, a()), A(T(3, 10), T(7, 10))),
              (Events{frag(A(T(1, 4), T(3, 8)), A(T(3, 10), T(3, 8)), va),
                      frag(A(T(5, 8), T(3, 4)), A(T(5, 8), T(7, 10)), va)}));
    // The child's whole cycle plays in every hit step: step order first, then the child's.
    EXPECT_EQ(run(euclid(2, 4, 0, cat({a(), b()})), A(0, 1)),
              (Events{onset(A(T(0), T(1, 8)), va), onset(A(T(1, 8), T(1, 4)), vb),
                      onset(A(T(1, 2), T(5, 8)), va), onset(A(T(5, 8), T(3, 4)), vb)}));
    EXPECT_TRUE(run(euclid(3, 8, 0, a()), A(T(1, 8), T(1, 8))).empty());
}

TEST(QueryFreeze, IsTransparent) {
    for (const Arc& span : {A(0, 1), A(T(-3, 2), T(5, 4)), A(T(1, 3), T(1, 3))}) {
        EXPECT_EQ(run(freeze(a()), span), run(a(), span));
        EXPECT_EQ(run(freeze(freeze(cat({a(), b(), c()}))), span), run(cat({a(), b(), c()}), span));
        EXPECT_EQ(run(fast(2, 1, freeze(rev(cat({a(), b()})))), span),
                  run(fast(2, 1, rev(cat({a(), b()}))), span));
    }
}

// ---------------------------------------------------------------------------------------------
// Time transforms and filters

TEST(QueryFast, SpeedsTheChildUp) {
    EXPECT_EQ(run(fast(2, 1, a()), A(0, 1)),
              (Events{onset(A(T(0), T(1, 2)), va), onset(A(T(1, 2), T(1)), va)}));
    EXPECT_EQ(run(fast(2, 3, a()), A(0, 1)), (Events{frag(A(T(0), T(3, 2)), A(0, 1), va)}));
    EXPECT_EQ(run(fast(4, 6, a()), A(0, 1)), run(fast(2, 3, a()), A(0, 1)));
    EXPECT_EQ(run(fast(1, 1, cat({a(), b()})), A(T(-1, 3), T(7, 5))),
              run(cat({a(), b()}), A(T(-1, 3), T(7, 5))));
    EXPECT_EQ(run(fast(3, 1, a()), A(T(-1, 2), T(0))),
              (Events{frag(A(T(-2, 3), T(-1, 3)), A(T(-1, 2), T(-1, 3)), va),
                      onset(A(T(-1, 3), T(0)), va)}));
}

TEST(QuerySlow, SlowsTheChildDown) {
    EXPECT_EQ(run(slow(2, 1, a()), A(0, 1)), (Events{frag(A(0, 2), A(0, 1), va)}));
    EXPECT_EQ(run(slow(2, 1, a()), A(1, 2)), (Events{frag(A(0, 2), A(1, 2), va)}));
    EXPECT_EQ(run(slow(3, 2, a()), A(0, 3)),
              (Events{onset(A(T(0), T(3, 2)), va), onset(A(T(3, 2), T(3)), va)}));
    const ir::IrNode child = cat({a(), rev(cat({b(), c()})), every(2, a(), euclid(3, 8, 1, b()))});
    for (const Arc& span : {A(0, 1), A(0, 3), A(T(-7, 3), T(5, 4)), A(T(2, 3), T(2, 3))}) {
        EXPECT_EQ(run(slow(3, 2, child), span), run(fast(2, 3, child), span));
        EXPECT_EQ(run(slow(6, 4, child), span), run(fast(2, 3, child), span));
        EXPECT_EQ(run(slow(1, 2, child), span), run(fast(2, 1, child), span));
    }
}

TEST(QueryFast, DirectEntryPointsMatchTheNodes) {
    const CompiledPattern p = build(cat({a(), b(), c()}));
    for (const Arc& span : {A(0, 1), A(T(-5, 4), T(3, 2))}) {
        EXPECT_EQ(pq::query_fast(p.nodes, 2, 1, p.root, span),
                  run(fast(2, 1, cat({a(), b(), c()})), span));
        EXPECT_EQ(pq::query_fast(p.nodes, 2, 3, p.root, span),
                  run(slow(3, 2, cat({a(), b(), c()})), span));
        EXPECT_EQ(pq::query_early(p.nodes, 1, 4, p.root, span),
                  run(early(1, 4, cat({a(), b(), c()})), span));
        EXPECT_EQ(pq::query_early(p.nodes, -1, 4, p.root, span),
                  run(late(1, 4, cat({a(), b(), c()})), span));
        EXPECT_EQ(pq::query_early(p.nodes, 0, 1, p.root, span), run(cat({a(), b(), c()}), span));
    }
    EXPECT_TRUE(pq::query_fast(p.nodes, 0, 1, p.root, A(0, 1)).empty());
    EXPECT_TRUE(pq::query_fast(p.nodes, -2, 1, p.root, A(0, 1)).empty());
    EXPECT_TRUE(pq::query_fast(p.nodes, INT64_MIN, 1, p.root, A(0, 1)).empty());
}

TEST(QueryEarly, ShiftsTheChildEarlier) {
    EXPECT_EQ(run(early(1, 4, a()), A(0, 1)),
              (Events{frag(A(T(-1, 4), T(3, 4)), A(T(0), T(3, 4)), va),
                      frag(A(T(3, 4), T(7, 4)), A(T(3, 4), T(1)), va)}));
    EXPECT_EQ(run(early(0, 3, cat({a(), b()})), A(0, 2)), run(cat({a(), b()}), A(0, 2)));
    EXPECT_EQ(run(early(-1, 4, cat({a(), b()})), A(T(-3, 2), T(2))),
              run(late(1, 4, cat({a(), b()})), A(T(-3, 2), T(2))));
    EXPECT_EQ(run(early(3, 1, every(3, a(), b())), A(0, 1)), (Events{onset(A(0, 1), va)}));
}

TEST(QueryLate, ShiftsTheChildLaterAcrossNegativeCycles) {
    EXPECT_EQ(run(late(1, 4, a()), A(0, 1)),
              (Events{frag(A(T(-3, 4), T(1, 4)), A(T(0), T(1, 4)), va),
                      frag(A(T(1, 4), T(5, 4)), A(T(1, 4), T(1)), va)}));
    EXPECT_EQ(run(late(1, 4, a()), A(-1, 0)),
              (Events{frag(A(T(-7, 4), T(-3, 4)), A(T(-1), T(-3, 4)), va),
                      frag(A(T(-3, 4), T(1, 4)), A(T(-3, 4), T(0)), va)}));
    // Cycle -1 of an Every with n = 3 takes the transform even when reached through a shift.
    EXPECT_EQ(run(late(1, 1, every(3, a(), b())), A(0, 1)), (Events{onset(A(0, 1), va)}));
    EXPECT_EQ(run(late(-6, 4, a()), A(0, 1)), run(early(3, 2, a()), A(0, 1)));
}

TEST(QueryTransforms, EventsKeepTheChildsOrder) {
    EXPECT_EQ(run(stack({fast(2, 1, a()), late(1, 4, b())}), A(0, 1)),
              (Events{onset(A(T(0), T(1, 2)), va), onset(A(T(1, 2), T(1)), va),
                      frag(A(T(-3, 4), T(1, 4)), A(T(0), T(1, 4)), vb),
                      frag(A(T(1, 4), T(5, 4)), A(T(1, 4), T(1)), vb)}));
    // Rev's descending order survives Fast unchanged.
    EXPECT_EQ(run(fast(2, 1, rev(cat({a(), b()}))), A(0, 1)),
              (Events{onset(A(T(1, 4), T(1, 2)), va), onset(A(T(0), T(1, 4)), vb),
                      onset(A(T(3, 4), T(1)), va), onset(A(T(1, 2), T(3, 4)), vb)}));
}

TEST(QueryDegrade, KeepsEventsScoringAtLeastProb) {
    // Seed 0 scores: onset 0 -> 0.4785, 1/4 -> 0.2513, 1/2 -> 0.4559, 3/4 -> 0.4107.
    EXPECT_EQ(run(degrade(0.3, 0, fast(4, 1, a())), A(0, 1)),
              (Events{onset(A(T(0), T(1, 4)), va), onset(A(T(1, 2), T(3, 4)), va),
                      onset(A(T(3, 4), T(1)), va)}));
    EXPECT_EQ(run(degrade(0.3, 0, fast(2, 1, a())), A(0, 1)),
              (Events{onset(A(T(0), T(1, 2)), va), onset(A(T(1, 2), T(1)), va)}));
    // The comparison is >=: a prob equal to a score keeps the event.
    EXPECT_EQ(run(degrade(0.4785, 0, fast(4, 1, a())), A(0, 1)),
              (Events{onset(A(T(0), T(1, 4)), va)}));
    EXPECT_TRUE(run(degrade(0.4786, 0, fast(4, 1, a())), A(0, 1)).empty());
    EXPECT_EQ(run(degrade(0.4559, 0, fast(4, 1, a())), A(0, 1)),
              (Events{onset(A(T(0), T(1, 4)), va), onset(A(T(1, 2), T(3, 4)), va)}));
}

TEST(QueryDegrade, ProbZeroKeepsAllAndOneDropsAll) {
    const ir::IrNode child = stack({fast(4, 1, a()), euclid(3, 8, 0, b()), late(1, 3, c())});
    for (const std::uint64_t seed : {0ull, 1ull, 7ull, ~0ull}) {
        EXPECT_EQ(run(degrade(0.0, seed, child), A(-2, 2)), run(child, A(-2, 2)));
        EXPECT_TRUE(run(degrade(1.0, seed, child), A(-2, 2)).empty());
    }
}

TEST(QueryDegrade, DecisionDependsOnlyOnSeedAndWholeBegin) {
    // Fragments found through a partial span share their onset's fate.
    EXPECT_EQ(run(degrade(0.3, 0, fast(4, 1, a())), A(T(1, 8), T(3, 8))),
              (Events{frag(A(T(0), T(1, 4)), A(T(1, 8), T(1, 4)), va)}));
    EXPECT_TRUE(run(degrade(0.3, 0, fast(4, 1, a())), A(T(3, 8), T(1, 2))).empty());
    // Events of different values beginning together are kept or dropped together.
    EXPECT_EQ(run(degrade(0.3, 0, stack({fast(4, 1, a()), fast(4, 1, b())})), A(0, 1)),
              (Events{onset(A(T(0), T(1, 4)), va), onset(A(T(1, 2), T(3, 4)), va),
                      onset(A(T(3, 4), T(1)), va), onset(A(T(0), T(1, 4)), vb),
                      onset(A(T(1, 2), T(3, 4)), vb), onset(A(T(3, 4), T(1)), vb)}));
    // Negative numerators wrap as two's complement: -1 -> 0.9796, -3/4 -> 0.2557,
    // -1/2 -> 0.4581, -1/4 -> 0.2535.
    EXPECT_EQ(run(degrade(0.3, 0, fast(4, 1, a())), A(-1, 0)),
              (Events{onset(A(T(-1), T(-3, 4)), va), onset(A(T(-1, 2), T(-1, 4)), va)}));
    // Seed 2^64 - 1: 1/3 -> 0.6285, 2/3 -> 0.1274, 0 -> 0.1726, -5/3 -> 0.4735, -4/3 -> 0.9724.
    EXPECT_EQ(run(degrade(0.5, UINT64_MAX, fast(3, 1, a())), A(0, 1)),
              (Events{onset(A(T(1, 3), T(2, 3)), va)}));
    EXPECT_EQ(run(degrade(0.4735, UINT64_MAX, fast(3, 1, a())), A(T(-5, 3), T(-1))),
              (Events{onset(A(T(-5, 3), T(-4, 3)), va), onset(A(T(-4, 3), T(-1)), va)}));
    EXPECT_EQ(run(degrade(0.4736, UINT64_MAX, fast(3, 1, a())), A(T(-5, 3), T(-1))),
              (Events{onset(A(T(-4, 3), T(-1)), va)}));
    // Seed 7: 0 -> 0.6198, 1/4 -> 0.3926, 1/2 -> 0.5972, 3/4 -> 0.552.
    EXPECT_EQ(run(degrade(0.5972, 7, fast(4, 1, a())), A(0, 1)),
              (Events{onset(A(T(0), T(1, 4)), va), onset(A(T(1, 2), T(3, 4)), va)}));
}

TEST(WarpTime, SwingTable) {
    struct Case {
        Time t;
        std::uint32_t grid;
        double amount;
        Time want;
    };
    const Case cases[] = {
        {T(1, 4), 4, 2.0 / 3.0, T(3333, 10000)},
        {T(1, 8), 4, 2.0 / 3.0, T(1667, 10000)},
        {T(3, 4), 4, 2.0 / 3.0, T(8333, 10000)},
        {T(1, 2), 4, 2.0 / 3.0, T(1, 2)},
        {T(1), 4, 2.0 / 3.0, T(1)},
        {T(0), 4, 2.0 / 3.0, T(0)},
        {T(-1, 4), 4, 2.0 / 3.0, T(-1667, 10000)},
        {T(-3, 8), 4, 2.0 / 3.0, T(-3333, 10000)},
        {T(7, 2), 4, 2.0 / 3.0, T(7, 2)},
        {T(17, 4), 4, 2.0 / 3.0, T(43333, 10000)},
        {T(-5), 4, 2.0 / 3.0, T(-5)},
        {T(1, 8), 8, 0.75, T(3, 16)},
        {T(1, 4), 8, 0.75, T(1, 4)},
        {T(3, 8), 8, 0.75, T(7, 16)},
        {T(1, 16), 8, 0.75, T(938, 10000)},
        {T(1, 3), 4, 0.5, T(3333, 10000)},
        {T(1, 4), 4, 0.5, T(1, 4)},
        {T(1234, 10000), 4, 0.5, T(1234, 10000)},
        {T(1, 2), 2, 0.6, T(3, 5)},
        {T(1, 4), 2, 0.6, T(3, 10)},
        // Halves round away from zero: 312.5 -> 313 and 937.5 -> 938.
        {T(1, 32), 2, 0.5, T(313, 10000)},
        {T(3, 32), 2, 0.5, T(938, 10000)},
        {T(-31, 32), 2, 0.5, T(-9687, 10000)},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(::testing::PrintToString(k.t) + " grid " + std::to_string(k.grid) +
                     " amount " + std::to_string(k.amount));
        EXPECT_EQ(pq::warp_time(k.t, k.grid, k.amount), k.want);
    }
}

TEST(WarpTime, ResultsLieOnTheTenThousandthGrid) {
    for (std::int64_t n = -40; n <= 40; ++n) {
        for (const std::uint64_t d : {3u, 7u, 12u, 9973u}) {
            const Time w = pq::warp_time(T(n, d), 4, 0.61);
            EXPECT_EQ(10000 % w.denom(), 0u) << n << '/' << d;
            // A time stays in its cycle or lands on the next cycle's start.
            EXPECT_GE(w, T(T(n, d).floor()));
            EXPECT_LE(w, T(T(n, d).floor() + 1));
        }
    }
}

TEST(QueryWarp, BendsEveryTimeOfTheChildsEvents) {
    EXPECT_EQ(run(warp(4, 2.0 / 3.0, fast(4, 1, a())), A(0, 1)),
              (Events{onset(A(T(0), T(3333, 10000)), va), onset(A(T(3333, 10000), T(1, 2)), va),
                      onset(A(T(1, 2), T(8333, 10000)), va), onset(A(T(8333, 10000), T(1)), va)}));
    // The span is not un-warped: the child is queried over [0, 1/8] as given.
    EXPECT_EQ(run(warp(4, 2.0 / 3.0, fast(4, 1, a())), A(T(0), T(1, 8))),
              (Events{frag(A(T(0), T(3333, 10000)), A(T(0), T(1667, 10000)), va)}));
    EXPECT_EQ(run(warp(4, 2.0 / 3.0, slow(2, 1, a())), A(0, 1)),
              (Events{frag(A(0, 2), A(0, 1), va)}));
    EXPECT_EQ(run(warp(8, 0.75, fast(8, 1, a())), A(T(0), T(1, 4))),
              (Events{onset(A(T(0), T(3, 16)), va), onset(A(T(3, 16), T(1, 4)), va)}));
    EXPECT_EQ(
        run(warp(4, 0.5, fast(3, 1, a())), A(0, 1)),
        (Events{onset(A(T(0), T(3333, 10000)), va), onset(A(T(3333, 10000), T(6667, 10000)), va),
                onset(A(T(6667, 10000), T(1)), va)}));
}

// ---------------------------------------------------------------------------------------------
// Work budget

using Clock = std::chrono::steady_clock;

struct Timed {
    Events events;
    double seconds;
};

Timed timed_query(const ir::IrNode& root, const Arc& span) {
    const CompiledPattern p = build(root);
    const auto start = Clock::now();
    Events events = pq::query(p.nodes, p.root, span);
    const std::chrono::duration<double> took = Clock::now() - start;
    return {std::move(events), took.count()};
}

// Seconds per query; the budget keeps optimised runs near a tenth of this.
#if defined(__SANITIZE_ADDRESS__)
constexpr double kPrompt = 5.0;
#else
constexpr double kPrompt = 1.0;
#endif
constexpr std::size_t kCap = 2 * pq::work_limit;

TEST(QueryBudget, HugeFastStopsEarlyWithTheFirstEvents) {
    const std::int64_t k = 1'000'000'000'000'000;
    const Timed r = timed_query(fast(k, 1, a()), A(0, 1));
    EXPECT_LT(r.seconds, kPrompt);
    ASSERT_FALSE(r.events.empty());
    EXPECT_LE(r.events.size(), kCap);
    // What it returns is the start of the full answer.
    for (std::size_t i = 0; i < std::min<std::size_t>(r.events.size(), 1000); ++i) {
        const auto j = static_cast<std::int64_t>(i);
        ASSERT_EQ(r.events[i], onset(A(T(j, k), T(j + 1, k)), va)) << i;
    }
}

TEST(QueryBudget, HugeEuclidStopsEarly) {
    const Timed r = timed_query(euclid(UINT32_MAX, UINT32_MAX, 0, a()), A(0, 1));
    EXPECT_LT(r.seconds, kPrompt);
    ASSERT_FALSE(r.events.empty());
    EXPECT_LE(r.events.size(), kCap);
    EXPECT_EQ(r.events[0], onset(A(T(0), T(1, UINT32_MAX)), va));
    const Timed rotated = timed_query(euclid(UINT32_MAX, UINT32_MAX, 12345, b()), A(-3, 3));
    EXPECT_LT(rotated.seconds, kPrompt);
    EXPECT_LE(rotated.events.size(), kCap);
}

TEST(QueryBudget, HugeStepsCostOnlyTheirHits) {
    const std::uint64_t s = UINT32_MAX;
    const Timed three = timed_query(euclid(3, UINT32_MAX, 0, a()), A(0, 1));
    EXPECT_LT(three.seconds, kPrompt);
    EXPECT_EQ(three.events,
              (Events{onset(A(T(0), T(1, s)), va), onset(A(T(1431655765, s), T(1431655766, s)), va),
                      onset(A(T(2863311530, s), T(2863311531, s)), va)}));
    const Timed rotated = timed_query(euclid(1, UINT32_MAX, 5, a()), A(0, 1));
    EXPECT_LT(rotated.seconds, kPrompt);
    EXPECT_EQ(rotated.events, (Events{onset(A(T(UINT32_MAX - 5, s), T(UINT32_MAX - 4, s)), va)}));
    // A thousand queries of a one-hit pattern with 2^32 - 1 steps stay cheap too.
    const CompiledPattern p = build(euclid(1, UINT32_MAX, 0, a()));
    const auto start = Clock::now();
    std::size_t total = 0;
    for (std::int64_t q = 0; q < 1000; ++q)
        total += pq::query(p.nodes, p.root, A(q, q + 1)).size();
    const std::chrono::duration<double> took = Clock::now() - start;
    EXPECT_EQ(total, 1000u);
    EXPECT_LT(took.count(), kPrompt);
}

TEST(QueryBudget, NestedExtremeFactorsReturnPromptly) {
    const std::int64_t k = 1'000'000'000'000'000;
    const std::vector<ir::IrNode> roots = [&] {
        std::vector<ir::IrNode> r;
        r.push_back(fast(k, 1, slow(1, k, a())));
        r.push_back(fast(k, 1, fast(k, 1, a())));
        r.push_back(fast(INT64_MAX, 1, cat({a(), b(), c()})));
        r.push_back(fast(k, 1, euclid(UINT32_MAX, UINT32_MAX, 0, a())));
        r.push_back(rev(fast(k, 1, a())));
        r.push_back(every(2, fast(k, 1, a()), fast(k, 1, b())));
        r.push_back(degrade(0.5, 3, fast(k, 1, a())));
        r.push_back(warp(4, 0.6, fast(k, 1, a())));
        r.push_back(cat({fast(k, 1, a()), fast(k, 1, b())}));
        r.push_back(stack({fast(k, 1, a()), fast(k, 1, b()), fast(k, 1, c()), fast(k, 1, a())}));
        r.push_back(slow(1, INT64_MAX, stack({a(), cat({b(), c()})})));
        r.push_back(late(INT64_MIN, 1, fast(k, 1, a())));
        r.push_back(early(INT64_MAX, 1, fast(k, 1, a())));
        return r;
    }();
    for (std::size_t i = 0; i < roots.size(); ++i) {
        SCOPED_TRACE(i);
        for (const Arc& span : {A(0, 1), A(-1, 0), A(T(1, 3), T(1, 3))}) {
            const Timed r = timed_query(roots[i], span);
            EXPECT_LT(r.seconds, kPrompt);
            EXPECT_LE(r.events.size(), kCap);
        }
    }
}

TEST(QueryBudget, HugeSpansReturnPromptly) {
    const Arc huge = A(0, 1'000'000'000'000);
    for (const ir::IrNode& root :
         {a(), cat({a(), b()}), every(3, a(), b()), rev(a()), euclid(3, 8, 0, a())}) {
        const Timed r = timed_query(root, huge);
        EXPECT_LT(r.seconds, kPrompt);
        EXPECT_FALSE(r.events.empty());
        EXPECT_LE(r.events.size(), kCap);
    }
    const Timed extreme = timed_query(a(), A(INT64_MIN, INT64_MAX));
    EXPECT_LT(extreme.seconds, kPrompt);
    EXPECT_LE(extreme.events.size(), kCap);
    const Timed top = timed_query(a(), A(T(INT64_MAX - 2), T(INT64_MAX)));
    EXPECT_EQ(top.events.size(), 2u);
}

TEST(QueryBudget, OrdinaryPatternsAreNotCut) {
    // 2^17 atoms in a single cycle are fewer steps than the limit and all come back.
    const Events all = run(fast(1 << 17, 1, a()), A(0, 1));
    EXPECT_EQ(all.size(), std::size_t{1} << 17);
}

// ---------------------------------------------------------------------------------------------
// query_into

TEST(QueryInto, AppendsToTheGivenList) {
    const CompiledPattern p = build(stack({cat({a(), b()}), euclid(3, 8, 1, c())}));
    Events out{onset(A(7, 8), vc)};
    pq::query_into(p.nodes, p.root, A(0, 1), out);
    Events want{onset(A(7, 8), vc)};
    for (auto& e : pq::query(p.nodes, p.root, A(0, 1)))
        want.push_back(e);
    EXPECT_EQ(out, want);
    out.clear();
    pq::query_into(p.nodes, p.root, A(T(1, 3), T(5, 2)), out);
    EXPECT_EQ(out, pq::query(p.nodes, p.root, A(T(1, 3), T(5, 2))));
}

// ---------------------------------------------------------------------------------------------
// Properties over random valid trees

// Random valid trees over all fourteen kinds with small parameters. Values are numbered so
// events of different atoms are told apart.
class TreeGen {
public:
    TreeGen(std::uint64_t seed, bool with_warp) : rng_(seed), with_warp_(with_warp) {}

    ir::IrNode tree(int depth) {
        // Leaves only near the bottom, so that most trees have some size.
        if (depth == 0 || (depth <= 3 && pick(6) == 0)) return leaf();
        const int kinds = with_warp_ ? 14 : 13;
        switch (pick(kinds)) {
            case 0:
            case 1:
                return depth > 2 ? tree(depth) : leaf();
            case 2:
                return freeze(tree(depth - 1));
            case 3:
                return ir::Cat{children(depth)};
            case 4:
                return ir::Stack{children(depth)};
            case 5:
                return fast(between(1, 4), between(1, 4), tree(depth - 1));
            case 6:
                return slow(between(1, 4), between(1, 4), tree(depth - 1));
            case 7:
                return early(between(-4, 4), between(1, 4), tree(depth - 1));
            case 8:
                return late(between(-4, 4), between(1, 4), tree(depth - 1));
            case 9:
                return rev(tree(depth - 1));
            case 10:
                return every(static_cast<std::uint32_t>(between(1, 4)), tree(depth - 1),
                             tree(depth - 1));
            case 11: {
                const auto steps = static_cast<std::uint32_t>(between(1, 8));
                const auto pulses = static_cast<std::uint32_t>(between(0, steps));
                return euclid(pulses, steps, static_cast<std::uint32_t>(between(0, 9)),
                              tree(depth - 1));
            }
            case 12: {
                static constexpr double probs[] = {0.0, 0.25, 0.5, 0.75, 1.0};
                return degrade(probs[pick(5)], pick(4), tree(depth - 1));
            }
            default: {
                static constexpr std::uint32_t grids[] = {2, 4, 8};
                static constexpr double amounts[] = {0.25, 0.5, 2.0 / 3.0, 0.75};
                return warp(grids[pick(3)], amounts[pick(4)], tree(depth - 1));
            }
        }
    }

    std::uint64_t pick(std::uint64_t n) { return rng_() % n; }
    std::int64_t between(std::int64_t lo, std::int64_t hi) {
        return lo + static_cast<std::int64_t>(pick(static_cast<std::uint64_t>(hi - lo + 1)));
    }
    // A small rational with possibly negative cycles.
    Time time() {
        static constexpr std::uint64_t dens[] = {1, 2, 3, 4, 6, 8};
        return T(between(-24, 24), dens[pick(6)]);
    }

private:
    ir::IrNode leaf() {
        if (pick(8) == 0) return silence();
        const int id = next_++;
        if (pick(4) == 0) return atom(Control{"c" + std::to_string(id), static_cast<float>(id)});
        return atom(Note{0, static_cast<std::uint8_t>(id % 128), 100, 0.25});
    }
    std::vector<ir::IrNode> children(int depth) {
        std::vector<ir::IrNode> list;
        for (std::int64_t i = 0, n = between(1, 4); i < n; ++i)
            list.push_back(tree(depth - 1));
        return list;
    }

    std::mt19937_64 rng_;
    bool with_warp_;
    int next_ = 0;
};

std::string describe(const Value& v) {
    return ::testing::PrintToString(v);
}

using OnsetKey = std::tuple<Time, Time, std::string>;

std::vector<OnsetKey> onsets(const Events& events) {
    std::vector<OnsetKey> keys;
    for (const Event& e : events) {
        if (e.has_onset()) keys.emplace_back(e.whole->begin, e.whole->end, describe(e.value));
    }
    std::sort(keys.begin(), keys.end());
    return keys;
}

constexpr int kTrees = 1000;
constexpr int kDepth = 5;

TEST(QueryPropertySplit, OnsetsOfASpanAreThoseOfItsTwoHalves) {
    // Without Warp: its rounding can make a fragment that starts at the split point look like
    // an onset when the split point lies within half a grid unit of the event's start.
    TreeGen gen(0x5eed0001, false);
    std::size_t compared = 0;
    std::size_t nodes_total = 0;
    for (int i = 0; i < kTrees; ++i) {
        const ir::IrNode root = gen.tree(kDepth);
        const CompiledPattern p = build(root);
        for (int s = 0; s < 4; ++s) {
            Time t[3] = {gen.time(), gen.time(), gen.time()};
            std::sort(std::begin(t), std::end(t));
            if (t[0] == t[1] || t[1] == t[2]) continue;
            SCOPED_TRACE("tree " + std::to_string(i) + " split " + ::testing::PrintToString(t[0]) +
                         " " + ::testing::PrintToString(t[1]) + " " +
                         ::testing::PrintToString(t[2]));
            const Events whole_span = pq::query(p.nodes, p.root, A(t[0], t[2]));
            Events halves = pq::query(p.nodes, p.root, A(t[0], t[1]));
            pq::query_into(p.nodes, p.root, A(t[1], t[2]), halves);
            ASSERT_EQ(onsets(whole_span), onsets(halves));
            compared += onsets(whole_span).size();
        }
        nodes_total += p.nodes.size();
    }
    // Guards against a generator that only makes trivial trees.
    EXPECT_GT(compared, 20u * kTrees);
    EXPECT_GT(nodes_total, 8u * kTrees);
}

TEST(QueryPropertyFragments, FragmentsLieInTheSpanAndInTheirWhole) {
    TreeGen gen(0x5eed0002, false);
    for (int i = 0; i < kTrees; ++i) {
        const CompiledPattern p = build(gen.tree(kDepth));
        for (int s = 0; s < 3; ++s) {
            Time b = gen.time();
            Time e = gen.time();
            if (e < b) std::swap(b, e);
            SCOPED_TRACE("tree " + std::to_string(i) + " span " +
                         ::testing::PrintToString(A(b, e)));
            const Events events = pq::query(p.nodes, p.root, A(b, e));
            for (const Event& ev : events) {
                ASSERT_TRUE(ev.whole.has_value());
                ASSERT_LE(b, ev.part.begin) << ::testing::PrintToString(ev);
                ASSERT_LE(ev.part.begin, ev.part.end) << ::testing::PrintToString(ev);
                ASSERT_LE(ev.part.end, e) << ::testing::PrintToString(ev);
                ASSERT_LE(ev.whole->begin, ev.part.begin) << ::testing::PrintToString(ev);
                ASSERT_LT(ev.whole->begin, ev.whole->end) << ::testing::PrintToString(ev);
                ASSERT_LE(ev.part.end, ev.whole->end) << ::testing::PrintToString(ev);
            }
            // Same tree, same span, same list.
            ASSERT_EQ(events, pq::query(p.nodes, p.root, A(b, e)));
        }
    }
}

// Runs `check(gen, tree, span)` on random trees (Warp included) and spans, zero-width ones too.
template <class F>
void for_random_trees(std::uint64_t seed, F check) {
    TreeGen gen(seed, true);
    for (int i = 0; i < kTrees; ++i) {
        const ir::IrNode root = gen.tree(kDepth);
        for (int s = 0; s < 3; ++s) {
            Time b = gen.time();
            Time e = s == 2 ? b : gen.time();
            if (e < b) std::swap(b, e);
            SCOPED_TRACE("tree " + std::to_string(i) + " span " +
                         ::testing::PrintToString(A(b, e)));
            check(gen, root, A(b, e));
            if (::testing::Test::HasFatalFailure()) return;
        }
    }
}

// Fast k of Slow k multiplies and divides every time by k exactly, so even Warp and Degrade
// see the very same spans and events.
TEST(QueryPropertyInverse, FastOfSlowIsTheIdentity) {
    for_random_trees(0x5eed0003, [](TreeGen& gen, const ir::IrNode& root, const Arc& span) {
        const std::int64_t n = gen.between(1, 4);
        const std::int64_t d = gen.between(1, 4);
        const Events want = run(root, span);
        ASSERT_EQ(run(fast(n, d, slow(n, d, root)), span), want) << n << '/' << d;
        ASSERT_EQ(run(slow(n, d, fast(n, d, root)), span), want) << n << '/' << d;
    });
}

TEST(QueryPropertyInverse, LateOfEarlyIsTheIdentity) {
    for_random_trees(0x5eed0004, [](TreeGen& gen, const ir::IrNode& root, const Arc& span) {
        const std::int64_t n = gen.between(-8, 8);
        const std::int64_t d = gen.between(1, 6);
        const Events want = run(root, span);
        ASSERT_EQ(run(late(n, d, early(n, d, root)), span), want) << n << '/' << d;
        ASSERT_EQ(run(early(n, d, late(n, d, root)), span), want) << n << '/' << d;
    });
}

TEST(QueryPropertyInverse, RevOfRevIsTheIdentityWithinACycle) {
    for_random_trees(0x5eed0005, [](TreeGen&, const ir::IrNode& root, const Arc& span) {
        // A zero-width span at a cycle start reflects onto the next cycle's start, so two
        // reflections land two cycles apart: not an involution there.
        if (span.begin == span.end && span.begin.is_integer()) return;
        // Keep the span inside one cycle so that the order is the child's too.
        const std::int64_t cycle = span.begin.floor();
        const Time end = std::min(span.end, T(cycle + 1));
        const Arc inside = A(span.begin, end);
        ASSERT_EQ(run(rev(rev(root)), inside), run(root, inside));
    });
}

TEST(QueryPropertyFreeze, FreezeIsTheIdentity) {
    for_random_trees(0x5eed0006, [](TreeGen&, const ir::IrNode& root, const Arc& span) {
        const Events want = run(root, span);
        ASSERT_EQ(run(freeze(root), span), want);
        ASSERT_EQ(run(freeze(freeze(root)), span), want);
    });
}

TEST(QueryPropertyStack, StackConcatenatesItsChildren) {
    TreeGen other(0x5eed0008, true);
    for_random_trees(0x5eed0007, [&](TreeGen&, const ir::IrNode& root, const Arc& span) {
        const ir::IrNode second = other.tree(3);
        Events want = run(root, span);
        for (auto& e : run(second, span))
            want.push_back(e);
        ASSERT_EQ(run(stack({root, second}), span), want);
    });
}

// The query written out level by level, exactly as described (split, map each event at each
// level, flags for Euclid), as an oracle for the optimised walk: same events, same order.
namespace model {

namespace pn = pattern_engine::pattern::node;
using pattern_engine::pattern::NodeIndex;

template <class F>
void map_times(Events& events, F f) {
    for (Event& e : events) {
        if (e.whole) *e.whole = Arc{f(e.whole->begin), f(e.whole->end)};
        e.part = Arc{f(e.part.begin), f(e.part.end)};
    }
}

void append(Events& out, Events more) {
    for (Event& e : more)
        out.push_back(std::move(e));
}

Time warp(Time t, std::uint32_t grid, double amount) {
    const std::int64_t c = t.floor();
    const Time frac = t - T(c);
    const double f = static_cast<double>(frac.numer()) / static_cast<double>(frac.denom());
    const double w = 2.0 / grid;
    const double base = w * std::floor(f / w);
    const double p = (f - base) / w;
    const double q = p < 0.5 ? amount * (p + p) : amount + (1.0 - amount) * ((p - 0.5) + (p - 0.5));
    const double r = std::round((base + w * q) * 10000.0);
    return T(c) + T(static_cast<std::int64_t>(r), 10000);
}

Events query(pq::Nodes nodes, NodeIndex index, const Arc& span);

// Cat and Euclid: the child's cycle c squeezed into segment i of n.
void segment(pq::Nodes nodes, NodeIndex child, std::uint64_t i, std::uint64_t n, const Arc& piece,
             Events& out) {
    const std::int64_t c = piece.begin.floor();
    const Time s = T(c) + T(static_cast<std::int64_t>(i), n);
    const Time s2 = T(c) + T(static_cast<std::int64_t>(i + 1), n);
    const Time lo = std::max(piece.begin, s);
    const Time hi = std::min(piece.end, s2);
    if (!(lo < hi)) return;
    const Time width = T(static_cast<std::int64_t>(n));
    Events got = query(nodes, child, Arc{T(c) + (lo - s) * width, T(c) + (hi - s) * width});
    map_times(got, [&](Time t) { return s + (t - T(c)) / width; });
    append(out, std::move(got));
}

Events fast(pq::Nodes nodes, NodeIndex child, Time f, const Arc& span) {
    if (f.numer() < 1) return {};
    Events got = query(nodes, child, Arc{span.begin * f, span.end * f});
    map_times(got, [&](Time t) { return t / f; });
    return got;
}

Events early(pq::Nodes nodes, NodeIndex child, Time o, const Arc& span) {
    Events got = query(nodes, child, Arc{span.begin + o, span.end + o});
    map_times(got, [&](Time t) { return t - o; });
    return got;
}

Events query(pq::Nodes nodes, NodeIndex index, const Arc& span) {
    Events out;
    const auto& node = nodes[index];
    if (const auto* k = std::get_if<pn::Freeze>(&node)) return query(nodes, k->child, span);
    if (const auto* k = std::get_if<pn::Atom>(&node)) {
        for (const Arc& piece : span.split_cycles()) {
            const std::int64_t c = piece.begin.floor();
            out.push_back(Event{Arc{T(c), T(c + 1)}, piece, k->value});
        }
    } else if (const auto* k = std::get_if<pn::Stack>(&node)) {
        for (const NodeIndex child : k->children)
            append(out, query(nodes, child, span));
    } else if (const auto* k = std::get_if<pn::Cat>(&node)) {
        for (const Arc& piece : span.split_cycles()) {
            for (std::uint64_t i = 0; i < k->children.size(); ++i) {
                segment(nodes, k->children[i], i, k->children.size(), piece, out);
            }
        }
    } else if (const auto* k = std::get_if<pn::Every>(&node)) {
        for (const Arc& piece : span.split_cycles()) {
            const auto c = static_cast<std::uint64_t>(piece.begin.floor());
            append(out, query(nodes, c % k->n == 0 ? k->transform : k->child, piece));
        }
    } else if (const auto* k = std::get_if<pn::Rev>(&node)) {
        for (const Arc& piece : span.split_cycles()) {
            const Time c = T(piece.begin.floor());
            const auto r = [&](Time t) { return c + c + T(1) - t; };
            Events got = query(nodes, k->child, Arc{r(piece.end), r(piece.begin)});
            for (Event& e : got) {
                if (e.whole) *e.whole = Arc{r(e.whole->end), r(e.whole->begin)};
                e.part = Arc{r(e.part.end), r(e.part.begin)};
            }
            append(out, std::move(got));
        }
    } else if (const auto* k = std::get_if<pn::Euclid>(&node)) {
        std::vector<bool> flags(k->steps, false);
        const std::uint64_t hits = std::min(k->pulses, k->steps);
        for (std::uint64_t i = 0; i < hits; ++i)
            flags[i * k->steps / hits] = true;
        if (k->steps != 0) {
            std::rotate(flags.begin(), flags.begin() + k->rotation % k->steps, flags.end());
        }
        for (const Arc& piece : span.split_cycles()) {
            for (std::uint64_t j = 0; j < k->steps; ++j) {
                if (flags[j]) segment(nodes, k->child, j, k->steps, piece, out);
            }
        }
    } else if (const auto* k = std::get_if<pn::Fast>(&node)) {
        return fast(nodes, k->child, k->factor, span);
    } else if (const auto* k = std::get_if<pn::Slow>(&node)) {
        if (k->factor.numer() <= 0) return {};
        return fast(nodes, k->child, T(1) / k->factor, span);
    } else if (const auto* k = std::get_if<pn::Early>(&node)) {
        return early(nodes, k->child, k->offset, span);
    } else if (const auto* k = std::get_if<pn::Late>(&node)) {
        return early(nodes, k->child, -k->offset, span);
    } else if (const auto* k = std::get_if<pn::Degrade>(&node)) {
        const std::uint64_t x = k->seed * 0x060372928D52EBE3ull;
        for (Event& e : query(nodes, k->child, span)) {
            std::uint64_t h = 0;
            if (e.whole) {
                h = (static_cast<std::uint64_t>(e.whole->begin.numer()) * 0x5851F42D4C957F2Dull +
                     e.whole->begin.denom()) *
                    0x54541923C0E2B661ull;
            }
            if (static_cast<double>((x + h) % 10000) / 10000.0 >= k->prob) {
                out.push_back(std::move(e));
            }
        }
    } else if (const auto* k = std::get_if<pn::Warp>(&node)) {
        out = query(nodes, k->child, span);
        map_times(out, [&](Time t) { return warp(t, k->grid, k->amount); });
    }
    return out;
}

}  // namespace model

TEST(QueryPropertyModel, MatchesTheLevelByLevelAlgorithm) {
    TreeGen gen(0x5eed0009, true);
    std::size_t compared = 0;
    for (int i = 0; i < kTrees; ++i) {
        const CompiledPattern p = build(gen.tree(kDepth));
        for (int s = 0; s < 4; ++s) {
            Time b = gen.time();
            Time e = s == 3 ? b : gen.time();
            if (e < b) std::swap(b, e);
            SCOPED_TRACE("tree " + std::to_string(i) + " span " +
                         ::testing::PrintToString(A(b, e)));
            const Events want = model::query(p.nodes, p.root, A(b, e));
            ASSERT_EQ(pq::query(p.nodes, p.root, A(b, e)), want);
            compared += want.size();
        }
    }
    EXPECT_GT(compared, 20u * kTrees);
}

TEST(QueryPropertyModel, WarpTimeMatchesTheFormulaOnRandomTimes) {
    std::mt19937_64 rng(0x5eed000a);
    static constexpr std::uint32_t grids[] = {2, 4, 6, 8, 16, 24};
    for (int i = 0; i < 20000; ++i) {
        const Time t = T(static_cast<std::int64_t>(rng() % 20001) - 10000, 1 + rng() % 997);
        const std::uint32_t grid = grids[rng() % 6];
        const double amount = static_cast<double>(1 + rng() % 999) / 1000.0;
        ASSERT_EQ(pq::warp_time(t, grid, amount), model::warp(t, grid, amount))
            << ::testing::PrintToString(t) << " grid " << grid << " amount " << amount;
    }
}

}  // namespace
