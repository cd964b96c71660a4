// The main loop: command intake, then timed output and control routing, then a short sleep.
#include <cmath>
#include <limits>
#include <thread>

#include "audio_engine/nodes/adc.hpp"
#include "pattern_engine/scheduler/clock.hpp"
#include "support/log.hpp"
#include "support/number.hpp"
#include "vorla_engine/host.hpp"

namespace vorla_engine {

namespace {

namespace cmd = pattern_engine::engine::command;
namespace msg = audio_engine::protocol;
namespace ev = pattern_engine::event;
using pattern_engine::scheduler::clock::seconds_to_duration;

// Saturating, as a float-to-integer conversion that never overflows (NaN gives 0).
std::uint64_t to_u64(double x) {
    if (!(x > 0.0)) return 0;
    if (x >= 18446744073709551615.0) return std::numeric_limits<std::uint64_t>::max();
    return static_cast<std::uint64_t>(x);
}

// `t` + `d`, none beyond the clock's range.
std::optional<Instant> add(Instant t, Duration d) {
    if (d > Instant::max() - t) return std::nullopt;
    return t + d;
}

// The float an OSC number argument carries.
std::optional<float> number_arg(const ev::OscArg& arg) {
    if (const auto* f = std::get_if<double>(&arg)) return static_cast<float>(*f);
    if (const auto* i = std::get_if<std::int32_t>(&arg)) return static_cast<float>(*i);
    return std::nullopt;
}

// The control change an event becomes, none for an output event.
std::optional<PendingEvent> as_control(const pattern_engine::engine::TimedEvent& e) {
    const auto& value = e.event.value;
    if (const auto* c = std::get_if<ev::Control>(&value))
        return pending::ControlValue{c->label, c->value, e.due};
    const auto* osc = std::get_if<ev::Osc>(&value);
    if (!osc) return std::nullopt;
    const auto& args = osc->args();
    if (osc->address() == "/audio/set" && args.size() >= 2) {
        const auto* label = std::get_if<std::string>(&args[0]);
        const auto v = number_arg(args[1]);
        if (label && v) return pending::ControlValue{*label, *v, e.due};
    } else if (osc->address() == "/audio/gain" && !args.empty()) {
        if (const auto g = number_arg(args[0])) return pending::MasterGain{*g, e.due};
    }
    return std::nullopt;
}

// Removes every item due at or before `now` (the last item moves into the gap) and hands it
// to `apply`.
template <class T, class At, class Apply>
void take_due(std::vector<T>& items, Instant now, At at, Apply apply) {
    for (std::size_t i = 0; i < items.size();) {
        if (at(items[i]) > now) {
            ++i;
            continue;
        }
        T item = std::move(items[i]);
        if (i + 1 != items.size()) items[i] = std::move(items.back());
        items.pop_back();
        apply(std::move(item));
    }
}

void warn(std::string_view text) { support::log::warn(log_target, text); }

}  // namespace

std::uint64_t curve_period_samples(double bpm, std::uint32_t sample_rate) {
    return to_u64(std::round(240.0 / bpm * sample_rate));
}

std::size_t points_per_cycle(double bpm, std::uint32_t sample_rate) {
    const double points = std::round(240.0 / std::max(bpm, 1.0) * sample_rate * 0.00390625);
    return static_cast<std::size_t>(std::max<std::uint64_t>(1, to_u64(points)));
}

std::uint64_t load_crossfade_samples(double bpm, std::uint32_t sample_rate) {
    return to_u64(std::trunc(60.0 / std::max(bpm, 1.0) * 0.5 * sample_rate));
}

void precise_sleep(Duration d) {
    // Timer sleeps overshoot by up to about the kernel's timer slack: spin the last stretch.
    constexpr auto spin = std::chrono::microseconds(120);
    const Instant end = Instant::clock::now() + d;
    if (d > spin) std::this_thread::sleep_for(d - spin);
    while (Instant::clock::now() < end) std::this_thread::yield();
}

LoopClock monotonic_clock() {
    return {[] { return Instant::clock::now(); }, precise_sleep};
}

MainLoop::MainLoop(LoopParts parts)
    : engine_(parts.engine),
      audio_(parts.audio),
      device_(parts.device),
      sample_rate_(parts.sample_rate),
      clock_(std::move(parts.clock)),
      node_types_(std::move(parts.node_types)),
      commands_(std::move(parts.commands)),
      ipc_(std::move(parts.ipc)),
      midi_(std::move(parts.midi)),
      midi_in_(std::move(parts.midi_in)),
      next_clock_tick_(parts.next_clock_tick),
      points_per_cycle_(vorla_engine::points_per_cycle(parts.engine.bpm(), parts.sample_rate)) {}

bool MainLoop::pass() {
    const Instant now = clock_.now();
    if (!take_commands()) return false;
    engine_.fill(now);
    send_curves(now);
    file_due_events(now);
    apply_due_controls(now);
    send_due_output(now);
    poll_reload();
    send_note_offs();
    send_clock();
    apply_midi_in();
    sleep_until_deadline();
    return true;
}

// ---- command intake ----

bool MainLoop::take_commands() {
    while (auto command = commands_.try_recv()) {
        const bool go_on = std::visit(
            [&](auto& c) {
                using C = std::decay_t<decltype(c)>;
                if constexpr (std::is_same_v<C, ipc::loop::PatternCommand>) {
                    apply_pattern(std::move(c.command));
                } else if constexpr (std::is_same_v<C, ipc::loop::AudioRequest>) {
                    return apply_audio(std::move(c));
                } else {
                    answer_state(std::move(c));
                }
                return true;
            },
            static_cast<LoopCommand::variant&>(*command));
        if (!go_on) return false;
    }
    return true;
}

void MainLoop::clear_slot_automations(std::size_t slot) {
    const auto it = slot_automations_.find(slot);
    if (it == slot_automations_.end()) return;
    auto ids = std::move(it->second);
    slot_automations_.erase(it);
    for (auto& id : ids) audio_.controller().clear_automation(std::move(id));
}

void MainLoop::apply_pattern(pattern_engine::engine::EngineCommand command) {
    std::visit(
        [&](const auto& c) {
            using C = std::decay_t<decltype(c)>;
            if constexpr (requires { c.slot; }) {
                if (const auto slot = engine_.slot_idx(c.slot)) clear_slot_automations(*slot);
            } else if constexpr (std::is_same_v<C, cmd::HushAll>) {
                while (!slot_automations_.empty())
                    clear_slot_automations(slot_automations_.begin()->first);
            }
        },
        static_cast<const pattern_engine::engine::EngineCommand::variant&>(command));
    engine_.apply(std::move(command));
    points_per_cycle_ = vorla_engine::points_per_cycle(engine_.bpm(), sample_rate_);
}

void MainLoop::refresh_node_types() {
    node_types_->set(audio_.controller().list_node_types());
}

ipc::AudioResult MainLoop::audio_result(msg::ClientMessage& message) {
    using R = ipc::AudioResult;
    auto& controller = audio_.controller();
    if (auto* load = std::get_if<msg::LoadGraph>(&message)) {
        controller.set_crossfade_samples(load_crossfade_samples(engine_.bpm(), sample_rate_));
        if (auto r = audio_.load_graph(std::move(load->graph)); !r)
            return std::unexpected("load_graph: " + r.error());
        refresh_node_types();
        return R("graph loaded");
    }
    if (const auto* input = std::get_if<msg::StartInput>(&message)) {
        const std::string ch = std::to_string(input->channel);
        auto ring = device_.start_input(sample_rate_, input->channel);
        if (!ring) return std::unexpected("start_input: " + ring.error());
        controller.inject_node("adc_in",
                               std::make_unique<audio_engine::nodes::adc::AdcNode>(*ring));
        support::log::info(log_target, "audio input started (ch " + ch + ")");
        return R("input started (ch " + ch + ")");
    }
    if (auto* map = std::get_if<msg::MidiMap>(&message)) {
        const std::string pair =
            "midi_map: ch" + std::to_string(map->channel) + " cc" + std::to_string(map->cc);
        support::log::info(log_target, pair + " \u2192 [" + support::number::message(map->lo) +
                                           ", " + support::number::message(map->hi) + "]");
        std::string reply = pair + " \u2192 " + map->label;
        midi_cc_map_[static_cast<std::uint16_t>(map->channel << 8 | map->cc)] =
            MidiMapping{std::move(map->label), map->lo, map->hi};
        return R(std::move(reply));
    }
    if (auto r = controller.handle_message(std::move(message)); !r)
        return std::unexpected("handle_message: " + r.error().display());
    return R("ok");
}

bool MainLoop::apply_audio(ipc::loop::AudioRequest request) {
    if (std::holds_alternative<msg::Shutdown>(request.message)) {
        std::move(request.reply).send(ipc::AudioResult("shutting down"));
        device_.stop();
        return false;
    }
    auto result = audio_result(request.message);
    if (!result) warn(result.error());
    std::move(request.reply).send(std::move(result));
    return true;
}

void MainLoop::answer_state(ipc::loop::StateRequest request) {
    auto& controller = audio_.controller();
    std::vector<ipc::SlotInfo> slots;
    for (auto& [name, playing] : engine_.slot_info())
        slots.push_back(ipc::SlotInfo{std::move(name), playing});
    std::move(request.reply)
        .send(ipc::build_state_response(controller.snapshot(), std::move(slots), engine_.bpm(),
                                        status_meter, controller.master_gain()));
}

// ---- timed output ----

void MainLoop::send_curves(Instant now) {
    auto& controller = audio_.controller();
    for (auto& curve : engine_.fill_control_curves(now, points_per_cycle_)) {
        const auto target = controller.resolve_label(curve.label);
        if (!target) continue;
        std::string id = std::string(engine_.slot_name(curve.slot)) + "/" + curve.label;
        audio_engine::automation::Automation automation{
            .node_id = target->first,
            .control = target->second,
            .shape = audio_engine::automation::shape::Table{std::move(curve.samples)},
            .period = curve_period_samples(engine_.bpm(), sample_rate_),
            .position = 0,
            .lo = 0.0f,
            .hi = 1.0f,
            .active = true,
            .one_shot = true,
        };
        controller.send_automation(id, std::move(automation));
        // Each cycle sends the same ids again: record each once, so the list stays bounded.
        auto& ids = slot_automations_[curve.slot];
        if (std::find(ids.begin(), ids.end(), id) == ids.end()) ids.push_back(std::move(id));
    }
}

void MainLoop::file_due_events(Instant now) {
    const Instant until = add(now, drain_ahead).value_or(Instant::max());
    for (auto& e : engine_.drain(until)) {
        if (auto control = as_control(e))
            pending_controls_.push_back(std::move(*control));
        else
            pending_output_.push_back(std::move(e));
    }
}

void MainLoop::apply_due_controls(Instant now) {
    take_due(pending_controls_, now, [](const PendingEvent& e) { return e.at(); },
             [&](PendingEvent e) {
                 auto message = std::visit(
                     [](auto& c) -> msg::ClientMessage {
                         if constexpr (std::is_same_v<std::decay_t<decltype(c)>,
                                                      pending::ControlValue>)
                             return msg::SetControl{std::move(c.label), c.value};
                         else
                             return msg::SetMasterGain{c.gain};
                     },
                     e);
                 if (auto r = audio_.controller().handle_message(std::move(message)); !r)
                     warn("dispatch pending: " + r.error().display());
             });
}

void MainLoop::send_due_output(Instant now) {
    take_due(pending_output_, now, [](const auto& e) { return e.due; },
             [&](pattern_engine::engine::TimedEvent e) {
                 if (const auto* note = std::get_if<ev::Note>(&e.event.value)) {
                     // dur counts units of four beats at the current tempo.
                     const double seconds = note->dur * (240.0 / engine_.bpm());
                     const auto delay = seconds_to_duration(seconds > 0.0 ? seconds : 0.0);
                     if (const auto due = delay ? add(e.due, *delay) : std::nullopt)
                         note_offs_.push(NoteOff{*due, note->channel, note->note});
                 }
                 if (auto r = pattern_engine::output::dispatch(e.event, midi_.get(), nullptr); !r)
                     warn("midi dispatch: " + r.error().display());
             });
}

void MainLoop::poll_reload() {
    auto changed = audio_.poll_reload();
    if (!changed)
        warn("poll_reload: " + changed.error());
    else if (!changed->empty())
        refresh_node_types();
}

void MainLoop::send_note_offs() {
    const Instant t = clock_.now();
    while (!note_offs_.empty() && note_offs_.top().due <= t) {
        if (midi_) (void)midi_->send_note_off(note_offs_.top().channel, note_offs_.top().note);
        note_offs_.pop();
    }
}

void MainLoop::send_clock() {
    if (!next_clock_tick_) return;
    const Instant t = clock_.now();
    // At least a nanosecond, so that an absurd tempo cannot stall the pass.
    const Duration interval = std::max(
        seconds_to_duration(60.0 / (engine_.bpm() * 24.0)).value_or(Duration::max()),
        Duration(1));
    for (std::size_t sent = 0; *next_clock_tick_ <= t; ++sent) {
        if (sent == max_clock_burst) {
            next_clock_tick_ = add(t, interval);  // far behind: start again from now
            if (!next_clock_tick_) next_clock_tick_ = Instant::max();
            break;
        }
        if (midi_) (void)midi_->send_clock_tick();
        next_clock_tick_ = add(*next_clock_tick_, interval).value_or(Instant::max());
        if (*next_clock_tick_ == Instant::max()) break;
    }
}

void MainLoop::apply_midi_in() {
    if (!midi_in_) return;
    while (const auto triple = midi_in_->try_pop()) {
        const auto [channel, cc, v] = *triple;
        const auto it = midi_cc_map_.find(static_cast<std::uint16_t>(channel << 8 | cc));
        if (it == midi_cc_map_.end()) continue;
        const MidiMapping& m = it->second;
        const float value = std::fma(m.hi - m.lo, static_cast<float>(v) / 127.0f, m.lo);
        if (auto r = audio_.controller().handle_message(msg::SetControl{m.label, value}); !r)
            warn("midi_map dispatch: " + r.error().display());
    }
}

void MainLoop::sleep_until_deadline() {
    std::optional<Instant> deadline = engine_.earliest_due();
    const auto earliest = [&](std::optional<Instant> t) {
        if (t && (!deadline || *t < *deadline)) deadline = t;
    };
    if (!note_offs_.empty()) earliest(note_offs_.top().due);
    earliest(next_clock_tick_);
    for (const auto& e : pending_output_) earliest(e.due);
    for (const auto& e : pending_controls_) earliest(e.at());
    if (!deadline) deadline = clock_.now() + max_sleep;
    const Instant t = clock_.now();
    const Duration d = *deadline > t ? std::min<Duration>(*deadline - t, max_sleep) : Duration{};
    if (d > Duration::zero()) clock_.sleep(d);
}

}  // namespace vorla_engine
