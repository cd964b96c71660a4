#include "audio_engine/graph.hpp"

#include <algorithm>
#include <bit>
#include <cstring>

#include "wide_clones.hpp"

namespace audio_engine::graph {

namespace {

bool finite(float x) {
    return (std::bit_cast<std::uint32_t>(x) & 0x7FFFFFFFu) < 0x7F800000u;
}

// dst = src, a non-finite sample (exponent bits all ones) counting as 0.0. Sixteen samples at a
// time, then one at a time: the fixed-length inner loops are vectorised at any optimisation
// level, with the same rule in every lane.
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
// Eight samples, moved as one vector of the widest unit the clone targets (two halves in the
// default one).
using Lanes = float __attribute__((vector_size(32)));
using LaneBits = std::int32_t __attribute__((vector_size(32)));
constexpr std::size_t kLanes = 8;

// A vector of samples, or of 0.0 where the sample is not finite. (Vectors go by reference: by
// value they would change the default clone's ABI.)
[[gnu::always_inline]] inline void load_lanes(Lanes& x, const float* p) {
    std::memcpy(&x, p, sizeof x);
}
[[gnu::always_inline]] inline void load_finite_lanes(Lanes& x, const float* p) {
    load_lanes(x, p);
    const LaneBits bits = reinterpret_cast<LaneBits>(x) & 0x7FFFFFFF;
    x = bits < 0x7F800000 ? x : Lanes{};
}

// `Vectors` vectors of the sum, held in registers across the sources.
template <bool Checked, std::size_t Vectors>
[[gnu::always_inline]] inline void sum_chunk(float* dst, const InputSource* src, std::size_t count,
                                             std::size_t at) {
    Lanes acc[Vectors];
#pragma GCC unroll 8
    for (std::size_t v = 0; v < Vectors; ++v)
        load_finite_lanes(acc[v], src[0].data + at + v * kLanes);
    for (std::size_t k = 1; k < count; ++k) {
        const float* s = src[k].data + at;
#pragma GCC unroll 8
        for (std::size_t v = 0; v < Vectors; ++v) {
            Lanes x;
            if constexpr (Checked) {
                load_finite_lanes(x, s + v * kLanes);
            } else {
                load_lanes(x, s + v * kLanes);
            }
            acc[v] += x;
        }
    }
#pragma GCC unroll 8
    for (std::size_t v = 0; v < Vectors; ++v)
        std::memcpy(dst + v * kLanes, &acc[v], sizeof acc[v]);
}

// dst = the sources summed sample by sample in their order, a non-finite sample counting as
// 0.0: what copying the first and adding the others gives, in one pass with the sum held in
// registers. Unchecked, every source but the first must be finite.
template <bool Checked>
[[gnu::always_inline]] inline void sum_finite(float* __restrict dst, const InputSource* src,
                                              std::size_t count, std::size_t n) {
    std::size_t i = 0;
    for (; i + 8 * kLanes <= n; i += 8 * kLanes)
        sum_chunk<Checked, 8>(dst + i, src, count, i);
    for (; i + kLanes <= n; i += kLanes)
        sum_chunk<Checked, 1>(dst + i, src, count, i);
    for (; i < n; ++i) {
        float acc = finite(src[0].data[i]) ? src[0].data[i] : 0.0f;
        for (std::size_t k = 1; k < count; ++k)
            acc += finite(src[k].data[i]) ? src[k].data[i] : 0.0f;
        dst[i] = acc;
    }
}
VORLA_WIDE_CLONES void sum_checked(float* __restrict dst, const InputSource* src, std::size_t count,
                                   std::size_t n) {
    sum_finite<true>(dst, src, count, n);
}
VORLA_WIDE_CLONES void sum_unchecked(float* __restrict dst, const InputSource* src,
                                     std::size_t count, std::size_t n) {
    sum_finite<false>(dst, src, count, n);
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

    // Each node's connected input ports, each with its sources in edge order. The lists are
    // sized first: steps, ports and sources point into them.
    const std::size_t count = parts_.nodes.size();
    finite_.assign(parts_.pool.buffers.size(), 0);
    std::vector<std::vector<std::pair<std::size_t, InputSource>>> incoming(count);
    std::size_t total_outputs = 0;
    for (const Edge& e : parts_.edges) {
        const auto& sources = parts_.output_buffer_ids[e.from];
        // An injected node may have fewer outputs than its declared type: such an edge
        // carries nothing.
        if (e.from_port >= sources.size()) continue;
        const std::size_t b = sources[e.from_port];
        incoming[e.to].emplace_back(e.to_port,
                                    InputSource{parts_.pool.buffers[b].data(), &finite_[b]});
    }
    for (const auto& ids : parts_.output_buffer_ids)
        total_outputs += ids.size();
    sources_.reserve(parts_.edges.size());
    ports_.reserve(parts_.edges.size());
    output_views_.reserve(total_outputs);
    output_ids_.reserve(total_outputs);
    for (const NodeId id : parts_.order) {
        auto& list = incoming[id];
        std::stable_sort(list.begin(), list.end(),
                         [](const auto& a, const auto& b) { return a.first < b.first; });
        const std::size_t first_port = ports_.size();
        for (std::size_t i = 0; i < list.size(); ++i) {
            if (i == 0 || list[i].first != list[i - 1].first)
                ports_.push_back(Port{list[i].first, sources_.data() + sources_.size(), 0});
            sources_.push_back(list[i].second);
            ++ports_.back().count;
        }
        // Nodes write straight into their pool buffers: one pass less than a scratch and a copy.
        const std::size_t first_output = output_views_.size();
        for (const std::size_t b : parts_.output_buffer_ids[id]) {
            output_views_.emplace_back(parts_.pool.buffers[b]);
            output_ids_.push_back(b);
        }
        steps_.push_back(Step{
            .node = parts_.nodes[id].get(),
            .first_port = ports_.data() + first_port,
            .last_port = ports_.data() + ports_.size(),
            .outputs = std::span(output_views_).subspan(first_output),
            .output_ids = output_ids_.data() + first_output,
            .clear = !parts_.nodes[id]->fills_outputs(),
        });
    }

    const std::size_t block = parts_.pool.block_size;
    scratch_in_.assign(max_in, std::vector<float>(block, 0.0f));
    scratch_out_.assign(max_out, std::vector<float>(block, 0.0f));
    for (const auto& b : scratch_in_)
        in_views_.emplace_back(b);
    for (auto& b : scratch_out_)
        out_views_.emplace_back(b);
    zeros_.assign(block, 0.0f);
}

DspGraph::DspGraph(DspGraph&&) noexcept = default;
DspGraph& DspGraph::operator=(DspGraph&&) noexcept = default;

void DspGraph::process(std::span<float> out) {
    // Locals, so that the calls into the nodes do not make the loop reload them.
    const std::size_t block = parts_.pool.block_size;
    const std::span<const float> zeros(zeros_);
    std::span<const float>* const in = in_views_.data();
    char* const finite = finite_.data();
    const std::size_t max_in = in_views_.size();
    const std::size_t max_out = out_views_.size();
    for (const Step& step : steps_) {
        DspNode& node = *step.node;
        // Counts are asked at every block; a node that grows them is held to the scratch.
        const std::size_t n_in = std::min(node.num_inputs(), max_in);
        const std::size_t n_out = std::min(node.num_outputs(), max_out);

        // Inputs: the sum of the connected pool buffers, 0.0 where nothing is connected. A sole
        // source vouched for is read in place. Only a sum of several can overflow, so only then
        // is an input not known to be finite.
        std::fill_n(in, n_in, zeros);
        bool finite_inputs = true;
        for (const Port* port = step.first_port; port != step.last_port; ++port) {
            if (port->port >= n_in) continue;
            in[port->port] = port->count == 1 && *port->sources->vouched
                                 ? std::span<const float>(port->sources->data, block)
                                 : gather(*port);
            finite_inputs = finite_inputs && port->count == 1;
        }

        // Outputs start as 0.0, so a node that writes nothing leaves silence; a node that fills
        // all its outputs skips that pass.
        const auto views = step.outputs;
        if (step.clear || n_out < views.size()) {
            for (const auto& v : views)
                std::fill(v.begin(), v.end(), 0.0f);
        }
        const auto inputs = std::span<const std::span<const float>>(in, n_in);
        if (n_out <= views.size()) {
            node.process(inputs, views.first(n_out));
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
        const char vouched = finite_inputs && node.outputs_finite();
        for (std::size_t k = 0; k < views.size(); ++k)
            finite[step.output_ids[k]] = vouched;
    }

    if (!parts_.output_node) return;
    const auto& outputs = parts_.output_buffer_ids[*parts_.output_node];
    if (outputs.empty()) return;
    const auto& src = parts_.pool.buffers[outputs.front()];
    std::copy_n(src.begin(), std::min(block, out.size()), out.begin());
}

std::span<const float> DspGraph::gather(const Port& port) {
    const std::size_t block = parts_.pool.block_size;
    const InputSource* src = port.sources;
    float* dst = scratch_in_[port.port].data();
    if (port.count > 1) {
        // The first source is checked anyway; the others only when one is not vouched for.
        const bool vouched = std::all_of(src + 1, src + port.count,
                                         [](const InputSource& s) { return *s.vouched != 0; });
        (vouched ? sum_unchecked : sum_checked)(dst, src, port.count, block);
    } else if (all_finite(src->data, block)) {
        return {src->data, block};  // read in place: one pass less
    } else {
        copy_finite(dst, src->data, block);
    }
    return {dst, block};
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
