// quiet_test.cc - the listener's 45-second quiet period: streams that never
// connect are given up, and a late connection is still taken.
#include "rig.h"

#include <vorn/vnsh_io.h>

#include <gtest/gtest.h>

#include <time.h>
#include <unistd.h>

TEST(ListenerQuiet, GivesUpUnconnectedStreamsButTakesLateOnes)
{
    // Nobody connects: the first quiet period ends this listener.
    rig idle = rig_start(0, 1, RIG_INPUT_EMPTY);
    // Only standard output connects at first.
    rig late = rig_start(VNSH_LINEBUF, 1, RIG_INPUT_EMPTY);
    int s1 = rig_connect(late, late.hdr_pid, 1);
    send_all(s1, "early\n");
    // A bad stream number took a place, so standard input can never come:
    // once the others have ended, the quiet period ends this one too.
    rig spent = rig_start(0, 1, RIG_INPUT_EMPTY);
    for (int stream : {3, 1, 2, 0})
        close(rig_connect(spent, spent.hdr_pid, stream));

    // Standard output connects now and writes again after 20 seconds: the
    // quiet period starts anew with every pass, so it cannot come before
    // 65 seconds.
    rig renewed = rig_start(0, 1, RIG_INPUT_EMPTY);
    int r1 = rig_connect(renewed, renewed.hdr_pid, 1);

    time_t start = time(nullptr);
    EXPECT_FALSE(rig_wait(idle, 20000));
    send_all(r1, "x");
    EXPECT_FALSE(rig_wait(idle, 20000));
    EXPECT_TRUE(rig_wait(idle, 15000));
    EXPECT_EQ(idle.status, 0);
    EXPECT_GE(time(nullptr) - start, 44);
    EXPECT_TRUE(rig_wait(spent, 5000));
    EXPECT_EQ(spent.status, 0);

    // Two streams are still expected, so the end of standard output does
    // not end this listener.
    sleep(1);
    close(r1);
    EXPECT_FALSE(rig_wait(renewed, 1000));
    rig_stop(renewed);

    // The quiet period gave up the two missing streams but the listener goes
    // on for the attached one, and still takes a connection that comes now.
    usleep(200000);
    int s2 = rig_connect(late, late.hdr_pid, 2);
    send_all(s2, "late\n");
    close(s1);
    close(s2);
    EXPECT_EQ(read_records(late.out_r), std::vector<std::string>{"early\n"});
    EXPECT_EQ(read_records(late.err_r), std::vector<std::string>{"late\n"});
    EXPECT_TRUE(rig_wait(late));
    EXPECT_EQ(late.status, 0);
    rig_stop(idle);
    rig_stop(late);
    rig_stop(spent);
}
