#include "pattern_engine/ipc/protocol.hpp"

#include "support/record.hpp"

namespace pattern_engine::ipc::protocol {

namespace json = support::json;
namespace record = support::record;

// SetPattern and SetPatternFromZero: a slot and a pattern tree.
template <class K>
constexpr auto pattern_fields(std::string_view name) {
    using namespace record;
    return fields<K>(name, field("slot", &K::slot), field("pattern", &K::pattern));
}
constexpr auto record_of(record::Type<SetPattern>) {
    return pattern_fields<SetPattern>("SetPattern");
}
constexpr auto record_of(record::Type<SetPatternFromZero>) {
    return pattern_fields<SetPatternFromZero>("SetPatternFromZero");
}
constexpr auto record_of(record::Type<Hush>) {
    using namespace record;
    return fields<Hush>("Hush", field("slot", &Hush::slot));
}
constexpr auto record_of(record::Type<HushAll>) {
    return record::fields<HushAll>("HushAll");
}
constexpr auto record_of(record::Type<SetBpm>) {
    using namespace record;
    return fields<SetBpm>("SetBpm", field("bpm", &SetBpm::bpm));
}
constexpr auto record_of(record::Type<SetBeatsPerCycle>) {
    using namespace record;
    return fields<SetBeatsPerCycle>("SetBeatsPerCycle", field("beats", &SetBeatsPerCycle::beats));
}
constexpr auto record_of(record::Type<Ping>) {
    return record::fields<Ping>("Ping");
}
// Nesting is bounded by the parser's depth limit, so the recursion is too.
constexpr auto record_of(record::Type<Batch>) {
    using namespace record;
    return fields<Batch>("Batch", field("commands", &Batch::commands));
}
// An integer "cmd" names no command: clients must spell the name.
constexpr auto record_of(record::Type<ClientMessage>) {
    return record::tagged<ClientMessage>("ClientMessage", "cmd", json::TagIndex::Refused,
                                         {"SetPattern", "SetPatternFromZero", "Hush", "HushAll",
                                          "SetBpm", "SetBeatsPerCycle", "Ping", "Batch"});
}

json::Status read_json(json::Element e, ClientMessage& out) {
    return record::read_value(e, out);
}

std::expected<ClientMessage, json::ReadError> decode(json::Parser& parser, std::string_view line) {
    return json::read_text<ClientMessage>(parser, line);
}

}  // namespace pattern_engine::ipc::protocol
