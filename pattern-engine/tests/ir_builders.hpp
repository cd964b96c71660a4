// Short builders for pattern trees in tests: fast(2, 1, cat(note(60), note(62))).
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "pattern_engine/ir.hpp"

namespace ir_builders {

namespace ir = pattern_engine::ir;
using pattern_engine::event::Control;
using pattern_engine::event::Note;
using pattern_engine::event::Value;

inline ir::Child box(ir::IrNode node) {
    return ir::Child(std::move(node));
}
inline Value note_value(std::uint8_t key) {
    return Note{0, key, 100, 0.25};
}
inline Value control_value(std::string label, float value = 0.5f) {
    return Control{std::move(label), value};
}
inline ir::IrNode atom(Value value) {
    return ir::Atom{std::move(value)};
}
inline ir::IrNode note(std::uint8_t key) {
    return atom(note_value(key));
}
inline ir::IrNode control(std::string label) {
    return atom(control_value(std::move(label)));
}
inline ir::IrNode silence() {
    return ir::Silence{};
}
inline ir::IrNode cat(std::vector<ir::IrNode> children = {}) {
    return ir::Cat{std::move(children)};
}
inline ir::IrNode stack(std::vector<ir::IrNode> children = {}) {
    return ir::Stack{std::move(children)};
}
template <class... N>
ir::IrNode cat(ir::IrNode first, N... rest) {
    ir::Cat node;
    node.children.push_back(std::move(first));
    (node.children.push_back(std::move(rest)), ...);
    return node;
}
template <class... N>
ir::IrNode stack(ir::IrNode first, N... rest) {
    ir::Stack node;
    node.children.push_back(std::move(first));
    (node.children.push_back(std::move(rest)), ...);
    return node;
}
inline ir::IrNode fast(std::int64_t n, std::int64_t d, ir::IrNode child) {
    return ir::Fast{{n, d}, box(std::move(child))};
}
inline ir::IrNode slow(std::int64_t n, std::int64_t d, ir::IrNode child) {
    return ir::Slow{{n, d}, box(std::move(child))};
}
inline ir::IrNode early(std::int64_t n, std::int64_t d, ir::IrNode child) {
    return ir::Early{{n, d}, box(std::move(child))};
}
inline ir::IrNode late(std::int64_t n, std::int64_t d, ir::IrNode child) {
    return ir::Late{{n, d}, box(std::move(child))};
}
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
