// audio_faust::loader — the DSP directory: which files are Faust sources and what node type
// each one gives.
//
// A file below the directory with the extension "dsp" (exactly; x.DSP is not one) gives the
// type "faust:" + its path relative to the directory without the extension, with "/" between
// components (fx/lpf.dsp gives faust:fx/lpf); libfaust's application name is its stem.
// Used on the control thread (start-up, reloads) and by the watcher thread (type ids only).
// Callers pass absolute paths: a compile changes the process's working directory.
#pragma once

#include <cstddef>
#include <expected>
#include <filesystem>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

namespace audio_faust::loader {

// Appends every .dsp file at any depth below `dir`, in listing order, following links to
// directories; a link back into a directory being walked is not entered again. The first
// error listing a directory ends the walk.
std::expected<void, std::error_code> collect_dsp_files(const std::filesystem::path& dir,
                                                       std::vector<std::filesystem::path>& out);

bool is_dsp(const std::filesystem::path& path);
// The path below `dir`, compared component by component; none when it is not below `dir`.
std::optional<std::filesystem::path> relative_below(const std::filesystem::path& path,
                                                    const std::filesystem::path& dir);
// "faust:" + the relative path without its extension; none when that is not valid UTF-8.
std::optional<std::string> type_id(const std::filesystem::path& relative);
// The stem, or "unknown" when there is none or it is not valid UTF-8. Control characters and
// double quotes become "_": libfaust crashes on the former and makes no instance with the latter.
std::string app_name(const std::filesystem::path& path);

// Larger than any Faust program; a source file above it is refused.
inline constexpr std::size_t max_source_size = std::size_t{16} << 20;
// The text of a regular file (links followed) of at most max_source_size bytes. Anything else
// (a FIFO, a device, a directory), a larger file, text that is not UTF-8 or a read error:
// "failed to read {}: {}". Never waits on a FIFO or device.
std::expected<std::string, std::string> read_source(const std::filesystem::path& path);

}  // namespace audio_faust::loader
