// Reading a pattern command of about 1 MiB: JSON parsing alone, and parsing plus reading the
// pattern tree into its typed form; parsing the same with an integer beyond 64 bits in an
// ignored key, which takes the slower way that numbers the parser refuses go.
#include <benchmark/benchmark.h>

#include <string>

#include "pattern_engine/ir.hpp"

namespace {

namespace json = support::json;

std::string note_atom(int note) {
    return R"({"op":"Atom","value":{"type":"Note","channel":0,"note":)" + std::to_string(note) +
           R"(,"velocity":100,"dur":0.25}})";
}

// A SetPattern command whose tree is a Stack of varied subtrees, grown until it passes 1 MiB.
const std::string& big_command() {
    static const std::string text = [] {
        std::string children;
        for (int i = 0; children.size() < (1u << 20); ++i) {
            if (!children.empty()) children += ',';
            const int n = 36 + i % 48;
            switch (i % 4) {
                case 0:
                    children += R"({"op":"Fast","factor":[2,1],"child":{"op":"Cat","children":[)" +
                                note_atom(n) + "," + note_atom(n + 2) + "," + note_atom(n + 4) +
                                "]}}";
                    break;
                case 1:
                    children += R"({"op":"Euclid","pulses":3,"steps":8,"rotation":0,"child":)" +
                                note_atom(n) + "}";
                    break;
                case 2:
                    children +=
                        R"({"op":"Late","offset":[1,4],"child":{"op":"Slow","factor":[3,2],"child":{"op":"Rev","child":)" +
                        note_atom(n) + "}}}";
                    break;
                default:
                    children +=
                        R"({"op":"Degrade","prob":0.3,"seed":7,"child":{"op":"Atom","value":{"type":"Osc","address":"/audio/set","args":[{"Str":"cutoff"},{"Float":0.5}]}}})";
                    break;
            }
        }
        return R"({"cmd":"SetPattern","slot":"d1","pattern":{"op":"Stack","children":[)" +
               children + "]}}";
    }();
    return text;
}

void parse_repeatedly(benchmark::State& state, const std::string& text) {
    json::Parser parser;
    for (auto _ : state) {
        auto root = parser.parse(text);
        if (!root) state.SkipWithError("parse failed");
        benchmark::DoNotOptimize(root);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}

void BM_ParseCommand(benchmark::State& state) {
    parse_repeatedly(state, big_command());
}
BENCHMARK(BM_ParseCommand)->Unit(benchmark::kMillisecond);

void BM_ParseCommandWithBigInteger(benchmark::State& state) {
    std::string text = big_command();
    text.insert(1, R"("id":18446744073709551616,)");
    parse_repeatedly(state, text);
}
BENCHMARK(BM_ParseCommandWithBigInteger)->Unit(benchmark::kMillisecond);

void BM_ReadPatternCommand(benchmark::State& state) {
    const std::string& text = big_command();
    json::Parser parser;
    for (auto _ : state) {
        auto root = parser.parse(text);
        auto pattern = root ? root->find("pattern") : std::nullopt;
        if (!pattern) {
            state.SkipWithError("parse failed");
            break;
        }
        auto tree = json::read_as<pattern_engine::ir::IrNode>(*pattern);
        if (!tree) state.SkipWithError("read failed");
        benchmark::DoNotOptimize(tree);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_ReadPatternCommand)->Unit(benchmark::kMillisecond);

}  // namespace
