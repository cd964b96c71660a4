#include "pattern_engine/output.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

namespace {

using pattern_engine::event::Cc;
using pattern_engine::event::Control;
using pattern_engine::event::Event;
using pattern_engine::event::Note;
using pattern_engine::event::Osc;
using pattern_engine::event::Value;
using pattern_engine::output::dispatch;
using pattern_engine::output::OutputError;
using pattern_engine::output::OutputSink;
using pattern_engine::output::Result;
using pattern_engine::time::Arc;
using pattern_engine::time::Time;

// Records what it is given; fails every send when `failure` is set.
class RecordingSink final : public OutputSink {
public:
    std::vector<Event<>> sent;
    std::optional<OutputError> failure;

    Result send(const Event<>& event) override {
        if (failure) return std::unexpected(*failure);
        sent.push_back(event);
        return {};
    }
    Result send_note_off(std::uint8_t, std::uint8_t) override { return {}; }
    Result send_clock_tick() override { return {}; }
    Result send_clock_start() override { return {}; }
    Result send_clock_stop() override { return {}; }
    std::string_view name() const override { return "recording"; }
};

Event<> event_of(Value value) {
    const Arc arc{Time(1, 4), Time(1, 2)};
    return Event<>{arc, arc, std::move(value)};
}

TEST(OutputError, DisplayNamesTheKind) {
    EXPECT_EQ(OutputError::midi("send: boom").display(), "MIDI error: send: boom");
    EXPECT_EQ(OutputError::osc("unreachable").display(), "OSC error: unreachable");
}

// Every value with every combination of present sinks: the chosen sink gets the whole event,
// an absent or no sink means success with nothing sent.
TEST(OutputDispatch, RoutesEachValueToItsSinkOrNowhere) {
    enum class To { Midi, Osc, Nowhere };
    const std::vector<std::pair<Value, To>> cases = {
        {Note{2, 60, 100, 0.5}, To::Midi},
        {Cc{3, 7, 100}, To::Midi},
        {Osc{"/x", {1.5, 2, std::string("s")}}, To::Osc},
        {Control{"gain", 0.5f}, To::Nowhere},
    };
    for (const auto& [value, to] : cases) {
        const auto event = event_of(value);
        for (const bool with_midi : {true, false}) {
            for (const bool with_osc : {true, false}) {
                RecordingSink midi, osc;
                EXPECT_TRUE(
                    dispatch(event, with_midi ? &midi : nullptr, with_osc ? &osc : nullptr));
                const std::vector<Event<>> none, just{event};
                EXPECT_EQ(midi.sent, to == To::Midi && with_midi ? just : none);
                EXPECT_EQ(osc.sent, to == To::Osc && with_osc ? just : none);
            }
        }
    }
}

TEST(OutputDispatch, ReturnsTheChosenSinksError) {
    RecordingSink midi, osc;
    midi.failure = OutputError::midi("send: boom");
    osc.failure = OutputError::osc("down");
    EXPECT_EQ(dispatch(event_of(Note{0, 60, 100, 1.0}), &midi, &osc),
              std::unexpected(OutputError::midi("send: boom")));
    EXPECT_EQ(dispatch(event_of(Cc{0, 1, 2}), &midi, &osc),
              std::unexpected(OutputError::midi("send: boom")));
    EXPECT_EQ(dispatch(event_of(Osc{"/x", {}}), &midi, &osc),
              std::unexpected(OutputError::osc("down")));
    EXPECT_TRUE(dispatch(event_of(Control{"gain", 1.0f}), &midi, &osc));
}

}  // namespace
