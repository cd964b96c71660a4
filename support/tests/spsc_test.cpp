#include "support/spsc.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <thread>

namespace {

using support::SpscRing;

TEST(SpscCapacity, HoldsExactlyTheRequestedNumber) {
    for (std::size_t capacity : {0u, 1u, 5u, 256u}) {
        SpscRing<int> ring(capacity);
        EXPECT_EQ(ring.capacity(), capacity);
        EXPECT_TRUE(ring.empty());
        EXPECT_EQ(ring.try_pop(), std::nullopt);
        for (std::size_t i = 0; i < capacity; ++i)
            ASSERT_TRUE(ring.try_push(static_cast<int>(i))) << i;
        EXPECT_EQ(ring.size(), capacity);
        EXPECT_FALSE(ring.try_push(-1)) << capacity;
        if (capacity == 0) continue;
        // One pop frees exactly one place.
        EXPECT_EQ(ring.try_pop(), 0);
        EXPECT_TRUE(ring.try_push(-2));
        EXPECT_FALSE(ring.try_push(-3));
    }
}

TEST(SpscOrder, FifoWrappingAroundAtEveryFillLevel) {
    SpscRing<std::uint32_t> ring(7);
    std::uint32_t next_in = 0;
    std::uint32_t next_out = 0;
    // Varying fill levels so that both positions cross the end in every phase.
    for (int round = 0; round < 10000; ++round) {
        const int n = 1 + round % 7;
        for (int i = 0; i < n; ++i)
            ASSERT_TRUE(ring.try_push(std::uint32_t{next_in++}));
        ASSERT_EQ(ring.size(), static_cast<std::size_t>(n));
        for (int i = 0; i < n; ++i)
            ASSERT_EQ(ring.try_pop(), next_out++);
        ASSERT_TRUE(ring.empty());
        std::uint32_t untouched = 99;
        ASSERT_FALSE(ring.try_pop(untouched));
        ASSERT_EQ(untouched, 99u);
    }
}

// Move-only items; a failed push leaves the item with the caller; destruction releases what
// is left, also when it straddles the end of the storage.
TEST(SpscPayload, MoveOnlyItemsOwnedUntilPoppedOrDestroyed) {
    auto shared = std::make_shared<int>(7);
    {
        SpscRing<std::shared_ptr<int>> ring(3);
        ASSERT_TRUE(ring.try_push(std::shared_ptr<int>(shared)));
        ASSERT_TRUE(ring.try_pop().has_value());
        auto second = std::make_shared<int>(2);
        for (int i = 0; i < 3; ++i)
            ASSERT_TRUE(ring.try_push(std::shared_ptr<int>(shared)));
        EXPECT_FALSE(ring.try_push(std::move(second)));
        ASSERT_NE(second, nullptr);
        EXPECT_EQ(shared.use_count(), 4);
        std::shared_ptr<int> out;
        ASSERT_TRUE(ring.try_pop(out));
        EXPECT_EQ(out, shared);
        EXPECT_TRUE(ring.try_push(std::move(second)));
        EXPECT_EQ(second, nullptr);
    }
    EXPECT_EQ(shared.use_count(), 1);
}

// One producer, one consumer: every item arrives once and in order. `make` turns a count into
// an item, `count` reads it back.
template <class T>
void two_threads(std::size_t capacity, std::uint64_t items, auto make, auto count) {
    SpscRing<T> ring(capacity);
    std::thread producer([&] {
        for (std::uint64_t i = 0; i < items; ++i) {
            T item = make(i);
            while (!ring.try_push(std::move(item)))
                std::this_thread::yield();
        }
    });
    std::uint64_t expected = 0;
    bool in_order = true;
    while (expected < items) {
        if (auto item = ring.try_pop()) {
            in_order = in_order && count(*item) == expected;
            ++expected;
        } else {
            std::this_thread::yield();
        }
    }
    producer.join();
    EXPECT_TRUE(in_order);
    EXPECT_TRUE(ring.empty());
}

TEST(SpscStress, TwoThreadsKeepOrderWithoutLoss) {
    two_threads<std::uint64_t>(
        256, 4'000'000, [](std::uint64_t i) { return i; }, [](std::uint64_t v) { return v; });
    two_threads<std::unique_ptr<std::uint64_t>>(
        17, 300'000, [](std::uint64_t i) { return std::make_unique<std::uint64_t>(i); },
        [](const auto& p) { return p ? *p : ~std::uint64_t{0}; });
}

}  // namespace
