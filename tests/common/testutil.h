// testutil.h - helpers for the C++ tests: a fresh emulated cluster per
// test, programs run as subprocesses with their output captured, files.
#ifndef VORN_TESTUTIL_H
#define VORN_TESTUTIL_H

#include <string>
#include <vector>

// What a finished subprocess left: its exit status (128 + signal number
// when a signal ended it) and everything it wrote.
struct tu_result {
    int status;
    std::string out;
    std::string err;
};

// A fresh emulated cluster in its own temporary directory.  tu_cluster_make
// runs "vornemu init --nodes N" plus the extra arguments (by default a boot
// delay of 0) and points VORN_CLUSTER at it in this process, so the library
// and every child use it.  tu_cluster_drop removes the directory.
struct tu_cluster {
    std::string dir;  // the temporary directory
    std::string path; // the cluster itself (VORN_CLUSTER)
};
tu_cluster tu_cluster_make(int nodes,
                           const std::vector<std::string> &extra = {"--boot-delay", "0"});
void tu_cluster_drop(tu_cluster &c);

// Runs argv[0] (a path; see tu_command) with argv, feeding in on standard input; extra
// environment entries "NAME=value" are added to (or replace) ours.
tu_result tu_run(const std::vector<std::string> &argv, const std::string &in = "",
                 const std::vector<std::string> &env = {});

// The command that runs argv: where the tests run i386 programs under an
// emulator (VORN_I386_EMULATOR in the environment names it), the emulator
// goes before argv[0] when that is an i386 program.  tu_run does this
// itself; a test that starts a program some other way (exec, or through
// timeout, strace or a placement) builds its command with tu_command.
std::vector<std::string> tu_command(const std::vector<std::string> &argv);
// The command that runs argv under timeout(1), killed after seconds.
std::vector<std::string> tu_timeout(int seconds, const std::vector<std::string> &argv);

// Runs vornemu of the build tree with the given arguments.
tu_result tu_vornemu(const std::vector<std::string> &args);

// The journal of the current cluster, one entry per line, each split at
// its tabs: time, uid, function, node, argument, result.
std::vector<std::vector<std::string>> tu_journal();

// Build-tree and staged-installation paths.
std::string tu_bin(const std::string &name);   // build/bin/NAME
std::string tu_staged(const std::string &rel); // build/stage/REL
std::string tu_source(const std::string &rel); // source tree REL

std::string tu_read_file(const std::string &path);
// The lines of text, sorted: output of several nodes comes in any order.
std::string tu_sorted_lines(const std::string &text);
void tu_write_file(const std::string &path, const std::string &data);

// Runs fn in a forked child that has switched to user and group 65534
// (nobody); returns the child's exit status.
int tu_as_nobody(int (*fn)(void *), void *arg);

// A copy of staged files for a test that runs them as another user: the
// tree may live where other users cannot enter (a home directory of mode
// 0700, a folder made by mktemp -d), so programs that such a user runs are
// copied into a fresh directory under /tmp that everyone may enter and
// read.  tu_copy_for_user copies each path, relative to the staged
// installation (such as "bin/vornctl"), to the same place under dir, and
// lib/libvorn.so.2 with them, so the programs find the library through
// their run path as installed.  tu_user_copy_drop removes the directory.
struct tu_user_copy {
    std::string dir;
};
tu_user_copy tu_copy_for_user(const std::vector<std::string> &staged);
void tu_user_copy_drop(tu_user_copy &c);

#endif
