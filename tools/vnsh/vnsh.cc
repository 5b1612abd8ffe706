// vnsh.cc - runs one command on a set of nodes at once through vnsh_rexec:
// the command line, the runs it asks for, and the exit status.
#include "vnsh.h"

#include "closeout.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <getopt.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#define VNSH_VERSION "5.0.0"
#define FANOUT_DEFAULT 64

enum input_mode { INPUT_ALL, INPUT_NONE, INPUT_NODE };

int fanout = FANOUT_DEFAULT;
int no_label, gather;
static int unbuffered;
long timeout_s;
const char *progname = "vnsh";
struct run *runs;
int nruns;
int line_mode;
int labels;
int out_dead[2];
int own_fd_floor;
rlim_t nofile_soft = RLIM_INFINITY;

static const char short_options[] = "+hvw:x:f:Lubi:t:";

static const struct option long_options[] = {
    {"help", no_argument, nullptr, 'h'},
    {"version", no_argument, nullptr, 'v'},
    {"nodes", required_argument, nullptr, 'w'},
    {"exclude", required_argument, nullptr, 'x'},
    {"fanout", required_argument, nullptr, 'f'},
    {"no-label", no_argument, nullptr, 'L'},
    {"unbuffered", no_argument, nullptr, 'u'},
    {"gather", no_argument, nullptr, 'b'},
    {"input", required_argument, nullptr, 'i'},
    {"timeout", required_argument, nullptr, 't'},
    {nullptr, 0, nullptr, 0},
};

static void usage(FILE *f)
{
    fprintf(f,
            "Usage: %s [options] -w NODES [--] command [argument ...]\n"
            "  -w,--nodes NODES      Run on the nodes of the node list NODES (may repeat);\n"
            "                        ^FILE reads node lists from FILE, - from standard input\n"
            "  -x,--exclude NODES    Leave out the nodes of NODES (may repeat)\n"
            "  -f,--fanout N         Run at most N programs at a time (default %d)\n"
            "  -L,--no-label         Do not put the node number before each line\n"
            "  -u,--unbuffered       Forward output as it arrives\n"
            "  -b,--gather           Print each distinct output once, at the end\n"
            "  -i,--input WHERE      Standard input to all nodes, none, or node N\n"
            "  -t,--timeout SECONDS  End programs still running after SECONDS\n"
            "  -h,--help             Print this message and exit\n"
            "  -v,--version          Print version information and exit\n",
            progname, FANOUT_DEFAULT);
}

[[noreturn]] static void usage_fail(void)
{
    usage(stderr);
    exit(1);
}

[[noreturn]] static void usage_error(const char *fmt, const char *what)
{
    fprintf(stderr, "%s: ", progname);
    fprintf(stderr, fmt, what);
    fputc('\n', stderr);
    usage_fail();
}

// The exit status: the highest of the programs' (128 + the signal for one
// that a signal ended), at least 1 when a node could not be used or its
// output was lost.
static int exit_status(void)
{
    int rc = 0, failed = 0;
    for (int i = 0; i < nruns; i++) {
        const struct run *r = &runs[i];
        if (r->state == RUN_FAILED || r->kill_at || r->lost)
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
        fprintf(stderr, "%s: invalid %s value '%s'\n", progname, opt, text);
        usage_fail();
    }
    return v;
}

int main(int argc, char **argv)
{
    if (argv[0] && *argv[0]) {
        const char *slash = strrchr(argv[0], '/');
        progname = slash ? slash + 1 : argv[0];
    }
    // Whatever mask the parent left: signals that arrive must reach us.
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    closeout_set_name(progname);
    atexit(close_stdout);
    // Descriptors 0, 1 and 2 are open, so that no pipe of ours takes one.
    for (int fd = 0; fd < 3; fd++)
        if (fcntl(fd, F_GETFD) < 0 && open("/dev/null", fd ? O_WRONLY : O_RDONLY) != fd)
            exit(1);

    const char *input_arg = nullptr;
    int opt, any_nodes = 0;
    enum input_mode input_mode = INPUT_ALL;
    int input_node = 0;
    while ((opt = getopt_long(argc, argv, short_options, long_options, nullptr)) != -1) {
        switch (opt) {
        case 'h':
            usage(stdout);
            return 0;
        case 'v':
            printf("%s version %s\n", progname, VNSH_VERSION);
            return 0;
        case 'w':
            any_nodes = 1;
            if (nodes_add(optarg) < 0)
                usage_fail();
            break;
        case 'x':
            if (nodes_exclude(optarg) < 0)
                usage_fail();
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
            usage_fail();
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
    int *nodes = nullptr, nnodes = 0;
    if (any_nodes)
        nodes_final(&nodes, &nnodes);
    if (nnodes == 0)
        usage_error("%s",
                    any_nodes ? "no node left (-x took them all)" : "no node given (-w NODES)");
    if (optind >= argc)
        usage_error("%s", "no command given");
    int found = input_mode != INPUT_NODE;
    for (int i = 0; i < nnodes && !found; i++)
        found = nodes[i] == input_node;
    if (!found)
        usage_error("input node '%s' is not among the nodes", input_arg);

    char *path = command_path(argv[optind]);
    if (!path) {
        fprintf(stderr, "%s: %s: command not found\n", progname, argv[optind]);
        return 127;
    }

    nruns = nnodes;
    runs = static_cast<struct run *>(calloc((size_t)nruns, sizeof *runs));
    if (!runs)
        die("out of memory");
    line_mode = nruns > 1 && !unbuffered;
    labels = nruns > 1 && !no_label;
    for (int i = 0; i < nruns; i++) {
        struct run *r = &runs[i];
        r->node = nodes[i];
        r->status_fd = r->in_fd = r->out[0].fd = r->out[1].fd = -1;
        r->in_wanted =
            input_mode == INPUT_ALL || (input_mode == INPUT_NODE && r->node == input_node);
        if (r->in_wanted)
            in_open = 1;
    }
    free(nodes);

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
    report_print();
    if (out_dead[0] && out_dead[0] != EPIPE)
        fprintf(stderr, "%s: write error: %s\n", progname, strerror(out_dead[0]));
    int rc = exit_status();
    free(runs);
    return rc;
}
