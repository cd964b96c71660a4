#include "pattern_engine/output.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using namespace pattern_engine::event;
using namespace pattern_engine::output;
using pattern_engine::time::Arc;
using pattern_engine::time::Time;

// Records what it is given and answers every send with `answer`.
class RecordingSink final : public OutputSink {
public:
    explicit RecordingSink(OutputError answer) : answer(std::move(answer)) {}
    std::vector<Event<>> sent;
    OutputError answer;

    Result send(const Event<>& event) override {
        sent.push_back(event);
        return std::unexpected(answer);
    }
    Result send_note_off(std::uint8_t, std::uint8_t) override { return {}; }
    Result send_clock_tick() override { return {}; }
    Result send_clock_start() override { return {}; }
    Result send_clock_stop() override { return {}; }
    std::string_view name() const override { return "recording"; }
};

TEST(OutputError, DisplayNamesTheKind) {
    EXPECT_EQ(OutputError::midi("send: boom").display(), "MIDI error: send: boom");
    EXPECT_EQ(OutputError::osc("unreachable").display(), "OSC error: unreachable");
}

// Every value with every combination of present sinks: the chosen sink gets the whole event
// and its answer is the result; an absent or no sink means success with nothing sent.
TEST(OutputDispatch, RoutesEachValueToItsSinkOrNowhere) {
    enum class To { Midi, Osc, Nowhere };
    const std::vector<std::pair<Value, To>> cases = {
        {Note{2, 60, 100, 0.5}, To::Midi},
        {Cc{3, 7, 100}, To::Midi},
        {Osc{"/x", {1.5, 2, std::string("s")}}, To::Osc},
        {Control{"gain", 0.5f}, To::Nowhere},
    };
    const Arc arc{Time(1, 4), Time(1, 2)};
    for (const auto& [value, to] : cases) {
        const Event<> event{arc, arc, value};
        for (const bool with_midi : {true, false}) {
            for (const bool with_osc : {true, false}) {
                RecordingSink midi(OutputError::midi("m")), osc(OutputError::osc("o"));
                const Result r =
                    dispatch(event, with_midi ? &midi : nullptr, with_osc ? &osc : nullptr);
                const bool to_midi = to == To::Midi && with_midi,
                           to_osc = to == To::Osc && with_osc;
                EXPECT_EQ(r, to_midi  ? Result(std::unexpected(midi.answer))
                             : to_osc ? Result(std::unexpected(osc.answer))
                                      : Result());
                const std::vector<Event<>> none, just{event};
                EXPECT_EQ(midi.sent, to_midi ? just : none);
                EXPECT_EQ(osc.sent, to_osc ? just : none);
            }
        }
    }
}

}  // namespace
