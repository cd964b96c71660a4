#include "audio_faust/node.hpp"

namespace audio_faust::node {

using audio_engine::graph::node::ParamError;

audio_engine::graph::node::ParamResult FaustNode::set_param(std::string_view name, float value) {
    if (dsp_.set_param(name, value)) return {};
    return std::unexpected(ParamError::not_found(std::string(name)));
}

}  // namespace audio_faust::node
