#include "pattern_engine/output/midi.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "jack_rig/jack_rig.hpp"

namespace {

using jack_rig::JackClient;
using jack_rig::JackServer;
using jack_rig::PortType;
using pattern_engine::event::Cc;
using pattern_engine::event::Control;
using pattern_engine::event::Event;
using pattern_engine::event::Note;
using pattern_engine::event::Osc;
using pattern_engine::event::Value;
using pattern_engine::output::dispatch;
using pattern_engine::output::OutputError;
using pattern_engine::output::OutputSink;
using pattern_engine::output::midi::MidiSink;
using pattern_engine::time::Arc;
using pattern_engine::time::Time;
using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;

constexpr const char* kSinkPort = "vorla-engine:pattern-engine";

Event<> event_of(Value value) {
    const Arc arc{Time(0, 1), Time(1, 1)};
    return Event<>{arc, arc, std::move(value)};
}

std::vector<Bytes> bytes_of(const std::vector<jack_rig::MidiEvent>& events) {
    std::vector<Bytes> out;
    for (const auto& e : events)
        out.push_back(e.bytes);
    return out;
}

// Connections reach other clients' view of the graph asynchronously.
bool eventually_connected(const JackClient& rig, const std::string& port,
                          const std::vector<std::string>& expected) {
    const auto deadline = std::chrono::steady_clock::now() + 2s;
    while (rig.connections(port) != expected) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(5ms);
    }
    return true;
}

// A private server and the rig's client, which registers its MIDI input port(s) before the
// sink looks for ports, so they are the only MIDI destinations there are.
class MidiSinkTest : public ::testing::Test {
protected:
    void SetUp() override {
        auto s = JackServer::start();
        ASSERT_TRUE(s.has_value()) << s.error().message;
        server_ = std::make_unique<JackServer>(std::move(*s));
        auto c = JackClient::open("rig");
        ASSERT_TRUE(c.has_value()) << c.error().message;
        rig_ = std::move(*c);
    }
    void TearDown() override {
        rig_.reset();  // clients first, then the server they live on
        server_.reset();
    }

    std::unique_ptr<JackServer> server_;
    std::unique_ptr<JackClient> rig_;
};

TEST_F(MidiSinkTest, SendsTheBytesOfTheTableInOrder) {
    auto in = rig_->add_midi_input("in");
    ASSERT_TRUE(in.has_value()) << in.error().message;

    auto sink = MidiSink::connect_first("vorla-engine");
    ASSERT_TRUE(sink.has_value()) << sink.error().display();
    EXPECT_EQ(sink->name(), *in);
    ASSERT_TRUE(eventually_connected(*rig_, *in, {kSinkPort}));

    EXPECT_TRUE(sink->send(event_of(Note{16, 200, 128, 1.0})).has_value());
    EXPECT_TRUE(sink->send(event_of(Osc{"/x", {1.0}})).has_value());
    EXPECT_TRUE(sink->send(event_of(Control{"gain", 0.5f})).has_value());
    EXPECT_TRUE(sink->send(event_of(Cc{3, 7, 100})).has_value());
    EXPECT_TRUE(sink->send_note_off(1, 60).has_value());
    EXPECT_TRUE(sink->send_clock_tick().has_value());
    EXPECT_TRUE(sink->send_clock_start().has_value());
    EXPECT_TRUE(sink->send_clock_stop().has_value());

    const std::vector<Bytes> expected = {
        {0x90, 0x48, 0x00}, {0xB3, 0x07, 0x64}, {0x81, 0x3C, 0x00}, {0xF8}, {0xFA}, {0xFC}};
    ASSERT_TRUE(rig_->wait_for_midi(expected.size(), 2s));
    ASSERT_TRUE(rig_->wait_cycles(4, 2s));  // anything extra would have arrived by now
    EXPECT_EQ(bytes_of(rig_->midi_events()), expected);
    EXPECT_EQ(rig_->dropped(), 0u);
}

TEST_F(MidiSinkTest, MasksChannelAndDataBytes) {
    auto in = rig_->add_midi_input("in");
    ASSERT_TRUE(in.has_value());
    auto sink = MidiSink::connect_first("vorla-engine");
    ASSERT_TRUE(sink.has_value()) << sink.error().display();
    ASSERT_TRUE(eventually_connected(*rig_, *in, {kSinkPort}));

    EXPECT_TRUE(sink->send(event_of(Note{0xFF, 0xFF, 0x7F, 0.0})).has_value());
    EXPECT_TRUE(sink->send(event_of(Cc{0x1F, 0x80, 0xFF})).has_value());
    EXPECT_TRUE(sink->send_note_off(0xF0, 0x80).has_value());
    const std::vector<Bytes> expected = {
        {0x9F, 0x7F, 0x7F}, {0xBF, 0x00, 0x7F}, {0x80, 0x00, 0x00}};
    ASSERT_TRUE(rig_->wait_for_midi(expected.size(), 2s));
    EXPECT_EQ(bytes_of(rig_->midi_events()), expected);
}

TEST_F(MidiSinkTest, TakesTheFirstListedPort) {
    auto first = rig_->add_midi_input("first");
    auto second = rig_->add_midi_input("second");
    ASSERT_TRUE(first && second);
    // JACK lists ports in registration order.
    ASSERT_EQ(rig_->ports({}, PortType::Midi, jack_rig::Direction::Input),
              (std::vector<std::string>{*first, *second}));

    auto sink = MidiSink::connect_first("vorla-engine");
    ASSERT_TRUE(sink.has_value()) << sink.error().display();
    EXPECT_EQ(sink->name(), *first);
    ASSERT_TRUE(eventually_connected(*rig_, *first, {kSinkPort}));
    EXPECT_TRUE(rig_->connections(*second).empty());
}

TEST_F(MidiSinkTest, IsOwnedAsAnOutputSinkAndReachedThroughDispatch) {
    auto in = rig_->add_midi_input("in");
    ASSERT_TRUE(in.has_value());
    auto connected = MidiSink::connect_first("vorla-engine");
    ASSERT_TRUE(connected.has_value()) << connected.error().display();
    std::unique_ptr<OutputSink> sink = std::make_unique<MidiSink>(std::move(*connected));
    EXPECT_EQ(sink->name(), *in);
    ASSERT_TRUE(eventually_connected(*rig_, *in, {kSinkPort}));

    // The moved-from sink refuses politely.
    const auto stale = connected->send_clock_tick();
    ASSERT_FALSE(stale.has_value());
    EXPECT_EQ(stale.error().kind, OutputError::Kind::Midi);
    EXPECT_EQ(stale.error().text.rfind("send: ", 0), 0u);

    EXPECT_TRUE(dispatch(event_of(Note{0, 60, 100, 1.0}), sink.get(), nullptr).has_value());
    EXPECT_TRUE(dispatch(event_of(Osc{"/x", {}}), sink.get(), nullptr).has_value());
    EXPECT_TRUE(dispatch(event_of(Control{"gain", 1.0f}), sink.get(), nullptr).has_value());
    EXPECT_TRUE(dispatch(event_of(Cc{0, 1, 2}), sink.get(), nullptr).has_value());
    ASSERT_TRUE(rig_->wait_for_midi(2, 2s));
    ASSERT_TRUE(rig_->wait_cycles(4, 2s));
    EXPECT_EQ(bytes_of(rig_->midi_events()), (std::vector<Bytes>{{0x90, 60, 100}, {0xB0, 1, 2}}));

    sink.reset();  // closes the connection
    const auto deadline = std::chrono::steady_clock::now() + 2s;
    while (!rig_->connections(*in).empty() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(5ms);
    EXPECT_TRUE(rig_->connections(*in).empty());
}

TEST_F(MidiSinkTest, FailsWithoutOutputPorts) {
    // A MIDI port that sends is no destination.
    ASSERT_TRUE(rig_->add_midi_output("out").has_value());
    ASSERT_TRUE(rig_->add_audio_input("audio").has_value());

    auto sink = MidiSink::connect_first("vorla-engine");
    ASSERT_FALSE(sink.has_value());
    EXPECT_EQ(sink.error(), OutputError::midi("no MIDI output ports available"));
    EXPECT_EQ(sink.error().display(), "MIDI error: no MIDI output ports available");
    EXPECT_TRUE(rig_->ports("vorla-engine").empty());  // the client was released
}

TEST(MidiSinkNoServer, FailsCleanly) {
    // Even a failing JACK client touches state shared with every JACK server of this user.
    auto lock = jack_rig::JackLock::acquire();
    ASSERT_TRUE(lock.has_value()) << lock.error().message;
    const char* before = std::getenv("JACK_DEFAULT_SERVER");
    const std::string saved = before ? before : "";
    const std::string nobody = "vorla-rig-nobody-" + std::to_string(getpid());
    setenv("JACK_DEFAULT_SERVER", nobody.c_str(), 1);

    auto sink = MidiSink::connect_first("vorla-engine");

    if (before)
        setenv("JACK_DEFAULT_SERVER", saved.c_str(), 1);
    else
        unsetenv("JACK_DEFAULT_SERVER");
    ASSERT_FALSE(sink.has_value());
    EXPECT_EQ(sink.error(), OutputError::midi("init: no JACK server is running"));
}

}  // namespace
