// The patterns of the query and slot-engine benchmarks. The reference pattern:
// Stack[ Fast 2 (Cat[n60, n62, n64, n67]), Euclid 3 8 0 (n36),
//        Late 1/4 (Slow 3/2 (Rev (Cat[n48, n50]))), Degrade 0.3 seed 7 (Fast 4 (n70)) ]
// where nK is a Note atom with note K; beside it, typical patterns of one kind each.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "pattern_engine/ir.hpp"
#include "pattern_engine/ir/compile.hpp"

namespace bench {

namespace json = support::json;

inline std::string n(int key) {
    return R"(["Atom", ["Note", 0, )" + std::to_string(key) + ", 100, 0.25]]";
}

// nK for each key, comma-separated.
inline std::string notes(std::initializer_list<int> keys) {
    std::string out;
    for (const int key : keys)
        out += (out.empty() ? "" : ",") + n(key);
    return out;
}

inline std::optional<pattern_engine::pattern::CompiledPattern> compile(const std::string& text) {
    json::Parser parser;
    auto tree = json::read_text<pattern_engine::ir::IrNode>(parser, text);
    if (!tree) return std::nullopt;
    auto pattern = pattern_engine::ir::compile::compile(*tree);
    if (!pattern) return std::nullopt;
    return std::move(*pattern);
}

inline std::string reference_text() {
    return R"(["Stack", [)"
           R"(["Fast", [2, 1], ["Cat", [)" +
           notes({60, 62, 64, 67}) + R"(]]], ["Euclid", 3, 8, 0, )" + n(36) +
           R"(], ["Late", [1, 4], ["Slow", [3, 2], ["Rev", ["Cat", [)" + notes({48, 50}) +
           R"(]]]]], ["Degrade", 0.3, 7, ["Fast", [4, 1], )" + n(70) + "]]]]";
}

// The mixed pattern both benchmarks use; null if it fails to compile.
inline const pattern_engine::pattern::CompiledPattern* reference_pattern() {
    static const auto compiled = compile(reference_text());
    return compiled ? &*compiled : nullptr;
}

struct Typical {
    std::string name;
    std::optional<pattern_engine::pattern::CompiledPattern> pattern;  // none: does not compile
};

// drums: kick, Euclid snare, swung hats; arpeggio: a six-note figure, reversed every fourth
// cycle; poly: three against four against a slowed pair; bass: a degraded eighth-note line
// pushed late.
inline const std::vector<Typical>& typical_patterns() {
    static const std::vector<Typical> all = [] {
        const std::string arp =
            R"(["Fast", [2, 1], ["Cat", [)" + notes({60, 64, 67, 72, 67, 64}) + "]]]";
        const std::pair<const char*, std::string> texts[] = {
            {"reference", reference_text()},
            {"drums", R"(["Stack", [["Fast", [4, 1], )" + n(36) + R"(], ["Euclid", 3, 8, 2, )" +
                          n(38) + R"(], ["Warp", "swing", 0.6, 8, ["Fast", [8, 1], )" + n(42) +
                          "]]]]"},
            {"arpeggio", R"(["Every", 4, ["Rev", )" + arp + "], " + arp + "]"},
            {"poly", R"(["Stack", [["Fast", [3, 1], )" + n(60) + R"(], ["Fast", [4, 1], )" + n(64) +
                         R"(], ["Slow", [3, 2], ["Cat", [)" + notes({48, 55}) + "]]]]]"},
            {"bass", R"(["Late", [1, 8], ["Degrade", 0.25, 5, ["Fast", [2, 1], ["Cat", [)" +
                         notes({36, 36, 39, 36, 43, 41, 36, 34}) + "]]]]]"},
        };
        std::vector<Typical> out;
        for (const auto& [name, text] : texts)
            out.push_back({name, compile(text)});
        return out;
    }();
    return all;
}

}  // namespace bench
