#include "audio_engine/ir/types.hpp"

#include <gtest/gtest.h>

#include <limits>
#include <string>

#include "read_helpers.hpp"
#include "support/json.hpp"

namespace {

namespace json = support::json;
using audio_engine::ir::types::ChannelLayout;
using audio_engine::ir::types::ControlDecl;
using audio_engine::ir::types::NodeTypeDecl;
using audio_engine::ir::types::PortDecl;
using audio_engine::ir::types::Rate;
using json::ErrorKind;

using namespace read_helpers;

// --- Rate ---

TEST(RateRead, Names) {
    EXPECT_EQ(read<Rate>(R"("control")").value(), Rate::Control);
    EXPECT_EQ(read<Rate>(R"("audio")").value(), Rate::Audio);
    EXPECT_EQ(read<Rate>(R"({"audio":null})").value(), Rate::Audio);
    EXPECT_EQ(read<Rate>(R"({"control":{}})").value(), Rate::Control);
}

TEST(RateRead, Failures) {
    expect_error<Rate>(R"("Control")", ErrorKind::UnknownVariant,
                       "unknown variant `Control`, expected `control` or `audio`");
    expect_error<Rate>(R"("")", ErrorKind::UnknownVariant,
                       "unknown variant ``, expected `control` or `audio`");
    expect_error<Rate>(R"({"fast":null})", ErrorKind::UnknownVariant,
                       "unknown variant `fast`, expected `control` or `audio`");
    expect_error<Rate>("0", ErrorKind::InvalidType,
                       "invalid type: integer `0`, expected string or map");
    expect_error<Rate>("{}", ErrorKind::InvalidValue,
                       "invalid value: map, expected map with a single key");
    expect_error<Rate>(R"({"audio":null,"control":null})", ErrorKind::InvalidValue,
                       "invalid value: map, expected map with a single key");
    expect_kind<Rate>(R"({"audio":1})", ErrorKind::InvalidType);
    expect_kind<Rate>(R"({"audio":[]})", ErrorKind::InvalidType);
    expect_kind<Rate>(R"({"audio":{"x":null}})", ErrorKind::InvalidType);
    for (const char* text : {"null", "true", "[\"audio\"]", "1.5"})
        expect_kind<Rate>(text, ErrorKind::InvalidType);
}

TEST(RateDebug, Names) {
    EXPECT_EQ(debug(Rate::Control), "Control");
    EXPECT_EQ(debug(Rate::Audio), "Audio");
    EXPECT_EQ(static_cast<int>(Rate::Control), 0);
    EXPECT_EQ(static_cast<int>(Rate::Audio), 1);
}

// --- ChannelLayout ---

TEST(ChannelLayoutRead, Names) {
    EXPECT_EQ(read<ChannelLayout>(R"("mono")").value(), ChannelLayout::Mono);
    EXPECT_EQ(read<ChannelLayout>(R"("stereo")").value(), ChannelLayout::Stereo);
    EXPECT_EQ(read<ChannelLayout>(R"({"stereo":null})").value(), ChannelLayout::Stereo);
    EXPECT_EQ(read<ChannelLayout>(R"({"mono":{}})").value(), ChannelLayout::Mono);
}

TEST(ChannelLayoutRead, Failures) {
    expect_error<ChannelLayout>(R"("Mono")", ErrorKind::UnknownVariant,
                                "unknown variant `Mono`, expected `mono` or `stereo`");
    expect_error<ChannelLayout>(R"({"Stereo":null})", ErrorKind::UnknownVariant,
                                "unknown variant `Stereo`, expected `mono` or `stereo`");
    expect_error<ChannelLayout>("1", ErrorKind::InvalidType,
                                "invalid type: integer `1`, expected string or map");
    expect_error<ChannelLayout>("{}", ErrorKind::InvalidValue,
                                "invalid value: map, expected map with a single key");
    expect_error<ChannelLayout>(R"({"mono":null,"stereo":null})", ErrorKind::InvalidValue,
                                "invalid value: map, expected map with a single key");
    expect_kind<ChannelLayout>(R"({"stereo":2})", ErrorKind::InvalidType);
    expect_kind<ChannelLayout>(R"({"stereo":"x"})", ErrorKind::InvalidType);
    expect_kind<ChannelLayout>("null", ErrorKind::InvalidType);
}

TEST(ChannelLayoutDebug, Names) {
    EXPECT_EQ(debug(ChannelLayout::Mono), "Mono");
    EXPECT_EQ(debug(ChannelLayout::Stereo), "Stereo");
}

// --- PortDecl ---

TEST(PortDeclRead, BothForms) {
    EXPECT_EQ(read<PortDecl>(R"({"name":"in","channels":"stereo"})").value(),
              (PortDecl{"in", ChannelLayout::Stereo}));
    EXPECT_EQ(read<PortDecl>(R"(["out","mono"])").value(), (PortDecl{"out", ChannelLayout::Mono}));
    EXPECT_EQ(read<PortDecl>(R"({"channels":{"stereo":null},"x":[1],"name":""})").value(),
              (PortDecl{"", ChannelLayout::Stereo}));
}

TEST(PortDeclRead, Failures) {
    expect_error<PortDecl>(R"({"name":"in"})", ErrorKind::MissingField, "missing field `channels`");
    expect_error<PortDecl>(R"({"channels":"mono"})", ErrorKind::MissingField,
                           "missing field `name`");
    expect_error<PortDecl>(R"({"name":"a","channels":"mono","name":"a"})",
                           ErrorKind::DuplicateField, "duplicate field `name`");
    expect_error<PortDecl>(R"(["in"])", ErrorKind::InvalidLength,
                           "invalid length 1, expected struct PortDecl with 2 elements");
    expect_error<PortDecl>(R"(["in","mono","x"])", ErrorKind::InvalidLength,
                           "invalid length 3, expected 2 elements in sequence");
    expect_error<PortDecl>(R"("in")", ErrorKind::InvalidType,
                           R"(invalid type: string "in", expected struct PortDecl)");
    expect_kind<PortDecl>(R"({"name":"in","channels":"Mono"})", ErrorKind::UnknownVariant);
    expect_kind<PortDecl>(R"({"name":"in","channels":1})", ErrorKind::InvalidType);
}

TEST(PortDeclDebug, Form) {
    EXPECT_EQ(debug(PortDecl{"in", ChannelLayout::Mono}),
              R"(PortDecl { name: "in", channels: Mono })");
    EXPECT_EQ(debug(PortDecl{"a\"", ChannelLayout::Stereo}),
              R"(PortDecl { name: "a\"", channels: Stereo })");
}

// --- ControlDecl ---

TEST(ControlDeclRead, KeyedForm) {
    auto c = read<ControlDecl>(
        R"({"name":"freq","range":[20,20000],"default":440.5,"rate":"audio","unit":"Hz"})");
    ASSERT_TRUE(c.has_value()) << c.error().text;
    EXPECT_EQ(*c, (ControlDecl{"freq", {20.0f, 20000.0f}, 440.5f, Rate::Audio, "Hz"}));
}

TEST(ControlDeclRead, UnitAbsentOrNullIsNone) {
    auto absent = read<ControlDecl>(R"({"name":"g","range":[0,1],"default":1,"rate":"control"})");
    ASSERT_TRUE(absent.has_value()) << absent.error().text;
    EXPECT_FALSE(absent->unit.has_value());
    auto null =
        read<ControlDecl>(R"({"name":"g","range":[0,1],"default":1,"rate":"control","unit":null})");
    ASSERT_TRUE(null.has_value());
    EXPECT_FALSE(null->unit.has_value());
    auto empty =
        read<ControlDecl>(R"({"name":"g","range":[0,1],"default":1,"rate":"control","unit":""})");
    ASSERT_TRUE(empty.has_value());
    EXPECT_EQ(empty->unit, std::optional<std::string>(""));
}

TEST(ControlDeclRead, NothingBeyondTheShapeIsChecked) {
    auto c = read<ControlDecl>(R"({"name":"x","range":[5,-5],"default":100,"rate":"control"})");
    ASSERT_TRUE(c.has_value());
    EXPECT_EQ(c->range, std::make_pair(5.0f, -5.0f));
    EXPECT_EQ(c->default_value, 100.0f);
}

TEST(ControlDeclRead, PositionalForm) {
    auto c = read<ControlDecl>(R"(["gain",[0,2],1,"control",null])");
    ASSERT_TRUE(c.has_value()) << c.error().text;
    EXPECT_EQ(*c, (ControlDecl{"gain", {0.0f, 2.0f}, 1.0f, Rate::Control, std::nullopt}));
    auto unit = read<ControlDecl>(R"(["f",[0,2],1,"audio","Hz"])");
    ASSERT_TRUE(unit.has_value());
    EXPECT_EQ(unit->unit, std::optional<std::string>("Hz"));

    // The unit may not be left off in this form.
    expect_error<ControlDecl>(R"(["gain",[0,2],1,"control"])", ErrorKind::InvalidLength,
                              "invalid length 4, expected struct ControlDecl with 5 elements");
    expect_error<ControlDecl>(R"(["gain"])", ErrorKind::InvalidLength,
                              "invalid length 1, expected struct ControlDecl with 5 elements");
    expect_error<ControlDecl>(R"(["gain",[0,2],1,"control",null,0])", ErrorKind::InvalidLength,
                              "invalid length 6, expected 5 elements in sequence");
}

TEST(ControlDeclRead, MissingAndDuplicateFields) {
    expect_error<ControlDecl>(R"({"name":"g","range":[0,1],"default":1})", ErrorKind::MissingField,
                              "missing field `rate`");
    expect_error<ControlDecl>(R"({"name":"g","range":[0,1],"rate":"audio"})",
                              ErrorKind::MissingField, "missing field `default`");
    expect_error<ControlDecl>(R"({"name":"g","default":1,"rate":"audio"})", ErrorKind::MissingField,
                              "missing field `range`");
    expect_error<ControlDecl>(R"({"rate":"audio","unit":"Hz"})", ErrorKind::MissingField,
                              "missing field `name`");
    expect_error<ControlDecl>(
        R"({"name":"g","range":[0,1],"default":1,"rate":"audio","unit":null,"unit":null})",
        ErrorKind::DuplicateField, "duplicate field `unit`");
    expect_error<ControlDecl>(
        R"({"name":"g","default":1,"range":[0,1],"default":1,"rate":"audio"})",
        ErrorKind::DuplicateField, "duplicate field `default`");
    // "default_value" is not a key: skipped, so "default" is still missing.
    expect_error<ControlDecl>(R"({"name":"g","range":[0,1],"default_value":1,"rate":"audio"})",
                              ErrorKind::MissingField, "missing field `default`");
}

TEST(ControlDeclRead, RangeIsAPairOfNumbers) {
    expect_error<ControlDecl>(R"({"name":"g","range":[0],"default":1,"rate":"audio"})",
                              ErrorKind::InvalidLength,
                              "invalid length 1, expected a tuple of size 2");
    expect_error<ControlDecl>(R"({"name":"g","range":[0,1,2],"default":1,"rate":"audio"})",
                              ErrorKind::InvalidLength,
                              "invalid length 3, expected 2 elements in sequence");
    expect_kind<ControlDecl>(R"({"name":"g","range":{"min":0,"max":1},"default":1,"rate":"audio"})",
                             ErrorKind::InvalidType);
    expect_kind<ControlDecl>(R"({"name":"g","range":["0",1],"default":1,"rate":"audio"})",
                             ErrorKind::InvalidType);
}

TEST(ControlDeclRead, FieldTypes) {
    expect_kind<ControlDecl>(R"({"name":"g","range":[0,1],"default":"1","rate":"audio"})",
                             ErrorKind::InvalidType);
    expect_kind<ControlDecl>(R"({"name":"g","range":[0,1],"default":null,"rate":"audio"})",
                             ErrorKind::InvalidType);
    expect_kind<ControlDecl>(R"({"name":"g","range":[0,1],"default":1,"rate":"audio","unit":1})",
                             ErrorKind::InvalidType);
    expect_kind<ControlDecl>(R"({"name":"g","range":[0,1],"default":1,"rate":1})",
                             ErrorKind::InvalidType);
    expect_kind<ControlDecl>(R"({"name":"g","range":[0,1],"default":1,"rate":"Audio"})",
                             ErrorKind::UnknownVariant);
    expect_kind<ControlDecl>("false", ErrorKind::InvalidType);
}

TEST(ControlDeclDebug, Form) {
    EXPECT_EQ(debug(ControlDecl{"freq", {20.0f, 20000.0f}, 440.0f, Rate::Audio, "Hz"}),
              R"(ControlDecl { name: "freq", range: (20.0, 20000.0), default: 440.0, )"
              R"(rate: Audio, unit: Some("Hz") })");
    EXPECT_EQ(debug(ControlDecl{"gain", {0.0f, 1.5f}, 0.1f, Rate::Control, std::nullopt}),
              R"(ControlDecl { name: "gain", range: (0.0, 1.5), default: 0.1, )"
              R"(rate: Control, unit: None })");
    EXPECT_EQ(debug(ControlDecl{"q\\", {-1.0f, 1.0f}, 0.0f, Rate::Control, "a\"b"}),
              R"(ControlDecl { name: "q\\", range: (-1.0, 1.0), default: 0.0, )"
              R"(rate: Control, unit: Some("a\"b") })");
}

// --- NodeTypeDecl ---

TEST(NodeTypeDeclRead, KeyedForm) {
    auto d = read<NodeTypeDecl>(R"({
        "type_id": "gain",
        "audio_inputs": [{"name": "in", "channels": "mono"}],
        "audio_outputs": [["out", "stereo"]],
        "controls": [{"name": "gain", "range": [0, 2], "default": 1, "rate": "control"}],
        "doc": "scales its input"
    })");
    ASSERT_TRUE(d.has_value()) << d.error().text;
    const NodeTypeDecl expected{"gain",
                                {{"in", ChannelLayout::Mono}},
                                {{"out", ChannelLayout::Stereo}},
                                {{"gain", {0.0f, 2.0f}, 1.0f, Rate::Control, std::nullopt}}};
    EXPECT_EQ(*d, expected);
}

TEST(NodeTypeDeclRead, PositionalFormAndEmptyLists) {
    auto d = read<NodeTypeDecl>(R"(["dac",[["in","mono"]],[],[]])");
    ASSERT_TRUE(d.has_value()) << d.error().text;
    EXPECT_EQ(*d, (NodeTypeDecl{"dac", {{"in", ChannelLayout::Mono}}, {}, {}}));
}

TEST(NodeTypeDeclRead, Failures) {
    expect_error<NodeTypeDecl>(R"({"type_id":"t","audio_inputs":[],"audio_outputs":[]})",
                               ErrorKind::MissingField, "missing field `controls`");
    expect_error<NodeTypeDecl>(R"({"type_id":"t","controls":[]})", ErrorKind::MissingField,
                               "missing field `audio_inputs`");
    expect_error<NodeTypeDecl>(
        R"({"type_id":"t","audio_inputs":[],"audio_outputs":[],"controls":[],"type_id":"t"})",
        ErrorKind::DuplicateField, "duplicate field `type_id`");
    expect_error<NodeTypeDecl>(R"(["t",[],[]])", ErrorKind::InvalidLength,
                               "invalid length 3, expected struct NodeTypeDecl with 4 elements");
    expect_error<NodeTypeDecl>(R"(["t",[],[],[],[]])", ErrorKind::InvalidLength,
                               "invalid length 5, expected 4 elements in sequence");
    expect_error<NodeTypeDecl>("null", ErrorKind::InvalidType,
                               "invalid type: null, expected struct NodeTypeDecl");
    // An error deep inside ends the whole read.
    expect_error<NodeTypeDecl>(
        R"({"type_id":"t","audio_inputs":[["in","mono"],["x","Mono"]],"audio_outputs":[],)"
        R"("controls":[]})",
        ErrorKind::UnknownVariant, "unknown variant `Mono`, expected `mono` or `stereo`");
    expect_error<NodeTypeDecl>(
        R"({"type_id":"t","audio_inputs":[],"audio_outputs":[],"controls":[["c",[0,1],0,"audio"]]})",
        ErrorKind::InvalidLength, "invalid length 4, expected struct ControlDecl with 5 elements");
    expect_kind<NodeTypeDecl>(
        R"({"type_id":"t","audio_inputs":{},"audio_outputs":[],"controls":[]})",
        ErrorKind::InvalidType);
}

TEST(NodeTypeDeclRead, FailureLeavesTargetUntouched) {
    json::Parser parser;
    NodeTypeDecl d{"keep", {{"in", ChannelLayout::Stereo}}, {}, {}};
    const NodeTypeDecl before = d;
    auto root =
        parser.parse(R"({"type_id":"t","audio_inputs":[],"audio_outputs":[1],"controls":[]})");
    ASSERT_TRUE(root.has_value());
    EXPECT_FALSE(read_json(*root, d).has_value());
    EXPECT_EQ(d, before);
}

TEST(NodeTypeDeclDebug, Form) {
    EXPECT_EQ(debug(NodeTypeDecl{}),
              R"(NodeTypeDecl { type_id: "", audio_inputs: [], audio_outputs: [], controls: [] })");
    const NodeTypeDecl d{"osc",
                         {},
                         {{"out", ChannelLayout::Mono}, {"side", ChannelLayout::Stereo}},
                         {{"freq", {20.0f, 20000.0f}, 440.0f, Rate::Audio, "Hz"}}};
    EXPECT_EQ(debug(d), R"(NodeTypeDecl { type_id: "osc", audio_inputs: [], audio_outputs: )"
                        R"([PortDecl { name: "out", channels: Mono }, PortDecl { name: "side", )"
                        R"(channels: Stereo }], controls: [ControlDecl { name: "freq", range: )"
                        R"((20.0, 20000.0), default: 440.0, rate: Audio, unit: Some("Hz") }] })");
    std::string out = ">";
    append_debug(out, d);
    EXPECT_EQ(out, ">" + debug(d));
}

}  // namespace
