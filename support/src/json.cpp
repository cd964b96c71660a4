#include "support/json.hpp"

#include <simdjson.h>

#include <algorithm>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>

#include "support/number.hpp"

namespace support::json {

namespace {

constexpr std::size_t initial_capacity = 4096;

constexpr std::uint64_t tag_word(char tag) {
    return std::uint64_t{static_cast<unsigned char>(tag)} << 56;
}

char tag_of(std::uint64_t word) {
    return static_cast<char>(word >> 56);
}

// Key and name comparison, the readers' inner loop: most candidates differ in length or first
// byte, which settles them without a call to memcmp.
bool same(std::string_view a, std::string_view b) {
    return a.size() == b.size() &&
           (a.empty() || (a[0] == b[0] && std::memcmp(a.data(), b.data(), a.size()) == 0));
}

bool is_number_tag(char tag) {
    return tag == 'l' || tag == 'u' || tag == 'd' || tag == 'B';
}

ReadError depth_error() {
    return {ErrorKind::Depth,
            "recursion limit exceeded: more than " + std::to_string(max_depth) + " nested levels"};
}

ReadError make_error(ErrorKind kind, std::string text) {
    return {kind, std::move(text)};
}

// A number token the DOM parser reads differently from the reading rules: an integer beyond
// 64 bits (it refuses those) or "-0" (it reads an integer 0).
struct NumberFix {
    std::size_t ordinal;  // among the number tokens of the text, in document order
    std::uint64_t word;   // the tape's type word
    double value;         // the tape's value word
};

bool is_number_char(char c) {
    return (c >= '0' && c <= '9') || c == '-' || c == '+' || c == '.' || c == 'e' || c == 'E';
}

// True when the text may hold a "-0" token; a cheap look for the common case of none.
bool may_hold_negative_zero(std::string_view text) {
    for (std::size_t at = text.find("-0"); at != std::string_view::npos;
         at = text.find("-0", at + 2)) {
        if (at + 2 == text.size() || !is_number_char(text[at + 2])) return true;
    }
    return false;
}

// Finds the number tokens outside strings that need fixing, and blanks each integer beyond
// 64 bits in `copy` (the padded copy of `text`) to "0" and spaces, which the DOM parser
// reads. A valid number token stays a valid number token, so what parses does not change.
void find_number_fixes(std::string_view text, char* copy, std::vector<NumberFix>& fixes) {
    std::size_t ordinal = 0;
    std::size_t i = 0;
    const std::size_t n = text.size();
    while (i < n) {
        const char c = text[i];
        if (c == '"') {
            for (++i; i < n && text[i] != '"'; ++i) {
                if (text[i] == '\\') ++i;
            }
            ++i;
            continue;
        }
        if (!(c == '-' || (c >= '0' && c <= '9'))) {
            ++i;
            continue;
        }
        const std::size_t begin = i;
        while (i < n && is_number_char(text[i]))
            ++i;
        const std::string_view token = text.substr(begin, i - begin);
        const std::size_t this_ordinal = ordinal++;
        const std::size_t digits_at = token[0] == '-' ? 1 : 0;
        const std::string_view digits = token.substr(digits_at);
        const bool integer = !digits.empty() &&
                             std::all_of(digits.begin(), digits.end(),
                                         [](char d) { return d >= '0' && d <= '9'; }) &&
                             (digits.size() == 1 || digits[0] != '0');
        if (!integer) continue;
        if (token == "-0") {
            fixes.push_back({this_ordinal, tag_word('d'), -0.0});
            continue;
        }
        // Within 64 bits the DOM parser reads it as it should.
        if (token[0] == '-') {
            std::int64_t v;
            if (std::from_chars(token.data(), token.data() + token.size(), v).ec == std::errc{})
                continue;
        } else {
            std::uint64_t v;
            if (std::from_chars(token.data(), token.data() + token.size(), v).ec == std::errc{})
                continue;
        }
        double d = 0;
        if (std::from_chars(token.data(), token.data() + token.size(), d).ec != std::errc{}) {
            continue;  // beyond the double range: left for the parser to refuse, like 1e400
        }
        float f = 0;
        if (std::from_chars(token.data(), token.data() + token.size(), f).ec != std::errc{}) {
            f = token[0] == '-' ? -std::numeric_limits<float>::infinity()
                                : std::numeric_limits<float>::infinity();
        }
        fixes.push_back({this_ordinal, tag_word('B') | std::bit_cast<std::uint32_t>(f), d});
        std::memset(copy + begin, ' ', token.size());
        copy[begin] = '0';
    }
}

// Rewrites the fixed numbers on the tape, found by their order among the numbers.
void apply_number_fixes(std::uint64_t* tape, std::span<const NumberFix> fixes) {
    const std::size_t end = static_cast<std::uint32_t>(tape[0]);
    std::size_t ordinal = 0;
    auto fix = fixes.begin();
    for (std::size_t i = 1; i < end && fix != fixes.end(); ++i) {
        if (!is_number_tag(tag_of(tape[i]))) continue;
        if (ordinal++ == fix->ordinal) {
            tape[i] = fix->word;
            std::memcpy(&tape[i + 1], &fix->value, sizeof fix->value);
            ++fix;
        }
        ++i;  // the value word
    }
}

bool nests_deeper_than_limit(const std::uint64_t* tape) {
    const std::size_t end = static_cast<std::uint32_t>(tape[0]);
    std::size_t depth = 0;
    for (std::size_t i = 1; i < end; ++i) {
        switch (tag_of(tape[i])) {
            case '{':
            case '[':
                if (++depth > max_depth) return true;
                break;
            case '}':
            case ']':
                --depth;
                break;
            case 'l':
            case 'u':
            case 'd':
            case 'B':
                ++i;
                break;
            default:
                break;
        }
    }
    return false;
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
        case Type::String:
            return "string " + quoted(e.string());
        case Type::Signed:
            return "integer " + backticked(std::to_string(e.signed_value()));
        case Type::Unsigned:
            return "integer " + backticked(std::to_string(e.unsigned_value()));
        case Type::BigInteger:
            return "integer " + backticked(number::message(e.float_value()));
        case Type::Float:
            return "floating point " + backticked(number::debug(e.float_value()));
        case Type::Bool:
            return e.boolean() ? "boolean `true`" : "boolean `false`";
        case Type::Null:
            return "null";
        case Type::Array:
            return "sequence";
        case Type::Object:
            return "map";
    }
    return "value";
}

template <class Int>
ReadError integer_out_of_range(Int v, std::string_view expected) {
    return invalid_value("integer " + backticked(std::to_string(v)), expected);
}

ReadError big_integer_out_of_range(Element e, std::string_view expected) {
    return invalid_value("integer " + backticked(number::message(e.float_value())), expected);
}

std::string elements_in_sequence(std::size_t n) {
    return n == 1 ? std::string("1 element in sequence")
                  : std::to_string(n) + " elements in sequence";
}

// Finds the variant named by a tag value: a name, or an index where allowed.
Result<std::size_t> variant_index(Element tag, std::span<const std::string_view> names,
                                  TagIndex index) {
    switch (tag.type()) {
        case Type::String: {
            const std::string_view name = tag.string();
            for (std::size_t i = 0; i < names.size(); ++i) {
                if (same(names[i], name)) return i;
            }
            return std::unexpected(unknown_variant(name, names));
        }
        case Type::Signed:
        case Type::Unsigned: {
            if (index == TagIndex::Refused) break;
            std::uint64_t v = 0;
            if (tag.type() == Type::Signed) {
                const std::int64_t s = tag.signed_value();
                if (s < 0) break;
                v = static_cast<std::uint64_t>(s);
            } else {
                v = tag.unsigned_value();
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

// simdjson 3.0 reports an integer beyond 64 bits as NUMBER_ERROR; later versions have
// BIGINT_ERROR for it.
template <class Code>
bool may_be_big_integer(Code err) {
    if constexpr (requires { Code::BIGINT_ERROR; }) {
        if (err == Code::BIGINT_ERROR) return true;
    }
    return err == Code::NUMBER_ERROR;
}

}  // namespace

struct Parser::State {
    // With a limit of L the DOM parser takes L nested empty containers but only L - 1
    // non-empty ones. At max_depth whatever it takes is within the limit, with no further
    // look; a text it refuses goes to the second, one level higher, which takes max_depth
    // non-empty containers, and an empty container just past the limit is looked for on the
    // tape.
    simdjson::dom::parser shallow;
    std::unique_ptr<simdjson::dom::parser> deep;
    std::unique_ptr<char[]> buffer;  // padded copy of the input
    std::size_t capacity = 0;
    bool allocated = false;
    std::vector<NumberFix> fixes;
};

Parser::Parser() : state_(std::make_unique<State>()) {}
Parser::~Parser() = default;

Result<Element> Parser::parse(std::string_view text) {
    State& s = *state_;
    const auto allocate = [&](simdjson::dom::parser& p, std::size_t depth) {
        // The depth limit set here survives the parser growing its capacity later.
        return p.allocate(std::max(text.size(), initial_capacity), depth);
    };
    if (!s.allocated) {
        if (auto err = allocate(s.shallow, max_depth)) {
            return std::unexpected(make_error(ErrorKind::Syntax, simdjson::error_message(err)));
        }
        s.allocated = true;
    }
    if (text.size() + simdjson::SIMDJSON_PADDING > s.capacity) {
        s.capacity = std::max(text.size() + simdjson::SIMDJSON_PADDING, 2 * s.capacity);
        s.buffer = std::make_unique<char[]>(s.capacity);
    }
    char* copy = s.buffer.get();
    std::memcpy(copy, text.data(), text.size());
    std::memset(copy + text.size(), 0, simdjson::SIMDJSON_PADDING);

    s.fixes.clear();
    bool scanned = false;
    if (may_hold_negative_zero(text)) {
        find_number_fixes(text, copy, s.fixes);
        scanned = true;
    }
    simdjson::dom::parser* parser = &s.shallow;
    simdjson::dom::element root;
    simdjson::error_code err;
    for (;;) {
        err = parser->parse(copy, text.size(), false).get(root);
        if (may_be_big_integer(err) && !scanned) {
            // Perhaps an integer beyond 64 bits, which reads as a float here.
            scanned = true;
            find_number_fixes(text, copy, s.fixes);
            if (!s.fixes.empty()) continue;
        }
        if (err == simdjson::DEPTH_ERROR && parser == &s.shallow) {
            if (!s.deep) {
                auto deep = std::make_unique<simdjson::dom::parser>();
                if (auto e = allocate(*deep, max_depth + 1)) {
                    return std::unexpected(
                        make_error(ErrorKind::Syntax, simdjson::error_message(e)));
                }
                s.deep = std::move(deep);
            }
            parser = s.deep.get();
            continue;
        }
        break;
    }
    switch (err) {
        case simdjson::SUCCESS: {
            auto* tape = parser->doc.tape.get();
            if (!s.fixes.empty()) apply_number_fixes(tape, s.fixes);
            if (parser == s.deep.get() && nests_deeper_than_limit(tape)) {
                return std::unexpected(depth_error());
            }
            doc_ = Document{tape, parser->doc.string_buf.get()};
            return Element(&doc_, 1);
        }
        case simdjson::DEPTH_ERROR:
            return std::unexpected(depth_error());
        case simdjson::UTF8_ERROR:
            return std::unexpected(make_error(ErrorKind::Utf8, "invalid UTF-8"));
        default:
            return std::unexpected(make_error(ErrorKind::Syntax, simdjson::error_message(err)));
    }
}

std::string What::text() const {
    std::string out(kind);
    if (name.empty()) return out;
    out += ' ';
    if (!owner.empty()) {
        out += owner;
        out += "::";
    }
    out += name;
    return out;
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
    if (e.type() != Type::Bool) return std::unexpected(invalid_type(e, "a boolean"));
    out = e.boolean();
    return {};
}

Status read_unsigned(Element e, std::uint64_t& out, std::uint64_t max, std::string_view what) {
    std::uint64_t v = 0;
    switch (e.type()) {
        case Type::Signed: {
            const std::int64_t s = e.signed_value();
            if (s < 0) return std::unexpected(integer_out_of_range(s, what));
            v = static_cast<std::uint64_t>(s);
            break;
        }
        case Type::Unsigned:
            v = e.unsigned_value();
            break;
        case Type::BigInteger:
            return std::unexpected(big_integer_out_of_range(e, what));
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
        case Type::Signed: {
            const std::int64_t v = e.signed_value();
            if (v < min || v > max) return std::unexpected(integer_out_of_range(v, what));
            out = v;
            return {};
        }
        case Type::Unsigned:  // above the signed 64-bit range by construction
            return std::unexpected(integer_out_of_range(e.unsigned_value(), what));
        case Type::BigInteger:
            return std::unexpected(big_integer_out_of_range(e, what));
        default:
            return std::unexpected(invalid_type(e, what));
    }
}

Status read_f64(Element e, double& out) {
    switch (e.type()) {
        case Type::Signed:
            out = static_cast<double>(e.signed_value());
            return {};
        case Type::Unsigned:
            out = static_cast<double>(e.unsigned_value());
            return {};
        case Type::Float:
        case Type::BigInteger:
            out = e.float_value();
            return {};
        default:
            return std::unexpected(invalid_type(e, "f64"));
    }
}

Status read_f32(Element e, float& out) {
    // Integers convert to the nearest float directly, not through a double.
    switch (e.type()) {
        case Type::Signed:
            out = static_cast<float>(e.signed_value());
            return {};
        case Type::Unsigned:
            out = static_cast<float>(e.unsigned_value());
            return {};
        case Type::BigInteger:
            out = e.big_float();
            return {};
        case Type::Float: {
            // Beyond the float range the conversion is undefined: round to infinity as the
            // hardware would (the threshold is halfway between FLT_MAX and 2^128).
            const double d = e.float_value();
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
    if (!e.is_string()) return std::unexpected(invalid_type(e, "a string"));
    out.assign(e.string());
    return {};
}

Result<Content> Content::of(Element e, const What& what) {
    if (e.is_object() || e.is_array()) return Content{e, false};
    return std::unexpected(invalid_type(e, what.text()));
}

Status read_fields(const Content& content, const What& what, std::span<const FieldRef> fields) {
    const std::size_t count = fields.size();
    const FieldRef* field = fields.data();

    if (content.element.is_object()) {
        std::uint64_t seen = 0;  // records have far fewer than 64 fields
        for (auto member : content.element.members()) {
            std::size_t i = 0;
            while (i < count && !same(field[i].name, member.key))
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
    for (auto item : content.element.elements()) {
        if (first && content.skip_first) {
            first = false;
            continue;
        }
        first = false;
        if (given < count) {
            if (auto st = field[given].read(item.value, field[given].out); !st) return st;
        }
        ++given;
    }
    if (given > count) return std::unexpected(invalid_length(given, elements_in_sequence(count)));
    for (std::size_t i = given; i < count; ++i) {
        if (field[i].presence != Presence::Defaulted) {
            return std::unexpected(invalid_length(
                given, what.text() + " with " + std::to_string(count) + " elements"));
        }
    }
    return {};
}

Status read_tuple(Element e, std::span<const FieldRef> fields) {
    const auto expected = [&] { return "a tuple of size " + std::to_string(fields.size()); };
    if (!e.is_array()) return std::unexpected(invalid_type(e, expected()));
    std::size_t given = 0;
    for (auto item : e.elements()) {
        if (given < fields.size()) {
            const FieldRef& f = fields[given];
            if (auto st = f.read(item.value, f.out); !st) return st;
        }
        ++given;
    }
    if (given < fields.size()) return std::unexpected(invalid_length(given, expected()));
    if (given > fields.size()) {
        return std::unexpected(invalid_length(given, elements_in_sequence(fields.size())));
    }
    return {};
}

Result<Tagged> read_internal_tag(Element e, std::string_view key,
                                 std::span<const std::string_view> names, TagIndex index,
                                 const What& what) {
    if (e.is_object()) {
        std::optional<Element> tag;
        for (auto member : e.members()) {
            if (!same(member.key, key)) continue;
            if (tag) return std::unexpected(duplicate_field(key));
            tag = member.value;
        }
        if (!tag) return std::unexpected(missing_field(key));
        auto variant = variant_index(*tag, names, index);
        if (!variant) return std::unexpected(std::move(variant.error()));
        return Tagged{*variant, Content{e, false}};
    }
    if (e.is_array()) {
        const auto items = e.elements();
        if (items.empty()) return std::unexpected(invalid_length(0, what.text()));
        auto variant = variant_index((*items.begin()).value, names, index);
        if (!variant) return std::unexpected(std::move(variant.error()));
        return Tagged{*variant, Content{e, true}};
    }
    return std::unexpected(invalid_type(e, what.text()));
}

Result<External> read_external_tag(Element e, std::span<const std::string_view> names,
                                   const What& what) {
    if (!e.is_object()) return std::unexpected(invalid_type(e, what.text()));
    std::optional<External> found;
    for (auto member : e.members()) {
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
                                      const What& what) {
    if (e.is_string()) return variant_index(e, names, TagIndex::Refused);
    if (!e.is_object()) return std::unexpected(invalid_type(e, what.text()));
    auto external = read_external_tag(e, names, what);
    if (!external) return std::unexpected(std::move(external.error()));
    const Element value = external->value;
    const bool empty_object = value.is_object() && value.members().empty();
    if (!value.is_null() && !empty_object) return std::unexpected(invalid_type(value, "unit"));
    return external->index;
}

bool valid_utf8(std::string_view bytes) {
    return simdjson::validate_utf8(bytes.data(), bytes.size());
}

}  // namespace support::json
