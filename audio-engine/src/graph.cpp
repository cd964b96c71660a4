#include "audio_engine/graph.hpp"

#include <algorithm>
#include <bit>
#include <cstring>

namespace audio_engine::graph {

namespace {

bool finite(float x) {
    return (std::bit_cast<std::uint32_t>(x) & 0x7FFFFFFFu) < 0x7F800000u;
}

// Where the platform can pick a wider vector unit at load time, these loops get a copy for it
// (not under a sanitizer, whose runtime is not up yet when the loader picks).
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__) && \
    !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
#define VORLA_WIDE_CLONES __attribute__((target_clones("avx2", "default")))
#else
#define VORLA_WIDE_CLONES
#endif

// dst (+)= src, a non-finite sample (exponent bits all ones) counting as 0.0. Sixteen samples at
// a time, then one at a time: the fixed-length inner loops are vectorised at any optimisation
// level, with the same rule in every lane.
VORLA_WIDE_CLONES void add_finite(float* __restrict dst, const float* __restrict src,
                                  std::size_t n) {
    std::size_t i = 0;
    for (; i + 16 <= n; i += 16) {
#pragma GCC unroll 1
        for (std::size_t j = i; j < i + 16; ++j)
            dst[j] += finite(src[j]) ? src[j] : 0.0f;
    }
    for (; i < n; ++i)
        dst[i] += finite(src[i]) ? src[i] : 0.0f;
}
VORLA_WIDE_CLONES void copy_finite(float* __restrict dst, const float* __restrict src,
                                   std::size_t n) {
    std::size_t i = 0;
    for (; i + 16 <= n; i += 16) {
#pragma GCC unroll 1
        for (std::size_t j = i; j < i + 16; ++j)
            dst[j] = finite(src[j]) ? src[j] : 0.0f;
    }
    for (; i < n; ++i)
        dst[i] = finite(src[i]) ? src[i] : 0.0f;
}
VORLA_WIDE_CLONES bool all_finite(const float* src, std::size_t n) {
    std::uint32_t lanes[16] = {};  // one flag per lane, so the chunks need no reduction
    std::size_t i = 0;
    for (; i + 16 <= n; i += 16) {
#pragma GCC unroll 1
        for (std::size_t j = 0; j < 16; ++j)
            lanes[j] |= static_cast<std::uint32_t>(!finite(src[i + j]));
    }
    for (; i < n; ++i)
        lanes[0] |= static_cast<std::uint32_t>(!finite(src[i]));
    std::uint32_t bad = 0;
    for (const std::uint32_t l : lanes)
        bad |= l;
    return bad == 0;
}

}  // namespace

BufferPool::BufferPool(std::size_t count, std::size_t block_size)
    : buffers(std::max<std::size_t>(count, 1), std::vector<float>(block_size, 0.0f)),
      block_size(block_size) {}

DspGraph::DspGraph(GraphParts parts) : parts_(std::move(parts)) {
    std::size_t max_in = 0;
    std::size_t max_out = 0;
    for (const auto& n : parts_.nodes)
        max_in = std::max(max_in, n->num_inputs());
    for (const auto& n : parts_.nodes)
        max_out = std::max(max_out, n->num_outputs());

    inputs_.resize(parts_.nodes.size());
    for (const Edge& e : parts_.edges) {
        const auto& sources = parts_.output_buffer_ids[e.from];
        // An injected node may have fewer outputs than its declared type: such an edge
        // carries nothing.
        if (e.from_port >= sources.size()) continue;
        inputs_[e.to].push_back(Input{sources[e.from_port], e.to_port, true});
    }
    for (auto& list : inputs_) {
        for (auto& in : list)
            in.sole = std::count_if(list.begin(), list.end(),
                                    [&in](const Input& o) { return o.port == in.port; }) == 1;
    }

    const std::size_t block = parts_.pool.block_size;
    scratch_in_.assign(max_in, std::vector<float>(block, 0.0f));
    scratch_out_.assign(max_out, std::vector<float>(block, 0.0f));
    for (const auto& b : scratch_in_)
        in_views_.emplace_back(b);
    for (auto& b : scratch_out_)
        out_views_.emplace_back(b);
    port_written_.assign(max_in, 0);
    // Nodes write straight into their pool buffers: one pass less than a scratch and a copy.
    pool_views_.resize(parts_.nodes.size());
    for (std::size_t i = 0; i < parts_.nodes.size(); ++i) {
        clear_outputs_.push_back(!parts_.nodes[i]->fills_outputs());
        for (const std::size_t b : parts_.output_buffer_ids[i]) {
            pool_views_[i].emplace_back(parts_.pool.buffers[b]);
        }
    }
}

void DspGraph::process(std::span<float> out) {
    const std::size_t block = parts_.pool.block_size;
    for (const NodeId id : parts_.order) {
        DspNode& node = *parts_.nodes[id];
        // Counts are asked at every block; a node that grows them is held to the scratch.
        const std::size_t n_in = std::min(node.num_inputs(), scratch_in_.size());
        const std::size_t n_out = std::min(node.num_outputs(), scratch_out_.size());

        // Inputs: the sum of the connected pool buffers, 0.0 where nothing is connected.
        std::fill_n(port_written_.begin(), n_in, 0);
        for (const Input& in : inputs_[id]) {
            if (in.port >= n_in) continue;
            const auto& src = parts_.pool.buffers[in.buffer];
            auto& dst = scratch_in_[in.port];
            if (in.sole && all_finite(src.data(), block)) {
                in_views_[in.port] = src;  // read in place: one pass less
            } else if (port_written_[in.port]) {
                add_finite(dst.data(), src.data(), block);
            } else {
                copy_finite(dst.data(), src.data(), block);
                in_views_[in.port] = dst;
            }
            port_written_[in.port] = 1;
        }
        for (std::size_t p = 0; p < n_in; ++p) {
            if (port_written_[p]) continue;
            std::fill(scratch_in_[p].begin(), scratch_in_[p].end(), 0.0f);
            in_views_[p] = scratch_in_[p];
        }

        // Outputs start as 0.0, so a node that writes nothing leaves silence; a node that fills
        // all its outputs skips that pass.
        auto& views = pool_views_[id];
        const bool clear = clear_outputs_[id] || n_out < views.size();
        for (std::size_t k = 0; clear && k < views.size(); ++k)
            std::fill(views[k].begin(), views[k].end(), 0.0f);
        const auto inputs = std::span<const std::span<const float>>(in_views_.data(), n_in);
        if (n_out <= views.size()) {
            node.process(inputs, std::span<const std::span<float>>(views.data(), n_out));
        } else {
            // More outputs than when compiled: the extra ones go to scratch and are dropped.
            for (std::size_t p = 0; p < n_out; ++p) {
                std::fill(scratch_out_[p].begin(), scratch_out_[p].end(), 0.0f);
            }
            node.process(inputs, std::span<const std::span<float>>(out_views_.data(), n_out));
            for (std::size_t k = 0; k < views.size(); ++k) {
                std::memcpy(views[k].data(), scratch_out_[k].data(), block * sizeof(float));
            }
        }
    }

    if (!parts_.output_node) return;
    const auto& outputs = parts_.output_buffer_ids[*parts_.output_node];
    if (outputs.empty()) return;
    const auto& src = parts_.pool.buffers[outputs.front()];
    std::copy_n(src.begin(), std::min(block, out.size()), out.begin());
}

std::optional<NodeId> DspGraph::find(std::string_view node_id) const {
    for (NodeId i = 0; i < parts_.node_ids.size(); ++i) {
        if (parts_.node_ids[i] == node_id) return i;
    }
    return std::nullopt;
}

node::ParamResult DspGraph::set_param(std::string_view node_id, std::string_view control,
                                      float value) {
    if (const auto i = find(node_id)) return parts_.nodes[*i]->set_param(control, value);
    return std::unexpected(
        node::ParamError::not_found("node '" + std::string(node_id) + "' not found"));
}

std::unordered_map<std::string, ReusableNode> DspGraph::into_reusable_nodes() && {
    std::unordered_map<std::string, ReusableNode> out;
    for (std::size_t i = 0; i < parts_.nodes.size(); ++i) {
        out.insert_or_assign(std::move(parts_.node_ids[i]),
                             ReusableNode{std::move(parts_.type_ids[i]), parts_.generations[i],
                                          std::move(parts_.nodes[i])});
    }
    return out;
}

std::expected<std::vector<NodeId>, std::string> topological_sort(std::size_t node_count,
                                                                 std::span<const Edge> edges) {
    std::vector<std::size_t> in_degree(node_count, 0);
    std::vector<std::vector<NodeId>> successors(node_count);
    for (const Edge& e : edges) {
        ++in_degree[e.to];
        successors[e.from].push_back(e.to);
    }
    std::vector<NodeId> ready;
    for (NodeId i = 0; i < node_count; ++i) {
        if (in_degree[i] == 0) ready.push_back(i);
    }
    std::vector<NodeId> order;
    order.reserve(node_count);
    while (!ready.empty()) {
        const NodeId n = ready.back();
        ready.pop_back();
        order.push_back(n);
        for (const NodeId s : successors[n]) {
            if (--in_degree[s] == 0) ready.push_back(s);
        }
    }
    if (order.size() != node_count) return std::unexpected(std::string("graph contains a cycle"));
    return order;
}

}  // namespace audio_engine::graph
