// The pattern commands' own reading: the command table, the tag rules and Batch; the generic
// reading rules (numbers such as 2^64 and -0 included) are support's tests.
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

// Every command in both forms, in a Batch (which itself decodes from either form).
TEST(ProtocolDecode, EveryCommandInBothForms) {
    const auto batch = decode(R"({"cmd":"Batch","commands":[
        {"cmd":"SetPattern","slot":"d1","pattern":{"op":"Silence"}}, ["SetPattern","",["Silence"]],
        {"cmd":"SetPatternFromZero","slot":"d2","pattern":{"op":"Cat","children":[]}},
        ["SetPatternFromZero","d1",{"op":"Silence"}],
        {"cmd":"Hush","slot":"d 1/\u00e9","gain":3}, ["Hush",""],
        {"cmd":"HushAll","slot":"d1"}, ["HushAll"], {"cmd":"SetBpm","bpm":90,"beats":3},
        ["SetBpm",-5.5], {"cmd":"SetBeatsPerCycle","beats":3}, ["SetBeatsPerCycle",7.5],
        {"id":7,"cmd":"Ping","slot":"d1","x":{"y":[1,2]}}, ["Ping"],
        {"cmd":"Batch","commands":[]}, ["Batch",[["Ping"],{"cmd":"Hush","slot":"a"}]]]})");
    ASSERT_TRUE(batch.has_value()) << batch.error().text;
    EXPECT_EQ(*batch,
              ClientMessage(protocol::Batch{
                  {protocol::SetPattern{"d1", silence()}, protocol::SetPattern{"", silence()},
                   protocol::SetPatternFromZero{"d2", cat()},
                   protocol::SetPatternFromZero{"d1", silence()}, protocol::Hush{"d 1/\xc3\xa9"},
                   protocol::Hush{""}, protocol::HushAll{}, protocol::HushAll{},
                   protocol::SetBpm{90.0}, protocol::SetBpm{-5.5}, protocol::SetBeatsPerCycle{3.0},
                   protocol::SetBeatsPerCycle{7.5}, protocol::Ping{}, protocol::Ping{},
                   protocol::Batch{}, protocol::Batch{{protocol::Ping{}, protocol::Hush{"a"}}}}}));
}

TEST(ProtocolDecode, RefusedCommands) {
    const std::pair<std::string_view, ErrorKind> cases[] = {
        {R"({"cmd":"SetBpm"})", ErrorKind::MissingField},
        {R"({"cmd":"hush","slot":"d1"})", ErrorKind::UnknownVariant},
        // An integer "cmd" names no command: clients spell the name.
        {R"({"cmd":6})", ErrorKind::InvalidType},
        {R"([4, 90])", ErrorKind::InvalidType},
        {R"({"cmd":"SetPattern","slot":"d1","pattern":{"op":"Fast","child":{"op":"Silence"}}})",
         ErrorKind::MissingField},
        // One bad element fails the whole Batch; fields do not carry over into its elements.
        {R"({"cmd":"Batch","commands":[{"cmd":"Ping"},{"cmd":"SetBpm"}]})",
         ErrorKind::MissingField},
        {R"({"cmd":"Batch","commands":[{"cmd":"Ping"},5]})", ErrorKind::InvalidType},
        {R"({"cmd":"Batch","slot":"d1","commands":[{"cmd":"Hush"}]})", ErrorKind::MissingField},
        {R"({"cmd":"Ping"} {"cmd":"Ping"})", ErrorKind::Syntax},
    };
    for (const auto& [text, kind] : cases) {
        auto message = decode(text);
        ASSERT_FALSE(message.has_value()) << text;
        EXPECT_EQ(message.error().kind, kind) << text << ": " << message.error().text;
    }
    // A Batch inside a Batch decodes; compiling it is refused.
    EXPECT_EQ(decode(R"(["Batch",[["Batch",[["Ping"]]]]])").value(),
              ClientMessage(protocol::Batch{{protocol::Batch{{protocol::Ping{}}}}}));
}

}  // namespace
