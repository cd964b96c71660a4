#include "support/jack.hpp"

#include <gtest/gtest.h>

#include <thread>

#include "jack_rig/jack_rig.hpp"
#include "jack_rig/stderr_file.hpp"

namespace {

using support::jack::Client;
using support::jack::OpenError;
using namespace std::chrono_literals;

TEST(JackOpenError, OnlyAMissingServerLetsCallersLookElsewhere) {
    const std::tuple<int, OpenError::Kind, std::string> cases[] = {
        {JackFailure | JackServerFailed, OpenError::Kind::NoServer, "no JACK server is running"},
        {JackFailure | JackServerError, OpenError::Kind::Refused,
         "JACK refused the client: communication error with the JACK server (status 0x21)"},
        {JackFailure, OpenError::Kind::Refused,
         "JACK refused the client: the operation failed (status 0x1)"},
        {JackFailure | JackNameNotUnique | JackVersionError, OpenError::Kind::Refused,
         "JACK refused the client: the client name is not unique; client protocol version does "
         "not match the server's (status 0x405)"},
    };
    for (const auto& [status, kind, text] : cases) {
        const OpenError e = support::jack::open_error(static_cast<jack_status_t>(status));
        EXPECT_EQ(e.kind, kind) << status;
        EXPECT_EQ(e.text, text);
    }
}

// A client closes once; lost, it is closed only once no callback of ours runs, and left open
// (not freed) when one never ends. The shutdown callback acts once however often it comes, and
// from then on the process opens no client.
TEST(JackClient, ClosesOnceAndOnlyWhenNoCallbackRuns) {
    auto server = jack_rig::JackServer::start();
    ASSERT_TRUE(server.has_value()) << server.error().message;
    auto plain = Client::open("plain");
    ASSERT_TRUE(plain.has_value()) << plain.error().text;
    EXPECT_TRUE((*plain)->close());
    EXPECT_EQ((*plain)->get(), nullptr);
    EXPECT_TRUE((*plain)->close());
    EXPECT_FALSE(support::jack::server_lost());

    auto c = Client::open("doomed", "lost once\n");
    ASSERT_TRUE(c.has_value());
    std::string err;
    {
        jack_rig::StderrFile captured;
        for (const char* reason : {"first", "second"})
            Client::on_shutdown({}, reason, c->get());
        err = captured.text();
    }
    EXPECT_EQ(err, "lost once\n");
    EXPECT_TRUE((*c)->lost() && support::jack::server_lost());
    EXPECT_STREQ((*c)->reason(), "first");
    const auto again = Client::open("again");
    ASSERT_FALSE(again.has_value());
    EXPECT_EQ(again.error().kind, OpenError::Kind::ServerLost);
    {
        const Client::Cycle running(**c);
        EXPECT_FALSE(running);
        const auto t = std::chrono::steady_clock::now();
        EXPECT_FALSE((*c)->close(50ms));
        EXPECT_LT(std::chrono::steady_clock::now() - t, 1s);
        EXPECT_NE((*c)->get(), nullptr);
    }
    EXPECT_TRUE((*c)->close(50ms));
    EXPECT_EQ((*c)->get(), nullptr);
}

// A connection is looked up after the request and asked for again over a few of our cycles: a
// server slow to show it (a client that holds up every cycle) still gives it; one in a
// self-connect mode ignores or refuses it, which the text tells apart.
TEST(JackClient, ConnectsOrSaysWhyNot) {
    const std::tuple<char, std::uint32_t, std::string> cases[] = {
        {0, 32, ""},
        {0, 1024, ""},
        {'a', 256, "(the server ignored the request): connect it yourself"},
        {'A', 64, "(error -1): connect it yourself"},
    };
    for (const auto& [mode, period, why] : cases) {
        auto server = jack_rig::JackServer::start({.period = period, .self_connect = mode});
        ASSERT_TRUE(server.has_value()) << server.error().message;
        std::unique_ptr<jack_client_t, int (*)(jack_client_t*)> slow(
            jack_client_open("slow", JackNoStartServer, nullptr), jack_client_close);
        const auto hold_up = [](jack_nframes_t, void*) {
            std::this_thread::sleep_for(20ms);
            return 0;
        };
        ASSERT_TRUE(slow && jack_set_process_callback(slow.get(), hold_up, nullptr) == 0 &&
                    jack_activate(slow.get()) == 0);
        auto c = Client::open("ours");
        ASSERT_TRUE(c.has_value());
        jack_client_t* jc = (*c)->get();
        jack_port_t* port =
            jack_port_register(jc, "out", JACK_DEFAULT_AUDIO_TYPE, JackPortIsOutput, 0);
        const auto cycle = [](jack_nframes_t, void* self) {
            const Client::Cycle running(*static_cast<Client*>(self));
            return 0;
        };
        ASSERT_TRUE(port && jack_set_process_callback(jc, cycle, c->get()) == 0 &&
                    jack_activate(jc) == 0);
        const auto missing = (*c)->connect("ours:out", "system:playback_1");
        EXPECT_EQ(
            missing.value_or(""),
            why.empty() ? "" : "JACK did not connect 'ours:out' to 'system:playback_1' " + why);
        EXPECT_EQ(jack_port_connected(port), why.empty() ? 1 : 0) << mode << " " << period;
        EXPECT_TRUE((*c)->close());
    }
}

}  // namespace
