#include "audio_engine/output/period_adapter.hpp"

#include <gtest/gtest.h>

#include "test_nodes.hpp"

namespace {

using audio_engine::output::PeriodAdapter;

constexpr std::size_t kBlock = 256, kChannels = 2;

// Renders sample n of the stream as n, one block per call; counts the blocks and the calls that
// were not given exactly one block.
audio_engine::output::RenderFn counting(std::size_t& blocks, std::size_t& wrong) {
    return [&blocks, &wrong](std::span<float> out) {
        wrong += out.size() != kBlock * kChannels;
        for (std::size_t i = 0; i < out.size(); ++i)
            out[i] = static_cast<float>(blocks * kBlock * kChannels + i);
        ++blocks;
    };
}

// Each sequence of periods, repeated until 4,000 frames have gone out, gets the stream in
// order, both interleaved and spread over one buffer per channel, without touching the heap;
// no block is rendered before a period needs it.
TEST(PeriodAdapter, ServesWholeBlocksInOrderOverAnyPeriods) {
    const std::vector<std::size_t> sequences[] = {
        {32}, {64}, {100}, {128}, {256}, {384}, {1000}, {1024}, {64, 1024, 32, 384, 100, 256, 1}};
    constexpr std::size_t kRoom = 6000;  // frames per buffer: 4,000 and one period more
    for (const auto& periods : sequences) {
        std::size_t blocks[2] = {}, wrong = 0, done = 0;
        PeriodAdapter interleaved(counting(blocks[0], wrong), kBlock, kChannels);
        PeriodAdapter spread(counting(blocks[1], wrong), kBlock, kChannels);
        std::vector<float> out(kRoom * kChannels), ports(kRoom * kChannels);  // ports: by channel
        const auto heap = test_nodes::heap_use([&] {
            for (std::size_t i = 0; done < 4000; done += periods[i++ % periods.size()]) {
                const std::size_t n = periods[i % periods.size()];
                interleaved.fill(std::span<float>(out).subspan(done * kChannels, n * kChannels));
                spread.pull(n, [&](std::span<const float> run, std::size_t at) {
                    for (std::size_t s = 0; s < run.size(); ++s)
                        ports[s % kChannels * kRoom + done + at + s / kChannels] = run[s];
                });
            }
        });
        const std::string shown = ::testing::PrintToString(periods);
        EXPECT_TRUE(heap == test_nodes::HeapUse(0, 0) && wrong == 0) << shown;
        EXPECT_TRUE(blocks[0] == (done + kBlock - 1) / kBlock && blocks[1] == blocks[0]) << shown;
        for (std::size_t s = 0; s < done * kChannels; ++s) {
            ASSERT_EQ(out[s], float(s)) << shown << ", interleaved";
            ASSERT_EQ(ports[s % kChannels * kRoom + s / kChannels], float(s))
                << shown << ", spread";
        }
    }
}

}  // namespace
