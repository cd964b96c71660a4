// audio_faust::dsp — one Faust source text compiled at run time into a running processor.
//
// The only code that calls libfaust (its C interface for compiled DSPs). `from_code` compiles
// on whatever control-side thread builds nodes or probes types; `compute` and `set_param` run
// on the audio thread once the node plays (no lock, no allocation up to the block size given
// to from_code). A FaustDsp is used by one thread at a time and may be moved between threads.
//
// Compiles are serialised by COMPILE_LOCK: libfaust crashes on concurrent compiles and changes
// the process's working directory while it compiles. Releases may happen on the audio thread,
// so a release never waits for the lock: it frees the libfaust handles when COMPILE_LOCK is
// free at that instant and otherwise queues them, without allocating, for the next holder of
// the lock (every compile, and drain_deferred_releases on the control thread) to free.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace audio_faust::dsp {

// Opaque libfaust handles (llvm_dsp_factory / llvm_dsp of the C interface).
struct Factory;
struct Instance;

struct FaustParam {
    std::string label;  // bare label, no group path
    float* zone;        // the instance's storage for the value
    float init;
    float min;
    float max;
    float step;  // reported only
};

// Looked up by string_view without building a string (set_param runs on the audio thread).
struct LabelHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view s) const { return std::hash<std::string_view>{}(s); }
};
using ParamMap = std::unordered_map<std::string, FaustParam, LabelHash, std::equal_to<>>;

// The process-wide compile lock. A holder that leaves by an exception poisons it: later
// compiles fail instead of trusting libfaust's state.
class CompileLock {
public:
    constexpr CompileLock() = default;
    std::mutex& mutex() { return mutex_; }
    bool poisoned() const { return poisoned_.load(std::memory_order_acquire); }
    void poison() { poisoned_.store(true, std::memory_order_release); }

private:
    std::mutex mutex_;
    std::atomic<bool> poisoned_{false};
};

inline CompileLock COMPILE_LOCK;

// Frees the libfaust handles whose release found COMPILE_LOCK taken; waits for the lock.
// Control thread (the hot-reload poll). Returns how many DSPs were freed.
std::size_t drain_deferred_releases();

// Builds the parameter map of an instance through libfaust's user-interface callbacks.
// Buttons and check buttons give range [0, 1], init 0, step 1; bargraphs, sound files and
// metadata give nothing; a later widget with the same label replaces an earlier one.
ParamMap discover_params(Instance* instance);

class FaustDsp {
public:
    // Errors: "nul byte found in provided data at position: {}",
    // "poisoned lock: another task failed inside", "FAUST compilation failed: {}",
    // "failed to create FAUST DSP instance". A failure leaves no libfaust object alive.
    static std::expected<FaustDsp, std::string> from_code(std::string_view name,
                                                          std::string_view code,
                                                          std::uint32_t sample_rate,
                                                          std::size_t block_size);

    FaustDsp(FaustDsp&&) noexcept = default;
    FaustDsp& operator=(FaustDsp&&) noexcept;
    FaustDsp(const FaustDsp&) = delete;
    FaustDsp& operator=(const FaustDsp&) = delete;
    ~FaustDsp();

    // n = length of the first output; every slice holds at least n samples. Missing inputs
    // read zeros, extra slices are ignored; no outputs: the instance does not run.
    void compute(std::span<const std::span<const float>> inputs,
                 std::span<const std::span<float>> outputs);
    // Writes the value limited to the parameter's range; false for an unknown label.
    bool set_param(std::string_view label, float value);
    // Re-initialises at that rate and discovers the parameters again (allocates).
    void reset(std::uint32_t sample_rate);

    std::size_t num_inputs() const { return num_inputs_; }
    std::size_t num_outputs() const { return num_outputs_; }
    const ParamMap& params() const { return params_; }

    // The handles, kept in a record made at compile time so that a deferred release needs
    // no allocation: it links the record into the lock-free release queue.
    struct Handles {
        Factory* factory;
        Instance* instance;
        Handles* next = nullptr;
    };

private:
    FaustDsp() = default;
    void release();

    std::unique_ptr<Handles> handles_;
    std::vector<float*> input_ptrs_;
    std::vector<float*> output_ptrs_;
    std::vector<std::vector<float>> input_bufs_;
    std::vector<std::vector<float>> output_bufs_;
    ParamMap params_;
    std::size_t num_inputs_ = 0;
    std::size_t num_outputs_ = 0;
};

}  // namespace audio_faust::dsp
