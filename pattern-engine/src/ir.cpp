#include "pattern_engine/ir.hpp"

#include "support/record.hpp"

namespace pattern_engine::ir {

namespace json = support::json;
namespace record = support::record;

constexpr auto record_of(record::Type<Ratio>) {
    return record::tuple(&Ratio::numerator, &Ratio::denominator);
}

constexpr auto record_of(record::Type<Atom>) {
    using namespace record;
    return fields<Atom>("Atom", field("value", &Atom::value));
}
constexpr auto record_of(record::Type<Silence>) {
    return record::fields<Silence>("Silence");
}
constexpr auto record_of(record::Type<Freeze>) {
    using namespace record;
    return fields<Freeze>("Freeze", field("child", &Freeze::child));
}
constexpr auto record_of(record::Type<Cat>) {
    using namespace record;
    return fields<Cat>("Cat", field("children", &Cat::children));
}
constexpr auto record_of(record::Type<Stack>) {
    using namespace record;
    return fields<Stack>("Stack", field("children", &Stack::children));
}
// Fast, Slow (factor) and Early, Late (offset): a ratio and a child.
template <class K>
constexpr auto shift_fields(std::string_view name, std::string_view ratio, Ratio K::*member) {
    using namespace record;
    return fields<K>(name, field(ratio, member), field("child", &K::child));
}
constexpr auto record_of(record::Type<Fast>) {
    return shift_fields("Fast", "factor", &Fast::factor);
}
constexpr auto record_of(record::Type<Slow>) {
    return shift_fields("Slow", "factor", &Slow::factor);
}
constexpr auto record_of(record::Type<Early>) {
    return shift_fields("Early", "offset", &Early::offset);
}
constexpr auto record_of(record::Type<Late>) {
    return shift_fields("Late", "offset", &Late::offset);
}
constexpr auto record_of(record::Type<Rev>) {
    using namespace record;
    return fields<Rev>("Rev", field("child", &Rev::child));
}
constexpr auto record_of(record::Type<Every>) {
    using namespace record;
    return fields<Every>("Every", field("n", &Every::n), field("transform", &Every::transform),
                         field("child", &Every::child));
}
constexpr auto record_of(record::Type<Euclid>) {
    using namespace record;
    return fields<Euclid>("Euclid", field("pulses", &Euclid::pulses),
                          field("steps", &Euclid::steps), field("rotation", &Euclid::rotation),
                          field("child", &Euclid::child));
}
constexpr auto record_of(record::Type<Degrade>) {
    using namespace record;
    return fields<Degrade>("Degrade", field("prob", &Degrade::prob), field("seed", &Degrade::seed),
                           field("child", &Degrade::child));
}
constexpr auto record_of(record::Type<Warp>) {
    using namespace record;
    return fields<Warp>("Warp", field("kind", &Warp::kind), field("amount", &Warp::amount),
                        field("grid", &Warp::grid), field("child", &Warp::child));
}
// The index is also accepted as the tag.
constexpr auto record_of(record::Type<IrNode>) {
    return record::tagged<IrNode>("IrNode", "op", json::TagIndex::Allowed,
                                  {"Atom", "Silence", "Freeze", "Cat", "Stack", "Fast", "Slow",
                                   "Early", "Late", "Rev", "Every", "Euclid", "Degrade", "Warp"});
}

json::Status read_json(json::Element e, Ratio& out) {
    return record::read_value(e, out);
}

json::Status read_json(json::Element e, IrNode& out) {
    return record::read_value(e, out);
}

}  // namespace pattern_engine::ir
