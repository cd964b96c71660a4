#include "support/wake.hpp"

#include <gtest/gtest.h>
#include <time.h>

#include <thread>

#include "support/channel.hpp"

namespace {

using namespace std::chrono_literals;
using support::Wake;
using Clock = Wake::Clock;

// Deadlines far enough away that only a notify can explain an early return.
constexpr auto kFar = 30s;

TEST(Wake, ReturnsAtTheDeadlineOrOnceNotifiedAfterTheToken) {
    Wake wake;
    auto seen = wake.token();
    auto start = Clock::now();
    wake.wait_until(seen, start + 20ms);
    EXPECT_GE(Clock::now() - start, 20ms);

    // A notify between reading the token and waiting is not lost.
    seen = wake.token();
    wake.notify();
    start = Clock::now();
    wake.wait_until(seen, start + kFar);
    EXPECT_LT(Clock::now() - start, 5s);

    // Nor is one that comes while the waiter sleeps, from another thread.
    seen = wake.token();
    std::jthread other([&] {
        std::this_thread::sleep_for(20ms);
        wake.notify();
    });
    start = Clock::now();
    wake.wait_until(seen, start + kFar);
    EXPECT_LT(Clock::now() - start, 5s);
}

TEST(Wake, ChannelSendsNotifyTheReceiversWake) {
    auto wake = std::make_shared<Wake>();
    auto [sender, receiver] = support::channel::unbounded<int>();
    receiver.notify_on_send(wake);
    const auto seen = wake->token();
    std::jthread other([s = std::move(sender)] {
        std::this_thread::sleep_for(20ms);
        s.send(1);
    });
    const auto start = Clock::now();
    wake->wait_until(seen, start + kFar);
    EXPECT_LT(Clock::now() - start, 5s);
    other.join();
    EXPECT_EQ(receiver.try_recv().value(), 1);
}

// Short waits cost next to no processor time: the waiter sleeps in the kernel, it never spins.
TEST(Wake, ShortWaitsDoNotSpin) {
    const auto cpu = [] {
        timespec ts{};
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
        return std::chrono::seconds(ts.tv_sec) + std::chrono::nanoseconds(ts.tv_nsec);
    };
    support::set_min_timer_slack();
    Wake wake;
    const auto used = cpu();
    const auto start = Clock::now();
    for (int i = 0; i < 200; ++i) wake.wait_until(wake.token(), Clock::now() + 1ms);
    EXPECT_GE(Clock::now() - start, 200ms);
    // Spinning the last 120 us of each wait costs 24 ms; a loaded machine adds a few to the
    // wake-ups themselves.
    EXPECT_LT(cpu() - used, 16ms);
}

}  // namespace
