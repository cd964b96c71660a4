// audio_faust::hot_reload — the audio engine kept in step with a directory of Faust sources.
//
// Owned by the host for the life of the process and used on its main loop only. At start-up
// every .dsp file below the directory is compiled and registered as a node type; then a
// DspWatcher reports changes to a compile thread of this engine, which reads and compiles each
// changed file (one compile per save, under COMPILE_LOCK), and each poll_reload only takes the
// finished results: it registers or re-registers their types and reloads the last loaded graph
// once when it uses one of them. The compile thread starts the next compile only after a poll
// has applied the last result (the graph reloaded). Types are never removed: a deleted file
// keeps its type, a file that stops compiling keeps the old type and the running graph.
//
// The main loop never waits for a compile: Faust instances, which need COMPILE_LOCK too, are
// made ahead of need on an instance thread of this engine and kept in each type's stock (as
// many as the graph has nodes of the type). A graph is built only once `ready_for` says its
// instances are there; until then the caller keeps the request and asks again, and a hot
// reload's graph rebuild waits in the same way inside poll_reload.
#pragma once

#include <expected>
#include <filesystem>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "audio_engine/engine.hpp"
#include "audio_engine/ir.hpp"
#include "audio_engine/protocol.hpp"
#include "audio_faust/factory.hpp"
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

    // Whether the audio request can be applied now without waiting for libfaust: true for a
    // request that builds no graph, and for a graph (loaded or edited) whose Faust nodes all
    // have an instance in stock, or whose making failed (the build then fails with that
    // error). Otherwise the missing instances are asked for and a later call says true.
    bool ready_for(const audio_engine::protocol::ClientMessage& message);

    // Loads the graph; on success it becomes the graph that hot reloads load again.
    std::expected<void, std::string> load_graph(audio_engine::ir::GraphIr graph);
    // Any other audio request, through the controller; then the stocks are topped up for the
    // graph as it now stands.
    audio_engine::engine::Result handle_message(audio_engine::protocol::ClientMessage message);

    // Applies every finished change, in the order the files changed, and returns the type ids
    // applied (removals too). The first failing change ends the call with its error; later
    // ones wait for the next call. Also takes the instances made meanwhile; a graph reload
    // whose instances are not there yet happens in a later call. Never waits for a compile.
    std::expected<std::vector<std::string>, std::string> poll_reload();

    audio_engine::engine::EngineController& controller() { return controller_; }
    const std::optional<audio_engine::ir::GraphIr>& graph() const { return graph_; }
    // A changed type's graph reload waits for its instances.
    bool reload_waiting() const { return reload_pending_; }

private:
    struct Compiler;
    struct Maker;
    using Stocks = std::unordered_map<std::string, std::shared_ptr<factory::InstanceStock>>;

    HotReloadEngine(audio_engine::engine::EngineController controller, Stocks stocks,
                    std::unique_ptr<Compiler> compiler, std::unique_ptr<Maker> maker,
                    watcher::DspWatcher watcher);

    // Registers a compiled type with a stock of its own.
    std::expected<void, std::string> register_type(watcher::CompiledType compiled);
    // Takes the instances the instance thread has made into their stocks.
    void take_made();
    // Asks for what the stocks lack for the Faust nodes of `nodes` and `more`; true when every
    // one of them can be made now without waiting. With `trim`, stocks beyond need shrink.
    bool stock_for(const std::vector<audio_engine::ir::NodeInstance>& nodes,
                   std::span<const std::string_view> more = {}, bool trim = false);
    void top_up();

    // Destroyed last: frees libfaust handles that the graphs released below had to leave
    // queued because a compile held the lock at that moment (without waiting, when a compile
    // was left running at shutdown).
    struct DrainReleases {
        bool wait = true;
        DrainReleases() = default;
        DrainReleases(DrainReleases&& other) noexcept : wait(std::exchange(other.wait, false)) {}
        DrainReleases& operator=(DrainReleases&& other) noexcept {
            wait = std::exchange(other.wait, false);
            return *this;
        }
        ~DrainReleases();
    } drain_;
    audio_engine::engine::EngineController controller_;
    std::optional<audio_engine::ir::GraphIr> graph_;
    Stocks stocks_;
    bool reload_pending_ = false;  // the graph uses a changed type; waiting for its instances
    std::uint64_t unmarked_ = 0;   // compiled results applied, not yet reported as such
    std::size_t in_flight_ = 0;    // instances asked of the instance thread, not yet taken
    std::unique_ptr<Compiler> compiler_;
    std::unique_ptr<Maker> maker_;
    watcher::DspWatcher watcher_;
};

// True once an engine was dropped while its compile thread was inside a compile: that thread
// and the instance thread were left running (libfaust cannot be interrupted), and the process
// must end with std::_Exit rather than run static destructors under them.
bool compile_abandoned();

}  // namespace audio_faust::hot_reload
