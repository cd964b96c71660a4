#include "pattern_engine/event.hpp"

#include "support/record.hpp"

namespace pattern_engine::event {

namespace json = support::json;
namespace record = support::record;

constexpr auto record_of(record::Type<Note>) {
    using namespace record;
    return fields<Note>("Note", field("channel", &Note::channel), field("note", &Note::note),
                        field("velocity", &Note::velocity), field("dur", &Note::dur));
}
constexpr auto record_of(record::Type<Cc>) {
    using namespace record;
    return fields<Cc>("Cc", field("channel", &Cc::channel), field("controller", &Cc::controller),
                      field("value", &Cc::value));
}
// An Osc's fields are those of its shared body, read whole and then shared.
constexpr auto record_of(record::Type<Osc::Body>) {
    using namespace record;
    return fields<Osc::Body>("Osc", field("address", &Osc::Body::address),
                             field("args", &Osc::Body::args));
}
json::Status read_fields_of(const json::Content& c, Osc& out) {
    Osc::Body body;
    auto status = record::read_fields_into(c, json::What{"struct variant", "Value", "Osc"}, body);
    if (status) out = Osc(std::move(body));
    return status;
}
constexpr auto record_of(record::Type<Control>) {
    using namespace record;
    return fields<Control>("Control", field("label", &Control::label),
                           field("value", &Control::value));
}
// The index is also accepted as the tag.
constexpr auto record_of(record::Type<Value>) {
    return record::tagged<Value>("Value", "type", json::TagIndex::Allowed,
                                 {"Note", "Cc", "Osc", "Control"});
}
constexpr auto record_of(record::Type<OscArg>) {
    return record::external<OscArg>("OscArg", {"Float", "Int", "Str"});
}

json::Status read_json(json::Element e, Value& out) {
    return record::read_value(e, out);
}

json::Status read_json(json::Element e, OscArg& out) {
    return record::read_value(e, out);
}

}  // namespace pattern_engine::event
