#include "audio_engine/registry.hpp"

#include <gtest/gtest.h>

#include "test_nodes.hpp"

namespace {

using namespace audio_engine;
using test_nodes::ProbeFactory;

TEST(NodeRegistry, GenerationsOnlyGrowAndFactoriesFollowTheDeclarations) {
    registry::NodeRegistry reg;
    const auto decl = [](std::size_t outputs) {
        return ir::types::NodeTypeDecl{"t", {}, std::vector<ir::types::PortDecl>(outputs), {}};
    };
    // (generation, declared outputs, what create_node makes, live factories)
    const auto state = [&] {
        auto node = reg.create_node("t", 48000, 64);
        return std::tuple(reg.generation("t"),
                          reg.get_type("t").value_or(decl(0)).audio_outputs.size(),
                          node ? std::to_string(static_cast<test_nodes::Probe&>(**node).value)
                               : node.error().display(),
                          ProbeFactory::live);
    };
    using S = decltype(state());
    EXPECT_EQ(reg.reregister(decl(1), std::make_unique<ProbeFactory>(1)).error().display(),
              "node type not found: t");
    EXPECT_EQ(state(), S(0, 0, "node type not found: t", 0));
    reg.register_type_only(decl(1));
    EXPECT_EQ(reg.register_type(decl(2), std::make_unique<ProbeFactory>(2)).error().display(),
              "node type already registered: t");
    EXPECT_EQ(state(), S(1, 1, "node type not found: t", 0));
    EXPECT_TRUE(reg.reregister(decl(2), std::make_unique<ProbeFactory>(3)));
    reg.register_type_only(decl(3));  // keeps the factory
    EXPECT_EQ(state(), S(3, 3, "3.000000", 1));
    EXPECT_TRUE(reg.reregister(decl(3), std::make_unique<ProbeFactory>(-1)));
    EXPECT_EQ(state(), S(4, 3, "node creation failed: compile error: line 3", 1));
}

}  // namespace
