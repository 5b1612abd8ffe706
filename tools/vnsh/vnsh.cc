// vnsh.cc - runs one command on a set of nodes at once through vnsh_rexec,
// with each node's output labelled or gathered and standard input copied.
#include <vorn/numlist.h>
#include <vorn/vnsh_io.h>
#include <vorn/vorn.h>

#include "closeout.h"
#include "nodefold.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <getopt.h>
#include <poll.h>
#include <pthread.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#define VNSH_VERSION "5.0.0"

#define FANOUT_DEFAULT 64
#define LINE_PIECE 4096          // longest piece of a line, as the listener cuts it
#define READ_SIZE 65536          // one read from a node's output pipe
#define INPUT_WINDOW (1 << 20)   // input held for the slowest node, at most
#define KILL_GRACE_MS 2000       // SIGTERM, then SIGKILL this much later
#define INTERRUPT_WINDOW_MS 1000 // a second Ctrl-C within this ends everything

extern char **environ;

enum run_state { RUN_WAITING, RUN_PLACING, RUN_RUNNING, RUN_FAILED };

// A growable byte buffer.
struct buf {
    char *p;
    size_t len, cap;
};

// One output stream (0 standard output, 1 standard error) of a run.
struct ostream {
    int fd;            // read end of the pipe; -1 after its end
    size_t held;       // line mode: bytes of an unfinished line in line[]
    int midline;       // -u: the last piece written did not end a line
    char *line;        // line mode: LINE_PIECE bytes, taken when first needed
    struct buf gather; // -b: everything the stream carried
};

// One placement of the command on one node.
struct run {
    int node;
    enum run_state state;
    pid_t pid;       // 0 before the fork
    int reaped;      // the child's status is known
    int status;      // its wait status
    int status_fd;   // close-on-exec pipe from the child while placing, else -1
    int in_fd;       // write end of the input pipe, -1 when none or ended
    int in_wanted;   // this run gets standard input
    uint64_t in_off; // bytes of the input written to it
    int64_t started; // ms, when it was forked
    int64_t kill_at; // ms, when SIGKILL follows a timeout's SIGTERM; 0 none
    int timed_out;
    struct ostream out[2];
};

enum input_mode { INPUT_ALL, INPUT_NONE, INPUT_NODE };

// Options.
static struct numlist nodes;
static int fanout = FANOUT_DEFAULT;
static int no_label, unbuffered, gather;
static enum input_mode input_mode = INPUT_ALL;
static int input_node;
static long timeout_s; // 0: none
static const char *progname = "vnsh";

// The runs and the loop's state.
static struct run *runs;
static int nruns;
static int line_mode; // more than one run and not -u: whole lines only
static int labels;    // line prefix "%3d: "
static int sig_pipe[2] = {-1, -1};
static int own_fd_floor;                   // every descriptor of ours lies at or above this
static rlim_t nofile_soft = RLIM_INFINITY; // the limit to hand to programs
static int out_dead[2];                    // errno of a failed local write, or 0
static struct ostream *open_line[2];       // -u: the stream whose line is open
static int64_t last_interrupt;             // ms of the last Ctrl-C, 0 none
static int interrupted;

// Standard input, shared by every run that gets it: bytes from in_base on.
static struct buf inbuf;
static uint64_t in_base;
static int in_open; // standard input not yet at its end

static struct buf obuf; // lines put together before one write

static const char short_options[] = "+hvw:f:Lubi:t:";

static const struct option long_options[] = {
    {"help", no_argument, nullptr, 'h'},          {"version", no_argument, nullptr, 'v'},
    {"nodes", required_argument, nullptr, 'w'},   {"fanout", required_argument, nullptr, 'f'},
    {"no-label", no_argument, nullptr, 'L'},      {"unbuffered", no_argument, nullptr, 'u'},
    {"gather", no_argument, nullptr, 'b'},        {"input", required_argument, nullptr, 'i'},
    {"timeout", required_argument, nullptr, 't'}, {nullptr, 0, nullptr, 0},
};

static void usage(FILE *f)
{
    fprintf(f,
            "Usage: %s [options] -w NODES [--] command [argument ...]\n"
            "  -w,--nodes NODES      Run on the nodes of the node list NODES (may repeat)\n"
            "  -f,--fanout N         Place on at most N nodes at a time (default %d)\n"
            "  -L,--no-label         Do not put the node number before each line\n"
            "  -u,--unbuffered       Forward output as it arrives\n"
            "  -b,--gather           Print each distinct output once, at the end\n"
            "  -i,--input WHERE      Standard input to all nodes, none, or node N\n"
            "  -t,--timeout SECONDS  End programs still running after SECONDS\n"
            "  -h,--help             Print this message and exit\n"
            "  -v,--version          Print version information and exit\n",
            progname, FANOUT_DEFAULT);
}

[[noreturn]] static void usage_error(const char *fmt, const char *what)
{
    fprintf(stderr, "%s: ", progname);
    fprintf(stderr, fmt, what);
    fputc('\n', stderr);
    usage(stderr);
    exit(1);
}

[[noreturn]] static void die(const char *what)
{
    fprintf(stderr, "%s: %s: %s\n", progname, what, strerror(errno));
    exit(1);
}

static int64_t now_ms(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (int64_t)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

// Buffers.

static void buf_reserve(struct buf *b, size_t more)
{
    if (b->len + more <= b->cap)
        return;
    size_t cap = b->cap ? b->cap : 4096;
    while (cap < b->len + more)
        cap *= 2;
    char *p = static_cast<char *>(realloc(b->p, cap));
    if (!p)
        die("out of memory");
    b->p = p;
    b->cap = cap;
}

static void buf_add(struct buf *b, const void *data, size_t len)
{
    if (len == 0)
        return;
    buf_reserve(b, len);
    memcpy(b->p + b->len, data, len);
    b->len += len;
}

// Writes all of data, waiting while the descriptor is full; -1 with errno
// when the write fails for good.
static int write_all(int fd, const char *data, size_t len)
{
    while (len > 0) {
        ssize_t n = write(fd, data, len);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            if (errno == EAGAIN) {
                struct pollfd p = {fd, POLLOUT, 0};
                poll(&p, 1, -1);
                continue;
            }
            return -1;
        }
        data += n;
        len -= (size_t)n;
    }
    return 0;
}

// Descriptors of our own: close-on-exec, and above every descriptor that
// was open before the runs began, so that a child closes them all at once.
// Where the limit leaves no room above (a caller's descriptor sits high),
// the descriptor stays where it is: the program never gets it (it closes
// on exec), and the listener closes what it inherited.
static int own_fd(int fd)
{
    if (fd >= 0 && fd < own_fd_floor) {
        int high = fcntl(fd, F_DUPFD_CLOEXEC, own_fd_floor);
        if (high >= 0) {
            close(fd);
            return high;
        }
    }
    return fd;
}

static int own_pipe(int p[2], int nonblock_end)
{
    if (pipe2(p, O_CLOEXEC) < 0)
        return -1;
    p[0] = own_fd(p[0]);
    p[1] = own_fd(p[1]);
    if (nonblock_end >= 0)
        fcntl(p[nonblock_end], F_SETFL, fcntl(p[nonblock_end], F_GETFL) | O_NONBLOCK);
    return 0;
}

static void close_fd(int *fd)
{
    if (*fd >= 0)
        close(*fd);
    *fd = -1;
}

// Output.

static void local_write(int s, const char *data, size_t len)
{
    if (out_dead[s] || len == 0)
        return;
    if (write_all(s + 1, data, len) == 0)
        return;
    // The local stream is gone: stop reading what would go there, so that
    // the programs see their output closed, as a local program would.
    out_dead[s] = errno;
    for (int i = 0; i < nruns; i++)
        close_fd(&runs[i].out[s].fd);
}

static void label_add(struct buf *b, int node)
{
    if (!labels)
        return;
    char prefix[16];
    int n = snprintf(prefix, sizeof prefix, "%3d: ", node);
    buf_add(b, prefix, (size_t)n);
}

// Line mode: whole lines, each behind its label, a line of LINE_PIECE bytes
// or more cut into pieces of that size, the last unfinished line ended by a
// newline when the stream ends; all complete lines of one read go out in
// one write.
static void lines_feed(struct run *r, int s, const char *p, size_t n, int final)
{
    struct ostream *o = &r->out[s];
    obuf.len = 0;
    while (n > 0) {
        size_t take = LINE_PIECE - o->held;
        if (take > n)
            take = n;
        const char *nl = static_cast<const char *>(memchr(p, '\n', take));
        if (nl || o->held + take == LINE_PIECE) {
            size_t k = nl ? (size_t)(nl - p) + 1 : take;
            label_add(&obuf, r->node);
            buf_add(&obuf, o->line, o->held);
            buf_add(&obuf, p, k);
            if (!nl)
                buf_add(&obuf, "\n", 1);
            o->held = 0;
            p += k;
            n -= k;
        } else {
            if (!o->line && !(o->line = static_cast<char *>(malloc(LINE_PIECE))))
                die("out of memory");
            memcpy(o->line + o->held, p, take);
            o->held += take;
            p += take;
            n -= take;
        }
    }
    if (final && o->held) {
        label_add(&obuf, r->node);
        buf_add(&obuf, o->line, o->held);
        buf_add(&obuf, "\n", 1);
        o->held = 0;
    }
    local_write(s, obuf.p, obuf.len);
}

// -u with several runs: pieces go out as they come, labelled at the start
// of each line.  A line left open is ended with a newline before another
// node's output is written, so lines of two nodes never meet.
static void pieces_feed(struct run *r, int s, const char *p, size_t n, int final)
{
    struct ostream *o = &r->out[s];
    obuf.len = 0;
    if (open_line[s] && open_line[s] != o && (n > 0)) {
        buf_add(&obuf, "\n", 1);
        open_line[s]->midline = 0;
        open_line[s] = nullptr;
    }
    while (n > 0) {
        if (!o->midline)
            label_add(&obuf, r->node);
        const char *nl = static_cast<const char *>(memchr(p, '\n', n));
        size_t k = nl ? (size_t)(nl - p) + 1 : n;
        buf_add(&obuf, p, k);
        o->midline = !nl;
        p += k;
        n -= k;
    }
    if (final && o->midline) {
        buf_add(&obuf, "\n", 1);
        o->midline = 0;
    }
    open_line[s] = o->midline ? o : nullptr;
    local_write(s, obuf.p, obuf.len);
}

static void output_feed(struct run *r, int s, const char *p, size_t n, int final)
{
    if (gather)
        buf_add(&r->out[s].gather, p, n);
    else if (line_mode)
        lines_feed(r, s, p, n, final);
    else if (nruns > 1)
        pieces_feed(r, s, p, n, final);
    else
        local_write(s, p, n);
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
    output_feed(r, s, data, 0, 1);
    close_fd(&r->out[s].fd);
    free(r->out[s].line);
    r->out[s].line = nullptr;
}

static int run_done(const struct run *r);

// Standard input.

static uint64_t input_low(void)
{
    uint64_t low = in_base + inbuf.len;
    for (int i = 0; i < nruns; i++) {
        struct run *r = &runs[i];
        if (!r->in_wanted || r->state == RUN_FAILED || run_done(r))
            continue;
        if (r->state != RUN_WAITING && r->in_fd < 0)
            continue;
        if (r->in_off < low)
            low = r->in_off;
    }
    return low;
}

// Drops what every run has had, so that the buffer holds the window only.
static void input_trim(void)
{
    uint64_t low = input_low();
    size_t drop = (size_t)(low - in_base);
    if (drop == 0 || (drop < inbuf.len && drop < INPUT_WINDOW / 2))
        return;
    memmove(inbuf.p, inbuf.p + drop, inbuf.len - drop);
    inbuf.len -= drop;
    in_base = low;
}

static void input_read(void)
{
    char data[READ_SIZE];
    ssize_t n = read(0, data, sizeof data);
    if (n < 0 && (errno == EINTR || errno == EAGAIN))
        return;
    if (n > 0) {
        buf_add(&inbuf, data, (size_t)n);
        return;
    }
    in_open = 0;
}

// Writes what waits for one run; ends its input when all is written and
// standard input has ended, or when the other side is gone.
static void input_write(struct run *r)
{
    uint64_t end = in_base + inbuf.len;
    while (r->in_off < end) {
        size_t at = (size_t)(r->in_off - in_base);
        ssize_t n = write(r->in_fd, inbuf.p + at, (size_t)(end - r->in_off));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno == EAGAIN)
            return;
        if (n <= 0) {
            close_fd(&r->in_fd);
            return;
        }
        r->in_off += (uint64_t)n;
    }
    if (!in_open)
        close_fd(&r->in_fd);
}

// Runs.

// A run whose child exists, or whose output has not ended.
static int run_active(const struct run *r)
{
    return r->pid > 0 && (!r->reaped || r->out[0].fd >= 0 || r->out[1].fd >= 0);
}

// A run that has nothing more to do: never forked and failed, or reaped
// with all of its output read.
static int run_done(const struct run *r)
{
    if (r->state == RUN_WAITING)
        return 0;
    if (r->pid <= 0)
        return r->state == RUN_FAILED;
    return r->reaped && r->status_fd < 0 && r->out[0].fd < 0 && r->out[1].fd < 0;
}

// Signals the run's process group: its program, what the program started,
// and the listener.  The group exists as long as one of them does; the
// child's pid is not free for reuse before we reap it.
static void run_signal(struct run *r, int sig)
{
    if (run_active(r) && r->pid > 0)
        kill(-r->pid, sig);
}

static void node_report(const struct run *r, const char *msg)
{
    // -u: a line that a node left open on standard error ends first.
    if (open_line[1]) {
        local_write(1, "\n", 1);
        open_line[1]->midline = 0;
        open_line[1] = nullptr;
    }
    fprintf(stderr, "%s: node %d: %s\n", progname, r->node, msg);
}

// In the listener that vnsh_rexec forks: the placement's status pipe is
// not the listener's to hold, and an interrupt that the program's process
// group gets must not end the listener before the program's last words.
static int child_status_fd = -1;
static void listener_setup(void)
{
    if (child_status_fd >= 0)
        close(child_status_fd);
    signal(SIGINT, SIG_IGN);
}

[[noreturn]] static void child_main(struct run *r, const char *path, char **argv, int in_rd,
                                    int out_wr[2], int status_wr)
{
    setpgid(0, 0);
    int sigs[] = {SIGINT, SIGTERM, SIGHUP, SIGPIPE, SIGCHLD, SIGQUIT};
    for (int sig : sigs)
        signal(sig, SIG_DFL);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);

    if (in_rd < 0)
        in_rd = open("/dev/null", O_RDONLY);
    if (in_rd < 0 || dup2(in_rd, 0) < 0 || dup2(out_wr[0], 1) < 0 || dup2(out_wr[1], 2) < 0) {
        int err = errno;
        (void)!write(status_wr, &err, sizeof err);
        _exit(127);
    }
    // Everything of ours goes but the status pipe (the cluster library's
    // descriptors, opened earlier, lie below the floor and stay).
    if (status_wr >= own_fd_floor) {
        if (status_wr > own_fd_floor)
            close_range((unsigned)own_fd_floor, (unsigned)status_wr - 1, 0);
        close_range((unsigned)status_wr + 1, ~0U, 0);
    } else {
        close_range((unsigned)own_fd_floor, ~0U, 0);
    }
    if (in_rd > 2 && in_rd < own_fd_floor)
        close(in_rd);
    if (nofile_soft != RLIM_INFINITY) {
        struct rlimit rl;
        if (getrlimit(RLIMIT_NOFILE, &rl) == 0) {
            rl.rlim_cur = nofile_soft;
            setrlimit(RLIMIT_NOFILE, &rl);
        }
    }
    child_status_fd = status_wr;
    pthread_atfork(nullptr, nullptr, listener_setup);

    vnsh_rexec(r->node, path, argv, environ, 0);
    int err = errno;
    (void)!write(status_wr, &err, sizeof err);
    _exit(127);
}

// Forks the run's child.  -1 with errno when the resources for it are
// missing (the caller may try again later).
static int run_start(struct run *r, const char *path, char **argv)
{
    int in[2] = {-1, -1}, out[2][2] = {{-1, -1}, {-1, -1}}, st[2] = {-1, -1};
    int err;
    if (r->in_wanted && own_pipe(in, 1) < 0)
        goto fail;
    if (own_pipe(out[0], 0) < 0 || own_pipe(out[1], 0) < 0 || own_pipe(st, 0) < 0)
        goto fail;
    {
        // Our handlers must not run in the child before it has its own
        // process group and the default dispositions.
        int wr[2] = {out[0][1], out[1][1]};
        sigset_t all, old;
        sigfillset(&all);
        sigprocmask(SIG_BLOCK, &all, &old);
        r->pid = fork();
        if (r->pid == 0)
            child_main(r, path, argv, in[0], wr, st[1]);
        err = errno;
        sigprocmask(SIG_SETMASK, &old, nullptr);
        errno = err;
    }
    if (r->pid < 0)
        goto fail;
    setpgid(r->pid, r->pid); // either side may be first
    close(in[0]);
    close(out[0][1]);
    close(out[1][1]);
    close(st[1]);
    r->in_fd = in[1];
    r->out[0].fd = out[0][0];
    r->out[1].fd = out[1][0];
    r->status_fd = st[0];
    r->state = RUN_PLACING;
    r->started = now_ms();
    return 0;
fail:
    err = errno;
    r->pid = 0;
    int *fds[] = {&in[0], &in[1], &out[0][0], &out[0][1], &out[1][0], &out[1][1], &st[0], &st[1]};
    for (int *fd : fds)
        close_fd(fd);
    errno = err;
    return -1;
}

static void run_fail(struct run *r, int err)
{
    node_report(r, vorn_strerror(err));
    r->state = RUN_FAILED;
    close_fd(&r->in_fd);
}

// The child's status pipe: an errno when the placement failed, end of file
// when the program started (the pipe closes on exec).
static void status_read(struct run *r)
{
    int err;
    ssize_t n = read(r->status_fd, &err, sizeof err);
    if (n < 0 && errno == EINTR)
        return;
    close_fd(&r->status_fd);
    if (n == (ssize_t)sizeof err)
        run_fail(r, err);
    else if (r->state == RUN_PLACING)
        r->state = RUN_RUNNING;
}

static void children_reap(void)
{
    int status;
    pid_t pid;
    while ((pid = waitpid(-1, &status, WNOHANG)) > 0) {
        for (int i = 0; i < nruns; i++) {
            if (runs[i].pid == pid && !runs[i].reaped) {
                runs[i].reaped = 1;
                runs[i].status = status;
                break;
            }
        }
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
        if (sig == SIGINT && interrupted && t - last_interrupt <= INTERRUPT_WINDOW_MS)
            sig = SIGKILL;
        if (sig == SIGINT)
            last_interrupt = t;
        interrupted = 1;
        for (int i = 0; i < nruns; i++)
            run_signal(&runs[i], sig);
    }
}

static void signals_setup(void)
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

// The timeouts: SIGTERM once a run has had its time, SIGKILL after the
// grace.  Returns the ms until the next deadline, or -1 for none.
static int timers_run(void)
{
    int64_t t = now_ms(), next = -1;
    for (int i = 0; i < nruns; i++) {
        struct run *r = &runs[i];
        if (!run_active(r))
            continue;
        if (timeout_s && !r->timed_out) {
            int64_t due = r->started + timeout_s * 1000;
            if (t >= due) {
                r->timed_out = 1;
                char msg[64];
                snprintf(msg, sizeof msg, "timed out after %ld s", timeout_s);
                node_report(r, msg);
                run_signal(r, SIGTERM);
                r->kill_at = t + KILL_GRACE_MS;
            } else if (next < 0 || due < next) {
                next = due;
            }
        }
        if (r->kill_at) {
            if (t >= r->kill_at) {
                run_signal(r, SIGKILL);
                r->kill_at = 0;
            } else if (next < 0 || r->kill_at < next) {
                next = r->kill_at;
            }
        }
    }
    return next < 0 ? -1 : (int)(next - t);
}

// The loop.

static void runs_start(const char *path, char **argv, int *next, int *placing)
{
    while (*next < nruns && *placing < fanout && !interrupted) {
        struct run *r = &runs[*next];
        if (run_start(r, path, argv) < 0) {
            // Out of descriptors or processes while others run: wait for
            // one of them to end.
            if ((errno == EMFILE || errno == ENFILE || errno == EAGAIN) && *placing > 0)
                return;
            int active = 0;
            for (int i = 0; i < *next && !active; i++)
                active = run_active(&runs[i]);
            if ((errno == EMFILE || errno == ENFILE || errno == EAGAIN) && active)
                return;
            run_fail(r, errno);
        } else {
            (*placing)++;
        }
        (*next)++;
    }
}

static void loop(const char *path, char **argv)
{
    int next = 0, placing = 0;
    // Slots: the signal pipe, standard input, then four per run.
    size_t cap = 2 + 4 * (size_t)nruns;
    struct pollfd *pfd = static_cast<struct pollfd *>(malloc(cap * sizeof *pfd));
    struct run **who = static_cast<struct run **>(malloc(cap * sizeof *who));
    int *what = static_cast<int *>(malloc(cap * sizeof *what));
    if (!pfd || !who || !what)
        die("out of memory");

    for (;;) {
        runs_start(path, argv, &next, &placing);
        if (interrupted) {
            for (; next < nruns; next++) {
                node_report(&runs[next], "not started: interrupted");
                runs[next].state = RUN_FAILED;
            }
        }
        int all_done = next == nruns;
        for (int i = 0; i < next && all_done; i++)
            all_done = run_done(&runs[i]);
        if (all_done)
            break;

        input_trim();
        size_t n = 0;
        pfd[n] = {sig_pipe[0], POLLIN, 0};
        who[n] = nullptr;
        what[n++] = -1;
        if (in_open && in_base + inbuf.len - input_low() < INPUT_WINDOW) {
            pfd[n] = {0, POLLIN, 0};
            who[n] = nullptr;
            what[n++] = -2;
        }
        for (int i = 0; i < next; i++) {
            struct run *r = &runs[i];
            if (r->status_fd >= 0) {
                pfd[n] = {r->status_fd, POLLIN, 0};
                who[n] = r;
                what[n++] = 2;
            }
            for (int s = 0; s < 2; s++) {
                if (r->out[s].fd >= 0) {
                    pfd[n] = {r->out[s].fd, POLLIN, 0};
                    who[n] = r;
                    what[n++] = s;
                }
            }
            if (r->in_fd >= 0 && run_done(r))
                close_fd(&r->in_fd);
            if (r->in_fd >= 0) {
                if (r->in_off < in_base + inbuf.len) {
                    pfd[n] = {r->in_fd, POLLOUT, 0};
                    who[n] = r;
                    what[n++] = 3;
                } else if (!in_open) {
                    close_fd(&r->in_fd);
                }
            }
        }

        int wait_ms = timers_run();
        int ready = poll(pfd, n, wait_ms);
        if (ready < 0) {
            if (errno == EINTR)
                continue;
            die("poll");
        }
        for (size_t k = 0; k < n && ready > 0; k++) {
            if (!pfd[k].revents)
                continue;
            ready--;
            struct run *r = who[k];
            switch (what[k]) {
            case -1:
                signals_read();
                break;
            case -2:
                input_read();
                break;
            case 2:
                if (r->status_fd >= 0) {
                    status_read(r);
                    if (r->status_fd < 0)
                        placing--;
                }
                break;
            case 3:
                if (r->in_fd >= 0)
                    input_write(r);
                break;
            default:
                if (r->out[what[k]].fd >= 0)
                    output_read(r, what[k]);
                break;
            }
        }
    }
    free(pfd);
    free(who);
    free(what);
}

// -b: each distinct output once, under the nodes that gave it, the groups in
// the order of their first node.
static int run_cmp(const void *a, const void *b)
{
    const struct run *x = *static_cast<struct run *const *>(a);
    const struct run *y = *static_cast<struct run *const *>(b);
    if (x->node != y->node)
        return (x->node > y->node) - (x->node < y->node);
    return (x > y) - (x < y);
}

static void gather_print(int s)
{
    struct run **order = static_cast<struct run **>(malloc((size_t)nruns * sizeof *order));
    int *members = static_cast<int *>(malloc((size_t)nruns * sizeof *members));
    char *done = static_cast<char *>(calloc((size_t)nruns, 1));
    if (!order || !members || !done)
        die("out of memory");
    for (int i = 0; i < nruns; i++)
        order[i] = &runs[i];
    qsort(order, (size_t)nruns, sizeof *order, run_cmp);
    struct buf text = {nullptr, 0, 0};
    for (int i = 0; i < nruns; i++) {
        const struct buf *g = &order[i]->out[s].gather;
        if (done[i] || g->len == 0)
            continue;
        size_t m = 0;
        for (int j = i; j < nruns; j++) {
            const struct buf *h = &order[j]->out[s].gather;
            if (!done[j] && h->len == g->len && memcmp(h->p, g->p, g->len) == 0) {
                done[j] = 1;
                members[m++] = order[j]->node;
            }
        }
        char *names = nodes_fold_alloc(members, m);
        if (!names)
            die("out of memory");
        static const char rule[] = "----------------\n";
        text.len = 0;
        buf_add(&text, rule, sizeof rule - 1);
        buf_add(&text, names, strlen(names));
        buf_add(&text, "\n", 1);
        buf_add(&text, rule, sizeof rule - 1);
        buf_add(&text, g->p, g->len);
        if (g->p[g->len - 1] != '\n')
            buf_add(&text, "\n", 1);
        local_write(s, text.p, text.len);
        free(names);
    }
    free(text.p);
    free(order);
    free(members);
    free(done);
}

// The exit status: the highest of the programs' (128 + the signal for one
// that a signal ended), at least 1 when a node could not be used.
static int exit_status(void)
{
    int rc = 0, failed = 0;
    for (int i = 0; i < nruns; i++) {
        const struct run *r = &runs[i];
        if (r->state == RUN_FAILED || r->timed_out)
            failed = 1;
        if (r->state == RUN_FAILED || !r->reaped)
            continue;
        int st = WIFEXITED(r->status) ? WEXITSTATUS(r->status) : 128 + WTERMSIG(r->status);
        if (st > rc)
            rc = st;
    }
    if ((failed || out_dead[0] || out_dead[1]) && rc == 0)
        rc = 1;
    return rc;
}

// The program to run, looked up in PATH as a shell would: the nodes run
// the file that this node names.
static char *command_path(const char *name)
{
    if (strchr(name, '/'))
        return strdup(name);
    const char *path = getenv("PATH");
    if (!path || !*path)
        path = "/usr/local/bin:/usr/bin:/bin";
    size_t nlen = strlen(name);
    for (const char *p = path;;) {
        const char *end = strchr(p, ':');
        size_t dlen = end ? (size_t)(end - p) : strlen(p);
        char *full = static_cast<char *>(malloc(dlen + nlen + 3));
        if (!full)
            die("out of memory");
        snprintf(full, dlen + nlen + 3, "%.*s/%s", (int)dlen, dlen ? p : ".", name);
        struct stat sb;
        if (stat(full, &sb) == 0 && S_ISREG(sb.st_mode) && access(full, X_OK) == 0)
            return full;
        free(full);
        if (!end)
            return nullptr;
        p = end + 1;
    }
}

// The lowest descriptor number above every one open now.
static int fd_floor(void)
{
    int high = 2;
    DIR *d = opendir("/proc/self/fd");
    if (!d)
        return 1024;
    int self = dirfd(d);
    struct dirent *e;
    while ((e = readdir(d)) != nullptr) {
        int fd = atoi(e->d_name);
        if (e->d_name[0] != '.' && fd != self && fd > high)
            high = fd;
    }
    closedir(d);
    return high + 1;
}

static long number_arg(const char *opt, const char *text, long min, long max)
{
    char *end;
    errno = 0;
    long v = strtol(text, &end, 10);
    if (errno || end == text || *end || v < min || v > max) {
        char what[64];
        snprintf(what, sizeof what, "%s", opt);
        fprintf(stderr, "%s: invalid %s value '%s'\n", progname, what, text);
        usage(stderr);
        exit(1);
    }
    return v;
}

int main(int argc, char **argv)
{
    if (argv[0] && *argv[0]) {
        const char *slash = strrchr(argv[0], '/');
        progname = slash ? slash + 1 : argv[0];
    }
    closeout_set_name(progname);
    atexit(close_stdout);
    // Descriptors 0, 1 and 2 are open, so that no pipe of ours takes one.
    for (int fd = 0; fd < 3; fd++)
        if (fcntl(fd, F_GETFD) < 0 && open("/dev/null", fd ? O_WRONLY : O_RDONLY) != fd)
            exit(1);

    const char *input_arg = nullptr;
    int opt;
    while ((opt = getopt_long(argc, argv, short_options, long_options, nullptr)) != -1) {
        switch (opt) {
        case 'h':
            usage(stdout);
            return 0;
        case 'v':
            printf("%s version %s\n", progname, VNSH_VERSION);
            return 0;
        case 'w':
            // The node table first: a failure to fetch it is no fault of
            // the expression (the parser has said what went wrong).
            if (!nodes.list && str2numlist(&nodes, "") < 0)
                return 1;
            errno = 0;
            if (str2numlist(&nodes, optarg) < 0) {
                if (errno == ENOMEM)
                    die("out of memory");
                usage_error("malformed node list '%s'", optarg);
            }
            break;
        case 'f':
            fanout = (int)number_arg("fanout", optarg, 1, INT_MAX);
            break;
        case 'L':
            no_label = 1;
            break;
        case 'u':
            unbuffered = 1;
            break;
        case 'b':
            gather = 1;
            break;
        case 'i':
            input_arg = optarg;
            break;
        case 't':
            timeout_s = number_arg("timeout", optarg, 1, 100000000);
            break;
        default:
            // getopt_long has named the option.
            usage(stderr);
            return 1;
        }
    }
    if (input_arg) {
        if (strcmp(input_arg, "all") == 0) {
            input_mode = INPUT_ALL;
        } else if (strcmp(input_arg, "none") == 0) {
            input_mode = INPUT_NONE;
        } else {
            input_mode = INPUT_NODE;
            input_node = strcmp(input_arg, "master") == 0
                             ? -1
                             : (int)number_arg("input", input_arg, -1, INT_MAX);
        }
    }
    if (nodes.num == 0)
        usage_error("%s", "no node given (-w NODES)");
    if (optind >= argc)
        usage_error("%s", "no command given");
    int found = input_mode != INPUT_NODE;
    for (int i = 0; i < nodes.num && !found; i++)
        found = nodes.list[i] == input_node;
    if (!found)
        usage_error("input node '%s' is not among the nodes", input_arg);

    char *path = command_path(argv[optind]);
    if (!path) {
        fprintf(stderr, "%s: %s: command not found\n", progname, argv[optind]);
        return 127;
    }

    nruns = nodes.num;
    runs = static_cast<struct run *>(calloc((size_t)nruns, sizeof *runs));
    if (!runs)
        die("out of memory");
    line_mode = nruns > 1 && !unbuffered;
    labels = nruns > 1 && !no_label;
    for (int i = 0; i < nruns; i++) {
        struct run *r = &runs[i];
        r->node = nodes.list[i];
        r->status_fd = r->in_fd = r->out[0].fd = r->out[1].fd = -1;
        r->in_wanted =
            input_mode == INPUT_ALL || (input_mode == INPUT_NODE && r->node == input_node);
        if (r->in_wanted)
            in_open = 1;
    }

    // Room for a few descriptors per node; programs get the limit we had.
    struct rlimit rl;
    if (getrlimit(RLIMIT_NOFILE, &rl) == 0 && rl.rlim_cur < rl.rlim_max) {
        nofile_soft = rl.rlim_cur;
        rl.rlim_cur = rl.rlim_max;
        setrlimit(RLIMIT_NOFILE, &rl);
    }
    own_fd_floor = fd_floor();
    signals_setup();

    loop(path, argv + optind);
    free(path);

    if (gather) {
        gather_print(0);
        gather_print(1);
    }
    if (out_dead[0] && out_dead[0] != EPIPE)
        fprintf(stderr, "%s: write error: %s\n", progname, strerror(out_dead[0]));
    return exit_status();
}
