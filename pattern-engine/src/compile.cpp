#include "pattern_engine/ir/compile.hpp"

#include <type_traits>

namespace pattern_engine::ir::compile {

namespace {

namespace node = pattern::node;
using pattern::NodeIndex;

// [n, d] in lowest terms; validation guarantees d >= 1.
time::Time to_time(const Ratio& r) {
    return time::Time(r.numerator, static_cast<std::uint64_t>(r.denominator));
}

pattern::ChildList compile_children(const std::vector<IrNode>& children,
                                    pattern::CompiledPattern& pattern) {
    pattern::ChildList out;
    out.reserve(children.size());
    for (const IrNode& child : children)
        out.push_back(compile_node(child, pattern));
    return out;
}

}  // namespace

NodeIndex compile_node(const IrNode& ir, pattern::CompiledPattern& pattern) {
    pattern::PatternNode built = std::visit(
        [&pattern](const auto& n) -> pattern::PatternNode {
            using T = std::decay_t<decltype(n)>;
            if constexpr (std::is_same_v<T, Atom>) {
                return node::Atom{n.value};
            } else if constexpr (std::is_same_v<T, Silence>) {
                return node::Silence{};
            } else if constexpr (std::is_same_v<T, Freeze>) {
                return node::Freeze{compile_node(*n.child, pattern)};
            } else if constexpr (std::is_same_v<T, Cat>) {
                return node::Cat{compile_children(n.children, pattern)};
            } else if constexpr (std::is_same_v<T, Stack>) {
                return node::Stack{compile_children(n.children, pattern)};
            } else if constexpr (std::is_same_v<T, Fast>) {
                return node::Fast{compile_node(*n.child, pattern), to_time(n.factor)};
            } else if constexpr (std::is_same_v<T, Slow>) {
                return node::Slow{compile_node(*n.child, pattern), to_time(n.factor)};
            } else if constexpr (std::is_same_v<T, Early>) {
                return node::Early{compile_node(*n.child, pattern), to_time(n.offset)};
            } else if constexpr (std::is_same_v<T, Late>) {
                return node::Late{compile_node(*n.child, pattern), to_time(n.offset)};
            } else if constexpr (std::is_same_v<T, Rev>) {
                return node::Rev{compile_node(*n.child, pattern)};
            } else if constexpr (std::is_same_v<T, Every>) {
                const NodeIndex transform = compile_node(*n.transform, pattern);
                return node::Every{n.n, transform, compile_node(*n.child, pattern)};
            } else if constexpr (std::is_same_v<T, Euclid>) {
                return node::Euclid{n.pulses, n.steps, n.rotation, compile_node(*n.child, pattern)};
            } else if constexpr (std::is_same_v<T, Degrade>) {
                return node::Degrade{n.prob, n.seed, compile_node(*n.child, pattern)};
            } else {
                static_assert(std::is_same_v<T, Warp>);
                return node::Warp{pattern::WarpKind::Swing, n.grid, n.amount,
                                  compile_node(*n.child, pattern)};
            }
        },
        static_cast<const IrNode::variant&>(ir));
    pattern.nodes.push_back(std::move(built));
    return pattern.nodes.size() - 1;
}

std::expected<pattern::CompiledPattern, IrError> compile(const IrNode& root) {
    if (auto valid = validate::validate_depth(root, 0); !valid) {
        return std::unexpected(std::move(valid.error()));
    }
    pattern::CompiledPattern pattern;
    pattern.root = compile_node(root, pattern);

    bool any_atom = false;
    bool all_control = true;
    for (const pattern::PatternNode& n : pattern.nodes) {
        if (const auto* atom = std::get_if<node::Atom>(&n)) {
            any_atom = true;
            if (!std::holds_alternative<event::Control>(atom->value)) {
                all_control = false;
                break;
            }
        }
    }
    pattern.control_only = any_atom && all_control;
    return pattern;
}

}  // namespace pattern_engine::ir::compile
