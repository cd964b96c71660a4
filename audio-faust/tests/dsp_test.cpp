#include "audio_faust/dsp.hpp"

#include <gtest/gtest.h>
#include <faust/dsp/libfaust-c.h>
#include <faust/dsp/llvm-dsp-c.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <limits>
#include <thread>

#include "audio_faust/factory.hpp"
#include "audio_faust/node.hpp"
#include "temp_dir.hpp"

namespace {

using namespace audio_faust;
using audio_engine::ir::types::ControlDecl;
using audio_engine::ir::types::NodeTypeDecl;
using audio_engine::ir::types::PortDecl;
using audio_engine::ir::types::Rate;

// Factories alive in libfaust's cache: every create must be matched by exactly one delete.
std::size_t live_factories() {
    const char** keys = getAllCDSPFactories();
    std::size_t n = 0;
    for (; keys[n] != nullptr; ++n)
        freeCMemory(const_cast<char*>(keys[n]));
    freeCMemory(static_cast<void*>(keys));
    return n;
}

std::vector<PortDecl> ports(std::initializer_list<const char*> names) {
    std::vector<PortDecl> out;
    for (const char* n : names)
        out.push_back({n});
    return out;
}

ControlDecl control(const char* name, float min, float max, float init) {
    return {name, {min, max}, init, Rate::Control, std::nullopt};
}

TEST(FaustProbe, DeclaresPortsAndControlsOfTheSource) {
    struct Case {
        const char* code;
        std::vector<PortDecl> inputs, outputs;
        std::vector<ControlDecl> controls;  // by name
    };
    const Case cases[] = {
        {"process = _ <: _, _;", ports({"in"}), ports({"out0", "out1"}), {}},
        {"process = +;", ports({"in0", "in1"}), ports({"out"}), {}},
        {"import(\"stdfaust.lib\"); process = no.noise;", {}, ports({"out"}), {}},
        {"process = _ * hslider(\"gain\", 0.5, 0, 1, 0.01) * vslider(\"freq\", 440, 20, 20000, 1);",
         ports({"in"}), ports({"out"}),
         {control("freq", 20, 20000, 440), control("gain", 0, 1, 0.5f)}},
        {"process = hgroup(\"g\", button(\"gate\") + checkbox(\"on\") + nentry(\"n\", 2, 1, 9, 1));",
         {}, ports({"out"}),
         {control("gate", 0, 1, 0), control("n", 1, 9, 2), control("on", 0, 1, 0)}},
        {"process = _ <: attach(_, hbargraph(\"meter\", 0, 1)) <: attach(_, vbargraph(\"v\", 0, 1));",
         ports({"in"}), ports({"out"}), {}},
        // libfaust reports the group first, so the top-level slider is the last "x".
        {"process = hslider(\"x\", 0.1, 0, 1, 0.1) + hgroup(\"h\", vslider(\"x\", 0.7, 0, 2, 0.1));",
         {}, ports({"out"}), {control("x", 0, 1, 0.1f)}},
    };
    for (const Case& c : cases) {
        auto decl = factory::FaustFactory("t", c.code).probe_type_decl("faust:t");
        ASSERT_TRUE(decl.has_value()) << c.code << ": " << decl.error();
        std::sort(decl->controls.begin(), decl->controls.end(),
                  [](const auto& a, const auto& b) { return a.name < b.name; });
        EXPECT_EQ(*decl, (NodeTypeDecl{"faust:t", c.inputs, c.outputs, c.controls}))
            << c.code << "\n" << audio_engine::ir::types::debug(*decl);
        EXPECT_EQ(live_factories(), 0u) << c.code;
    }
}

}  // namespace
