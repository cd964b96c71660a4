#include "audio_faust/loader.hpp"

#include <gtest/gtest.h>

#include <algorithm>

#include "audio_faust/hot_reload.hpp"
#include "temp_dir.hpp"

namespace {

using namespace audio_faust;
using Ids = std::vector<std::string>;
namespace fs = std::filesystem;

// Startup walks the directory (ending on link loops) and registers every .dsp file at any depth.
TEST(DspDirectory, RegistersEveryDspFileAtAnyDepthOrFailsWithTheFirstError) {
    using Files = std::vector<std::pair<const char*, const char*>>;
    const std::pair<Files, std::expected<Ids, std::string>> cases[] = {  // error: its start
        {{}, Ids{}},
        {{{"a.dsp", "process = _;"}, {"sub/b.dsp", "process = +;"}, {"x.DSP", "process = _;"},
          {"b.txt", "x"}, {"sub/deeper/c.dsp", "process = _;"}, {".dsp", "process = _;"}},
         Ids{"faust:a", "faust:sub/b", "faust:sub/deeper/c"}},
        // Component order: fx/lpf.dsp comes before fx-2.dsp.
        {{{"fx-2.dsp", "process = (;"}, {"fx/lpf.dsp", "process = (;"}},
         std::unexpected("FAUST compilation failed: lpf : 1 : ERROR")},
        {{{"bad.dsp", "// \xe9"}}, std::unexpected("failed to read ")},
    };
    for (const auto& [files, want] : cases) {
        test_util::TempDir dir;
        for (auto [name, text] : files)
            dir.write(name, text);
        if (!files.empty()) fs::create_directory_symlink(dir.path(), dir.path() / "loop");
        auto made = hot_reload::HotReloadEngine::create({64, 2, 48000, 10}, dir.path());
        if (!made) {
            EXPECT_TRUE(!want && made.error().starts_with(want.error())) << made.error();
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

}  // namespace
