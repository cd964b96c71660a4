#include "pattern_engine/ir/validate.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <utility>

#include "ir_builders.hpp"
#include "pattern_engine/ir/compile.hpp"

namespace {

using namespace ir_builders;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
const std::string kTooDeep = "warp: IR tree exceeds maximum depth of 256";

// The display text of the first error, or "" for a valid tree; compile must agree.
std::string failure(const ir::IrNode& root) {
    const auto validated = ir::validate::validate_depth(root, 0);
    const auto compiled = ir::compile::compile(root);
    EXPECT_EQ(validated.has_value(), compiled.has_value());
    if (validated) return "";
    EXPECT_TRUE(compiled || compiled.error() == validated.error());
    return validated.error().display();
}

using Wrap = ir::IrNode (*)(ir::IrNode);
constexpr Wrap kSingleChildKinds[] = {
    [](ir::IrNode x) { return rev(std::move(x)); },
    [](ir::IrNode x) { return freeze(std::move(x)); },
    [](ir::IrNode x) { return fast(3, 2, std::move(x)); },
    [](ir::IrNode x) { return slow(1, 1, std::move(x)); },
    [](ir::IrNode x) { return early(-1, 4, std::move(x)); },
    [](ir::IrNode x) { return late(0, 1, std::move(x)); },
    [](ir::IrNode x) { return euclid(3, 8, 1, std::move(x)); },
    [](ir::IrNode x) { return degrade(0.5, 1, std::move(x)); },
    [](ir::IrNode x) { return warp(4, 0.5, std::move(x)); },
    [](ir::IrNode x) { return every(2, silence(), std::move(x)); },
};

// A chain of `levels` levels ending in `leaf`, wrapped by the single-child kinds in turn: a kind
// that did not count one level would move the limit.
ir::IrNode chain(std::size_t levels, ir::IrNode leaf) {
    for (std::size_t level = 1; level < levels; ++level)
        leaf = kSingleChildKinds[level % std::size(kSingleChildKinds)](std::move(leaf));
    return leaf;
}

TEST(ValidateChecks, FirstFailureDepthFirstWithItsText) {
    const struct {
        ir::IrNode root;
        std::string want;
    } cases[] = {
        {stack(fast(INT64_MAX, INT64_MAX, note(1)), slow(7, 3, silence()),
               early(INT64_MIN, 1, silence()), late(0, 3, silence()),
               every(UINT32_MAX, silence(), silence()), euclid(0, 8, 0, silence()),
               euclid(8, 8, UINT32_MAX, silence()), degrade(0.0, 0, silence()),
               degrade(1.0, UINT64_MAX, silence()), warp(2, 1e-9, silence()),
               warp(4294967294u, 0.999, control("x"))),
         ""},
        {cat(), "Cat requires at least one child"},
        {stack(), "Stack requires at least one child"},
        {fast(0, 1, silence()), "fast/slow factor must be positive"},
        {slow(INT64_MIN, 1, silence()), "fast/slow factor must be positive"},
        {fast(0, 0, silence()), "time value has zero denominator"},
        {early(0, -1, silence()), "time value has zero denominator"},
        {every(0, cat(), silence()), "every: n must be > 0"},
        {euclid(5, 0, 0, silence()), "euclid: steps must be > 0"},
        {euclid(9, 8, 0, silence()), "euclid: pulses must be <= steps"},
        {degrade(std::nextafter(1.0, 2.0), 0, silence()), "degrade: prob must be in [0, 1]"},
        {degrade(kNaN, 0, silence()), "degrade: prob must be in [0, 1]"},
        {warp_kind("Swing", 3, 0.0, silence()), "warp: unknown warp kind: Swing"},
        {warp_kind(std::string("swing\0", 6), 2, 0.5, silence()),
         std::string("warp: unknown warp kind: swing\0", 31)},
        {warp_kind("swing", 3, 0.0, silence()), "warp: grid must be even and > 0"},
        {warp_kind("swing", 0, 0.5, silence()), "warp: grid must be even and > 0"},
        {warp(2, 0.0, silence()), "warp: amount must be in (0, 1)"},
        {warp(2, 1.0, silence()), "warp: amount must be in (0, 1)"},
        {warp(2, kNaN, silence()), "warp: amount must be in (0, 1)"},
        {cat(rev(freeze(late(1, 0, silence()))), stack()), "time value has zero denominator"},
        {every(2, cat(), warp_kind("Swing", 2, 0.5, silence())), "Cat requires at least one child"},
        {warp(4, 1.0, stack()), "warp: amount must be in (0, 1)"},
        // Depth: the root is at 0, so 257 levels pass; the check precedes a node's own.
        {chain(257, note(60)), ""},
        {chain(258, note(60)), kTooDeep},
        {chain(257, cat()), "Cat requires at least one child"},
        {chain(257, cat(silence())), kTooDeep},
        {every(2, chain(256, silence()), silence()), ""},
        {every(2, chain(257, silence()), silence()), kTooDeep},
        {chain(200, stack(chain(58, silence()), cat())), kTooDeep},
        {chain(200, stack(chain(57, silence()), cat())), "Cat requires at least one child"},
    };
    for (std::size_t i = 0; i < std::size(cases); ++i)
        EXPECT_EQ(failure(cases[i].root), cases[i].want) << "case " << i;
}

}  // namespace
