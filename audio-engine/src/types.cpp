#include "audio_engine/ir/types.hpp"

#include "support/record.hpp"

namespace audio_engine::ir::types {

namespace json = support::json;
namespace record = support::record;

static_assert(static_cast<int>(Rate::Control) == 0 && static_cast<int>(Rate::Audio) == 1);
static_assert(static_cast<int>(ChannelLayout::Mono) == 0 &&
              static_cast<int>(ChannelLayout::Stereo) == 1);

constexpr auto record_of(record::Type<Rate>) {
    return record::names<Rate>("Rate", {"control", "audio"}, {"Control", "Audio"});
}

constexpr auto record_of(record::Type<ChannelLayout>) {
    return record::names<ChannelLayout>("ChannelLayout", {"mono", "stereo"}, {"Mono", "Stereo"});
}

constexpr auto record_of(record::Type<PortDecl>) {
    using namespace record;
    return fields<PortDecl>("PortDecl", field("name", &PortDecl::name),
                            field("channels", &PortDecl::channels));
}

constexpr auto record_of(record::Type<ControlDecl>) {
    using namespace record;
    return fields<ControlDecl>(
        "ControlDecl", field("name", &ControlDecl::name), field("range", &ControlDecl::range),
        field("default", &ControlDecl::default_value), field("rate", &ControlDecl::rate),
        optional("unit", &ControlDecl::unit));
}

constexpr auto record_of(record::Type<NodeTypeDecl>) {
    using namespace record;
    return fields<NodeTypeDecl>("NodeTypeDecl", field("type_id", &NodeTypeDecl::type_id),
                                field("audio_inputs", &NodeTypeDecl::audio_inputs),
                                field("audio_outputs", &NodeTypeDecl::audio_outputs),
                                field("controls", &NodeTypeDecl::controls));
}

json::Status read_json(json::Element e, Rate& out) {
    return record::read_value(e, out);
}
json::Status read_json(json::Element e, ChannelLayout& out) {
    return record::read_value(e, out);
}
json::Status read_json(json::Element e, PortDecl& out) {
    return record::read_fresh(e, out);
}
json::Status read_json(json::Element e, ControlDecl& out) {
    return record::read_fresh(e, out);
}
json::Status read_json(json::Element e, NodeTypeDecl& out) {
    return record::read_fresh(e, out);
}
json::Status read_fields_of(const json::Content& content, NodeTypeDecl& out) {
    return record::read_fields_fresh(content, out);
}

void append_debug(std::string& out, Rate value) {
    record::debug_form(out, value);
}
void append_debug(std::string& out, ChannelLayout value) {
    record::debug_form(out, value);
}
void append_debug(std::string& out, const PortDecl& value) {
    record::debug_form(out, value);
}
void append_debug(std::string& out, const ControlDecl& value) {
    record::debug_form(out, value);
}
void append_debug(std::string& out, const NodeTypeDecl& value) {
    record::debug_form(out, value);
}

}  // namespace audio_engine::ir::types
