#include "audio_engine/engine.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#if defined(__SSE__) || defined(_M_X64)
#include <xmmintrin.h>
#endif

#include "audio_engine/nodes/adc.hpp"
#include "audio_engine/nodes/dac.hpp"
#include "audio_engine/nodes/gain.hpp"
#include "audio_engine/nodes/oscillator.hpp"
#include "support/debug.hpp"
#include "support/log.hpp"
#include "support/number.hpp"

namespace audio_engine::engine {

namespace {

constexpr std::string_view target = "audio_engine::engine";

namespace msg = protocol;
namespace cmd = swap::command;

template <class... F>
struct Overloaded : F... {
    using F::operator()...;
};

std::string number(float v) {
    return support::number::message(v);
}

std::string connection_text(std::string_view prefix, const std::string& from_node,
                            const std::string& from_port, const std::string& to_node,
                            const std::string& to_port) {
    return std::string(prefix) + from_node + ":" + from_port + " -> " + to_node + ":" + to_port;
}

std::string controls_debug(const std::map<std::string, float>& controls) {
    std::string out = "{";
    bool first = true;
    for (const auto& [name, value] : controls) {
        if (!first) out += ", ";
        first = false;
        support::debug::append_quoted(out, name);
        out += ": ";
        support::number::append_debug(out, value);
    }
    return out + "}";
}

automation::AutoShape shape_of(std::string_view text) {
    using namespace automation::shape;
    if (text == "tri") return Tri{};
    if (text == "ramp") return Ramp{};
    if (text == "ramp_down") return RampDown{};
    if (text == "square") return Square{};
    if (text == "exp") return Exp{};
    return Sine{};
}

// Flush-to-zero and denormals-are-zero for one render; the caller's mode comes back on exit.
class FlushDenormals {
public:
#if defined(__SSE__) || defined(_M_X64)
    FlushDenormals() : saved_(_mm_getcsr()) {
        _mm_setcsr(saved_ | 0x8040u);  // FTZ | DAZ
    }
    ~FlushDenormals() {
        _mm_setcsr(saved_);
    }

private:
    unsigned saved_;
#elif defined(__aarch64__)
    FlushDenormals() {
        asm volatile("mrs %0, fpcr" : "=r"(saved_));
        asm volatile("msr fpcr, %0" : : "r"(saved_ | (std::uint64_t{1} << 24)));  // FZ
    }
    ~FlushDenormals() {
        asm volatile("msr fpcr, %0" : : "r"(saved_));
    }

private:
    std::uint64_t saved_;
#endif
};

std::uint64_t period_samples(double seconds, std::uint32_t sample_rate) {
    if (!(seconds > 0.0) || !std::isfinite(seconds)) return 0;
    const double samples = seconds * static_cast<double>(sample_rate);
    if (samples >= 18446744073709551616.0) return std::numeric_limits<std::uint64_t>::max();
    return static_cast<std::uint64_t>(samples);
}

}  // namespace

std::string_view Names::intern(std::string_view text) {
    auto it = texts_.find(text);
    if (it == texts_.end()) it = texts_.emplace(text).first;
    return *it;
}

EngineController::EngineController(EngineConfig config, std::shared_ptr<CommandRing> commands,
                                   std::shared_ptr<RetiredRing> retired,
                                   std::shared_ptr<Names> names)
    : commands_(std::move(commands)),
      retired_(std::move(retired)),
      names_(std::move(names)),
      config_(config) {}

bool EngineController::push(cmd::Command& command, std::optional<std::string>& label) {
    const auto& c = static_cast<const cmd::Command::variant&>(command);
    const auto* param = std::get_if<cmd::SetParam>(&c);
    const auto* gain = std::get_if<cmd::SetMasterGain>(&c);
    const float value = param ? param->value : gain ? gain->gain : 0.0f;
    const bool is_gain = gain != nullptr;
    if (!commands_->try_push(std::move(command))) return false;
    if (label) sent_values_.insert_or_assign(std::move(*label), value);
    if (is_gain) master_gain_ = value;
    return true;
}

void EngineController::send(cmd::Command command, std::optional<std::string> label) {
    if (flush() == 0 && push(command, label)) return;
    wait(std::move(command), std::move(label));
}

std::optional<EngineController::Key> EngineController::key_of(const cmd::Command& command) const {
    return std::visit(Overloaded{
                          [](const cmd::SetParam& c) -> std::optional<Key> {
                              return Key{KeyKind::Control, c.node_id, c.control};
                          },
                          [this](const cmd::SetAutomation& c) -> std::optional<Key> {
                              return Key{KeyKind::Automation, names_->intern(c.id), {}};
                          },
                          [](const cmd::SetMasterGain&) -> std::optional<Key> {
                              return Key{KeyKind::Gain, {}, {}};
                          },
                          [](const cmd::SetCrossfade&) -> std::optional<Key> {
                              return Key{KeyKind::Crossfade, {}, {}};
                          },
                          [](const auto&) -> std::optional<Key> { return std::nullopt; },
                      },
                      static_cast<const cmd::Command::variant&>(command));
}

void EngineController::wait(cmd::Command command, std::optional<std::string> label) {
    if (backlog_.empty()) support::log::debug(target, "command ring full, commands wait for room");
    const auto& c = static_cast<const cmd::Command::variant&>(command);
    const std::uint64_t next = first_waiting_ + backlog_.size();
    std::uint64_t at = next;
    if (const auto key = key_of(command)) {
        // A value may not overtake an automation of its control: the automation writes it too.
        const auto automation = automations_at_.find(*key);
        const auto [it, fresh] = waiting_.try_emplace(*key, next);
        if (!fresh && it->second >= std::max(first_waiting_, overtake_from_) &&
            (automation == automations_at_.end() || automation->second < it->second))
            at = it->second;
        it->second = at;
    } else {
        overtake_from_ = next + 1;  // swaps and clears: nothing overtakes them
    }
    if (const auto* a = std::get_if<cmd::SetAutomation>(&c)) {
        const Key control{KeyKind::Control, names_->intern(a->automation.node_id),
                          names_->intern(a->automation.control)};
        auto& last = automations_at_.try_emplace(control, at).first->second;
        last = std::max(last, at);
    }
    if (at == next) {
        backlog_.push_back(Waiting{std::move(command), std::move(label)});
    } else {
        backlog_[at - first_waiting_] = Waiting{std::move(command), std::move(label)};
    }
}

std::size_t EngineController::flush() {
    if (backlog_.empty()) return 0;  // the usual case, once per pass
    while (!backlog_.empty() && push(backlog_.front().command, backlog_.front().label)) {
        backlog_.pop_front();
        ++first_waiting_;
    }
    if (backlog_.empty()) {
        waiting_.clear();
        automations_at_.clear();
    }
    return backlog_.size();
}

std::string EngineController::labels_debug() const {
    std::string out = "[";
    bool first = true;
    for (const auto& [label, where] : labels_) {
        if (!first) out += ", ";
        first = false;
        support::debug::append_quoted(out, label);
    }
    return out + "]";
}

bool EngineController::apply_edit(msg::ClientMessage& message) {
    return std::visit(
        Overloaded{
            [this](msg::AddNode& m) {
                graph_.nodes.push_back(
                    ir::NodeInstance{std::move(m.id), std::move(m.type_id), std::move(m.controls)});
                return true;
            },
            [this](msg::RemoveNode& m) {
                std::erase_if(graph_.nodes, [&m](const auto& n) { return n.id == m.id; });
                std::erase_if(graph_.connections, [&m](const auto& c) {
                    return c.from_node == m.id || c.to_node == m.id;
                });
                return true;
            },
            [this](msg::Connect& m) {
                graph_.connections.push_back(
                    ir::ConnectionIr{std::move(m.from_node), std::move(m.from_port),
                                     std::move(m.to_node), std::move(m.to_port)});
                return true;
            },
            [this](msg::Disconnect& m) {
                const ir::ConnectionIr gone{m.from_node, m.from_port, m.to_node, m.to_port};
                std::erase(graph_.connections, gone);
                return true;
            },
            [this](msg::ExposeControl& m) {
                labels_.insert_or_assign(
                    std::move(m.label), std::pair{std::move(m.node_id), std::move(m.control_name)});
                return true;
            },
            [](auto&) { return false; },
        },
        static_cast<msg::ClientMessage::variant&>(message));
}

Result EngineController::handle_message(msg::ClientMessage message) {
    using support::log::debug;
    auto& m = static_cast<msg::ClientMessage::variant&>(message);
    if (auto* load = std::get_if<msg::LoadGraph>(&m)) {
        support::log::info(target,
                           "load_graph: " + std::to_string(load->graph.nodes.size()) + " nodes, " +
                               std::to_string(load->graph.connections.size()) + " connections, " +
                               std::to_string(load->graph.exposed_controls.size()) + " controls");
        labels_ = load->graph.exposed_controls;
        graph_ = std::move(load->graph);
        auto result = recompile_and_send();
        if (result) support::log::info(target, "graph compiled — exposed: " + labels_debug());
        return result;
    }
    if (auto* add = std::get_if<msg::AddNode>(&m)) {
        debug(target, "add_node: id=" + add->id + ", type=" + add->type_id +
                          ", controls=" + controls_debug(add->controls));
    } else if (auto* remove = std::get_if<msg::RemoveNode>(&m)) {
        debug(target, "remove_node: " + remove->id);
    } else if (auto* c = std::get_if<msg::Connect>(&m)) {
        debug(target,
              connection_text("connect: ", c->from_node, c->from_port, c->to_node, c->to_port));
    } else if (auto* d = std::get_if<msg::Disconnect>(&m)) {
        debug(target,
              connection_text("disconnect: ", d->from_node, d->from_port, d->to_node, d->to_port));
    } else if (auto* e = std::get_if<msg::ExposeControl>(&m)) {
        debug(target, "expose_control: " + e->label + " -> " + e->node_id + ":" + e->control_name);
        apply_edit(message);
        return {};
    }
    if (apply_edit(message)) return recompile_and_send();

    if (auto* set = std::get_if<msg::SetControl>(&m)) {
        const auto it = labels_.find(set->label);
        if (it == labels_.end()) {
            support::log::warn(target, "set_control: unknown label '" + set->label +
                                           "', available: " + labels_debug());
            return {};
        }
        const auto& [node_id, control] = it->second;
        debug(target, "set_control: " + set->label + "=" + number(set->value) + " (-> " + node_id +
                          ":" + control + ")");
        control_values_.insert_or_assign(set->label, set->value);
        send(swap::command::SetParam{names_->intern(node_id), names_->intern(control), set->value},
             std::move(set->label));
        return {};
    }
    if (auto* gain = std::get_if<msg::SetMasterGain>(&m)) {
        debug(target, "set_master_gain: " + number(gain->gain));
        send(swap::command::SetMasterGain{gain->gain});
        return {};
    }
    if (auto* batch = std::get_if<msg::GraphBatch>(&m)) {
        debug(target, "graph_batch: " + std::to_string(batch->commands.size()) + " commands");
        for (auto& inner : batch->commands) {
            if (!apply_edit(inner)) {
                support::log::warn(
                    target, "GraphBatch: ignoring non-mutation message: " + protocol::debug(inner));
            }
        }
        return recompile_and_send();
    }
    if (auto* a = std::get_if<msg::SetAutomation>(&m)) {
        const auto it = labels_.find(a->label);
        if (it == labels_.end()) {
            support::log::warn(target, "set_automation: unknown label '" + a->label +
                                           "', available: " + labels_debug());
            return {};
        }
        const auto& [node_id, control] = it->second;
        const std::uint64_t period = period_samples(a->period_secs, config_.sample_rate);
        debug(target, "set_automation: " + a->id + " -> " + node_id + "/" + control +
                          " shape=" + a->shape + " lo=" + number(a->lo) + " hi=" + number(a->hi) +
                          " period=" + std::to_string(period) + "samp");
        send(swap::command::SetAutomation{
            std::move(a->id), automation::Automation{node_id, control, shape_of(a->shape), period,
                                                     0, a->lo, a->hi, true, a->one_shot}});
        return {};
    }
    if (auto* clear = std::get_if<msg::ClearAutomation>(&m)) {
        debug(target, "clear_automation: " + clear->id);
        send(swap::command::ClearAutomation{std::move(clear->id)});
        return {};
    }
    if (std::holds_alternative<msg::ListNodes>(m)) {
        debug(target, "list_nodes (reply handled by caller)");
    } else if (std::holds_alternative<msg::Ping>(m)) {
        debug(target, "ping");
    } else if (std::holds_alternative<msg::StartInput>(m)) {
        debug(target, "start_input (handled by caller)");
    } else if (std::holds_alternative<msg::MidiMap>(m)) {
        debug(target, "midi_map (handled by caller)");
    } else if (std::holds_alternative<msg::Shutdown>(m)) {
        debug(target, "shutdown");
    }
    // register_node_type is accepted and has no effect.
    return {};
}

Result EngineController::recompile_and_send() {
    // Only the newest handed-back graph is kept for reuse; older ones are released here.
    while (auto back = retired_->try_pop())
        held_ = std::move(back);

    std::optional<graph::DspGraph> previous = std::move(held_);
    held_.reset();
    auto compiled = graph::compiler::compile_with_reuse_and_injected(
        graph_, registry_, std::move(previous), injected_, config_.sample_rate, config_.max_block);
    if (!compiled) return std::unexpected(std::move(compiled.error()));

    // Stored values override the description's, wherever their label still resolves.
    for (const auto& [label, value] : control_values_) {
        const auto it = labels_.find(label);
        if (it == labels_.end() || it->second.second == "gate") continue;
        (void)compiled->set_param(it->second.first, it->second.second, value);
    }
    send(swap::command::SwapGraph{std::move(*compiled)});
    return {};
}

void EngineController::inject_node(std::string id, std::unique_ptr<graph::node::DspNode> node) {
    injected_.insert_or_assign(std::move(id), std::move(node));
}

std::optional<std::pair<std::string, std::string>> EngineController::resolve_label(
    std::string_view label) const {
    const auto it = labels_.find(std::string(label));
    if (it == labels_.end()) return std::nullopt;
    return it->second;
}

std::vector<std::string> EngineController::list_node_types() const {
    return registry_.type_ids();
}

void EngineController::send_automation(std::string id, automation::Automation automation) {
    send(swap::command::SetAutomation{std::move(id), std::move(automation)});
}

void EngineController::clear_automation(std::string id) {
    send(swap::command::ClearAutomation{std::move(id)});
}

void EngineController::set_crossfade_samples(std::uint64_t samples) {
    send(swap::command::SetCrossfade{samples});
}

EngineSnapshot EngineController::snapshot() const {
    return EngineSnapshot{graph_.nodes, graph_.connections, labels_, sent_values_};
}

AudioProcessor::AudioProcessor(swap::GraphSwapper swapper, std::shared_ptr<CommandRing> commands,
                               std::shared_ptr<RetiredRing> retired,
                               std::shared_ptr<const Names> names)
    : swapper_(std::move(swapper)),
      commands_(std::move(commands)),
      retired_(std::move(retired)),
      names_(std::move(names)) {}

void AudioProcessor::process(std::span<float> out) {
    const FlushDenormals flush;
    // Only the commands present now: the control thread may keep pushing meanwhile.
    for (std::size_t n = commands_->size(); n > 0; --n) {
        auto command = commands_->try_pop();
        if (!command) break;
        swapper_.drain_commands(std::move(*command));
    }
    swapper_.process(out);
    if (auto retired = swapper_.take_retired()) {
        // A full ring releases the graph here; the control thread has not caught up.
        (void)retired_->try_push(std::move(*retired));
    }
}

void register_builtin_types(registry::NodeRegistry& reg) {
    (void)reg.register_type(nodes::oscillator::oscillator_type_decl(),
                            std::make_unique<nodes::oscillator::OscillatorFactory>());
    (void)reg.register_type(nodes::dac::dac_type_decl(),
                            std::make_unique<nodes::dac::DacFactory>());
    (void)reg.register_type(nodes::gain::gain_type_decl(),
                            std::make_unique<nodes::gain::GainFactory>());
    reg.register_type_only(nodes::adc::adc_type_decl());
}

std::pair<EngineController, AudioProcessor> engine(EngineConfig config) {
    auto commands = std::make_shared<CommandRing>(command_ring_slots);
    auto retired = std::make_shared<RetiredRing>(retired_ring_slots);
    auto names = std::make_shared<Names>();
    EngineController controller(config, commands, retired, names);
    register_builtin_types(controller.registry());
    const std::uint64_t crossfade =
        static_cast<std::uint64_t>(config.sample_rate) * config.crossfade_ms / 1000;
    AudioProcessor processor(swap::GraphSwapper(crossfade, config.max_block), std::move(commands),
                             std::move(retired), std::move(names));
    return {std::move(controller), std::move(processor)};
}

}  // namespace audio_engine::engine
