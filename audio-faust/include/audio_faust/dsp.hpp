// audio_faust::dsp — Faust source texts compiled at run time into running processors.
//
// The only code that calls libfaust (its C interface for compiled DSPs). A Program is one
// compiled text (a libfaust factory), made by `Program::compile` on whatever control-side
// thread compiles (the hot-reload compile thread, or start-up); it is shared by the node type
// that registered it and by every FaustDsp made from it, so making a node never compiles.
// `compute` and `set_param` run on the audio thread once the node plays (no lock, no
// allocation up to the block size given at creation). A FaustDsp is used by one thread at a
// time and may be moved between threads.
//
// Compiles and instance creation are serialised by COMPILE_LOCK: libfaust crashes on
// concurrent compiles and changes the process's working directory while it compiles (so no
// other thread may resolve a relative path meanwhile). Releases may happen on the audio
// thread, so a release never waits for the lock: it frees the libfaust handles when
// COMPILE_LOCK is free at that instant and otherwise queues them, without allocating, for the
// next holder of the lock (every compile, every instance creation and the drains) to free.
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
#include <utility>
#include <vector>

namespace audio_faust::dsp {

// Opaque libfaust handles (llvm_dsp_factory / llvm_dsp of the C interface).
struct Factory;
struct Instance;
struct ProgramRecord;

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
// Control thread. Returns how many DSPs and programs were freed.
std::size_t drain_deferred_releases();
// The same when the lock is free at once; never waits (the main loop's poll).
std::size_t try_drain_deferred_releases();

// How many times libfaust has been asked to compile a text since the process started.
std::uint64_t compile_count();

// One Faust text compiled by libfaust, counted by reference: copies share the compiled code.
// Copying and dropping never wait; the last drop frees the code when COMPILE_LOCK is free,
// otherwise it is queued like a FaustDsp's release.
class Program {
public:
    // Compiles `code` with `name` as libfaust's application name, under COMPILE_LOCK (waiting
    // for a compile in progress). While a program of the same name and text is alive and none
    // of the library files it imported has changed since, hands that one back instead (libfaust
    // keeps memory for every compile). Errors: "nul byte found in provided data at position:
    // {}", "poisoned lock: another task failed inside", "FAUST compilation failed: {}".
    static std::expected<Program, std::string> compile(std::string_view name,
                                                       std::string_view code);

    Program(const Program& other) noexcept;
    Program& operator=(const Program& other) noexcept;
    Program(Program&& other) noexcept : record_(std::exchange(other.record_, nullptr)) {}
    Program& operator=(Program&& other) noexcept;
    ~Program();

    // Two handles of the same compiled code.
    bool operator==(const Program& other) const { return record_ == other.record_; }

private:
    explicit Program(ProgramRecord* record) : record_(record) {}
    friend class FaustDsp;
    ProgramRecord* record_;
};

// Builds the parameter map of an instance through libfaust's user-interface callbacks.
// Buttons and check buttons give range [0, 1], init 0, step 1; bargraphs, sound files and
// metadata give nothing; a later widget with the same label replaces an earlier one.
ParamMap discover_params(Instance* instance);

class FaustDsp {
public:
    // A new instance of the compiled program, initialised at the sample rate (44100 when it
    // does not fit a signed 32-bit integer) for blocks of `block_size`. Takes COMPILE_LOCK
    // briefly (it waits for a compile in progress). Errors: "poisoned lock: another task
    // failed inside", "failed to create FAUST DSP instance".
    static std::expected<FaustDsp, std::string> create(const Program& program,
                                                       std::uint32_t sample_rate,
                                                       std::size_t block_size);
    // Program::compile, then create. Errors: "nul byte found in provided data at position: {}",
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

    // The handles, kept in a record made at creation so that a deferred release needs no
    // allocation: it links the record into the lock-free release queue. The instance holds a
    // reference to its program.
    struct Handles {
        Instance* instance;
        ProgramRecord* program;
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
