#include "audio_faust/loader.hpp"

#include <gtest/gtest.h>

#include <algorithm>

#include "temp_dir.hpp"

namespace {

using namespace audio_faust;
namespace fs = std::filesystem;

TEST(DspDirectory, CollectsDspFilesAtAnyDepthAndEndsOnLinkLoops) {
    test_util::TempDir dir;
    for (const char* f : {"a.dsp", "sub/b.dsp", "sub/deeper/c.dsp", "x.DSP", "b.txt", "noext",
                          "sub/b.txt", ".dsp"})
        dir.write(f, "process = _;");
    fs::create_directory_symlink(dir.path(), dir.path() / "sub" / "loop");
    std::vector<fs::path> files;
    ASSERT_TRUE(loader::collect_dsp_files(dir.path(), files).has_value());
    std::sort(files.begin(), files.end());
    EXPECT_EQ(files, (std::vector<fs::path>{dir.path() / "a.dsp", dir.path() / "sub/b.dsp",
                                            dir.path() / "sub/deeper/c.dsp"}));

    auto missing = loader::collect_dsp_files(dir.path() / "nope", files);
    ASSERT_FALSE(missing.has_value());
    EXPECT_EQ(missing.error(), std::errc::no_such_file_or_directory);
}

TEST(DspDirectory, NamesTypesByPathBelowTheDirectory) {
    struct Case {
        fs::path file, dir;
        std::optional<std::string> type_id;
        std::string app_name;
    };
    const Case cases[] = {
        {"/d/a.dsp", "/d", "faust:a", "a"},
        {"/d/fx/lpf.dsp", "/d", "faust:fx/lpf", "lpf"},
        {"/d/fx/lpf.dsp", "/d/", "faust:fx/lpf", "lpf"},
        {"/d/v1.2.dsp", "/d", "faust:v1.2", "v1.2"},
        {"/dx/a.dsp", "/d", std::nullopt, "a"},
        {"/d", "/d", std::nullopt, "d"},
        {"/d/\xff.dsp", "/d", std::nullopt, "unknown"},
    };
    for (const Case& c : cases) {
        auto rel = loader::relative_below(c.file, c.dir);
        EXPECT_EQ(rel ? loader::type_id(*rel) : std::nullopt, c.type_id) << c.file;
        EXPECT_EQ(loader::app_name(c.file), c.app_name) << c.file;
    }
}

TEST(DspDirectory, ReadsSourcesAsUtf8Text) {
    test_util::TempDir dir;
    struct Case {
        const char* name;
        const char* content;  // null: no file
        std::expected<std::string, std::string> want;
    };
    const std::string p = dir.path().string() + "/";
    const Case cases[] = {
        {"ok.dsp", "process = _; // \xc3\xa9", "process = _; // \xc3\xa9"},
        {"latin1.dsp", "// \xe9", std::unexpected("failed to read " + p +
                                                  "latin1.dsp: stream did not contain valid UTF-8")},
        {"gone.dsp", nullptr,
         std::unexpected("failed to read " + p + "gone.dsp: No such file or directory")},
    };
    for (const Case& c : cases) {
        if (c.content) dir.write(c.name, c.content);
        EXPECT_EQ(loader::read_source(dir.path() / c.name), c.want) << c.name;
    }
}

}  // namespace
