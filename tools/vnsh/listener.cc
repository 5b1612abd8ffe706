// listener.cc - the listeners that forward the programs' output: each
// comes back to vnsh (a child subreaper) once its program has ended, and
// its exit status says whether output was lost on the way.  Other orphans
// that come back are reaped and forgotten.
#include "vnsh.h"

#include <cerrno>
#include <deque>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unordered_map>

// A process that came back to vnsh and was reaped before any run claimed
// it: a listener whose pid had not arrived yet, or anything else.
struct orphan {
    uint64_t seq; // orphans reaped so far, this one included
    pid_t pid;
    int status;
};

static std::unordered_map<pid_t, struct run *> awaited; // listeners by pid
static std::deque<struct orphan> orphans;               // oldest first
static uint64_t orphans_seq;
static int settled_next; // runs before this one claim no more orphans

void listeners_setup(void)
{
    // Without it (an old kernel) listeners go to init and are not told of.
    prctl(PR_SET_CHILD_SUBREAPER, 1);
}

uint64_t orphans_mark(void)
{
    return orphans_seq;
}

static int status_lost(int status)
{
    return !WIFEXITED(status) || WEXITSTATUS(status) != 0;
}

// Orphans that no run can claim any more: reaped before the oldest run
// that has not yet claimed its listener was started.
static void orphans_prune(void)
{
    while (settled_next < nruns &&
           (runs[settled_next].claimed || runs[settled_next].state == RUN_FAILED))
        settled_next++;
    const struct run *r = settled_next < nruns ? &runs[settled_next] : nullptr;
    uint64_t upto = r && r->pid > 0 ? r->orphan_mark : orphans_seq;
    while (!orphans.empty() && orphans.front().seq <= upto)
        orphans.pop_front();
}

// Once the run's program is reaped and its status pipe has ended, its
// listener (when the placement had one) is ours, already reaped by us, or
// was reaped by the program itself, whose status we cannot know.  After
// SIGKILL the run's output ends with its program: the listener is not
// awaited.
void listener_claim(struct run *r)
{
    if (r->claimed || !r->reaped || r->status_fd >= 0)
        return;
    r->claimed = 1;
    pid_t pid = r->listener;
    if (pid > 0 && r->state == RUN_RUNNING && !r->killed) {
        int status;
        pid_t w = waitpid(pid, &status, WNOHANG);
        if (w == pid) {
            r->lost = status_lost(status);
        } else if (w == 0) {
            r->listener_wait = 1;
            awaited[pid] = r;
        } else {
            for (auto it = orphans.rbegin(); it != orphans.rend() && it->seq > r->orphan_mark;
                 ++it) {
                if (it->pid == pid) {
                    r->lost = status_lost(it->status);
                    it->pid = 0;
                    break;
                }
            }
        }
    }
    orphans_prune();
}

struct run *child_unknown(pid_t pid, int status)
{
    auto it = awaited.find(pid);
    if (it != awaited.end()) {
        struct run *r = it->second;
        awaited.erase(it);
        r->listener_wait = 0;
        r->lost = status_lost(status);
        return r;
    }
    orphans.push_back({++orphans_seq, pid, status});
    orphans_prune();
    return nullptr;
}
