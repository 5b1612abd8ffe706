// testutil.cc - helpers for the C++ tests (see testutil.h).
#include "testutil.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

std::string tu_bin(const std::string &name)
{
    return std::string(VORN_BIN_DIR) + "/" + name;
}
std::string tu_staged(const std::string &rel)
{
    return std::string(VORN_STAGE_DIR) + "/" + rel;
}
std::string tu_source(const std::string &rel)
{
    return std::string(VORN_SOURCE_DIR) + "/" + rel;
}

std::string tu_read_file(const std::string &path)
{
    std::ifstream f(path, std::ios::binary);
    std::ostringstream s;
    s << f.rdbuf();
    return s.str();
}

void tu_write_file(const std::string &path, const std::string &data)
{
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f << data;
}

// Whether path is an i386 ELF program (class 32-bit, machine EM_386).
static bool is_i386(const std::string &path)
{
    unsigned char h[20];
    int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return false;
    bool yes = read(fd, h, sizeof h) == (ssize_t)sizeof h && memcmp(h, "\177ELF", 4) == 0 &&
               h[4] == 1 && h[18] == 3 && h[19] == 0;
    close(fd);
    return yes;
}

std::vector<std::string> tu_command(const std::vector<std::string> &argv)
{
    const char *emulator = getenv("VORN_I386_EMULATOR");
    if (!emulator || !*emulator || argv.empty() || !is_i386(argv[0]))
        return argv;
    std::vector<std::string> cmd{emulator};
    cmd.insert(cmd.end(), argv.begin(), argv.end());
    return cmd;
}

std::vector<std::string> tu_timeout(int seconds, const std::vector<std::string> &argv)
{
    std::vector<std::string> cmd{"/usr/bin/timeout", std::to_string(seconds)};
    std::vector<std::string> prog = tu_command(argv);
    cmd.insert(cmd.end(), prog.begin(), prog.end());
    return cmd;
}

tu_result tu_run(const std::vector<std::string> &argv_in, const std::string &in,
                 const std::vector<std::string> &env)
{
    const std::vector<std::string> argv = tu_command(argv_in);
    tu_result r{-1, "", ""};
    int pin[2], pout[2], perr[2];
    if (pipe2(pin, O_CLOEXEC) || pipe2(pout, O_CLOEXEC) || pipe2(perr, O_CLOEXEC)) {
        ADD_FAILURE() << "pipe: " << strerror(errno);
        return r;
    }
    pid_t pid = fork();
    if (pid == 0) {
        dup2(pin[0], 0);
        dup2(pout[1], 1);
        dup2(perr[1], 2);
        for (const std::string &e : env)
            putenv(strdup(e.c_str()));
        std::vector<char *> args;
        for (const std::string &a : argv)
            args.push_back(const_cast<char *>(a.c_str()));
        args.push_back(nullptr);
        execve(args[0], args.data(), environ);
        dprintf(2, "exec %s: %s\n", args[0], strerror(errno));
        _exit(127);
    }
    close(pin[0]);
    close(pout[1]);
    close(perr[1]);
    signal(SIGPIPE, SIG_IGN);
    size_t sent = 0;
    if (in.empty()) {
        close(pin[1]);
        pin[1] = -1;
    }
    struct pollfd p[3] = {{pout[0], POLLIN, 0}, {perr[0], POLLIN, 0}, {pin[1], POLLOUT, 0}};
    while (p[0].fd >= 0 || p[1].fd >= 0) {
        if (poll(p, 3, -1) < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        for (int i = 0; i < 2; i++) {
            if (p[i].fd < 0 || !p[i].revents)
                continue;
            char buf[65536];
            ssize_t n = read(p[i].fd, buf, sizeof buf);
            if (n > 0) {
                (i == 0 ? r.out : r.err).append(buf, n);
            } else {
                close(p[i].fd);
                p[i].fd = -1;
            }
        }
        if (p[2].fd >= 0 && p[2].revents) {
            ssize_t n = write(p[2].fd, in.data() + sent, in.size() - sent);
            if (n > 0)
                sent += n;
            if (n <= 0 || sent == in.size()) {
                close(p[2].fd);
                p[2].fd = -1;
            }
        }
    }
    if (p[2].fd >= 0)
        close(p[2].fd);
    int st = 0;
    while (waitpid(pid, &st, 0) < 0 && errno == EINTR) {
    }
    r.status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    return r;
}

tu_result tu_vornemu(const std::vector<std::string> &args)
{
    std::vector<std::string> argv{tu_bin("vornemu")};
    argv.insert(argv.end(), args.begin(), args.end());
    return tu_run(argv);
}

tu_cluster tu_cluster_make(int nodes, const std::vector<std::string> &extra)
{
    tu_cluster c;
    char tmpl[] = "/tmp/vorn-test-XXXXXX";
    if (!mkdtemp(tmpl)) {
        ADD_FAILURE() << "mkdtemp: " << strerror(errno);
        return c;
    }
    chmod(tmpl, 0755); // non-root test children must reach the cluster
    c.dir = tmpl;
    c.path = c.dir + "/cluster";
    setenv("VORN_CLUSTER", c.path.c_str(), 1);
    std::vector<std::string> args{"init", "--nodes", std::to_string(nodes)};
    args.insert(args.end(), extra.begin(), extra.end());
    tu_result r = tu_vornemu(args);
    EXPECT_EQ(r.status, 0) << r.err;
    return c;
}

void tu_cluster_drop(tu_cluster &c)
{
    if (c.dir.empty())
        return;
    tu_run({"/bin/rm", "-rf", c.dir});
    c.dir.clear();
    c.path.clear();
}

std::vector<std::vector<std::string>> tu_journal()
{
    std::vector<std::vector<std::string>> rows;
    tu_result r = tu_vornemu({"log"});
    std::istringstream s(r.out);
    std::string line;
    while (std::getline(s, line)) {
        std::vector<std::string> f;
        size_t start = 0, tab;
        while ((tab = line.find('\t', start)) != std::string::npos) {
            f.push_back(line.substr(start, tab - start));
            start = tab + 1;
        }
        f.push_back(line.substr(start));
        rows.push_back(f);
    }
    return rows;
}

// Copies one file, keeping its permission bits; false on any failure.
static bool copy_file(const std::string &from, const std::string &to)
{
    struct stat st;
    if (stat(from.c_str(), &st) < 0)
        return false;
    std::string data = tu_read_file(from);
    if (data.size() != (size_t)st.st_size)
        return false;
    int fd = open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, st.st_mode & 0777);
    if (fd < 0)
        return false;
    size_t done = 0;
    while (done < data.size()) {
        ssize_t n = write(fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        done += n;
    }
    // The mode given to open is cut by the umask.
    bool ok = done == data.size() && fchmod(fd, st.st_mode & 0777) == 0;
    return close(fd) == 0 && ok;
}

tu_user_copy tu_copy_for_user(const std::vector<std::string> &staged)
{
    tu_user_copy c;
    char tmpl[] = "/tmp/vorn-user-XXXXXX";
    if (!mkdtemp(tmpl)) {
        ADD_FAILURE() << "mkdtemp: " << strerror(errno);
        return c;
    }
    c.dir = tmpl;
    if (chmod(tmpl, 0755) < 0)
        ADD_FAILURE() << "chmod " << c.dir << ": " << strerror(errno);
    std::vector<std::string> files = staged;
    files.push_back("lib/libvorn.so.2");
    for (const std::string &rel : files) {
        // Each folder on the way, reachable by everyone.
        for (size_t slash = rel.find('/'); slash != std::string::npos;
             slash = rel.find('/', slash + 1)) {
            std::string sub = c.dir + "/" + rel.substr(0, slash);
            if (mkdir(sub.c_str(), 0755) < 0 && errno != EEXIST)
                ADD_FAILURE() << "mkdir " << sub << ": " << strerror(errno);
            chmod(sub.c_str(), 0755);
        }
        if (!copy_file(tu_staged(rel), c.dir + "/" + rel))
            ADD_FAILURE() << "copying " << tu_staged(rel) << " to " << c.dir << ": "
                          << strerror(errno);
    }
    return c;
}

void tu_user_copy_drop(tu_user_copy &c)
{
    if (c.dir.empty())
        return;
    tu_run({"/bin/rm", "-rf", c.dir});
    c.dir.clear();
}

int tu_as_nobody(int (*fn)(void *), void *arg)
{
    pid_t pid = fork();
    if (pid == 0) {
        if (setgroups(0, nullptr) || setgid(65534) || setuid(65534))
            _exit(126);
        _exit(fn(arg));
    }
    int st = 0;
    while (waitpid(pid, &st, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
}

std::string tu_sorted_lines(const std::string &text)
{
    std::vector<std::string> lines;
    for (size_t at = 0; at < text.size();) {
        size_t nl = text.find('\n', at);
        size_t end = nl == std::string::npos ? text.size() : nl + 1;
        lines.push_back(text.substr(at, end - at));
        at = end;
    }
    std::sort(lines.begin(), lines.end());
    std::string out;
    for (const std::string &l : lines)
        out += l;
    return out;
}
