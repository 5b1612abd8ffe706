// quiet_real_test.cc - the listener's quiet period as delivered: a
// listener that no connection reaches ends after 45 seconds.
#include "rig.h"

#include <gtest/gtest.h>

#include <time.h>

TEST(ListenerQuietReal, NoConnectionEndsItAfter45Seconds)
{
    time_t start = time(nullptr);
    rig idle = rig_start(0, 1, RIG_INPUT_EMPTY);
    EXPECT_TRUE(rig_wait(idle, 60000));
    EXPECT_EQ(idle.status, 1);
    EXPECT_GE(time(nullptr) - start, 44);
    rig_stop(idle);
}
