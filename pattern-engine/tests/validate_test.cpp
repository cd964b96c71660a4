#include "pattern_engine/ir/validate.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <utility>

#include "ir_builders.hpp"
#include "pattern_engine/ir.hpp"
#include "pattern_engine/ir/compile.hpp"

namespace {

using namespace ir_builders;

namespace ir = pattern_engine::ir;
using pattern_engine::event::Control;
using pattern_engine::event::Note;
using pattern_engine::event::Value;
using Kind = ir::IrError::Kind;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

// The validation result of a whole tree; compile must report the very same error (or succeed).
std::optional<ir::IrError> error_of(const ir::IrNode& root) {
    const auto validated = ir::validate::validate_depth(root, 0);
    const auto compiled = ir::compile::compile(root);
    EXPECT_EQ(validated.has_value(), compiled.has_value());
    if (validated.has_value()) return std::nullopt;
    if (!compiled.has_value()) {
        EXPECT_EQ(compiled.error(), validated.error());
    }
    return validated.error();
}

// The display text of the first error, or "" when the tree is valid.
std::string failure(const ir::IrNode& root) {
    const auto error = error_of(root);
    return error ? error->display() : std::string();
}

const std::string kTooDeep = "warp: IR tree exceeds maximum depth of 256";

// One of the single-child kinds, all with valid parameters, chosen by `which`.
ir::IrNode wrap(std::size_t which, ir::IrNode child) {
    switch (which % 10) {
        case 0:
            return rev(std::move(child));
        case 1:
            return freeze(std::move(child));
        case 2:
            return fast(3, 2, std::move(child));
        case 3:
            return slow(1, 1, std::move(child));
        case 4:
            return early(-1, 4, std::move(child));
        case 5:
            return late(0, 1, std::move(child));
        case 6:
            return euclid(3, 8, 1, std::move(child));
        case 7:
            return degrade(0.5, 1, std::move(child));
        case 8:
            return warp_kind("swing", 4, 0.5, std::move(child));
        default:
            return every(2, silence(), std::move(child));
    }
}

// A tree of exactly `levels` levels with `leaf` at depth levels - 1.
ir::IrNode chain(std::size_t levels, ir::IrNode leaf, std::size_t kinds = 10) {
    ir::IrNode node = std::move(leaf);
    for (std::size_t level = 1; level < levels; ++level) {
        node = wrap(kinds == 1 ? 0 : level % kinds, std::move(node));
    }
    return node;
}

// Only one kind of wrapper, so each kind must count its own level.
ir::IrNode uniform_chain(std::size_t levels, std::size_t which, ir::IrNode leaf) {
    ir::IrNode node = std::move(leaf);
    for (std::size_t level = 1; level < levels; ++level)
        node = wrap(which, std::move(node));
    return node;
}

TEST(ValidateErrorDisplay, EveryKindHasItsText) {
    EXPECT_EQ((ir::IrError{Kind::ZeroDenominator, ""}.display()),
              "time value has zero denominator");
    EXPECT_EQ((ir::IrError{Kind::NonPositiveFactor, ""}.display()),
              "fast/slow factor must be positive");
    EXPECT_EQ((ir::IrError{Kind::EmptyChildren, "Cat"}.display()),
              "Cat requires at least one child");
    EXPECT_EQ((ir::IrError{Kind::EmptyChildren, "Stack"}.display()),
              "Stack requires at least one child");
    EXPECT_EQ((ir::IrError{Kind::InvalidEuclid, "x y"}.display()), "euclid: x y");
    EXPECT_EQ((ir::IrError{Kind::InvalidDegrade, "x y"}.display()), "degrade: x y");
    EXPECT_EQ((ir::IrError{Kind::InvalidEvery, "x y"}.display()), "every: x y");
    EXPECT_EQ((ir::IrError{Kind::InvalidWarp, "x y"}.display()), "warp: x y");
}

TEST(ValidateValidTrees, EveryKindWithLegalParametersPasses) {
    const ir::IrNode root =
        stack(note(60), silence(), freeze(note(61)), cat(note(62), rev(note(63))),
              fast(1, 1, note(64)), slow(7, 3, note(65)), early(0, 3, note(66)),
              late(-5, 1, note(67)), every(1, note(68), note(69)), euclid(0, 8, 0, note(70)),
              euclid(8, 8, 100, note(71)), degrade(0.0, 0, note(72)),
              degrade(1.0, UINT64_MAX, note(73)), warp_kind("swing", 2, 0.5, note(74)),
              ir::IrNode{ir::Atom{Value{Control{"", std::numeric_limits<float>::quiet_NaN()}}}});
    EXPECT_EQ(error_of(root), std::nullopt);
}

TEST(ValidateDepth, ChainsOf257LevelsPassAnd258Fail) {
    EXPECT_EQ(failure(chain(257, note(60))), "");
    EXPECT_EQ(failure(chain(258, note(60))), kTooDeep);
    EXPECT_EQ(failure(chain(257, silence())), "");
    EXPECT_EQ(failure(chain(258, silence())), kTooDeep);
}

TEST(ValidateDepth, EachSingleChildKindCountsOneLevel) {
    for (std::size_t which = 0; which < 10; ++which) {
        SCOPED_TRACE(which);
        EXPECT_EQ(failure(uniform_chain(257, which, silence())), "");
        EXPECT_EQ(failure(uniform_chain(258, which, silence())), kTooDeep);
    }
}

TEST(ValidateDepth, EveryTransformAndChildLieOneLevelDown) {
    // 256 levels below the Every on either side make 257 in all.
    EXPECT_EQ(failure(every(2, chain(256, silence()), silence())), "");
    EXPECT_EQ(failure(every(2, silence(), chain(256, silence()))), "");
    EXPECT_EQ(failure(every(2, chain(257, silence()), silence())), kTooDeep);
    EXPECT_EQ(failure(every(2, silence(), chain(257, silence()))), kTooDeep);
}

TEST(ValidateDepth, CatAndStackChildrenLieOneLevelDown) {
    // The list node itself at depth 256 is fine; its children at 257 are not.
    EXPECT_EQ(failure(chain(257, cat(silence()))), kTooDeep);
    EXPECT_EQ(failure(chain(257, stack(note(1), note(2)))), kTooDeep);
    EXPECT_EQ(failure(chain(256, cat(silence(), note(60)))), "");
    EXPECT_EQ(failure(chain(256, stack(silence(), note(60)))), "");
    // A Cat at depth 255 whose second child goes one level deeper than the first.
    EXPECT_EQ(failure(chain(256, cat(silence(), rev(silence())))), kTooDeep);
}

TEST(ValidateDepth, EmptyListAtTheDeepestLevelReportsItsOwnCheck) {
    // The Cat at depth 256 passes the depth check, so its own check is what fails.
    EXPECT_EQ(failure(chain(257, cat())), "Cat requires at least one child");
    EXPECT_EQ(failure(chain(257, stack())), "Stack requires at least one child");
    EXPECT_EQ(failure(chain(258, cat())), kTooDeep);
}

TEST(ValidateDepth, DepthCheckPrecedesTheNodesOwnChecks) {
    EXPECT_EQ(failure(chain(257, fast(0, 0, silence()))), "time value has zero denominator");
    EXPECT_EQ(failure(chain(258, fast(0, 0, silence()))), kTooDeep);
    EXPECT_EQ(failure(chain(258, fast(0, 0, silence()), 1)), kTooDeep);
    EXPECT_EQ(failure(chain(258, warp_kind("Swing", 3, 0, silence()))), kTooDeep);
    EXPECT_EQ(failure(chain(258, every(0, silence(), silence()))), kTooDeep);
}

TEST(ValidateDepth, StartingDepthIsHonoured) {
    using ir::validate::validate_depth;
    EXPECT_TRUE(validate_depth(silence(), 256).has_value());
    EXPECT_TRUE(validate_depth(silence(), ir::max_depth).has_value());
    const auto at_257 = validate_depth(silence(), 257);
    ASSERT_FALSE(at_257.has_value());
    EXPECT_EQ(at_257.error(),
              (ir::IrError{Kind::InvalidWarp, "IR tree exceeds maximum depth of 256"}));
    EXPECT_FALSE(validate_depth(rev(silence()), 256).has_value());
    EXPECT_TRUE(validate_depth(rev(silence()), 255).has_value());
    EXPECT_FALSE(validate_depth(silence(), SIZE_MAX).has_value());
}

TEST(ValidateLists, EmptyCatAndStackAreRefused) {
    const auto cat_error = error_of(cat());
    ASSERT_TRUE(cat_error.has_value());
    EXPECT_EQ(*cat_error, (ir::IrError{Kind::EmptyChildren, "Cat"}));
    EXPECT_EQ(cat_error->display(), "Cat requires at least one child");
    const auto stack_error = error_of(stack());
    ASSERT_TRUE(stack_error.has_value());
    EXPECT_EQ(*stack_error, (ir::IrError{Kind::EmptyChildren, "Stack"}));
    EXPECT_EQ(stack_error->display(), "Stack requires at least one child");
    EXPECT_EQ(failure(cat(silence())), "");
    EXPECT_EQ(failure(stack(silence())), "");
}

TEST(ValidateFactors, DenominatorIsCheckedBeforeNumerator) {
    for (const bool is_fast : {true, false}) {
        SCOPED_TRACE(is_fast ? "Fast" : "Slow");
        auto node = [&](std::int64_t n, std::int64_t d) {
            return is_fast ? fast(n, d, silence()) : slow(n, d, silence());
        };
        EXPECT_EQ(failure(node(0, 1)), "fast/slow factor must be positive");
        EXPECT_EQ(failure(node(-3, 2)), "fast/slow factor must be positive");
        EXPECT_EQ(failure(node(INT64_MIN, 1)), "fast/slow factor must be positive");
        EXPECT_EQ(failure(node(1, 0)), "time value has zero denominator");
        EXPECT_EQ(failure(node(1, -2)), "time value has zero denominator");
        EXPECT_EQ(failure(node(1, INT64_MIN)), "time value has zero denominator");
        EXPECT_EQ(failure(node(0, 0)), "time value has zero denominator");
        EXPECT_EQ(failure(node(-4, -6)), "time value has zero denominator");
        EXPECT_EQ(failure(node(1, 1)), "");
        EXPECT_EQ(failure(node(INT64_MAX, INT64_MAX)), "");
    }
    const auto zero = error_of(fast(0, 0, silence()));
    ASSERT_TRUE(zero.has_value());
    EXPECT_EQ(*zero, (ir::IrError{Kind::ZeroDenominator, ""}));
    const auto negative = error_of(slow(-1, 1, silence()));
    ASSERT_TRUE(negative.has_value());
    EXPECT_EQ(*negative, (ir::IrError{Kind::NonPositiveFactor, ""}));
}

TEST(ValidateOffsets, AnyNumeratorOverAPositiveDenominator) {
    for (const bool is_early : {true, false}) {
        SCOPED_TRACE(is_early ? "Early" : "Late");
        auto node = [&](std::int64_t n, std::int64_t d) {
            return is_early ? early(n, d, silence()) : late(n, d, silence());
        };
        EXPECT_EQ(failure(node(0, 3)), "");
        EXPECT_EQ(failure(node(-6, 4)), "");
        EXPECT_EQ(failure(node(INT64_MIN, 1)), "");
        EXPECT_EQ(failure(node(1, 0)), "time value has zero denominator");
        EXPECT_EQ(failure(node(0, 0)), "time value has zero denominator");
        EXPECT_EQ(failure(node(-1, -1)), "time value has zero denominator");
    }
}

TEST(ValidateEvery, NMustBePositive) {
    const auto zero = error_of(every(0, note(60), note(61)));
    ASSERT_TRUE(zero.has_value());
    EXPECT_EQ(*zero, (ir::IrError{Kind::InvalidEvery, "n must be > 0"}));
    EXPECT_EQ(zero->display(), "every: n must be > 0");
    EXPECT_EQ(failure(every(1, note(60), note(61))), "");
    EXPECT_EQ(failure(every(UINT32_MAX, note(60), note(61))), "");
    // The node's own check comes before its (also invalid) transform.
    EXPECT_EQ(failure(every(0, cat(), note(61))), "every: n must be > 0");
}

TEST(ValidateEuclid, StepsThenPulses) {
    const auto no_steps = error_of(euclid(0, 0, 0, note(36)));
    ASSERT_TRUE(no_steps.has_value());
    EXPECT_EQ(*no_steps, (ir::IrError{Kind::InvalidEuclid, "steps must be > 0"}));
    EXPECT_EQ(no_steps->display(), "euclid: steps must be > 0");
    EXPECT_EQ(failure(euclid(5, 0, 0, note(36))), "euclid: steps must be > 0");
    EXPECT_EQ(failure(euclid(9, 8, 0, note(36))), "euclid: pulses must be <= steps");
    EXPECT_EQ(failure(euclid(UINT32_MAX, UINT32_MAX - 1, 0, note(36))),
              "euclid: pulses must be <= steps");
    EXPECT_EQ(failure(euclid(0, 8, 0, note(36))), "");
    EXPECT_EQ(failure(euclid(8, 8, 0, note(36))), "");
    EXPECT_EQ(failure(euclid(3, 8, UINT32_MAX, note(36))), "");
    EXPECT_EQ(failure(euclid(UINT32_MAX, UINT32_MAX, UINT32_MAX, note(36))), "");
}

TEST(ValidateDegrade, ProbWithinClosedUnitInterval) {
    const std::string refused = "degrade: prob must be in [0, 1]";
    for (const double prob : {0.0, -0.0, 1e-300, 0.3, 1.0}) {
        SCOPED_TRACE(prob);
        EXPECT_EQ(failure(degrade(prob, 0, note(60))), "");
    }
    for (const double prob :
         {1.0000001, std::nextafter(1.0, 2.0), -1e-300, -1.0, kNaN, -kNaN, kInf, -kInf}) {
        SCOPED_TRACE(prob);
        EXPECT_EQ(failure(degrade(prob, 0, note(60))), refused);
    }
    const auto error = error_of(degrade(kNaN, UINT64_MAX, note(60)));
    ASSERT_TRUE(error.has_value());
    EXPECT_EQ(*error, (ir::IrError{Kind::InvalidDegrade, "prob must be in [0, 1]"}));
}

TEST(ValidateWarp, KindThenGridThenAmount) {
    EXPECT_EQ(failure(warp_kind("swing", 2, 0.5, note(60))), "");
    EXPECT_EQ(failure(warp_kind("swing", 4294967294u, 0.999, note(60))), "");
    EXPECT_EQ(failure(warp_kind("swing", 8, 1e-9, note(60))), "");

    // The kind must match byte for byte and is echoed as received.
    EXPECT_EQ(failure(warp_kind("Swing", 2, 0.5, note(60))), "warp: unknown warp kind: Swing");
    EXPECT_EQ(failure(warp_kind("SWING", 2, 0.5, note(60))), "warp: unknown warp kind: SWING");
    EXPECT_EQ(failure(warp_kind("swing ", 2, 0.5, note(60))), "warp: unknown warp kind: swing ");
    EXPECT_EQ(failure(warp_kind("", 2, 0.5, note(60))), "warp: unknown warp kind: ");
    EXPECT_EQ(failure(warp_kind("shuffle", 2, 0.5, note(60))), "warp: unknown warp kind: shuffle");
    EXPECT_EQ(failure(warp_kind(std::string("swing\0", 6), 2, 0.5, note(60))),
              std::string("warp: unknown warp kind: swing\0", 31));
    EXPECT_EQ(failure(warp_kind("Swing", 3, 0.0, note(60))), "warp: unknown warp kind: Swing");

    const std::string bad_grid = "warp: grid must be even and > 0";
    EXPECT_EQ(failure(warp_kind("swing", 3, 0.5, note(60))), bad_grid);
    EXPECT_EQ(failure(warp_kind("swing", 0, 0.5, note(60))), bad_grid);
    EXPECT_EQ(failure(warp_kind("swing", 1, 0.5, note(60))), bad_grid);
    EXPECT_EQ(failure(warp_kind("swing", UINT32_MAX, 0.5, note(60))), bad_grid);
    EXPECT_EQ(failure(warp_kind("swing", 3, 0.0, note(60))), bad_grid);
    EXPECT_EQ(failure(warp_kind("swing", 0, kNaN, note(60))), bad_grid);

    const std::string bad_amount = "warp: amount must be in (0, 1)";
    for (const double amount : {0.0, -0.0, 1.0, -0.5, 1.5, kNaN, kInf, -kInf}) {
        SCOPED_TRACE(amount);
        EXPECT_EQ(failure(warp_kind("swing", 2, amount, note(60))), bad_amount);
    }

    const auto error = error_of(warp_kind("Swing", 2, 0.5, note(60)));
    ASSERT_TRUE(error.has_value());
    EXPECT_EQ(*error, (ir::IrError{Kind::InvalidWarp, "unknown warp kind: Swing"}));
    const auto grid = error_of(warp_kind("swing", 3, 0.5, note(60)));
    ASSERT_TRUE(grid.has_value());
    EXPECT_EQ(*grid, (ir::IrError{Kind::InvalidWarp, "grid must be even and > 0"}));
    const auto amount = error_of(warp_kind("swing", 2, 1.0, note(60)));
    ASSERT_TRUE(amount.has_value());
    EXPECT_EQ(*amount, (ir::IrError{Kind::InvalidWarp, "amount must be in (0, 1)"}));
}

TEST(ValidateOrder, FirstFailureInDepthFirstOrderWins) {
    EXPECT_EQ(failure(cat(note(60), stack())), "Stack requires at least one child");
    EXPECT_EQ(failure(cat(fast(0, 1, silence()), stack())), "fast/slow factor must be positive");
    EXPECT_EQ(failure(stack(note(60), cat(euclid(9, 8, 0, silence())), degrade(2.0, 0, silence()))),
              "euclid: pulses must be <= steps");
    // Transform before child, whichever errors they carry.
    EXPECT_EQ(failure(every(2, warp_kind("Swing", 2, 0.5, silence()), cat())),
              "warp: unknown warp kind: Swing");
    EXPECT_EQ(failure(every(2, cat(), warp_kind("Swing", 2, 0.5, silence()))),
              "Cat requires at least one child");
    EXPECT_EQ(failure(every(2, note(60), every(0, silence(), silence()))), "every: n must be > 0");
    // A node's own check before its children's.
    EXPECT_EQ(failure(fast(1, 0, cat())), "time value has zero denominator");
    EXPECT_EQ(failure(warp_kind("swing", 4, 1.0, stack())), "warp: amount must be in (0, 1)");
    // A deep error in an earlier branch beats a shallow one in a later branch.
    EXPECT_EQ(failure(stack(rev(freeze(late(1, 0, silence()))), cat())),
              "time value has zero denominator");
    // A branch that is too deep is reported in its turn, like any other failure.
    EXPECT_EQ(failure(chain(200, stack(chain(58, silence()), cat()))), kTooDeep);
    EXPECT_EQ(failure(chain(200, stack(chain(57, silence()), cat()))),
              "Cat requires at least one child");
}

TEST(ValidateOrder, ValidationDoesNotChangeTheTree) {
    const ir::IrNode root = every(3, warp_kind("Swing", 4, 0.5, note(60)), cat(note(61), stack()));
    const ir::IrNode copy = root;
    EXPECT_TRUE(error_of(root).has_value());
    EXPECT_EQ(root, copy);
}

}  // namespace
