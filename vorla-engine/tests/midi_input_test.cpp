// MIDI input against the rig's private JACK server, and without any server.
#include <gtest/gtest.h>
#include <jack/jack.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <regex>

#include "jack_rig/jack_rig.hpp"
#include "support/jack.hpp"
#include "support/log.hpp"
#include "vorla_engine/host.hpp"

namespace {

using namespace vorla_engine;
using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;

constexpr const char* kPort = "vorla-engine-in:zorva-cc";

bool eventually(const std::function<bool()>& done, std::chrono::milliseconds timeout = 5s) {
    for (const auto end = std::chrono::steady_clock::now() + timeout; !done();) {
        if (std::chrono::steady_clock::now() >= end) return false;
        std::this_thread::sleep_for(2ms);
    }
    return true;
}

// A private server with a port of the engine's own output client registered first, and the
// rig; log lines are kept.
class MidiInputJack : public ::testing::Test {
protected:
    void SetUp() override {
        support::log::init_with("info", support::log::Style::Never,
                                [this](std::string_view line) { log_ += line; });
        auto s = jack_rig::JackServer::start(options_);
        ASSERT_TRUE(s.has_value()) << s.error().message;
        server_.emplace(std::move(*s));
        auto own = jack_rig::JackClient::open("vorla-engine");
        auto rig = jack_rig::JackClient::open("rig");
        ASSERT_TRUE(own && rig) << (own ? rig : own).error().message;
        ASSERT_TRUE((*own)->add_midi_output("midi_out"));
        own_ = std::move(*own);
        rig_ = std::move(*rig);
    }
    void TearDown() override {
        input_.reset();
        support::log::reset();
    }

    // Connects `input_`; the rig's MIDI outputs are registered first.
    void connect(const std::vector<const char*>& outputs) {
        for (const char* name : outputs)
            ASSERT_TRUE(rig_->add_midi_output(name).has_value());
        input_ = try_connect_midi_input(ring_);
        ASSERT_TRUE(input_.has_value()) << log_;
    }
    // The log without its time stamps.
    std::string logged() const { return std::regex_replace(log_, std::regex(R"(\[\S+Z )"), ""); }
    // Sends each message, then a last control change; what reached the ring before it.
    std::vector<CcTriple> pass(const std::vector<Bytes>& messages) {
        for (const Bytes& m : messages)
            EXPECT_TRUE(rig_->send_midi(m).has_value());
        EXPECT_TRUE(rig_->send_midi(Bytes{0xB0, 127, 127}).has_value());
        std::vector<CcTriple> got;
        EXPECT_TRUE(eventually([&] {
            while (auto t = ring_->try_pop())
                got.push_back(*t);
            return !got.empty() && got.back() == CcTriple{0, 127, 127};
        }));
        if (!got.empty()) got.pop_back();
        return got;
    }

    jack_rig::ServerOptions options_;
    std::string log_;
    std::optional<jack_rig::JackServer> server_;
    std::unique_ptr<jack_rig::JackClient> own_, rig_;  // dropped before the server
    std::shared_ptr<CcRing> ring_ = std::make_shared<CcRing>();  // as start-up makes it
    std::optional<MidiInput> input_;
};

TEST_F(MidiInputJack, ConnectsTheFirstMidiOutputOfAnotherClient) {
    ASSERT_NO_FATAL_FAILURE(connect({"first", "second"}));
    EXPECT_EQ(logged(), "INFO  vorla_engine]   midi input: connected to 'rig:first'\n");
    EXPECT_TRUE(eventually([&] { return !rig_->connections("rig:first").empty(); }));
    EXPECT_EQ(rig_->connections("rig:first"), std::vector<std::string>{kPort});
    EXPECT_TRUE(rig_->connections("rig:second").empty());
    EXPECT_TRUE(rig_->connections("vorla-engine:midi_out").empty());
}

TEST_F(MidiInputJack, PassesControlChangesOnly) {
    ASSERT_NO_FATAL_FAILURE(connect({"out"}));
    const std::vector<std::pair<Bytes, std::optional<CcTriple>>> cases = {
        {{0xB0, 1, 2}, CcTriple{0, 1, 2}},
        {{0x90, 60, 100}, std::nullopt},
        {{0xBF, 74, 0}, CcTriple{15, 74, 0}},
        {{0xF8}, std::nullopt},
        {{0xC2, 5}, std::nullopt},
        {{0x80, 60, 0}, std::nullopt},
        {{0xB3, 7, 100}, CcTriple{3, 7, 100}},
    };
    std::vector<Bytes> sent;
    std::vector<CcTriple> expected;
    for (const auto& [bytes, triple] : cases) {
        sent.push_back(bytes);
        if (triple) expected.push_back(*triple);
    }
    EXPECT_EQ(pass(sent), expected);
}

TEST_F(MidiInputJack, FindsNoPortsBesidesTheEnginesOwnOutput) {
    ASSERT_TRUE(rig_->add_midi_input("in").has_value());  // a MIDI port that receives
    EXPECT_FALSE(try_connect_midi_input(ring_).has_value());
    EXPECT_EQ(logged(), "INFO  vorla_engine]   midi input: no ports available\n");
    auto again = jack_rig::JackClient::open("vorla-engine-in");  // a taken name gets a suffix
    ASSERT_TRUE(again.has_value());
    EXPECT_EQ((*again)->name(), "vorla-engine-in");
}

TEST_F(MidiInputJack, ReplacingOrDroppingTheInputClosesItsClient) {
    ASSERT_NO_FATAL_FAILURE(connect({"out"}));
    auto second = try_connect_midi_input(ring_);  // JACK names its client "vorla-engine-in-01"
    ASSERT_TRUE(second.has_value());
    ASSERT_EQ(rig_->ports("vorla-engine-in").size(), 2u);
    *input_ = std::move(*second);
    EXPECT_TRUE(eventually([&] { return rig_->ports("vorla-engine-in").size() == 1; }));
    EXPECT_TRUE(rig_->ports(kPort).empty());
    input_.reset();
    EXPECT_TRUE(eventually([&] { return rig_->ports("vorla-engine-in").empty(); }));
}

// A server that ignores our request: the port stays open for the user, who connects it.
class MidiInputSelfConnect : public MidiInputJack {
protected:
    MidiInputSelfConnect() { options_.self_connect = 'a'; }
};

TEST_F(MidiInputSelfConnect, KeepsTheUnconnectedPortForTheUser) {
    ASSERT_NO_FATAL_FAILURE(connect({"out"}));
    EXPECT_EQ(logged(), "WARN  vorla_engine]   midi input: JACK did not connect 'rig:out' to '" +
                            std::string(kPort) +
                            "' (the server ignored the request): connect it yourself\n");
    EXPECT_TRUE(rig_->connections("rig:out").empty());
    auto patchbay = jack_rig::JackClient::open("patchbay");  // owns neither port
    ASSERT_TRUE(patchbay.has_value());
    // A loaded server may fail a request made before its graph has caught up: ask again.
    ASSERT_TRUE(eventually([&] {
        return (*patchbay)->connect("rig:out", kPort) && !rig_->connections("rig:out").empty();
    }));
    EXPECT_EQ(pass({{0xB5, 10, 64}}), (std::vector<CcTriple>{{5, 10, 64}}));
}

// Nothing but the log line reaches file descriptor 2, whichever library would print.
TEST(MidiInputNoServer, LogsOneLineAndNothingElse) {
    auto lock = jack_rig::JackLock::acquire();
    ASSERT_TRUE(lock.has_value()) << lock.error().message;
    setenv("JACK_DEFAULT_SERVER", ("vorla-nobody-" + std::to_string(getpid())).c_str(), 1);
    support::log::init_with("info", support::log::Style::Never);  // to standard error
    std::FILE* file = std::tmpfile();
    ASSERT_NE(file, nullptr);
    const int saved = dup(STDERR_FILENO);
    dup2(fileno(file), STDERR_FILENO);
    const bool opened = try_connect_midi_input(std::make_shared<CcRing>()).has_value();
    dup2(saved, STDERR_FILENO);
    close(saved);
    support::log::reset();
    std::string err(4096, '\0');
    err.resize(std::max<ssize_t>(0, pread(fileno(file), err.data(), err.size(), 0)));
    std::fclose(file);
    EXPECT_FALSE(opened);
    const std::regex line(R"(\[[-0-9T:.]+Z INFO  vorla_engine\]   midi input: no JACK server )"
                          R"(is running \(running without MIDI input\)\n)");
    EXPECT_TRUE(std::regex_match(err, line)) << err;
}

// The last suite of this program: no JACK client opens in a process after a loss.
class MidiInputServerLoss : public MidiInputJack {};

TEST_F(MidiInputServerLoss, OpensNoClientOnceTheServerWasLost) {
    ASSERT_NO_FATAL_FAILURE(connect({"out"}));
    server_->crash();
    ASSERT_TRUE(eventually(support::jack::server_lost));
    log_.clear();
    EXPECT_FALSE(try_connect_midi_input(ring_).has_value());
    EXPECT_EQ(logged(),
              "INFO  vorla_engine]   midi input: the JACK server has gone away: no JACK client "
              "is opened again before a restart (running without MIDI input)\n");
    const auto closing = std::chrono::steady_clock::now();
    input_.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - closing, 3s);
}

}  // namespace
