#include "pattern_engine/rt.hpp"

#include <pthread.h>
#include <sched.h>

#include <string>

#include "support/log.hpp"

namespace pattern_engine::rt {

bool set_realtime_priority() {
    sched_param param{};
    param.sched_priority = sched_get_priority_max(SCHED_FIFO);
    // pthreads reports the error as its return value, not in errno.
    const int error = pthread_setschedparam(pthread_self(), SCHED_FIFO, &param);
    if (error == 0) return true;
    support::log::write_stderr_line("warning: could not set realtime thread priority: OS(" +
                                    std::to_string(error) + ")\n");
    return false;
}

}  // namespace pattern_engine::rt
