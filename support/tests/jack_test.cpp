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
        {JackFailure, OpenError::Kind::Refused, "JACK refused the client: the operation failed (status 0x1)"},
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
        for (const char* reason : {"first", "second"}) Client::on_shutdown({}, reason, c->get());
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

}  // namespace
