#include "pattern_engine/ir/validate.hpp"

#include <cmath>
#include <string_view>

namespace pattern_engine::ir {

std::string IrError::display() const {
    switch (kind) {
        case Kind::ZeroDenominator:
            return "time value has zero denominator";
        case Kind::NonPositiveFactor:
            return "fast/slow factor must be positive";
        case Kind::EmptyChildren:
            return detail + " requires at least one child";
        case Kind::InvalidEuclid:
            return "euclid: " + detail;
        case Kind::InvalidDegrade:
            return "degrade: " + detail;
        case Kind::InvalidEvery:
            return "every: " + detail;
        case Kind::InvalidWarp:
            return "warp: " + detail;
    }
    return {};
}

namespace validate {

namespace {

using Result = std::expected<void, IrError>;

Result fail(IrError::Kind kind, std::string detail = {}) {
    return std::unexpected(IrError{kind, std::move(detail)});
}

Result check_factor(const Ratio& factor) {
    if (factor.denominator < 1) return fail(IrError::Kind::ZeroDenominator);
    if (factor.numerator < 1) return fail(IrError::Kind::NonPositiveFactor);
    return {};
}

Result check_offset(const Ratio& offset) {
    if (offset.denominator < 1) return fail(IrError::Kind::ZeroDenominator);
    return {};
}

// The node's own parameters, without its children.
Result check_node(const IrNode& node) {
    using Kind = IrError::Kind;
    return std::visit(
        [](const auto& n) -> Result {
            using T = std::decay_t<decltype(n)>;
            if constexpr (std::is_same_v<T, Cat>) {
                if (n.children.empty()) return fail(Kind::EmptyChildren, "Cat");
            } else if constexpr (std::is_same_v<T, Stack>) {
                if (n.children.empty()) return fail(Kind::EmptyChildren, "Stack");
            } else if constexpr (std::is_same_v<T, Fast> || std::is_same_v<T, Slow>) {
                return check_factor(n.factor);
            } else if constexpr (std::is_same_v<T, Early> || std::is_same_v<T, Late>) {
                return check_offset(n.offset);
            } else if constexpr (std::is_same_v<T, Every>) {
                if (n.n == 0) return fail(Kind::InvalidEvery, "n must be > 0");
            } else if constexpr (std::is_same_v<T, Euclid>) {
                if (n.steps == 0) return fail(Kind::InvalidEuclid, "steps must be > 0");
                if (n.pulses > n.steps) return fail(Kind::InvalidEuclid, "pulses must be <= steps");
            } else if constexpr (std::is_same_v<T, Degrade>) {
                // Written so that NaN fails too.
                if (!(n.prob >= 0.0 && n.prob <= 1.0)) {
                    return fail(Kind::InvalidDegrade, "prob must be in [0, 1]");
                }
            } else if constexpr (std::is_same_v<T, Warp>) {
                if (n.kind != "swing")
                    return fail(Kind::InvalidWarp, "unknown warp kind: " + n.kind);
                if (n.grid == 0 || n.grid % 2 != 0) {
                    return fail(Kind::InvalidWarp, "grid must be even and > 0");
                }
                if (!(n.amount > 0.0 && n.amount < 1.0)) {
                    return fail(Kind::InvalidWarp, "amount must be in (0, 1)");
                }
            }
            return {};
        },
        static_cast<const IrNode::variant&>(node));
}

}  // namespace

Result validate_depth(const IrNode& node, std::size_t depth) {
    if (depth > max_depth) {
        return fail(IrError::Kind::InvalidWarp, "IR tree exceeds maximum depth of 256");
    }
    if (auto own = check_node(node); !own) return own;
    return std::visit(
        [depth](const auto& n) -> Result {
            using T = std::decay_t<decltype(n)>;
            if constexpr (std::is_same_v<T, Cat> || std::is_same_v<T, Stack>) {
                for (const IrNode& child : n.children) {
                    if (auto r = validate_depth(child, depth + 1); !r) return r;
                }
            } else if constexpr (std::is_same_v<T, Every>) {
                if (auto r = validate_depth(*n.transform, depth + 1); !r) return r;
                return validate_depth(*n.child, depth + 1);
            } else if constexpr (requires { n.child; }) {
                return validate_depth(*n.child, depth + 1);
            }
            return {};
        },
        static_cast<const IrNode::variant&>(node));
}

}  // namespace validate
}  // namespace pattern_engine::ir
