#include "audio_engine/swap.hpp"

#include <algorithm>
#include <bit>
#include <cmath>

namespace audio_engine::swap {

namespace {

template <class... F>
struct Overloaded : F... {
    using F::operator()...;
};

}  // namespace

GraphSwapper::GraphSwapper(std::uint64_t crossfade_samples, std::size_t max_block)
    : scratch_a_(max_block, 0.0f),
      scratch_b_(max_block, 0.0f),
      crossfade_(crossfade_samples),
      max_block_(max_block) {
    automations_.reserve(automation_room);
}

void GraphSwapper::drain_commands(command::Command cmd) {
    std::visit(Overloaded{
                   [this](command::SwapGraph& c) { swap_in(std::move(c.graph)); },
                   [this](command::SetParam& c) {
                       for (auto* g : {&current_, &fading_graph_}) {
                           if (!*g) continue;
                           if (const auto i = (*g)->find(c.node_id))
                               (void)(*g)->node(*i).set_param(c.control, c.value);
                       }
                   },
                   [this](command::SetMasterGain& c) { master_gain_ = c.gain; },
                   [this](command::SetCrossfade& c) { crossfade_ = c.samples; },
                   [this](command::SetAutomation& c) { set_automation(c); },
                   [this](command::ClearAutomation& c) {
                       std::erase_if(automations_, [&c](const auto& e) { return e.id == c.id; });
                   },
               },
               static_cast<command::Command::variant&>(cmd));
}

void GraphSwapper::set_automation(command::SetAutomation& c) {
    const auto end = automations_.end();
    auto slot =
        std::find_if(automations_.begin(), end, [&c](const auto& e) { return e.id == c.id; });
    if (slot == end) {
        // A finished entry's room goes to the new id rather than growing the table. It moves to
        // the end by swaps, so the new automation still writes after the older ones.
        slot = std::find_if(automations_.begin(), end,
                            [](const auto& e) { return !e.automation.active; });
        if (slot != end) std::rotate(slot, slot + 1, end);
        slot = slot != end ? end - 1 : automations_.emplace(end);
        slot->id = std::move(c.id);
    }
    slot->automation = std::move(c.automation);
    resolve(*slot);
}

void GraphSwapper::resolve(AutomationEntry& entry) const {
    entry.node = current_ ? current_->find(entry.automation.node_id) : std::nullopt;
    entry.missing = current_ && !entry.node;
}

void GraphSwapper::retire(graph::DspGraph graph) {
    // A graph still waiting in the slot is released here, on the audio thread.
    retired_.reset();
    retired_.emplace(std::move(graph));
}

void GraphSwapper::swap_in(graph::DspGraph graph) {
    if (current_) {
        if (fading_graph_) {
            retire(std::move(*fading_graph_));
            fading_graph_.reset();
        }
        fading_graph_.emplace(std::move(*current_));
        fading_ = true;
        remaining_ = crossfade_;  // a fade in progress restarts from the full length
    }
    // The first graph plays at once, without a fade.
    current_.emplace(std::move(graph));
    for (auto& e : automations_)
        resolve(e);
}

std::optional<graph::DspGraph> GraphSwapper::take_retired() {
    std::optional<graph::DspGraph> out = std::move(retired_);
    retired_.reset();
    return out;
}

void GraphSwapper::run_automations(std::size_t frames) {
    for (auto& e : automations_) {
        auto& a = e.automation;
        if (!a.active) continue;
        // The value is taken where the block begins, and only the current graph gets it.
        if (current_ && e.node && !e.missing) {
            const float value = a.period != 0
                                    ? std::fma(a.hi - a.lo,
                                               a.shape.eval(static_cast<float>(a.position) /
                                                            static_cast<float>(a.period)),
                                               a.lo)
                                    : a.lo;
            const auto r = current_->node(*e.node).set_param(a.control, value);
            if (!r && r.error().kind == graph::node::ParamError::Kind::NotFound) e.missing = true;
        }
        if (a.period == 0) {
            a.active = false;
            continue;
        }
        a.position += frames;
        if (a.position >= a.period) {
            if (a.one_shot) {
                a.position = a.period - 1;
                a.active = false;
            } else {
                a.position %= a.period;
            }
        }
    }
}

void GraphSwapper::process(std::span<float> out) {
    const std::size_t frames = std::min(out.size(), max_block_);
    const auto block = out.first(frames);
    if (!automations_.empty()) run_automations(frames);
    if (frames == 0) return;
    std::fill(block.begin(), block.end(), 0.0f);

    if (fading_) {
        const auto a = std::span<float>(scratch_a_).first(frames);
        const auto b = std::span<float>(scratch_b_).first(frames);
        std::fill(a.begin(), a.end(), 0.0f);
        if (fading_graph_) fading_graph_->process(a);
        std::fill(b.begin(), b.end(), 0.0f);
        if (current_) current_->process(b);
        // Read at every block, so a new length applies to the rest of a fade.
        const float length = static_cast<float>(crossfade_ == 0 ? 1 : crossfade_);
        const float r = static_cast<float>(remaining_);
        for (std::size_t i = 0; i < frames; ++i) {
            const float f = std::max(r - static_cast<float>(i), 0.0f) / length;
            block[i] = std::fma(a[i], f, (1.0f - f) * b[i]);
        }
        if (remaining_ <= frames) {
            fading_ = false;
            remaining_ = 0;
            if (fading_graph_) {
                retire(std::move(*fading_graph_));
                fading_graph_.reset();
            }
        } else {
            remaining_ -= frames;
        }
    } else if (current_) {
        current_->process(block);
    }

    for (float& s : block) {
        const float x = s * master_gain_;
        const bool finite = (std::bit_cast<std::uint32_t>(x) & 0x7FFFFFFFu) < 0x7F800000u;
        s = finite ? std::clamp(x, -1.0f, 1.0f) : 0.0f;
    }
}

}  // namespace audio_engine::swap
