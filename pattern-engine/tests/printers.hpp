// gtest printers of the pattern engine's values. Every test file that prints these types must
// include this header: a file that does not gets gtest's byte dump, and the linker keeps only
// one of the two printer instantiations for the whole program.
#pragma once

#include <ostream>
#include <variant>

#include "pattern_engine/event.hpp"
#include "pattern_engine/time.hpp"

namespace pattern_engine::time {
inline void PrintTo(const Time& t, std::ostream* os) {
    *os << t.numer();
    if (t.denom() != 1) *os << '/' << t.denom();
}
inline void PrintTo(const Arc& a, std::ostream* os) {
    *os << '[';
    PrintTo(a.begin, os);
    *os << ", ";
    PrintTo(a.end, os);
    *os << ']';
}
}  // namespace pattern_engine::time

namespace pattern_engine::event {
inline void PrintTo(const Value& v, std::ostream* os) {
    if (const auto* n = std::get_if<Note>(&v)) {
        *os << "note " << int{n->note} << " ch " << int{n->channel} << " vel " << int{n->velocity}
            << " dur " << n->dur;
    } else if (const auto* c = std::get_if<Cc>(&v)) {
        *os << "cc " << int{c->controller} << '=' << int{c->value} << " ch " << int{c->channel};
    } else if (const auto* o = std::get_if<Osc>(&v)) {
        *os << "osc " << o->address() << " (" << o->args().size() << " args)";
    } else {
        const auto& k = std::get<Control>(v);
        *os << "control " << k.label << '=' << k.value;
    }
}
template <class T>
void PrintTo(const Event<T>& e, std::ostream* os) {
    *os << "{whole ";
    e.whole ? time::PrintTo(*e.whole, os) : void(*os << "none");
    *os << " part ";
    time::PrintTo(e.part, os);
    *os << ' ';
    PrintTo(e.value, os);
    *os << '}';
}
}  // namespace pattern_engine::event
