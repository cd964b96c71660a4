// audio_faust::watcher — watches the DSP directory and turns file changes into WatchEvents.
//
// DspWatcher runs a recursive file-system watch on a thread of its own (directories that
// appear later are watched as they appear) and sends one WatchEvent per qualifying change on
// an unbounded channel; the hot-reload engine drains it on the host main loop and applies
// each event with apply_reload. There is no debouncing: one save may send several Changed.
// The watched paths are absolute, since a compile changes the process's working directory.
#pragma once

#include <deque>
#include <expected>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "audio_engine/registry.hpp"

namespace audio_faust::watcher {

struct WatchEvent {
    enum class Kind { Changed, Removed };
    Kind kind;
    std::string name;             // the node type id
    std::filesystem::path path;   // Changed: the file as the file system reported it
    bool operator==(const WatchEvent&) const = default;
};

// Unbounded multi-producer channel of WatchEvents (the watcher thread sends, the main loop
// receives; neither is the audio thread). A send after the receiver is gone fails.
namespace detail {
struct ChannelState {
    std::mutex mutex;
    std::deque<WatchEvent> queue;
    bool receiver_alive = true;
};
}  // namespace detail

class WatchSender {
public:
    explicit WatchSender(std::shared_ptr<detail::ChannelState> state) : state_(std::move(state)) {}
    bool send(WatchEvent event) const;

private:
    std::shared_ptr<detail::ChannelState> state_;
};

class WatchReceiver {
public:
    explicit WatchReceiver(std::shared_ptr<detail::ChannelState> state)
        : state_(std::move(state)) {}
    WatchReceiver(WatchReceiver&&) noexcept = default;
    WatchReceiver& operator=(WatchReceiver&&) noexcept = default;
    ~WatchReceiver();
    // The oldest event, or none when the channel is empty; never waits.
    std::optional<WatchEvent> try_recv();

private:
    std::shared_ptr<detail::ChannelState> state_;
};

std::pair<WatchSender, WatchReceiver> watch_channel();

// One raw change reported by the platform watch, classified.
struct FsEvent {
    enum class Kind { Create, Modify, Remove, Other };
    Kind kind;
    std::vector<std::filesystem::path> paths;
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

// Starts the platform watch on `dir` and everything below it (platform layer).
std::expected<std::unique_ptr<FsWatch>, std::string> start_fs_watch(
    const std::filesystem::path& dir, std::function<void(const FsEvent&)> handler);

// Removed: nothing (types are never removed). Changed: reads and probes the file, then
// registers its type, or re-registers it (a new generation) when it is known. Errors: the
// read, compile or registry error text; the registry is then unchanged.
std::expected<void, std::string> apply_reload(audio_engine::registry::NodeRegistry& registry,
                                              const WatchEvent& event);

// The last declaration apply_reload probed. One save sends several Changed events for one
// text; probing that text again would compile it again for the same declaration.
struct LastProbe {
    std::string app_name;
    std::string code;
    audio_engine::ir::types::NodeTypeDecl decl;
};

// As above, but takes the declaration from `last` when the file holds the same text for the
// same type; keeps `last` up to date. Callers keep `last` only across one burst of events (a
// library the text imports may have changed since).
std::expected<void, std::string> apply_reload(audio_engine::registry::NodeRegistry& registry,
                                              const WatchEvent& event,
                                              std::optional<LastProbe>& last);

}  // namespace audio_faust::watcher
