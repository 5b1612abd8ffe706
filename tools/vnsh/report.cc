// report.cc - what became of the nodes that failed: one line on standard
// error for each way of failing, naming the nodes in folded form.
#include "vnsh.h"

#include "nodefold.h"

#include <vorn/vorn.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/wait.h>
#include <vector>

// What happened to a run, or the empty text when it went well.
static std::string run_failure(const struct run *r)
{
    char text[128] = "";
    if (r->state == RUN_FAILED) {
        if (r->place_err)
            snprintf(text, sizeof text, "not placed: %s", vorn_strerror(r->place_err));
        else
            snprintf(text, sizeof text, "not started: interrupted");
    } else if (r->kill_at) {
        snprintf(text, sizeof text, "timed out after %ld s", timeout_s);
    } else if (!r->reaped) {
        snprintf(text, sizeof text, "not started");
    } else if (WIFEXITED(r->status) && WEXITSTATUS(r->status) != 0) {
        snprintf(text, sizeof text, "exited with status %d", WEXITSTATUS(r->status));
    } else if (WIFSIGNALED(r->status)) {
        // A program that wrote into our closed output ended as it would
        // here; one whose output was lost on the way is reported for that.
        int sig = WTERMSIG(r->status);
        if (!(sig == SIGPIPE && (out_dead[0] || out_dead[1] || r->lost)))
            snprintf(text, sizeof text, "killed by signal %d", sig);
    }
    return text;
}

void report_print(void)
{
    std::vector<std::pair<std::string, int>> failed;
    for (int i = 0; i < nruns; i++) {
        std::string what = run_failure(&runs[i]);
        if (!what.empty())
            failed.push_back({what, runs[i].node});
        if (runs[i].lost)
            failed.push_back({"output lost", runs[i].node});
    }
    std::sort(failed.begin(), failed.end());
    // Each way of failing with its nodes, in the order of its lowest node.
    struct way {
        const std::string *what;
        std::vector<int> nodes;
    };
    std::vector<way> ways;
    for (const auto &f : failed) {
        if (ways.empty() || *ways.back().what != f.first)
            ways.push_back({&f.first, {}});
        ways.back().nodes.push_back(f.second);
    }
    std::stable_sort(ways.begin(), ways.end(),
                     [](const way &a, const way &b) { return a.nodes[0] < b.nodes[0]; });
    for (const way &w : ways) {
        char *names = nodes_fold_alloc(w.nodes.data(), w.nodes.size());
        if (!names)
            die("out of memory");
        fprintf(stderr, "%s: %s: %s\n", progname, names, w.what->c_str());
        free(names);
    }
}
