#include "audio_faust/dsp.hpp"

#include <faust/dsp/llvm-dsp-c.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <exception>
#include <limits>

#include "support/log.hpp"
#include "support/number.hpp"
#include "utf8.hpp"

namespace audio_faust::dsp {

namespace {

constexpr std::string_view target = "audio_faust::dsp";
constexpr std::size_t error_buffer_size = 4096;

llvm_dsp_factory* c_factory(Factory* f) { return reinterpret_cast<llvm_dsp_factory*>(f); }
llvm_dsp* c_instance(Instance* i) { return reinterpret_cast<llvm_dsp*>(i); }

// Handles whose release found COMPILE_LOCK taken. Producers push with a compare-and-swap
// (any thread, the audio thread included); the holder of the lock takes the whole list.
std::atomic<FaustDsp::Handles*> deferred{nullptr};

void free_handles(FaustDsp::Handles* h) {
    deleteCDSPInstance(c_instance(h->instance));
    deleteCDSPFactory(c_factory(h->factory));
    delete h;
}

// Caller holds COMPILE_LOCK.
std::size_t drain_locked() {
    std::size_t n = 0;
    for (auto* h = deferred.exchange(nullptr, std::memory_order_acquire); h != nullptr; ++n) {
        auto* next = h->next;
        free_handles(h);
        h = next;
    }
    return n;
}

// Poisons COMPILE_LOCK when the scope is left by an exception.
struct PoisonOnThrow {
    int exceptions = std::uncaught_exceptions();
    ~PoisonOnThrow() {
        if (std::uncaught_exceptions() > exceptions) COMPILE_LOCK.poison();
    }
};

std::expected<std::string, std::string> c_string(std::string_view text) {
    if (auto pos = text.find('\0'); pos != std::string_view::npos) {
        return std::unexpected("nul byte found in provided data at position: " +
                               std::to_string(pos));
    }
    return std::string(text);
}

void insert(void* map, const char* label, float* zone, float init, float min, float max,
            float step) {
    std::string key = utf8::lossy(label);
    static_cast<ParamMap*>(map)->insert_or_assign(key,
                                                  FaustParam{key, zone, init, min, max, step});
}

void ui_noop_open(void*, const char*) {}
void ui_noop_close(void*) {}
void ui_add_button(void* map, const char* label, float* zone) {
    insert(map, label, zone, 0.0f, 0.0f, 1.0f, 1.0f);
}
void ui_add_slider(void* map, const char* label, float* zone, float init, float min, float max,
                   float step) {
    insert(map, label, zone, init, min, max, step);
}
void ui_add_bargraph(void*, const char*, float*, float, float) {}
void ui_add_soundfile(void*, const char*, const char*, Soundfile**) {}
void ui_declare(void*, float*, const char*, const char*) {}

}  // namespace

std::size_t drain_deferred_releases() {
    // Polled on every main-loop pass: leave the lock to the audio thread when nothing waits.
    if (deferred.load(std::memory_order_relaxed) == nullptr) return 0;
    std::lock_guard lock(COMPILE_LOCK.mutex());
    return drain_locked();
}

ParamMap discover_params(Instance* instance) {
    ParamMap map;
    UIGlue glue{&map,          ui_noop_open,  ui_noop_open,    ui_noop_open,
                ui_noop_close, ui_add_button, ui_add_button,   ui_add_slider,
                ui_add_slider, ui_add_slider, ui_add_bargraph, ui_add_bargraph,
                ui_add_soundfile, ui_declare};
    buildUserInterfaceCDSPInstance(c_instance(instance), &glue);
    return map;
}

std::expected<FaustDsp, std::string> FaustDsp::from_code(std::string_view name,
                                                         std::string_view code,
                                                         std::uint32_t sample_rate,
                                                         std::size_t block_size) {
    auto c_name = c_string(name);
    if (!c_name) return std::unexpected(c_name.error());
    auto c_code = c_string(code);
    if (!c_code) return std::unexpected(c_code.error());
    std::string error(error_buffer_size, '\0');

    std::vector<std::string> args;
    if (const char* dir = std::getenv("FAUST_STDLIB_DIR");
        dir != nullptr && *dir != '\0' && utf8::valid(dir)) {
        args = {"-I", dir};
    }
    std::vector<const char*> argv;
    for (const auto& a : args)
        argv.push_back(a.c_str());

    auto handles = std::make_unique<Handles>();
    {
        std::unique_lock lock(COMPILE_LOCK.mutex());
        if (COMPILE_LOCK.poisoned()) return std::unexpected("poisoned lock: another task failed inside");
        PoisonOnThrow guard;
        drain_locked();
        llvm_dsp_factory* factory = createCDSPFactoryFromString(
            c_name->c_str(), c_code->c_str(), static_cast<int>(argv.size()),
            argv.empty() ? nullptr : argv.data(), "", error.data(), -1);
        if (factory == nullptr) {
            return std::unexpected("FAUST compilation failed: " + utf8::lossy(error.c_str()));
        }
        llvm_dsp* instance = createCDSPInstance(factory);
        if (instance == nullptr) {
            deleteCDSPFactory(factory);
            return std::unexpected(std::string("failed to create FAUST DSP instance"));
        }
        handles->factory = reinterpret_cast<Factory*>(factory);
        handles->instance = reinterpret_cast<Instance*>(instance);
    }

    FaustDsp dsp;
    dsp.handles_ = std::move(handles);
    llvm_dsp* instance = c_instance(dsp.handles_->instance);
    const bool rate_fits = sample_rate <= std::uint32_t{std::numeric_limits<std::int32_t>::max()};
    initCDSPInstance(instance, rate_fits ? static_cast<int>(sample_rate) : 44100);
    dsp.num_inputs_ = static_cast<std::size_t>(getNumInputsCDSPInstance(instance));
    dsp.num_outputs_ = static_cast<std::size_t>(getNumOutputsCDSPInstance(instance));
    support::log::info(target, "FAUST '" + std::string(name) + "': " +
                                   std::to_string(dsp.num_inputs_) + " in, " +
                                   std::to_string(dsp.num_outputs_) + " out, " +
                                   std::to_string(sample_rate) + "Hz");
    dsp.params_ = discover_params(dsp.handles_->instance);
    if (support::log::enabled(support::log::Level::Debug, target)) {
        using support::number::message;
        for (const auto& [label, p] : dsp.params_) {
            support::log::debug(target, "  param '" + label + "': init=" + message(p.init) +
                                            ", range=[" + message(p.min) + ", " + message(p.max) +
                                            "], step=" + message(p.step));
        }
    }
    dsp.input_bufs_.assign(dsp.num_inputs_, std::vector<float>(block_size, 0.0f));
    dsp.output_bufs_.assign(dsp.num_outputs_, std::vector<float>(block_size, 0.0f));
    dsp.input_ptrs_.reserve(dsp.num_inputs_);
    dsp.output_ptrs_.reserve(dsp.num_outputs_);
    return dsp;
}

FaustDsp& FaustDsp::operator=(FaustDsp&& other) noexcept {
    if (this != &other) {
        release();
        handles_ = std::move(other.handles_);
        input_ptrs_ = std::move(other.input_ptrs_);
        output_ptrs_ = std::move(other.output_ptrs_);
        input_bufs_ = std::move(other.input_bufs_);
        output_bufs_ = std::move(other.output_bufs_);
        params_ = std::move(other.params_);
        num_inputs_ = other.num_inputs_;
        num_outputs_ = other.num_outputs_;
    }
    return *this;
}

FaustDsp::~FaustDsp() { release(); }

// Never waits: frees the handles when no compile runs, otherwise links them into the deferred
// list (no allocation) for the next holder of COMPILE_LOCK.
void FaustDsp::release() {
    if (!handles_) return;
    std::unique_lock lock(COMPILE_LOCK.mutex(), std::try_to_lock);
    if (lock.owns_lock()) {
        free_handles(handles_.release());
        return;
    }
    Handles* h = handles_.release();
    h->next = deferred.load(std::memory_order_relaxed);
    while (!deferred.compare_exchange_weak(h->next, h, std::memory_order_release,
                                           std::memory_order_relaxed)) {
    }
}

void FaustDsp::compute(std::span<const std::span<const float>> inputs,
                       std::span<const std::span<float>> outputs) {
    if (outputs.empty()) return;
    const std::size_t n = outputs[0].size();
    input_ptrs_.clear();
    for (std::size_t i = 0; i < input_bufs_.size(); ++i) {
        auto& buf = input_bufs_[i];
        if (buf.size() < n) buf.resize(n, 0.0f);
        if (i < inputs.size()) {
            std::copy_n(inputs[i].begin(), std::min(n, inputs[i].size()), buf.begin());
        } else {
            std::fill_n(buf.begin(), n, 0.0f);
        }
        input_ptrs_.push_back(buf.data());
    }
    output_ptrs_.clear();
    for (auto& buf : output_bufs_) {
        if (buf.size() < n) buf.resize(n, 0.0f);
        std::fill_n(buf.begin(), n, 0.0f);
        output_ptrs_.push_back(buf.data());
    }
    computeCDSPInstance(c_instance(handles_->instance), static_cast<int>(n), input_ptrs_.data(),
                        output_ptrs_.data());
    for (std::size_t i = 0; i < std::min(outputs.size(), output_bufs_.size()); ++i)
        std::copy_n(output_bufs_[i].begin(), std::min(n, outputs[i].size()), outputs[i].begin());
}

bool FaustDsp::set_param(std::string_view label, float value) {
    if (params_.empty()) return false;
    auto it = params_.find(label);
    if (it == params_.end()) return false;
    const FaustParam& p = it->second;
    // NaN passes unchanged; inverted bounds give min, as the first comparison decides.
    *p.zone = value < p.min ? p.min : (value > p.max ? p.max : value);
    return true;
}

void FaustDsp::reset(std::uint32_t sample_rate) {
    initCDSPInstance(c_instance(handles_->instance), static_cast<int>(sample_rate));
    params_ = discover_params(handles_->instance);
}

}  // namespace audio_faust::dsp
