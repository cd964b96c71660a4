// pattern_engine::ir::validate — checks a pattern tree before it is compiled, so that the
// query can rely on every parameter being in range and never fails.
//
// Called by the compiler on the IPC thread; pure, keeps no state.
#pragma once

#include <cstddef>
#include <expected>
#include <string>

#include "pattern_engine/ir.hpp"

namespace pattern_engine::ir {

// Trees may have up to 257 levels: the root is at depth 0.
inline constexpr std::size_t max_depth = 256;

struct IrError {
    enum class Kind {
        ZeroDenominator,    // "time value has zero denominator"
        NonPositiveFactor,  // "fast/slow factor must be positive"
        EmptyChildren,      // "{} requires at least one child" ("Cat" or "Stack")
        InvalidEuclid,      // "euclid: {}"
        InvalidDegrade,     // "degrade: {}"
        InvalidEvery,       // "every: {}"
        InvalidWarp,        // "warp: {}"
    };

    Kind kind;
    std::string detail;  // the carried text, empty for the first two kinds

    std::string display() const;
    bool operator==(const IrError&) const = default;
};

namespace validate {

// The first error in the subtree of `node`, which lies at `depth`: the depth check first, then
// the node's own checks, then its children depth first (an Every's transform before its child).
std::expected<void, IrError> validate_depth(const IrNode& node, std::size_t depth);

}  // namespace validate
}  // namespace pattern_engine::ir
