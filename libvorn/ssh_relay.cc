/* ssh_relay.cc - vorn-ssh-relay: what a process placed on a host node
 * becomes.  It passes its standard input to the ssh session and the
 * session's output to its standard output and error (dropping what the
 * remote login printed before the program's streams began), relays the
 * signals it gets (INT, TERM, HUP, QUIT; USR1, the node going down, as
 * KILL) to the remote program's process group through the node's master,
 * and exits with the program's status: 128 + the signal for a program
 * killed by one, 255 with a line on standard error when the connection
 * was lost.
 *
 *   vorn-ssh-relay SSH-PID IN OUT ERR PGID NODE -- SSH-COMMAND... -- DEST
 *
 * IN, OUT and ERR are the session's pipes; SSH-COMMAND runs a command on
 * the host through the master. */
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#define BUF_SIZE 65536
#define KILL_WAIT_MS 10000

static const char start_mark[] = "\0vorn-ok\n";
static const char exit_mark[] = "\0vorn-exit ";
#define START_LEN (sizeof start_mark - 1)
#define EXIT_LEN (sizeof exit_mark - 1)

static volatile sig_atomic_t pending[NSIG];
static int node_down; /* USR1 came: the program was killed with its node */
static int wake[2] = {-1, -1};

static void on_signal(int sig)
{
    int saved = errno;
    pending[sig] = 1;
    (void)!write(wake[1], "", 1);
    errno = saved;
}

static int64_t mono_ms(void);
static void signals_pass(void);

static int64_t mono_ms(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (int64_t)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

/* Writes all of buf to fd; -1 when the reader is gone or fd failed.  A
 * signal that comes while a slow reader holds the write up is relayed
 * at once. */
static int write_all(int fd, const char *buf, size_t len)
{
    while (len > 0) {
        ssize_t n = write(fd, buf, len);
        if (n < 0 && errno == EINTR) {
            signals_pass();
            continue;
        }
        if (n < 0)
            return -1;
        buf += n;
        len -= (size_t)n;
    }
    return 0;
}

/* One of the session's output streams. */
struct stream {
    int from, to;
    size_t matched; /* standard output: bytes of the start mark seen */
    int started;    /* standard output: the mark has passed */
    char *held;     /* standard error: a tail that may begin the exit mark */
    size_t nheld;
};

static int exit_code = -1;

/* Standard output: what comes before the start mark is the remote login's
 * and is dropped. */
static int out_pass(struct stream *s, const char *buf, size_t n)
{
    size_t i = 0;
    while (!s->started && i < n) {
        if (buf[i] == start_mark[s->matched])
            s->matched++;
        else
            s->matched = buf[i] == start_mark[0] ? 1 : 0;
        i++;
        if (s->matched == START_LEN)
            s->started = 1;
    }
    return i < n ? write_all(s->to, buf + i, n - i) : 0;
}

/* Whether text (len bytes) could be the start of an exit mark, or is one
 * whole; *whole gets the length of a whole mark. */
static int mark_prefix(const char *text, size_t len, size_t *whole)
{
    *whole = 0;
    for (size_t i = 0; i < len; i++) {
        if (i < EXIT_LEN) {
            if (text[i] != exit_mark[i])
                return 0;
        } else if (text[i] == '\n') {
            *whole = i + 1;
            return i > EXIT_LEN;
        } else if (text[i] < '0' || text[i] > '9' || i > EXIT_LEN + 4) {
            return 0;
        }
    }
    return 1;
}

/* Standard error: the exit mark the remote script writes last is taken
 * out; a tail that may begin one is held until the next read. */
static int err_pass(struct stream *s, const char *buf, size_t n, int at_end)
{
    char *all = (char *)realloc(s->held, s->nheld + n + 1);
    if (!all)
        return -1;
    memcpy(all + s->nheld, buf, n);
    size_t len = s->nheld + n, from = 0;
    s->held = all;
    s->nheld = 0;
    for (size_t i = 0; i < len; i++) {
        if (all[i] != 0)
            continue;
        size_t whole;
        if (!mark_prefix(all + i, len - i, &whole))
            continue;
        if (whole) {
            exit_code = atoi(all + i + EXIT_LEN);
            if (write_all(s->to, all + from, i - from) < 0)
                return -1;
            from = i + whole;
            i = from - 1;
            continue;
        }
        if (at_end)
            break;
        /* The rest may begin a mark: held. */
        if (write_all(s->to, all + from, i - from) < 0)
            return -1;
        memmove(all, all + i, len - i);
        s->nheld = len - i;
        return 0;
    }
    return write_all(s->to, all + from, len - from);
}

static char **remote_argv; /* the ssh command up to the destination */
static int remote_argc;
static long pgid;

/* Relays sig to the remote program's process group: ssh through the
 * master, in the background; its pid. */
static pid_t relay_signal(const char *name)
{
    char cmd[160];
    snprintf(cmd, sizeof cmd, "kill -s %s -- -%ld || kill -s %s %ld", name, pgid, name, pgid);
    pid_t pid = fork();
    if (pid != 0)
        return pid;
    /* A session of its own: a SIGKILL for our group (the caller giving
     * up on us) does not stop the signal on its way. */
    setsid();
    /* Nothing of it reaches the program's streams: not the remote
     * login's start-up output, not a kill too late for its group. */
    int null = open("/dev/null", O_RDWR);
    if (null >= 0) {
        dup2(null, 0);
        dup2(null, 1);
        dup2(null, 2);
    }
    close_range(3, ~0U, 0);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, NULL);
    char **argv = (char **)calloc((size_t)remote_argc + 2, sizeof *argv);
    if (!argv)
        _exit(255);
    for (int i = 0; i < remote_argc; i++)
        argv[i] = remote_argv[i];
    argv[remote_argc] = cmd;
    execvp(argv[0], argv);
    _exit(255);
}

static pid_t killer;         /* the ssh relaying a signal, 0 when none */
static int64_t killer_until; /* when it is given up */

/* Starts relaying a signal, after the one before it has gone. */
static void relay_start(const char *name)
{
    if (killer > 0)
        waitpid(killer, NULL, 0);
    killer = relay_signal(name);
    killer_until = mono_ms() + KILL_WAIT_MS;
}

/* Relays the signals that came; USR1, the node going down, as KILL. */
static void signals_pass(void)
{
    static const struct {
        int sig;
        const char *name;
    } names[] = {{SIGINT, "INT"}, {SIGTERM, "TERM"}, {SIGHUP, "HUP"}, {SIGQUIT, "QUIT"},
                 {SIGUSR1, "KILL"}};
    for (size_t i = 0; i < sizeof names / sizeof names[0]; i++) {
        if (!pending[names[i].sig])
            continue;
        pending[names[i].sig] = 0;
        node_down |= names[i].sig == SIGUSR1;
        relay_start(names[i].name);
    }
}

int main(int argc, char **argv)
{
    if (argc < 10 || strcmp(argv[7], "--") != 0) {
        fprintf(stderr, "usage: vorn-ssh-relay SSH-PID IN OUT ERR PGID NODE -- SSH-COMMAND...\n");
        return 2;
    }
    pid_t ssh = (pid_t)atoi(argv[1]);
    int in = atoi(argv[2]);
    struct stream out = {atoi(argv[3]), 1, 0, 0, NULL, 0};
    struct stream err = {atoi(argv[4]), 2, 0, 0, NULL, 0};
    pgid = atol(argv[5]);
    const char *node = argv[6];
    remote_argv = argv + 8;
    remote_argc = argc - 8;

    if (pipe2(wake, O_CLOEXEC | O_NONBLOCK) < 0)
        return 255;
    /* Signals that came while the placement started the session wait,
     * blocked, for these handlers. */
    static const int relayed[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGUSR1, SIGCHLD};
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = on_signal;
    sigemptyset(&sa.sa_mask);
    for (int sig : relayed)
        sigaction(sig, &sa, NULL);
    signal(SIGPIPE, SIG_IGN);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, NULL);
    fcntl(in, F_SETFL, O_NONBLOCK);

    char *buf = (char *)malloc(BUF_SIZE), *inbuf = (char *)malloc(BUF_SIZE);
    if (!buf || !inbuf)
        return 255;
    size_t inlen = 0, inoff = 0;
    int stdin_open = 1, ssh_status = -1, piped = 0;
    int splice_in = 1, splice_out = 1, in_full = 0;
    while (ssh_status < 0 || out.from >= 0 || err.from >= 0) {
        /* Signals first: the remote program gets them as soon as may be. */
        signals_pass();
        pending[SIGCHLD] = 0;
        int status;
        pid_t done;
        while ((done = waitpid(-1, &status, WNOHANG)) > 0) {
            if (done == ssh)
                ssh_status = status;
            else if (done == killer)
                killer = 0;
        }
        if (killer > 0 && mono_ms() > killer_until) {
            kill(killer, SIGKILL);
            killer = 0;
        }
        if (ssh_status >= 0 && out.from < 0 && err.from < 0)
            break;

        struct pollfd p[5];
        int np = 0, iin = -1, iout = -1, ierr = -1, iwr = -1;
        p[np++] = {wake[0], POLLIN, 0};
        if (stdin_open && inlen == 0 && in >= 0 && !in_full) {
            iin = np;
            p[np++] = {0, POLLIN, 0};
        }
        if ((inlen > 0 || in_full) && in >= 0) {
            iwr = np;
            p[np++] = {in, POLLOUT, 0};
        }
        if (out.from >= 0) {
            iout = np;
            p[np++] = {out.from, POLLIN, 0};
        }
        if (err.from >= 0) {
            ierr = np;
            p[np++] = {err.from, POLLIN, 0};
        }
        int r = poll(p, (nfds_t)np, killer > 0 || ssh_status >= 0 ? 100 : -1);
        if (r < 0 && errno != EINTR)
            break;
        if (r <= 0)
            continue;
        if (p[0].revents) {
            char drain[64];
            while (read(wake[0], drain, sizeof drain) > 0) {
            }
        }
        if (iin >= 0 && p[iin].revents && splice_in) {
            /* Straight from our input into the session's pipe: no copy. */
            ssize_t n = splice(0, NULL, in, NULL, BUF_SIZE, SPLICE_F_MOVE | SPLICE_F_NONBLOCK);
            if (n > 0)
                continue;
            if (n == 0) {
                stdin_open = 0;
                close(in);
                in = -1;
            } else if (errno == EAGAIN) {
                in_full = 1; /* the session's pipe is full: wait for room */
            } else if (errno == EINVAL) {
                splice_in = 0; /* input that cannot be spliced (a terminal) */
            } else if (errno != EINTR) {
                close(in);
                in = -1;
                stdin_open = 0;
            }
        } else if (iin >= 0 && p[iin].revents) {
            ssize_t n = read(0, inbuf, BUF_SIZE);
            if (n > 0) {
                inlen = (size_t)n;
                inoff = 0;
            } else if (n == 0 || (errno != EINTR && errno != EAGAIN)) {
                stdin_open = 0;
                close(in);
                in = -1;
            }
        }
        if (in_full && iwr >= 0 && p[iwr].revents)
            in_full = 0;
        if (inlen > 0 && in >= 0 && (iwr < 0 || p[iwr].revents)) {
            ssize_t n = write(in, inbuf + inoff, inlen);
            if (n > 0) {
                inoff += (size_t)n;
                inlen -= (size_t)n;
            } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
                /* The session takes no more input. */
                close(in);
                in = -1;
                stdin_open = 0;
                inlen = 0;
            }
        }
        struct stream *ss[2] = {&out, &err};
        int idx[2] = {iout, ierr};
        for (int k = 0; k < 2; k++) {
            struct stream *s = ss[k];
            if (idx[k] < 0 || !p[idx[k]].revents)
                continue;
            if (k == 0 && s->started && splice_out) {
                /* Past the start, the output goes on without a copy. */
                ssize_t n = splice(s->from, NULL, s->to, NULL, BUF_SIZE, SPLICE_F_MOVE);
                if (n > 0 || (n < 0 && errno == EINTR))
                    continue;
                if (n < 0 && errno == EINVAL) {
                    splice_out = 0; /* a terminal, say: copied */
                    continue;
                }
                if (n < 0 && !piped) {
                    piped = 1;
                    relay_start("PIPE");
                }
                close(s->from);
                s->from = -1;
                continue;
            }
            ssize_t n = read(s->from, buf, BUF_SIZE);
            if (n < 0 && (errno == EINTR || errno == EAGAIN))
                continue;
            int failed = 0;
            if (n > 0)
                failed = k == 0 ? out_pass(s, buf, (size_t)n) : err_pass(s, buf, (size_t)n, 0);
            else if (k == 1 && s->nheld)
                failed = err_pass(s, "", 0, 1);
            if (failed && !piped) {
                /* Our reader is gone: the program learns it as it would
                 * here, by SIGPIPE. */
                piped = 1;
                relay_start("PIPE");
            }
            if (n <= 0 || failed) {
                close(s->from);
                s->from = -1;
            }
        }
    }
    if (killer > 0) {
        /* A relayed signal still on its way: given its time. */
        int64_t until = killer_until;
        while (mono_ms() < until && waitpid(killer, NULL, WNOHANG) == 0)
            usleep(10000);
    }
    if (exit_code >= 0)
        return exit_code;
    /* The node went down (reboot, halt): killed, as there. */
    if (node_down)
        return 128 + SIGKILL;
    if (WIFEXITED(ssh_status) && WEXITSTATUS(ssh_status) != 255)
        return WEXITSTATUS(ssh_status);
    fprintf(stderr, "vorn: node %s: the connection to its host was lost\n", node);
    return 255;
}
