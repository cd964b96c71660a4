#include "pattern_engine/event.hpp"

#include <array>
#include <string_view>

namespace pattern_engine::event {

namespace json = support::json;

namespace {

constexpr std::array<std::string_view, 4> value_kinds = {"Note", "Cc", "Osc", "Control"};
constexpr std::array<std::string_view, 3> osc_arg_kinds = {"Float", "Int", "Str"};

}  // namespace

json::Status read_json(json::Element e, Value& out) {
    auto tagged = json::read_internal_tag(e, "type", value_kinds, json::TagIndex::Allowed,
                                          "internally tagged enum Value");
    if (!tagged) return std::unexpected(std::move(tagged.error()));
    const json::Content& c = tagged->content;
    switch (tagged->index) {
        case 0: {
            auto& v = out.emplace<Note>();
            return json::read_fields(
                c, "struct variant Value::Note",
                {json::required("channel", v.channel), json::required("note", v.note),
                 json::required("velocity", v.velocity), json::required("dur", v.dur)});
        }
        case 1: {
            auto& v = out.emplace<Cc>();
            return json::read_fields(
                c, "struct variant Value::Cc",
                {json::required("channel", v.channel), json::required("controller", v.controller),
                 json::required("value", v.value)});
        }
        case 2: {
            Osc::Body v;
            auto status = json::read_fields(
                c, "struct variant Value::Osc",
                {json::required("address", v.address), json::required("args", v.args)});
            out.emplace<Osc>(std::move(v));
            return status;
        }
        default: {
            auto& v = out.emplace<Control>();
            return json::read_fields(
                c, "struct variant Value::Control",
                {json::required("label", v.label), json::required("value", v.value)});
        }
    }
}

json::Status read_json(json::Element e, OscArg& out) {
    auto tagged = json::read_external_tag(e, osc_arg_kinds, "enum OscArg");
    if (!tagged) return std::unexpected(std::move(tagged.error()));
    switch (tagged->index) {
        case 0:
            return json::read(tagged->value, out.emplace<double>());
        case 1:
            return json::read(tagged->value, out.emplace<std::int32_t>());
        default:
            return json::read(tagged->value, out.emplace<std::string>());
    }
}

}  // namespace pattern_engine::event
