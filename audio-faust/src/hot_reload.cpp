#include "audio_faust/hot_reload.hpp"

#include <algorithm>

#include "audio_faust/dsp.hpp"
#include "audio_faust/loader.hpp"
#include "support/log.hpp"

namespace audio_faust::hot_reload {

namespace fs = std::filesystem;
using audio_engine::engine::AudioProcessor;
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

}  // namespace

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
    auto watch = watcher::DspWatcher::create(dir, std::move(sender));
    if (!watch) return std::unexpected(std::move(watch.error()));
    return std::pair{HotReloadEngine(std::move(controller), std::move(receiver), std::move(*watch)),
                     std::move(processor)};
}

HotReloadEngine::DrainReleases::~DrainReleases() { dsp::drain_deferred_releases(); }

std::expected<void, std::string> HotReloadEngine::load_graph(audio_engine::ir::GraphIr graph) {
    auto result = load(controller_, graph);
    if (result) graph_ = std::move(graph);
    return result;
}

std::expected<std::vector<std::string>, std::string> HotReloadEngine::poll_reload() {
    dsp::drain_deferred_releases();
    std::vector<std::string> applied;
    std::optional<watcher::LastProbe> last;
    while (auto event = events_.try_recv()) {
        std::string name = event->name;
        if (auto r = watcher::apply_reload(controller_.registry(), *event, last); !r) {
            return std::unexpected(std::move(r.error()));
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
