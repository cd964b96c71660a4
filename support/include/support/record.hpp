// support::record — a record's fields are declared once (name, member, default); its JSON
// reader, its compact JSON writer and its debug form all follow from that declaration.
//
// A type declares itself with a constexpr function found by argument-dependent lookup:
//
//     constexpr auto record_of(support::record::Type<NodeInstance>) {
//         using namespace support::record;
//         return fields<NodeInstance>("NodeInstance", field("id", &NodeInstance::id),
//                                     field("type_id", &NodeInstance::type_id),
//                                     defaulted("controls", &NodeInstance::controls));
//     }
//
// A defaulted field takes the member's own initial value when absent. The forms:
//   fields<T>(name, field...)          a struct; no fields: a unit kind ("Ping")
//   embedded<T>(name, member)          a union kind that is one record, its fields beside the tag
//   tuple<T>(members...)               an array of exactly these values ([3, 2])
//   tagged<V>(name, key, index, names) a variant tagged by `key` ({"op": "Fast", ...})
//   external<V>(name, names)           a variant as a one-key object ({"Float": 1.5})
//   names<E>(name, wire, debug)        an enum as a name ("mono"; debug form `Mono`)
// The reading rules are support::json's. Writing: keys in declaration order, no white space,
// numbers by support::number's JSON layout. Debug form: `Name { a: 1.0, b: "x" }`, lists in
// [], maps in {}, pairs and tuples in (), optionals as Some(..)/None, unit kinds bare.
// Nested values are read by json::read, so a declared type that is read as a member exports
// `read_json` (one line: read_value or read_fresh); likewise a type with its own
// `append_json`, `append_debug` or `read_fields_of`, found by argument-dependent lookup, is
// written and read by those wherever it is nested, so every source handles it alike.
//
// Include this only where records are declared or read, written and printed (sources, tests).
#pragma once

#include <array>
#include <charconv>
#include <concepts>
#include <cstddef>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>
#include <variant>

#include "support/debug.hpp"
#include "support/json.hpp"
#include "support/json_write.hpp"
#include "support/number.hpp"

namespace support::record {

template <class T>
struct Type {};

using json::Presence;

// Reads the member by its type (json::read), or with a reader of its own.
struct ByType {};

template <class T, class M, class Read = ByType>
struct Field {
    std::string_view name;
    M T::*member;
    Presence presence;
};

template <class T, class M>
constexpr Field<T, M> field(std::string_view name, M T::*member) {
    return {name, member, Presence::Required};
}
// `read` is a captureless callable json::Status(json::Element, M&).
template <class T, class M, class Read>
constexpr Field<T, M, Read> field(std::string_view name, M T::*member, Read) {
    return {name, member, Presence::Required};
}
template <class T, class M>
constexpr Field<T, M> defaulted(std::string_view name, M T::*member) {
    return {name, member, Presence::Defaulted};
}
// An optional<..> member: absent or null in the keyed form is none; in the positional form
// it may not be left off.
template <class T, class M>
constexpr Field<T, M> optional(std::string_view name, M T::*member) {
    return {name, member, Presence::Optional};
}

template <class T, class... F>
struct Record {
    std::string_view name;
    std::tuple<F...> fields;
};
template <class T, class... F>
constexpr Record<T, F...> fields(std::string_view name, F... declared) {
    return {name, {declared...}};
}

template <class T, class M>
struct Embedded {
    std::string_view name;
    M T::*member;
};
template <class T, class M>
constexpr Embedded<T, M> embedded(std::string_view name, M T::*member) {
    return {name, member};
}

template <class T, class... M>
struct Tuple {
    std::tuple<M T::*...> members;
};
template <class T, class... M>
constexpr Tuple<T, M...> tuple(M T::*... members) {
    return {{members...}};
}

template <class V, std::size_t N>
struct Tagged {
    std::string_view name;
    std::string_view key;
    json::TagIndex index;
    std::array<std::string_view, N> names;  // the alternatives' tags, in variant order
};
template <class V, std::size_t N>
constexpr Tagged<V, N> tagged(std::string_view name, std::string_view key, json::TagIndex index,
                              const std::string_view (&names)[N]) {
    return {name, key, index, std::to_array(names)};
}

template <class V, std::size_t N>
struct External {
    std::string_view name;
    std::array<std::string_view, N> names;
};
template <class V, std::size_t N>
constexpr External<V, N> external(std::string_view name, const std::string_view (&names)[N]) {
    return {name, std::to_array(names)};
}

// Enumerators numbered 0, 1, ... in the order of the names.
template <class E, std::size_t N>
struct Names {
    std::string_view name;
    std::array<std::string_view, N> wire;
    std::array<std::string_view, N> debug;
};
template <class E, std::size_t N>
constexpr Names<E, N> names(std::string_view name, const std::string_view (&wire)[N],
                            const std::string_view (&debug)[N]) {
    return {name, std::to_array(wire), std::to_array(debug)};
}

template <class T>
concept Declared = requires {
    record_of(Type<T>{});
};

// A type's own functions, found by argument-dependent lookup; preferred over a declaration
// when reached as a nested value, so that every source handles a type alike.
template <class T>
concept HasFieldsReader = requires(const json::Content& c, T& out) {
    read_fields_of(c, out);
};
template <class T>
concept HasJsonWriter = requires(std::string& o, const T& v) {
    append_json(o, v);
};
template <class T>
concept HasDebugWriter = requires(std::string& o, const T& v) {
    append_debug(o, v);
};

template <class T>
inline constexpr auto declaration = record_of(Type<T>{});

namespace detail {

enum class Form { None, Fields, Embedded, Tuple, Tagged, External, Names };

template <class D>
struct form : std::integral_constant<Form, Form::None> {};
template <class T, class... F>
struct form<Record<T, F...>> : std::integral_constant<Form, Form::Fields> {};
template <class T, class M>
struct form<Embedded<T, M>> : std::integral_constant<Form, Form::Embedded> {};
template <class T, class... M>
struct form<Tuple<T, M...>> : std::integral_constant<Form, Form::Tuple> {};
template <class V, std::size_t N>
struct form<Tagged<V, N>> : std::integral_constant<Form, Form::Tagged> {};
template <class V, std::size_t N>
struct form<External<V, N>> : std::integral_constant<Form, Form::External> {};
template <class E, std::size_t N>
struct form<Names<E, N>> : std::integral_constant<Form, Form::Names> {};

template <class T>
constexpr Form form_of = form<std::remove_cvref_t<decltype(declaration<T>)>>::value;

template <class T>
using variant_of = typename T::variant;  // the std::variant a tagged type derives from

// A map keyed by text, ordered or not: written in its iteration order.
template <class T>
concept StringMap = requires {
    typename T::key_type;
    typename T::mapped_type;
} && std::same_as<typename T::key_type, std::string>;

}  // namespace detail

// ---- reading ----

template <class T>
json::Status read_value(json::Element e, T& out);

namespace detail {

template <class T, class M, class Read>
json::FieldRef bind(const Field<T, M, Read>& f, T& out) {
    json::Status (*read)(json::Element, void*);
    if constexpr (std::is_same_v<Read, ByType>) {
        read = &json::detail::read_erased<M>;
    } else {
        read = [](json::Element e, void* o) { return Read{}(e, *static_cast<M*>(o)); };
    }
    return {f.name, f.presence, &(out.*f.member), read};
}

}  // namespace detail

// The fields of a declared record from a record's content (an object or an array, perhaps
// beside a union's tag), read into `out`, which holds its defaults.
template <class T>
json::Status read_fields_into(const json::Content& content, const json::What& what, T& out) {
    constexpr const auto& d = declaration<T>;
    const auto refs = std::apply(
        [&](const auto&... f) {
            return std::array<json::FieldRef, sizeof...(f)>{detail::bind(f, out)...};
        },
        d.fields);
    return json::read_fields(content, what, refs);
}

// As read_fields_into, into a fresh value: defaults hold and a failure leaves `out` as it was.
template <class T>
json::Status read_fields_fresh(const json::Content& content, T& out) {
    T value{};
    if (auto st = read_fields_into(content, json::What{"struct", {}, declaration<T>.name}, value);
        !st)
        return st;
    out = std::move(value);
    return {};
}

namespace detail {

// True when no field is named `key`: a union's tag stands among its kinds' fields.
template <class D>
constexpr bool no_field_named(const D& d, std::string_view key) {
    return std::apply([&](const auto&... f) { return ((f.name != key) && ...); }, d.fields);
}

template <class V, std::size_t I>
json::Status read_kind(const json::Content& c, std::string_view owner, V& out) {
    using K = std::variant_alternative_t<I, variant_of<V>>;
    K& kind = out.template emplace<I>();
    constexpr const auto& d = declaration<K>;
    if constexpr (form_of<K> == Form::Fields) {
        static_assert(no_field_named(d, declaration<V>.key), "a field named like the tag");
        constexpr bool unit = std::tuple_size_v<decltype(d.fields)> == 0;
        return read_fields_into(
            c, json::What{unit ? "unit variant" : "struct variant", owner, d.name}, kind);
    } else {
        static_assert(form_of<K> == Form::Embedded,
                      "a tagged kind is a record or an embedded record");
        using M = std::remove_cvref_t<decltype(kind.*d.member)>;
        if constexpr (HasFieldsReader<M>) {
            return read_fields_of(c, kind.*d.member);
        } else {
            return read_fields_into(c, json::What{"struct", {}, declaration<M>.name},
                                    kind.*d.member);
        }
    }
}

template <class V, std::size_t... I>
json::Status read_kind_at(std::size_t index, const json::Content& c, std::string_view owner, V& out,
                          std::index_sequence<I...>) {
    using Read = json::Status (*)(const json::Content&, std::string_view, V&);
    static constexpr Read table[] = {&read_kind<V, I>...};
    return table[index](c, owner, out);
}

template <class V, std::size_t... I>
json::Status read_external_at(std::size_t index, json::Element e, V& out,
                              std::index_sequence<I...>) {
    using Read = json::Status (*)(json::Element, V&);
    static constexpr Read table[] = {
        [](json::Element v, V& o) { return json::read(v, o.template emplace<I>()); }...};
    return table[index](e, out);
}

}  // namespace detail

// A tagged variant whose tag may, or may not, be an index here, whatever its declaration says.
template <class V>
json::Status read_tagged(json::Element e, V& out, json::TagIndex index) {
    constexpr const auto& d = declaration<V>;
    static_assert(d.names.size() == std::variant_size_v<detail::variant_of<V>>,
                  "one tag per kind");
    auto tagged = json::read_internal_tag(e, d.key, d.names, index,
                                          json::What{"internally tagged enum", {}, d.name});
    if (!tagged) return std::unexpected(std::move(tagged.error()));
    return detail::read_kind_at(tagged->index, tagged->content, d.name, out,
                                std::make_index_sequence<d.names.size()>{});
}

// A declared type by its declaration; the members by json::read (so by their own read_json).
template <class T>
json::Status read_value(json::Element e, T& out) {
    constexpr const auto& d = declaration<T>;
    constexpr detail::Form form = detail::form_of<T>;
    if constexpr (form == detail::Form::Fields) {
        const json::What what{"struct", {}, d.name};
        auto content = json::Content::of(e, what);
        if (!content) return std::unexpected(std::move(content.error()));
        return read_fields_into(*content, what, out);
    } else if constexpr (form == detail::Form::Tuple) {
        const auto refs = std::apply(
            [&](auto... m) {
                return std::array<json::FieldRef, sizeof...(m)>{json::required("", out.*m)...};
            },
            d.members);
        return json::read_tuple(e, refs);
    } else if constexpr (form == detail::Form::Tagged) {
        return read_tagged(e, out, d.index);
    } else if constexpr (form == detail::Form::External) {
        static_assert(d.names.size() == std::variant_size_v<detail::variant_of<T>>,
                      "one name per kind");
        auto found = json::read_external_tag(e, d.names, json::What{"enum", {}, d.name});
        if (!found) return std::unexpected(std::move(found.error()));
        return detail::read_external_at(found->index, found->value, out,
                                        std::make_index_sequence<d.names.size()>{});
    } else {
        static_assert(form == detail::Form::Names, "no reader for this form");
        auto index = json::read_unit_variant(e, d.wire, json::What{"string or map", {}, {}});
        if (!index) return std::unexpected(std::move(index.error()));
        out = static_cast<T>(*index);
        return {};
    }
}

// A whole value into a fresh one: defaults hold and a failure leaves `out` as it was.
template <class T>
json::Status read_fresh(json::Element e, T& out) {
    T value{};
    if (auto st = read_value(e, value); !st) return st;
    out = std::move(value);
    return {};
}

// ---- writing compact JSON ----

template <class T>
void write_json(std::string& out, const T& value);
template <class T>
void json_form(std::string& out, const T& value);

namespace detail {

template <class T>
void write_json_fields(std::string& out, const T& value, bool& first) {
    std::apply(
        [&](const auto&... f) {
            ((out += first ? "" : ",", first = false, json::append_key(out, f.name),
              write_json(out, value.*f.member)),
             ...);
        },
        declaration<T>.fields);
}

}  // namespace detail

template <class T>
void write_json(std::string& out, const T& value) {
    if constexpr (std::is_same_v<T, std::string> || std::is_same_v<T, std::string_view>) {
        json::append_string(out, value);
    } else if constexpr (std::is_same_v<T, bool>) {
        out += value ? "true" : "false";
    } else if constexpr (std::is_floating_point_v<T>) {
        json::append_number(out, value);
    } else if constexpr (std::is_integral_v<T>) {
        char buffer[24];
        out.append(buffer, std::to_chars(buffer, buffer + sizeof buffer, value).ptr);
    } else if constexpr (json::detail::is_optional<T>::value) {
        if (value) {
            write_json(out, *value);
        } else {
            out += "null";
        }
    } else if constexpr (json::detail::is_box<T>::value) {
        write_json(out, *value);
    } else if constexpr (json::detail::is_pair<T>::value) {
        out += '[';
        write_json(out, value.first);
        out += ',';
        write_json(out, value.second);
        out += ']';
    } else if constexpr (detail::StringMap<T>) {
        json::append_sequence(
            out, '{', value,
            [](std::string& o, const auto& kv) {
                json::append_key(o, kv.first);
                write_json(o, kv.second);
            },
            '}');
    } else if constexpr (json::detail::is_vector<T>::value) {
        json::append_sequence(
            out, '[', value, [](std::string& o, const auto& v) { write_json(o, v); }, ']');
    } else if constexpr (HasJsonWriter<T>) {
        append_json(out, value);
    } else {
        json_form(out, value);
    }
}

// A declared type by its declaration.
template <class T>
void json_form(std::string& out, const T& value) {
    constexpr const auto& d = declaration<T>;
    constexpr detail::Form form = detail::form_of<T>;
    if constexpr (form == detail::Form::Fields) {
        bool first = true;
        out += '{';
        detail::write_json_fields(out, value, first);
        out += '}';
    } else if constexpr (form == detail::Form::Tuple) {
        bool first = true;
        out += '[';
        std::apply(
            [&](auto... m) {
                ((out += first ? "" : ",", first = false, write_json(out, value.*m)), ...);
            },
            d.members);
        out += ']';
    } else if constexpr (form == detail::Form::Tagged) {
        out += '{';
        json::append_key(out, d.key);
        json::append_string(out, d.names[value.index()]);
        std::visit(
            [&](const auto& kind) {
                using K = std::remove_cvref_t<decltype(kind)>;
                bool first = false;
                if constexpr (detail::form_of<K> == detail::Form::Fields) {
                    detail::write_json_fields(out, kind, first);
                } else {
                    detail::write_json_fields(out, kind.*declaration<K>.member, first);
                }
            },
            static_cast<const detail::variant_of<T>&>(value));
        out += '}';
    } else if constexpr (form == detail::Form::External) {
        out += '{';
        json::append_key(out, d.names[value.index()]);
        std::visit([&](const auto& v) { write_json(out, v); },
                   static_cast<const detail::variant_of<T>&>(value));
        out += '}';
    } else {
        static_assert(form == detail::Form::Names, "no writer for this form");
        json::append_string(out, d.wire[static_cast<std::size_t>(value)]);
    }
}

// ---- debug form ----

template <class T>
void debug_form(std::string& out, const T& value);

// Any value; a type with its own append_debug by that.
template <class T>
void write_debug(std::string& out, const T& value) {
    if constexpr (std::is_same_v<T, std::string> || std::is_same_v<T, std::string_view>) {
        debug::append_quoted(out, value);
    } else if constexpr (std::is_same_v<T, bool>) {
        out += value ? "true" : "false";
    } else if constexpr (std::is_floating_point_v<T>) {
        number::append_debug(out, value);
    } else if constexpr (std::is_integral_v<T>) {
        char buffer[24];
        out.append(buffer, std::to_chars(buffer, buffer + sizeof buffer, value).ptr);
    } else if constexpr (json::detail::is_optional<T>::value) {
        if (value) {
            out += "Some(";
            write_debug(out, *value);
            out += ')';
        } else {
            out += "None";
        }
    } else if constexpr (json::detail::is_box<T>::value) {
        write_debug(out, *value);
    } else if constexpr (json::detail::is_pair<T>::value) {
        out += '(';
        write_debug(out, value.first);
        out += ", ";
        write_debug(out, value.second);
        out += ')';
    } else if constexpr (detail::StringMap<T>) {
        debug::append_sequence(
            out, '{', value,
            [](std::string& o, const auto& kv) {
                write_debug(o, kv.first);
                o += ": ";
                write_debug(o, kv.second);
            },
            '}');
    } else if constexpr (json::detail::is_vector<T>::value) {
        debug::append_sequence(
            out, '[', value, [](std::string& o, const auto& v) { write_debug(o, v); }, ']');
    } else if constexpr (HasDebugWriter<T>) {
        append_debug(out, value);
    } else {
        debug_form(out, value);
    }
}

// A declared type by its declaration.
template <class T>
void debug_form(std::string& out, const T& value) {
    constexpr const auto& d = declaration<T>;
    constexpr detail::Form form = detail::form_of<T>;
    if constexpr (form == detail::Form::Fields) {
        out += d.name;
        if constexpr (std::tuple_size_v < decltype(d.fields) >> 0) {
            bool first = true;
            out += " { ";
            std::apply(
                [&](const auto&... f) {
                    ((out += first ? "" : ", ", first = false, out += f.name, out += ": ",
                      write_debug(out, value.*f.member)),
                     ...);
                },
                d.fields);
            out += " }";
        }
    } else if constexpr (form == detail::Form::Embedded) {
        out += d.name;
        out += '(';
        write_debug(out, value.*d.member);
        out += ')';
    } else if constexpr (form == detail::Form::Tuple) {
        bool first = true;
        out += '(';
        std::apply(
            [&](auto... m) {
                ((out += first ? "" : ", ", first = false, write_debug(out, value.*m)), ...);
            },
            d.members);
        out += ')';
    } else if constexpr (form == detail::Form::Tagged) {
        // Kinds by their declarations: they convert to the variant, whose own
        // append_debug argument-dependent lookup would find.
        std::visit([&](const auto& kind) { debug_form(out, kind); },
                   static_cast<const detail::variant_of<T>&>(value));
    } else if constexpr (form == detail::Form::External) {
        out += d.names[value.index()];
        out += '(';
        std::visit([&](const auto& v) { write_debug(out, v); },
                   static_cast<const detail::variant_of<T>&>(value));
        out += ')';
    } else {
        static_assert(form == detail::Form::Names, "no debug form for this form");
        out += d.debug[static_cast<std::size_t>(value)];
    }
}

}  // namespace support::record
