// audio_engine::output::PeriodAdapter — whole render blocks served over device periods.
//
// Contract:
// - The render function is only ever called with one whole block: `block` frames of
//   `channels` interleaved samples. The graph renders a fixed block per call, so a device
//   period of another length must never reach it.
// - A device period of any length (not only a power of two, and changing from one call to the
//   next) is served from the current block in the order rendered; the next block is rendered
//   when the current one runs out. A period that is a multiple of the block empties the buffer
//   at its end and so adds no latency; any other length adds less than one block.
// - The block buffer is allocated once, at construction. `pull` and `fill` run on the audio
//   thread: they never allocate, lock, log or wait.
// - A block of 0 frames counts as 1, so every call makes progress.
#pragma once

#include <algorithm>
#include <cstddef>
#include <span>
#include <utility>
#include <vector>

#include "audio_engine/output.hpp"

namespace audio_engine::output {

class PeriodAdapter {
public:
    PeriodAdapter(RenderFn render, std::size_t block, std::size_t channels)
        : render_(std::move(render)),
          block_(std::max<std::size_t>(block, 1)),
          channels_(channels),
          buffer_(block_ * channels),
          next_(block_) {}

    // Delivers the next `frames` frames as runs of whole interleaved frames:
    // write(std::span<const float> samples, std::size_t at), where `at` is the frame within the
    // period at which the run starts.
    template <class Write>
    void pull(std::size_t frames, Write&& write) {
        for (std::size_t done = 0; done < frames;) {
            if (next_ == block_) {
                render_(std::span<float>(buffer_));
                next_ = 0;
            }
            const std::size_t n = std::min(frames - done, block_ - next_);
            write(std::span<const float>(buffer_.data() + next_ * channels_, n * channels_), done);
            next_ += n;
            done += n;
        }
    }

    // One interleaved device buffer; samples after its last whole frame are left as they are.
    void fill(std::span<float> out) {
        if (channels_ == 0) return;
        pull(out.size() / channels_, [&](std::span<const float> run, std::size_t at) {
            std::copy(run.begin(), run.end(), out.begin() + at * channels_);
        });
    }

private:
    RenderFn render_;
    std::size_t block_;
    std::size_t channels_;
    std::vector<float> buffer_;
    std::size_t next_;  // the first frame of the block not yet delivered
};

}  // namespace audio_engine::output
