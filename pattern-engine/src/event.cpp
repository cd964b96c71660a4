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
constexpr auto record_of(record::Type<Osc>) {
    using namespace record;
    return fields<Osc>("Osc", field("address", &Osc::address), field("args", &Osc::args));
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
