#include "audio_faust/dsp.hpp"

#include <faust/dsp/libfaust-c.h>
#include <faust/dsp/llvm-dsp-c.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <exception>
#include <limits>
#include <tuple>

#include <sys/stat.h>

#include "support/log.hpp"
#include "support/number.hpp"
#include "utf8.hpp"

namespace audio_faust::dsp {

// One libfaust factory and what decides whether a later compile of the same text may reuse it.
struct ProgramRecord {
    llvm_dsp_factory* factory;
    std::string name;
    std::string key;  // name, text and compiler arguments
    // The library files the compile read, as they were then: (path, device, inode, size,
    // modification time in ns).
    std::vector<std::tuple<std::string, dev_t, ino_t, off_t, std::int64_t>> libraries;
    std::atomic<std::size_t> refs{1};
    ProgramRecord* next = nullptr;  // in the deferred list once unreferenced
};

namespace {

constexpr std::string_view target = "audio_faust::dsp";
constexpr std::size_t error_buffer_size = 4096;

llvm_dsp* c_instance(Instance* i) { return reinterpret_cast<llvm_dsp*>(i); }

std::atomic<std::uint64_t> compiles{0};

// Releases that found COMPILE_LOCK taken. Producers push with a compare-and-swap (any thread,
// the audio thread included); the holder of the lock takes the whole list.
std::atomic<FaustDsp::Handles*> deferred_dsps{nullptr};
std::atomic<ProgramRecord*> deferred_programs{nullptr};

template <class T>
void push(std::atomic<T*>& list, T* item) {
    item->next = list.load(std::memory_order_relaxed);
    while (!list.compare_exchange_weak(item->next, item, std::memory_order_release,
                                       std::memory_order_relaxed)) {
    }
}

// The live programs by key: the newest one (for reuse; none once it is freed) and how many
// are alive, since libfaust returns its cached factory for a key while any of them lives.
// Guarded by COMPILE_LOCK.
struct LivePrograms {
    ProgramRecord* newest = nullptr;
    std::size_t count = 0;
};
std::unordered_map<std::string, LivePrograms>& live_programs() {
    static std::unordered_map<std::string, LivePrograms> programs;
    return programs;
}

// Caller holds COMPILE_LOCK.
void free_program(ProgramRecord* p) {
    auto& live = live_programs();
    if (auto it = live.find(p->key); it != live.end()) {
        if (it->second.newest == p) it->second.newest = nullptr;
        if (--it->second.count == 0) live.erase(it);
    }
    deleteCDSPFactory(p->factory);
    delete p;
}

// Caller holds COMPILE_LOCK.
void unref(ProgramRecord* p) {
    if (p->refs.fetch_sub(1, std::memory_order_acq_rel) == 1) free_program(p);
}

// Caller holds COMPILE_LOCK.
void free_handles(FaustDsp::Handles* h) {
    deleteCDSPInstance(c_instance(h->instance));
    unref(h->program);
    delete h;
}

// Caller holds COMPILE_LOCK.
std::size_t drain_locked() {
    std::size_t n = 0;
    for (auto* h = deferred_dsps.exchange(nullptr, std::memory_order_acquire); h != nullptr; ++n) {
        auto* next = h->next;
        free_handles(h);
        h = next;
    }
    for (auto* p = deferred_programs.exchange(nullptr, std::memory_order_acquire); p != nullptr;
         ++n) {
        auto* next = p->next;
        free_program(p);
        p = next;
    }
    return n;
}

// A reference more, unless the program is already on its way out.
bool try_ref(ProgramRecord* p) {
    for (auto n = p->refs.load(std::memory_order_relaxed); n != 0;) {
        if (p->refs.compare_exchange_weak(n, n + 1, std::memory_order_acq_rel)) return true;
    }
    return false;
}

// Poisons COMPILE_LOCK when the scope is left by an exception.
struct PoisonOnThrow {
    int exceptions = std::uncaught_exceptions();
    ~PoisonOnThrow() {
        if (std::uncaught_exceptions() > exceptions) COMPILE_LOCK.poison();
    }
};

// COMPILE_LOCK taken (waiting), checked and cleared of deferred releases.
std::expected<std::unique_lock<std::mutex>, std::string> take_compile_lock() {
    std::unique_lock lock(COMPILE_LOCK.mutex());
    if (COMPILE_LOCK.poisoned()) {
        return std::unexpected(std::string("poisoned lock: another task failed inside"));
    }
    drain_locked();
    return lock;
}

std::expected<std::string, std::string> c_string(std::string_view text) {
    if (auto pos = text.find('\0'); pos != std::string_view::npos) {
        return std::unexpected("nul byte found in provided data at position: " +
                               std::to_string(pos));
    }
    return std::string(text);
}

// The library files a factory read, as they are now. A path that cannot be read stays in
// the list with zeros, so that its coming back counts as a change.
auto library_stamps(llvm_dsp_factory* factory) {
    decltype(ProgramRecord::libraries) out;
    const char** paths = getCDSPFactoryLibraryList(factory);
    for (std::size_t i = 0; paths != nullptr && paths[i] != nullptr; ++i) {
        struct stat st {};
        if (::stat(paths[i], &st) != 0) st = {};
        out.emplace_back(paths[i], st.st_dev, st.st_ino, st.st_size,
                         std::int64_t{st.st_mtim.tv_sec} * 1'000'000'000 + st.st_mtim.tv_nsec);
        freeCMemory(const_cast<char*>(paths[i]));
    }
    if (paths != nullptr) freeCMemory(static_cast<void*>(paths));
    return out;
}

bool libraries_unchanged(const ProgramRecord& p) {
    for (const auto& lib : p.libraries) {
        struct stat st {};
        if (::stat(std::get<0>(lib).c_str(), &st) != 0) st = {};
        if (lib != std::tuple(std::get<0>(lib), st.st_dev, st.st_ino, st.st_size,
                              std::int64_t{st.st_mtim.tv_sec} * 1'000'000'000 + st.st_mtim.tv_nsec))
            return false;
    }
    return true;
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
    std::lock_guard lock(COMPILE_LOCK.mutex());
    return drain_locked();
}

std::size_t try_drain_deferred_releases() {
    // Polled on every main-loop pass: leave the lock alone when nothing waits.
    if (deferred_dsps.load(std::memory_order_relaxed) == nullptr &&
        deferred_programs.load(std::memory_order_relaxed) == nullptr)
        return 0;
    std::unique_lock lock(COMPILE_LOCK.mutex(), std::try_to_lock);
    return lock.owns_lock() ? drain_locked() : 0;
}

std::uint64_t compile_count() { return compiles.load(std::memory_order_relaxed); }

std::expected<Program, std::string> Program::compile(std::string_view name,
                                                     std::string_view code) {
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
    std::string key = *c_name + '\0' + *c_code;
    for (const auto& a : args) {
        argv.push_back(a.c_str());
        key += '\0' + a;
    }

    auto lock = take_compile_lock();
    if (!lock) return std::unexpected(std::move(lock.error()));
    PoisonOnThrow guard;
    LivePrograms& live = live_programs()[key];
    if (ProgramRecord* p = live.newest; p != nullptr && libraries_unchanged(*p) && try_ref(p))
        return Program(p);
    // libfaust hands back its cached factory for a name and text while any program of them
    // lives, whatever its libraries say now: then the text differs by a trailing comment.
    static std::uint64_t revision = 0;
    if (live.count != 0) *c_code += "//" + std::to_string(++revision);
    compiles.fetch_add(1, std::memory_order_relaxed);
    llvm_dsp_factory* factory = createCDSPFactoryFromString(
        c_name->c_str(), c_code->c_str(), static_cast<int>(argv.size()),
        argv.empty() ? nullptr : argv.data(), "", error.data(), -1);
    if (factory == nullptr) {
        if (live.count == 0) live_programs().erase(key);
        return std::unexpected("FAUST compilation failed: " + utf8::lossy(error.c_str()));
    }
    live.newest = new ProgramRecord{factory, *c_name, key, library_stamps(factory)};
    ++live.count;
    return Program(live.newest);
}

Program::Program(const Program& other) noexcept : record_(other.record_) {
    if (record_ != nullptr) record_->refs.fetch_add(1, std::memory_order_relaxed);
}

Program& Program::operator=(const Program& other) noexcept {
    Program copy(other);
    std::swap(record_, copy.record_);
    return *this;
}

Program& Program::operator=(Program&& other) noexcept {
    Program gone(std::move(*this));
    record_ = std::exchange(other.record_, nullptr);
    return *this;
}

// Never waits: the last reference frees the code when no compile runs, and otherwise queues
// it for the next holder of COMPILE_LOCK.
Program::~Program() {
    if (record_ == nullptr || record_->refs.fetch_sub(1, std::memory_order_acq_rel) != 1) return;
    std::unique_lock lock(COMPILE_LOCK.mutex(), std::try_to_lock);
    if (lock.owns_lock()) {
        free_program(record_);
    } else {
        push(deferred_programs, record_);
    }
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
    auto program = Program::compile(name, code);
    if (!program) return std::unexpected(std::move(program.error()));
    return create(*program, sample_rate, block_size);
}

std::expected<FaustDsp, std::string> FaustDsp::create(const Program& program,
                                                      std::uint32_t sample_rate,
                                                      std::size_t block_size) {
    ProgramRecord* record = program.record_;
    auto handles = std::make_unique<Handles>();
    {
        auto lock = take_compile_lock();
        if (!lock) return std::unexpected(std::move(lock.error()));
        PoisonOnThrow guard;
        llvm_dsp* instance = createCDSPInstance(record->factory);
        if (instance == nullptr) {
            return std::unexpected(std::string("failed to create FAUST DSP instance"));
        }
        handles->instance = reinterpret_cast<Instance*>(instance);
        handles->program = record;
        record->refs.fetch_add(1, std::memory_order_relaxed);
    }
    const std::string& name = record->name;

    FaustDsp dsp;
    dsp.handles_ = std::move(handles);
    llvm_dsp* instance = c_instance(dsp.handles_->instance);
    const bool rate_fits = sample_rate <= std::uint32_t{std::numeric_limits<std::int32_t>::max()};
    initCDSPInstance(instance, rate_fits ? static_cast<int>(sample_rate) : 44100);
    dsp.num_inputs_ = static_cast<std::size_t>(getNumInputsCDSPInstance(instance));
    dsp.num_outputs_ = static_cast<std::size_t>(getNumOutputsCDSPInstance(instance));
    support::log::info(target, "FAUST '" + name + "': " +
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
    } else {
        push(deferred_dsps, handles_.release());
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
