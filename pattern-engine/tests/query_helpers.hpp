// What the query tests share: short times and spans, three notes, building and querying a
// tree, events as text, and random trees.
#pragma once

#include <algorithm>
#include <cstdint>
#include <random>
#include <sstream>
#include <string>
#include <variant>
#include <vector>

#include <gtest/gtest.h>

#include "ir_builders.hpp"
#include "pattern_engine/ir/compile.hpp"
#include "pattern_engine/pattern/query.hpp"
#include "printers.hpp"

namespace query_helpers {

using namespace ir_builders;
namespace pq = pattern_engine::pattern::query;
namespace pn = pattern_engine::pattern::node;
using pattern_engine::pattern::CompiledPattern;
using pattern_engine::time::Arc;
using pattern_engine::time::Time;
using Event = pattern_engine::event::Event<>;
using Events = pq::Events;

inline constexpr std::int64_t k62 = std::int64_t{1} << 62;

inline constexpr auto T = [](std::int64_t n, std::uint64_t d = 1) { return Time(n, d); };
inline constexpr auto A = [](Time b, Time e) { return Arc{b, e}; };
inline constexpr auto a = [] { return note(60); };
inline constexpr auto b = [] { return note(62); };
inline constexpr auto c = [] { return note(64); };

inline CompiledPattern build(const ir::IrNode& root) {
    auto p = ir::compile::compile(root);
    EXPECT_TRUE(p.has_value());
    return p ? std::move(*p) : CompiledPattern{{pn::Silence{}}, 0, false};
}
inline Events run(const ir::IrNode& root, const Arc& span) {
    const CompiledPattern p = build(root);
    return pq::query(p.nodes, p.root, span);
}

// "60 [0, 1/2]" for an onset whose part is its whole, "60 [0, 1] [1/2, 1]" for a fragment.
inline std::string show(const Events& events) {
    std::ostringstream os;
    for (const Event& e : events) {
        if (&e != &events.front()) os << "; ";
        os << int{std::get<pattern_engine::event::Note>(e.value).note} << ' ';
        PrintTo(*e.whole, &os);
        if (e.part != *e.whole) os << ' ', PrintTo(e.part, &os);
    }
    return os.str();
}

// Random trees of every kind; `wild` adds huge offsets and Warp.
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

}  // namespace query_helpers
