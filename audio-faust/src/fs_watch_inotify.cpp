// The platform watch on Linux: inotify, one watch per directory (inotify is not recursive),
// read on a thread of our own that an eventfd wakes for shutdown.
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <thread>
#include <unordered_map>

#include "audio_faust/watcher.hpp"
#include "support/log.hpp"

namespace audio_faust::watcher {

namespace fs = std::filesystem;

namespace {

constexpr std::string_view target = "audio_faust::watcher";

// Files count when complete (closed after writing, moved in); a bare modify of a file still
// open for writing does not. Creation only matters for links and directories.
constexpr std::uint32_t watched_events = IN_CREATE | IN_CLOSE_WRITE | IN_DELETE | IN_MOVED_FROM |
                                         IN_MOVED_TO | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;

// How often a lost directory is looked for again.
constexpr int lost_root_poll_ms = 100;

// The kind of a file's event; Other for what does not count.
FsEvent::Kind classify(std::uint32_t mask, const fs::path& path) {
    if (mask & IN_MOVED_TO) return FsEvent::Kind::Create;
    if (mask & IN_CLOSE_WRITE) return FsEvent::Kind::Modify;
    if (mask & (IN_DELETE | IN_MOVED_FROM)) return FsEvent::Kind::Remove;
    // A link is complete once made; a file created by opening it is reported when closed.
    std::error_code ec;
    if ((mask & IN_CREATE) && fs::is_symlink(path, ec)) return FsEvent::Kind::Create;
    return FsEvent::Kind::Other;
}

// Keeps the last of each (kind, path) of a burst, in order.
void keep_last(std::vector<FsEvent>& events) {
    std::vector<FsEvent> kept;
    for (auto it = events.rbegin(); it != events.rend(); ++it) {
        if (std::find(kept.begin(), kept.end(), *it) == kept.end()) kept.push_back(std::move(*it));
    }
    events.assign(std::make_move_iterator(kept.rbegin()), std::make_move_iterator(kept.rend()));
}

class InotifyWatch final : public FsWatch {
public:
    using Handler = std::function<void(const FsEvent&)>;

    InotifyWatch(int fd, int wake, fs::path root, Handler handler)
        : fd_(fd), wake_(wake), root_(std::move(root)), handler_(std::move(handler)) {}

    ~InotifyWatch() override {
        if (thread_.joinable()) {
            const std::uint64_t one = 1;
            [[maybe_unused]] auto n = ::write(wake_, &one, sizeof one);
            thread_.join();
        }
        ::close(fd_);
        ::close(wake_);
    }

    // Watches the root and everything below it; `report` sends a create event for every file
    // found. Returns the error of watching the root itself.
    int watch_root(bool report) {
        const int wd = ::inotify_add_watch(fd_, root_.c_str(), watched_events);
        if (wd < 0) return errno;
        root_wd_ = wd;
        dirs_.emplace(wd, root_);
        watch_below(root_, report);
        return 0;
    }

    void start() { thread_ = std::thread([this] { run(); }); }

private:
    // Watches the subdirectories of `dir`. `report` sends a create event for every file found,
    // for a directory that appeared while running: files may land in it before its watch.
    void watch_below(const fs::path& dir, bool report) {
        std::error_code ec;
        for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
            const fs::path& path = it->path();
            std::error_code dir_ec;
            if (fs::is_directory(path, dir_ec)) {
                watch_tree(path, report);
            } else if (report) {
                handler_(FsEvent{FsEvent::Kind::Create, {path}});
            }
        }
    }

    void watch_tree(const fs::path& dir, bool report) {
        const int wd = ::inotify_add_watch(fd_, dir.c_str(), watched_events);
        // inotify gives a watched directory its old descriptor back: a link loop ends here.
        if (wd < 0 || !dirs_.emplace(wd, dir).second) return;
        watch_below(dir, report);
    }

    // A directory moved away keeps its watches under a stale path: drop them.
    void unwatch_tree(const fs::path& dir) {
        for (auto it = dirs_.begin(); it != dirs_.end();) {
            auto [d, p] = std::mismatch(dir.begin(), dir.end(), it->second.begin(),
                                        it->second.end());
            if (d == dir.end()) {
                ::inotify_rm_watch(fd_, it->first);
                it = dirs_.erase(it);
            } else {
                ++it;
            }
        }
    }

    // The root was removed or moved away: every watch below it is stale.
    void lose_root() {
        support::log::warn(target, "DSP directory " + root_.string() +
                                       " was removed or replaced; watching for it to return");
        for (const auto& [wd, path] : dirs_) ::inotify_rm_watch(fd_, wd);
        dirs_.clear();
        root_wd_ = -1;
    }

    void find_root() {
        if (watch_root(true) == 0)
            support::log::info(target, "DSP directory " + root_.string() + " is back; watching it");
    }

    void run() {
        alignas(inotify_event) char buf[16 * 1024];
        pollfd fds[2] = {{fd_, POLLIN, 0}, {wake_, POLLIN, 0}};
        std::vector<FsEvent> burst;
        for (;;) {
            if (::poll(fds, 2, root_wd_ < 0 ? lost_root_poll_ms : -1) < 0) {
                if (errno == EINTR) continue;
                return;
            }
            if (fds[1].revents != 0) return;
            if (fds[0].revents == 0) {
                if (root_wd_ < 0) find_root();
                continue;
            }
            const ssize_t len = ::read(fd_, buf, sizeof buf);
            if (len <= 0) continue;
            burst.clear();
            for (ssize_t off = 0; off < len;) {
                const auto* ev = reinterpret_cast<const inotify_event*>(buf + off);
                off += static_cast<ssize_t>(sizeof(inotify_event) + ev->len);
                dispatch(*ev, burst);
            }
            keep_last(burst);
            for (const FsEvent& e : burst)
                handler_(e);
            if (root_wd_ < 0) find_root();
        }
    }

    void dispatch(const inotify_event& ev, std::vector<FsEvent>& burst) {
        if (ev.wd == root_wd_ && (ev.mask & (IN_DELETE_SELF | IN_MOVE_SELF | IN_IGNORED))) {
            lose_root();
            return;
        }
        if (ev.mask & IN_IGNORED) {
            dirs_.erase(ev.wd);
            return;
        }
        auto it = dirs_.find(ev.wd);
        if (it == dirs_.end() || ev.len == 0) return;
        const fs::path path = it->second / ev.name;
        if (ev.mask & IN_ISDIR) {
            if (ev.mask & (IN_CREATE | IN_MOVED_TO)) watch_tree(path, true);
            if (ev.mask & IN_MOVED_FROM) unwatch_tree(path);
            return;
        }
        if (const auto kind = classify(ev.mask, path); kind != FsEvent::Kind::Other)
            burst.push_back(FsEvent{kind, {path}});
    }

    int fd_;
    int wake_;
    fs::path root_;
    int root_wd_ = -1;
    Handler handler_;
    std::unordered_map<int, fs::path> dirs_;  // touched by the watch thread only once started
    std::thread thread_;
};

}  // namespace

std::expected<std::unique_ptr<FsWatch>, std::string> start_fs_watch(
    const fs::path& dir, std::function<void(const FsEvent&)> handler) {
    const int fd = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (fd < 0) return std::unexpected("failed to create watcher: " + std::string(std::strerror(errno)));
    const int wake = ::eventfd(0, EFD_CLOEXEC);
    if (wake < 0) {
        const int err = errno;
        ::close(fd);
        return std::unexpected("failed to create watcher: " + std::string(std::strerror(err)));
    }
    auto watch = std::make_unique<InotifyWatch>(fd, wake, dir, std::move(handler));
    if (const int err = watch->watch_root(false); err != 0) {
        return std::unexpected("failed to watch " + dir.string() + ": " + std::strerror(err));
    }
    watch->start();
    return watch;
}

}  // namespace audio_faust::watcher
