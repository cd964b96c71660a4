#include "audio_engine/graph/node.hpp"

#include "support/number.hpp"

namespace audio_engine::graph::node {

std::string ParamError::display() const {
    using support::number::append_message;
    std::string out;
    switch (kind) {
        case Kind::NotFound:
            out = "parameter not found: ";
            out += name;
            break;
        case Kind::OutOfRange:
            out = "parameter '";
            out += name;
            out += "' value ";
            append_message(out, value);
            out += " out of range [";
            append_message(out, min);
            out += ", ";
            append_message(out, max);
            out += "]";
            break;
    }
    return out;
}

}  // namespace audio_engine::graph::node
