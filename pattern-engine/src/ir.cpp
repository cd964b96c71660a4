#include "pattern_engine/ir.hpp"

#include <array>
#include <string_view>

namespace pattern_engine::ir {

namespace json = support::json;

namespace {

constexpr std::array<std::string_view, 14> kinds = {"Atom",  "Silence", "Freeze",  "Cat",  "Stack",
                                                    "Fast",  "Slow",    "Early",   "Late", "Rev",
                                                    "Every", "Euclid",  "Degrade", "Warp"};

// Makes `out` the kind K and reads its fields, bound by `bind`, from the tagged content.
template <class K, class Bind>
json::Status read_kind(IrNode& out, const json::Content& c, std::string_view what, Bind bind) {
    K& kind = out.emplace<K>();
    const auto fields = bind(kind);
    return json::read_fields(c, what, fields);
}

}  // namespace

json::Status read_json(json::Element e, Ratio& out) {
    return json::read_tuple(
        e, {json::required("", out.numerator), json::required("", out.denominator)});
}

json::Status read_json(json::Element e, IrNode& out) {
    auto tagged = json::read_internal_tag(e, "op", kinds, json::TagIndex::Allowed,
                                          "internally tagged enum IrNode");
    if (!tagged) return std::unexpected(std::move(tagged.error()));
    const json::Content& c = tagged->content;
    using json::required;
    using Fields1 = std::array<json::FieldRef, 1>;
    using Fields2 = std::array<json::FieldRef, 2>;
    switch (tagged->index) {
        case 0:
            return read_kind<Atom>(out, c, "struct variant IrNode::Atom",
                                   [](Atom& k) { return Fields1{required("value", k.value)}; });
        case 1:
            return read_kind<Silence>(out, c, "unit variant IrNode::Silence",
                                      [](Silence&) { return std::array<json::FieldRef, 0>{}; });
        case 2:
            return read_kind<Freeze>(out, c, "struct variant IrNode::Freeze",
                                     [](Freeze& k) { return Fields1{required("child", k.child)}; });
        case 3:
            return read_kind<Cat>(out, c, "struct variant IrNode::Cat",
                                  [](Cat& k) { return Fields1{required("children", k.children)}; });
        case 4:
            return read_kind<Stack>(out, c, "struct variant IrNode::Stack", [](Stack& k) {
                return Fields1{required("children", k.children)};
            });
        case 5:
            return read_kind<Fast>(out, c, "struct variant IrNode::Fast", [](Fast& k) {
                return Fields2{required("factor", k.factor), required("child", k.child)};
            });
        case 6:
            return read_kind<Slow>(out, c, "struct variant IrNode::Slow", [](Slow& k) {
                return Fields2{required("factor", k.factor), required("child", k.child)};
            });
        case 7:
            return read_kind<Early>(out, c, "struct variant IrNode::Early", [](Early& k) {
                return Fields2{required("offset", k.offset), required("child", k.child)};
            });
        case 8:
            return read_kind<Late>(out, c, "struct variant IrNode::Late", [](Late& k) {
                return Fields2{required("offset", k.offset), required("child", k.child)};
            });
        case 9:
            return read_kind<Rev>(out, c, "struct variant IrNode::Rev",
                                  [](Rev& k) { return Fields1{required("child", k.child)}; });
        case 10:
            return read_kind<Every>(out, c, "struct variant IrNode::Every", [](Every& k) {
                return std::array{required("n", k.n), required("transform", k.transform),
                                  required("child", k.child)};
            });
        case 11:
            return read_kind<Euclid>(out, c, "struct variant IrNode::Euclid", [](Euclid& k) {
                return std::array{required("pulses", k.pulses), required("steps", k.steps),
                                  required("rotation", k.rotation), required("child", k.child)};
            });
        case 12:
            return read_kind<Degrade>(out, c, "struct variant IrNode::Degrade", [](Degrade& k) {
                return std::array{required("prob", k.prob), required("seed", k.seed),
                                  required("child", k.child)};
            });
        default:
            return read_kind<Warp>(out, c, "struct variant IrNode::Warp", [](Warp& k) {
                return std::array{required("kind", k.kind), required("amount", k.amount),
                                  required("grid", k.grid), required("child", k.child)};
            });
    }
}

}  // namespace pattern_engine::ir
