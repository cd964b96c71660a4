// Properties the exact model does not state: splitting a span, inverse transforms.

#include "pattern_engine/pattern/query.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <iterator>
#include <string>
#include <tuple>
#include <variant>
#include <vector>

#include "query_helpers.hpp"

namespace {

using namespace query_helpers;

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

}  // namespace
