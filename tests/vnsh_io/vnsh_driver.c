/* vnsh_driver.c - a plain C program, linked with vnsh_io.o and libvorn.so.2
 * alone, that the end-to-end tests run to call one entry point each. */
#include <vorn/vnsh_io.h>
#include <vorn/vorn.h>

#include <arpa/inet.h>
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

/* "none" when this process has no child at all, running or unreaped. */
static const char *children(void)
{
    int st;
    pid_t w = waitpid(-1, &st, WNOHANG);
    if (w < 0 && errno == ECHILD)
        return "none";
    return w == 0 ? "running" : "unreaped";
}

static int open_sockets(void)
{
    int n = 0;
    DIR *d = opendir("/proc/self/fd");
    struct dirent *e;
    while (d && (e = readdir(d)) != NULL) {
        struct stat sb;
        int fd = atoi(e->d_name);
        if (e->d_name[0] != '.' && fd != dirfd(d) && fstat(fd, &sb) == 0 && S_ISSOCK(sb.st_mode))
            n++;
    }
    if (d)
        closedir(d);
    return n;
}

static int failed(const char *fn)
{
    int err = errno;
    fprintf(stderr, "%s: %s\nchildren: %s\nsockets: %d\n", fn, strerror(err), children(),
            open_sockets());
    return 1;
}

/* Where descriptors 0, 1 and 2 lead. */
static int peers(void)
{
    char line[256];
    for (int fd = 0; fd < 3; fd++) {
        struct sockaddr_in a, self;
        socklen_t len = sizeof a, slen = sizeof self;
        if (getpeername(fd, (struct sockaddr *)&a, &len) == 0 && a.sin_family == AF_INET &&
            getsockname(fd, (struct sockaddr *)&self, &slen) == 0) {
            char from[INET_ADDRSTRLEN];
            inet_ntop(AF_INET, &self.sin_addr, from, sizeof from);
            snprintf(line, sizeof line, "fd %d: %s port %d from %s\n", fd, inet_ntoa(a.sin_addr),
                     ntohs(a.sin_port), from);
        } else
            snprintf(line, sizeof line, "fd %d: not a socket\n", fd);
        fputs(line, stdout);
    }
    printf("node %d children %s\n", vorn_currnode(), children());
    return 0;
}

/* Standard output, standard error, then every input line echoed. */
static int talk(const char *who)
{
    char line[4096];
    printf("%s on node %d, children %s\n", who, vorn_currnode(), children());
    fflush(stdout);
    fprintf(stderr, "%s error\n", who);
    while (fgets(line, sizeof line, stdin))
        printf("%s got %s", who, line);
    return 0;
}

/* How many of the listener's descriptors above 2 are not sockets (the
 * listener is this process's only child). */
static int listener_fds(void)
{
    char path[64], line[64] = "";
    snprintf(path, sizeof path, "/proc/self/task/%d/children", (int)getpid());
    FILE *f = fopen(path, "r");
    if (!f || !fgets(line, sizeof line, f))
        return 1;
    fclose(f);
    snprintf(path, sizeof path, "/proc/%d/fd", atoi(line));
    DIR *d = opendir(path);
    struct dirent *e;
    int others = 0;
    while (d && (e = readdir(d)) != NULL) {
        char link[384], target[256] = "";
        if (e->d_name[0] == '.' || atoi(e->d_name) <= 2)
            continue;
        snprintf(link, sizeof link, "%s/%s", path, e->d_name);
        if (readlink(link, target, sizeof target - 1) < 0 || strncmp(target, "socket:", 7) != 0)
            others++;
    }
    if (d)
        closedir(d);
    printf("listener descriptors other than 0, 1, 2 and sockets: %d\n", others);
    return 0;
}

static volatile sig_atomic_t got_int;
static void on_int(int sig)
{
    (void)sig;
    got_int = 1;
}
static void on_hup(int sig)
{
    (void)sig;
    static const char msg[] = "hangup handler ran\n";
    (void)!write(2, msg, sizeof msg - 1);
}

/* Says it is ready, waits for SIGINT, and has last words. */
static int interrupted(void)
{
    signal(SIGINT, on_int);
    printf("ready\n");
    fflush(stdout);
    while (!got_int)
        pause();
    printf("interrupted\n");
    return 3;
}

/* The caller's circumstances, from the environment: DRIVER_SIGHUP (ignore,
 * handle, block), DRIVER_SIGPIPE (ignore) and DRIVER_OPEN (open descriptors
 * up to that number). */
static void circumstances(void)
{
    const char *hup = getenv("DRIVER_SIGHUP"), *pipe = getenv("DRIVER_SIGPIPE");
    const char *open_to = getenv("DRIVER_OPEN");
    if (hup && strcmp(hup, "ignore") == 0)
        signal(SIGHUP, SIG_IGN);
    if (hup && strcmp(hup, "handle") == 0)
        signal(SIGHUP, on_hup);
    if (hup && strcmp(hup, "block") == 0) {
        sigset_t set;
        sigemptyset(&set);
        sigaddset(&set, SIGHUP);
        sigprocmask(SIG_BLOCK, &set, NULL);
    }
    if (pipe && strcmp(pipe, "ignore") == 0)
        signal(SIGPIPE, SIG_IGN);
    if (open_to) {
        int top = atoi(open_to);
        struct rlimit rl;
        getrlimit(RLIMIT_NOFILE, &rl);
        if (rl.rlim_cur < (rlim_t)top + 64) {
            rl.rlim_cur = (rlim_t)top + 64;
            setrlimit(RLIMIT_NOFILE, &rl);
        }
        int fd;
        while ((fd = open("/dev/null", O_RDONLY)) >= 0 && fd < top) {
        }
    }
}

int main(int argc, char **argv)
{
    if (argc == 2 && strcmp(argv[1], "peers") == 0)
        return peers();
    if (argc == 2 && strcmp(argv[1], "listener-fds") == 0)
        return listener_fds();
    if (argc == 2 && strcmp(argv[1], "interrupted") == 0)
        return interrupted();
    circumstances();
    if (argc < 4) {
        fprintf(stderr, "usage: vnsh_driver rexec|execmove|move|rfork NODE FLAGS [PROGRAM ARG...]\n"
                        "       vnsh_driver peers\n");
        return 2;
    }
    const char *mode = argv[1];
    int node = atoi(argv[2]);
    int flags = (int)strtol(argv[3], NULL, 0);

    if (strcmp(mode, "rexec") == 0 || strcmp(mode, "execmove") == 0) {
        if (argc < 5)
            return 2;
        int r = mode[0] == 'r' ? vnsh_rexec(node, argv[4], argv + 4, environ, flags)
                               : vnsh_execmove(node, argv[4], argv + 4, environ, flags);
        (void)r;
        return failed(mode[0] == 'r' ? "vnsh_rexec" : "vnsh_execmove");
    }
    if (strcmp(mode, "move") == 0) {
        int r = _vnsh_move(node, flags, DUMP_ALL);
        if (r == -1)
            return failed("_vnsh_move");
        return talk("moved");
    }
    if (strcmp(mode, "rfork") == 0) {
        fflush(stdout);
        int pid = _vnsh_rfork(node, flags, DUMP_ALL);
        if (pid == -1)
            return failed("_vnsh_rfork");
        if (pid == 0)
            return talk("child");
        int st;
        while (waitpid(pid, &st, 0) < 0 && errno == EINTR) {
        }
        printf("parent on node %d, child exited %d\n", vorn_currnode(),
               WIFEXITED(st) ? WEXITSTATUS(st) : -1);
        return 0;
    }
    return 2;
}
