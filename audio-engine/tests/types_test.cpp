// Node-type declarations' own forms: their fields (one round trip from a literal), the names in
// their failures and the debug form. The generic reading rules are support's tests.
#include "audio_engine/ir/types.hpp"

#include <gtest/gtest.h>

#include <string>

#include "read_helpers.hpp"

namespace {

using audio_engine::ir::types::ChannelLayout;
using audio_engine::ir::types::ControlDecl;
using audio_engine::ir::types::NodeTypeDecl;
using audio_engine::ir::types::PortDecl;
using audio_engine::ir::types::Rate;
using namespace read_helpers;

const NodeTypeDecl gain_type{"gain",
                             {{"in", ChannelLayout::Mono}},
                             {{"out", ChannelLayout::Stereo}},
                             {{"gain", {0.0f, 2.0f}, 1.0f, Rate::Control, std::nullopt},
                              {"freq", {20.0f, 2e4f}, 440.5f, Rate::Audio, "Hz"}}};

TEST(NodeTypeDeclRead, EveryFieldInBothForms) {
    auto d = read<NodeTypeDecl>(R"({"type_id": "gain",
        "audio_inputs": [{"name": "in", "channels": "mono"}],
        "audio_outputs": [{"name": "out", "channels": {"stereo": null}}],
        "controls": [{"name": "gain", "range": [0, 2], "default": 1, "rate": "control"},
                     {"name": "freq", "range": [20, 2e4], "default": 440.5, "rate": {"audio": {}},
                      "unit": "Hz"}]})");
    ASSERT_TRUE(d.has_value()) << d.error().text;
    EXPECT_EQ(*d, gain_type);
    EXPECT_EQ(read<NodeTypeDecl>(R"(["gain",[["in","mono"]],[["out","stereo"]],[["gain",[0,2],1,)"
                                 R"("control",null],["freq",[20,2e4],440.5,"audio","Hz"]]])")
                  .value(),
              gain_type);
}

TEST(NodeTypeDeclRead, RecordNamesInFailures) {
    const std::pair<std::string, std::string_view> cases[] = {
        {failure<NodeTypeDecl>(R"(["t",[],[]])"),
         "invalid length 3, expected struct NodeTypeDecl with 4 elements"},
        {failure<PortDecl>(R"(["in"])"),
         "invalid length 1, expected struct PortDecl with 2 elements"},
        {failure<PortDecl>(R"("in")"), R"(invalid type: string "in", expected struct PortDecl)"},
        {failure<ControlDecl>(R"(["gain",[0,2],1,"control"])"),
         "invalid length 4, expected struct ControlDecl with 5 elements"},
        {failure<ControlDecl>(R"({"name":"g","range":[0,1],"default_value":1,"rate":"audio"})"),
         "missing field `default`"},
        {failure<Rate>(R"("Control")"), "unknown variant `Control`, expected `control` or `audio`"},
        {failure<ChannelLayout>(R"({"Stereo":null})"),
         "unknown variant `Stereo`, expected `mono` or `stereo`"},
    };
    for (const auto& [error, text] : cases) {
        EXPECT_EQ(error, text);
    }
}

TEST(NodeTypeDeclDebug, NestedRecords) {
    EXPECT_EQ(debug(gain_type),
              R"(NodeTypeDecl { type_id: "gain", audio_inputs: [PortDecl { name: "in", )"
              R"(channels: Mono }], audio_outputs: [PortDecl { name: "out", channels: Stereo }], )"
              R"(controls: [ControlDecl { name: "gain", range: (0.0, 2.0), default: 1.0, rate: )"
              R"(Control, unit: None }, ControlDecl { name: "freq", range: (20.0, 20000.0), )"
              R"(default: 440.5, rate: Audio, unit: Some("Hz") }] })");
}

}  // namespace
