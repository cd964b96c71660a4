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
namespace fs = std::filesystem;
namespace ir = audio_engine::ir;

constexpr audio_engine::engine::EngineConfig config{64, 2, 48000, 10};

std::vector<std::string> faust_types(HotReloadEngine& engine) {
    std::vector<std::string> ids;
    for (auto& id : engine.controller().list_node_types())
        if (id.starts_with("faust:")) ids.push_back(id);
    std::sort(ids.begin(), ids.end());
    return ids;
}

TEST(HotReloadStartup, RegistersEveryDspFileOrFailsWithTheFirstError) {
    using Files = std::vector<std::pair<const char*, const char*>>;
    struct Case {
        Files files;
        std::expected<std::vector<std::string>, std::string> want;  // error: its start
    };
    const Case cases[] = {
        {{}, std::vector<std::string>{}},
        {{{"a.dsp", "process = _;"}, {"sub/b.dsp", "process = +;"}, {"x.DSP", "process = _;"},
          {"b.txt", "x"}, {"sub/b.txt", "x"}},
         std::vector<std::string>{"faust:a", "faust:sub/b"}},
        // Component order: fx/lpf.dsp comes before fx-2.dsp.
        {{{"fx-2.dsp", "process = (;"}, {"fx/lpf.dsp", "process = (;"}},
         std::unexpected("FAUST compilation failed: lpf : 1 : ERROR")},
        {{{"bad.dsp", "// \xe9"}}, std::unexpected("failed to read ")},
    };
    for (const Case& c : cases) {
        test_util::TempDir dir;
        for (auto [name, text] : c.files)
            dir.write(name, text);
        auto made = HotReloadEngine::create(config, dir.path());
        ASSERT_EQ(made.has_value(), c.want.has_value()) << (made ? "" : made.error());
        if (made) {
            EXPECT_EQ(faust_types(made->first), *c.want);
        } else {
            EXPECT_TRUE(made.error().starts_with(c.want.error())) << made.error();
        }
    }
    auto missing = HotReloadEngine::create(config, "/nonexistent/dsp");
    ASSERT_FALSE(missing.has_value());
    EXPECT_EQ(missing.error(), "failed to scan /nonexistent/dsp: No such file or directory");
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
        processor.emplace(std::move(made->second));
    }
    ~HotReloadTest() override { support::log::reset(); }

    std::size_t logged(std::string_view text) const {
        return std::count_if(log.begin(), log.end(), [&](const std::string& line) {
            return line.ends_with(std::string(text) + "\n");
        });
    }
    std::uint64_t generation(std::string_view id) {
        return engine->controller().registry().generation(id);
    }
    // Writes a file by renaming a finished copy over it: one change event.
    void save(const char* name, std::string_view text) {
        const auto tmp = dir.write(std::string(name) + ".tmp", text);
        fs::rename(tmp, dir.path() / name);
    }
    // Polls until `id` was applied (or five seconds pass); returns every id applied, or the
    // first error.
    std::expected<std::vector<std::string>, std::string> poll_until(std::string_view id) {
        std::vector<std::string> all;
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (std::find(all.begin(), all.end(), id) == all.end() &&
               std::chrono::steady_clock::now() < until) {
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
    std::optional<audio_engine::engine::AudioProcessor> processor;
};

ir::GraphIr graph_of(std::vector<std::pair<std::string, std::string>> nodes) {
    ir::GraphIr g;
    for (auto& [id, type] : nodes)
        g.nodes.push_back({id, type, {}});
    return g;
}

TEST_F(HotReloadTest, ReloadsChangedTypesAndTheLastLoadedGraphOnce) {
    const auto graph = graph_of({{"s1", "faust:a"}, {"s2", "faust:a"}, {"fx", "faust:sub/b"},
                                 {"out", "dac"}});
    ASSERT_TRUE(engine->load_graph(graph).has_value());
    auto bad = engine->load_graph(graph_of({{"z", "faust:zzz"}}));
    ASSERT_FALSE(bad.has_value());
    EXPECT_EQ(bad.error(), "registry error: node type not found: faust:zzz");
    EXPECT_EQ(engine->graph(), graph);

    // Saved in place, as an editor does: several events, one reload of the graph.
    dir.write("a.dsp", "process = hslider(\"level\", 0.5, 0, 1, 0.01) + hslider(\"bias\", 0, 0, 1, 0.1);");
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    auto ids = poll_until("faust:a");
    ASSERT_TRUE(ids.has_value()) << ids.error();
    EXPECT_TRUE(std::all_of(ids->begin(), ids->end(), [](auto& id) { return id == "faust:a"; }));
    EXPECT_GT(generation("faust:a"), 1u);
    EXPECT_EQ(engine->controller().registry().get_type("faust:a")->controls.size(), 2u);
    EXPECT_EQ(logged("hot-reloaded FAUST node: faust:a"), ids->size());
    EXPECT_EQ(logged("reloading graph after FAUST hot-reload"), 1u);

    // A type the graph does not use: registered, no reload.
    save("c.dsp", "process = 1;");
    EXPECT_EQ(poll_until("faust:c"), (std::vector<std::string>{"faust:c"}));
    EXPECT_EQ(generation("faust:c"), 1u);
    EXPECT_EQ(logged("reloading graph after FAUST hot-reload"), 1u);

    // A file that stops compiling keeps the old type; the events behind it wait.
    const auto gen_a = generation("faust:a");
    save("a.dsp", "process = (;");
    save("d.dsp", "process = 2;");
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    auto broken = engine->poll_reload();
    ASSERT_FALSE(broken.has_value());
    EXPECT_TRUE(broken.error().starts_with("FAUST compilation failed: a : 1 : ERROR")) << broken.error();
    EXPECT_EQ(generation("faust:a"), gen_a);
    EXPECT_EQ(poll_until("faust:d"), (std::vector<std::string>{"faust:d"}));
    EXPECT_EQ(engine->graph(), graph);

    // Truncation sends nothing: the next event seen is the one after it.
    std::ofstream(dir.path() / "a.dsp", std::ios::trunc).close();
    save("e.dsp", "process = 3;");
    EXPECT_EQ(poll_until("faust:e"), (std::vector<std::string>{"faust:e"}));

    // Deletion keeps the type and reloads the graph that uses it.
    fs::remove(dir.path() / "a.dsp");
    EXPECT_EQ(poll_until("faust:a"), (std::vector<std::string>{"faust:a"}));
    EXPECT_EQ(generation("faust:a"), gen_a);
    EXPECT_EQ(logged("reloading graph after FAUST hot-reload"), 2u);
}

}  // namespace
