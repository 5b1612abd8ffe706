/* notifier.cc - vorn_notifier: a pipe that carries each line the journal
 * gains, fed by a follower process. */
#include "cluster.h"

#include <vorn/vorn.h>

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern "C" {

/* The follower: copies what is appended to the journal (fd 3) into the
 * pipe (fd 4) until the reader closes its end or the journal goes. */
static void notifier_follow(off_t off)
{
    signal(SIGPIPE, SIG_IGN);
    int ino = inotify_init1(IN_CLOEXEC);
    if (ino >= 0)
        inotify_add_watch(ino, "/proc/self/fd/3", IN_MODIFY | IN_DELETE_SELF | IN_ATTRIB);
    char buf[8192];
    for (;;) {
        struct pollfd p[2] = {{4, 0, 0}, {ino, POLLIN, 0}};
        int r = poll(p, ino >= 0 ? 2 : 1, 500);
        if (r < 0 && errno != EINTR)
            return;
        if (p[0].revents & (POLLERR | POLLHUP | POLLNVAL))
            return;
        if (ino >= 0 && (p[1].revents & POLLIN)) {
            ssize_t n = read(ino, buf, sizeof buf);
            (void)n;
        }
        for (;;) {
            ssize_t n = pread(3, buf, sizeof buf, off);
            if (n <= 0)
                break;
            if (write_full(4, buf, (size_t)n, -1) < 0)
                return;
            off += n;
        }
        struct stat sb;
        if (fstat(3, &sb) < 0 || sb.st_nlink == 0)
            return;
        /* A line cut short by a kill and taken back: the next one is
         * written where it stood. */
        if (sb.st_size < off)
            off = sb.st_size;
    }
}

int vorn_notifier(void)
{
    struct cluster *cl = cluster_get();
    int p[2] = {-1, -1}, jfd = -1;
    if (!cl)
        return -1;
    int err = fault_take(cl, "vorn_notifier", 0, 0);
    if (err) {
        errno = err;
        return -1;
    }
    jfd = cluster_journal_open(cl, O_RDONLY);
    if (jfd < 0)
        return -1;
    off_t off = lseek(jfd, 0, SEEK_END);
    if (off < 0 || pipe2(p, O_CLOEXEC) < 0) {
        int saved = errno;
        close(jfd);
        errno = saved;
        return -1;
    }
    pid_t pid = fork();
    if (pid == 0) {
        if (fork() != 0)
            _exit(0);
        setsid();
        /* Keep only the journal (3) and the pipe (4). */
        int j = fcntl(jfd, F_DUPFD, 10), w = fcntl(p[1], F_DUPFD, 10);
        int null = open("/dev/null", O_RDWR);
        if (j < 0 || w < 0 || null < 0)
            _exit(1);
        dup2(null, 0);
        dup2(null, 1);
        dup2(null, 2);
        dup2(j, 3);
        dup2(w, 4);
        close_range(5, ~0U, 0);
        notifier_follow(off);
        _exit(0);
    }
    int saved = errno;
    close(p[1]);
    close(jfd);
    if (pid < 0) {
        close(p[0]);
        errno = saved;
        return -1;
    }
    while (waitpid(pid, NULL, 0) < 0 && errno == EINTR) {
    }
    return p[0];
}

} /* extern "C" */
