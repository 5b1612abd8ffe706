// loop.cc - the event loop: starts runs within the -f limit, waits on
// every descriptor at once through one epoll set (an event costs the same
// however many runs there are), reaps the children, forwards signals and
// keeps the timeouts.
#include "vnsh.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <sys/epoll.h>
#include <sys/wait.h>
#include <unistd.h>
#include <unordered_map>
#include <vector>

static int ep = -1;
static int sig_pipe[2] = {-1, -1};
static int sig_tag, stdin_tag;         // what their events point at
static int stdin_watched, stdin_plain; // plain: a file, always ready
static int next_run;                   // runs before this one have been started (or failed)
static int runs_left;                  // runs not yet done
static int64_t last_interrupt;         // ms of the last Ctrl-C, 0 none
static int interrupted, terminated;
// The runs forked and not yet reaped, each holding one of the -f slots.
static std::unordered_map<pid_t, struct run *> by_pid;
static int timeout_next;                // runs before this one have had their deadline
static std::vector<struct run *> kills; // runs timed out, in order
static size_t kill_next;

static void watch(int op, int fd, uint32_t events, void *tag)
{
    struct epoll_event e;
    memset(&e, 0, sizeof e);
    e.events = events;
    e.data.ptr = tag;
    if (epoll_ctl(ep, op, fd, &e) < 0 && op != EPOLL_CTL_DEL)
        die("epoll_ctl");
}

// Removed from the set before it closes: a child that holds a copy for a
// moment would otherwise keep it there.
static void unwatch_close(int *fd)
{
    if (*fd < 0)
        return;
    watch(EPOLL_CTL_DEL, *fd, 0, nullptr);
    close_fd(fd);
}

// A run that has nothing more to do: never forked and failed, or reaped
// with all of its output read.
static int run_done(const struct run *r)
{
    if (r->state == RUN_WAITING)
        return 0;
    if (r->pid <= 0)
        return r->state == RUN_FAILED;
    return r->reaped && r->status_fd < 0 && r->out[0].fd < 0 && r->out[1].fd < 0 &&
           !r->listener_wait;
}

static void run_check(struct run *r)
{
    listener_claim(r);
    if (r->counted || !run_done(r))
        return;
    r->counted = 1;
    runs_left--;
    run_close_in(r);
}

void watch_in(struct run *r, int on)
{
    if (r->in_fd < 0 || on == r->in_watched)
        return;
    watch(on ? EPOLL_CTL_ADD : EPOLL_CTL_DEL, r->in_fd, EPOLLOUT, &r->tag[WATCH_IN]);
    r->in_watched = on;
}

void run_close_in(struct run *r)
{
    if (r->in_fd < 0)
        return;
    if (r->in_watched)
        watch(EPOLL_CTL_DEL, r->in_fd, 0, nullptr);
    r->in_watched = 0;
    close_fd(&r->in_fd);
    input_moved(r->in_off);
}

void run_close_out(struct run *r, int s)
{
    unwatch_close(&r->out[s].fd);
    buf_free(&r->out[s].line);
    run_check(r);
}

// The end of a stream's output: what it held back goes out, then it closes.
static void output_end(struct run *r, int s)
{
    output_feed(r, s, "", 0, 1);
    run_close_out(r, s);
}

static void run_fail(struct run *r, int err)
{
    r->state = RUN_FAILED;
    r->place_err = err;
    run_close_in(r);
    input_moved(r->in_off);
    run_check(r);
}

// Signals the run's process group: its program and what the program
// started (the listener has a group of its own).  The group is there while
// its leader, our child, is not reaped.  After SIGKILL, the run's output
// ends with its program: what the listener still holds, or a process that
// left the group keeps open, is not waited for.
static void run_signal(struct run *r, int sig)
{
    if (r->pid > 0 && !r->reaped) {
        kill(-r->pid, sig);
        r->killed |= sig == SIGKILL;
    }
}

// Signals.

static void on_signal(int sig)
{
    int err = errno;
    unsigned char c = (unsigned char)sig;
    (void)!write(sig_pipe[1], &c, 1);
    errno = err;
}

void signals_setup(void)
{
    if (pipe2(sig_pipe, O_CLOEXEC | O_NONBLOCK) < 0)
        die("pipe");
    sig_pipe[0] = own_fd(sig_pipe[0]);
    sig_pipe[1] = own_fd(sig_pipe[1]);
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = on_signal;
    sa.sa_flags = SA_RESTART | SA_NOCLDSTOP;
    sigemptyset(&sa.sa_mask);
    int sigs[] = {SIGINT, SIGTERM, SIGHUP, SIGCHLD};
    for (int sig : sigs)
        sigaction(sig, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);
}

static void children_reap(void)
{
    int status;
    pid_t pid;
    while ((pid = waitpid(-1, &status, WNOHANG)) > 0) {
        auto it = by_pid.find(pid);
        if (it == by_pid.end()) {
            // A listener, or another process that its parent left to us.
            struct run *r = child_unknown(pid, status);
            if (r)
                run_check(r);
            continue;
        }
        struct run *r = it->second;
        by_pid.erase(it);
        r->reaped = 1;
        r->status = status;
        if (r->killed) {
            for (int s = 0; s < 2; s++)
                if (r->out[s].fd >= 0)
                    output_end(r, s);
        }
        run_check(r);
    }
}

// The first Ctrl-C, SIGTERM or SIGHUP goes to every program; a second
// Ctrl-C within a second, or a second SIGTERM or SIGHUP, sends SIGKILL.
static void signals_read(void)
{
    unsigned char sigs[64];
    ssize_t n = read(sig_pipe[0], sigs, sizeof sigs);
    for (ssize_t k = 0; k < n; k++) {
        int sig = sigs[k];
        if (sig == SIGCHLD) {
            children_reap();
            continue;
        }
        int64_t t = now_ms();
        int again = sig == SIGINT
                        ? interrupted && last_interrupt && t - last_interrupt <= INTERRUPT_WINDOW_MS
                        : terminated;
        if (sig == SIGINT)
            last_interrupt = t;
        else
            terminated = 1;
        interrupted = 1;
        for (int i = 0; i < next_run; i++)
            run_signal(&runs[i], again ? SIGKILL : sig);
    }
}

// The timeouts: SIGTERM once a run has had its time, SIGKILL after the
// grace.  Runs start in order, so their deadlines come in order too.
// Returns the ms until the next deadline, or -1 for none.
static int timers_run(void)
{
    if (!timeout_s)
        return -1;
    int64_t t = now_ms(), next = -1;
    while (timeout_next < next_run) {
        struct run *r = &runs[timeout_next];
        int64_t due = r->started + timeout_s * 1000;
        if (r->pid > 0 && !r->reaped && t < due) {
            next = due;
            break;
        }
        if (r->pid > 0 && !r->reaped) {
            run_signal(r, SIGTERM);
            r->kill_at = t + KILL_GRACE_MS;
            kills.push_back(r);
        }
        timeout_next++;
    }
    while (kill_next < kills.size()) {
        struct run *r = kills[kill_next];
        if (t < r->kill_at) {
            if (next < 0 || r->kill_at < next)
                next = r->kill_at;
            break;
        }
        run_signal(r, SIGKILL);
        kill_next++;
    }
    return next < 0 ? -1 : (int)(next - t);
}

// Starts runs while the -f limit leaves room.
static void runs_start(const char *path, char **argv)
{
    while (next_run < nruns && by_pid.size() < (size_t)fanout && !interrupted) {
        struct run *r = &runs[next_run];
        if (run_start(r, path, argv) < 0) {
            // Out of descriptors or processes while others run: wait for
            // one of them to end.
            int scarce = errno == EMFILE || errno == ENFILE || errno == EAGAIN;
            if (scarce && runs_left - (nruns - next_run) > 0)
                return;
            run_fail(r, errno);
            next_run++;
            continue;
        }
        by_pid[r->pid] = r;
        r->tag[WATCH_OUT] = {r, WATCH_OUT};
        r->tag[WATCH_ERR] = {r, WATCH_ERR};
        r->tag[WATCH_STATUS] = {r, WATCH_STATUS};
        r->tag[WATCH_IN] = {r, WATCH_IN};
        watch(EPOLL_CTL_ADD, r->out[0].fd, EPOLLIN, &r->tag[WATCH_OUT]);
        watch(EPOLL_CTL_ADD, r->out[1].fd, EPOLLIN, &r->tag[WATCH_ERR]);
        watch(EPOLL_CTL_ADD, r->status_fd, EPOLLIN, &r->tag[WATCH_STATUS]);
        if (r->in_fd >= 0) {
            input_moved(0); // a run behind all others may have begun
            if (input_pending(r))
                watch_in(r, 1);
            else if (!in_open)
                run_close_in(r);
        }
        next_run++;
    }
}

static void output_read(struct run *r, int s)
{
    static char data[READ_SIZE];
    ssize_t n = read(r->out[s].fd, data, sizeof data);
    if (n < 0 && (errno == EINTR || errno == EAGAIN))
        return;
    if (n > 0) {
        output_feed(r, s, data, (size_t)n, 0);
        return;
    }
    output_end(r, s);
}

static void event(void *tag)
{
    if (tag == &sig_tag) {
        signals_read();
        return;
    }
    if (tag == &stdin_tag) {
        if (in_open)
            input_read();
        return;
    }
    struct run *r = static_cast<struct run_tag *>(tag)->run;
    enum watch_kind kind = static_cast<struct run_tag *>(tag)->kind;
    switch (kind) {
    case WATCH_OUT:
    case WATCH_ERR:
        if (r->out[kind].fd >= 0)
            output_read(r, kind);
        break;
    case WATCH_STATUS:
        if (r->status_fd >= 0) {
            int err = status_read(r);
            if (err < 0)
                break;
            unwatch_close(&r->status_fd);
            if (err > 0)
                run_fail(r, err);
            else if (r->state == RUN_PLACING)
                r->state = RUN_RUNNING;
            run_check(r);
        }
        break;
    case WATCH_IN:
        if (r->in_fd >= 0)
            input_write(r);
        break;
    }
}

// Standard input is read while the slowest run is within the window.
static void stdin_watch(int on)
{
    if (stdin_plain || on == stdin_watched)
        return;
    watch(on ? EPOLL_CTL_ADD : EPOLL_CTL_DEL, 0, EPOLLIN, &stdin_tag);
    stdin_watched = on;
}

void loop(const char *path, char **argv)
{
    ep = own_fd(epoll_create1(EPOLL_CLOEXEC));
    if (ep < 0)
        die("epoll_create1");
    watch(EPOLL_CTL_ADD, sig_pipe[0], EPOLLIN, &sig_tag);
    if (in_open) {
        struct epoll_event e;
        memset(&e, 0, sizeof e);
        if (epoll_ctl(ep, EPOLL_CTL_ADD, 0, &e) == 0)
            epoll_ctl(ep, EPOLL_CTL_DEL, 0, &e);
        else if (errno == EPERM)
            stdin_plain = 1; // a file or /dev/null: always ready
        else
            die("epoll_ctl");
    }
    listeners_setup();
    runs_left = nruns;
    struct epoll_event evs[256];
    for (;;) {
        runs_start(path, argv);
        if (interrupted) {
            for (; next_run < nruns; next_run++)
                run_fail(&runs[next_run], 0);
        }
        if (runs_left == 0)
            break;
        int wait_ms = timers_run();
        if (in_open) {
            int room = input_room();
            if (stdin_plain && room) {
                input_read();
                wait_ms = 0;
            }
            stdin_watch(room);
        }
        int n = epoll_wait(ep, evs, 256, wait_ms);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            die("epoll_wait");
        }
        for (int k = 0; k < n; k++)
            event(evs[k].data.ptr);
        if (!in_open)
            stdin_watch(0);
    }
    close_fd(&ep);
}
