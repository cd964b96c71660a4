// Event values' own reading: their kinds and field widths (the generic rules are support's).
#include "pattern_engine/event.hpp"

#include <gtest/gtest.h>

#include <string>

namespace {

namespace json = support::json;
using pattern_engine::event::Cc;
using pattern_engine::event::Control;
using pattern_engine::event::Event;
using pattern_engine::event::Note;
using pattern_engine::event::Osc;
using pattern_engine::event::OscArg;
using pattern_engine::event::Value;
using pattern_engine::time::Arc;
using pattern_engine::time::Time;

template <class T>
json::Result<T> read_text(std::string_view text) {
    json::Parser parser;
    return json::read_text<T>(parser, text);
}

TEST(ValueReading, EveryKindByNameIndexAndPosition) {
    const std::pair<std::string_view, Value> cases[] = {
        {R"({"type":"Note","channel":200,"note":60,"velocity":100,"dur":1})",
         Note{200, 60, 100, 1.0}},
        {R"(["Note",0,60,100,0.5])", Note{0, 60, 100, 0.5}},
        {R"({"value":7,"controller":74,"channel":2,"type":1})", Cc{2, 74, 7}},
        {R"({"type":"Osc","address":"/audio/set","args":[{"Str":"cutoff"},{"Float":3},{"Int":-5}]})",
         Osc{"/audio/set", {OscArg(std::string("cutoff")), OscArg(3.0), OscArg(std::int32_t{-5})}}},
        {R"([2,"/a",[]])", Osc{"/a", {}}},
        {R"(["Control","cutoff",0.1])", Control{"cutoff", 0.1f}},
        {R"({"type":"Control","label":"x","value":-0})", Control{"x", -0.0f}},
    };
    for (const auto& [text, expected] : cases) {
        auto value = read_text<Value>(text);
        ASSERT_TRUE(value.has_value()) << text << ": " << value.error().text;
        EXPECT_TRUE(*value == expected) << text;  // no printer: the query tests own Value's
    }
}

TEST(ValueReading, RefusedKindsAndWidths) {
    for (std::string_view text : {
             R"({"type":"Note","channel":300,"note":60,"velocity":100,"dur":1})",
             R"({"type":"Note","channel":1,"note":60,"velocity":100,"dur":"1"})",
             R"({"type":"Cc","channel":1,"controller":2,"value":256})",
             R"({"type":"Control","label":5,"value":1})",
             R"({"type":"Osc","address":"/a","args":[{"Int":2147483648}]})",
             R"({"type":"Osc","address":"/a","args":["Float"]})",
             R"({"type":"note","channel":0,"note":1,"velocity":1,"dur":1})",
             R"({"type":4,"label":"a","value":1})",
         }) {
        EXPECT_FALSE(read_text<Value>(text).has_value()) << text;
    }
}

TEST(EventOnset, OnlyTheFragmentStartingWithItsWhole) {
    const Arc whole{Time(0, 1), Time(1, 1)};
    Event<> onset{whole, Arc{Time(0, 1), Time(1, 2)}, Value{Control{"a", 1.0f}}};
    Event<> later{whole, Arc{Time(1, 2), Time(1, 1)}, Value{Control{"a", 1.0f}}};
    Event<> continuous{std::nullopt, Arc{Time(0, 1), Time(1, 2)}, Value{Control{"a", 1.0f}}};
    EXPECT_TRUE(onset.has_onset());
    EXPECT_FALSE(later.has_onset());
    EXPECT_FALSE(continuous.has_onset());
}

}  // namespace
