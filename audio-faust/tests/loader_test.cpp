#include "audio_faust/loader.hpp"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <fstream>

#include "audio_faust/hot_reload.hpp"
#include "compile_error.hpp"
#include "temp_dir.hpp"

namespace {

using namespace audio_faust;
using Ids = std::vector<std::string>;
namespace fs = std::filesystem;

// Startup walks the directory (ending on link loops) and registers every .dsp file at any depth.
TEST(DspDirectory, RegistersEveryDspFileAtAnyDepthOrFailsWithTheFirstError) {
    using Files = std::vector<std::pair<const char*, const char*>>;
    // An error: the forms its start may take.
    const std::pair<Files, std::expected<Ids, std::vector<std::string>>> cases[] = {
        {{}, Ids{}},
        {{{"a.dsp", "process = _;"},
          {"sub/b.dsp", "process = +;"},
          {"x.DSP", "process = _;"},
          {"b.txt", "x"},
          {"sub/deeper/c.dsp", "process = _;"},
          {".dsp", "process = _;"}},
         Ids{"faust:a", "faust:sub/b", "faust:sub/deeper/c"}},
        // Component order: fx/lpf.dsp comes before fx-2.dsp.
        {{{"fx-2.dsp", "process = (;"}, {"fx/lpf.dsp", "process = (;"}},
         std::unexpected(test_util::compile_error_starts("lpf", 1, " : ERROR"))},
        {{{"bad.dsp", "// \xe9"}}, std::unexpected(std::vector<std::string>{"failed to read "})},
    };
    for (const auto& [files, want] : cases) {
        test_util::TempDir dir;
        for (auto [name, text] : files)
            dir.write(name, text);
        if (!files.empty()) fs::create_directory_symlink(dir.path(), dir.path() / "loop");
        auto made = hot_reload::HotReloadEngine::create({64, 2, 48000, 10}, dir.path());
        if (!made) {
            EXPECT_TRUE(!want && test_util::starts_with_any(made.error(), want.error()))
                << made.error();
            continue;
        }
        Ids ids = made->first.controller().list_node_types();
        std::erase_if(ids, [](const auto& id) { return !id.starts_with("faust:"); });
        std::ranges::sort(ids);
        EXPECT_EQ(ids, want.value_or(Ids{"(an error)"}));
    }
    EXPECT_EQ(hot_reload::HotReloadEngine::create({64, 2, 48000, 10}, "/nonexistent/dsp").error(),
              "failed to scan /nonexistent/dsp: No such file or directory");
}

// A directory linked from two places is walked under both paths.
TEST(DspDirectory, ADirectoryLinkedFromTwoPlacesGivesTypesUnderBoth) {
    test_util::TempDir dir, shared;
    shared.write("s.dsp", "process = _;");
    fs::create_directory_symlink(shared.path(), dir.path() / "a");
    fs::create_directories(dir.path() / "sub");
    fs::create_directory_symlink(shared.path(), dir.path() / "sub/b");
    auto made = hot_reload::HotReloadEngine::create({64, 2, 48000, 10}, dir.path());
    ASSERT_TRUE(made.has_value()) << made.error();
    Ids ids = made->first.controller().list_node_types();
    std::erase_if(ids, [](const auto& id) { return !id.starts_with("faust:"); });
    std::ranges::sort(ids);
    EXPECT_EQ(ids, (Ids{"faust:a/s", "faust:sub/b/s"}));
}

// Only regular files (links followed) up to the size limit are read; a FIFO is refused
// without waiting for a writer, a device without reading it.
TEST(DspSource, ReadsOnlyRegularFilesUpToTheLimit) {
    test_util::TempDir dir;
    const fs::path d = dir.path();
    ASSERT_EQ(::mkfifo((d / "fifo.dsp").c_str(), 0600), 0);
    fs::create_symlink("/dev/zero", d / "zero.dsp");
    fs::create_directory(d / "dir.dsp");
    dir.write("ok.dsp", "process = _;");
    fs::create_symlink(d / "ok.dsp", d / "link.dsp");
    std::ofstream(d / "big.dsp") << std::string(loader::max_source_size + 1, ' ');
    std::ofstream(d / "max.dsp") << std::string(loader::max_source_size, ' ');
    const std::pair<const char*, std::expected<std::string, std::string>> cases[] = {
        {"ok.dsp", "process = _;"},
        {"link.dsp", "process = _;"},
        {"fifo.dsp", std::unexpected("not a regular file")},
        {"zero.dsp", std::unexpected("not a regular file")},
        {"dir.dsp", std::unexpected("Is a directory")},
        {"big.dsp", std::unexpected("File too large")},
        {"max.dsp", std::string(loader::max_source_size, ' ')},
        {"none.dsp", std::unexpected("No such file or directory")},
    };
    for (const auto& [name, want] : cases) {
        auto got = loader::read_source(d / name);
        const auto fail = [&](const std::string& why) { return "failed to read " + (d / name).string() + ": " + why; };
        EXPECT_EQ(got ? *got : got.error(), want ? *want : fail(want.error())) << name;
    }
    // At start-up the first of them ends the start with its error.
    fs::remove(d / "big.dsp");
    fs::remove(d / "max.dsp");
    EXPECT_EQ(hot_reload::HotReloadEngine::create({64, 2, 48000, 10}, d).error(),
              "failed to read " + (d / "fifo.dsp").string() + ": not a regular file");
}

}  // namespace
