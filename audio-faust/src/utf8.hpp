// UTF-8 helpers for texts that come from libfaust and the file system.
#pragma once

#include <string>
#include <string_view>

namespace audio_faust::utf8 {

bool valid(std::string_view bytes);
// Each maximal invalid sequence becomes one U+FFFD.
std::string lossy(std::string_view bytes);

}  // namespace audio_faust::utf8
