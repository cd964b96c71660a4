// audio_faust::hot_reload — the audio engine kept in step with a directory of Faust sources.
//
// Owned by the host for the life of the process and used on its main loop only. At start-up
// every .dsp file below the directory is compiled and registered as a node type; then a
// DspWatcher reports changes, and each poll_reload recompiles the changed files, registers or
// re-registers their types and reloads the last loaded graph once when it uses one of them.
// Types are never removed: a deleted file keeps its type, a file that stops compiling keeps
// the old type and the running graph.
#pragma once

#include <expected>
#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "audio_engine/engine.hpp"
#include "audio_engine/ir.hpp"
#include "audio_faust/watcher.hpp"

namespace audio_faust::hot_reload {

class HotReloadEngine {
public:
    // Builds the audio engine and registers faust:<relative path> for every file, in
    // path-component order. Errors: "failed to scan {}: {}", "failed to read {}: {}", the
    // compile error of a file, the registry error text, the watcher's errors.
    static std::expected<std::pair<HotReloadEngine, audio_engine::engine::AudioProcessor>,
                         std::string>
    create(audio_engine::engine::EngineConfig config, const std::filesystem::path& dir);

    HotReloadEngine(HotReloadEngine&&) noexcept = default;
    HotReloadEngine& operator=(HotReloadEngine&&) noexcept = default;

    // Loads the graph; on success it becomes the graph that hot reloads load again.
    std::expected<void, std::string> load_graph(audio_engine::ir::GraphIr graph);

    // Applies every queued watcher event and returns the type ids applied (removals too). The
    // first failing event ends the call with its error; later events wait for the next call.
    std::expected<std::vector<std::string>, std::string> poll_reload();

    audio_engine::engine::EngineController& controller() { return controller_; }
    const std::optional<audio_engine::ir::GraphIr>& graph() const { return graph_; }

private:
    HotReloadEngine(audio_engine::engine::EngineController controller,
                    watcher::WatchReceiver events, watcher::DspWatcher watcher)
        : controller_(std::move(controller)),
          events_(std::move(events)),
          watcher_(std::move(watcher)) {}

    // Destroyed last: frees libfaust handles that the graphs released below had to leave
    // queued because a compile held the lock at that moment.
    struct DrainReleases {
        DrainReleases() = default;
        DrainReleases(DrainReleases&&) noexcept = default;
        DrainReleases& operator=(DrainReleases&&) noexcept = default;
        ~DrainReleases();
    } drain_;
    audio_engine::engine::EngineController controller_;
    watcher::WatchReceiver events_;
    std::optional<audio_engine::ir::GraphIr> graph_;
    watcher::DspWatcher watcher_;
};

}  // namespace audio_faust::hot_reload
