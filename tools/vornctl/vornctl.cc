// vornctl.cc - the administrator's node control program: sets node state,
// owner, group, mode, policy and run-to-completion, reboots and halts nodes.
#include <vorn/numlist.h>
#include <vorn/vorn.h>

#include "closeout.h"
#include "stdfds.h"

#include <arpa/inet.h>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <getopt.h>
#include <grp.h>
#include <netdb.h>
#include <netinet/in.h>
#include <pwd.h>
#include <sys/socket.h>

#define VORNCTL_VERSION "5.0.0"

// Longest host name that --reconnect accepts for each address.
#define RECONNECT_NAME_MAX 100
#define STR_(x) #x
#define STR(x) STR_(x)

// Long options without a short form return these codes.
enum {
    OPT_CACHE_PURGE_FAIL = 1,
    OPT_CACHE_PURGE = 2,
    OPT_RECONNECT = 3,
};

// The argument that an action hands to its per-node step.
union action_arg {
    int num;
    const char *text;
    const void *ptr;
};

typedef int (*node_action)(int node, union action_arg arg);

static const char *const state_names[] = VORN_STATE_NAMES;

static struct numlist nodelist;    // nodes chosen by -S and -M so far
static int fast;                   // -f: do not wait for acknowledgement
static struct sockaddr_in addr[2]; // --reconnect: master, local

static const char short_options[] = "hvVMS:C:Y:EOr:s:RHPm:u:g:f";

static const struct option long_options[] = {
    {"help", no_argument, nullptr, 'h'},
    {"version", no_argument, nullptr, 'v'},
    {"master", no_argument, nullptr, 'M'},
    {"slave", required_argument, nullptr, 'S'},
    {"state", required_argument, nullptr, 's'},
    {"completion", required_argument, nullptr, 'C'},
    {"policy", required_argument, nullptr, 'Y'},
    {"orphan", required_argument, nullptr, 'O'},
    {"remaster", no_argument, nullptr, 'E'},
    {"chroot", required_argument, nullptr, 'r'},
    {"reboot", no_argument, nullptr, 'R'},
    {"halt", no_argument, nullptr, 'H'},
    {"pwroff", no_argument, nullptr, 'P'},
    {"poweroff", no_argument, nullptr, 'P'},
    {"mode", required_argument, nullptr, 'm'},
    {"user", required_argument, nullptr, 'u'},
    {"group", required_argument, nullptr, 'g'},
    {"cache-purge-fail", no_argument, nullptr, OPT_CACHE_PURGE_FAIL},
    {"cache-purge", no_argument, nullptr, OPT_CACHE_PURGE},
    {"reconnect", required_argument, nullptr, OPT_RECONNECT},
    {nullptr, 0, nullptr, 0},
};

static void usage(const char *progname)
{
    printf("Usage: %s [options]\n"
           "  -h,--help              Print this message and exit\n"
           "  -v,--version           Print version information and exit\n"
           "  -M,--master            Send a command to the master node\n"
           "  -S num,--slave num     Send a command to slave node num\n"
           "\n"
           "  -s state,--state state Set the state of the node to state\n"
           "  -r dir,--chroot dir    Cause slave daemon to chroot to dir\n"
           "  -R,--reboot            Reboot the slave node\n"
           "  -H,--halt              Halt the slave node\n"
           "  -P,--poweroff,--pwroff Power off the slave node\n"
           "  --cache-purge-fail     Purge library cache fail list\n"
           "  --cache-purge          Purge library cache\n"
           "  --reconnect master[:port[,local[:port]]] \n"
           "                         Reconnect to front end.\n"
           "\n"
           "  -m mode,--mode mode    Set the permission bits of a node\n"
           "  -u user,--user user    Set the user ID of a node\n"
           "  -g group,--group group Set the group ID of a node\n"
           "\n"
           "  -E,--remaster          Slave node remasters\n"
           "\n"
           "  -Y,--policy policy     Set the exit policy for the  slave node\n"
           "                         Policy must be one of the following:\n"
           "                         'reboot', 'remaster',\n"
           "                         'halt', or 'poweroff' (or 'pwroff')\n"
           "\n"
           "  -C --r2c on|off        Enable/disable run to completion for slave node\n"
           "  -O,--orphan            Slave node goes into orphan mode immediately\n"
           "\n"
           "  -f                     Fast - do not wait for acknowledgement from\n"
           "                         remote nodes when possible.\n"
           "\n"
           "The valid node states are:\n",
           progname);
    for (int i = 0; i < VORN_NODE_STATES; i++)
        printf("\t%s", state_names[i]);
    printf("\t%s (or %s)", "poweroff", "pwroff");
    printf("\n");
}

// Runs the action on every node chosen so far: 2 when none is chosen,
// 1 when it failed on at least one node, 0 otherwise.
static int for_all_nodes(node_action action, union action_arg arg)
{
    int failed = 0;

    if (nodelist.num == 0)
        return 2;
    for (int i = 0; i < nodelist.num; i++) {
        int node = nodelist.list[i];
        if (action(node, arg) != 0) {
            fprintf(stderr, "%d: %s\n", node, vorn_strerror(errno));
            failed = 1;
        }
    }
    return failed;
}

// Per-node steps.

static int do_setstatus(int node, union action_arg arg)
{
    return vorn_nodesetstatus(node, arg.num);
}

static int do_reboot(int node, union action_arg)
{
    return fast ? vorn_nodereboot_async(node) : vorn_nodereboot(node);
}

static int do_halt(int node, union action_arg)
{
    return fast ? vorn_nodehalt_async(node) : vorn_nodehalt(node);
}

static int do_pwroff(int node, union action_arg)
{
    return fast ? vorn_nodepwroff_async(node) : vorn_nodepwroff(node);
}

static int do_chroot(int node, union action_arg arg)
{
    if (node < 0) {
        errno = EINVAL;
        return -1;
    }
    return vorn_nodechroot(node, arg.text);
}

static int do_r2c(int node, union action_arg arg)
{
    int value = *static_cast<const int *>(arg.ptr);
    char seconds[32];
    const char *what;

    if (vorn_set_r2c(node, value) != 0)
        return -1;
    if (value == INT_MAX) {
        what = "on";
    } else if (value == 0) {
        what = "off";
    } else {
        snprintf(seconds, sizeof seconds, "%d seconds", value);
        what = seconds;
    }
    printf("%d: Setting run to completion mode to %s.\n", node, what);
    return 0;
}

static int do_policy(int node, union action_arg arg)
{
    return vorn_nodepolicy(node, arg.text);
}

static int do_orphan(int node, union action_arg)
{
    return vorn_nodeorphan(node);
}

static int do_remaster(int node, union action_arg)
{
    return vorn_noderemaster(node);
}

static int do_chmod(int node, union action_arg arg)
{
    return vorn_chmod(node, arg.num);
}

static int do_chown(int node, union action_arg arg)
{
    return vorn_chown(node, arg.num);
}

static int do_chgrp(int node, union action_arg arg)
{
    return vorn_chgrp(node, arg.num);
}

static int do_cachepurgefail(int node, union action_arg)
{
    return vorn_nodecachepurgefail(node);
}

static int do_cachepurge(int node, union action_arg)
{
    return vorn_nodecachepurgeok(node);
}

static int do_reconnect(int node, union action_arg)
{
    return vorn_nodereconnect(node, &addr[0], sizeof addr[0], &addr[1], sizeof addr[1]);
}

// Option arguments.

// A number in the given base that fills the whole text and fits an int;
// anything else ends the program.
static int parse_number(const char *text, int base)
{
    char *end;
    long value;

    errno = 0;
    value = strtol(text, &end, base);
    if (end == text || *end != '\0' || errno == ERANGE || value < INT_MIN || value > INT_MAX) {
        fprintf(stderr, "Invalid number: %s\n", text);
        exit(1);
    }
    return static_cast<int>(value);
}

// -C: "on", "off" or a positive number of seconds (leading digits count,
// the rest is ignored).
static int parse_r2c(const char *text)
{
    char *end;
    long value;

    if (strcmp(text, "on") == 0)
        return INT_MAX;
    if (strcmp(text, "off") == 0)
        return 0;
    errno = 0;
    value = strtol(text, &end, 10);
    if (errno == ERANGE || value <= 0 || value > INT_MAX) {
        fprintf(stderr,
                "%s invalid option. Run to completion mode should be either 'on', a numeric "
                "value > 0, or 'off'\n",
                text);
        exit(1);
    }
    return static_cast<int>(value);
}

// -u, -g: a name from the user (group) database, or a number in base 0
// that fits a uid_t (gid_t).
static int parse_id(const char *text, int group)
{
    char *end;
    long long value;

    if (group) {
        struct group *gr = getgrnam(text);
        if (gr)
            return static_cast<int>(gr->gr_gid);
    } else {
        struct passwd *pw = getpwnam(text);
        if (pw)
            return static_cast<int>(pw->pw_uid);
    }
    errno = 0;
    value = strtoll(text, &end, 0);
    if (end == text || *end != '\0' || errno == ERANGE || value < 0 || value > UINT32_MAX) {
        fprintf(stderr, "Invalid user id: %s\n", text);
        exit(1);
    }
    return static_cast<int>(static_cast<uint32_t>(value));
}

// -s: a state name, or one of the words that stand for -R, -H and -P.
static int run_state(const char *text)
{
    union action_arg arg;

    for (int i = 0; i < VORN_NODE_STATES; i++) {
        if (strcmp(text, state_names[i]) == 0) {
            arg.num = i;
            return for_all_nodes(do_setstatus, arg);
        }
    }
    arg.ptr = nullptr;
    if (strcmp(text, "reboot") == 0)
        return for_all_nodes(do_reboot, arg);
    if (strcmp(text, "halt") == 0)
        return for_all_nodes(do_halt, arg);
    if (strcmp(text, "pwroff") == 0 || strcmp(text, "poweroff") == 0)
        return for_all_nodes(do_pwroff, arg);
    fprintf(stderr, "Invalid node state: %s\n", text);
    exit(1);
}

// Fills one reconnect address: the host's first address, or all ones
// without a host name, and the port.
static int fill_address(struct sockaddr_in *sa, const char *host, int port)
{
    if (host[0] != '\0') {
        struct hostent *he = gethostbyname(host);
        if (!he) {
            fprintf(stderr, "%s: %s\n", host, hstrerror(h_errno));
            return -1;
        }
        memcpy(&sa->sin_addr, he->h_addr_list[0], sizeof sa->sin_addr);
    } else {
        sa->sin_addr.s_addr = INADDR_NONE;
    }
    sa->sin_port = htons(static_cast<uint16_t>(port));
    return 0;
}

// --reconnect master[:port[,local[:port]]]: fills addr.  Host names longer
// than RECONNECT_NAME_MAX are refused, not cut.
static int parse_reconnect(const char *text)
{
    char host[2][RECONNECT_NAME_MAX + 1] = {"", ""};
    int port[2] = {0, 0};
    int end[2] = {-1, -1};

    addr[0].sin_family = AF_INET;
    addr[1].sin_family = AF_INET;
    sscanf(text, "%" STR(RECONNECT_NAME_MAX) "[^:, ]%n:%d,%" STR(RECONNECT_NAME_MAX) "[^:, ]%n:%d",
           host[0], &end[0], &port[0], host[1], &end[1], &port[1]);
    for (int i = 0; i < 2; i++) {
        // A name that filled its buffer must end where a name may end.
        if (end[i] >= 0 && strlen(host[i]) == RECONNECT_NAME_MAX && text[end[i]] != '\0' &&
            !strchr(":, ", text[end[i]]))
            return -1;
    }
    if (fill_address(&addr[0], host[0], port[0]) != 0)
        return -1;
    if (fill_address(&addr[1], host[1], port[1]) != 0)
        return -1;
    return 0;
}

int main(int argc, char **argv)
{
    int status = 0;
    int c;
    int r2c;
    union action_arg arg;

    if (stdfds_reserve() != 0) {
        perror("/dev/null");
        exit(1);
    }
    // Every way out, -h and -v included, checks what went to standard output.
    closeout_set_name(argc > 0 ? argv[0] : "vornctl");
    atexit(close_stdout);

    while ((c = getopt_long(argc, argv, short_options, long_options, nullptr)) != -1) {
        arg.ptr = nullptr;
        switch (c) {
        case 'h':
            usage(argv[0]);
            exit(0);
        case 'v':
        case 'V':
            printf("%s version %s\n", argv[0], VORNCTL_VERSION);
            exit(0);
        case 'M':
            if (str2numlist(&nodelist, "master") == -1)
                exit(1);
            break;
        case 'S':
            if (str2numlist(&nodelist, optarg) == -1)
                exit(1);
            break;
        case 'f':
            fast = 1;
            break;
        case 's':
            status |= run_state(optarg);
            break;
        case 'R':
            status |= for_all_nodes(do_reboot, arg);
            break;
        case 'H':
            status |= for_all_nodes(do_halt, arg);
            break;
        case 'P':
            status |= for_all_nodes(do_pwroff, arg);
            break;
        case 'r':
            arg.text = optarg;
            status |= for_all_nodes(do_chroot, arg);
            break;
        case 'C':
            r2c = parse_r2c(optarg);
            arg.ptr = &r2c;
            status |= for_all_nodes(do_r2c, arg);
            break;
        case 'Y':
            arg.text = optarg;
            status |= for_all_nodes(do_policy, arg);
            break;
        case 'O':
            status |= for_all_nodes(do_orphan, arg);
            break;
        case 'E':
            status |= for_all_nodes(do_remaster, arg);
            break;
        case 'm':
            arg.num = parse_number(optarg, 8);
            status |= for_all_nodes(do_chmod, arg);
            break;
        case 'u':
            arg.num = parse_id(optarg, 0);
            status |= for_all_nodes(do_chown, arg);
            break;
        case 'g':
            arg.num = parse_id(optarg, 1);
            status |= for_all_nodes(do_chgrp, arg);
            break;
        case OPT_CACHE_PURGE_FAIL:
            status |= for_all_nodes(do_cachepurgefail, arg);
            break;
        case OPT_CACHE_PURGE:
            status |= for_all_nodes(do_cachepurge, arg);
            break;
        case OPT_RECONNECT:
            if (parse_reconnect(optarg) != 0) {
                fprintf(stderr, "Invalid argument: %s\n", optarg);
                exit(1);
            }
            status |= for_all_nodes(do_reconnect, arg);
            break;
        default:
            usage(argv[0]);
            exit(1);
        }
    }

    if (optind < argc) {
        fprintf(stderr, "Invalid argument: %s\n", argv[optind]);
        exit(1);
    }
    if (argc == 1) {
        usage(argv[0]);
        exit(1);
    }
    if (status & 2)
        usage(argv[0]);
    exit(status ? 1 : 0);
}
