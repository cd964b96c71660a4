#include "pattern_engine/pattern/query.hpp"

#include <gtest/gtest.h>

#include <cstdint>

#include "query_helpers.hpp"

namespace {

using namespace query_helpers;

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

}  // namespace
