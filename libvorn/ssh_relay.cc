/* ssh_relay.cc - vorn-ssh-relay: what a process placed on a host node
 * becomes.  It passes its standard input to the session and the session's
 * output to its standard output and error (dropping what the remote login
 * printed before the program's output began), relays the signals it gets
 * (INT, TERM, HUP, QUIT; USR1, the node going down, as KILL) to the remote
 * program's process group through the node's master, and exits with the
 * program's status, which the master reports: 128 + the signal for a
 * program killed by one, 255 with a line on standard error when the
 * connection was lost.
 *
 *   vorn-ssh-relay MUX IN OUT ERR PGID NODE CONTROL-SOCKET
 *
 * MUX is the session's control connection to the master; IN, OUT and ERR
 * are our ends of the session's pipes. */
#include "ssh_mux.h"

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
#define START_LEN (sizeof start_mark - 1)

static volatile sig_atomic_t pending[NSIG];
static int wake[2] = {-1, -1};

static void on_signal(int sig)
{
    int saved = errno;
    pending[sig] = 1;
    (void)!write(wake[1], "", 1);
    errno = saved;
}

static int64_t mono_ms(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (int64_t)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

static const char *ctl; /* the master's control socket */
static long pgid;       /* the remote program's process group */
static pid_t killer;    /* the child relaying a signal, 0 when none */
static int64_t killer_until;
static int node_down; /* USR1 came: the program was killed with its node */

/* Relays a signal to the remote program's process group through the
 * master, from a child in a session of its own: a SIGKILL for our group
 * (the caller giving up on us) does not stop it on its way. */
static void relay_start(const char *name)
{
    if (killer > 0)
        waitpid(killer, NULL, 0); /* one at a time, in order */
    killer = fork();
    if (killer == 0) {
        setsid();
        char cmd[160];
        snprintf(cmd, sizeof cmd, "kill -s %s -- -%ld || kill -s %s %ld", name, pgid, name, pgid);
        if (mux_run(ctl, cmd) >= 0)
            _exit(0);
        /* Our master has no session to spare: the node's others, NODE.K
         * beside it. */
        char other[4400];
        const char *dot = strrchr(ctl, '.');
        for (int k = 0; dot && k < 64; k++) {
            snprintf(other, sizeof other, "%.*s.%d", (int)(dot - ctl), ctl, k);
            if (strcmp(other, ctl) != 0 && access(other, F_OK) == 0 && mux_run(other, cmd) >= 0)
                _exit(0);
        }
        _exit(1);
    }
    killer_until = mono_ms() + KILL_WAIT_MS;
}

/* Relays the signals that came. */
static void signals_pass(void)
{
    static const struct {
        int sig;
        const char *name;
    } names[] = {
        {SIGINT, "INT"}, {SIGTERM, "TERM"}, {SIGHUP, "HUP"}, {SIGQUIT, "QUIT"}, {SIGUSR1, "KILL"}};
    for (size_t i = 0; i < sizeof names / sizeof names[0]; i++) {
        if (!pending[names[i].sig])
            continue;
        pending[names[i].sig] = 0;
        node_down |= names[i].sig == SIGUSR1;
        relay_start(names[i].name);
    }
}

/* Writes all of buf to fd; -1 when the reader is gone or fd failed.  A
 * signal that comes while a slow reader holds the write up is relayed at
 * once. */
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

/* One of the session's output streams: read and written (standard output
 * until its start mark has passed, or where splice cannot serve), else
 * spliced. */
struct stream {
    int from, to;
    size_t matched; /* standard output: bytes of the start mark seen */
    int started;    /* past the start mark (standard error: from the first) */
    int copy;       /* splice cannot serve: read and written */
};

/* Moves what there is of a stream on; -1 when it has ended or its reader
 * is gone (*gone then), 0 otherwise. */
static int stream_pass(struct stream *s, char *buf, int *gone)
{
    *gone = 0;
    if (s->started && !s->copy) {
        ssize_t n = splice(s->from, NULL, s->to, NULL, BUF_SIZE, SPLICE_F_MOVE);
        if (n > 0 || (n < 0 && errno == EINTR))
            return 0;
        if (n < 0 && errno == EINVAL) {
            s->copy = 1; /* a terminal, say */
            return 0;
        }
        *gone = n < 0;
        return -1;
    }
    ssize_t n = read(s->from, buf, BUF_SIZE);
    if (n < 0 && (errno == EINTR || errno == EAGAIN))
        return 0;
    if (n <= 0)
        return -1;
    size_t i = 0;
    /* Before the start mark: the remote login's, dropped. */
    while (!s->started && i < (size_t)n) {
        if (buf[i] == start_mark[s->matched])
            s->matched++;
        else
            s->matched = buf[i] == start_mark[0] ? 1 : 0;
        i++;
        if (s->matched == START_LEN)
            s->started = 1;
    }
    if (i < (size_t)n && write_all(s->to, buf + i, (size_t)n - i) < 0) {
        *gone = 1;
        return -1;
    }
    return 0;
}

int main(int argc, char **argv)
{
    if (argc != 8) {
        fprintf(stderr, "usage: vorn-ssh-relay MUX IN OUT ERR PGID NODE CONTROL-SOCKET\n");
        return 2;
    }
    int mux = atoi(argv[1]), in = atoi(argv[2]);
    struct stream out = {atoi(argv[3]), 1, 0, 0, 0};
    struct stream err = {atoi(argv[4]), 2, 0, 1, 0};
    pgid = atol(argv[5]);
    const char *node = argv[6];
    ctl = argv[7];

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
    int stdin_open = 1, status = -1, lost = 0, piped = 0, splice_in = 1, in_full = 0;
    while ((status < 0 && !lost) || out.from >= 0 || err.from >= 0) {
        /* Signals first: the remote program gets them as soon as may be. */
        signals_pass();
        pending[SIGCHLD] = 0;
        pid_t done;
        while ((done = waitpid(-1, NULL, WNOHANG)) > 0)
            if (done == killer)
                killer = 0;
        if (killer > 0 && mono_ms() > killer_until) {
            kill(killer, SIGKILL);
            killer = 0;
        }

        struct pollfd p[6];
        int np = 0, iin = -1, iwr = -1, imux = -1, iout = -1, ierr = -1;
        p[np++] = {wake[0], POLLIN, 0};
        if (mux >= 0 && status < 0) {
            imux = np;
            p[np++] = {mux, POLLIN, 0};
        }
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
        int r = poll(p, (nfds_t)np, killer > 0 ? 100 : -1);
        if (r < 0 && errno != EINTR)
            break;
        if (r <= 0)
            continue;
        if (p[0].revents) {
            char drain[64];
            while (read(wake[0], drain, sizeof drain) > 0) {
            }
        }
        if (imux >= 0 && p[imux].revents) {
            /* The status: the control connection stays open until the
             * output has all come (the master drops what it still has of
             * a session whose client has gone).  The master gone: lost. */
            int st = mux_wait(mux);
            if (st >= 0) {
                status = st;
            } else if (st == -1) {
                lost = 1;
                close(mux);
                mux = -1;
            }
        }
        if (iin >= 0 && p[iin].revents) {
            ssize_t n = splice_in
                            ? splice(0, NULL, in, NULL, BUF_SIZE, SPLICE_F_MOVE | SPLICE_F_NONBLOCK)
                            : read(0, inbuf, BUF_SIZE);
            if (n > 0 && !splice_in) {
                inlen = (size_t)n;
                inoff = 0;
            } else if (n < 0 && splice_in && errno == EAGAIN) {
                in_full = 1; /* the session's pipe is full: wait for room */
            } else if (n < 0 && splice_in && errno == EINVAL) {
                splice_in = 0; /* input that cannot be spliced (a terminal) */
            } else if (n == 0 || (n < 0 && errno != EINTR && errno != EAGAIN)) {
                stdin_open = 0;
                close(in);
                in = -1;
            }
        }
        if (in_full && iwr >= 0 && p[iwr].revents)
            in_full = 0;
        if (inlen > 0 && in >= 0 && iwr >= 0 && p[iwr].revents) {
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
            int gone;
            if (idx[k] < 0 || !p[idx[k]].revents || stream_pass(ss[k], buf, &gone) == 0)
                continue;
            if (gone && !piped) {
                /* Our reader is gone: the program learns it as it would
                 * here, by SIGPIPE. */
                piped = 1;
                relay_start("PIPE");
            }
            close(ss[k]->from);
            ss[k]->from = -1;
        }
    }
    if (killer > 0) {
        /* A relayed signal still on its way: given its time. */
        while (mono_ms() < killer_until && waitpid(killer, NULL, WNOHANG) == 0)
            usleep(10000);
    }
    free(buf);
    free(inbuf);
    if (status >= 0)
        return status;
    /* The node went down (reboot, halt): killed, as there. */
    if (node_down)
        return 128 + SIGKILL;
    fprintf(stderr, "vorn: node %s: the connection to its host was lost\n", node);
    return 255;
}
