// Reading helpers shared by the graph IR and node-type tests.
#pragma once

#include <string>
#include <string_view>

#include "support/json.hpp"

namespace read_helpers {

namespace json = support::json;

template <class T>
json::Result<T> read(std::string_view text) {
    json::Parser parser;
    return json::read_text<T>(parser, text);
}

// The error text of a read that should fail; "read" when it did not.
template <class T>
std::string failure(std::string_view text) {
    auto r = read<T>(text);
    return r ? std::string("read") : r.error().text;
}

}  // namespace read_helpers
