// pattern_engine::pattern — a compiled pattern: the flat node arena that the query walks.
//
// Made by the compiler on the IPC thread, moved to the main loop and owned by a slot there.
// Every node refers to its children by arena index; each child index is smaller than its
// parent's and the root is the last node. All parameters are in range (the compiler validated
// them), so the query never fails.
#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>
#include <variant>
#include <vector>

#include "support/small_vector.hpp"

#include "pattern_engine/event.hpp"
#include "pattern_engine/time.hpp"

namespace pattern_engine::pattern {

using NodeIndex = std::size_t;
// Child lists of up to 8 entries stay in place.
using ChildList = boost::container::small_vector<NodeIndex, 8>;

enum class WarpKind : std::uint8_t { Swing = 0 };

namespace node {
struct Atom {
    event::Value value;
    bool operator==(const Atom&) const = default;
};
struct Silence {
    bool operator==(const Silence&) const = default;
};
struct Freeze {
    NodeIndex child;
    bool operator==(const Freeze&) const = default;
};
struct Fast {
    NodeIndex child;
    time::Time factor;  // > 0
    bool operator==(const Fast&) const = default;
};
struct Slow {
    NodeIndex child;
    time::Time factor;  // > 0
    bool operator==(const Slow&) const = default;
};
struct Early {
    NodeIndex child;
    time::Time offset;
    bool operator==(const Early&) const = default;
};
struct Late {
    NodeIndex child;
    time::Time offset;
    bool operator==(const Late&) const = default;
};
struct Rev {
    NodeIndex child;
    bool operator==(const Rev&) const = default;
};
struct Cat {
    ChildList children;  // at least one
    bool operator==(const Cat&) const = default;
};
struct Stack {
    ChildList children;  // at least one
    bool operator==(const Stack&) const = default;
};
struct Every {
    std::uint32_t n;  // >= 1
    NodeIndex transform;
    NodeIndex child;
    bool operator==(const Every&) const = default;
};
struct Euclid {
    std::uint32_t pulses;
    std::uint32_t steps;  // >= 1, >= pulses
    std::uint32_t rotation;
    NodeIndex child;
    bool operator==(const Euclid&) const = default;
};
struct Degrade {
    double prob;  // within [0, 1]
    std::uint64_t seed;
    NodeIndex child;
    bool operator==(const Degrade&) const = default;
};
struct Warp {
    WarpKind kind;
    std::uint32_t grid;  // even, >= 2
    double amount;       // strictly between 0 and 1
    NodeIndex child;
    bool operator==(const Warp&) const = default;
};
}  // namespace node

// Kinds in this order (time transforms and Rev before Cat and Stack).
struct PatternNode : std::variant<node::Atom, node::Silence, node::Freeze, node::Fast, node::Slow,
                                  node::Early, node::Late, node::Rev, node::Cat, node::Stack,
                                  node::Every, node::Euclid, node::Degrade, node::Warp> {
    using variant::variant;
};

// The query dispatches on these indices.
namespace detail {
template <std::size_t I>
using Kind = std::variant_alternative_t<I, PatternNode::variant>;
}
static_assert(
    std::is_same_v<detail::Kind<0>, node::Atom> && std::is_same_v<detail::Kind<1>, node::Silence> &&
    std::is_same_v<detail::Kind<2>, node::Freeze> && std::is_same_v<detail::Kind<3>, node::Fast> &&
    std::is_same_v<detail::Kind<4>, node::Slow> && std::is_same_v<detail::Kind<5>, node::Early> &&
    std::is_same_v<detail::Kind<6>, node::Late> && std::is_same_v<detail::Kind<7>, node::Rev> &&
    std::is_same_v<detail::Kind<8>, node::Cat> && std::is_same_v<detail::Kind<9>, node::Stack> &&
    std::is_same_v<detail::Kind<10>, node::Every> &&
    std::is_same_v<detail::Kind<11>, node::Euclid> &&
    std::is_same_v<detail::Kind<12>, node::Degrade> &&
    std::is_same_v<detail::Kind<13>, node::Warp> &&
    std::variant_size_v<PatternNode::variant> == 14);

struct CompiledPattern {
    std::vector<PatternNode> nodes;
    NodeIndex root = 0;
    // At least one atom and every atom a Control value: played as control curves.
    bool control_only = false;

    bool operator==(const CompiledPattern&) const = default;
};

}  // namespace pattern_engine::pattern
