#include "pattern_engine/ipc/protocol.hpp"

#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <variant>

#include "ir_builders.hpp"
#include "pattern_engine/ir.hpp"

namespace {

using namespace ir_builders;

namespace json = support::json;
namespace protocol = pattern_engine::ipc::protocol;
using json::ErrorKind;
using protocol::ClientMessage;

json::Result<ClientMessage> decode(std::string_view text) {
    json::Parser parser;
    return protocol::decode(parser, text);
}

bool decodes(std::string_view text) {
    return decode(text).has_value();
}

ErrorKind failure(std::string_view text) {
    auto message = decode(text);
    EXPECT_FALSE(message.has_value()) << text;
    return message ? ErrorKind::Syntax : message.error().kind;
}

// The message decoded from `text`, which must decode.
ClientMessage decoded(std::string_view text) {
    auto message = decode(text);
    EXPECT_TRUE(message.has_value()) << text << ": " << (message ? "" : message.error().text);
    return message ? std::move(*message) : ClientMessage{protocol::Ping{}};
}

TEST(ProtocolDecode, EveryCommandByName) {
    EXPECT_EQ(decoded(R"({"cmd":"SetPattern","slot":"d1","pattern":{"op":"Silence"}})"),
              ClientMessage(protocol::SetPattern{"d1", silence()}));
    EXPECT_EQ(decoded(R"({"cmd":"SetPatternFromZero","slot":"d2","pattern":{"op":"Silence"}})"),
              ClientMessage(protocol::SetPatternFromZero{"d2", silence()}));
    EXPECT_EQ(decoded(R"({"cmd":"Hush","slot":"d1"})"), ClientMessage(protocol::Hush{"d1"}));
    EXPECT_EQ(decoded(R"({"cmd":"HushAll"})"), ClientMessage(protocol::HushAll{}));
    EXPECT_EQ(decoded(R"({"cmd":"SetBpm","bpm":120.5})"), ClientMessage(protocol::SetBpm{120.5}));
    EXPECT_EQ(decoded(R"({"cmd":"SetBeatsPerCycle","beats":3})"),
              ClientMessage(protocol::SetBeatsPerCycle{3.0}));
    EXPECT_EQ(decoded(R"({"cmd":"Ping"})"), ClientMessage(protocol::Ping{}));
    EXPECT_EQ(decoded(R"({"cmd":"Batch","commands":[]})"), ClientMessage(protocol::Batch{}));
}

TEST(ProtocolDecode, VariantIndicesFollowTheWireOrder) {
    EXPECT_EQ(decoded(R"({"cmd":"SetPattern","slot":"","pattern":["Silence"]})").index(), 0u);
    EXPECT_EQ(decoded(R"({"cmd":"SetPatternFromZero","slot":"","pattern":["Silence"]})").index(),
              1u);
    EXPECT_EQ(decoded(R"(["Hush","a"])").index(), 2u);
    EXPECT_EQ(decoded(R"(["HushAll"])").index(), 3u);
    EXPECT_EQ(decoded(R"(["SetBpm",1])").index(), 4u);
    EXPECT_EQ(decoded(R"(["SetBeatsPerCycle",1])").index(), 5u);
    EXPECT_EQ(decoded(R"(["Ping"])").index(), 6u);
    EXPECT_EQ(decoded(R"(["Batch",[]])").index(), 7u);
}

TEST(ProtocolDecode, BpmIntegerReadsAsDouble) {
    const ClientMessage m = decoded(R"({"cmd":"SetBpm","bpm":90})");
    ASSERT_TRUE(std::holds_alternative<protocol::SetBpm>(m));
    EXPECT_EQ(std::get<protocol::SetBpm>(m).bpm, 90.0);
}

TEST(ProtocolDecode, ValuesAreNotChecked) {
    EXPECT_EQ(decoded(R"({"cmd":"SetBpm","bpm":0})"), ClientMessage(protocol::SetBpm{0.0}));
    EXPECT_EQ(decoded(R"({"cmd":"SetBpm","bpm":-5.5})"), ClientMessage(protocol::SetBpm{-5.5}));
    EXPECT_EQ(decoded(R"({"cmd":"SetBeatsPerCycle","beats":0})"),
              ClientMessage(protocol::SetBeatsPerCycle{0.0}));
    EXPECT_EQ(decoded(R"({"cmd":"SetBpm","bpm":18446744073709551615})"),
              ClientMessage(protocol::SetBpm{18446744073709551615.0}));
    // An empty child list is the compiler's to refuse.
    EXPECT_EQ(decoded(R"({"cmd":"SetPattern","slot":"d1","pattern":{"op":"Cat","children":[]}})"),
              ClientMessage(protocol::SetPattern{"d1", cat()}));
}

TEST(ProtocolDecode, SlotMayBeAnyString) {
    EXPECT_EQ(decoded(R"({"cmd":"Hush","slot":""})"), ClientMessage(protocol::Hush{""}));
    EXPECT_EQ(decoded(R"({"cmd":"Hush","slot":"d 1/\u00e9"})"),
              ClientMessage(protocol::Hush{"d 1/\xc3\xa9"}));
    EXPECT_EQ(decoded(R"({"cmd":"SetPattern","slot":"","pattern":{"op":"Silence"}})"),
              ClientMessage(protocol::SetPattern{"", silence()}));
}

TEST(ProtocolDecode, WrongFieldTypesFail) {
    EXPECT_EQ(failure(R"({"cmd":"SetBpm","bpm":"90"})"), ErrorKind::InvalidType);
    EXPECT_EQ(failure(R"({"cmd":"SetBpm","bpm":null})"), ErrorKind::InvalidType);
    EXPECT_EQ(failure(R"({"cmd":"SetBeatsPerCycle","beats":[4]})"), ErrorKind::InvalidType);
    EXPECT_EQ(failure(R"({"cmd":"Hush","slot":1})"), ErrorKind::InvalidType);
    EXPECT_EQ(failure(R"({"cmd":"Hush","slot":null})"), ErrorKind::InvalidType);
    EXPECT_FALSE(decodes(R"({"cmd":"SetPattern","slot":"d1","pattern":"Silence"})"));
    EXPECT_EQ(failure(R"({"cmd":"Batch","commands":{"cmd":"Ping"}})"), ErrorKind::InvalidType);
}

TEST(ProtocolDecode, MissingFieldsFail) {
    EXPECT_EQ(failure(R"({"cmd":"SetBpm"})"), ErrorKind::MissingField);
    EXPECT_EQ(failure(R"({"cmd":"SetBeatsPerCycle","bpm":4})"), ErrorKind::MissingField);
    EXPECT_EQ(failure(R"({"cmd":"Hush"})"), ErrorKind::MissingField);
    EXPECT_EQ(failure(R"({"cmd":"SetPattern","slot":"d1"})"), ErrorKind::MissingField);
    EXPECT_EQ(failure(R"({"cmd":"SetPattern","pattern":{"op":"Silence"}})"),
              ErrorKind::MissingField);
    EXPECT_EQ(failure(R"({"cmd":"Batch"})"), ErrorKind::MissingField);
}

TEST(ProtocolDecode, MissingOrUnknownCmdFails) {
    EXPECT_EQ(failure(R"({"slot":"d1"})"), ErrorKind::MissingField);
    EXPECT_EQ(failure(R"({})"), ErrorKind::MissingField);
    EXPECT_EQ(failure(R"({"cmd":"Stop"})"), ErrorKind::UnknownVariant);
    EXPECT_EQ(failure(R"({"cmd":"Status"})"), ErrorKind::UnknownVariant);
    EXPECT_EQ(failure(R"({"cmd":""})"), ErrorKind::UnknownVariant);
    EXPECT_FALSE(decodes(R"({"cmd":null})"));
    EXPECT_FALSE(decodes(R"({"Cmd":"Ping"})"));
}

TEST(ProtocolDecode, NamesAreCaseSensitive) {
    EXPECT_EQ(failure(R"({"cmd":"hush","slot":"d1"})"), ErrorKind::UnknownVariant);
    EXPECT_EQ(failure(R"({"cmd":"PING"})"), ErrorKind::UnknownVariant);
    EXPECT_EQ(failure(R"({"cmd":"SetBPM","bpm":90})"), ErrorKind::UnknownVariant);
    EXPECT_EQ(failure(R"(["ping"])"), ErrorKind::UnknownVariant);
    // A field name in another case is an ignored key, so the real field is missing.
    EXPECT_EQ(failure(R"({"cmd":"SetBpm","BPM":90})"), ErrorKind::MissingField);
    EXPECT_EQ(failure(R"({"cmd":"Hush","Slot":"d1"})"), ErrorKind::MissingField);
}

TEST(ProtocolDecode, IntegerCmdNamesNoCommand) {
    EXPECT_FALSE(decodes(R"({"cmd":4,"bpm":90})"));
    EXPECT_FALSE(decodes(R"({"cmd":6})"));
    EXPECT_FALSE(decodes(R"({"cmd":0,"slot":"d1","pattern":{"op":"Silence"}})"));
    EXPECT_FALSE(decodes(R"([6])"));
    EXPECT_FALSE(decodes(R"([4, 90])"));
}

TEST(ProtocolDecode, ExtraKeysAreIgnored) {
    EXPECT_EQ(decoded(R"({"cmd":"Hush","slot":"d1","gain":3})"),
              ClientMessage(protocol::Hush{"d1"}));
    EXPECT_EQ(decoded(R"({"cmd":"HushAll","slot":"d1"})"), ClientMessage(protocol::HushAll{}));
    EXPECT_EQ(decoded(R"({"id":7,"cmd":"Ping","slot":"d1","x":{"y":[1,2]}})"),
              ClientMessage(protocol::Ping{}));
    // Unknown keys may even repeat.
    EXPECT_EQ(decoded(R"({"x":1,"cmd":"SetBpm","x":2,"bpm":90,"x":"three"})"),
              ClientMessage(protocol::SetBpm{90.0}));
    // The field of another command is just another unknown key.
    EXPECT_EQ(decoded(R"({"cmd":"SetBpm","bpm":90,"beats":3,"slot":"d1"})"),
              ClientMessage(protocol::SetBpm{90.0}));
}

TEST(ProtocolDecode, DuplicateCmdOrFieldFails) {
    EXPECT_EQ(failure(R"({"cmd":"Ping","cmd":"Ping"})"), ErrorKind::DuplicateField);
    EXPECT_EQ(failure(R"({"cmd":"Hush","slot":"d1","cmd":"HushAll"})"), ErrorKind::DuplicateField);
    EXPECT_EQ(failure(R"({"cmd":"SetBpm","bpm":90,"bpm":91})"), ErrorKind::DuplicateField);
    EXPECT_EQ(failure(R"({"cmd":"Hush","slot":"d1","slot":"d1"})"), ErrorKind::DuplicateField);
    EXPECT_EQ(
        failure(
            R"({"cmd":"SetPattern","slot":"d1","pattern":{"op":"Silence"},"pattern":{"op":"Silence"}})"),
        ErrorKind::DuplicateField);
}

TEST(ProtocolDecode, ArrayForm) {
    EXPECT_EQ(decoded(R"(["Ping"])"), ClientMessage(protocol::Ping{}));
    EXPECT_EQ(decoded(R"(["HushAll"])"), ClientMessage(protocol::HushAll{}));
    EXPECT_EQ(decoded(R"(["SetBpm", 90])"), ClientMessage(protocol::SetBpm{90.0}));
    EXPECT_EQ(decoded(R"(["SetBeatsPerCycle", 7.5])"),
              ClientMessage(protocol::SetBeatsPerCycle{7.5}));
    EXPECT_EQ(decoded(R"(["Hush", "d1"])"), ClientMessage(protocol::Hush{"d1"}));
    EXPECT_EQ(decoded(R"(["SetPattern", "d1", ["Silence"]])"),
              ClientMessage(protocol::SetPattern{"d1", silence()}));
    EXPECT_EQ(decoded(R"(["SetPatternFromZero", "d1", {"op":"Silence"}])"),
              ClientMessage(protocol::SetPatternFromZero{"d1", silence()}));
    EXPECT_EQ(decoded(R"(["Batch", [["Ping"], {"cmd":"Hush","slot":"a"}]])"),
              ClientMessage(protocol::Batch{{protocol::Ping{}, protocol::Hush{"a"}}}));
}

TEST(ProtocolDecode, ArrayFormNeedsExactlyTheFields) {
    EXPECT_EQ(failure(R"(["SetBpm"])"), ErrorKind::InvalidLength);
    EXPECT_EQ(failure(R"(["SetBpm", 90, 1])"), ErrorKind::InvalidLength);
    EXPECT_EQ(failure(R"(["Ping", 1])"), ErrorKind::InvalidLength);
    EXPECT_EQ(failure(R"(["HushAll", "d1"])"), ErrorKind::InvalidLength);
    EXPECT_EQ(failure(R"(["SetPattern", "d1"])"), ErrorKind::InvalidLength);
    EXPECT_EQ(failure(R"(["Hush"])"), ErrorKind::InvalidLength);
    EXPECT_EQ(failure(R"([])"), ErrorKind::InvalidLength);
    // Values are taken in the order of the fields, not by type.
    EXPECT_EQ(failure(R"(["SetPattern", {"op":"Silence"}, "d1"])"), ErrorKind::InvalidType);
    EXPECT_EQ(failure(R"(["SetBpm", "90"])"), ErrorKind::InvalidType);
}

TEST(ProtocolDecode, NotAnObjectOrArrayFails) {
    for (std::string_view text : {R"("Ping")", "null", "1", "true"}) {
        EXPECT_EQ(failure(text), ErrorKind::InvalidType) << text;
    }
    EXPECT_EQ(failure(""), ErrorKind::Syntax);
    EXPECT_EQ(failure(R"({"cmd":"Ping")"), ErrorKind::Syntax);
    EXPECT_EQ(failure(R"({"cmd":"Ping"} {"cmd":"Ping"})"), ErrorKind::Syntax);
}

TEST(ProtocolPattern, TreeInObjectAndArrayForms) {
    const ClientMessage expected =
        protocol::SetPattern{"d1", fast(2, 1, cat(note(60), control("cutoff")))};
    const ClientMessage keyed = decoded(R"({"cmd":"SetPattern","slot":"d1","pattern":
        {"op":"Fast","factor":[2,1],"child":{"op":"Cat","children":[
            {"op":"Atom","value":{"type":"Note","channel":0,"note":60,"velocity":100,"dur":0.25}},
            {"op":"Atom","value":{"type":"Control","label":"cutoff","value":0.5}}]}}})");
    EXPECT_EQ(keyed, expected);
    const ClientMessage positional = decoded(
        R"(["SetPattern","d1",["Fast",[2,1],["Cat",[["Atom",["Note",0,60,100,0.25]],
            ["Atom",["Control","cutoff",0.5]]]]]])");
    EXPECT_EQ(positional, expected);
}

TEST(ProtocolPattern, BadTreeFailsTheWholeMessage) {
    EXPECT_EQ(failure(R"({"cmd":"SetPattern","slot":"d1","pattern":{"op":"Fast","child":
        {"op":"Silence"}}})"),
              ErrorKind::MissingField);
    EXPECT_EQ(failure(R"({"cmd":"SetPattern","slot":"d1","pattern":{"op":"fast"}})"),
              ErrorKind::UnknownVariant);
    EXPECT_EQ(failure(R"({"cmd":"SetPatternFromZero","slot":"d1","pattern":{"op":"Atom",
        "value":{"type":"Note","channel":0,"note":300,"velocity":1,"dur":1}}})"),
              ErrorKind::InvalidValue);
}

TEST(ProtocolBatch, CompleteCommandsInOrder) {
    const ClientMessage m = decoded(R"({"cmd":"Batch","commands":[
        {"cmd":"SetBpm","bpm":90},
        {"cmd":"Hush","slot":"d1"},
        ["Ping"],
        {"cmd":"SetPattern","slot":"d2","pattern":{"op":"Silence"}}]})");
    ASSERT_TRUE(std::holds_alternative<protocol::Batch>(m));
    const auto& commands = std::get<protocol::Batch>(m).commands;
    ASSERT_EQ(commands.size(), 4u);
    EXPECT_EQ(commands[0], ClientMessage(protocol::SetBpm{90.0}));
    EXPECT_EQ(commands[1], ClientMessage(protocol::Hush{"d1"}));
    EXPECT_EQ(commands[2], ClientMessage(protocol::Ping{}));
    EXPECT_EQ(commands[3], ClientMessage(protocol::SetPattern{"d2", silence()}));
}

TEST(ProtocolBatch, OneBadElementFailsTheWhole) {
    EXPECT_FALSE(decodes(R"({"cmd":"Batch","commands":[{"cmd":"Ping"},{"cmd":"SetBpm"}]})"));
    EXPECT_FALSE(decodes(R"({"cmd":"Batch","commands":[{"cmd":"Ping"},{"cmd":"hush"}]})"));
    EXPECT_FALSE(decodes(R"({"cmd":"Batch","commands":[{"cmd":"Ping"},{"slot":"d1"}]})"));
    EXPECT_FALSE(decodes(R"({"cmd":"Batch","commands":[{"cmd":"Ping"},5]})"));
    // Elements are complete commands: fields do not carry over from the Batch.
    EXPECT_FALSE(decodes(R"({"cmd":"Batch","slot":"d1","commands":[{"cmd":"Hush"}]})"));
}

TEST(ProtocolBatch, BatchInsideBatchDecodes) {
    const ClientMessage m =
        decoded(R"({"cmd":"Batch","commands":[{"cmd":"Batch","commands":[{"cmd":"Ping"}]}]})");
    EXPECT_EQ(m, ClientMessage(protocol::Batch{
                     {ClientMessage(protocol::Batch{{ClientMessage(protocol::Ping{})}})}}));
}

// `levels` Batches, each inside the previous one's list, around `inner`.
std::string nested_batches(int levels, std::string_view inner = R"({"cmd":"Ping"})") {
    std::string text;
    for (int i = 0; i < levels; ++i)
        text += R"({"cmd":"Batch","commands":[)";
    text += inner;
    for (int i = 0; i < levels; ++i)
        text += "]}";
    return text;
}

TEST(ProtocolBatch, NestingPastTheParserLimitFails) {
    // Each Batch opens an object and an array; the Ping's object is one more level.
    static_assert(json::max_depth == 128);
    EXPECT_TRUE(decodes(nested_batches(63)));                              // 127 levels
    EXPECT_TRUE(decodes(nested_batches(63, R"({"cmd":"Ping","x":{}})")));  // 128 levels
    EXPECT_EQ(failure(nested_batches(63, R"({"cmd":"Ping","x":[[]]})")), ErrorKind::Depth);
    EXPECT_EQ(failure(nested_batches(64)), ErrorKind::Depth);  // 129 levels
    EXPECT_EQ(failure(nested_batches(1000)), ErrorKind::Depth);
}

TEST(ProtocolDecode, OneParserDecodesManyLines) {
    json::Parser parser;
    EXPECT_TRUE(protocol::decode(parser, R"({"cmd":"Ping"})").has_value());
    EXPECT_FALSE(protocol::decode(parser, R"({"cmd":"SetBpm"})").has_value());
    auto m = protocol::decode(parser, R"(["Hush","d9"])");
    ASSERT_TRUE(m.has_value());
    EXPECT_EQ(*m, ClientMessage(protocol::Hush{"d9"}));
}

TEST(ProtocolDecode, ReadsFromAnAlreadyParsedValue) {
    json::Parser parser;
    auto root = parser.parse(R"({"id":1,"request":{"cmd":"SetBpm","bpm":140}})");
    ASSERT_TRUE(root.has_value());
    auto request = root->find("request");
    ASSERT_TRUE(request.has_value());
    auto m = json::read_as<ClientMessage>(*request);
    ASSERT_TRUE(m.has_value());
    EXPECT_EQ(*m, ClientMessage(protocol::SetBpm{140.0}));
}

}  // namespace
