// support::json — the one place where JSON text becomes typed values.
//
// Every reader of the two protocols and the two IRs is built from these pieces, so the reading
// rules hold everywhere alike:
//   - keys match exactly; a key that names no field is skipped with its value (also repeatedly);
//     a field or tag key given twice fails; a field is required unless declared defaulted;
//   - a record may also be written positionally as an array of its field values (too few or too
//     many values fail);
//   - a tagged union names its kind by a tag key beside the fields (or first in the array form),
//     by name or, where the caller allows it, by index;
//   - integers are narrowed by range (a fraction, exponent form, negative or too large number
//     fails), 32-bit floats are rounded to nearest, any JSON number reads as a float: integers
//     beyond 64 bits too (they fail only where an integer is wanted); "-0" is the float -0.0;
//   - nesting deeper than 128 arrays/objects and text that is not UTF-8 fail in `Parser::parse`.
// Failures are values (`ReadError`), never exceptions; the texts only serve logs and tests.
// Records declare their fields once with support/record.hpp, which builds on these pieces.
//
// Callers: the IPC thread (request lines) and tests; one `Parser` per thread. Readers for a
// user type T are found by argument-dependent lookup as `Status read_json(Element, T&)`.
#pragma once

#include <concepts>
#include <cstdint>
#include <cstring>
#include <expected>
#include <limits>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "support/box.hpp"

namespace support::json {

enum class ErrorKind {
    Syntax,          // not well-formed JSON
    Depth,           // nested deeper than max_depth
    Utf8,            // not valid UTF-8
    InvalidType,     // wrong JSON type for the field
    InvalidValue,    // right type, value out of range or not allowed
    InvalidLength,   // positional form or tuple with too few or too many values
    UnknownVariant,  // tag names no kind
    MissingField,    // required field (or tag) absent
    DuplicateField,  // field or tag key given twice
};

struct ReadError {
    ErrorKind kind;
    std::string text;
};

using Status = std::expected<void, ReadError>;
template <class T>
using Result = std::expected<T, ReadError>;

inline constexpr std::size_t max_depth = 128;

enum class Type : std::uint8_t {
    Null,
    Bool,
    Signed,      // an integer in the signed 64-bit range
    Unsigned,    // an integer above the signed and within the unsigned 64-bit range
    BigInteger,  // an integer beyond 64 bits, kept as its nearest float and double
    Float,       // written with a fraction or an exponent (or "-0")
    String,
    Array,
    Object,
};

// The parsed document as `Element`s see it, the DOM parser's own tape (so reading copies
// nothing): one 64-bit word per value (two for numbers), the kind in the top byte ('B' is ours:
// an integer beyond 64 bits, its float in the word, its double in the next); containers hold
// the index just past their end; strings an offset of their length and bytes.
struct Document {
    const std::uint64_t* tape = nullptr;
    const std::uint8_t* strings = nullptr;
};

struct Item;
struct Member;

// A read-only view of one value of a parsed text; valid until the next parse on its Parser.
class Element {
public:
    Element() = default;

    Type type() const noexcept {
        switch (tag()) {
            case '{':
                return Type::Object;
            case '[':
                return Type::Array;
            case '"':
                return Type::String;
            case 'l':
                return Type::Signed;
            case 'u':
                return Type::Unsigned;
            case 'd':
                return Type::Float;
            case 'B':
                return Type::BigInteger;
            case 't':
            case 'f':
                return Type::Bool;
            default:
                return Type::Null;
        }
    }
    bool is_null() const noexcept { return tag() == 'n'; }
    bool is_string() const noexcept { return tag() == '"'; }
    bool is_array() const noexcept { return tag() == '['; }
    bool is_object() const noexcept { return tag() == '{'; }

    // Each accessor requires the matching type.
    bool boolean() const noexcept { return tag() == 't'; }
    std::int64_t signed_value() const noexcept { return next_as<std::int64_t>(); }
    std::uint64_t unsigned_value() const noexcept { return next_as<std::uint64_t>(); }
    double float_value() const noexcept { return next_as<double>(); }  // Float, BigInteger
    float big_float() const noexcept {  // BigInteger: rounded from the text, not the double
        float f;
        const auto bits = static_cast<std::uint32_t>(word());
        std::memcpy(&f, &bits, sizeof f);
        return f;
    }
    std::string_view string() const noexcept {
        const std::uint8_t* at = doc_->strings + (word() & payload_mask);
        std::uint32_t length;
        std::memcpy(&length, at, sizeof length);
        return {reinterpret_cast<const char*>(at + sizeof length), length};
    }

    // Array elements and object members in document order (duplicates included).
    template <class Entry>
    class Range {
    public:
        class iterator {
        public:
            Entry operator*() const noexcept;
            iterator& operator++() noexcept {
                index_ = Element(doc_, index_ + (Entry::is_member ? 1 : 0)).after();
                return *this;
            }
            bool operator==(const iterator&) const = default;

        private:
            friend class Range;
            iterator(const Document* doc, std::size_t index) : doc_(doc), index_(index) {}
            const Document* doc_;
            std::size_t index_;
        };
        iterator begin() const noexcept { return {doc_, first_}; }
        iterator end() const noexcept { return {doc_, last_}; }
        bool empty() const noexcept { return first_ == last_; }

    private:
        friend class Element;
        Range(const Document* doc, std::size_t first, std::size_t last)
            : doc_(doc), first_(first), last_(last) {}
        const Document* doc_;
        std::size_t first_;
        std::size_t last_;
    };

    Range<Item> elements() const noexcept;
    Range<Member> members() const noexcept;
    // The first member named `key` of an object.
    std::optional<Element> find(std::string_view key) const noexcept;

private:
    friend class Parser;
    static constexpr std::uint64_t payload_mask = (std::uint64_t{1} << 56) - 1;

    Element(const Document* doc, std::size_t index) : doc_(doc), index_(index) {}
    std::uint64_t word() const noexcept { return doc_->tape[index_]; }
    char tag() const noexcept { return static_cast<char>(word() >> 56); }
    template <class T>
    T next_as() const noexcept {
        T value;
        std::memcpy(&value, &doc_->tape[index_ + 1], sizeof value);
        return value;
    }
    // The index just past this value.
    std::size_t after() const noexcept {
        switch (tag()) {
            case '{':
            case '[':
                return static_cast<std::uint32_t>(word());
            case 'l':
            case 'u':
            case 'd':
            case 'B':
                return index_ + 2;
            default:
                return index_ + 1;
        }
    }

    const Document* doc_ = nullptr;
    std::size_t index_ = 0;
};

struct Item {
    static constexpr bool is_member = false;
    Element value;
};

struct Member {
    static constexpr bool is_member = true;
    std::string_view key;
    Element value;
};

template <class Entry>
Entry Element::Range<Entry>::iterator::operator*() const noexcept {
    if constexpr (Entry::is_member) {
        return {Element(doc_, index_).string(), Element(doc_, index_ + 1)};
    } else {
        return {Element(doc_, index_)};
    }
}

inline Element::Range<Item> Element::elements() const noexcept {
    return {doc_, index_ + 1, after() - 1};
}

inline Element::Range<Member> Element::members() const noexcept {
    return {doc_, index_ + 1, after() - 1};
}

inline std::optional<Element> Element::find(std::string_view key) const noexcept {
    for (auto member : members()) {
        if (member.key == key) return member.value;
    }
    return std::nullopt;
}

// Parses one JSON text with the nesting limit. The returned element (and everything reached
// from it) stays valid until the next parse on the same parser.
class Parser {
public:
    Parser();
    ~Parser();
    Parser(const Parser&) = delete;
    Parser& operator=(const Parser&) = delete;

    Result<Element> parse(std::string_view text);

private:
    struct State;
    std::unique_ptr<State> state_;
    Document doc_;
};

// How a record is named in error texts, composed only when an error needs it:
// "struct GraphIr", "struct variant IrNode::Fast", "internally tagged enum Value"; a bare
// expectation ("string or map") when there is no name.
struct What {
    std::string_view kind;
    std::string_view owner;  // the union of a variant, else empty
    std::string_view name;
    std::string text() const;
};

// Error builders; only failures pay for their texts.
ReadError invalid_type(Element got, std::string_view expected);
ReadError invalid_value(std::string_view unexpected, std::string_view expected);
ReadError invalid_length(std::size_t length, std::string_view expected);
ReadError unknown_variant(std::string_view name, std::span<const std::string_view> names);
ReadError missing_field(std::string_view name);
ReadError duplicate_field(std::string_view name);

// Scalar readers.
// True when `bytes` are valid UTF-8: the check the parser applies to every text.
bool valid_utf8(std::string_view bytes);

Status read_bool(Element e, bool& out);
Status read_unsigned(Element e, std::uint64_t& out, std::uint64_t max, std::string_view what);
Status read_signed(Element e, std::int64_t& out, std::int64_t min, std::int64_t max,
                   std::string_view what);
Status read_f64(Element e, double& out);
Status read_f32(Element e, float& out);
Status read_string(Element e, std::string& out);

template <class T>
Status read(Element e, T& out);

namespace detail {
template <class T>
struct is_optional : std::false_type {};
template <class T>
struct is_optional<std::optional<T>> : std::true_type {};
template <class T>
struct is_vector : std::false_type {};
template <class T, class A>
struct is_vector<std::vector<T, A>> : std::true_type {};
template <class T>
struct is_box : std::false_type {};
template <class T>
struct is_box<Box<T>> : std::true_type {};
template <class T>
struct is_pair : std::false_type {};
template <class A, class B>
struct is_pair<std::pair<A, B>> : std::true_type {};

template <class M>
concept StringKeyedMap = requires(M m, std::string k, typename M::mapped_type v) {
    requires std::same_as<typename M::key_type, std::string>;
    m.insert_or_assign(std::move(k), std::move(v));
};

template <class T>
constexpr std::string_view integer_name() {
    if constexpr (std::same_as<T, std::uint8_t>) return "u8";
    if constexpr (std::same_as<T, std::uint16_t>) return "u16";
    if constexpr (std::same_as<T, std::uint32_t>) return "u32";
    if constexpr (std::same_as<T, std::uint64_t>) return "u64";
    if constexpr (std::same_as<T, std::int8_t>) return "i8";
    if constexpr (std::same_as<T, std::int16_t>) return "i16";
    if constexpr (std::same_as<T, std::int32_t>) return "i32";
    if constexpr (std::same_as<T, std::int64_t>) return "i64";
    return "integer";
}

template <class T>
Status read_erased(Element e, void* out) {
    return read(e, *static_cast<T*>(out));
}

// A reader of a user type found by argument-dependent lookup, or by support/record.hpp.
template <class T>
concept HasReadJson = requires(Element e, T& out) {
    { read_json(e, out) } -> std::same_as<Status>;
};
template <class T>
struct ReadHook {};  // given a `read` by support/record.hpp for declared records
}  // namespace detail

// One field of a record, type-erased so that the record logic is compiled once. The outputs
// are expected to hold their defaults (and optionals none) before reading.
enum class Presence {
    Required,   // absent fails
    Defaulted,  // absent keeps the value the output already holds, in either form
    Optional,   // an optional<T>: absent in the keyed form keeps none, in the positional form fails
};

struct FieldRef {
    std::string_view name;
    Presence presence;
    void* out;
    Status (*read)(Element, void*);
};

template <class T>
FieldRef required(std::string_view name, T& out) {
    return {name, Presence::Required, &out, &detail::read_erased<T>};
}

// The members of a record: an object (a union's tag key among them is skipped like any key
// that names no field) or the elements of an array (after the union's tag element, if any).
struct Content {
    Element element;
    bool skip_first = false;  // array form of a tagged union: element 0 is the tag

    // An object or array as a plain record; anything else fails naming `what`.
    static Result<Content> of(Element e, const What& what);
};

// Reads the fields of a record, in the keyed or the positional form.
Status read_fields(const Content& content, const What& what, std::span<const FieldRef> fields);

// An array of exactly fields.size() values, read in order (the names are not used).
Status read_tuple(Element e, std::span<const FieldRef> fields);

enum class TagIndex { Refused, Allowed };

struct Tagged {
    std::size_t index;
    Content content;
};

// A union tagged by `key` beside its fields ({"op": "Fast", ...}) or first in an array
// (["Fast", ...]). The tag is a name from `names` or, when allowed, an index into it.
Result<Tagged> read_internal_tag(Element e, std::string_view key,
                                 std::span<const std::string_view> names, TagIndex index,
                                 const What& what);

struct External {
    std::size_t index;
    Element value;
};

// A union written as an object with exactly one key naming the kind: {"Float": 1.5}.
Result<External> read_external_tag(Element e, std::span<const std::string_view> names,
                                   const What& what);

// A union of unit kinds: a name string ("mono"), or a one-key object whose value is null or {}.
Result<std::size_t> read_unit_variant(Element e, std::span<const std::string_view> names,
                                      const What& what);

template <class T>
Status read(Element e, T& out) {
    if constexpr (std::same_as<T, bool>) {
        return read_bool(e, out);
    } else if constexpr (std::unsigned_integral<T>) {
        std::uint64_t v = 0;
        auto st = read_unsigned(e, v, std::numeric_limits<T>::max(), detail::integer_name<T>());
        if (st) out = static_cast<T>(v);
        return st;
    } else if constexpr (std::signed_integral<T>) {
        std::int64_t v = 0;
        auto st = read_signed(e, v, std::numeric_limits<T>::min(), std::numeric_limits<T>::max(),
                              detail::integer_name<T>());
        if (st) out = static_cast<T>(v);
        return st;
    } else if constexpr (std::same_as<T, float>) {
        return read_f32(e, out);
    } else if constexpr (std::same_as<T, double>) {
        return read_f64(e, out);
    } else if constexpr (std::same_as<T, std::string>) {
        return read_string(e, out);
    } else if constexpr (detail::is_optional<T>::value) {
        if (e.is_null()) {
            out.reset();
            return {};
        }
        return read(e, out.emplace());
    } else if constexpr (detail::is_box<T>::value) {
        return read(e, out.emplace());
    } else if constexpr (detail::is_vector<T>::value) {
        if (!e.is_array()) return std::unexpected(invalid_type(e, "a sequence"));
        out.clear();
        for (auto item : e.elements()) {
            if (auto st = read(item.value, out.emplace_back()); !st) return st;
        }
        return {};
    } else if constexpr (detail::StringKeyedMap<T>) {
        if (!e.is_object()) return std::unexpected(invalid_type(e, "a map"));
        out.clear();
        for (auto member : e.members()) {
            typename T::mapped_type value{};
            if (auto st = read(member.value, value); !st) return st;
            // A repeated key keeps the value given last.
            out.insert_or_assign(std::string(member.key), std::move(value));
        }
        return {};
    } else if constexpr (detail::is_pair<T>::value) {
        const FieldRef fields[] = {required("", out.first), required("", out.second)};
        return read_tuple(e, fields);
    } else if constexpr (requires { detail::ReadHook<T>::read(e, out); }) {
        return detail::ReadHook<T>::read(e, out);
    } else {
        return read_json(e, out);
    }
}

// Reads a whole value of type T from an element.
template <class T>
Result<T> read_as(Element e) {
    T value{};
    if (auto st = read(e, value); !st) return std::unexpected(std::move(st.error()));
    return value;
}

// Parses a text and reads a whole value of type T from it.
template <class T>
Result<T> read_text(Parser& parser, std::string_view text) {
    auto root = parser.parse(text);
    if (!root) return std::unexpected(std::move(root.error()));
    return read_as<T>(*root);
}

}  // namespace support::json
