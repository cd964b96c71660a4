#include "pattern_engine/ipc/protocol.hpp"

#include <array>
#include <span>
#include <utility>

namespace pattern_engine::ipc::protocol {

namespace json = support::json;

namespace {

constexpr std::array<std::string_view, 8> commands = {
    "SetPattern", "SetPatternFromZero", "Hush", "HushAll",
    "SetBpm",     "SetBeatsPerCycle",   "Ping", "Batch"};

constexpr std::span<const json::FieldRef> no_fields;

}  // namespace

json::Status read_json(json::Element e, ClientMessage& out) {
    // An integer "cmd" names no command: clients must spell the name.
    auto tagged = json::read_internal_tag(e, "cmd", commands, json::TagIndex::Refused,
                                          "internally tagged enum ClientMessage");
    if (!tagged) return std::unexpected(std::move(tagged.error()));
    const json::Content& c = tagged->content;
    using json::required;
    switch (tagged->index) {
        case 0: {
            auto& v = out.emplace<SetPattern>();
            return json::read_fields(c, "struct variant ClientMessage::SetPattern",
                                     {required("slot", v.slot), required("pattern", v.pattern)});
        }
        case 1: {
            auto& v = out.emplace<SetPatternFromZero>();
            return json::read_fields(c, "struct variant ClientMessage::SetPatternFromZero",
                                     {required("slot", v.slot), required("pattern", v.pattern)});
        }
        case 2: {
            auto& v = out.emplace<Hush>();
            return json::read_fields(c, "struct variant ClientMessage::Hush",
                                     {required("slot", v.slot)});
        }
        case 3:
            // read_fields with no fields still skips unknown keys and checks the array length.
            out.emplace<HushAll>();
            return json::read_fields(c, "unit variant ClientMessage::HushAll", no_fields);
        case 4: {
            auto& v = out.emplace<SetBpm>();
            return json::read_fields(c, "struct variant ClientMessage::SetBpm",
                                     {required("bpm", v.bpm)});
        }
        case 5: {
            auto& v = out.emplace<SetBeatsPerCycle>();
            return json::read_fields(c, "struct variant ClientMessage::SetBeatsPerCycle",
                                     {required("beats", v.beats)});
        }
        case 6:
            out.emplace<Ping>();
            return json::read_fields(c, "unit variant ClientMessage::Ping", no_fields);
        default: {
            // Nesting is bounded by the parser's depth limit, so the recursion is too.
            auto& v = out.emplace<Batch>();
            return json::read_fields(c, "struct variant ClientMessage::Batch",
                                     {required("commands", v.commands)});
        }
    }
}

std::expected<ClientMessage, json::ReadError> decode(json::Parser& parser, std::string_view line) {
    return json::read_text<ClientMessage>(parser, line);
}

}  // namespace pattern_engine::ipc::protocol
