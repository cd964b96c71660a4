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
    EXPECT_EQ(OutputError::midi("no MIDI output ports available").display(),
              "MIDI error: no MIDI output ports available");
    EXPECT_EQ(OutputError::midi("send: boom").display(), "MIDI error: send: boom");
    EXPECT_EQ(OutputError::osc("unreachable").display(), "OSC error: unreachable");
    EXPECT_EQ(OutputError::midi("").display(), "MIDI error: ");
    EXPECT_EQ(OutputError::midi("x").kind, OutputError::Kind::Midi);
    EXPECT_EQ(OutputError::osc("x").kind, OutputError::Kind::Osc);
}

TEST(OutputDispatch, NoteAndCcGoToTheMidiSinkWhole) {
    RecordingSink midi, osc;
    const auto note = event_of(Note{2, 60, 100, 0.5});
    const auto cc = event_of(Cc{3, 7, 100});
    ASSERT_TRUE(dispatch(note, &midi, &osc).has_value());
    ASSERT_TRUE(dispatch(cc, &midi, &osc).has_value());
    EXPECT_EQ(midi.sent, (std::vector<Event<>>{note, cc}));
    EXPECT_TRUE(osc.sent.empty());
}

TEST(OutputDispatch, OscGoesToTheOscSink) {
    RecordingSink midi, osc;
    const auto message = event_of(Osc{"/x", {1.5, 2, std::string("s")}});
    ASSERT_TRUE(dispatch(message, &midi, &osc).has_value());
    EXPECT_EQ(osc.sent, std::vector<Event<>>{message});
    EXPECT_TRUE(midi.sent.empty());
}

TEST(OutputDispatch, ControlGoesNowhereAndSucceeds) {
    RecordingSink midi, osc;
    midi.failure = osc.failure = OutputError::midi("must not be called");
    const auto control = event_of(Control{"gain", 0.5f});
    EXPECT_TRUE(dispatch(control, &midi, &osc).has_value());
    EXPECT_TRUE(dispatch(control, nullptr, nullptr).has_value());
    EXPECT_TRUE(midi.sent.empty());
    EXPECT_TRUE(osc.sent.empty());
}

TEST(OutputDispatch, AnAbsentSinkMeansSuccessWithoutOutput) {
    RecordingSink midi, osc;
    EXPECT_TRUE(dispatch(event_of(Osc{"/x", {}}), &midi, nullptr).has_value());
    EXPECT_TRUE(dispatch(event_of(Note{0, 60, 100, 1.0}), nullptr, &osc).has_value());
    EXPECT_TRUE(dispatch(event_of(Cc{0, 1, 2}), nullptr, &osc).has_value());
    EXPECT_TRUE(midi.sent.empty());
    EXPECT_TRUE(osc.sent.empty());
}

TEST(OutputDispatch, ReturnsTheSinksError) {
    RecordingSink midi, osc;
    midi.failure = OutputError::midi("send: boom");
    osc.failure = OutputError::osc("down");
    EXPECT_EQ(dispatch(event_of(Note{0, 60, 100, 1.0}), &midi, &osc),
              std::unexpected(OutputError::midi("send: boom")));
    EXPECT_EQ(dispatch(event_of(Cc{0, 1, 2}), &midi, &osc),
              std::unexpected(OutputError::midi("send: boom")));
    EXPECT_EQ(dispatch(event_of(Osc{"/x", {}}), &midi, &osc),
              std::unexpected(OutputError::osc("down")));
}

}  // namespace
