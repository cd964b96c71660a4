#include "audio_engine/registry.hpp"

#include <gtest/gtest.h>

#include <algorithm>

#include "audio_engine/engine.hpp"
#include "test_nodes.hpp"

namespace {

using namespace audio_engine;

// Makes probes carrying its tag (a negative tag fails); counts the live factories.
class Factory final : public graph::node::NodeFactory {
public:
    Factory(float tag, int* live) : tag_(tag), live_(live) { ++*live_; }
    ~Factory() override { --*live_; }
    std::expected<std::unique_ptr<graph::node::DspNode>, std::string> create(
        std::uint32_t, std::size_t) const override {
        if (tag_ < 0) return std::unexpected(std::string("compile error: line 3"));
        return std::make_unique<test_nodes::Probe>(tag_);
    }

private:
    float tag_;
    int* live_;
};

TEST(NodeRegistry, GenerationsOnlyGrowAndFactoriesFollowTheDeclarations) {
    registry::NodeRegistry reg;
    int live = 0;
    const auto decl = [](std::size_t outputs) {
        return ir::types::NodeTypeDecl{"t", {}, std::vector<ir::types::PortDecl>(outputs), {}};
    };
    const auto factory = [&live](float tag) { return std::make_unique<Factory>(tag, &live); };
    struct Step {
        std::function<bool()> op;
        bool ok;
        std::uint64_t generation;
        std::size_t outputs;
        std::string made;
    };
    const Step steps[] = {
        {[&] { return reg.reregister(decl(1), factory(1)).has_value(); }, false, 0, 0,
         "node type not found: t"},
        {[&] { return reg.register_type_only(decl(1)), true; }, true, 1, 1,
         "node type not found: t"},
        {[&] { return reg.register_type(decl(2), factory(2)).has_value(); }, false, 1, 1,
         "node type not found: t"},
        {[&] { return reg.reregister(decl(2), factory(3)).has_value(); }, true, 2, 2, "3"},
        {[&] { return reg.register_type_only(decl(3)), true; }, true, 3, 3, "3"},
        {[&] { return reg.reregister(decl(3), factory(-1)).has_value(); }, true, 4, 3,
         "node creation failed: compile error: line 3"}};
    for (const Step& s : steps) {
        EXPECT_EQ(s.op(), s.ok);
        EXPECT_EQ(reg.generation("t"), s.generation);
        EXPECT_EQ(reg.get_type("t").value_or(decl(0)).audio_outputs.size(), s.outputs);
        auto node = reg.create_node("t", 48000, 64);
        EXPECT_EQ(node ? std::to_string(static_cast<int>(static_cast<test_nodes::Probe&>(**node).value))
                       : node.error().display(),
                  s.made);
        EXPECT_EQ(live, s.generation > 1);  // a refused or replaced factory is released
    }
}

TEST(NodeRegistry, TheEngineStartsWithTheBuiltInTypes) {
    registry::NodeRegistry reg;
    engine::register_builtin_types(reg);
    auto ids = reg.type_ids();
    std::sort(ids.begin(), ids.end());
    EXPECT_EQ(ids, (std::vector<std::string>{"adc_input", "dac", "gain", "oscillator"}));
    for (const auto& id : ids)
        EXPECT_EQ(reg.create_node(id, 48000, 64).has_value(), id != "adc_input") << id;
    EXPECT_EQ(reg.register_type(*reg.get_type("gain"), nullptr).error().display(),
              "node type already registered: gain");
    EXPECT_EQ(reg.generation("gain"), 1u);
}

}  // namespace
