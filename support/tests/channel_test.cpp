#include "support/channel.hpp"

#include <gtest/gtest.h>

#include <memory>
#include <thread>

namespace {

using namespace std::chrono_literals;
using support::channel::RecvError;

TEST(ChannelUnbounded, KeepsOrderAcrossSendersAndReportsEitherSideGone) {
    auto [sender, receiver] = support::channel::unbounded<std::unique_ptr<int>>();
    {
        auto second = sender;
        EXPECT_TRUE(sender.send(std::make_unique<int>(1)));
        EXPECT_TRUE(second.send(std::make_unique<int>(2)));
    }
    std::jthread late([s = std::move(sender)] {
        std::this_thread::sleep_for(20ms);
        s.send(std::make_unique<int>(3));
    });
    EXPECT_EQ(*receiver.try_recv().value(), 1);
    EXPECT_EQ(*receiver.recv_for(1s).value(), 2);
    EXPECT_EQ(receiver.try_recv().error(), RecvError::Empty);
    EXPECT_EQ(*receiver.recv().value(), 3);
    late.join();  // the last sender is gone: nothing more will come
    EXPECT_EQ(receiver.recv_for(1s).error(), RecvError::Disconnected);
    EXPECT_EQ(receiver.recv().error(), RecvError::Disconnected);

    auto [shared, dropped] = support::channel::unbounded<std::shared_ptr<int>>();
    auto payload = std::make_shared<int>(7);
    EXPECT_TRUE(shared.send(payload));
    { auto gone = std::move(dropped); }
    EXPECT_EQ(payload.use_count(), 1);
    EXPECT_FALSE(shared.send(payload));
    EXPECT_EQ(payload.use_count(), 1);
}

TEST(ChannelOneSlot, CarriesOneAnswer) {
    auto [reply, answer] = support::channel::one_slot<int>();
    EXPECT_EQ(answer.recv_for(10ms).error(), RecvError::Timeout);
    EXPECT_TRUE(std::move(reply).send(5));
    EXPECT_EQ(answer.recv_for(10ms).value(), 5);
    EXPECT_EQ(answer.recv_for(1s).error(), RecvError::Disconnected);  // used up
}

}  // namespace
