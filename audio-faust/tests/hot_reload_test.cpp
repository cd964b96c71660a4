#include "audio_faust/hot_reload.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <future>
#include <mutex>
#include <thread>

#include "audio_faust/dsp.hpp"

#include "compile_error.hpp"
#include "slow_compile.hpp"
#include "support/log.hpp"
#include "temp_dir.hpp"

namespace {

using namespace audio_faust;
using hot_reload::HotReloadEngine;
using Ids = std::vector<std::string>;
namespace fs = std::filesystem;

// An engine on <temp>/dsp with its log captured; saves rename a finished file into place.
struct Rig {
    std::mutex log_mutex;  // lines come from the watcher and compile threads too
    std::vector<std::string> log;
    test_util::TempDir tmp;
    fs::path dir = tmp.path() / "dsp";
    std::optional<HotReloadEngine> engine;

    using Files = std::vector<std::pair<std::string, std::string>>;
    explicit Rig(const Files& files = {}) {
        support::log::init_with("audio_faust=info", support::log::Style::Never,
                                [this](std::string_view line) {
                                    std::lock_guard lock(log_mutex);
                                    log.emplace_back(line);
                                });
        fs::create_directories(dir);
        for (const auto& [name, text] : files)
            tmp.write(dir / name, text);
        auto made = HotReloadEngine::create({64, 2, 48000, 10}, dir);
        if (made) engine.emplace(std::move(made->first));
        EXPECT_TRUE(made.has_value()) << made.error();
    }
    ~Rig() {
        engine.reset();
        support::log::reset();
    }
    std::size_t logged(std::string_view text) {
        std::lock_guard lock(log_mutex);
        return std::size_t(std::ranges::count_if(log, [&](auto& l) { return l.find(text) != l.npos; }));
    }
    std::uint64_t generation(std::string_view id) { return engine->controller().registry().generation(id); }
    std::size_t controls(std::string_view id) {
        auto decl = engine->controller().registry().get_type(id);
        return decl ? decl->controls.size() : 0;
    }
    void save(const fs::path& rel, std::string_view text) {
        fs::rename(tmp.write(rel.string() + ".tmp", text), dir / rel);
    }
    // Polls until `id` is applied (and the graph reloaded when it uses it) or ten seconds
    // pass; every id applied, or the first error.
    std::expected<Ids, std::string> poll_until(std::string_view id) {
        Ids all;
        for (int i = 0; i < 5000 && (std::ranges::count(all, id) == 0 || engine->reload_waiting());
             ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
            auto ids = engine->poll_reload();
            if (!ids) return ids;
            all.insert(all.end(), ids->begin(), ids->end());
        }
        return all;
    }
    // Polls for a while and returns what was applied.
    Ids poll_for(std::chrono::milliseconds span) {
        Ids all;
        for (auto end = std::chrono::steady_clock::now() + span; std::chrono::steady_clock::now() < end;) {
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
            if (auto ids = engine->poll_reload()) all.insert(all.end(), ids->begin(), ids->end());
        }
        return all;
    }
};

TEST(HotReload, ReloadsChangedTypesAndTheLastLoadedGraphOnce) {
    Rig rig(Rig::Files{{"a.dsp", "process = hslider(\"level\", 0.5, 0, 1, 0.01);"}, {"sub/b.dsp", "process = _;"}});
    ASSERT_TRUE(rig.engine);
    HotReloadEngine* engine = &*rig.engine;
    const auto& dir = rig.dir;
    const auto write = [&](const fs::path& rel, std::string_view text) { return rig.tmp.write(dir / rel, text); };
    const auto logged = [&](const std::string& text) {
        std::lock_guard lock(rig.log_mutex);
        return std::size_t(
            std::ranges::count_if(rig.log, [&](auto& l) { return l.ends_with("] " + text + "\n"); }));
    };
    const auto generation = [&](std::string_view id) { return rig.generation(id); };
    const auto save = [&](const char* name, std::string_view text) { rig.save(name, text); };
    const auto poll_until = [&](std::string_view id) { return rig.poll_until(id); };
    const audio_engine::ir::GraphIr bad{{{"z", "faust:zzz", {}}}, {}, {}},
        graph{{{"s1", "faust:a", {}}, {"s2", "faust:a", {}}, {"fx", "faust:sub/b", {}}, {"out", "dac", {}}}, {}, {}};
    ASSERT_TRUE(engine->load_graph(graph).has_value());
    EXPECT_EQ(engine->load_graph(bad).error(), "registry error: node type not found: faust:zzz");
    EXPECT_EQ(engine->graph(), graph);
    const std::string reload = "reloading graph after FAUST hot-reload";

    // Saved in place, as an editor does: several events, one reload of the graph.
    write("a.dsp", "process = hslider(\"level\", 0.5, 0, 1, 0.01) + hslider(\"b\", 0, 0, 1, 0.1);");
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
    EXPECT_TRUE(test_util::starts_with_any(broken.error(),
                                           test_util::compile_error_starts("a", 1, " : ERROR")))
        << broken.error();
    EXPECT_EQ(generation("faust:a"), gen_a);
    EXPECT_EQ(poll_until("faust:d"), Ids{"faust:d"});
    EXPECT_EQ(logged(reload), 1u);  // a type the graph does not use: no reload

    // Truncation sends nothing: the next event seen is the one after it.
    std::ofstream(dir / "a.dsp", std::ios::trunc).close();
    save("e.dsp", "process = 3;");
    EXPECT_EQ(poll_until("faust:e"), Ids{"faust:e"});

    // Deletion keeps the type and reloads the graph that uses it.
    fs::remove(dir / "a.dsp");
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
    write("new/deeper/f.dsp", "process = 4;");
    EXPECT_TRUE(seen("faust:new/deeper/f", "faust:new/deeper/f", true));
    fs::rename(dir / "sub/b.dsp", dir / "new/b.dsp");
    EXPECT_TRUE(seen("faust:new/b", "faust:sub/b", true));
    fs::rename(dir / "new", dir / "renamed");
    EXPECT_TRUE(seen("faust:renamed/deeper/f", "faust:renamed/b", false));
    write("renamed/deeper/f.dsp", "process = 5;");
    EXPECT_TRUE(seen("faust:renamed/deeper/f", "faust:renamed/deeper/f", false));
}


using test_util::sliders;
using test_util::thread_cpu_ms;

// The main loop polls while a slow file compiles: no poll compiles or waits for the compile,
// the graph is rebuilt from the compiled code, and graphs of registered types compile nothing.
TEST(HotReload, CompilesAwayFromThePollAndRebuildsTheGraphFromTheCompiledCode) {
    Rig rig(Rig::Files{{"slow.dsp", sliders(2, 0)}});
    ASSERT_TRUE(rig.engine);
    const audio_engine::ir::GraphIr graph{{{"a", "faust:slow", {}}, {"b", "faust:slow", {}}, {"out", "dac", {}}}, {}, {}};
    ASSERT_TRUE(rig.engine->load_graph(graph).has_value());
    const auto compiles = dsp::compile_count();
    const auto generation = rig.generation("faust:slow");
    rig.save("slow.dsp", sliders(250, 1));
    double longest_cpu = 0, longest_wall = 0;
    int polls = 0;
    const auto start = std::chrono::steady_clock::now();
    while ((rig.generation("faust:slow") == generation || rig.engine->reload_waiting()) &&
           std::chrono::steady_clock::now() - start < std::chrono::seconds(20)) {
        const double cpu = thread_cpu_ms();
        const auto wall = std::chrono::steady_clock::now();
        ASSERT_TRUE(rig.engine->poll_reload().has_value());
        longest_cpu = std::max(longest_cpu, thread_cpu_ms() - cpu);
        longest_wall = std::max(longest_wall, std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - wall).count());
        ++polls;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    EXPECT_EQ(rig.generation("faust:slow"), generation + 1);
    EXPECT_EQ(rig.controls("faust:slow"), 250u);
    EXPECT_EQ(dsp::compile_count(), compiles + 1);  // the graph was rebuilt without compiling
    EXPECT_EQ(rig.logged("reloading graph after FAUST hot-reload"), 1u);
    EXPECT_GT(polls, 10);  // the loop kept its rhythm while the file compiled
    // CPU time: a compile on the poll costs far more; wall time: waiting for one, with room
    // for a loaded machine (and for the sanitizers' slowdown).
    using audio_faust::test_util::slowdown;
    EXPECT_LT(longest_cpu, 5.0 * slowdown);
    EXPECT_LT(longest_wall, 50.0 * slowdown);

    const audio_engine::ir::GraphIr four{{{"a", "faust:slow", {}}, {"b", "faust:slow", {}}, {"c", "faust:slow", {}},
                                          {"d", "faust:slow", {}}, {"out", "dac", {}}}, {}, {}};
    ASSERT_TRUE(rig.engine->load_graph(four).has_value());
    EXPECT_EQ(dsp::compile_count(), compiles + 1);
}

// Two files saved together compile one after the other, and the second compile starts only
// once a poll has applied the first: its type registered and the graph that uses it reloaded.
TEST(HotReload, TwoSavesCompileInTurnEachAfterThePollAppliedTheOneBefore) {
    struct Case {
        bool existing;  // both files are there from the start
        bool graph;     // a loaded graph uses both types
    };
    for (const Case c : {Case{false, false}, Case{true, true}}) {
        SCOPED_TRACE(c.existing ? "changed files, graph loaded" : "new files, no graph");
        Rig rig(c.existing ? Rig::Files{{"a.dsp", "process = 0;"}, {"b.dsp", "process = 0;"}}
                           : Rig::Files{});
        ASSERT_TRUE(rig.engine);
        if (c.graph) {
            const audio_engine::ir::GraphIr graph{
                {{"a", "faust:a", {}}, {"b", "faust:b", {}}, {"out", "dac", {}}}, {}, {}};
            ASSERT_TRUE(rig.engine->load_graph(graph).has_value());
        }
        const std::string reload = "reloading graph after FAUST hot-reload";
        const auto compiles = dsp::compile_count();
        rig.save("a.dsp", "process = 1;");
        rig.save("b.dsp", "process = 2;");
        // Without a poll the second compile never starts (a loaded machine may take a while
        // over the first).
        const auto waited = [&](std::chrono::milliseconds span, std::uint64_t until) {
            for (auto end = std::chrono::steady_clock::now() + span;
                 dsp::compile_count() < until && std::chrono::steady_clock::now() < end;)
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            return dsp::compile_count() - compiles;
        };
        EXPECT_EQ(waited(std::chrono::seconds(10), compiles + 1), 1u);
        EXPECT_EQ(waited(std::chrono::milliseconds(1500), compiles + 2), 1u);
        EXPECT_EQ(rig.poll_until("faust:a"), Ids{"faust:a"});
        EXPECT_EQ(rig.generation("faust:a"), c.existing ? 2u : 1u);
        EXPECT_EQ(rig.engine->controller().registry().get_type("faust:b").has_value(), c.existing);
        EXPECT_EQ(rig.logged(reload), c.graph ? 1u : 0u);
        EXPECT_EQ(rig.poll_until("faust:b"), Ids{"faust:b"});
        EXPECT_EQ(rig.generation("faust:b"), c.existing ? 2u : 1u);
        EXPECT_EQ(rig.logged(reload), c.graph ? 2u : 0u);
        EXPECT_EQ(dsp::compile_count(), compiles + 2);
    }
}

// Every compile takes COMPILE_LOCK: while another thread holds it, a save is not compiled, and
// polls go on without waiting.
TEST(HotReload, CompilesTakeTheCompileLock) {
    Rig rig;
    ASSERT_TRUE(rig.engine);
    std::promise<void> held, release;
    std::thread holder([&] {
        std::lock_guard lock(dsp::COMPILE_LOCK.mutex());
        held.set_value();
        release.get_future().wait();
    });
    held.get_future().wait();
    const auto compiles = dsp::compile_count();
    rig.save("a.dsp", "process = 1;");
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(rig.poll_for(std::chrono::milliseconds(300)), Ids{});
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
    EXPECT_EQ(dsp::compile_count(), compiles);
    release.set_value();
    holder.join();
    EXPECT_EQ(rig.poll_until("faust:a"), Ids{"faust:a"});
    EXPECT_EQ(dsp::compile_count(), compiles + 1);
}

// A file is compiled when it is complete: a save written in two halves gives one compile of
// the whole text, and one registration.
TEST(HotReload, AnInPlaceSaveInTwoHalvesRegistersTheWholeTextOnce) {
    Rig rig(Rig::Files{{"a.dsp", "process = 0;"}});
    ASSERT_TRUE(rig.engine);
    const auto compiles = dsp::compile_count();
    const std::string text = sliders(2, 3);
    {
        std::ofstream out(rig.dir / "a.dsp", std::ios::trunc);
        out << text.substr(0, text.size() / 2) << std::flush;
        EXPECT_EQ(rig.poll_for(std::chrono::milliseconds(200)), Ids{});
        out << text.substr(text.size() / 2);
    }
    EXPECT_EQ(rig.poll_until("faust:a"), Ids{"faust:a"});
    EXPECT_EQ(rig.poll_for(std::chrono::milliseconds(200)), Ids{});
    EXPECT_EQ(rig.generation("faust:a"), 2u);
    EXPECT_EQ(rig.controls("faust:a"), 2u);
    EXPECT_EQ(dsp::compile_count(), compiles + 1);
    EXPECT_EQ(rig.logged("hot-reloaded FAUST node: faust:a"), 1u);
}

// The watch outlives the directory: moved away and made again, it is watched again (files
// already there are found), and the moved one is no longer watched.
TEST(HotReload, TheDspDirectoryMovedAwayAndMadeAgainIsWatched) {
    Rig rig(Rig::Files{{"a.dsp", "process = 0;"}});
    ASSERT_TRUE(rig.engine);
    fs::rename(rig.dir, rig.tmp.path() / "dsp.old");
    fs::create_directory(rig.dir);
    // Found by the scan, and perhaps once more by its close when the watch came first.
    rig.tmp.write("dsp/early.dsp", "process = 1;");
    EXPECT_EQ(rig.poll_until("faust:early"), Ids{"faust:early"});
    rig.save("b.dsp", "process = 2;");
    EXPECT_EQ(std::ranges::count(rig.poll_until("faust:b").value_or(Ids{}), "faust:b"), 1);
    rig.tmp.write("dsp.old/stale.dsp", "process = 3;");
    EXPECT_EQ(rig.poll_for(std::chrono::milliseconds(200)), Ids{});
    EXPECT_EQ(rig.logged("WARN  audio_faust::watcher] DSP directory " + rig.dir.string() + " was removed"), 1u);
    // Removed outright, then made again.
    fs::remove_all(rig.dir);
    fs::create_directory(rig.dir);
    rig.save("c.dsp", "process = 4;");
    EXPECT_EQ(std::ranges::count(rig.poll_until("faust:c").value_or(Ids{}), "faust:c"), 1);  // after the removals
    EXPECT_EQ(rig.logged("DSP directory " + rig.dir.string() + " was removed"), 2u);
}

// Each save compiles the text with the libraries as they are then: a library changed between
// two saves of one text gives the new declaration; unchanged, the compiled code is reused.
TEST(HotReload, ALibraryChangedBetweenTwoSavesOfOneTextIsCompiledAnew) {
    test_util::TempDir libs;
    ::setenv("FAUST_STDLIB_DIR", libs.path().c_str(), 1);
    const auto lib = [&](const char* control) {
        fs::rename(libs.write("tmp", std::string("v = hslider(\"") + control + "\", 0, 0, 1, 0.1);"), libs.path() / "mine.lib");
    };
    lib("x");
    const std::string text = "import(\"mine.lib\"); process = v;";
    Rig rig(Rig::Files{{"a.dsp", text}});
    ASSERT_TRUE(rig.engine);
    const auto control = [&] { return rig.engine->controller().registry().get_type("faust:a")->controls.at(0).name; };
    EXPECT_EQ(control(), "x");
    lib("y");
    rig.save("a.dsp", text);
    EXPECT_EQ(rig.poll_until("faust:a"), Ids{"faust:a"});
    EXPECT_EQ(control(), "y");
    const auto compiles = dsp::compile_count();
    rig.save("a.dsp", text);
    EXPECT_EQ(rig.poll_until("faust:a"), Ids{"faust:a"});
    EXPECT_EQ(control(), "y");
    EXPECT_EQ(dsp::compile_count(), compiles);
    ::unsetenv("FAUST_STDLIB_DIR");
}

// libfaust crashes on some names: files named with control characters, spaces and quotes
// register under their own names; a name that is not UTF-8 has no type id.
TEST(HotReload, FilesWithAnyNameRegisterOrAreRefusedWithoutHarm) {
    const std::vector<std::string> names = {"tab\tx", "nl\nx", "cr\rx", "sp ace", "quo\"te", "ap'os", "\x01"};
    std::vector<std::pair<std::string, std::string>> files;
    for (const auto& n : names)
        files.emplace_back(n + ".dsp", "process = hslider(\"g\", 0, 0, 1, 0.1);");
    {
        Rig at_start(files);
        ASSERT_TRUE(at_start.engine);
        for (const auto& n : names)
            EXPECT_EQ(at_start.controls("faust:" + n), 1u) << n;
    }
    Rig watching;
    ASSERT_TRUE(watching.engine);
    for (const auto& [file, text] : files) {
        watching.save(file, text);
        EXPECT_EQ(watching.poll_until("faust:" + file.substr(0, file.size() - 4)).value_or(Ids{}).size(), 1u) << file;
    }
    watching.save("\xff.dsp", "process = 0;");
    EXPECT_EQ(watching.poll_for(std::chrono::milliseconds(200)), Ids{});

    test_util::TempDir bad;
    bad.write("\xff.dsp", "process = 0;");
    EXPECT_EQ(HotReloadEngine::create({64, 2, 48000, 10}, bad.path()).error(),
              "failed to read " + (bad.path() / "\xff.dsp").string() + ": invalid path");
}

}  // namespace
