// pattern_engine::rt — realtime scheduling for the host's main thread.
#pragma once

namespace pattern_engine::rt {

// Raises the calling thread to the highest realtime priority. On failure writes
// "warning: could not set realtime thread priority: {}" to standard error and returns false;
// the thread keeps its priority.
bool set_realtime_priority();

}  // namespace pattern_engine::rt
