#include "support/json.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

#include "support/number.hpp"

namespace support::json {

using simdjson::dom::element_type;

namespace {

constexpr std::size_t initial_capacity = 4096;

// The parser counts only non-empty containers against its limit, so it is set one level
// higher and an empty container just past the limit is looked for here.
constexpr std::size_t parser_depth = max_depth + 1;

bool nests_deeper_than_limit(Element e, std::size_t depth) {
    if (depth > max_depth) return true;
    simdjson::dom::array array;
    if (!e.get_array().get(array)) {
        for (Element item : array) {
            if ((item.is_array() || item.is_object()) && nests_deeper_than_limit(item, depth + 1))
                return true;
        }
        return false;
    }
    simdjson::dom::object object;
    if (!e.get_object().get(object)) {
        for (auto member : object) {
            Element item = member.value;
            if ((item.is_array() || item.is_object()) && nests_deeper_than_limit(item, depth + 1))
                return true;
        }
    }
    return false;
}

ReadError depth_error() {
    return {ErrorKind::Depth,
            "recursion limit exceeded: more than " + std::to_string(max_depth) + " nested levels"};
}

ReadError make_error(ErrorKind kind, std::string text) {
    return {kind, std::move(text)};
}

std::string quoted(std::string_view s) {
    std::string out;
    out.reserve(s.size() + 2);
    out += '"';
    for (char c : s) {
        if (c == '"' || c == '\\') out += '\\';
        out += c;
    }
    out += '"';
    return out;
}

std::string backticked(std::string_view s) {
    std::string out = "`";
    out += s;
    out += '`';
    return out;
}

// How an unexpected value is described in error texts.
std::string describe(Element e) {
    switch (e.type()) {
        case element_type::STRING:
            return "string " + quoted(e.get_string().value_unsafe());
        case element_type::INT64:
            return "integer " + backticked(std::to_string(e.get_int64().value_unsafe()));
        case element_type::UINT64:
            return "integer " + backticked(std::to_string(e.get_uint64().value_unsafe()));
        case element_type::DOUBLE:
            return "floating point " + backticked(number::debug(e.get_double().value_unsafe()));
        case element_type::BOOL:
            return e.get_bool().value_unsafe() ? "boolean `true`" : "boolean `false`";
        case element_type::NULL_VALUE:
            return "null";
        case element_type::ARRAY:
            return "sequence";
        case element_type::OBJECT:
            return "map";
    }
    return "value";
}

template <class Int>
ReadError integer_out_of_range(Int v, std::string_view expected) {
    return invalid_value("integer " + backticked(std::to_string(v)), expected);
}

std::string elements_in_sequence(std::size_t n) {
    return n == 1 ? std::string("1 element in sequence")
                  : std::to_string(n) + " elements in sequence";
}

// Finds the variant named by a tag value: a name, or an index where allowed.
Result<std::size_t> variant_index(Element tag, std::span<const std::string_view> names,
                                  TagIndex index) {
    switch (tag.type()) {
        case element_type::STRING: {
            std::string_view name = tag.get_string().value_unsafe();
            for (std::size_t i = 0; i < names.size(); ++i) {
                if (names[i] == name) return i;
            }
            return std::unexpected(unknown_variant(name, names));
        }
        case element_type::INT64:
        case element_type::UINT64: {
            if (index == TagIndex::Refused) break;
            std::uint64_t v = 0;
            if (tag.type() == element_type::INT64) {
                std::int64_t s = tag.get_int64().value_unsafe();
                if (s < 0) break;
                v = static_cast<std::uint64_t>(s);
            } else {
                v = tag.get_uint64().value_unsafe();
            }
            if (v < names.size()) return static_cast<std::size_t>(v);
            return std::unexpected(
                integer_out_of_range(v, "variant index 0 <= i < " + std::to_string(names.size())));
        }
        default:
            break;
    }
    return std::unexpected(invalid_type(tag, "variant identifier"));
}

}  // namespace

Parser::Parser() = default;
Parser::~Parser() = default;

Result<Element> Parser::parse(std::string_view text) {
    if (!allocated_) {
        // The depth limit set here survives the parser growing its capacity later.
        if (auto err = parser_.allocate(std::max(text.size(), initial_capacity), parser_depth)) {
            return std::unexpected(make_error(ErrorKind::Syntax, simdjson::error_message(err)));
        }
        allocated_ = true;
    }
    if (text.size() + simdjson::SIMDJSON_PADDING > capacity_) {
        capacity_ = std::max(text.size() + simdjson::SIMDJSON_PADDING, 2 * capacity_);
        buffer_ = std::make_unique<char[]>(capacity_);
    }
    std::memcpy(buffer_.get(), text.data(), text.size());
    std::memset(buffer_.get() + text.size(), 0, simdjson::SIMDJSON_PADDING);

    Element root;
    auto err = parser_.parse(buffer_.get(), text.size(), false).get(root);
    switch (err) {
        case simdjson::SUCCESS: {
            // Only a text with more openings than the limit can nest too deep.
            const auto openings = std::count_if(text.begin(), text.end(),
                                                [](char c) { return c == '[' || c == '{'; });
            if (static_cast<std::size_t>(openings) > max_depth &&
                (root.is_array() || root.is_object()) && nests_deeper_than_limit(root, 1)) {
                return std::unexpected(depth_error());
            }
            return root;
        }
        case simdjson::DEPTH_ERROR:
            return std::unexpected(depth_error());
        case simdjson::UTF8_ERROR:
            return std::unexpected(make_error(ErrorKind::Utf8, "invalid UTF-8"));
        default:
            return std::unexpected(make_error(ErrorKind::Syntax, simdjson::error_message(err)));
    }
}

ReadError invalid_type(Element got, std::string_view expected) {
    std::string text = "invalid type: " + describe(got) + ", expected ";
    text += expected;
    return make_error(ErrorKind::InvalidType, std::move(text));
}

ReadError invalid_value(std::string_view unexpected, std::string_view expected) {
    std::string text = "invalid value: ";
    text += unexpected;
    text += ", expected ";
    text += expected;
    return make_error(ErrorKind::InvalidValue, std::move(text));
}

ReadError invalid_length(std::size_t length, std::string_view expected) {
    std::string text = "invalid length " + std::to_string(length) + ", expected ";
    text += expected;
    return make_error(ErrorKind::InvalidLength, std::move(text));
}

ReadError unknown_variant(std::string_view name, std::span<const std::string_view> names) {
    std::string text = "unknown variant " + backticked(name) + ", expected ";
    if (names.empty()) {
        text += "no variants";
    } else if (names.size() == 1) {
        text += backticked(names[0]);
    } else if (names.size() == 2) {
        text += backticked(names[0]) + " or " + backticked(names[1]);
    } else {
        text += "one of ";
        for (std::size_t i = 0; i < names.size(); ++i) {
            if (i > 0) text += ", ";
            text += backticked(names[i]);
        }
    }
    return make_error(ErrorKind::UnknownVariant, std::move(text));
}

ReadError missing_field(std::string_view name) {
    return make_error(ErrorKind::MissingField, "missing field " + backticked(name));
}

ReadError duplicate_field(std::string_view name) {
    return make_error(ErrorKind::DuplicateField, "duplicate field " + backticked(name));
}

Status read_bool(Element e, bool& out) {
    if (e.get_bool().get(out)) return std::unexpected(invalid_type(e, "a boolean"));
    return {};
}

Status read_unsigned(Element e, std::uint64_t& out, std::uint64_t max, std::string_view what) {
    std::uint64_t v = 0;
    switch (e.type()) {
        case element_type::INT64: {
            std::int64_t s = e.get_int64().value_unsafe();
            if (s < 0) return std::unexpected(integer_out_of_range(s, what));
            v = static_cast<std::uint64_t>(s);
            break;
        }
        case element_type::UINT64:
            v = e.get_uint64().value_unsafe();
            break;
        default:
            return std::unexpected(invalid_type(e, what));
    }
    if (v > max) return std::unexpected(integer_out_of_range(v, what));
    out = v;
    return {};
}

Status read_signed(Element e, std::int64_t& out, std::int64_t min, std::int64_t max,
                   std::string_view what) {
    switch (e.type()) {
        case element_type::INT64: {
            std::int64_t v = e.get_int64().value_unsafe();
            if (v < min || v > max) return std::unexpected(integer_out_of_range(v, what));
            out = v;
            return {};
        }
        case element_type::UINT64:  // above the signed 64-bit range by construction
            return std::unexpected(integer_out_of_range(e.get_uint64().value_unsafe(), what));
        default:
            return std::unexpected(invalid_type(e, what));
    }
}

Status read_f64(Element e, double& out) {
    switch (e.type()) {
        case element_type::INT64:
            out = static_cast<double>(e.get_int64().value_unsafe());
            return {};
        case element_type::UINT64:
            out = static_cast<double>(e.get_uint64().value_unsafe());
            return {};
        case element_type::DOUBLE:
            out = e.get_double().value_unsafe();
            return {};
        default:
            return std::unexpected(invalid_type(e, "f64"));
    }
}

Status read_f32(Element e, float& out) {
    // Integers convert to the nearest float directly, not through a double.
    switch (e.type()) {
        case element_type::INT64:
            out = static_cast<float>(e.get_int64().value_unsafe());
            return {};
        case element_type::UINT64:
            out = static_cast<float>(e.get_uint64().value_unsafe());
            return {};
        case element_type::DOUBLE: {
            // Beyond the float range the conversion is undefined: round to infinity as the
            // hardware would (the threshold is halfway between FLT_MAX and 2^128).
            const double d = e.get_double().value_unsafe();
            constexpr double overflow = 3.4028235677973366e38;
            constexpr float inf = std::numeric_limits<float>::infinity();
            out = d >= overflow ? inf : d <= -overflow ? -inf : static_cast<float>(d);
            return {};
        }
        default:
            return std::unexpected(invalid_type(e, "f32"));
    }
}

Status read_string(Element e, std::string& out) {
    std::string_view s;
    if (e.get_string().get(s)) return std::unexpected(invalid_type(e, "a string"));
    out.assign(s);
    return {};
}

Result<Content> Content::of(Element e, std::string_view what) {
    if (e.is_object() || e.is_array()) return Content{e, {}, false};
    return std::unexpected(invalid_type(e, what));
}

Status read_fields(const Content& content, std::string_view what,
                   std::span<const FieldRef> fields) {
    const std::size_t count = fields.size();
    const FieldRef* field = fields.data();

    if (content.element.is_object()) {
        std::uint64_t seen = 0;  // records have far fewer than 64 fields
        const simdjson::dom::object object = content.element.get_object().value_unsafe();
        for (auto member : object) {
            if (!content.skip_key.empty() && member.key == content.skip_key) continue;
            std::size_t i = 0;
            while (i < count && field[i].name != member.key)
                ++i;
            if (i == count) continue;  // not a field: skipped with its value
            const std::uint64_t bit = std::uint64_t{1} << i;
            if (seen & bit) return std::unexpected(duplicate_field(field[i].name));
            seen |= bit;
            if (auto st = field[i].read(member.value, field[i].out); !st) return st;
        }
        for (std::size_t i = 0; i < count; ++i) {
            if (!(seen & (std::uint64_t{1} << i)) && field[i].presence == Presence::Required) {
                return std::unexpected(missing_field(field[i].name));
            }
        }
        return {};
    }

    std::size_t given = 0;  // values after the tag
    bool first = true;
    const simdjson::dom::array array = content.element.get_array().value_unsafe();
    for (Element item : array) {
        if (first && content.skip_first) {
            first = false;
            continue;
        }
        first = false;
        if (given < count) {
            if (auto st = field[given].read(item, field[given].out); !st) return st;
        }
        ++given;
    }
    if (given > count) return std::unexpected(invalid_length(given, elements_in_sequence(count)));
    for (std::size_t i = given; i < count; ++i) {
        if (field[i].presence != Presence::Defaulted) {
            return std::unexpected(invalid_length(
                given, std::string(what) + " with " + std::to_string(count) + " elements"));
        }
    }
    return {};
}

Status read_tuple(Element e, std::initializer_list<FieldRef> fields) {
    simdjson::dom::array array;
    const std::string expected = "a tuple of size " + std::to_string(fields.size());
    if (e.get_array().get(array)) return std::unexpected(invalid_type(e, expected));
    std::size_t given = 0;
    for (Element item : array) {
        if (given < fields.size()) {
            const FieldRef& f = fields.begin()[given];
            if (auto st = f.read(item, f.out); !st) return st;
        }
        ++given;
    }
    if (given < fields.size()) return std::unexpected(invalid_length(given, expected));
    if (given > fields.size()) {
        return std::unexpected(invalid_length(given, elements_in_sequence(fields.size())));
    }
    return {};
}

Result<Tagged> read_internal_tag(Element e, std::string_view key,
                                 std::span<const std::string_view> names, TagIndex index,
                                 std::string_view what) {
    simdjson::dom::object object;
    if (!e.get_object().get(object)) {
        std::optional<Element> tag;
        for (auto member : object) {
            if (member.key != key) continue;
            if (tag) return std::unexpected(duplicate_field(key));
            tag = member.value;
        }
        if (!tag) return std::unexpected(missing_field(key));
        auto variant = variant_index(*tag, names, index);
        if (!variant) return std::unexpected(std::move(variant.error()));
        return Tagged{*variant, Content{e, key, false}};
    }
    simdjson::dom::array array;
    if (!e.get_array().get(array)) {
        auto it = array.begin();
        if (it == array.end()) return std::unexpected(invalid_length(0, what));
        auto variant = variant_index(*it, names, index);
        if (!variant) return std::unexpected(std::move(variant.error()));
        return Tagged{*variant, Content{e, {}, true}};
    }
    return std::unexpected(invalid_type(e, what));
}

Result<External> read_external_tag(Element e, std::span<const std::string_view> names,
                                   std::string_view what) {
    simdjson::dom::object object;
    if (e.get_object().get(object)) return std::unexpected(invalid_type(e, what));
    std::optional<External> found;
    for (auto member : object) {
        if (found) return std::unexpected(invalid_value("map", "map with a single key"));
        std::size_t i = 0;
        while (i < names.size() && names[i] != member.key)
            ++i;
        if (i == names.size()) return std::unexpected(unknown_variant(member.key, names));
        found = External{i, member.value};
    }
    if (!found) return std::unexpected(invalid_value("map", "map with a single key"));
    return *found;
}

Result<std::size_t> read_unit_variant(Element e, std::span<const std::string_view> names,
                                      std::string_view what) {
    if (e.is_string()) return variant_index(e, names, TagIndex::Refused);
    if (!e.is_object()) return std::unexpected(invalid_type(e, what));
    auto external = read_external_tag(e, names, what);
    if (!external) return std::unexpected(std::move(external.error()));
    Element value = external->value;
    simdjson::dom::object inner;
    const bool empty_object = !value.get_object().get(inner) && inner.begin() == inner.end();
    if (!value.is_null() && !empty_object) return std::unexpected(invalid_type(value, "unit"));
    return external->index;
}

}  // namespace support::json
