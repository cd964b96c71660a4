#include "audio_engine/registry.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <limits>

#include "audio_engine/engine.hpp"
#include "audio_engine/nodes/adc.hpp"
#include "audio_engine/nodes/dac.hpp"
#include "audio_engine/nodes/gain.hpp"
#include "audio_engine/nodes/oscillator.hpp"

namespace {

using audio_engine::graph::node::DspNode;
using audio_engine::graph::node::NodeFactory;
using audio_engine::graph::node::ParamError;
using audio_engine::graph::node::ParamResult;
using audio_engine::ir::types::NodeTypeDecl;
using audio_engine::ir::types::PortDecl;
using audio_engine::registry::NodeRegistry;
using audio_engine::registry::RegistryError;

// A node that reports which factory made it and with what arguments.
class TagNode final : public DspNode {
public:
    TagNode(int tag, std::uint32_t rate, std::size_t block) : tag(tag), rate(rate), block(block) {}
    void process(std::span<const std::span<const float>>,
                 std::span<const std::span<float>>) override {}
    std::size_t num_inputs() const override { return 0; }
    std::size_t num_outputs() const override { return 0; }
    ParamResult set_param(std::string_view name, float) override {
        return std::unexpected(ParamError::not_found(std::string(name)));
    }
    void reset(std::uint32_t) override {}

    int tag;
    std::uint32_t rate;
    std::size_t block;
};

// Counts live factories so tests can see when the registry drops one.
class TagFactory final : public NodeFactory {
public:
    TagFactory(int tag, int* live) : tag_(tag), live_(live) {
        if (live_) ++*live_;
    }
    ~TagFactory() override {
        if (live_) --*live_;
    }
    std::expected<std::unique_ptr<DspNode>, std::string> create(std::uint32_t rate,
                                                                std::size_t block) const override {
        return std::make_unique<TagNode>(tag_, rate, block);
    }

private:
    int tag_;
    int* live_;
};

class FailingFactory final : public NodeFactory {
public:
    std::expected<std::unique_ptr<DspNode>, std::string> create(std::uint32_t,
                                                                std::size_t) const override {
        return std::unexpected(std::string("compile error: line 3"));
    }
};

NodeTypeDecl decl(std::string id, std::size_t outputs = 1) {
    NodeTypeDecl d;
    d.type_id = std::move(id);
    for (std::size_t i = 0; i < outputs; ++i)
        d.audio_outputs.push_back(PortDecl{"out"});
    return d;
}

std::unique_ptr<NodeFactory> factory(int tag, int* live = nullptr) {
    return std::make_unique<TagFactory>(tag, live);
}

int created_tag(const NodeRegistry& reg, std::string_view id) {
    auto node = reg.create_node(id, 48000, 64);
    if (!node) return -1;
    return static_cast<TagNode&>(**node).tag;
}

// The registry as the engine fills it at start.
NodeRegistry engine_registry() {
    NodeRegistry reg;
    audio_engine::engine::register_builtin_types(reg);
    return reg;
}

TEST(RegistryDisplay, Texts) {
    EXPECT_EQ((RegistryError{RegistryError::Kind::NotFound, "x"}).display(),
              "node type not found: x");
    EXPECT_EQ((RegistryError{RegistryError::Kind::AlreadyRegistered, "gain"}).display(),
              "node type already registered: gain");
    EXPECT_EQ((RegistryError{RegistryError::Kind::CreationFailed, "boom"}).display(),
              "node creation failed: boom");
    EXPECT_EQ((RegistryError{RegistryError::Kind::NotFound, ""}).display(),
              "node type not found: ");
}

TEST(RegistryDisplay, ParamErrorTexts) {
    EXPECT_EQ(ParamError::not_found("x").display(), "parameter not found: x");
    EXPECT_EQ(ParamError::not_found("node 'foo' not in graph").display(),
              "parameter not found: node 'foo' not in graph");
    EXPECT_EQ(ParamError::out_of_range("freq", 25000.0f, 20.0f, 20000.0f).display(),
              "parameter 'freq' value 25000 out of range [20, 20000]");
    EXPECT_EQ(ParamError::out_of_range("g", 0.5f, 0.1f, 4.0f).display(),
              "parameter 'g' value 0.5 out of range [0.1, 4]");
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    EXPECT_EQ(ParamError::out_of_range("freq", nan, 20.0f, 20000.0f).display(),
              "parameter 'freq' value NaN out of range [20, 20000]");
    EXPECT_EQ(ParamError::out_of_range("freq", inf, 20.0f, 20000.0f).display(),
              "parameter 'freq' value inf out of range [20, 20000]");
    EXPECT_EQ(ParamError::out_of_range("freq", -inf, 20.0f, 20000.0f).display(),
              "parameter 'freq' value -inf out of range [20, 20000]");
    EXPECT_EQ(ParamError::out_of_range("freq", 1e-7f, 20.0f, 20000.0f).display(),
              "parameter 'freq' value 0.0000001 out of range [20, 20000]");
}

TEST(RegistryEmpty, KnowsNothing) {
    NodeRegistry reg;
    EXPECT_EQ(reg.generation("gain"), 0u);
    EXPECT_EQ(reg.get_type("gain"), std::nullopt);
    EXPECT_EQ(reg.declaration("gain"), nullptr);
    EXPECT_TRUE(reg.type_ids().empty());
    auto node = reg.create_node("gain", 48000, 64);
    ASSERT_FALSE(node);
    EXPECT_EQ(node.error(), (RegistryError{RegistryError::Kind::NotFound, "gain"}));
}

TEST(RegistryRegister, FirstRegistrationGivesGenerationOne) {
    NodeRegistry reg;
    ASSERT_TRUE(reg.register_type(decl("t", 2), factory(1)));
    EXPECT_EQ(reg.generation("t"), 1u);
    EXPECT_EQ(reg.get_type("t"), decl("t", 2));
    ASSERT_NE(reg.declaration("t"), nullptr);
    EXPECT_EQ(*reg.declaration("t"), decl("t", 2));
    EXPECT_EQ(created_tag(reg, "t"), 1);
}

TEST(RegistryRegister, SecondRegistrationFailsAndChangesNothing) {
    NodeRegistry reg;
    int live = 0;
    ASSERT_TRUE(reg.register_type(decl("gain", 1), factory(1, &live)));
    EXPECT_EQ(live, 1);
    auto again = reg.register_type(decl("gain", 3), factory(2, &live));
    ASSERT_FALSE(again);
    EXPECT_EQ(again.error().display(), "node type already registered: gain");
    EXPECT_EQ(again.error().kind, RegistryError::Kind::AlreadyRegistered);
    // The rejected factory was dropped; the stored one is still in use.
    EXPECT_EQ(live, 1);
    EXPECT_EQ(reg.generation("gain"), 1u);
    EXPECT_EQ(reg.get_type("gain"), decl("gain", 1));
    EXPECT_EQ(created_tag(reg, "gain"), 1);
}

TEST(RegistryRegister, BuiltinGainTwiceKeepsGenerationOne) {
    NodeRegistry reg = engine_registry();
    auto again = reg.register_type(audio_engine::nodes::gain::gain_type_decl(),
                                   std::make_unique<audio_engine::nodes::gain::GainFactory>());
    ASSERT_FALSE(again);
    EXPECT_EQ(again.error().display(), "node type already registered: gain");
    EXPECT_EQ(reg.generation("gain"), 1u);
}

TEST(RegistryRegister, AfterTypeOnlyDeclarationFails) {
    NodeRegistry reg;
    reg.register_type_only(decl("t"));
    auto r = reg.register_type(decl("t", 2), factory(1));
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().display(), "node type already registered: t");
    EXPECT_EQ(reg.generation("t"), 1u);
    EXPECT_EQ(reg.get_type("t"), decl("t"));
    EXPECT_EQ(created_tag(reg, "t"), -1);
}

TEST(RegistryTypeOnly, AddsDeclarationWithoutFactory) {
    NodeRegistry reg;
    reg.register_type_only(decl("t"));
    EXPECT_EQ(reg.generation("t"), 1u);
    EXPECT_EQ(reg.get_type("t"), decl("t"));
    auto node = reg.create_node("t", 48000, 64);
    ASSERT_FALSE(node);
    EXPECT_EQ(node.error().display(), "node type not found: t");
}

TEST(RegistryTypeOnly, RepeatedRaisesGenerationEachTime) {
    NodeRegistry reg;
    reg.register_type_only(decl("t", 1));
    reg.register_type_only(decl("t", 2));
    reg.register_type_only(decl("t", 2));
    EXPECT_EQ(reg.generation("t"), 3u);
    EXPECT_EQ(reg.get_type("t"), decl("t", 2));
}

TEST(RegistryTypeOnly, KeepsExistingFactory) {
    NodeRegistry reg;
    int live = 0;
    ASSERT_TRUE(reg.register_type(decl("t", 1), factory(7, &live)));
    reg.register_type_only(decl("t", 2));
    EXPECT_EQ(reg.generation("t"), 2u);
    EXPECT_EQ(reg.get_type("t"), decl("t", 2));
    EXPECT_EQ(live, 1);
    EXPECT_EQ(created_tag(reg, "t"), 7);
}

TEST(RegistryReregister, UnknownTypeFailsAndChangesNothing) {
    NodeRegistry reg;
    int live = 0;
    auto r = reg.reregister(decl("never"), factory(1, &live));
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error(), (RegistryError{RegistryError::Kind::NotFound, "never"}));
    EXPECT_EQ(r.error().display(), "node type not found: never");
    EXPECT_EQ(live, 0);
    EXPECT_EQ(reg.generation("never"), 0u);
    EXPECT_EQ(reg.get_type("never"), std::nullopt);
    EXPECT_TRUE(reg.type_ids().empty());
    EXPECT_EQ(created_tag(reg, "never"), -1);
}

TEST(RegistryReregister, ReplacesDeclarationAndFactory) {
    NodeRegistry reg;
    int live = 0;
    ASSERT_TRUE(reg.register_type(decl("t", 1), factory(1, &live)));
    ASSERT_TRUE(reg.reregister(decl("t", 2), factory(2, &live)));
    EXPECT_EQ(live, 1);  // the old factory was dropped
    EXPECT_EQ(reg.generation("t"), 2u);
    EXPECT_EQ(reg.get_type("t"), decl("t", 2));
    EXPECT_EQ(created_tag(reg, "t"), 2);
    ASSERT_TRUE(reg.reregister(decl("t", 3), factory(3, &live)));
    EXPECT_EQ(reg.generation("t"), 3u);
    EXPECT_EQ(created_tag(reg, "t"), 3);
}

TEST(RegistryReregister, GivesTypeOnlyDeclarationAFactory) {
    NodeRegistry reg;
    reg.register_type_only(decl("t"));
    ASSERT_TRUE(reg.reregister(decl("t", 2), factory(5)));
    EXPECT_EQ(reg.generation("t"), 2u);
    EXPECT_EQ(reg.get_type("t"), decl("t", 2));
    EXPECT_EQ(created_tag(reg, "t"), 5);
}

TEST(RegistryGeneration, OnlyGrowsAcrossMixedOperations) {
    NodeRegistry reg;
    std::uint64_t last = 0;
    auto check_grew = [&](bool should_grow) {
        const std::uint64_t now = reg.generation("t");
        if (should_grow) {
            EXPECT_EQ(now, last + 1);
        } else {
            EXPECT_EQ(now, last);
        }
        last = now;
    };
    check_grew(reg.reregister(decl("t"), factory(1)).has_value());
    check_grew(reg.register_type(decl("t"), factory(1)).has_value());
    check_grew(reg.register_type(decl("t"), factory(2)).has_value());
    reg.register_type_only(decl("t"));
    check_grew(true);
    check_grew(reg.reregister(decl("t"), factory(3)).has_value());
    EXPECT_EQ(last, 3u);
    // Other ids are independent.
    EXPECT_EQ(reg.generation("u"), 0u);
}

TEST(RegistryCreate, PassesRateAndBlockSize) {
    NodeRegistry reg;
    ASSERT_TRUE(reg.register_type(decl("t"), factory(1)));
    auto node = reg.create_node("t", 44100, 128);
    ASSERT_TRUE(node);
    const auto& tag = static_cast<TagNode&>(**node);
    EXPECT_EQ(tag.rate, 44100u);
    EXPECT_EQ(tag.block, 128u);
    // Each call makes a new instance.
    auto other = reg.create_node("t", 44100, 128);
    ASSERT_TRUE(other);
    EXPECT_NE(node->get(), other->get());
}

TEST(RegistryCreate, FailingFactoryGivesCreationFailed) {
    NodeRegistry reg;
    ASSERT_TRUE(reg.register_type(decl("bad"), std::make_unique<FailingFactory>()));
    auto node = reg.create_node("bad", 48000, 64);
    ASSERT_FALSE(node);
    EXPECT_EQ(node.error().kind, RegistryError::Kind::CreationFailed);
    EXPECT_EQ(node.error().text, "compile error: line 3");
    EXPECT_EQ(node.error().display(), "node creation failed: compile error: line 3");
    // A failed creation changes nothing.
    EXPECT_EQ(reg.generation("bad"), 1u);
}

TEST(RegistryCreate, UnknownIdIsNotFoundWithThatId) {
    NodeRegistry reg = engine_registry();
    auto node = reg.create_node("Gain", 48000, 64);  // case-sensitive
    ASSERT_FALSE(node);
    EXPECT_EQ(node.error(), (RegistryError{RegistryError::Kind::NotFound, "Gain"}));
}

TEST(RegistryEngineStart, AdcInputDeclaredWithoutFactory) {
    NodeRegistry reg = engine_registry();
    EXPECT_EQ(reg.get_type("adc_input"), audio_engine::nodes::adc::adc_type_decl());
    EXPECT_EQ(reg.generation("adc_input"), 1u);
    auto node = reg.create_node("adc_input", 48000, 64);
    ASSERT_FALSE(node);
    EXPECT_EQ(node.error().display(), "node type not found: adc_input");
}

TEST(RegistryEngineStart, BuiltinsCreateTheirNodes) {
    NodeRegistry reg = engine_registry();
    for (const char* id : {"oscillator", "dac", "gain"}) {
        EXPECT_EQ(reg.generation(id), 1u) << id;
        auto node = reg.create_node(id, 48000, 64);
        ASSERT_TRUE(node) << id;
        ASSERT_NE(*node, nullptr) << id;
    }
    auto osc = reg.create_node("oscillator", 48000, 64);
    ASSERT_TRUE(osc);
    EXPECT_EQ((*osc)->num_inputs(), 0u);
    EXPECT_EQ((*osc)->num_outputs(), 1u);
    auto gain = reg.create_node("gain", 48000, 64);
    ASSERT_TRUE(gain);
    EXPECT_EQ((*gain)->num_inputs(), 1u);
    EXPECT_EQ((*gain)->num_outputs(), 1u);
}

TEST(RegistryEngineStart, ListsEveryDeclaredId) {
    NodeRegistry reg = engine_registry();
    auto ids = reg.type_ids();
    std::sort(ids.begin(), ids.end());
    EXPECT_EQ(ids, (std::vector<std::string>{"adc_input", "dac", "gain", "oscillator"}));
}

TEST(RegistryEngineStart, GetTypeReturnsACopy) {
    NodeRegistry reg = engine_registry();
    auto copy = reg.get_type("gain");
    ASSERT_TRUE(copy);
    copy->controls.clear();
    EXPECT_EQ(reg.get_type("gain"), audio_engine::nodes::gain::gain_type_decl());
}

}  // namespace
