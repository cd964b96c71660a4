// audio_faust::watcher — watches the DSP directory and turns file changes into WatchEvents,
// and turns a changed file into a node type.
//
// DspWatcher runs a recursive file-system watch on a thread of its own (directories that
// appear later are watched as they appear) for the life of the watcher: when the directory
// itself is removed or replaced, it logs a warning and watches it again, with a full scan,
// once it exists again. A file counts as changed when it is complete: closed after writing,
// moved in, or a link made to it; one event per file and kind per burst. The events go on an
// unbounded channel to the hot-reload engine's compile thread, which compiles each change
// with compile_change; the main loop registers the results with register_compiled.
// The watched paths are absolute, since a compile changes the process's working directory.
#pragma once

#include <expected>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "audio_engine/registry.hpp"
#include "audio_faust/factory.hpp"
#include "support/channel.hpp"

namespace audio_faust::watcher {

struct WatchEvent {
    enum class Kind { Changed, Removed };
    Kind kind;
    std::string name;             // the node type id
    std::filesystem::path path;   // Changed: the file as the file system reported it
    bool operator==(const WatchEvent&) const = default;
};

// The watcher thread sends, the hot-reload side receives (never the audio thread).
using WatchSender = support::channel::Sender<WatchEvent>;
using WatchReceiver = support::channel::Receiver<WatchEvent>;
inline std::pair<WatchSender, WatchReceiver> watch_channel() {
    return support::channel::unbounded<WatchEvent>();
}

// One raw change reported by the platform watch, classified: Create and Modify are complete
// files (moved or linked in, rewritten), Remove is a file deleted or moved away.
struct FsEvent {
    enum class Kind { Create, Modify, Remove, Other };
    Kind kind;
    std::vector<std::filesystem::path> paths;
    bool operator==(const FsEvent&) const = default;
};

// The platform watch (inotify on Linux); calls its handler on its own thread.
class FsWatch {
public:
    virtual ~FsWatch() = default;
};

class DspWatcher {
public:
    // Errors: "failed to create watcher: {}", "failed to watch {}: {}".
    static std::expected<DspWatcher, std::string> create(const std::filesystem::path& dir,
                                                         WatchSender sender);

    // For each .dsp path of the event that lies below `base` (after canonicalising it where
    // possible): create or modify of a non-empty file sends Changed, remove sends Removed;
    // everything else is skipped silently.
    static void handle_event(const FsEvent& event, const std::filesystem::path& base,
                             const WatchSender& sender);

private:
    explicit DspWatcher(std::unique_ptr<FsWatch> watch) : watch_(std::move(watch)) {}
    std::unique_ptr<FsWatch> watch_;
};

// Starts the platform watch on `dir` and everything below it (platform layer). The handler
// gets each burst's events in order, a path's repeats of one kind reduced to the last.
std::expected<std::unique_ptr<FsWatch>, std::string> start_fs_watch(
    const std::filesystem::path& dir, std::function<void(const FsEvent&)> handler);

// A changed file compiled into a node type, ready to register.
struct CompiledType {
    audio_engine::ir::types::NodeTypeDecl decl;
    std::unique_ptr<factory::FaustFactory> factory;
};

// Reads and compiles the file of a Changed event and describes its type. Errors: the read or
// compile error text. Runs wherever compiles run (the compile thread, or start-up).
std::expected<CompiledType, std::string> compile_change(const WatchEvent& event);

// Registers the type, or re-registers it (a new generation) when it is known. Error: the
// registry error text; the registry is then unchanged. Control thread.
std::expected<void, std::string> register_compiled(audio_engine::registry::NodeRegistry& registry,
                                                   CompiledType compiled);

// Removed: nothing (types are never removed). Changed: compile_change, then
// register_compiled.
std::expected<void, std::string> apply_reload(audio_engine::registry::NodeRegistry& registry,
                                              const WatchEvent& event);

}  // namespace audio_faust::watcher
