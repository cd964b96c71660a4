#include "audio_faust/hot_reload.hpp"

#include <pthread.h>

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <stop_token>
#include <thread>
#include <unordered_map>

#include "audio_faust/dsp.hpp"
#include "audio_faust/loader.hpp"
#include "support/channel.hpp"
#include "support/log.hpp"

namespace audio_faust::hot_reload {

namespace fs = std::filesystem;
using audio_engine::engine::AudioProcessor;
using watcher::CompiledType;
using watcher::WatchEvent;

namespace {

constexpr std::string_view target = "audio_faust::hot_reload";

std::expected<void, std::string> load(audio_engine::engine::EngineController& controller,
                                      audio_engine::ir::GraphIr graph) {
    auto result =
        controller.handle_message(audio_engine::protocol::LoadGraph{std::move(graph)});
    if (!result) return std::unexpected(result.error().display());
    return {};
}

// Drops every Changed event that a later Changed event of the same file makes stale.
void keep_latest_changes(std::vector<WatchEvent>& events) {
    std::unordered_map<fs::path::string_type, std::size_t> last;
    for (std::size_t i = 0; i < events.size(); ++i) {
        if (events[i].kind == WatchEvent::Kind::Changed) last[events[i].path.native()] = i;
    }
    std::size_t i = 0;
    std::erase_if(events, [&](const WatchEvent& e) {
        const std::size_t at = i++;
        return e.kind == WatchEvent::Kind::Changed && last[e.path.native()] != at;
    });
}

}  // namespace

// A change taken from the watcher and, for a changed file, its compile.
struct Finished {
    WatchEvent event;
    std::expected<CompiledType, std::string> compiled;  // Removed: an empty value
};

// The compile thread: takes the watcher's events, compiles each changed file and queues the
// results for poll_reload, in the order of the events. It runs at the priority of the thread
// that built the engine (start-up, before the main thread turns realtime).
struct HotReloadEngine::Compiler {
    watcher::WatchSender wake;  // wakes the thread for shutdown
    support::channel::Sender<Finished> results_in;
    support::channel::Receiver<Finished> results;
    // Compiled results sent and applied: the next compile waits until they are equal.
    std::mutex mutex;
    std::condition_variable_any applied;
    std::uint64_t compiled_sent = 0;
    std::uint64_t compiled_applied = 0;
    std::jthread thread;

    Compiler(watcher::WatchSender sender, watcher::WatchReceiver events)
        : Compiler(std::move(sender), std::move(events), support::channel::unbounded<Finished>()) {}

    ~Compiler() {
        thread.request_stop();
        wake.send(WatchEvent{WatchEvent::Kind::Removed, {}, {}});
        thread.join();
    }

    // Called by a poll once it has applied `count` compiled results (and rebuilt the graph).
    void mark_applied(std::uint64_t count) {
        {
            std::lock_guard lock(mutex);
            compiled_applied += count;
        }
        applied.notify_one();
    }

private:
    Compiler(watcher::WatchSender sender, watcher::WatchReceiver events,
             std::pair<support::channel::Sender<Finished>, support::channel::Receiver<Finished>> out)
        : wake(std::move(sender)),
          results_in(std::move(out.first)),
          results(std::move(out.second)),
          thread([this, events = std::move(events)](std::stop_token stop) mutable {
              ::pthread_setname_np(::pthread_self(), "zorva-faust");
              run(stop, events);
          }) {}

    void run(std::stop_token stop, watcher::WatchReceiver& events) {
        std::vector<WatchEvent> batch;
        while (!stop.stop_requested()) {
            auto first = events.recv();
            if (!first) return;
            batch.clear();
            batch.push_back(std::move(*first));
            while (auto more = events.try_recv())
                batch.push_back(std::move(*more));
            keep_latest_changes(batch);
            for (WatchEvent& event : batch) {
                if (stop.stop_requested()) return;
                if (event.kind == WatchEvent::Kind::Removed) {
                    results_in.send(Finished{std::move(event), CompiledType{}});
                    continue;
                }
                {
                    std::unique_lock lock(mutex);
                    if (!applied.wait(lock, stop, [&] { return compiled_applied == compiled_sent; }))
                        return;
                }
                auto compiled = watcher::compile_change(event);
                {
                    std::lock_guard lock(mutex);
                    ++compiled_sent;
                }
                results_in.send(Finished{std::move(event), std::move(compiled)});
            }
        }
    }
};

HotReloadEngine::HotReloadEngine(audio_engine::engine::EngineController controller,
                                 std::unique_ptr<Compiler> compiler, watcher::DspWatcher watcher)
    : controller_(std::move(controller)),
      compiler_(std::move(compiler)),
      watcher_(std::move(watcher)) {}

HotReloadEngine::HotReloadEngine(HotReloadEngine&&) noexcept = default;
HotReloadEngine& HotReloadEngine::operator=(HotReloadEngine&&) noexcept = default;
HotReloadEngine::~HotReloadEngine() = default;

std::expected<std::pair<HotReloadEngine, AudioProcessor>, std::string> HotReloadEngine::create(
    audio_engine::engine::EngineConfig config, const fs::path& given) {
    auto [controller, processor] = audio_engine::engine::engine(config);
    auto [sender, receiver] = watcher::watch_channel();
    std::error_code ec;
    const fs::path dir = fs::absolute(given, ec);

    std::vector<fs::path> files;
    if (auto r = loader::collect_dsp_files(dir, files); !r) {
        return std::unexpected("failed to scan " + given.string() + ": " + r.error().message());
    }
    std::stable_sort(files.begin(), files.end());  // component by component
    for (const fs::path& file : files) {
        const fs::path rel = loader::relative_below(file, dir).value_or(file);
        auto name = loader::type_id(rel);
        if (!name) return std::unexpected("failed to read " + file.string() + ": invalid path");
        auto applied = watcher::apply_reload(controller.registry(),
                                             WatchEvent{WatchEvent::Kind::Changed, *name, file});
        if (!applied) return std::unexpected(std::move(applied.error()));
    }
    auto compiler = std::make_unique<Compiler>(sender, std::move(receiver));
    auto watch = watcher::DspWatcher::create(dir, std::move(sender));
    if (!watch) return std::unexpected(std::move(watch.error()));
    return std::pair{HotReloadEngine(std::move(controller), std::move(compiler), std::move(*watch)),
                     std::move(processor)};
}

HotReloadEngine::DrainReleases::~DrainReleases() { dsp::drain_deferred_releases(); }

std::expected<void, std::string> HotReloadEngine::load_graph(audio_engine::ir::GraphIr graph) {
    auto result = load(controller_, graph);
    if (result) graph_ = std::move(graph);
    return result;
}

std::expected<std::vector<std::string>, std::string> HotReloadEngine::poll_reload() {
    dsp::try_drain_deferred_releases();
    std::vector<std::string> applied;
    // Lets the compile thread go on once this poll is done with the graph.
    struct MarkApplied {
        Compiler& compiler;
        std::uint64_t count = 0;
        ~MarkApplied() {
            if (count != 0) compiler.mark_applied(count);
        }
    } mark{*compiler_};
    while (auto finished = compiler_->results.try_recv()) {
        std::string name = std::move(finished->event.name);
        if (finished->event.kind == WatchEvent::Kind::Changed) {
            ++mark.count;
            if (!finished->compiled) return std::unexpected(std::move(finished->compiled.error()));
            auto r = watcher::register_compiled(controller_.registry(), std::move(*finished->compiled));
            if (!r) return std::unexpected(std::move(r.error()));
        }
        support::log::info(target, "hot-reloaded FAUST node: " + name);
        applied.push_back(std::move(name));
    }
    if (applied.empty() || !graph_) return applied;
    const bool uses = std::any_of(graph_->nodes.begin(), graph_->nodes.end(), [&](const auto& n) {
        return std::find(applied.begin(), applied.end(), n.type_id) != applied.end();
    });
    if (uses) {
        support::log::info(target, "reloading graph after FAUST hot-reload");
        if (auto r = load(controller_, *graph_); !r) return std::unexpected(r.error());
    }
    return applied;
}

}  // namespace audio_faust::hot_reload
