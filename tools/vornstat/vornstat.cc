// vornstat.cc - shows the cluster's nodes through the cluster library: a
// summary of the node states with folded node lists, or one row per node
// as text or JSON, once or every few seconds.
#include "closeout.h"
#include "nodefold.h"
#include "stdfds.h"

#include <vorn/numlist.h>
#include <vorn/vorn.h>

#include <arpa/inet.h>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <getopt.h>
#include <grp.h>
#include <netinet/in.h>
#include <pwd.h>
#include <unistd.h>

#define VORNSTAT_VERSION "5.0.0"

// The longest interval that -i takes, in seconds (a day).
#define INTERVAL_MAX 86400.0

// Long options without a short form return these codes.
enum {
    OPT_JSON = 1,
};

// What the command line asked for.
struct request {
    int longform;      // -l: one row per node
    int pids;          // -p: the process ids on each node
    int json;          // --json: rows as a JSON array
    const char *nodes; // -w: node-list expression, null for every node
    int state;         // -s: state number, -1 for any
    double interval;   // -i: seconds between prints, 0 for one print
};

// One look at the cluster: the master's record, the node table, and which
// of its nodes the request chose.
struct view {
    struct vorn_node_info master;
    int master_chosen;
    struct vorn_node_info *nodes; // element i describes node i
    int count;
    unsigned char *chosen; // one flag per node; null: every node
};

static const char *const state_names[] = VORN_STATE_NAMES;

static const char short_options[] = "hvlw:s:pi:";

static const struct option long_options[] = {
    {"help", no_argument, nullptr, 'h'},
    {"version", no_argument, nullptr, 'v'},
    {"long", no_argument, nullptr, 'l'},
    {"nodes", required_argument, nullptr, 'w'},
    {"state", required_argument, nullptr, 's'},
    {"processes", no_argument, nullptr, 'p'},
    {"json", no_argument, nullptr, OPT_JSON},
    {"interval", required_argument, nullptr, 'i'},
    {nullptr, 0, nullptr, 0},
};

static const char *progname = "vornstat";

static volatile sig_atomic_t interrupted;

static void usage(void)
{
    printf("Usage: %s [options]\n"
           "  -h,--help                 Print this message and exit\n"
           "  -v,--version              Print version information and exit\n"
           "  -l,--long                 One row per node: number, state, mode, user,\n"
           "                            group, address and number of processes\n"
           "  -w nodes,--nodes nodes    Show only these nodes (a node list: 0-3,master)\n"
           "  -s state,--state state    Show only the nodes in this state\n"
           "  -p,--processes            With -l, the process ids on each node\n"
           "  --json                    The rows as a JSON array of objects\n"
           "  -i secs,--interval secs   Print again every secs seconds until interrupted\n"
           "\n"
           "The valid node states are:",
           progname);
    for (int i = 0; i < VORN_NODE_STATES; i++)
        printf("\t%s", state_names[i]);
    printf("\n");
}

// A bad command line: the message, then the usage text, status 1.
static void bad_usage(const char *what, const char *text)
{
    fprintf(stderr, "%s: %s\n", what, text);
    usage();
    exit(1);
}

// A failed library call: the library's message for errno, status 1.
static void lib_failed(const char *call)
{
    fprintf(stderr, "%s: %s\n", call, vorn_strerror(errno));
    exit(1);
}

static void on_signal(int)
{
    interrupted = 1;
}

static int state_parse(const char *text)
{
    for (int i = 0; i < VORN_NODE_STATES; i++)
        if (strcmp(text, state_names[i]) == 0)
            return i;
    return -1;
}

// Seconds as digits with an optional fraction, above 0 and at most a day;
// -1 for anything else.
static double interval_parse(const char *text)
{
    if ((*text < '0' || *text > '9') && *text != '.')
        return -1;
    char *end;
    errno = 0;
    double v = strtod(text, &end);
    if (errno || *end || !std::isfinite(v) || v <= 0 || v > INTERVAL_MAX)
        return -1;
    return v;
}

// The name of a state, or its number when it has none.
static const char *state_text(int state, char *buf, size_t size)
{
    if (state >= 0 && state < VORN_NODE_STATES)
        return state_names[state];
    snprintf(buf, size, "%d", state);
    return buf;
}

// The user (group when group is set) name of an id, or null when the user
// database has none.  Nodes mostly share owners: the last answer is kept.
static const char *id_name(uint32_t id, int group)
{
    static char last[2][256];
    static uint32_t last_id[2];
    static int known[2], named[2];
    if (!known[group] || last_id[group] != id) {
        const char *name = nullptr;
        if (group) {
            struct group *g = getgrgid(static_cast<gid_t>(id));
            name = g ? g->gr_name : nullptr;
        } else {
            struct passwd *p = getpwuid(static_cast<uid_t>(id));
            name = p ? p->pw_name : nullptr;
        }
        named[group] = name && strlen(name) < sizeof last[group];
        if (named[group])
            strcpy(last[group], name);
        last_id[group] = id;
        known[group] = 1;
    }
    return named[group] ? last[group] : nullptr;
}

// Whether node (-1 for the master) is shown.
static int node_shown(const struct view *v, const struct request *rq, int node)
{
    const struct vorn_node_info *info = node < 0 ? &v->master : &v->nodes[node];
    if (node < 0 ? !v->master_chosen : v->chosen && !v->chosen[node])
        return 0;
    return rq->state < 0 || info->status == rq->state;
}

static void view_drop(struct view *v)
{
    free(v->nodes);
    free(v->chosen);
    memset(v, 0, sizeof *v);
}

// Takes one look at the cluster.  The node list of -w is read first, and
// the parser's copy of the node table dropped before ours is fetched, so
// that only one copy is held at a time.  A failure ends the program.
static void view_take(struct view *v, const struct request *rq)
{
    struct numlist chosen = {};
    memset(v, 0, sizeof *v);
    if (rq->nodes) {
        // The empty text fetches the table alone: its failure is the
        // library's (the parser reports it), any later one the text's.
        if (str2numlist(&chosen, "") < 0)
            exit(1);
        errno = 0;
        if (str2numlist(&chosen, rq->nodes) < 0) {
            if (errno == ENOMEM)
                lib_failed("str2numlist");
            bad_usage("Invalid node list", rq->nodes);
        }
        numlist_reset();
    }
    v->count = vorn_nodelist(&v->nodes);
    if (v->count < 0) {
        v->nodes = nullptr;
        lib_failed("vorn_nodelist");
    }
    if (rq->nodes) {
        v->chosen = static_cast<unsigned char *>(calloc(v->count ? v->count : 1, 1));
        if (!v->chosen)
            lib_failed("calloc");
        for (int i = 0; i < chosen.num; i++) {
            int node = chosen.list[i];
            if (node < -1 || node >= v->count) {
                char text[16];
                snprintf(text, sizeof text, "%d", node);
                bad_usage("No such node", text);
            }
            if (node == -1)
                v->master_chosen = 1;
            else
                v->chosen[node] = 1;
        }
        free(chosen.list);
    } else {
        v->master_chosen = 1;
    }
    if (v->master_chosen && vorn_nodeinfo(-1, &v->master) < 0)
        lib_failed("vorn_nodeinfo");
}

// The summary: one line per state that has shown nodes, in the order of
// the state table, with their count and folded list; then the master.
static void print_summary(const struct view *v, const struct request *rq)
{
    int *nodes = static_cast<int *>(malloc((v->count ? v->count : 1) * sizeof(int)));
    if (!nodes)
        lib_failed("malloc");
    // The five states, then every state the table has no name for.
    for (int s = 0; s <= VORN_NODE_STATES; s++) {
        size_t n = 0;
        for (int i = 0; i < v->count; i++) {
            int st = v->nodes[i].status;
            int here = s < VORN_NODE_STATES ? st == s : st < 0 || st >= VORN_NODE_STATES;
            if (here && node_shown(v, rq, i))
                nodes[n++] = i;
        }
        if (n == 0)
            continue;
        char *folded = nodes_fold_alloc(nodes, n);
        if (!folded)
            lib_failed("nodes_fold");
        printf("%-7s %zu  %s\n", s < VORN_NODE_STATES ? state_names[s] : "unknown", n, folded);
        free(folded);
    }
    free(nodes);
    if (node_shown(v, rq, -1)) {
        char buf[16];
        printf("%-7s %s\n", "master", state_text(v->master.status, buf, sizeof buf));
    }
}

static int pid_cmp(const void *a, const void *b)
{
    int x = static_cast<const struct vorn_proc_info *>(a)->pid;
    int y = static_cast<const struct vorn_proc_info *>(b)->pid;
    return (x > y) - (x < y);
}

// Writes text as a JSON string: quotes, backslashes and control characters
// escaped, bytes that are not UTF-8 replaced by U+FFFD.
static void json_string(const char *text)
{
    const unsigned char *p = reinterpret_cast<const unsigned char *>(text);
    putchar('"');
    while (*p) {
        unsigned char c = *p;
        if (c == '"' || c == '\\') {
            printf("\\%c", c);
            p++;
        } else if (c < 0x20 || c == 0x7f) {
            printf("\\u%04x", c);
            p++;
        } else if (c < 0x80) {
            putchar(c);
            p++;
        } else {
            // A whole UTF-8 sequence is copied; anything else is replaced.
            int len = c >= 0xc2 && c <= 0xdf   ? 2
                      : c >= 0xe0 && c <= 0xef ? 3
                      : c >= 0xf0 && c <= 0xf4 ? 4
                                               : 0;
            int ok = len > 0;
            for (int k = 1; ok && k < len; k++)
                ok = (p[k] & 0xc0) == 0x80;
            if (ok && len == 3) {
                unsigned cp = (c & 0x0fu) << 12 | (p[1] & 0x3fu) << 6 | (p[2] & 0x3fu);
                ok = cp >= 0x800 && (cp < 0xd800 || cp > 0xdfff);
            } else if (ok && len == 4) {
                unsigned cp = (c & 0x07u) << 18 | (p[1] & 0x3fu) << 12;
                ok = cp >= 0x10000 && cp <= 0x10ffff;
            }
            if (ok) {
                fwrite(p, 1, len, stdout);
                p += len;
            } else {
                fputs("\\ufffd", stdout);
                p++;
            }
        }
    }
    putchar('"');
}

// A user or group as JSON: the number under idkey, the name (or null)
// under namekey.
static void json_id(const char *idkey, const char *namekey, uint32_t id, int group)
{
    const char *name = id_name(id, group);
    printf(", \"%s\": %u, \"%s\": ", idkey, id, namekey);
    if (name)
        json_string(name);
    else
        fputs("null", stdout);
}

// One node's row, text or JSON; first tells whether a JSON row is the
// array's first.
static void print_row(const struct vorn_node_info *info, int node, const struct request *rq,
                      int first)
{
    struct vorn_proc_info *procs = nullptr;
    int nprocs = vorn_proclist(node, &procs);
    if (nprocs < 0) {
        fprintf(stderr, "vorn_proclist: node %d: %s\n", node, vorn_strerror(errno));
        exit(1);
    }
    qsort(procs, nprocs, sizeof *procs, pid_cmp);

    char num[16], statebuf[16], addr[INET_ADDRSTRLEN];
    snprintf(num, sizeof num, "%d", node);
    const char *state = state_text(info->status, statebuf, sizeof statebuf);
    uint32_t a = info->addr;
    if (!inet_ntop(AF_INET, &a, addr, sizeof addr))
        strcpy(addr, "?");

    if (rq->json) {
        printf("%s{\"node\": %d, \"state\": ", first ? "" : ",\n", node);
        json_string(state);
        printf(", \"mode\": \"%04o\"", info->mode);
        json_id("uid", "user", info->user, 0);
        json_id("gid", "group", info->group, 1);
        printf(", \"address\": \"%s\", \"processes\": %d, \"pids\": [", addr, nprocs);
        for (int i = 0; i < nprocs; i++)
            printf("%s%d", i ? ", " : "", procs[i].pid);
        printf("]}");
    } else {
        char user[16], group[16];
        const char *u = id_name(info->user, 0);
        if (!u) {
            snprintf(user, sizeof user, "%u", info->user);
            u = user;
        }
        // Each kind keeps its own name: u stays valid past this call.
        const char *g = id_name(info->group, 1);
        if (!g) {
            snprintf(group, sizeof group, "%u", info->group);
            g = group;
        }
        printf("%-8s %-11s %04o %-8s %-8s %-15s %5d", node < 0 ? "master" : num, state, info->mode,
               u, g, addr, nprocs);
        if (rq->pids) {
            putchar(' ');
            if (nprocs == 0)
                putchar('-');
            for (int i = 0; i < nprocs; i++)
                printf("%s%d", i ? "," : "", procs[i].pid);
        }
        putchar('\n');
    }
    free(procs);
}

// The rows: the master first, then the nodes in number order.
static void print_rows(const struct view *v, const struct request *rq)
{
    int first = 1;
    if (rq->json)
        putchar('[');
    else
        printf("NODE     STATE       MODE USER     GROUP    ADDRESS         PROCS%s\n",
               rq->pids ? " PIDS" : "");
    if (node_shown(v, rq, -1)) {
        if (rq->json)
            putchar('\n');
        print_row(&v->master, -1, rq, first);
        first = 0;
    }
    for (int i = 0; i < v->count; i++) {
        if (!node_shown(v, rq, i))
            continue;
        if (rq->json && first)
            putchar('\n');
        print_row(&v->nodes[i], i, rq, first);
        first = 0;
    }
    if (rq->json)
        fputs(first ? "]\n" : "\n]\n", stdout);
}

// Sleeps for seconds, or until a signal asked the program to end.
static void interval_wait(double seconds)
{
    struct timespec left;
    left.tv_sec = static_cast<time_t>(seconds);
    left.tv_nsec = static_cast<long>((seconds - static_cast<double>(left.tv_sec)) * 1e9);
    while (!interrupted && nanosleep(&left, &left) < 0 && errno == EINTR)
        ;
}

static struct request parse_options(int argc, char **argv)
{
    struct request rq = {};
    rq.state = -1;
    int opt;
    while ((opt = getopt_long(argc, argv, short_options, long_options, nullptr)) != -1) {
        switch (opt) {
        case 'h':
            usage();
            exit(0);
        case 'v':
            printf("%s version %s\n", argv[0], VORNSTAT_VERSION);
            exit(0);
        case 'l':
            rq.longform = 1;
            break;
        case 'w':
            rq.nodes = optarg;
            break;
        case 's':
            rq.state = state_parse(optarg);
            if (rq.state < 0)
                bad_usage("Invalid node state", optarg);
            break;
        case 'p':
            rq.pids = 1;
            break;
        case OPT_JSON:
            rq.json = 1;
            break;
        case 'i':
            rq.interval = interval_parse(optarg);
            if (rq.interval < 0)
                bad_usage("Invalid interval", optarg);
            break;
        default:
            // getopt_long has named the option.
            usage();
            exit(1);
        }
    }
    if (optind < argc)
        bad_usage("Invalid argument", argv[optind]);
    // -p shows a column of the rows, so it asks for them.
    if (rq.pids)
        rq.longform = 1;
    return rq;
}

int main(int argc, char **argv)
{
    // A closed standard descriptor must not be taken by a file the library
    // opens, or our output would land in it.
    stdfds_reserve();
    progname = argv[0];
    closeout_set_name(argv[0]);
    atexit(close_stdout);
    struct request rq = parse_options(argc, argv);

    if (rq.interval > 0) {
        struct sigaction sa;
        memset(&sa, 0, sizeof sa);
        sa.sa_handler = on_signal;
        // The wait ends early (sleeps are never restarted); writes go on.
        sa.sa_flags = SA_RESTART;
        sigemptyset(&sa.sa_mask);
        sigaction(SIGINT, &sa, nullptr);
        sigaction(SIGTERM, &sa, nullptr);
    }
    for (int round = 0; !interrupted; round++) {
        struct view v;
        if (round > 0)
            putchar('\n');
        view_take(&v, &rq);
        if (rq.longform || rq.json)
            print_rows(&v, &rq);
        else
            print_summary(&v, &rq);
        view_drop(&v);
        if (rq.interval <= 0)
            break;
        // The print is out before the wait; one that cannot be written ends
        // the program now, with the reason (close_stdout no longer knows it).
        if (fflush(stdout) != 0) {
            const char *slash = strrchr(progname, '/');
            fprintf(stderr, "%s: write error: %s\n", slash ? slash + 1 : progname, strerror(errno));
            _exit(1);
        }
        interval_wait(rq.interval);
    }
    return 0;
}
