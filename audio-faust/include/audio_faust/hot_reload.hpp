// audio_faust::hot_reload — the audio engine kept in step with a directory of Faust sources.
//
// Owned by the host for the life of the process and used on its main loop only. At start-up
// every .dsp file below the directory is compiled and registered as a node type; then a
// DspWatcher reports changes to a compile thread of this engine, which reads and compiles each
// changed file (one compile per save, under COMPILE_LOCK), and each poll_reload only takes the
// finished results: it registers or re-registers their types and reloads the last loaded graph
// once when it uses one of them. The compile thread starts the next compile only after a poll
// has applied the last result, so the graph rebuild never waits for a compile. Types are never
// removed: a deleted file keeps its type, a file that stops compiling keeps the old type and
// the running graph.
#pragma once

#include <expected>
#include <filesystem>
#include <memory>
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
    // path-component order (compiling here, before the main loop runs), then starts the
    // compile thread and the watcher. Errors: "failed to scan {}: {}", "failed to read {}: {}",
    // the compile error of a file, the registry error text, the watcher's errors.
    static std::expected<std::pair<HotReloadEngine, audio_engine::engine::AudioProcessor>,
                         std::string>
    create(audio_engine::engine::EngineConfig config, const std::filesystem::path& dir);

    HotReloadEngine(HotReloadEngine&&) noexcept;
    HotReloadEngine& operator=(HotReloadEngine&&) noexcept;
    ~HotReloadEngine();

    // Loads the graph; on success it becomes the graph that hot reloads load again.
    std::expected<void, std::string> load_graph(audio_engine::ir::GraphIr graph);

    // Applies every finished change, in the order the files changed, and returns the type ids
    // applied (removals too). The first failing change ends the call with its error; later
    // ones wait for the next call. Never waits for a compile.
    std::expected<std::vector<std::string>, std::string> poll_reload();

    audio_engine::engine::EngineController& controller() { return controller_; }
    const std::optional<audio_engine::ir::GraphIr>& graph() const { return graph_; }

private:
    struct Compiler;

    HotReloadEngine(audio_engine::engine::EngineController controller,
                    std::unique_ptr<Compiler> compiler, watcher::DspWatcher watcher);

    // Destroyed last: frees libfaust handles that the graphs released below had to leave
    // queued because a compile held the lock at that moment.
    struct DrainReleases {
        DrainReleases() = default;
        DrainReleases(DrainReleases&&) noexcept = default;
        DrainReleases& operator=(DrainReleases&&) noexcept = default;
        ~DrainReleases();
    } drain_;
    audio_engine::engine::EngineController controller_;
    std::optional<audio_engine::ir::GraphIr> graph_;
    std::unique_ptr<Compiler> compiler_;
    watcher::DspWatcher watcher_;
};

}  // namespace audio_faust::hot_reload
