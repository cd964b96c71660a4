#include "audio_faust/loader.hpp"

#include <gtest/gtest.h>

#include <algorithm>

#include "temp_dir.hpp"

namespace {

using namespace audio_faust;
namespace fs = std::filesystem;

TEST(DspDirectory, CollectsDspFilesAtAnyDepthAndEndsOnLinkLoops) {
    test_util::TempDir dir;
    for (const char* f : {"a.dsp", "sub/b.dsp", "sub/deeper/c.dsp", "x.DSP", "b.txt", "noext", ".dsp"})
        dir.write(f, "process = _;");
    fs::create_directory_symlink(dir.path(), dir.path() / "sub" / "loop");
    std::vector<fs::path> files;
    ASSERT_TRUE(loader::collect_dsp_files(dir.path(), files).has_value());
    std::sort(files.begin(), files.end());
    EXPECT_EQ(files, (std::vector<fs::path>{dir.path() / "a.dsp", dir.path() / "sub/b.dsp",
                                            dir.path() / "sub/deeper/c.dsp"}));
    EXPECT_EQ(loader::collect_dsp_files(dir.path() / "nope", files).error(),
              std::errc::no_such_file_or_directory);
}

}  // namespace
