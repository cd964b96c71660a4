#include "audio_faust/watcher.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <mutex>
#include <thread>

#include "temp_dir.hpp"

namespace {

using namespace audio_faust;
using watcher::DspWatcher;
using watcher::FsEvent;
using watcher::WatchEvent;
namespace fs = std::filesystem;

WatchEvent changed(std::string name, fs::path path) {
    return {WatchEvent::Kind::Changed, std::move(name), std::move(path)};
}
WatchEvent removed(std::string name) { return {WatchEvent::Kind::Removed, std::move(name), {}}; }

std::vector<WatchEvent> drain(watcher::WatchReceiver& events) {
    std::vector<WatchEvent> out;
    while (auto e = events.try_recv())
        out.push_back(std::move(*e));
    return out;
}

TEST(DspWatcher, SendsChangesOfNonEmptyDspFilesBelowTheBase) {
    test_util::TempDir dir, outside;
    const fs::path& d = dir.path();
    const auto a = dir.write("a.dsp", "process = _;"), b = dir.write("sub/b.dsp", "process = _;");
    const auto empty = dir.write("empty.dsp", ""), upper = dir.write("x.DSP", "process = _;");
    const auto c = outside.write("c.dsp", "process = _;"), v = dir.write("v1.2.dsp", "process = _;");
    fs::create_symlink(c, d / "link.dsp");
    const std::pair<FsEvent, std::vector<WatchEvent>> cases[] = {
        {{FsEvent::Kind::Create, {a}}, {changed("faust:a", a)}},
        {{FsEvent::Kind::Modify, {b, v}}, {changed("faust:sub/b", b), changed("faust:v1.2", v)}},
        {{FsEvent::Kind::Modify, {empty, upper, d / "b.txt"}}, {}},
        {{FsEvent::Kind::Create, {d / "gone.dsp"}}, {}},
        {{FsEvent::Kind::Remove, {d / "gone.dsp", d / "gone.txt", b}},
         {removed("faust:gone"), removed("faust:sub/b")}},
        {{FsEvent::Kind::Other, {a}}, {}},
        {{FsEvent::Kind::Create, {c, d / "link.dsp"}}, {}},  // outside, also through a link
    };
    auto [sender, receiver] = watcher::watch_channel();
    for (const auto& [event, want] : cases) {
        DspWatcher::handle_event(event, d, sender);
        EXPECT_EQ(drain(receiver), want) << event.paths.front();
    }
    EXPECT_EQ(DspWatcher::create(d / "nope", sender).error(),
              "failed to watch " + (d / "nope").string() + ": No such file or directory");
}

TEST(ApplyReload, RegistersThenReregistersProbingEachNewText) {
    test_util::TempDir dir;
    audio_engine::registry::NodeRegistry registry;
    const std::string x = "hslider(\"x\", 0, 0, 1, 0.1)", y = " + hslider(\"y\", 0, 0, 1, 0.1)";
    for (auto [text, generation] : {std::pair{x, 1u}, {x, 2u}, {x + y, 3u}, {x, 4u}}) {
        const auto file = dir.write("fx/a.dsp", "process = " + text + ";");
        ASSERT_TRUE(watcher::apply_reload(registry, changed("faust:fx/a", file)).has_value());
        EXPECT_EQ(registry.generation("faust:fx/a"), generation);
        const bool has_y = text.size() > x.size();
        EXPECT_EQ(registry.get_type("faust:fx/a")->controls.size(), has_y ? 2u : 1u);
        auto node = registry.create_node("faust:fx/a", 48000, 64);
        ASSERT_TRUE(node.has_value());
        auto set = (*node)->set_param("y", 0.5f);
        EXPECT_EQ(set ? "" : set.error().display(), has_y ? "" : "parameter not found: y");
    }
}

// The platform watch reports a file when it is complete: not while it is still
// open for writing, and not at its creation unless it is a link.
TEST(DspWatcher, PlatformWatchReportsFilesWhenComplete) {
    test_util::TempDir dir;
    const fs::path& d = dir.path();
    std::mutex mutex;
    std::vector<FsEvent> seen;
    auto watch = watcher::start_fs_watch(d, [&](const FsEvent& e) {
        std::lock_guard lock(mutex);
        seen.push_back(e);
    });
    ASSERT_TRUE(watch.has_value()) << watch.error();
    // What arrives within `span` (until `want` events when given).
    const auto take = [&](std::size_t want, std::chrono::milliseconds span) {
        const auto end = std::chrono::steady_clock::now() + span;
        for (;;) {
            {
                std::lock_guard lock(mutex);
                if ((want != 0 && seen.size() >= want) || std::chrono::steady_clock::now() > end) return std::exchange(seen, {});
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    };
    using K = FsEvent::Kind;
    const auto one = [](K kind, fs::path path) { return std::vector{FsEvent{kind, {std::move(path)}}}; };
    {
        std::ofstream out(d / "a.dsp");
        out << "process" << std::flush;
        out << " = _;" << std::flush;
        EXPECT_EQ(take(0, std::chrono::milliseconds(150)), std::vector<FsEvent>{});
    }
    EXPECT_EQ(take(1, std::chrono::seconds(5)), one(K::Modify, d / "a.dsp"));
    fs::rename(dir.write("b.tmp", "x"), d / "b.dsp");
    EXPECT_EQ(take(3, std::chrono::seconds(5)),
              (std::vector<FsEvent>{{K::Modify, {d / "b.tmp"}}, {K::Remove, {d / "b.tmp"}}, {K::Create, {d / "b.dsp"}}}));
    fs::create_symlink(d / "a.dsp", d / "l.dsp");
    EXPECT_EQ(take(1, std::chrono::seconds(5)), one(K::Create, d / "l.dsp"));
    fs::remove(d / "a.dsp");
    EXPECT_EQ(take(1, std::chrono::seconds(5)), one(K::Remove, d / "a.dsp"));
}

}  // namespace
