#include "audio_faust/watcher.hpp"

#include "audio_faust/factory.hpp"
#include "audio_faust/loader.hpp"

namespace audio_faust::watcher {

namespace fs = std::filesystem;

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

std::expected<CompiledType, std::string> compile_change(const WatchEvent& event) {
    auto code = loader::read_source(event.path);
    if (!code) return std::unexpected(std::move(code.error()));
    auto factory = factory::FaustFactory::compile(loader::app_name(event.path), std::move(*code));
    if (!factory) return std::unexpected(std::move(factory.error()));
    auto decl = factory->probe_type_decl(event.name);
    if (!decl) return std::unexpected(std::move(decl.error()));
    return CompiledType{std::move(*decl),
                        std::make_unique<factory::FaustFactory>(std::move(*factory))};
}

std::expected<void, std::string> register_compiled(audio_engine::registry::NodeRegistry& registry,
                                                   CompiledType compiled) {
    const bool known = registry.declaration(compiled.decl.type_id) != nullptr;
    auto result = known ? registry.reregister(std::move(compiled.decl), std::move(compiled.factory))
                        : registry.register_type(std::move(compiled.decl), std::move(compiled.factory));
    if (!result) return std::unexpected(result.error().display());
    return {};
}

std::expected<void, std::string> apply_reload(audio_engine::registry::NodeRegistry& registry,
                                              const WatchEvent& event) {
    if (event.kind == WatchEvent::Kind::Removed) return {};
    auto compiled = compile_change(event);
    if (!compiled) return std::unexpected(std::move(compiled.error()));
    return register_compiled(registry, std::move(*compiled));
}

}  // namespace audio_faust::watcher
