#include "audio_engine/ir/types.hpp"

#include <array>

#include "support/debug.hpp"
#include "support/number.hpp"

namespace audio_engine::ir::types {

namespace json = support::json;

namespace {

constexpr std::array<std::string_view, 2> rate_names = {"control", "audio"};
constexpr std::array<std::string_view, 2> layout_names = {"mono", "stereo"};

}  // namespace

json::Status read_json(json::Element e, Rate& out) {
    auto index = json::read_unit_variant(e, rate_names, "string or map");
    if (!index) return std::unexpected(std::move(index.error()));
    out = *index == 0 ? Rate::Control : Rate::Audio;
    return {};
}

json::Status read_json(json::Element e, ChannelLayout& out) {
    auto index = json::read_unit_variant(e, layout_names, "string or map");
    if (!index) return std::unexpected(std::move(index.error()));
    out = *index == 0 ? ChannelLayout::Mono : ChannelLayout::Stereo;
    return {};
}

json::Status read_json(json::Element e, PortDecl& out) {
    return detail::read_fresh(out, [&](PortDecl& v) {
        return json::read_record(
            e, "struct PortDecl",
            {json::required("name", v.name), json::required("channels", v.channels)});
    });
}

json::Status read_json(json::Element e, ControlDecl& out) {
    return detail::read_fresh(out, [&](ControlDecl& v) {
        return json::read_record(e, "struct ControlDecl",
                                 {json::required("name", v.name), json::required("range", v.range),
                                  json::required("default", v.default_value),
                                  json::required("rate", v.rate), json::optional("unit", v.unit)});
    });
}

json::Status read_json(json::Element e, NodeTypeDecl& out) {
    auto content = json::Content::of(e, "struct NodeTypeDecl");
    if (!content) return std::unexpected(std::move(content.error()));
    return read_fields_of(*content, out);
}

json::Status read_fields_of(const json::Content& content, NodeTypeDecl& out) {
    return detail::read_fresh(out, [&](NodeTypeDecl& v) {
        return json::read_fields(
            content, "struct NodeTypeDecl",
            {json::required("type_id", v.type_id), json::required("audio_inputs", v.audio_inputs),
             json::required("audio_outputs", v.audio_outputs),
             json::required("controls", v.controls)});
    });
}

void append_debug(std::string& out, Rate value) {
    out += value == Rate::Control ? "Control" : "Audio";
}

void append_debug(std::string& out, ChannelLayout value) {
    out += value == ChannelLayout::Mono ? "Mono" : "Stereo";
}

void append_debug(std::string& out, const PortDecl& value) {
    out += "PortDecl { name: ";
    support::debug::append_quoted(out, value.name);
    out += ", channels: ";
    append_debug(out, value.channels);
    out += " }";
}

void append_debug(std::string& out, const ControlDecl& value) {
    out += "ControlDecl { name: ";
    support::debug::append_quoted(out, value.name);
    out += ", range: (";
    support::number::append_debug(out, value.range.first);
    out += ", ";
    support::number::append_debug(out, value.range.second);
    out += "), default: ";
    support::number::append_debug(out, value.default_value);
    out += ", rate: ";
    append_debug(out, value.rate);
    out += ", unit: ";
    if (value.unit) {
        out += "Some(";
        support::debug::append_quoted(out, *value.unit);
        out += ')';
    } else {
        out += "None";
    }
    out += " }";
}

void append_debug(std::string& out, const NodeTypeDecl& value) {
    auto item = [](std::string& o, const auto& v) { append_debug(o, v); };
    out += "NodeTypeDecl { type_id: ";
    support::debug::append_quoted(out, value.type_id);
    out += ", audio_inputs: ";
    support::debug::append_sequence(out, '[', value.audio_inputs, item, ']');
    out += ", audio_outputs: ";
    support::debug::append_sequence(out, '[', value.audio_outputs, item, ']');
    out += ", controls: ";
    support::debug::append_sequence(out, '[', value.controls, item, ']');
    out += " }";
}

}  // namespace audio_engine::ir::types
