#include "audio_faust/watcher.hpp"

#include "audio_faust/factory.hpp"
#include "audio_faust/loader.hpp"

namespace audio_faust::watcher {

namespace fs = std::filesystem;

bool WatchSender::send(WatchEvent event) const {
    std::lock_guard lock(state_->mutex);
    if (!state_->receiver_alive) return false;
    state_->queue.push_back(std::move(event));
    return true;
}

WatchReceiver::~WatchReceiver() {
    if (!state_) return;
    std::lock_guard lock(state_->mutex);
    state_->receiver_alive = false;
}

std::optional<WatchEvent> WatchReceiver::try_recv() {
    std::lock_guard lock(state_->mutex);
    if (state_->queue.empty()) return std::nullopt;
    WatchEvent event = std::move(state_->queue.front());
    state_->queue.pop_front();
    return event;
}

std::pair<WatchSender, WatchReceiver> watch_channel() {
    auto state = std::make_shared<detail::ChannelState>();
    return {WatchSender(state), WatchReceiver(state)};
}

std::expected<DspWatcher, std::string> DspWatcher::create(const fs::path& dir,
                                                          WatchSender sender) {
    std::error_code ec;
    const fs::path watched = fs::absolute(dir, ec);
    fs::path base = fs::canonical(watched, ec);
    if (ec) base = watched;
    auto watch = start_fs_watch(
        watched, [base = std::move(base), sender = std::move(sender)](const FsEvent& event) {
            handle_event(event, base, sender);
        });
    if (!watch) return std::unexpected(std::move(watch.error()));
    return DspWatcher(std::move(*watch));
}

void DspWatcher::handle_event(const FsEvent& event, const fs::path& base,
                              const WatchSender& sender) {
    for (const fs::path& path : event.paths) {
        if (!loader::is_dsp(path)) continue;
        std::error_code ec;
        fs::path real = fs::canonical(path, ec);
        auto rel = loader::relative_below(ec ? path : real, base);
        if (!rel) continue;
        auto name = loader::type_id(*rel);
        if (!name) continue;
        switch (event.kind) {
            case FsEvent::Kind::Create:
            case FsEvent::Kind::Modify: {
                const auto size = fs::file_size(path, ec);
                if (!ec && size != 0) sender.send({WatchEvent::Kind::Changed, *name, path});
                break;
            }
            case FsEvent::Kind::Remove:
                sender.send({WatchEvent::Kind::Removed, *name, {}});
                break;
            case FsEvent::Kind::Other:
                break;
        }
    }
}

std::expected<void, std::string> apply_reload(audio_engine::registry::NodeRegistry& registry,
                                              const WatchEvent& event) {
    std::optional<LastProbe> last;
    return apply_reload(registry, event, last);
}

std::expected<void, std::string> apply_reload(audio_engine::registry::NodeRegistry& registry,
                                              const WatchEvent& event,
                                              std::optional<LastProbe>& last) {
    if (event.kind == WatchEvent::Kind::Removed) return {};
    auto code = loader::read_source(event.path);
    if (!code) return std::unexpected(std::move(code.error()));
    std::string app = loader::app_name(event.path);
    if (!last || last->decl.type_id != event.name || last->app_name != app || last->code != *code) {
        last.reset();
        auto decl = factory::FaustFactory(app, *code).probe_type_decl(event.name);
        if (!decl) return std::unexpected(std::move(decl.error()));
        last = LastProbe{app, *code, std::move(*decl)};
    }
    auto decl = last->decl;
    auto factory = std::make_unique<factory::FaustFactory>(std::move(app), std::move(*code));
    auto result = registry.declaration(event.name) == nullptr
                      ? registry.register_type(std::move(decl), std::move(factory))
                      : registry.reregister(std::move(decl), std::move(factory));
    if (!result) return std::unexpected(result.error().display());
    return {};
}

}  // namespace audio_faust::watcher
