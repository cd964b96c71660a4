#include "pattern_engine/pattern/query.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <ctime>
#include <random>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include <boost/multiprecision/cpp_int.hpp>

#include "ir_builders.hpp"
#include "pattern_engine/ir/compile.hpp"
#include "printers.hpp"

namespace {

using namespace ir_builders;
namespace pq = pattern_engine::pattern::query;
namespace pn = pattern_engine::pattern::node;
using boost::multiprecision::cpp_int;
using boost::multiprecision::cpp_rational;
using pattern_engine::event::Osc;
using pattern_engine::pattern::CompiledPattern;
using pattern_engine::pattern::NodeIndex;
using pattern_engine::time::Arc;
using pattern_engine::time::Time;
using Event = pattern_engine::event::Event<>;
using Events = pq::Events;

constexpr std::int64_t k62 = std::int64_t{1} << 62;

const auto T = [](std::int64_t n, std::uint64_t d = 1) { return Time(n, d); };
const auto A = [](Time b, Time e) { return Arc{b, e}; };
const auto a = [] { return note(60); };
const auto b = [] { return note(62); };
const auto c = [] { return note(64); };

CompiledPattern build(const ir::IrNode& root) {
    auto p = ir::compile::compile(root);
    EXPECT_TRUE(p.has_value());
    return p ? std::move(*p) : CompiledPattern{{pn::Silence{}}, 0, false};
}
Events run(const ir::IrNode& root, const Arc& span) {
    const CompiledPattern p = build(root);
    return pq::query(p.nodes, p.root, span);
}

// "60 [0, 1/2]" for an onset whose part is its whole, "60 [0, 1] [1/2, 1]" for a fragment.
std::string show(const Events& events) {
    std::ostringstream os;
    for (const Event& e : events) {
        if (&e != &events.front()) os << "; ";
        os << int{std::get<pattern_engine::event::Note>(e.value).note} << ' ';
        PrintTo(*e.whole, &os);
        if (e.part != *e.whole) os << ' ', PrintTo(e.part, &os);
    }
    return os.str();
}

TEST(QueryExamples, EachKindGivesItsEventsInOrder) {
    const struct {
        ir::IrNode root;
        Arc span;
        const char* want;
    } cases[] = {
        {a(), A(T(1, 2), T(3, 2)), "60 [0, 1] [1/2, 1]; 60 [1, 2] [1, 3/2]"},
        {a(), A(T(1), T(1)), "60 [1, 2] [1, 1]"},
        {cat(a(), b(), c()), A(T(1, 2), T(1)), "62 [1/3, 2/3] [1/2, 2/3]; 64 [2/3, 1]"},
        {cat(a(), b(), c()), A(T(1, 3), T(1, 3)), ""},
        {cat(slow(2, 1, a()), slow(2, 1, b())), A(T(0), T(2)),
         "60 [0, 1] [0, 1/2]; 62 [1/2, 3/2] [1/2, 1]; 60 [1/2, 3/2] [1, 3/2]; 62 [1, 2] [3/2, 2]"},
        {stack(a(), b()), A(T(0), T(2)), "60 [0, 1]; 60 [1, 2]; 62 [0, 1]; 62 [1, 2]"},
        {rev(slow(2, 1, a())), A(T(0), T(1)), "60 [-1, 1] [0, 1]"},
        {every(2, fast(2, 1, a()), b()), A(T(0), T(2)), "60 [0, 1/2]; 60 [1/2, 1]; 62 [1, 2]"},
        {every(3, a(), b()), A(T(-3), T(0)), "62 [-3, -2]; 62 [-2, -1]; 60 [-1, 0]"},
        {euclid(3, 8, 1, a()), A(T(1, 2), T(5, 4)), "60 [1/2, 5/8]; 60 [7/8, 1]; 60 [9/8, 5/4]"},
        {euclid(3, 8, UINT32_MAX, a()), A(T(0), T(1)),
         "60 [1/8, 1/4]; 60 [3/8, 1/2]; 60 [3/4, 7/8]"},
        {fast(2, 3, a()), A(T(0), T(1)), "60 [0, 3/2] [0, 1]"},
        {early(1, 4, a()), A(T(0), T(1)), "60 [-1/4, 3/4] [0, 3/4]; 60 [3/4, 7/4] [3/4, 1]"},
        // Seed 0 scores 0.4785, 0.2513, 0.4559, 0.4107 at 0, 1/4, 1/2, 3/4 and keeps >= prob.
        {degrade(0.3, 0, fast(4, 1, a())), A(T(0), T(1)),
         "60 [0, 1/4]; 60 [1/2, 3/4]; 60 [3/4, 1]"},
        {degrade(0.4785, 0, fast(4, 1, a())), A(T(0), T(1)), "60 [0, 1/4]"},
        {degrade(0.5, UINT64_MAX, fast(3, 1, a())), A(T(0), T(1)), "60 [1/3, 2/3]"},
        {warp(4, 2.0 / 3.0, fast(4, 1, a())), A(T(0), T(1)),
         "60 [0, 3333/10000]; 60 [3333/10000, 1/2]; 60 [1/2, 8333/10000]; 60 [8333/10000, 1]"},
        // Near the end of the time line every value the query needs still fits.
        {rev(slow(3, 1, a())), A(T(k62), T(k62 + 1)),
         "60 [4611686018427387903, 4611686018427387906] [4611686018427387904, "
         "4611686018427387905]"},
    };
    for (const auto& k : cases) {
        SCOPED_TRACE(::testing::PrintToString(k.span) + " of " + k.want);
        EXPECT_EQ(show(run(k.root, k.span)), k.want);
    }
}

TEST(WarpTime, SwingMovesThePairsMiddleAndRoundsToTenThousandths) {
    const struct {
        Time t;
        std::uint32_t grid;
        double amount;
        Time want;
    } cases[] = {
        {T(1, 4), 4, 2.0 / 3.0, T(3333, 10000)},   {T(1, 8), 4, 2.0 / 3.0, T(1667, 10000)},
        {T(3, 4), 4, 2.0 / 3.0, T(8333, 10000)},   {T(-1, 4), 4, 2.0 / 3.0, T(-1667, 10000)},
        {T(17, 4), 4, 2.0 / 3.0, T(43333, 10000)}, {T(1, 8), 8, 0.75, T(3, 16)},
        {T(1, 3), 4, 0.5, T(3333, 10000)},         {T(1, 32), 2, 0.5, T(313, 10000)},  // half up
        {T(-31, 32), 2, 0.5, T(-9687, 10000)},
    };
    for (const auto& k : cases) {
        EXPECT_EQ(pq::warp_time(k.t, k.grid, k.amount), k.want)
            << ::testing::PrintToString(k.t) << " grid " << k.grid << " amount " << k.amount;
    }
}

// ---------------------------------------------------------------------------------------------
// Random trees against an exact model: the query written out level by level on unbounded
// rationals (split, map every event at every level, Euclid by its flag list).

class TreeGen {
public:
    explicit TreeGen(std::uint64_t seed) : rng_(seed) {}

    std::uint64_t pick(std::uint64_t n) { return rng_() % n; }
    std::int64_t between(std::int64_t lo, std::int64_t hi) {
        return lo + static_cast<std::int64_t>(pick(static_cast<std::uint64_t>(hi - lo + 1)));
    }
    Time time(std::int64_t base = 0) { return T(base) + T(between(-24, 24), 1 + pick(8)); }

    ir::IrNode tree(int depth, bool wild = true) {
        if (depth == 0 || (depth <= 3 && pick(6) == 0)) {
            if (pick(8) == 0) return silence();
            return note(static_cast<std::uint8_t>(next_++ % 128));
        }
        const auto sub = [&] { return tree(depth - 1, wild); };
        const auto list = [&] {
            std::vector<ir::IrNode> l(static_cast<std::size_t>(between(1, 4)));
            std::generate(l.begin(), l.end(), sub);
            return l;
        };
        // Offsets are mostly small; a few are huge and cancel or overflow further up.
        const auto offset = [&] {
            return pick(16) || !wild ? between(-4, 4) : (pick(2) ? k62 : -k62);
        };
        const std::uint64_t kind = pick(wild ? 13 : 12);
        if (kind == 0) return freeze(sub());
        if (kind == 1) return ir::Cat{list()};
        if (kind == 2) return ir::Stack{list()};
        if (kind == 3) return fast(between(1, 4), between(1, 4), sub());
        if (kind == 4) return slow(between(1, 4), between(1, 4), sub());
        if (kind == 5) return early(offset(), between(1, 4), sub());
        if (kind == 6) return late(offset(), between(1, 4), sub());
        if (kind == 7) return rev(sub());
        if (kind == 8) return every(between(1, 4), sub(), sub());
        const auto steps = between(1, 8);
        if (kind == 9) return euclid(between(0, steps), steps, between(0, 9), sub());
        if (kind == 10) return degrade(0.25 * static_cast<double>(pick(5)), pick(4), sub());
        if (kind == 11) return depth > 2 ? tree(depth, wild) : sub();
        return warp(2 << pick(3), 0.25 * static_cast<double>(1 + pick(3)), sub());
    }

private:
    std::mt19937_64 rng_;
    int next_ = 0;
};

namespace model {

using Q = cpp_rational;
struct Ev {
    Q wb, we, pb, pe;
    NodeIndex atom;
};
using Evs = std::vector<Ev>;

cpp_int floor_of(const Q& q) {
    cpp_int f = numerator(q) / denominator(q);
    return f * denominator(q) > numerator(q) ? f - 1 : f;
}
Q exact(Time t) {
    return Q(cpp_int(t.numer()), cpp_int(t.denom()));
}

struct Model {
    pq::Nodes nodes;
    // Whether every time the query needs at every level fits the 64-bit fields.
    bool fits = true;

    Q need(const Q& q) {
        fits = fits && numerator(q) >= INT64_MIN && numerator(q) <= INT64_MAX &&
               denominator(q) <= UINT64_MAX;
        return q;
    }
    Time to_time(const Q& q) {
        need(q);
        return fits ? Time(static_cast<std::int64_t>(numerator(q)),
                           static_cast<std::uint64_t>(denominator(q)))
                    : Time();
    }
    // Each time through f; a reflection swaps the ends of both spans.
    template <class F>
    Evs mapped(Evs evs, F f, bool reflect = false) {
        for (Ev& e : evs) {
            Q x[4] = {need(f(e.wb)), need(f(e.we)), need(f(e.pb)), need(f(e.pe))};
            if (reflect) std::swap(x[0], x[1]), std::swap(x[2], x[3]);
            e = Ev{x[0], x[1], x[2], x[3], e.atom};
        }
        return evs;
    }
    std::vector<std::pair<Q, Q>> split(const Q& b, const Q& e) {
        const cpp_int first = floor_of(b);
        cpp_int last = floor_of(e);
        if (denominator(e) == 1 && b < e) --last;
        std::vector<std::pair<Q, Q>> pieces;
        for (cpp_int c = first; c <= last && fits; ++c) {
            need(Q(c + 1));
            pieces.emplace_back(std::max(b, Q(c)), std::min(e, Q(c + 1)));
        }
        return pieces;
    }
    void segment(NodeIndex child, std::uint64_t i, std::uint64_t n, const Q& b, const Q& e,
                 Evs& out) {
        const Q c(floor_of(b));
        const Q s = need(c + Q(i, n));
        const Q lo = need(std::max(b, s));
        const Q hi = need(std::min(e, need(s + Q(1, n))));
        if (!(lo < hi)) return;
        const Evs got = query(child, need(c + (lo - s) * n), need(c + (hi - s) * n));
        for (const Ev& x : mapped(got, [&](const Q& t) { return s + (t - c) / n; }))
            out.push_back(x);
    }

    Evs query(NodeIndex index, const Q& b, const Q& e) {
        Evs out;
        if (!fits) return out;
        const auto& node = nodes[index];
        const auto append = [&out](const Evs& more) {
            out.insert(out.end(), more.begin(), more.end());
        };
        if (const auto* k = std::get_if<pn::Freeze>(&node)) return query(k->child, b, e);
        if (std::holds_alternative<pn::Atom>(node)) {
            for (const auto& [pb, pe] : split(b, e)) {
                const Q c(floor_of(pb));
                out.push_back(Ev{c, c + 1, pb, pe, index});
            }
        } else if (const auto* k = std::get_if<pn::Stack>(&node)) {
            for (const NodeIndex child : k->children)
                append(query(child, b, e));
        } else if (const auto* k = std::get_if<pn::Cat>(&node)) {
            for (const auto& [pb, pe] : split(b, e)) {
                for (std::uint64_t i = 0; i < k->children.size(); ++i)
                    segment(k->children[i], i, k->children.size(), pb, pe, out);
            }
        } else if (const auto* k = std::get_if<pn::Every>(&node)) {
            for (const auto& [pb, pe] : split(b, e)) {
                const auto c = static_cast<std::uint64_t>(to_time(pb).floor());
                append(query(c % k->n == 0 ? k->transform : k->child, pb, pe));
            }
        } else if (const auto* k = std::get_if<pn::Rev>(&node)) {
            for (const auto& [pb, pe] : split(b, e)) {
                const Q c(floor_of(pb));
                const auto r = [&c](const Q& t) { return c + c + 1 - t; };
                append(mapped(query(k->child, need(r(pe)), need(r(pb))), r, true));
            }
        } else if (const auto* k = std::get_if<pn::Euclid>(&node)) {
            std::vector<bool> flags(k->steps, false);
            const std::uint64_t hits = std::min(k->pulses, k->steps);
            for (std::uint64_t i = 0; i < hits; ++i)
                flags[i * k->steps / hits] = true;
            std::rotate(flags.begin(), flags.begin() + k->rotation % k->steps, flags.end());
            for (const auto& [pb, pe] : split(b, e)) {
                for (std::uint64_t j = 0; j < k->steps; ++j) {
                    if (flags[j]) segment(k->child, j, k->steps, pb, pe, out);
                }
            }
        } else if (const auto* k = std::get_if<pn::Fast>(&node)) {
            return fast(k->child, exact(k->factor), b, e);
        } else if (const auto* k = std::get_if<pn::Slow>(&node)) {
            return fast(k->child, 1 / exact(k->factor), b, e);
        } else if (const auto* k = std::get_if<pn::Early>(&node)) {
            return early(k->child, exact(k->offset), b, e);
        } else if (const auto* k = std::get_if<pn::Late>(&node)) {
            return early(k->child, -exact(k->offset), b, e);
        } else if (const auto* k = std::get_if<pn::Degrade>(&node)) {
            const std::uint64_t x = k->seed * 0x060372928D52EBE3ull;
            for (const Ev& ev : query(k->child, b, e)) {
                const Time w = to_time(ev.wb);
                const std::uint64_t h =
                    (static_cast<std::uint64_t>(w.numer()) * 0x5851F42D4C957F2Dull + w.denom()) *
                    0x54541923C0E2B661ull;
                if (static_cast<double>((x + h) % 10000) / 10000.0 >= k->prob) out.push_back(ev);
            }
        } else if (const auto* k = std::get_if<pn::Warp>(&node)) {
            return mapped(query(k->child, b, e), [&](const Q& t) {
                return exact(pq::warp_time(to_time(t), k->grid, k->amount));
            });
        }
        return out;
    }
    Evs fast(NodeIndex child, const Q& f, const Q& b, const Q& e) {
        return mapped(query(child, need(b * f), need(e * f)), [&f](const Q& t) { return t / f; });
    }
    Evs early(NodeIndex child, const Q& o, const Q& b, const Q& e) {
        return mapped(query(child, need(b + o), need(e + o)), [&o](const Q& t) { return t - o; });
    }
};

}  // namespace model

// Same events in the same order, each carrying its own atom's value.
::testing::AssertionResult same(const CompiledPattern& p, const model::Evs& want,
                                const Events& got) {
    if (want.size() != got.size()) {
        return ::testing::AssertionFailure() << got.size() << " events, want " << want.size();
    }
    for (std::size_t i = 0; i < want.size(); ++i) {
        const model::Ev& w = want[i];
        const Event& g = got[i];
        using model::exact;
        if (std::tie(w.wb, w.we, w.pb, w.pe) !=
                std::make_tuple(exact(g.whole->begin), exact(g.whole->end), exact(g.part.begin),
                                exact(g.part.end)) ||
            g.value != std::get<pn::Atom>(p.nodes[w.atom]).value) {
            return ::testing::AssertionFailure()
                   << "event " << i << ": " << ::testing::PrintToString(g) << ", want whole ["
                   << w.wb << ", " << w.we << "] part [" << w.pb << ", " << w.pe << "]";
        }
    }
    return ::testing::AssertionSuccess();
}

TEST(QueryModel, MatchesTheExactLevelByLevelQueryWhereverItFits) {
    TreeGen gen(0x5eed0009);
    std::size_t compared[2] = {0, 0};
    for (int i = 0; i < 2000; ++i) {
        const CompiledPattern p = build(gen.tree(5));
        // Half the spans near the ends of the 64-bit time line.
        const int far = i % 2;
        const std::int64_t base =
            far ? (gen.pick(2) ? 1 : -1) * ((k62 >> gen.pick(3)) + gen.between(-99, 99)) : 0;
        for (int s = 0; s < 4; ++s) {
            Time t0 = gen.time(base);
            Time t1 = s == 3 ? t0 : gen.time(base);
            if (t1 < t0) std::swap(t0, t1);
            SCOPED_TRACE("tree " + std::to_string(i) + " span " +
                         ::testing::PrintToString(A(t0, t1)));
            model::Model m{p.nodes};
            const model::Evs want = m.query(p.root, model::exact(t0), model::exact(t1));
            if (!m.fits) continue;
            ASSERT_TRUE(same(p, want, pq::query(p.nodes, p.root, A(t0, t1))));
            compared[far] += want.size();
        }
    }
    EXPECT_GT(compared[0], 20'000u);
    EXPECT_GT(compared[1], 10'000u);
}

// ---------------------------------------------------------------------------------------------
// Properties the model does not state: splitting a span, inverse transforms.

using OnsetKey = std::tuple<Time, Time, int>;
std::vector<OnsetKey> onsets(const Events& events) {
    std::vector<OnsetKey> keys;
    for (const Event& e : events) {
        const auto& n = std::get<pattern_engine::event::Note>(e.value);
        if (e.has_onset()) keys.emplace_back(e.whole->begin, e.whole->end, n.note);
    }
    std::sort(keys.begin(), keys.end());
    return keys;
}

TEST(QueryProperties, SplitSpansAndInverseTransformsAgree) {
    TreeGen gen(0x5eed0001);
    std::size_t compared = 0;
    for (int i = 0; i < 1000; ++i) {
        // Not wild: Warp's rounding can turn a fragment starting at the split into an onset, and
        // huge offsets leave the range.
        const ir::IrNode root = gen.tree(5, false);
        const CompiledPattern p = build(root);
        Time t[3] = {gen.time(), gen.time(), gen.time()};
        std::sort(std::begin(t), std::end(t));
        SCOPED_TRACE("tree " + std::to_string(i) + " span " +
                     ::testing::PrintToString(A(t[0], t[2])));
        Events halves = pq::query(p.nodes, p.root, A(t[0], t[1]));
        pq::query_into(p.nodes, p.root, A(t[1], t[2]), halves);
        const Events whole = pq::query(p.nodes, p.root, A(t[0], t[2]));
        if (t[0] < t[1] && t[1] < t[2]) {
            ASSERT_EQ(onsets(whole), onsets(halves));
        }
        compared += whole.size();

        const std::int64_t n = gen.between(1, 4);
        const std::int64_t d = gen.between(1, 4);
        const auto ud = static_cast<std::uint64_t>(d);
        const Arc span = A(t[0], t[2]);
        ASSERT_EQ(run(fast(n, d, slow(n, d, root)), span), whole);
        ASSERT_EQ(run(late(n, d, early(n, d, root)), span), whole);
        ASSERT_EQ(run(freeze(root), span), whole);
        // The direct entry points against the nodes they stand for.
        ASSERT_EQ(pq::query_fast(p.nodes, n, ud, p.root, span), run(slow(d, n, root), span));
        ASSERT_EQ(pq::query_early(p.nodes, -n, ud, p.root, span), run(late(n, d, root), span));
        const Arc inside = A(t[0], std::min(t[2], T(t[0].floor() + 1)));
        if (inside.begin < inside.end) {
            ASSERT_EQ(run(rev(rev(root)), inside), run(root, inside));
        }
    }
    EXPECT_GT(compared, 20'000u);
}

// ---------------------------------------------------------------------------------------------
// The budget: absurd but legal patterns end promptly, bounded, with `cut` set.

#if defined(__SANITIZE_ADDRESS__) || !defined(__OPTIMIZE__)
constexpr double kSlowBuild = 25.0;
#else
constexpr double kSlowBuild = 1.0;
#endif

struct Cut {
    Events events;
    pq::Budget budget;
    double ms;
};
Cut run_budgeted(const ir::IrNode& root, const Arc& span) {
    const CompiledPattern p = build(root);
    Cut r;
    // Processor time, so that a busy machine does not fail the bound.
    const std::clock_t start = std::clock();
    pq::query_into(p.nodes, p.root, span, r.events, r.budget);
    r.ms = 1000.0 * static_cast<double>(std::clock() - start) / CLOCKS_PER_SEC;
    return r;
}

TEST(QueryBudget, AbsurdPatternsEndPromptlyAndSayTheyWereCut) {
    const std::int64_t k = 1'000'000'000'000'000;
    // Each event pays for the Degrade and Warp levels above it.
    ir::IrNode deep = fast(262144, 1, a());
    for (int i = 0; i < 60; ++i)
        deep = degrade(0.0, 1, warp(8, 0.6, std::move(deep)));
    const ir::IrNode roots[] = {
        fast(k, 1, a()),
        fast(k, 1, slow(1, k, a())),
        fast(INT64_MAX, 1, cat(a(), b(), c())),
        euclid(UINT32_MAX, UINT32_MAX, 12345, a()),
        rev(fast(k, 1, every(2, a(), b()))),
        stack(fast(k, 1, a()), fast(k, 1, b()), late(INT64_MIN, 1, fast(k, 1, a()))),
        slow(1, INT64_MAX, stack(a(), cat(b(), c()))),
        fast(k, 1, rev(ir::Stack{std::vector<ir::IrNode>(2000, silence())})),
        deep,
    };
    for (std::size_t i = 0; i < std::size(roots); ++i) {
        for (const Arc& span : {A(T(0), T(1)), A(T(-1), T(1'000'000'000'000))}) {
            const Cut r = run_budgeted(roots[i], span);
            SCOPED_TRACE(std::to_string(i) + " over " + ::testing::PrintToString(span));
            EXPECT_TRUE(r.budget.cut);
            EXPECT_LT(r.ms, 50.0 * kSlowBuild);  // ms of CPU, with room for a loaded machine
            EXPECT_LE(r.events.size(), pq::work_limit);
        }
    }
    // What comes back is the start of the full answer.
    const Cut r = run_budgeted(fast(k, 1, a()), A(T(0), T(1)));
    ASSERT_FALSE(r.events.empty());
    EXPECT_EQ(r.events.back().whole->begin, T(static_cast<std::int64_t>(r.events.size()) - 1, k));
}

TEST(QueryBudget, OneAbsurdBranchDoesNotStarveItsSiblings) {
    const std::pair<ir::IrNode, const char*> cases[] = {
        {stack(fast(262144, 1, note(1)), a()), "60 [0, 1]"},
        {cat(fast(1 << 20, 1, note(1)), a()), "60 [1/2, 1]"}};
    for (const auto& [root, want] : cases) {
        const Cut r = run_budgeted(root, A(T(0), T(1)));
        EXPECT_TRUE(r.budget.cut);
        EXPECT_EQ(show({r.events.back()}), want);
    }
}

TEST(QueryBudget, BigValuesAreSharedAndLongLabelsCounted) {
    // 256 arguments: every event refers to the atom's body instead of copying it.
    const Osc big("/synth/" + std::string(8192, 'x'),
                  std::vector<pattern_engine::event::OscArg>(256, 0.5));
    const CompiledPattern p = build(fast(262144, 1, atom(big)));
    pq::Budget budget{.work = UINT64_MAX};
    Events events;
    pq::query_into(p.nodes, p.root, A(T(0), T(1)), events, budget);
    EXPECT_FALSE(budget.cut);
    ASSERT_EQ(events.size(), 262144u);
    const auto& body = std::get<Osc>(std::get<pn::Atom>(p.nodes[0]).value).body();
    EXPECT_EQ(&std::get<Osc>(events.back().value).body(), &body);
    // A long label is copied into every event, so bytes run out long before steps.
    const Cut r = run_budgeted(fast(262144, 1, control(std::string(8192, 'l'))), A(T(0), T(1)));
    EXPECT_TRUE(r.budget.cut);
    EXPECT_LE(r.events.size() * 8192, pq::bytes_limit);
    EXPECT_GT(r.events.size() * 8192, pq::bytes_limit / 2);
}

TEST(QueryBudget, OneBudgetSpansSeveralQueriesAndOrdinaryOnesAreNotCut) {
    const CompiledPattern p = build(stack(fast(20000, 1, a()), euclid(3, UINT32_MAX, 5, b())));
    pq::Budget budget;
    Events events;
    pq::query_into(p.nodes, p.root, A(T(0), T(1)), events, budget);
    EXPECT_FALSE(budget.cut);
    EXPECT_EQ(events.size(), 20003u);
    pq::query_into(p.nodes, p.root, A(T(1), T(2)), events, budget);
    EXPECT_TRUE(budget.cut);
    EXPECT_LT(events.size(), 2 * 20003u);
}

}  // namespace
