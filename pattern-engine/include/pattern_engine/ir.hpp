// pattern_engine::ir — the pattern tree as a client writes it (tag "op").
//
// Read on the IPC thread from the "pattern" field of a pattern command, then validated and
// compiled into the node arena; the tree itself is never queried. Reading checks only the JSON
// shape and the field widths; value ranges (positive factors, non-empty child lists, known warp
// kinds, ...) are the validator's.
#pragma once

#include <cstdint>
#include <string>
#include <variant>
#include <vector>

#include "pattern_engine/event.hpp"
#include "support/box.hpp"
#include "support/json.hpp"

namespace pattern_engine::ir {

struct IrNode;
using Child = support::Box<IrNode>;

// A rational as written, [numerator, denominator]: not reduced, sign anywhere.
struct Ratio {
    std::int64_t numerator = 0;
    std::int64_t denominator = 0;
    bool operator==(const Ratio&) const = default;
};

struct Atom {
    event::Value value;
    bool operator==(const Atom&) const = default;
};
struct Silence {
    bool operator==(const Silence&) const = default;
};
struct Freeze {
    Child child;
    bool operator==(const Freeze&) const = default;
};
struct Cat {
    std::vector<IrNode> children;
    bool operator==(const Cat&) const;
};
struct Stack {
    std::vector<IrNode> children;
    bool operator==(const Stack&) const;
};
struct Fast {
    Ratio factor;
    Child child;
    bool operator==(const Fast&) const = default;
};
struct Slow {
    Ratio factor;
    Child child;
    bool operator==(const Slow&) const = default;
};
struct Early {
    Ratio offset;
    Child child;
    bool operator==(const Early&) const = default;
};
struct Late {
    Ratio offset;
    Child child;
    bool operator==(const Late&) const = default;
};
struct Rev {
    Child child;
    bool operator==(const Rev&) const = default;
};
struct Every {
    std::uint32_t n = 0;
    Child transform;
    Child child;
    bool operator==(const Every&) const = default;
};
struct Euclid {
    std::uint32_t pulses = 0;
    std::uint32_t steps = 0;
    std::uint32_t rotation = 0;
    Child child;
    bool operator==(const Euclid&) const = default;
};
struct Degrade {
    double prob = 0.0;
    std::uint64_t seed = 0;
    Child child;
    bool operator==(const Degrade&) const = default;
};
struct Warp {
    std::string kind;
    double amount = 0.0;
    std::uint32_t grid = 0;
    Child child;
    bool operator==(const Warp&) const = default;
};

// Kinds in wire order; the index is also accepted as the tag.
struct IrNode : std::variant<Atom, Silence, Freeze, Cat, Stack, Fast, Slow, Early, Late, Rev, Every,
                             Euclid, Degrade, Warp> {
    using variant::variant;
};

inline bool Cat::operator==(const Cat& o) const {
    return children == o.children;
}
inline bool Stack::operator==(const Stack& o) const {
    return children == o.children;
}

// {"op": "Fast", "factor": [2, 1], "child": {...}} or ["Fast", [2, 1], {...}].
support::json::Status read_json(support::json::Element e, IrNode& out);
support::json::Status read_json(support::json::Element e, Ratio& out);

}  // namespace pattern_engine::ir
