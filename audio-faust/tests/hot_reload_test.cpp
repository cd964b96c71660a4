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

constexpr audio_engine::engine::EngineConfig config{64, 2, 48000, 10};

TEST(HotReloadStartup, RegistersEveryDspFileOrFailsWithTheFirstError) {
    using Files = std::vector<std::pair<const char*, const char*>>;
    const std::pair<Files, std::expected<Ids, std::string>> cases[] = {  // error: its start
        {{}, Ids{}},
        {{{"a.dsp", "process = _;"}, {"sub/b.dsp", "process = +;"}, {"x.DSP", "process = _;"},
          {"b.txt", "x"}, {"sub/b.txt", "x"}},
         Ids{"faust:a", "faust:sub/b"}},
        // Component order: fx/lpf.dsp comes before fx-2.dsp.
        {{{"fx-2.dsp", "process = (;"}, {"fx/lpf.dsp", "process = (;"}},
         std::unexpected("FAUST compilation failed: lpf : 1 : ERROR")},
        {{{"bad.dsp", "// \xe9"}}, std::unexpected("failed to read ")},
    };
    for (const auto& [files, want] : cases) {
        test_util::TempDir dir;
        for (auto [name, text] : files)
            dir.write(name, text);
        auto made = HotReloadEngine::create(config, dir.path());
        if (!made) {
            EXPECT_TRUE(!want && made.error().starts_with(want.error())) << made.error();
            continue;
        }
        Ids ids = made->first.controller().list_node_types();
        std::erase_if(ids, [](const auto& id) { return !id.starts_with("faust:"); });
        std::ranges::sort(ids);
        EXPECT_EQ(ids, want.value_or(Ids{"(an error)"}));
    }
    EXPECT_EQ(HotReloadEngine::create(config, "/nonexistent/dsp").error(),
              "failed to scan /nonexistent/dsp: No such file or directory");
}

class HotReloadTest : public ::testing::Test {
protected:
    HotReloadTest() {
        support::log::init_with("audio_faust::hot_reload=info", support::log::Style::Never,
                                [this](std::string_view line) { log.emplace_back(line); });
        dir.write("a.dsp", "process = hslider(\"level\", 0.5, 0, 1, 0.01);");
        dir.write("sub/b.dsp", "process = _;");
        auto made = HotReloadEngine::create(config, dir.path());
        EXPECT_TRUE(made.has_value()) << made.error();
        engine.emplace(std::move(made->first));
    }
    ~HotReloadTest() override { support::log::reset(); }

    std::size_t logged(const std::string& text) const {
        return std::count_if(log.begin(), log.end(),
                             [&](const auto& line) { return line.ends_with("] " + text + "\n"); });
    }
    std::uint64_t generation(std::string_view id) { return engine->controller().registry().generation(id); }
    // Writes a file by renaming a finished copy over it: one change event.
    void save(const char* name, std::string_view text) {
        fs::rename(dir.write(std::string(name) + ".tmp", text), dir.path() / name);
    }
    // Polls until `id` was applied (or five seconds pass): every id applied, or the error.
    std::expected<Ids, std::string> poll_until(std::string_view id) {
        Ids all;
        for (int i = 0; i < 2500 && std::find(all.begin(), all.end(), id) == all.end(); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
            auto ids = engine->poll_reload();
            if (!ids) return ids;
            all.insert(all.end(), ids->begin(), ids->end());
        }
        return all;
    }

    test_util::TempDir dir;
    std::vector<std::string> log;
    std::optional<HotReloadEngine> engine;
};

TEST_F(HotReloadTest, ReloadsChangedTypesAndTheLastLoadedGraphOnce) {
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

    // A type the graph does not use: registered, no reload.
    save("c.dsp", "process = 1;");
    EXPECT_EQ(poll_until("faust:c"), Ids{"faust:c"});
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

    // Truncation sends nothing: the next event seen is the one after it.
    std::ofstream(dir.path() / "a.dsp", std::ios::trunc).close();
    save("e.dsp", "process = 3;");
    EXPECT_EQ(poll_until("faust:e"), Ids{"faust:e"});

    // Deletion keeps the type and reloads the graph that uses it.
    fs::remove(dir.path() / "a.dsp");
    EXPECT_EQ(poll_until("faust:a"), Ids{"faust:a"});
    EXPECT_EQ(generation("faust:a"), gen_a);
    EXPECT_EQ(logged(reload), 2u);
}

}  // namespace
