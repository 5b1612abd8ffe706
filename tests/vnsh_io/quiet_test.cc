// quiet_test.cc - the listener's quiet period, shortened to 3 seconds:
// streams that never connect are given up, a late connection is still
// taken, and every event starts the period anew.
#include "rig.h"

#include <vorn/vnsh_io.h>

#include <gtest/gtest.h>

#include <unistd.h>

namespace
{

const int QUIET = 3000;

TEST(ListenerQuiet, GivesUpUnconnectedStreamsButTakesLateOnes)
{
    // Only standard output connects at first.
    rig late = rig_start(VNSH_LINEBUF, 1, RIG_INPUT_EMPTY, 4096, QUIET);
    int s1 = rig_connect(late, late.hdr_pid, 1);
    send_all(s1, "early\n");
    ASSERT_TRUE(rig_drained(s1)); // the listener's last event before idle starts
    // Nobody connects: the first quiet period ends this listener, and by
    // then the one above has had a quiet period too.
    rig idle = rig_start(0, 1, RIG_INPUT_EMPTY, 4096, QUIET);
    // A bad stream number took a place, so standard input can never come:
    // once the others have ended, the quiet period ends this one too.
    rig spent = rig_start(0, 1, RIG_INPUT_EMPTY, 4096, QUIET);
    for (int stream : {3, 1, 2, 0})
        close(rig_connect(spent, spent.hdr_pid, stream));

    // Streams that never connected: the output may be lost, status 1.
    EXPECT_TRUE(rig_wait(idle, QUIET + 10000));
    EXPECT_EQ(idle.status, 1);
    EXPECT_TRUE(rig_wait(spent, QUIET + 10000));
    EXPECT_EQ(spent.status, 1);

    // The quiet period gave up the two missing streams but the listener goes
    // on for the attached one, and still takes a connection that comes now;
    // with both closed nothing more is expected (standard input was given
    // up), so it ends.
    int s2 = rig_connect(late, late.hdr_pid, 2);
    send_all(s2, "late\n");
    close(s1);
    close(s2);
    EXPECT_EQ(read_records(late.out_r), std::vector<std::string>{"early\n"});
    EXPECT_EQ(read_records(late.err_r), std::vector<std::string>{"late\n"});
    EXPECT_TRUE(rig_wait(late));
    EXPECT_EQ(late.status, 1);
    rig_stop(idle);
    rig_stop(late);
    rig_stop(spent);
}

TEST(ListenerQuiet, EveryEventStartsThePeriodAnew)
{
    // Standard output writes every second for longer than the period; had
    // the period not started anew, the two missing streams would have been
    // given up and closing it would end the listener at once.
    rig r = rig_start(0, 1, RIG_INPUT_EMPTY, 4096, QUIET);
    int s1 = rig_connect(r, r.hdr_pid, 1);
    for (int i = 0; i < 5; i++) {
        send_all(s1, "x");
        sleep(1); // the time passing is what is tested
    }
    close(s1);
    EXPECT_FALSE(rig_wait(r, 1000));
    EXPECT_TRUE(rig_wait(r, QUIET + 10000)); // and a period later it ends
    EXPECT_EQ(r.status, 1);
    rig_stop(r);
}

} // namespace
