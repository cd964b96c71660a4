// Random trees against an exact model: the query written out level by level on unbounded
// rationals (split, map every event at every level, Euclid by its flag list).

#include "pattern_engine/pattern/query.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include <boost/multiprecision/cpp_int.hpp>

#include "query_helpers.hpp"

namespace {

using namespace query_helpers;
using boost::multiprecision::cpp_int;
using boost::multiprecision::cpp_rational;
using pattern_engine::pattern::NodeIndex;

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

}  // namespace
