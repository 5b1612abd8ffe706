/* ssh_place.cc - placing a program on a host node: the standard streams
 * connected here, the session asked of the node's ssh master, the program
 * started on the host by a remote shell script that opens the file
 * records there, and the caller then become the relay (vorn-ssh-relay) of
 * its streams, signals and exit status. */
#include "hosts.h"
#include "place.h"
#include "ssh_mux.h"

#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#ifndef VORN_LIBEXEC_DIR
#define VORN_LIBEXEC_DIR "/usr/local/libexec/vorn"
#endif
#define RELAY_NAME "vorn-ssh-relay"
/* The longest single argument execve takes (the command line ssh hands to
 * the remote login shell is one). */
#define REMOTE_COMMAND_MAX (32 * 4096)
/* How long the remote script has to say whether the program started. */
#define START_WAIT_MS 30000

/* The script the remote login shell runs (with /bin/sh), as its
 * arguments say: the node, the directory, the umask, two spare
 * descriptors (one keeps the session's standard error, one the program's
 * while the script's own goes nowhere), the file records, the size of the
 * environment, argv[0], the environment, the program and its arguments.
 * It says on the session's standard output that the streams begin, and
 * on the kept standard error whether the program started (and its
 * process group); it exits with the program's status, 128 + the signal
 * for a program killed by one, which the master reports.  The program runs in a process group of
 * its own, so that a relayed signal reaches all of it, with exactly the caller's environment, in
 * order.  perl, where the host has it, starts it with its own argv[0] in one exec; else setsid, sh
 * and env -i do, and argv[0] is the program's path. */
static const char remote_script[] = R"SH(n=$1 d=$2 m=$3 k=$4 j=$5 r=$6; shift 6
printf '\000vorn-ok\n'
eval "exec $k>&2"
e() { printf '\000vorn-err %s\n' "$1" >&$k; exit 255; }
why() {
  if [ -d "$f" ]; then echo EISDIR
  elif [ -e "$f" ]; then if [ "$op" = x ]; then echo EEXIST; else echo EACCES; fi
  else p=${f%/*}; [ "$p" = "$f" ] && p=.
    if [ -d "${p:-/}" ]; then echo EACCES; else echo ENOENT; fi
  fi
}
w=
cd -- "$d" 2>/dev/null || w="vorn: node $n: no directory $d on $(uname -n): running in $PWD"
while [ "$r" -gt 0 ]; do
  fd=$1 op=$2 cm=$3 f=$4; shift 4; r=$((r - 1))
  case $op in e*) op=${op#e}; [ -e "$f" ] || e ENOENT;; esac
  umask "$cm"
  case $op in
  r) [ -e "$f" ] || e ENOENT; command eval "exec $fd<\"\$f\"" || e "$(why)";;
  w) command eval "exec $fd>\"\$f\"" || e "$(why)";;
  a) command eval "exec $fd>>\"\$f\"" || e "$(why)";;
  o) command eval "exec $fd<>\"\$f\"" || e "$(why)";;
  x) set -C; command eval "exec $fd>\"\$f\"" || e "$(why)"; set +C;;
  esac
done
umask "$m"
ne=$1 a0=$2; shift 2
eval "p=\${$((ne + 1))}"
[ -e "$p" ] || e ENOENT; [ -d "$p" ] && e EACCES; [ -x "$p" ] || e EACCES
eval "exec $j>&2"; exec 2>/dev/null
pp=
for x in /usr/bin/perl /bin/perl /usr/local/bin/perl; do [ -x $x ] && { pp=$x; break; }; done
if [ -n "$pp" ]; then
  pl='my ($k, $j, $w, $ne, $a0) = splice(@ARGV, 0, 5);
my @e = splice(@ARGV, 0, $ne);
my $p = shift @ARGV;
%ENV = ();
for (@e) { my ($n, $v) = split(/=/, $_, 2); $ENV{$n} = $v; }
setpgrp(0, 0);
my ($m, $h);
open($m, ">&=", $k) and syswrite($m, "\0vorn-ok $$\n") and close($m);
open(STDERR, ">&", $j); open($h, ">&=", $j) and close($h);
print STDERR "$w\n" if length $w;
exec {$p} $a0, @ARGV;
print STDERR "$p: $!\n";
exit 127;'
  "$pp" -e "$pl" -- "$k" "$j" "$w" "$ne" "$a0" "$@"
else
  in='k=$1 j=$2 w=$3 ne=$4; shift 4
printf "\000vorn-ok %s\n" $$ >&$k
eval "exec 2>&$j $j>&- $k>&-"
[ -n "$w" ] && printf "%s\n" "$w" >&2
c="exec env -i --" i=0
while [ $i -lt $# ]; do i=$((i + 1)); c="$c \"\${$i}\""; done
eval "$c"'
  s=; command -v setsid >/dev/null 2>&1 && s=setsid
  $s /bin/sh -c "$in" vorn "$k" "$j" "$w" "$ne" "$@"
fi
)SH";

/* Appends text to b as one shell word, in single quotes. */
static int quote(char **b, size_t *len, size_t *cap, const char *text)
{
    size_t need = *len + 4 * strlen(text) + 4;
    if (need > REMOTE_COMMAND_MAX) {
        errno = E2BIG;
        return -1;
    }
    if (need > *cap) {
        size_t ncap = *cap * 2 > need ? *cap * 2 : need;
        char *n = (char *)realloc(*b, ncap);
        if (!n)
            return -1;
        *b = n;
        *cap = ncap;
    }
    char *p = *b + *len;
    *p++ = ' ';
    *p++ = '\'';
    for (const char *t = text; *t; t++) {
        if (*t == '\'') {
            memcpy(p, "'\\''", 4);
            p += 4;
        } else {
            *p++ = *t;
        }
    }
    *p++ = '\'';
    *len = (size_t)(p - *b);
    return 0;
}

/* How a file record opens its file in the remote shell: the operator
 * ("r" <, "w" >, "a" >>, "o" <>, "x" > without clobbering; "e" before it:
 * the file must exist).  EOPNOTSUPP for what a shell cannot open so. */
static int file_op(const struct io_redirect *r, char *op)
{
    int fl = r->d.file.open_flags & ~(O_CLOEXEC | O_NOCTTY | O_LARGEFILE);
    int acc = fl & O_ACCMODE, creat = fl & O_CREAT;
    int rest = fl & ~(O_ACCMODE | O_CREAT | O_TRUNC | O_APPEND | O_EXCL);
    const char *o = NULL;
    if (rest || r->d.file.offset != 0)
        o = NULL;
    else if (acc == O_RDONLY && !(fl & (O_CREAT | O_TRUNC | O_APPEND | O_EXCL)))
        o = "r";
    else if (acc == O_WRONLY && (fl & O_EXCL) && creat && !(fl & O_APPEND))
        o = "x";
    else if (acc == O_WRONLY && (fl & O_APPEND) && !(fl & (O_TRUNC | O_EXCL)))
        o = creat ? "a" : "ea";
    else if (acc == O_WRONLY && (fl & O_TRUNC) && !(fl & O_EXCL))
        o = creat ? "w" : "ew";
    else if (acc != O_RDONLY && !(fl & (O_TRUNC | O_APPEND | O_EXCL)))
        o = creat ? "o" : "eo";
    if (!o) {
        errno = EOPNOTSUPP;
        return -1;
    }
    strcpy(op, o);
    return 0;
}

static mode_t umask_now(void)
{
    mode_t m = umask(022);
    umask(m);
    return m;
}

/* Whether an environment entry is NAME=VALUE, the only kind the host's
 * side can set. */
static int env_entry(const char *e)
{
    return *e != '=' && strchr(e, '=') != NULL;
}

/* The command line for the remote login shell; null with errno. */
static char *remote_command(int node, const struct io_redirect *io, int count, const int spare[2],
                            const char *path, char *const argv[], char *const envp[])
{
    size_t len = 0, cap = 8192;
    char *b = (char *)malloc(cap), num[64];
    if (!b)
        return NULL;
    len = (size_t)snprintf(b, cap, "exec /bin/sh -c");
    char cwd[PATH_MAX];
    if (!getcwd(cwd, sizeof cwd))
        strcpy(cwd, "/");
    mode_t um = umask_now();
    int nfiles = 0;
    for (int i = 0; i < count; i++)
        nfiles += io[i].type == IO_FILE;
    int ok = quote(&b, &len, &cap, remote_script) == 0;
    snprintf(num, sizeof num, "%d", node);
    ok = ok && quote(&b, &len, &cap, "vorn") == 0 && quote(&b, &len, &cap, num) == 0 &&
         quote(&b, &len, &cap, cwd) == 0;
    snprintf(num, sizeof num, "%03o", (unsigned)um);
    ok = ok && quote(&b, &len, &cap, num) == 0;
    for (int k = 0; k < 2; k++) {
        snprintf(num, sizeof num, "%d", spare[k]);
        ok = ok && quote(&b, &len, &cap, num) == 0;
    }
    snprintf(num, sizeof num, "%d", nfiles);
    ok = ok && quote(&b, &len, &cap, num) == 0;
    for (int i = 0; ok && i < count; i++) {
        if (io[i].type != IO_FILE)
            continue;
        char op[4];
        file_op(&io[i], op);
        snprintf(num, sizeof num, "%d", io[i].fd);
        ok = quote(&b, &len, &cap, num) == 0 && quote(&b, &len, &cap, op) == 0;
        /* The file is made with the record's mode less the caller's umask. */
        snprintf(num, sizeof num, "%03o",
                 (unsigned)(~((mode_t)io[i].d.file.open_mode & ~um) & 0777));
        ok = ok && quote(&b, &len, &cap, num) == 0 && quote(&b, &len, &cap, io[i].d.file.name) == 0;
    }
    int nenv = 0;
    for (char *const *e = envp; e && *e; e++)
        nenv += env_entry(*e);
    snprintf(num, sizeof num, "%d", nenv);
    ok = ok && quote(&b, &len, &cap, num) == 0 &&
         quote(&b, &len, &cap, argv[0] ? argv[0] : path) == 0;
    for (char *const *e = envp; ok && e && *e; e++)
        if (env_entry(*e))
            ok = quote(&b, &len, &cap, *e) == 0;
    /* A path without a slash names a file of the directory, as for execve
     * (env would look for it in PATH). */
    if (ok && !strchr(path, '/')) {
        char *rel = (char *)malloc(strlen(path) + 3);
        ok = rel && sprintf(rel, "./%s", path) > 0 && quote(&b, &len, &cap, rel) == 0;
        free(rel);
    } else {
        ok = ok && quote(&b, &len, &cap, path) == 0;
    }
    for (int i = 1; ok && argv[0] && argv[i]; i++)
        ok = quote(&b, &len, &cap, argv[i]) == 0;
    if (!ok) {
        free(b);
        return NULL;
    }
    b[len] = 0;
    return b;
}

/* The records a host placement can carry: connections on the standard
 * streams (made here), files on descriptors up to 9 (opened on the host);
 * EOPNOTSUPP for the rest.  The two spare descriptors the remote script
 * needs are the first of 3..9 that no record sets. */
static int records_check(const struct io_redirect *io, int count, int spare[2])
{
    int used = 0;
    for (int i = 0; i < count; i++) {
        char op[4];
        if ((io[i].type == IO_SOCKET && io[i].fd > 2) || io[i].fd > 9 ||
            (io[i].type == IO_FILE && file_op(&io[i], op) < 0)) {
            errno = EOPNOTSUPP;
            return -1;
        }
        used |= 1 << io[i].fd;
    }
    for (int k = 0; k < 2; k++) {
        for (spare[k] = 3; spare[k] <= 9 && (used & (1 << spare[k])); spare[k]++) {
        }
        if (spare[k] > 9) {
            errno = EOPNOTSUPP;
            return -1;
        }
        used |= 1 << spare[k];
    }
    return 0;
}

/* The relay program: beside the library's directory in libexec/vorn (an
 * installed or a built tree alike), else where it was installed. */
static int relay_path(char *out, size_t size)
{
    Dl_info info;
    if (dladdr((void *)relay_path, &info) && info.dli_fname && strchr(info.dli_fname, '/')) {
        char dir[PATH_MAX];
        snprintf(dir, sizeof dir, "%s", info.dli_fname);
        *strrchr(dir, '/') = 0;
        snprintf(out, size, "%s/../libexec/vorn/%s", dir, RELAY_NAME);
        if (access(out, X_OK) == 0)
            return 0;
    }
    snprintf(out, size, "%s/%s", VORN_LIBEXEC_DIR, RELAY_NAME);
    return access(out, X_OK);
}

/* Reads the session's standard error up to the script's word on the
 * start: the program's process group (> 0), or -1 with the errno it
 * reported (EHOSTDOWN when the session ended without one, ETIMEDOUT when
 * none came in time).  What the remote login's start-up files print before it
 * is dropped.  Reads a byte at a time: what follows is the relay's. */
static long start_word(int fd)
{
    char w[96];
    size_t n = 0;
    int64_t until = mono_ms() + START_WAIT_MS;
    for (;;) {
        struct pollfd p = {fd, POLLIN, 0};
        int64_t left = until - mono_ms();
        if (left <= 0) {
            errno = ETIMEDOUT;
            return -1;
        }
        int r = poll(&p, 1, (int)left);
        if (r < 0 && errno == EINTR)
            continue;
        if (r < 0)
            return -1;
        if (r == 0)
            continue;
        char c;
        ssize_t got = read(fd, &c, 1);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0) {
            errno = EHOSTDOWN;
            return -1;
        }
        if (c == 0) {
            n = 0;
            w[n++] = 0;
            continue;
        }
        if (n == 0)
            continue; /* noise before the word */
        if (c != '\n') {
            if (n < sizeof w - 1)
                w[n++] = c;
            else
                n = 0;
            continue;
        }
        w[n] = 0;
        n = 0;
        const char *t = w + 1;
        if (strncmp(t, "vorn-ok ", 8) == 0) {
            long pg = strtol(t + 8, NULL, 10);
            if (pg > 0)
                return pg;
        } else if (strncmp(t, "vorn-err ", 9) == 0) {
            int err = errno_parse(t + 9);
            errno = err > 0 ? err : EIO;
            return -1;
        }
    }
}

/* Asks node's master for a session running command, with pipes for its
 * streams: the control connection, with our ends of the pipes (in[1],
 * out[0], err[0]); the master keeps the other ends.  -1 with errno. */
static int session_start(const char *ctl, const char *command, int in[2], int out[2], int err[2])
{
    int *ends[] = {in, out, err}, made = 0, saved;
    for (; made < 3; made++)
        if (pipe2(ends[made], O_CLOEXEC) < 0)
            goto fail;
    {
        int mux = mux_open(ctl);
        if (mux >= 0 && mux_session(mux, command, in[0], out[1], err[1]) == 0) {
            close(in[0]);
            close(out[1]);
            close(err[1]);
            return mux;
        }
        saved = errno;
        if (mux >= 0)
            close(mux);
        errno = saved;
    }
fail:
    saved = errno;
    for (int i = 0; i < made; i++) {
        close(ends[i][0]);
        close(ends[i][1]);
    }
    errno = saved;
    return -1;
}

/* Ends a session that will not be relayed: its program, if it started,
 * killed through the master. */
static void session_abort(const char *ctl, int mux, long pgid)
{
    if (pgid > 0) {
        char cmd[128];
        snprintf(cmd, sizeof cmd, "kill -s KILL -- -%ld || kill -s KILL %ld", pgid, pgid);
        mux_run(ctl, cmd);
    }
    close(mux);
}

int ssh_place_exec(struct cluster *cl, const struct cl_line *line, int node,
                   const struct io_redirect *io, int count, const char *path, char *const argv[],
                   char *const envp[])
{
    struct hosts_header *hdr = (struct hosts_header *)malloc(sizeof *hdr);
    struct host_rec h;
    struct ssh_slot slot = {"", -1, 0};
    struct io_state st;
    char relay[PATH_MAX], why[512], *command = NULL;
    int spare[2], prev = INT32_MIN, installed = 0, in[2], out[2], err[2], masked = 0, mux = -1;
    sigset_t oldmask;
    long pgid = -1;
    memset(&st, 0, sizeof st);
    if (!hdr)
        return -1;
    if (count < 0)
        count = 0;
    if (host_read(cl, node, &h, hdr) < 0 || records_check(io, count, spare) < 0)
        goto out;
    if (relay_path(relay, sizeof relay) < 0) {
        errno = ENOEXEC;
        goto out;
    }
    command = remote_command(node, io, count, spare, path, argv, envp);
    if (!command)
        goto out;
    if (ssh_slot_take(cl, node, &h, hdr, 0, &slot, why, sizeof why) < 0)
        goto out;
    {
        /* Only the connections are made here, from the master. */
        struct io_redirect *socks =
            (struct io_redirect *)malloc((size_t)(count ? count : 1) * sizeof *socks);
        int nsocks = 0;
        if (!socks)
            goto out;
        for (int i = 0; i < count; i++)
            if (io[i].type == IO_SOCKET)
                socks[nsocks++] = io[i];
        int r = io_open_all(socks, nsocks, &st, -1);
        if (r == 0 && (r = cluster_raise(cl, st.min_fd)) == 0 && (r = io_install(socks, &st)) == 0)
            installed = 1;
        if (r == 0)
            io_wait_all(socks, nsocks);
        free(socks);
        if (r < 0)
            goto out;
    }
    prev = proc_node(cl, getpid());
    if (procs_register(cl, getpid(), node, 1, line) < 0) {
        prev = INT32_MIN;
        goto out;
    }
    {
        /* From the session's start until the relay takes over, the
         * signals it relays wait: pending across the exec, the relay
         * passes them on; a signal that ended the caller meanwhile would
         * leave the remote program running. */
        sigset_t relayed;
        sigemptyset(&relayed);
        static const int sigs[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGUSR1};
        for (int sig : sigs)
            sigaddset(&relayed, sig);
        if (sigprocmask(SIG_BLOCK, &relayed, &oldmask) < 0)
            goto out;
        masked = 1;
    }
    /* A host that takes fewer sessions a connection than we put on one
     * refuses the channel: the node's next master takes it. */
    while ((mux = session_start(slot.ctl, command, in, out, err)) < 0 && errno == EAGAIN) {
        int next = slot.master + 1;
        ssh_slot_drop(&slot);
        if (ssh_slot_take(cl, node, &h, hdr, next, &slot, why, sizeof why) < 0)
            goto out;
    }
    if (mux < 0)
        goto out;
    pgid = start_word(err[0]);
    if (pgid < 0)
        goto out;
    {
        /* The relay gets the control connection, our ends of the
         * session's pipes and the slot's lock. */
        char a[6][32];
        int keep[5] = {mux, in[1], out[0], err[0], slot.fd};
        for (int i = 0; i < 5; i++)
            fcntl(keep[i], F_SETFD, 0);
        snprintf(a[0], sizeof a[0], "%d", mux);
        snprintf(a[1], sizeof a[1], "%d", in[1]);
        snprintf(a[2], sizeof a[2], "%d", out[0]);
        snprintf(a[3], sizeof a[3], "%d", err[0]);
        snprintf(a[4], sizeof a[4], "%ld", pgid);
        snprintf(a[5], sizeof a[5], "%d", node);
        char *rargv[] = {(char *)RELAY_NAME, a[0], a[1], a[2], a[3], a[4], a[5], slot.ctl, NULL};
        execve(relay, rargv, environ);
        int e = errno;
        for (int i = 0; i < 5; i++)
            fcntl(keep[i], F_SETFD, FD_CLOEXEC);
        errno = e;
    }
out : {
    int e = errno;
    if (mux >= 0) {
        session_abort(slot.ctl, mux, pgid);
        close(in[1]);
        close(out[0]);
        close(err[0]);
    }
    if (installed)
        io_restore(&st);
    io_release(&st);
    if (prev != INT32_MIN)
        procs_register(cl, getpid(), prev, 0, NULL);
    ssh_slot_drop(&slot);
    free(command);
    free(hdr);
    if (masked)
        sigprocmask(SIG_SETMASK, &oldmask, NULL);
    errno = e;
}
    return -1;
}
