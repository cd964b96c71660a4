// The main loop: command intake, then timed output and control routing, then a wait until the
// next deadline that a command or MIDI input cuts short.
#include <algorithm>
#include <cmath>
#include <iterator>
#include <limits>
#include <unordered_map>

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

// The due instant of anything the loop keeps pending.
struct DueOf {
    Instant operator()(const pattern_engine::engine::TimedEvent& e) const { return e.due; }
    Instant operator()(const PendingEvent& e) const { return e.at(); }
    Instant operator()(const pattern_engine::engine::CurveOutput& c) const { return c.start; }
    Instant operator()(const NoteOff& n) const { return n.due; }
};

// Pending items are kept as heaps, the earliest due at the front: a pass touches only what is
// due and finds its deadline at once, however much is pending (an absurd tempo files
// thousands of events a pass).
struct Later {
    template <class T>
    bool operator()(const T& a, const T& b) const {
        return DueOf{}(a) > DueOf{}(b);
    }
};

template <class T>
void file(std::vector<T>& heap, T item) {
    heap.push_back(std::move(item));
    std::push_heap(heap.begin(), heap.end(), Later{});
}

template <class T>
void pop(std::vector<T>& heap) {
    std::pop_heap(heap.begin(), heap.end(), Later{});
    heap.pop_back();
}

// Moves the items due at or before `now` into `due`, in due order.
template <class T>
void take_due(std::vector<T>& heap, std::vector<T>& due, Instant now) {
    due.clear();
    while (!heap.empty() && DueOf{}(heap.front()) <= now) {
        std::pop_heap(heap.begin(), heap.end(), Later{});
        due.push_back(std::move(heap.back()));
        heap.pop_back();
    }
}

template <class T>
std::optional<Instant> earliest(const std::vector<T>& heap) {
    if (heap.empty()) return std::nullopt;
    return DueOf{}(heap.front());
}

// Within one pass only the last value per target matters: a burst becomes one command per
// target, so it cannot overflow the audio command ring. Targets keep the order they first came.
template <class Key, class Value>
class LastPerKey {
public:
    void put(Key key, Value value) {
        const auto [at, fresh] = index_.try_emplace(key, items_.size());
        if (fresh)
            items_.emplace_back(std::move(key), std::move(value));
        else
            items_[at->second].second = std::move(value);
    }
    std::vector<std::pair<Key, Value>>& items() { return items_; }

private:
    std::unordered_map<Key, std::size_t> index_;
    std::vector<std::pair<Key, Value>> items_;
};

// The instant a note's note-off is due: dur counts units of four beats at the current tempo.
// One too far off to represent still comes, at shutdown at the latest.
Instant note_off_due(Instant on, const ev::Note& note, double bpm) {
    const double seconds = note.dur * (240.0 / bpm);
    const auto delay = seconds_to_duration(seconds > 0.0 ? seconds : 0.0);
    return delay ? add(on, *delay).value_or(Instant::max()) : Instant::max();
}

bool takes_queue_room(const ev::Value& value) {
    return std::holds_alternative<ev::Note>(value) || std::holds_alternative<ev::Cc>(value);
}

// Entries of a heap of note-offs due at or before `t`: an entry is never due before its
// parent, so only due entries' children are looked at.
std::size_t count_due(const std::vector<NoteOff>& heap, Instant t, std::size_t i = 0) {
    if (i >= heap.size() || heap[i].due > t) return 0;
    return 1 + count_due(heap, t, 2 * i + 1) + count_due(heap, t, 2 * i + 2);
}

void warn(std::string_view text) { support::log::warn(log_target, text); }

}  // namespace

std::uint64_t curve_period_samples(const pattern_engine::scheduler::clock::Clock& clock,
                                   std::uint32_t sample_rate) {
    return to_u64(std::round(clock.cycle_seconds() * sample_rate));
}

std::size_t points_per_cycle(double bpm, std::uint32_t sample_rate) {
    const double points = std::round(240.0 / std::max(bpm, 1.0) * sample_rate * 0.00390625);
    return static_cast<std::size_t>(std::max<std::uint64_t>(1, to_u64(points)));
}

std::uint64_t load_crossfade_samples(double bpm, std::uint32_t sample_rate) {
    return to_u64(std::trunc(60.0 / std::max(bpm, 1.0) * 0.5 * sample_rate));
}

LoopClock monotonic_clock() {
    return {[] { return Instant::clock::now(); },
            [](Instant deadline, support::Wake& wake, support::Wake::Token seen) {
                wake.wait_until(seen, deadline);
            }};
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
      points_per_cycle_(vorla_engine::points_per_cycle(parts.engine.bpm(), parts.sample_rate)),
      wake_(parts.wake ? std::move(parts.wake) : std::make_shared<support::Wake>()) {
    commands_.notify_on_send(wake_);
    inputs_.second.notify_on_send(wake_);
}

void MainLoop::run() {
    // A realtime thread has no timer slack; an ordinary one would wake up to 50 us late.
    support::set_min_timer_slack();
    while (pass()) {
    }
}

bool MainLoop::pass() {
    // Read before anything is taken: whatever arrives after this cuts the wait short.
    const support::Wake::Token seen = wake_->token();
    const Instant now = clock_.now();
    note_offs_waiting_ = false;
    // Commands that found the audio ring full go out first, as far as the audio thread made room.
    audio_.controller().flush();
    if (!take_commands()) {
        end_sounding_notes();
        return false;
    }
    finish_inputs(now);
    engine_.fill(now);
    send_curves(now);
    file_due_events(now);
    apply_due_controls(now);
    send_due_output(now);
    poll_reload();
    send_note_offs(clock_.now());
    send_clock();
    apply_midi_in();
    sleep_until_deadline(seen);
    return true;
}

// ---- command intake ----

bool MainLoop::take_commands() {
    apply_held();
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
    // A curve not started yet belongs to the pattern being replaced too.
    if (std::erase_if(pending_curves_, [&](const auto& c) { return c.slot == slot; }))
        std::make_heap(pending_curves_.begin(), pending_curves_.end(), Later{});
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
                pending_curves_.clear();
                while (!slot_automations_.empty())
                    clear_slot_automations(slot_automations_.begin()->first);
            }
        },
        static_cast<const pattern_engine::engine::EngineCommand::variant&>(command));
    const Instant origin = engine_.clock().origin;
    engine_.apply(std::move(command));
    // A new tempo restarts every slot on a new grid: curves taken for the old one never start.
    if (engine_.clock().origin != origin) pending_curves_.clear();
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
    if (auto r = audio_.handle_message(std::move(message)); !r)
        return std::unexpected("handle_message: " + r.error().display());
    return R("ok");
}

bool MainLoop::apply_audio(ipc::loop::AudioRequest request) {
    if (std::holds_alternative<msg::Shutdown>(request.message)) {
        // Requests still held for their instances are dropped unanswered, like those queued
        // behind the shutdown: waiting for them could mean waiting for a compile.
        held_.clear();
        std::move(request.reply).send(ipc::AudioResult("shutting down"));
        device_.stop();
        return false;
    }
    // A graph whose Faust instances are still being made waits, and every request after it
    // too, so that they keep their order.
    if (!held_.empty() || !audio_.ready_for(request.message)) {
        held_.push_back(std::move(request));
        return true;
    }
    apply_now(std::move(request));
    return true;
}

void MainLoop::apply_held() {
    while (!held_.empty() && audio_.ready_for(held_.front().message)) {
        auto request = std::move(held_.front());
        held_.pop_front();
        apply_now(std::move(request));
    }
}

void MainLoop::apply_now(ipc::loop::AudioRequest request) {
    if (const auto* input = std::get_if<msg::StartInput>(&request.message)) {
        // Answered once the device is done: the loop goes on meanwhile.
        const std::uint64_t id = next_input_id_++;
        pending_inputs_.push_back(
            {id, input->channel, clock_.now() + input_start_timeout, std::move(request.reply)});
        device_.start_input(sample_rate_, input->channel,
                            [tx = inputs_.first, id](InputStarted started) {
                                tx.send({id, std::move(started)});
                            });
        return;
    }
    auto result = audio_result(request.message);
    if (!result) warn(result.error());
    std::move(request.reply).send(std::move(result));
}

void MainLoop::finish_inputs(Instant now) {
    // Results come only for requests still pending (a late one waits for the next request).
    if (pending_inputs_.empty()) return;
    const auto answer = [&](PendingInput& input, ipc::AudioResult result) {
        if (!result) warn(result.error());
        std::move(input.reply).send(std::move(result));
    };
    while (auto done = inputs_.second.try_recv()) {
        auto& [id, started] = *done;
        const auto it = std::find_if(pending_inputs_.begin(), pending_inputs_.end(),
                                     [&](const PendingInput& p) { return p.id == id; });
        if (it == pending_inputs_.end()) continue;  // answered at its deadline already
        const std::string ch = std::to_string(it->channel);
        if (!started.ring) {
            answer(*it, std::unexpected("start_input: " + started.ring.error()));
        } else {
            audio_.controller().inject_node(
                "adc_in",
                std::make_unique<audio_engine::nodes::adc::AdcNode>(std::move(*started.ring)));
            support::log::info(log_target, "audio input started (ch " + ch + ")");
            // The capture runs, but nothing reaches it until the user connects its port.
            answer(*it, "input started (ch " + ch + ")" +
                            (started.unconnected.empty() ? "" : ", but " + started.unconnected));
        }
        pending_inputs_.erase(it);
    }
    std::erase_if(pending_inputs_, [&](PendingInput& p) {
        if (p.deadline > now) return false;
        answer(p, std::unexpected("start_input: the audio device did not answer within " +
                                  std::to_string(input_start_timeout.count()) + " s"));
        return true;
    });
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
    for (auto& curve : engine_.fill_control_curves(now, points_per_cycle_))
        file(pending_curves_, std::move(curve));
    // Each curve starts on its own cycle; of several due at once under one id, the latest.
    take_due(pending_curves_, due_curves_, now);
    if (due_curves_.empty()) return;
    LastPerKey<std::string, pattern_engine::engine::CurveOutput*> latest;
    for (auto& curve : due_curves_)
        latest.put(std::string(engine_.slot_name(curve.slot)) + "/" + curve.label, &curve);
    for (auto& [id, curve] : latest.items())
        send_curve(std::move(*curve), std::move(id), now);
    due_curves_.clear();
}

void MainLoop::send_curve(pattern_engine::engine::CurveOutput curve, std::string id, Instant now) {
    auto& controller = audio_.controller();
    const auto target = controller.resolve_label(curve.label);
    if (!target) return;
    // A curve taken late (its slot set mid-cycle, a long pass) joins its cycle where it is now.
    const std::uint64_t period = curve_period_samples(engine_.clock(), sample_rate_);
    const double late = std::chrono::duration<double>(now - curve.start).count();
    const std::uint64_t position = std::min(to_u64(std::round(late * sample_rate_)), period);
    if (period != 0 && position == period) return;  // its whole cycle is over
    audio_engine::automation::Automation automation{
        .node_id = target->first,
        .control = target->second,
        .shape = audio_engine::automation::shape::Table{std::move(curve.samples)},
        .period = period,
        .position = position,
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

void MainLoop::file_due_events(Instant now) {
    const Instant until = add(now, drain_ahead).value_or(Instant::max());
    for (auto& e : engine_.drain(until)) {
        if (auto control = as_control(e))
            file(pending_controls_, std::move(*control));
        else
            file(pending_output_, std::move(e));
    }
}

void MainLoop::apply_due_controls(Instant now) {
    take_due(pending_controls_, due_controls_, now);
    if (due_controls_.empty()) return;
    LastPerKey<std::string_view, float> values;
    std::optional<float> gain;
    for (const auto& e : due_controls_) {
        if (const auto* c = std::get_if<pending::ControlValue>(&e))
            values.put(c->label, c->value);
        else
            gain = std::get<pending::MasterGain>(e).gain;
    }
    const auto apply = [&](msg::ClientMessage message) {
        if (auto r = audio_.controller().handle_message(std::move(message)); !r)
            warn("dispatch pending: " + r.error().display());
    };
    for (const auto& [label, value] : values.items())
        apply(msg::SetControl{std::string(label), value});
    if (gain) apply(msg::SetMasterGain{*gain});
    due_controls_.clear();
}

void MainLoop::send_due_output(Instant now) {
    take_due(pending_output_, due_output_, now);
    if (!held_output_.empty()) {
        // Held events were refused in an earlier pass: of equal instants they go first.
        merged_output_.clear();
        std::merge(std::make_move_iterator(held_output_.begin()),
                   std::make_move_iterator(held_output_.end()),
                   std::make_move_iterator(due_output_.begin()),
                   std::make_move_iterator(due_output_.end()), std::back_inserter(merged_output_),
                   [](const auto& a, const auto& b) { return a.due < b.due; });
        held_output_.clear();
        std::swap(merged_output_, due_output_);
    }
    // Note-offs due by now that still need their room in the sink's queue.
    std::size_t offs_due = due_output_.empty() ? 0 : count_due(note_offs_, now);
    bool holding = false;
    // The sink frees room once a period: at long periods a few of them bound the wait.
    const Duration held_lateness =
        midi_ ? std::max<Duration>(max_held_lateness, held_periods * midi_->drain_period())
              : Duration(max_held_lateness);
    for (auto& e : due_output_) {
        // One due at or before this event's instant leaves first, so a repeated note is not cut.
        offs_due -= std::min(offs_due, send_note_offs(e.due));
        const auto* note = std::get_if<ev::Note>(&e.event.value);
        // Kept at its own instant when the note-on is late: a legato repeat of the same note,
        // due then, must not be cut by it.
        const std::optional<Instant> off =
            note ? std::optional(note_off_due(e.due, *note, engine_.bpm())) : std::nullopt;
        const std::size_t own = off && *off <= now ? 1 : 0;
        if (midi_ && takes_queue_room(e.event.value) &&
            (holding || midi_->room() < 1 + offs_due + own)) {
            if (now - e.due <= held_lateness) {
                held_output_.push_back(std::move(e));
                holding = true;  // later ones wait behind it: they leave in due order
                continue;
            }
            static const auto late = pattern_engine::output::OutputError::midi(
                "send: the MIDI output queue had no room for it within " +
                std::to_string(max_held_lateness.count()) + " ms (or " +
                std::to_string(held_periods) + " periods) of its due instant");
            refused(late);
            continue;
        }
        if (auto r = pattern_engine::output::dispatch(e.event, midi_.get(), nullptr); !r) {
            refused(r.error());
            continue;
        }
        // Only a note that went out is ended: a stray note-off would cut another one.
        if (off) {
            file(note_offs_, NoteOff{*off, note->channel, note->note});
            offs_due += own;
        }
    }
    due_output_.clear();
    report_refusals(now, false);
}

void MainLoop::refused(const pattern_engine::output::OutputError& error) {
    ++refusals_;
    last_refusal_ = error;  // reuses the text's storage: refusals come in floods
}

void MainLoop::report_refusals(Instant now, bool at_shutdown) {
    if (refusals_ == 0) return;
    if (!at_shutdown && last_refusal_report_ &&
        now - *last_refusal_report_ < refusal_report_interval)
        return;
    std::string line = "midi dispatch: " + last_refusal_.display();
    if (refusals_ > 1) line += " (" + std::to_string(refusals_) + " sends refused)";
    warn(line);
    refusals_ = 0;
    last_refusal_report_ = now;
}

void MainLoop::poll_reload() {
    auto changed = audio_.poll_reload();
    if (!changed)
        warn("poll_reload: " + changed.error());
    else if (!changed->empty())
        refresh_node_types();
}

std::size_t MainLoop::send_note_offs(Instant until) {
    std::size_t sent = 0;
    while (!note_offs_.empty() && note_offs_.front().due <= until) {
        const NoteOff& off = note_offs_.front();
        if (midi_ && !midi_->send_note_off(off.channel, off.note)) {
            note_offs_waiting_ = true;  // it stays, and goes out in a later pass
            break;
        }
        pop(note_offs_);
        ++sent;
    }
    return sent;
}

void MainLoop::send_clock() {
    if (!next_clock_tick_) return;
    const Instant t = clock_.now();
    // At least a nanosecond, so that an absurd tempo cannot stall the pass.
    const Duration interval = std::max(
        seconds_to_duration(60.0 / (engine_.bpm() * 24.0)).value_or(Duration::max()),
        Duration(1));
    std::optional<std::size_t> offs_due;
    for (std::size_t sent = 0; *next_clock_tick_ <= t; ++sent) {
        if (sent == max_clock_burst) {
            next_clock_tick_ = add(t, interval);  // far behind: start again from now
            if (!next_clock_tick_) next_clock_tick_ = Instant::max();
            break;
        }
        // Room the sink frees goes to due note-offs first, those not tried yet included.
        if (midi_) {
            if (!offs_due) offs_due = count_due(note_offs_, t);
            if (midi_->room() > *offs_due) (void)midi_->send_clock_tick();
        }
        next_clock_tick_ = add(*next_clock_tick_, interval).value_or(Instant::max());
        if (*next_clock_tick_ == Instant::max()) break;
    }
}

void MainLoop::apply_midi_in() {
    if (!midi_in_) return;
    LastPerKey<std::string_view, float> values;
    while (const auto triple = midi_in_->try_pop()) {
        const auto [channel, cc, v] = *triple;
        const auto it = midi_cc_map_.find(static_cast<std::uint16_t>(channel << 8 | cc));
        if (it == midi_cc_map_.end()) continue;
        const MidiMapping& m = it->second;
        values.put(m.label, std::fma(m.hi - m.lo, static_cast<float>(v) / 127.0f, m.lo));
    }
    for (const auto& [label, value] : values.items()) {
        if (auto r = audio_.controller().handle_message(msg::SetControl{std::string(label), value});
            !r)
            warn("midi_map dispatch: " + r.error().display());
    }
}

void MainLoop::sleep_until_deadline(support::Wake::Token seen) {
    std::optional<Instant> deadline = engine_.earliest_due();
    const auto consider = [&](std::optional<Instant> t) {
        if (t && (!deadline || *t < *deadline)) deadline = t;
    };
    // What the sink refused (a note-off, or events held for room) is tried again after the
    // fallback wait, not at once: its queue drains a period at a time.
    if (!note_offs_waiting_) consider(earliest(note_offs_));
    consider(next_clock_tick_);
    consider(earliest(pending_output_));
    consider(earliest(pending_controls_));
    consider(earliest(pending_curves_));
    if (!deadline) deadline = clock_.now() + max_sleep;
    const Instant t = clock_.now();
    const Duration d = *deadline > t ? std::min<Duration>(*deadline - t, max_sleep) : Duration{};
    if (d > Duration::zero()) clock_.wait_until(t + d, *wake_, seen);
}

void MainLoop::end_sounding_notes() {
    // Every note that went out ends before the sink closes, whenever its note-off was due;
    // the sink's queue may need a few periods to take them all (none once its server is gone).
    Instant t = clock_.now();
    Instant progress = t;
    while (!note_offs_.empty()) {
        const bool sent = send_note_offs(Instant::max()) > 0;
        t = clock_.now();
        if (sent) progress = t;
        if (note_offs_.empty() || t - progress >= shutdown_note_off_stall ||
            (midi_ && midi_->gone()))
            break;
        clock_.wait_until(t + max_sleep, *wake_, wake_->token());
    }
    report_refusals(t, true);
}

}  // namespace vorla_engine
