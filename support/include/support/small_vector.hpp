// support::small_vector — boost's small_vector, the inline-storage vector of pattern children
// and time splits.
//
// GCC 12 at -O3 reports a -Wstringop-overread inside boost's move constructor for a copy out of
// the inline buffer that it cannot prove stays within it; the warning is silenced for boost's
// own code only, here, where every user includes it.
#pragma once

#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wstringop-overread"
#endif
#include <boost/container/small_vector.hpp>
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif
