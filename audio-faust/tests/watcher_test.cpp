#include "audio_faust/watcher.hpp"

#include <gtest/gtest.h>

#include <chrono>
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
    const auto a = dir.write("a.dsp", "process = _;");
    const auto b = dir.write("sub/b.dsp", "process = _;");
    const auto empty = dir.write("empty.dsp", "");
    const auto upper = dir.write("x.DSP", "process = _;");
    const auto c = outside.write("c.dsp", "process = _;");
    fs::create_symlink(c, d / "link.dsp");
    struct Case {
        FsEvent event;
        std::vector<WatchEvent> want;
    };
    const Case cases[] = {
        {{FsEvent::Kind::Create, {a}}, {changed("faust:a", a)}},
        {{FsEvent::Kind::Modify, {b}}, {changed("faust:sub/b", b)}},
        {{FsEvent::Kind::Modify, {empty, upper, d / "b.txt"}}, {}},
        {{FsEvent::Kind::Create, {d / "gone.dsp"}}, {}},
        {{FsEvent::Kind::Remove, {d / "gone.dsp", d / "gone.txt", b}},
         {removed("faust:gone"), removed("faust:sub/b")}},
        {{FsEvent::Kind::Other, {a}}, {}},
        {{FsEvent::Kind::Create, {c, d / "link.dsp"}}, {}},
    };
    auto [sender, receiver] = watcher::watch_channel();
    for (const Case& t : cases) {
        DspWatcher::handle_event(t.event, d, sender);
        EXPECT_EQ(drain(receiver), t.want) << t.event.paths.front();
    }
}

// Collects events until `done` holds for them or five seconds pass.
template <class Done>
std::vector<WatchEvent> wait_for(watcher::WatchReceiver& events, Done done) {
    std::vector<WatchEvent> seen;
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!done(seen) && std::chrono::steady_clock::now() < until) {
        for (auto& e : drain(events))
            seen.push_back(std::move(e));
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return seen;
}

TEST(DspWatcher, WatchesTheTreeAndDirectoriesThatAppear) {
    test_util::TempDir dir;
    const fs::path& d = dir.path();
    auto [sender, receiver] = watcher::watch_channel();
    auto watch = DspWatcher::create(d, sender);
    ASSERT_TRUE(watch.has_value()) << watch.error();
    const auto has = [](WatchEvent want) {
        return [want](const std::vector<WatchEvent>& seen) {
            return std::find(seen.begin(), seen.end(), want) != seen.end();
        };
    };
    struct Step {
        std::function<void()> act;
        WatchEvent want;
    };
    const Step steps[] = {
        {[&] { dir.write("a.dsp", "process = _;"); }, changed("faust:a", d / "a.dsp")},
        {[&] { dir.write("new/deeper/c.dsp", "process = _;"); },
         changed("faust:new/deeper/c", d / "new/deeper/c.dsp")},
        {[&] { fs::rename(d / "a.dsp", d / "new/m.dsp"); }, removed("faust:a")},
        {[&] { fs::remove(d / "new/m.dsp"); }, removed("faust:new/m")},
        {[&] { fs::rename(d / "new", d / "renamed"); },
         changed("faust:renamed/deeper/c", d / "renamed/deeper/c.dsp")},
        {[&] { dir.write("renamed/deeper/c.dsp", "process = 1;"); },
         changed("faust:renamed/deeper/c", d / "renamed/deeper/c.dsp")},
    };
    for (const Step& s : steps) {
        s.act();
        const auto seen = wait_for(receiver, has(s.want));
        EXPECT_TRUE(has(s.want)(seen)) << s.want.name;
        // A moved directory's old path is no longer watched.
        if (s.want.name.starts_with("faust:renamed/")) {
            for (const auto& e : seen)
                EXPECT_FALSE(e.name.starts_with("faust:new/")) << e.name;
        }
    }

    auto missing = DspWatcher::create(d / "nope", sender);
    ASSERT_FALSE(missing.has_value());
    EXPECT_EQ(missing.error(), "failed to watch " + (d / "nope").string() +
                                   ": No such file or directory");
}

// One burst of events may carry several texts of one file: a declaration is reused only for
// the text it was probed from.
TEST(ApplyReload, RegistersReregistersAndKeepsTheTypeOnFailure) {
    test_util::TempDir dir;
    audio_engine::registry::NodeRegistry registry;
    std::optional<watcher::LastProbe> last;
    const fs::path file = dir.path() / "fx" / "a.dsp";
    struct Step {
        const char* text;  // null: the file was removed
        std::string error_start;
        std::uint64_t generation;
        std::size_t controls;
    };
    const Step steps[] = {
        {"process = hslider(\"x\", 0, 0, 1, 0.1);", "", 1, 1},
        {"process = hslider(\"x\", 0, 0, 1, 0.1);", "", 2, 1},
        {"process = hslider(\"x\", 0, 0, 1, 0.1) + hslider(\"y\", 0, 0, 1, 0.1);", "", 3, 2},
        {"process = (;", "FAUST compilation failed: a : 1 : ERROR", 3, 2},
        {nullptr, "", 3, 2},
        {nullptr, "failed to read " + file.string() + ": No such file or directory", 3, 2},
    };
    for (const Step& s : steps) {
        if (s.text) dir.write("fx/a.dsp", s.text);
        const bool removal = s.text == nullptr && s.error_start.empty();
        if (removal) fs::remove(file);
        auto r = watcher::apply_reload(
            registry, removal ? removed("faust:fx/a") : changed("faust:fx/a", file), last);
        EXPECT_EQ(r ? "" : r.error().substr(0, s.error_start.size()), s.error_start);
        EXPECT_EQ(registry.generation("faust:fx/a"), s.generation) << (s.text ? s.text : "");
        EXPECT_EQ(registry.get_type("faust:fx/a")->controls.size(), s.controls);
        auto node = registry.create_node("faust:fx/a", 48000, 64);
        ASSERT_TRUE(node.has_value());
        EXPECT_EQ((*node)->set_param("y", 0.5f).has_value(), s.controls == 2);
    }
}

}  // namespace
