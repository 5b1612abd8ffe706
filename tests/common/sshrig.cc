// sshrig.cc - private OpenSSH daemons on loopback addresses for the tests
// (see sshrig.h).
#include "sshrig.h"
#include "testutil.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <map>
#include <netinet/in.h>
#include <pwd.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

static const char sshd_path[] = "/usr/sbin/sshd"; // sshd re-executes itself: a full path
static const int per_daemon = 16;                 // sshd's limit of ListenAddress lines

// A port the kernel calls free on every address at this moment.
static int free_port()
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    struct sockaddr_in a = {};
    a.sin_family = AF_INET;
    socklen_t len = sizeof a;
    int port = -1;
    if (bind(fd, (struct sockaddr *)&a, sizeof a) == 0 &&
        getsockname(fd, (struct sockaddr *)&a, &len) == 0)
        port = ntohs(a.sin_port);
    close(fd);
    return port;
}

static std::string node_addr(int i)
{
    struct in_addr a;
    a.s_addr = htonl((127u << 24 | 3u << 16) + (unsigned)i + 1);
    return inet_ntoa(a);
}

// Whether a TCP connection to addr:port is accepted now.
static bool accepts(const std::string &addr, int port)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    struct sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    inet_pton(AF_INET, addr.c_str(), &a.sin_addr);
    bool ok = connect(fd, (struct sockaddr *)&a, sizeof a) == 0;
    close(fd);
    return ok;
}

// As root, the daemon gets a home of its own for root: a tmpfs over it in
// a mount namespace of its own, with start-up files that print a line on
// each stream (which no program's streams may show) and do nothing slow,
// whatever the machine's own start-up files do.  Without it, the sessions
// have the machine's home.
static void private_home()
{
    struct passwd *pw = geteuid() == 0 ? getpwuid(0) : nullptr;
    if (!pw || unshare(CLONE_NEWNS) < 0 ||
        mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) < 0 ||
        mount("vorn-rig-home", pw->pw_dir, "tmpfs", 0, "mode=0700") < 0)
        return;
    static const char noise[] = "echo rig-login-noise; echo rig-login-noise >&2\n";
    for (const char *name : {".bashrc", ".profile", ".zshenv"}) {
        std::string path = std::string(pw->pw_dir) + "/" + name;
        int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (fd >= 0) {
            (void)!write(fd, noise, sizeof noise - 1);
            close(fd);
        }
    }
}

// Starts sshd -D on a configuration, its output into log; its pid or -1.
static pid_t daemon_start(const std::string &config, const std::string &log)
{
    pid_t pid = fork();
    if (pid != 0)
        return pid;
    // The daemon and its sessions start with default signal handling.
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    for (int s = 1; s < NSIG; s++)
        signal(s, SIG_DFL);
    setsid();
    // A test that dies takes its daemons with it (and so the masters
    // connected to them): none is left behind.
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    private_home();
    int in = open("/dev/null", O_RDONLY);
    int out = open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
    if (in < 0 || out < 0)
        _exit(127);
    dup2(in, 0);
    dup2(out, 1);
    dup2(out, 2);
    execl(sshd_path, sshd_path, "-D", "-e", "-f", config.c_str(), (char *)nullptr);
    dprintf(2, "exec %s: %s\n", sshd_path, strerror(errno));
    _exit(127);
}

// Every descendant of the given processes, from /proc.
static std::vector<pid_t> descendants(const std::vector<pid_t> &roots)
{
    std::multimap<pid_t, pid_t> children;
    DIR *d = opendir("/proc");
    if (!d)
        return {};
    while (struct dirent *e = readdir(d)) {
        pid_t pid = atoi(e->d_name);
        if (pid <= 0)
            continue;
        std::string stat = tu_read_file(std::string("/proc/") + e->d_name + "/stat");
        size_t paren = stat.rfind(')');
        if (paren == std::string::npos)
            continue;
        int ppid = 0;
        if (sscanf(stat.c_str() + paren + 1, " %*c %d", &ppid) == 1)
            children.insert({ppid, pid});
    }
    closedir(d);
    std::vector<pid_t> found, todo = roots;
    while (!todo.empty()) {
        pid_t p = todo.back();
        todo.pop_back();
        auto range = children.equal_range(p);
        for (auto it = range.first; it != range.second; ++it) {
            found.push_back(it->second);
            todo.push_back(it->second);
        }
    }
    return found;
}

// Ends the daemons and the sessions they left, and waits for the daemons.
static void daemons_stop(tu_sshrig &rig)
{
    std::vector<pid_t> rest = descendants(rig.daemons);
    for (pid_t p : rest)
        kill(p, SIGKILL);
    for (pid_t p : rig.daemons)
        kill(p, SIGTERM);
    for (pid_t p : rig.daemons) {
        int st;
        while (waitpid(p, &st, 0) < 0 && errno == EINTR) {
        }
    }
    rig.daemons.clear();
}

void tu_sshrig_stop(tu_sshrig &rig)
{
    daemons_stop(rig);
    if (!rig.dir.empty())
        tu_run({"/bin/rm", "-rf", rig.dir});
    rig.dir.clear();
}

static double now()
{
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec + t.tv_nsec / 1e9;
}

// Waits until the last address of each daemon accepts connections (sshd
// binds its addresses in order before it accepts).  An empty string when
// all listen, else what failed.
static std::string daemons_wait(const tu_sshrig &rig, const std::vector<std::string> &last,
                                const std::vector<std::string> &logs)
{
    const double limit = 30;
    double deadline = now() + limit;
    for (size_t k = 0; k < rig.daemons.size(); k++) {
        const std::string &log = logs[k];
        while (!accepts(last[k], rig.port)) {
            int st;
            if (waitpid(rig.daemons[k], &st, WNOHANG) == rig.daemons[k])
                return "sshd for " + last[k] + " port " + std::to_string(rig.port) +
                       " ended before it listened: " + tu_read_file(log);
            if (now() > deadline)
                return "sshd for " + last[k] + " port " + std::to_string(rig.port) +
                       " did not listen within " + std::to_string((int)limit) +
                       " s: " + tu_read_file(log);
            usleep(20000);
        }
    }
    return "";
}

// The host key and the user's key, authorized; false (a failure reported)
// when one could not be made.
static bool rig_keys(const tu_sshrig &rig)
{
    const std::string &d = rig.dir;
    for (const char *key : {"host_ed25519", "id_ed25519"}) {
        tu_result r = tu_run({"/usr/bin/ssh-keygen", "-q", "-t", "ed25519", "-N", "", "-C",
                              "vorn-test", "-f", d + "/" + key});
        if (r.status != 0) {
            ADD_FAILURE() << "ssh-keygen " << key << ": " << r.err;
            return false;
        }
    }
    tu_write_file(d + "/authorized_keys", tu_read_file(d + "/id_ed25519.pub"));
    return true;
}

// The client's files for rig.port: known hosts, hosts, ssh_config.
static void rig_files(tu_sshrig &rig, int nodes)
{
    const std::string &d = rig.dir;
    std::string host_key = tu_read_file(d + "/host_ed25519.pub");
    host_key = host_key.substr(0, host_key.find(" vorn-test"));
    rig.addrs.clear();
    std::string known, hosts;
    for (int i = 0; i < nodes; i++) {
        rig.addrs.push_back(node_addr(i));
        known += "[" + rig.addrs[i] + "]:" + std::to_string(rig.port) + " " + host_key + "\n";
        hosts += rig.addrs[i] + "\n";
    }
    rig.known_hosts = d + "/known_hosts";
    rig.hosts = d + "/hosts";
    rig.config = d + "/ssh_config";
    tu_write_file(rig.known_hosts, known);
    tu_write_file(rig.hosts, hosts);
    // curve25519: the default post-quantum key exchange costs several times
    // its CPU on every connection.
    tu_write_file(rig.config, "Port " + std::to_string(rig.port) + "\nIdentityFile " + d +
                                  "/id_ed25519\nIdentitiesOnly yes\nUserKnownHostsFile " +
                                  rig.known_hosts +
                                  "\nGlobalKnownHostsFile /dev/null\n"
                                  "StrictHostKeyChecking yes\nBatchMode yes\nLogLevel ERROR\n"
                                  "KexAlgorithms curve25519-sha256\n");
}

// The configuration of daemon k: its nodes' addresses, those in without
// left out; empty when none is left.
static std::string daemon_config(const tu_sshrig &rig, int k, const std::vector<int> &without,
                                 std::string &last)
{
    std::string listen;
    for (int i = k * per_daemon; i < (k + 1) * per_daemon && i < (int)rig.addrs.size(); i++) {
        if (std::find(without.begin(), without.end(), i) != without.end())
            continue;
        listen += "ListenAddress " + rig.addrs[i] + ":" + std::to_string(rig.port) + "\n";
        last = rig.addrs[i];
    }
    if (listen.empty())
        return "";
    const std::string &d = rig.dir, n = std::to_string(k);
    return listen + "HostKey " + d + "/host_ed25519\nPidFile " + d + "/sshd." + n +
           ".pid\nAuthorizedKeysFile " + d +
           "/authorized_keys\n"
           "StrictModes no\nUsePAM no\nPasswordAuthentication no\n"
           "KbdInteractiveAuthentication no\nPermitRootLogin prohibit-password\n"
           "MaxStartups 256\nLogLevel ERROR\n";
}

tu_sshrig tu_sshrig_start(int nodes, const std::vector<int> &without)
{
    tu_sshrig rig;
    char tmpl[] = "/tmp/vorn-sshrig-XXXXXX";
    if (!mkdtemp(tmpl)) {
        ADD_FAILURE() << "mkdtemp: " << strerror(errno);
        return rig;
    }
    rig.dir = tmpl;
    // Root's sshd keeps its privilege-separation chroot here.
    if (geteuid() == 0 && mkdir("/run/sshd", 0755) < 0 && errno != EEXIST) {
        ADD_FAILURE() << "mkdir /run/sshd: " << strerror(errno);
        tu_sshrig_stop(rig);
        return rig;
    }
    if (!rig_keys(rig)) {
        tu_sshrig_stop(rig);
        return rig;
    }
    // A port the kernel called free may be taken before sshd binds it:
    // then another.
    std::string failure;
    for (int attempt = 0; attempt < 3; attempt++) {
        rig.port = free_port();
        if (rig.port < 0) {
            failure = std::string("no free port: ") + strerror(errno);
            break;
        }
        rig_files(rig, nodes);
        std::vector<std::string> last, logs;
        for (int k = 0; k * per_daemon < nodes; k++) {
            std::string addr, conf = daemon_config(rig, k, without, addr);
            if (conf.empty())
                continue;
            std::string file = rig.dir + "/sshd_config." + std::to_string(k);
            std::string log = rig.dir + "/sshd." + std::to_string(k) + ".log";
            tu_write_file(file, conf);
            pid_t pid = daemon_start(file, log);
            if (pid < 0)
                break;
            rig.daemons.push_back(pid);
            last.push_back(addr);
            logs.push_back(log);
        }
        failure = last.size() == rig.daemons.size() && !last.empty() ? daemons_wait(rig, last, logs)
                                                                     : "no sshd started";
        if (failure.empty())
            return rig;
        daemons_stop(rig);
    }
    ADD_FAILURE() << failure;
    tu_sshrig_stop(rig);
    return rig;
}
