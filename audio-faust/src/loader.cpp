#include "audio_faust/loader.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>

#include "utf8.hpp"

namespace audio_faust::loader {

namespace fs = std::filesystem;

namespace {

std::expected<void, std::error_code> walk(const fs::path& dir, std::vector<fs::path>& out,
                                          std::vector<fs::path>& ancestors) {
    std::error_code ec;
    // A directory already on the way down is a link loop: the walk ends there.
    fs::path real = fs::canonical(dir, ec);
    if (!ec) {
        if (std::find(ancestors.begin(), ancestors.end(), real) != ancestors.end()) return {};
        ancestors.push_back(real);
    }
    fs::directory_iterator it(dir, ec);
    if (ec) return std::unexpected(ec);
    for (; it != fs::directory_iterator(); it.increment(ec)) {
        const fs::path& path = it->path();
        std::error_code dir_ec;
        if (fs::is_directory(path, dir_ec)) {
            if (auto r = walk(path, out, ancestors); !r) return r;
        } else if (is_dsp(path)) {
            out.push_back(path);
        }
    }
    if (ec) return std::unexpected(ec);
    if (!real.empty()) ancestors.pop_back();
    return {};
}

}  // namespace

std::expected<void, std::error_code> collect_dsp_files(const fs::path& dir,
                                                       std::vector<fs::path>& out) {
    std::vector<fs::path> ancestors;
    return walk(dir, out, ancestors);
}

bool is_dsp(const fs::path& path) { return path.extension() == ".dsp"; }

std::optional<fs::path> relative_below(const fs::path& path, const fs::path& dir) {
    auto [d, p] = std::mismatch(dir.begin(), dir.end(), path.begin(), path.end());
    // A trailing separator of `dir` shows up as one empty last component.
    if (d != dir.end() && !(d->empty() && std::next(d) == dir.end())) return std::nullopt;
    if (p == path.end()) return std::nullopt;
    fs::path rel;
    for (; p != path.end(); ++p)
        rel /= *p;
    return rel;
}

std::optional<std::string> type_id(const fs::path& relative) {
    std::string rel = fs::path(relative).replace_extension().generic_string();
    if (!utf8::valid(rel)) return std::nullopt;
    return "faust:" + rel;
}

std::string app_name(const fs::path& path) {
    std::string stem = path.stem().string();
    return stem.empty() || !utf8::valid(stem) ? "unknown" : stem;
}

std::expected<std::string, std::string> read_source(const fs::path& path) {
    const auto fail = [&](std::string_view why) {
        return std::unexpected("failed to read " + path.string() + ": " + std::string(why));
    };
    std::error_code ec;
    if (fs::is_directory(path, ec)) return fail(std::strerror(EISDIR));
    std::ifstream in(path, std::ios::binary);
    if (!in) return fail(std::strerror(errno));
    std::string text{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    if (in.bad()) return fail(std::strerror(errno));
    if (!utf8::valid(text)) return fail("stream did not contain valid UTF-8");
    return text;
}

}  // namespace audio_faust::loader
