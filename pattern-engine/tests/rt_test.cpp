#include "pattern_engine/rt.hpp"

#include <gtest/gtest.h>
#include <pthread.h>

#include <thread>

namespace {

// Either the thread runs at the highest realtime priority afterwards, or the one warning line
// says why not and the thread keeps its policy.
TEST(RealtimePriority, RaisedOrWarnedAbout) {
    std::thread([] {
        int policy = 0, before = 0;
        sched_param param{};
        pthread_getschedparam(pthread_self(), &before, &param);
        testing::internal::CaptureStderr();
        const bool raised = pattern_engine::rt::set_realtime_priority();
        const std::string err = testing::internal::GetCapturedStderr();
        pthread_getschedparam(pthread_self(), &policy, &param);
        EXPECT_EQ(policy, raised ? SCHED_FIFO : before);
        EXPECT_EQ(err.empty(), raised);
        if (raised) {
            EXPECT_EQ(param.sched_priority, sched_get_priority_max(SCHED_FIFO));
        } else {
            EXPECT_EQ(err.find("warning: could not set realtime thread priority: "), 0u);
            EXPECT_EQ(err.back(), '\n');
        }
    }).join();
}

}  // namespace
