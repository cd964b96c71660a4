// The reference pattern of the query and slot-engine benchmarks:
// Stack[ Fast 2 (Cat[n60, n62, n64, n67]), Euclid 3 8 0 (n36),
//        Late 1/4 (Slow 3/2 (Rev (Cat[n48, n50]))), Degrade 0.3 seed 7 (Fast 4 (n70)) ]
// where nK is a Note atom with note K.
#pragma once

#include <optional>
#include <string>
#include <utility>

#include "pattern_engine/ir.hpp"
#include "pattern_engine/ir/compile.hpp"

namespace bench {

namespace json = support::json;

inline std::string n(int key) {
    return R"(["Atom", ["Note", 0, )" + std::to_string(key) + ", 100, 0.25]]";
}

// The mixed pattern both benchmarks use; null if it fails to compile.
inline const pattern_engine::pattern::CompiledPattern* reference_pattern() {
    static const std::optional<pattern_engine::pattern::CompiledPattern> compiled =
        []() -> std::optional<pattern_engine::pattern::CompiledPattern> {
        const std::string text =
            R"(["Stack", [)"
            R"(["Fast", [2, 1], ["Cat", [)" +
            n(60) + "," + n(62) + "," + n(64) + "," + n(67) + R"(]]], ["Euclid", 3, 8, 0, )" +
            n(36) + R"(], ["Late", [1, 4], ["Slow", [3, 2], ["Rev", ["Cat", [)" + n(48) + "," +
            n(50) + R"(]]]]], ["Degrade", 0.3, 7, ["Fast", [4, 1], )" + n(70) + "]]]]";
        json::Parser parser;
        auto tree = json::read_text<pattern_engine::ir::IrNode>(parser, text);
        if (!tree) return std::nullopt;
        auto pattern = pattern_engine::ir::compile::compile(*tree);
        if (!pattern) return std::nullopt;
        return std::move(*pattern);
    }();
    return compiled ? &*compiled : nullptr;
}

}  // namespace bench
