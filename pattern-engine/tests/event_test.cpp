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

bool reads(std::string_view text) {
    return read_text<Value>(text).has_value();
}

TEST(ValueReading, EveryKindByNameAndByIndex) {
    auto note =
        read_text<Value>(R"({"type":"Note","channel":0,"note":60,"velocity":100,"dur":0.5})");
    ASSERT_TRUE(note.has_value()) << note.error().text;
    EXPECT_EQ(std::get<Note>(*note), (Note{0, 60, 100, 0.5}));

    auto cc = read_text<Value>(R"({"value":7,"controller":74,"channel":2,"type":1})");
    ASSERT_TRUE(cc.has_value());
    EXPECT_EQ(std::get<Cc>(*cc), (Cc{2, 74, 7}));

    auto osc = read_text<Value>(
        R"({"type":"Osc","address":"/audio/set","args":[{"Str":"cutoff"},{"Float":3},{"Int":-5}]})");
    ASSERT_TRUE(osc.has_value()) << osc.error().text;
    const Osc& o = std::get<Osc>(*osc);
    EXPECT_EQ(o.address(), "/audio/set");
    ASSERT_EQ(o.args().size(), 3u);
    EXPECT_EQ(std::get<std::string>(o.args()[0]), "cutoff");
    EXPECT_EQ(std::get<double>(o.args()[1]), 3.0);
    EXPECT_EQ(std::get<std::int32_t>(o.args()[2]), -5);

    auto control = read_text<Value>(R"(["Control","cutoff",0.1])");
    ASSERT_TRUE(control.has_value());
    EXPECT_EQ(std::get<Control>(*control).value, 0.1f);
    EXPECT_EQ(std::get<Control>(*control).label, "cutoff");
}

TEST(ValueReading, FieldWidthsAndTypes) {
    EXPECT_TRUE(reads(R"({"type":"Note","channel":200,"note":60,"velocity":100,"dur":1})"));
    EXPECT_EQ(std::get<Note>(
                  *read_text<Value>(R"({"type":"Note","channel":0,"note":1,"velocity":1,"dur":1})"))
                  .dur,
              1.0);
    EXPECT_FALSE(reads(R"({"type":"Note","channel":300,"note":60,"velocity":100,"dur":1})"));
    EXPECT_FALSE(reads(R"({"type":"Note","channel":-1,"note":60,"velocity":100,"dur":1})"));
    EXPECT_FALSE(reads(R"({"type":"Note","channel":1.0,"note":60,"velocity":100,"dur":1})"));
    EXPECT_FALSE(reads(R"({"type":"Note","channel":1,"note":60,"velocity":100,"dur":"1"})"));
    EXPECT_FALSE(reads(R"({"type":"Note","channel":1,"note":60,"velocity":100})"));
    EXPECT_FALSE(reads(R"({"type":"Cc","channel":1,"controller":2,"value":256})"));
    EXPECT_FALSE(reads(R"({"type":"Control","label":5,"value":1})"));
    EXPECT_FALSE(reads(R"({"type":"Osc","address":"/a"})"));
    EXPECT_FALSE(reads(R"({"type":"Osc","address":"/a","args":{}})"));
}

TEST(ValueReading, TagRules) {
    EXPECT_FALSE(reads(R"({"type":"note","channel":0,"note":1,"velocity":1,"dur":1})"));
    EXPECT_FALSE(reads(R"({"type":4,"label":"a","value":1})"));
    EXPECT_FALSE(reads(R"({"type":"Control","type":"Control","label":"a","value":1})"));
    EXPECT_FALSE(reads(R"({"label":"a","value":1})"));
    EXPECT_TRUE(reads(R"({"comment":[1,2],"type":"Control","label":"a","value":1,"x":{}})"));
    EXPECT_FALSE(reads(R"({"type":"Control","label":"a","value":1,"value":2})"));
    EXPECT_FALSE(reads(R"(["Control","a"])"));
    EXPECT_FALSE(reads(R"(["Control","a",1,2])"));
}

TEST(OscArgReading, ExactlyOneKnownKey) {
    EXPECT_EQ(std::get<double>(*read_text<OscArg>(R"({"Float":3})")), 3.0);
    EXPECT_EQ(std::get<std::int32_t>(*read_text<OscArg>(R"({"Int":-5})")), -5);
    EXPECT_EQ(std::get<std::string>(*read_text<OscArg>(R"({"Str":"x"})")), "x");
    EXPECT_FALSE(read_text<OscArg>(R"({"Int":2147483648})").has_value());
    EXPECT_FALSE(read_text<OscArg>(R"({"Int":1.5})").has_value());
    EXPECT_FALSE(read_text<OscArg>(R"({"Float":1,"Int":2})").has_value());
    EXPECT_FALSE(read_text<OscArg>(R"({})").has_value());
    EXPECT_FALSE(read_text<OscArg>(R"("Float")").has_value());
    EXPECT_FALSE(read_text<OscArg>(R"(["Float",1])").has_value());
    EXPECT_FALSE(read_text<OscArg>(R"({"float":1})").has_value());
    EXPECT_FALSE(read_text<OscArg>(R"({"Str":1})").has_value());
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
