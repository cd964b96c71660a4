// Reading helpers shared by the IR reader tests.
#pragma once

#include <gtest/gtest.h>

#include <string_view>

#include "support/json.hpp"

namespace read_helpers {

namespace json = support::json;
using json::ErrorKind;

template <class T>
json::Result<T> read(std::string_view text) {
    json::Parser parser;
    return json::read_text<T>(parser, text);
}

template <class T>
void expect_error(std::string_view text, ErrorKind kind, std::string_view message) {
    auto r = read<T>(text);
    ASSERT_FALSE(r.has_value()) << text;
    EXPECT_EQ(r.error().kind, kind) << text << ": " << r.error().text;
    EXPECT_EQ(r.error().text, message) << text;
}

template <class T>
void expect_kind(std::string_view text, ErrorKind kind) {
    auto r = read<T>(text);
    ASSERT_FALSE(r.has_value()) << text;
    EXPECT_EQ(r.error().kind, kind) << text << ": " << r.error().text;
}

}  // namespace read_helpers
