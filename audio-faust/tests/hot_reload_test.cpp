#include "audio_faust/hot_reload.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <thread>

#include "support/log.hpp"
#include "temp_dir.hpp"

namespace {

using namespace audio_faust;
using hot_reload::HotReloadEngine;
using Ids = std::vector<std::string>;
namespace fs = std::filesystem;

TEST(HotReload, ReloadsChangedTypesAndTheLastLoadedGraphOnce) {
    std::vector<std::string> log;
    struct ResetLog {
        ~ResetLog() { support::log::reset(); }
    } reset_log;
    support::log::init_with("audio_faust::hot_reload=info", support::log::Style::Never,
                            [&](std::string_view line) { log.emplace_back(line); });
    test_util::TempDir dir;
    dir.write("a.dsp", "process = hslider(\"level\", 0.5, 0, 1, 0.01);");
    dir.write("sub/b.dsp", "process = _;");
    auto made = HotReloadEngine::create({64, 2, 48000, 10}, dir.path());
    ASSERT_TRUE(made.has_value()) << made.error();
    HotReloadEngine* engine = &made->first;
    const auto logged = [&](const std::string& text) {
        return std::size_t(
            std::ranges::count_if(log, [&](auto& l) { return l.ends_with("] " + text + "\n"); }));
    };
    const auto generation = [&](std::string_view id) {
        return engine->controller().registry().generation(id);
    };
    // Writes a file by renaming a finished copy over it: one change event.
    const auto save = [&](const char* name, std::string_view text) {
        fs::rename(dir.write(std::string(name) + ".tmp", text), dir.path() / name);
    };
    // Polls until `id` was applied (or five seconds pass): every id applied, or the error.
    const auto poll_until = [&](std::string_view id) -> std::expected<Ids, std::string> {
        Ids all;
        for (int i = 0; i < 2500 && std::ranges::count(all, id) == 0; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
            auto ids = engine->poll_reload();
            if (!ids) return ids;
            all.insert(all.end(), ids->begin(), ids->end());
        }
        return all;
    };
    const audio_engine::ir::GraphIr bad{{{"z", "faust:zzz", {}}}, {}, {}},
        graph{{{"s1", "faust:a", {}}, {"s2", "faust:a", {}}, {"fx", "faust:sub/b", {}}, {"out", "dac", {}}}, {}, {}};
    ASSERT_TRUE(engine->load_graph(graph).has_value());
    EXPECT_EQ(engine->load_graph(bad).error(), "registry error: node type not found: faust:zzz");
    EXPECT_EQ(engine->graph(), graph);
    const std::string reload = "reloading graph after FAUST hot-reload";

    // Saved in place, as an editor does: several events, one reload of the graph.
    dir.write("a.dsp", "process = hslider(\"level\", 0.5, 0, 1, 0.01) + hslider(\"b\", 0, 0, 1, 0.1);");
    std::this_thread::sleep_for(std::chrono::milliseconds(300));  // all events queued
    auto ids = poll_until("faust:a");
    ASSERT_TRUE(ids.has_value()) << ids.error();
    EXPECT_EQ(std::count(ids->begin(), ids->end(), "faust:a"), std::ssize(*ids));
    EXPECT_GT(generation("faust:a"), 1u);
    EXPECT_EQ(engine->controller().registry().get_type("faust:a")->controls.size(), 2u);
    EXPECT_EQ(logged("hot-reloaded FAUST node: faust:a"), ids->size());
    EXPECT_EQ(logged(reload), 1u);

    // A file that stops compiling keeps the old type; the events behind it wait.
    const auto gen_a = generation("faust:a");
    save("a.dsp", "process = (;");
    save("d.dsp", "process = 2;");
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    auto broken = engine->poll_reload();
    ASSERT_FALSE(broken.has_value());
    EXPECT_TRUE(broken.error().starts_with("FAUST compilation failed: a : 1 : ERROR")) << broken.error();
    EXPECT_EQ(generation("faust:a"), gen_a);
    EXPECT_EQ(poll_until("faust:d"), Ids{"faust:d"});
    EXPECT_EQ(logged(reload), 1u);  // a type the graph does not use: no reload

    // Truncation sends nothing: the next event seen is the one after it.
    std::ofstream(dir.path() / "a.dsp", std::ios::trunc).close();
    save("e.dsp", "process = 3;");
    EXPECT_EQ(poll_until("faust:e"), Ids{"faust:e"});

    // Deletion keeps the type and reloads the graph that uses it.
    fs::remove(dir.path() / "a.dsp");
    EXPECT_EQ(poll_until("faust:a"), Ids{"faust:a"});
    EXPECT_EQ(generation("faust:a"), gen_a);
    EXPECT_EQ(logged(reload), 2u);

    // Directories that appear are watched, moves count as removal and creation, and a moved
    // directory is watched under its new path only.
    const auto seen = [&](const std::string& id, const std::string& also, bool old_path) {
        auto ids = poll_until(id);
        return ids && std::ranges::count(*ids, id) && std::ranges::count(*ids, also) &&
               (old_path ||
                std::ranges::none_of(*ids, [](auto& i) { return i.starts_with("faust:new/"); }));
    };
    dir.write("new/deeper/f.dsp", "process = 4;");
    EXPECT_TRUE(seen("faust:new/deeper/f", "faust:new/deeper/f", true));
    fs::rename(dir.path() / "sub/b.dsp", dir.path() / "new/b.dsp");
    EXPECT_TRUE(seen("faust:new/b", "faust:sub/b", true));
    fs::rename(dir.path() / "new", dir.path() / "renamed");
    EXPECT_TRUE(seen("faust:renamed/deeper/f", "faust:renamed/b", false));
    dir.write("renamed/deeper/f.dsp", "process = 5;");
    EXPECT_TRUE(seen("faust:renamed/deeper/f", "faust:renamed/deeper/f", false));
}

}  // namespace
