#include "audio_faust/dsp.hpp"

#include <gtest/gtest.h>
#include <faust/dsp/libfaust-c.h>
#include <faust/dsp/llvm-dsp-c.h>

#include <algorithm>
#include <thread>

#include "audio_faust/factory.hpp"
#include "audio_faust/node.hpp"
#include "compile_error.hpp"
#include "support/log.hpp"
#include "temp_dir.hpp"

// libfaust 2.54 leaks about 370 KB of LLVM optimiser state in every compile, even with the
// factory and instance deleted (a bare create/delete program shows the same). Leak checks
// here would only see that; the factory balance is checked through libfaust's cache instead.
extern "C" const char* __lsan_default_suppressions() {
    return "leak:libfaust.so\nleak:libLLVM-14.so\n";
}

namespace {

using namespace audio_faust;
using namespace std::string_literals;
using audio_engine::ir::types::ControlDecl;
using audio_engine::ir::types::NodeTypeDecl;
using audio_engine::ir::types::PortDecl;

// Factories alive in libfaust's cache: every create must be matched by exactly one delete.
std::size_t live_factories() {
    const char** keys = getAllCDSPFactories();
    std::size_t n = 0;
    for (; keys[n] != nullptr; ++n)
        freeCMemory(const_cast<char*>(keys[n]));
    freeCMemory(static_cast<void*>(keys));
    return n;
}

ControlDecl control(const char* name, float min, float max, float init) {
    return {name, {min, max}, init, audio_engine::ir::types::Rate::Control, std::nullopt};
}

TEST(FaustProbe, DeclaresPortsAndControlsOfTheSource) {
    const PortDecl in{"in"}, in0{"in0"}, in1{"in1"}, out{"out"}, out0{"out0"}, out1{"out1"};
    const std::pair<const char*, NodeTypeDecl> cases[] = {
        {"process = _ <: _, _;", {"", {in}, {out0, out1}, {}}},
        {"process = +;", {"", {in0, in1}, {out}, {}}},
        {"process = _ * hslider(\"gain\", 0.5, 0, 1, 0.01) * vslider(\"freq\", 440, 20, 2e4, 1)"
         " <: attach(_, hbargraph(\"m\", 0, 1)) <: attach(_, vbargraph(\"v\", 0, 1));",
         {"", {in}, {out}, {control("freq", 20, 20000, 440), control("gain", 0, 1, 0.5f)}}},
        {"process = hgroup(\"g\", button(\"gate\") + checkbox(\"on\") + nentry(\"n\", 2, 1, 9, 1));",
         {"", {}, {out}, {control("gate", 0, 1, 0), control("n", 1, 9, 2), control("on", 0, 1, 0)}}},
        // libfaust reports the group first, so the top-level slider is the last "x".
        {"process = hslider(\"x\", 0.1, 0, 1, 0.1) + hgroup(\"h\", vslider(\"x\", 0.7, 0, 2, 0.1));",
         {"", {}, {out}, {control("x", 0, 1, 0.1f)}}},
    };
    for (auto [code, want] : cases) {
        auto decl = factory::FaustFactory::compile("t", code)->probe_type_decl("faust:t");
        ASSERT_TRUE(decl.has_value()) << code << ": " << decl.error();
        std::sort(decl->controls.begin(), decl->controls.end(),
                  [](const auto& a, const auto& b) { return a.name < b.name; });
        want.type_id = "faust:t";
        EXPECT_EQ(*decl, want) << code << "\n" << audio_engine::ir::types::debug(*decl);
        EXPECT_EQ(live_factories(), 0u) << code;
    }
}

// The include directory comes from FAUST_STDLIB_DIR when it is set and not empty.
TEST(FaustDsp, CompilesOrReportsTheErrorLeavingNothingAlive) {
    test_util::TempDir dir;
    dir.write("mylib.lib", "half = 0.5;");
    const std::string lib = dir.path().string(), mine = "import(\"mylib.lib\"); process = _ * half;";
    using Starts = std::vector<std::string>;  // any of them starts the error; none: compiles
    const Starts no_mine = {"FAUST compilation failed: ERROR : unable to open file mylib.lib"};
    const std::tuple<const char*, std::string, std::string, Starts> cases[] = {
        {nullptr, "bad", "process = (;",
         test_util::compile_error_starts("bad", 1, " : ERROR : syntax error")},
        {nullptr, "nul", "process = \0;"s, {"nul byte found in provided data at position: 10"}},
        {nullptr, "n\0l"s, "process = _;", {"nul byte found in provided data at position: 1"}},
        {nullptr, "lib", mine, no_mine},
        {"", "lib", mine, no_mine},
        {lib.c_str(), "lib", mine, {}},
    };
    for (const auto& [env, name, code, starts] : cases) {
        env ? ::setenv("FAUST_STDLIB_DIR", env, 1) : ::unsetenv("FAUST_STDLIB_DIR");
        auto dsp = dsp::FaustDsp::from_code(name, code, 48000, 64);
        EXPECT_TRUE(dsp ? starts.empty() : test_util::starts_with_any(dsp.error(), starts))
            << (dsp ? code : dsp.error());
        EXPECT_EQ(live_factories(), dsp ? 1u : 0u) << code;
    }
    ::unsetenv("FAUST_STDLIB_DIR");
}

TEST(FaustDsp, ComputeFeedsInputsLimitsParametersAndCopiesOutputs) {
    // out0 = in0 * g, out1 = in1 + 1; compiled for blocks of 4. Inputs are 2, 3, 7.
    auto dsp = dsp::FaustDsp::from_code("io", "process = _ * hslider(\"g\", 1, 0, 1, 0.01), _ + 1;",
                                        48000, 4);
    ASSERT_TRUE(dsp.has_value()) << dsp.error();
    struct Case { float g; std::size_t inputs, outputs, n; std::vector<float> want; };  // 9: untouched
    const Case cases[] = {
        {5.0f, 2, 2, 4, {2, 4, 9}},   // above max: 1
        {-3.0f, 2, 2, 4, {0, 4, 9}},  // below min: 0
        {0.5f, 1, 2, 4, {1, 1, 9}},   // a missing input reads zeros
        {0.5f, 3, 3, 4, {1, 4, 9}},   // extra slices are ignored and left alone
        {0.5f, 2, 2, 16, {1, 4, 9}},  // longer than the block
        {0.5f, 2, 0, 4, {9, 9, 9}},   // no outputs: nothing runs
    };
    for (const Case& c : cases) {
        ASSERT_TRUE(dsp->set_param("g", c.g));
        std::vector<std::vector<float>> out(3, std::vector<float>(c.n, 9.0f)),
            in{std::vector(c.n, 2.0f), std::vector(c.n, 3.0f), std::vector(c.n, 7.0f)};
        dsp->compute(std::vector<std::span<const float>>(in.begin(), in.begin() + c.inputs),
                     std::vector<std::span<float>>(out.begin(), out.begin() + c.outputs));
        for (std::size_t o = 0; o < 3; ++o)
            EXPECT_EQ(out[o], std::vector<float>(c.n, c.want[o])) << "g=" << c.g << " n=" << c.n;
    }
}

TEST(FaustDsp, InitialisesAtTheRateGivenOr44100WhenTooLargeAndLogsIt) {
    std::vector<std::string> lines;
    support::log::init_with("audio_faust::dsp=debug", support::log::Style::Never,
                            [&](std::string_view line) { lines.emplace_back(line); });
    for (auto [rate, seen] : {std::pair{48000u, 48000.0f}, std::pair{2147483648u, 44100.0f}}) {
        lines.clear();
        auto dsp = dsp::FaustDsp::from_code(
            "sr", "import(\"stdfaust.lib\"); process = ma.SR * hslider(\"g\", 1, 0, 2, 0.25) + (1 : +~_);",
            rate, 1);
        ASSERT_TRUE(dsp.has_value()) << dsp.error();
        std::vector<float> out(2);
        const std::span<float> outs[] = {out};
        dsp->compute({}, outs);
        EXPECT_EQ(out, (std::vector<float>{seen + 1, seen + 2}));
        dsp->reset(48000);  // also restarts the counter
        dsp->compute({}, outs);
        EXPECT_EQ(out, (std::vector<float>{48001, 48002}));
        ASSERT_EQ(lines.size(), 2u);
        EXPECT_TRUE(lines[0].ends_with("] FAUST 'sr': 0 in, 1 out, " + std::to_string(rate) + "Hz\n"));
        EXPECT_TRUE(lines[1].ends_with("]   param 'g': init=1, range=[0, 2], step=0.25\n")) << lines[1];
    }
    support::log::reset();
}

// A text whose imported library changed is compiled again, each time it changes, while every
// earlier program of that text is still alive; with the library unchanged the program is reused.
TEST(FaustProgram, ALibraryChangedAgainAndAgainIsCompiledAgainEachTime) {
    test_util::TempDir libs;
    ::setenv("FAUST_STDLIB_DIR", libs.path().c_str(), 1);
    // Renamed into place: a new file each time, whatever the clock's resolution.
    const auto library = [&](const char* control) {
        std::filesystem::rename(
            libs.write("tmp", "v = hslider(\""s + control + "\", 0, 0, 1, 0.1);"),
            libs.path() / "mine.lib");
    };
    struct Step {
        const char* library;  // the library's one control, or nullptr: left as it is
        const char* control;
        bool compiles;
    };
    const Step steps[] = {{"x", "x", true},       {nullptr, "x", false}, {"yy", "yy", true},
                          {nullptr, "yy", false}, {"zzz", "zzz", true},  {nullptr, "zzz", false},
                          {"x", "x", true}};
    std::vector<factory::FaustFactory> alive;
    for (const Step& step : steps) {
        if (step.library) library(step.library);
        const auto before = dsp::compile_count();
        auto made = factory::FaustFactory::compile("lib", "import(\"mine.lib\"); process = v;");
        ASSERT_TRUE(made.has_value()) << made.error();
        auto decl = made->probe_type_decl("faust:lib");
        ASSERT_TRUE(decl.has_value()) << decl.error();
        ASSERT_EQ(decl->controls.size(), 1u);
        EXPECT_EQ(decl->controls[0].name, step.control) << "step " << alive.size();
        EXPECT_EQ(dsp::compile_count() - before, step.compiles ? 1u : 0u)
            << "step " << alive.size();
        if (!alive.empty()) {
            EXPECT_EQ(made->program() == alive.back().program(), !step.compiles)
                << "step " << alive.size();
        }
        alive.push_back(std::move(*made));
    }
    ::unsetenv("FAUST_STDLIB_DIR");
}

// A node may be dropped on the audio thread while the control thread compiles: the drop must
// not wait for the compile lock, and what it could not free is freed by the lock's next
// holder, a drain or a compile.
TEST(FaustNode, ReleaseDuringACompileIsDeferredNeverBlockedNorLost) {
    for (auto [compiling, drain_by_compile] : {std::pair{false, false}, {true, false}, {true, true}}) {
        auto node = factory::FaustFactory::compile("r", "process = _ * 0.25;")->create(48000, 64);
        ASSERT_TRUE(node.has_value()) << node.error();
        std::unique_lock compile(dsp::COMPILE_LOCK.mutex(), std::defer_lock);
        if (compiling) compile.lock();
        std::thread([&] { node->reset(); }).join();  // would hang here if the drop waited
        EXPECT_EQ(live_factories(), compiling ? 1u : 0u);
        if (compiling) compile.unlock();
        if (drain_by_compile) {
            auto other = dsp::FaustDsp::from_code("o", "process = _ * 0.5;", 48000, 64);
            EXPECT_EQ(live_factories(), 1u);  // only the new one
        } else {
            EXPECT_EQ(dsp::drain_deferred_releases(), compiling ? 1u : 0u);
            EXPECT_EQ(live_factories(), 0u);
        }
    }
}

}  // namespace
