// What a failed FAUST compile reports: our prefix, then libfaust's text, which names the
// place as "file : line" in libfaust 2.54 and as "file:line" in 2.79; what follows the place
// is the same in both.
#pragma once

#include <algorithm>
#include <string>
#include <string_view>
#include <vector>

namespace audio_faust::test_util {

// Every form the start of the error can take, the place written each way.
inline std::vector<std::string> compile_error_starts(std::string_view file, int line,
                                                     std::string_view after_place) {
    const std::string prefix = "FAUST compilation failed: ", at = std::to_string(line);
    std::string spaced = prefix, tight = prefix;
    spaced.append(file).append(" : ").append(at).append(after_place);
    tight.append(file).append(":").append(at).append(after_place);
    return {spaced, tight};
}

inline bool starts_with_any(std::string_view text, const std::vector<std::string>& starts) {
    return std::ranges::any_of(starts, [&](const auto& s) { return text.starts_with(s); });
}

}  // namespace audio_faust::test_util
