#include "pattern_engine/rt.hpp"

#include <gtest/gtest.h>
#include <pthread.h>

#include <string>
#include <thread>

namespace {

// Either the thread runs under the realtime policy afterwards, or the one warning line says
// why not and the thread keeps its policy.
TEST(RealtimePriority, RaisedOrWarnedAbout) {
    std::thread([] {
        int before_policy = 0;
        sched_param before{};
        pthread_getschedparam(pthread_self(), &before_policy, &before);

        testing::internal::CaptureStderr();
        const bool raised = pattern_engine::rt::set_realtime_priority();
        const std::string err = testing::internal::GetCapturedStderr();

        int policy = 0;
        sched_param param{};
        pthread_getschedparam(pthread_self(), &policy, &param);
        if (raised) {
            EXPECT_EQ(policy, SCHED_FIFO);
            EXPECT_EQ(param.sched_priority, sched_get_priority_max(SCHED_FIFO));
            EXPECT_TRUE(err.empty());
        } else {
            EXPECT_EQ(policy, before_policy);
            EXPECT_EQ(err.rfind("warning: could not set realtime thread priority: ", 0), 0u);
            EXPECT_EQ(err.back(), '\n');
        }
    }).join();
}

}  // namespace
