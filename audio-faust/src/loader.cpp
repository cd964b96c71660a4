#include "audio_faust/loader.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <cstdint>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

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
    if (stem.empty() || !utf8::valid(stem)) return "unknown";
    for (char& c : stem) {
        if (static_cast<unsigned char>(c) < 0x20 || c == '"') c = '_';
    }
    return stem;
}

std::expected<std::string, std::string> read_source(const fs::path& path) {
    const auto fail = [&](std::string_view why) {
        return std::unexpected("failed to read " + path.string() + ": " + std::string(why));
    };
    // O_NONBLOCK: opening a FIFO must not wait for a writer; the type is checked on the open
    // file itself, so nothing can swap it in between.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return fail(std::strerror(errno));
    struct Close {
        int fd;
        ~Close() { ::close(fd); }
    } close{fd};
    struct stat st {};
    if (::fstat(fd, &st) != 0) return fail(std::strerror(errno));
    if (S_ISDIR(st.st_mode)) return fail(std::strerror(EISDIR));
    if (!S_ISREG(st.st_mode)) return fail("not a regular file");
    if (static_cast<std::uint64_t>(st.st_size) > max_source_size) return fail(std::strerror(EFBIG));
    std::string text(static_cast<std::size_t>(st.st_size) + 1, '\0');
    std::size_t got = 0;
    for (;;) {
        if (got == text.size()) {
            // Grown since fstat: read on, up to the limit.
            if (text.size() > max_source_size) return fail(std::strerror(EFBIG));
            text.resize(std::min(text.size() * 2, max_source_size + 1));
        }
        const ssize_t n = ::read(fd, text.data() + got, text.size() - got);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return fail(std::strerror(errno));
        if (n == 0) break;
        got += static_cast<std::size_t>(n);
    }
    text.resize(got);
    if (!utf8::valid(text)) return fail("stream did not contain valid UTF-8");
    return text;
}

}  // namespace audio_faust::loader
