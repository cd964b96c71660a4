// Small nodes and an allocation counter for graph tests.
#pragma once

#include <cstddef>
#include <functional>
#include <span>
#include <string_view>

#include "audio_engine/graph/node.hpp"

namespace test_nodes {

using audio_engine::graph::node::DspNode;
using audio_engine::graph::node::ParamError;
using audio_engine::graph::node::ParamResult;

// Number of heap allocations (operator new) made on this thread while `f` runs.
std::size_t count_allocations(const std::function<void()>& f);

// No inputs; writes `value` into its one output (unless `write` is off). Control "value".
class Constant final : public DspNode {
public:
    explicit Constant(float v) : value(v) {}
    void process(std::span<const std::span<const float>>,
                 std::span<const std::span<float>> outputs) override {
        ++blocks;
        if (!write || outputs.empty()) return;
        for (float& s : outputs[0])
            s = value;
    }
    std::size_t num_inputs() const override { return 0; }
    std::size_t num_outputs() const override { return 1; }
    ParamResult set_param(std::string_view name, float v) override {
        if (name != "value") return std::unexpected(ParamError::not_found(std::string(name)));
        value = v;
        return {};
    }
    void reset(std::uint32_t) override {}

    float value;
    bool write = true;
    int blocks = 0;
};

// One input copied to one output.
class Sum final : public DspNode {
public:
    void process(std::span<const std::span<const float>> inputs,
                 std::span<const std::span<float>> outputs) override {
        if (inputs.empty() || outputs.empty()) return;
        for (std::size_t i = 0; i < outputs[0].size() && i < inputs[0].size(); ++i) {
            outputs[0][i] = inputs[0][i];
        }
    }
    std::size_t num_inputs() const override { return 1; }
    std::size_t num_outputs() const override { return 1; }
    ParamResult set_param(std::string_view name, float) override {
        return std::unexpected(ParamError::not_found(std::string(name)));
    }
    void reset(std::uint32_t) override {}
};

}  // namespace test_nodes
