// pattern_engine::ir::compile — turns a pattern tree into the node arena the query walks.
//
// Called on the IPC thread for "SetPattern" and "SetPatternFromZero"; pure: the same tree
// always compiles to equal patterns, and the tree is left untouched.
#pragma once

#include <expected>

#include "pattern_engine/ir.hpp"
#include "pattern_engine/ir/validate.hpp"
#include "pattern_engine/pattern.hpp"

namespace pattern_engine::ir::compile {

// Validates, then compiles bottom-up; on error nothing is built.
std::expected<pattern::CompiledPattern, IrError> compile(const IrNode& root);

// Appends the subtree of a validated `node` to `pattern.nodes` (children first, in IR order)
// and returns the node's index.
pattern::NodeIndex compile_node(const IrNode& node, pattern::CompiledPattern& pattern);

}  // namespace pattern_engine::ir::compile
