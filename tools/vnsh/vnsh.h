// vnsh.h - what the parts of vnsh share: the record of one run, the
// options, and the calls each part offers the others.
#ifndef VORN_VNSH_H
#define VORN_VNSH_H

#include <cstddef>
#include <cstdint>
#include <sys/resource.h>
#include <sys/types.h>

#define READ_SIZE 65536          // one read from a node's output pipe
#define INPUT_WINDOW (1 << 20)   // input held for the slowest node, at most
#define KILL_GRACE_MS 2000       // SIGTERM, then SIGKILL this much later
#define INTERRUPT_WINDOW_MS 1000 // a second Ctrl-C within this ends everything

enum run_state { RUN_WAITING, RUN_PLACING, RUN_RUNNING, RUN_FAILED };

// A growable byte buffer.
struct buf {
    char *p;
    size_t len, cap;
};

struct gather_group;

// Where one stream of a run stands in the gathered outputs (-b): its
// group, whose text so far equals the stream's, and how far into it.
struct gather_pos {
    struct gather_group *group;
    size_t off;
};

// One output stream (0 standard output, 1 standard error) of a run.
struct ostream {
    int fd;          // read end of the pipe; -1 after its end
    int midline;     // -u: the last piece written did not end a line
    struct buf line; // line mode: an unfinished line
    struct gather_pos gather;
};

// The event a descriptor of the loop stands for.
enum watch_kind { WATCH_OUT, WATCH_ERR, WATCH_STATUS, WATCH_IN };

struct run;

// What an event of a watched descriptor points at.
struct run_tag {
    struct run *run;
    enum watch_kind kind;
};

// One placement of the command on one node.
struct run {
    int node;
    enum run_state state;
    pid_t pid;            // 0 before the fork
    int reaped;           // the child's status is known
    int status;           // its wait status
    int status_fd;        // close-on-exec pipe from the child while placing, else -1
    int place_err;        // why the placement failed (RUN_FAILED), 0 for not started
    int in_fd;            // write end of the input pipe, -1 when none or ended
    int in_wanted;        // this run gets standard input
    int in_watched;       // in_fd is watched for room to write
    uint64_t in_off;      // bytes of the input written to it
    int64_t started;      // ms, when it was forked
    int64_t kill_at;      // ms, when SIGKILL follows a timeout's SIGTERM; 0: not timed out
    int killed;           // sent SIGKILL: its output ends with its program
    int counted;          // the run has been counted as done
    pid_t listener;       // its listener, as the status pipe told; 0 none
    uint64_t orphan_mark; // orphans reaped before it was forked
    int claimed;          // its listener has been looked for
    int listener_wait;    // its listener is ours and has not ended
    int lost;             // its listener lost output on the way
    struct ostream out[2];
    struct run_tag tag[4]; // one for each kind of watched descriptor
};

// Options.
extern int fanout;
extern int no_label, gather;
extern long timeout_s; // 0: none
extern const char *progname;

// The runs.
extern struct run *runs;
extern int nruns;
extern int line_mode;   // more than one run and not -u: whole lines only
extern int labels;      // line prefix "%3d: "
extern int out_dead[2]; // errno of a failed local write, or 0
extern int own_fd_floor;
extern rlim_t nofile_soft;

// util.cc
[[noreturn]] void die(const char *what);
int64_t now_ms(void);
void buf_add(struct buf *b, const void *data, size_t len);
void buf_free(struct buf *b);
int write_all(int fd, const char *data, size_t len);
int own_fd(int fd);
int own_pipe(int p[2], int nonblock_end);
void close_fd(int *fd);

// nodes.cc: the nodes to run on, from -w and -x, checked before anything
// starts.  nodes_add and nodes_exclude return 0, or print why not and
// return -1; nodes_final gives the nodes of -w without those of -x.
int nodes_add(const char *arg);
int nodes_exclude(const char *arg);
void nodes_final(int **list, int *n);

// label.cc
void output_feed(struct run *r, int s, const char *p, size_t n, int final);
void output_write(int s, const char *data, size_t len);

// gather.cc
void gather_feed(struct run *r, int s, const char *p, size_t n);
void gather_print(int s);

// input.cc
extern int in_open;
int input_pending(const struct run *r);
int input_room(void);
void input_read(void);
void input_write(struct run *r);
void input_moved(uint64_t from);

// place.cc
int run_start(struct run *r, const char *path, char **argv);
int status_read(struct run *r);

// loop.cc
void signals_setup(void);
void loop(const char *path, char **argv);
void watch_in(struct run *r, int on);
void run_close_in(struct run *r);
void run_close_out(struct run *r, int s);

// listener.cc
void listeners_setup(void);
uint64_t orphans_mark(void);
void listener_claim(struct run *r);
struct run *child_unknown(pid_t pid, int status);

// report.cc
void report_print(void);

#endif
