// Short builders for pattern trees in tests: fast(2, 1, cat(note(60), note(62))).
#pragma once

#include <cstdint>
#include <string>
#include <utility>

#include "pattern_engine/ir.hpp"

namespace ir_builders {

namespace ir = pattern_engine::ir;
using pattern_engine::event::Value;

inline ir::Child box(ir::IrNode node) {
    return ir::Child(std::move(node));
}
inline Value note_value(std::uint8_t key) {
    return pattern_engine::event::Note{0, key, 100, 0.25};
}
inline ir::IrNode atom(Value value) {
    return ir::Atom{std::move(value)};
}
inline ir::IrNode note(std::uint8_t key) {
    return atom(note_value(key));
}
inline ir::IrNode control(std::string label) {
    return atom(pattern_engine::event::Control{std::move(label), 0.5f});
}
inline ir::IrNode silence() {
    return ir::Silence{};
}
template <class K, class... N>
ir::IrNode list(N... children) {
    K node;
    (node.children.push_back(std::move(children)), ...);
    return node;
}
inline constexpr auto cat = [](auto... children) { return list<ir::Cat>(std::move(children)...); };
inline constexpr auto stack = [](auto... children) {
    return list<ir::Stack>(std::move(children)...);
};
template <class K>
ir::IrNode timed(std::int64_t n, std::int64_t d, ir::IrNode child) {
    return K{{n, d}, box(std::move(child))};
}
inline constexpr auto fast = timed<ir::Fast>, slow = timed<ir::Slow>;
inline constexpr auto early = timed<ir::Early>, late = timed<ir::Late>;
inline ir::IrNode rev(ir::IrNode child) {
    return ir::Rev{box(std::move(child))};
}
inline ir::IrNode freeze(ir::IrNode child) {
    return ir::Freeze{box(std::move(child))};
}
inline ir::IrNode every(std::uint32_t n, ir::IrNode transform, ir::IrNode child) {
    return ir::Every{n, box(std::move(transform)), box(std::move(child))};
}
inline ir::IrNode euclid(std::uint32_t pulses, std::uint32_t steps, std::uint32_t rotation,
                         ir::IrNode child) {
    return ir::Euclid{pulses, steps, rotation, box(std::move(child))};
}
inline ir::IrNode degrade(double prob, std::uint64_t seed, ir::IrNode child) {
    return ir::Degrade{prob, seed, box(std::move(child))};
}
inline ir::IrNode warp_kind(std::string kind, std::uint32_t grid, double amount, ir::IrNode child) {
    return ir::Warp{std::move(kind), amount, grid, box(std::move(child))};
}
inline ir::IrNode warp(std::uint32_t grid, double amount, ir::IrNode child) {
    return warp_kind("swing", grid, amount, std::move(child));
}

}  // namespace ir_builders
