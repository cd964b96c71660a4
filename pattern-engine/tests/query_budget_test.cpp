// The budget: absurd but legal patterns end promptly, bounded, with `cut` set.

#include "pattern_engine/pattern/query.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <ctime>
#include <string>
#include <utility>
#include <vector>

#include "query_helpers.hpp"

namespace {

using namespace query_helpers;
using pattern_engine::event::Osc;

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
