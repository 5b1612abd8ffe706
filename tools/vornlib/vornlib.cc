// vornlib.cc - clears, extends, shrinks and prints the Memsnap process
// dumper's in-kernel library list.
#include <vorn/vorn.h>

#include "closeout.h"
#include "stdfds.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

#define VORNLIB_VERSION "5.0.0"

enum lib_mode { MODE_NONE, MODE_CLEAR, MODE_ADD, MODE_DELETE, MODE_LIST };

// The program's name in its own messages: argv[0] without its directory.
static const char *program_name = "vornlib";

static void usage(const char *progname)
{
    printf("Usage: %s -c\n"
           "       %s -a [libs...] \n"
           "       %s -d [libs...] \n"
           "       %s -l\n"
           "\n"
           "       This program manages the Memsnap in-kernel library list.\n"
           "       -h            Display this message and exit.\n"
           "       -v            Display version information and exit.\n"
           "       -c            Clear kernel library list.\n"
           "       -a [libs...]  Add to the kernel library list.\n"
           "       -d [libs...]  Delete from the kernel library list.\n"
           "       -l            Print the contents of the kernel library list.\n",
           progname, progname, progname, progname);
}

// Hands one name to the library call of the mode; a failure ends the
// program with the call's name as prefix.
static void change_one(int (*call)(const char *), const char *callname, const char *name)
{
    if (call(name) == -1) {
        perror(callname);
        exit(1);
    }
}

// Adds (deletes) every name: "-" stands for the lines of standard input,
// one name per line, at most 4095 characters each.
static void change_all(int (*call)(const char *), const char *callname, char **names, int count)
{
    char line[4096];

    for (int i = 0; i < count; i++) {
        if (strcmp(names[i], "-") != 0) {
            change_one(call, callname, names[i]);
            continue;
        }
        for (;;) {
            // fgets ends what it read with a NUL and leaves the rest of the
            // buffer alone: with no NUL there before, the last NUL in the
            // buffer marks the end of the name, and any NUL before it was
            // read from the input.
            memset(line, '\n', sizeof line);
            if (!fgets(line, sizeof line, stdin))
                break;
            size_t len = (const char *)memrchr(line, '\0', sizeof line) - line;
            if (strlen(line) != len) {
                fprintf(stderr, "%s: a name on standard input holds a NUL byte\n", program_name);
                exit(1);
            }
            if (len > 0 && line[len - 1] == '\n')
                line[len - 1] = '\0';
            change_one(call, callname, line);
        }
        if (ferror(stdin)) {
            perror("fgets");
            exit(1);
        }
    }
}

static void list_all(void)
{
    char *list = nullptr;

    if (vorn_liblist(&list) == -1) {
        perror("vorn_liblist");
        exit(1);
    }
    for (const char *name = list; name && *name; name += strlen(name) + 1)
        puts(name);
    free(list);
}

int main(int argc, char **argv)
{
    enum lib_mode mode = MODE_NONE;
    int c;

    if (stdfds_reserve() != 0) {
        perror("/dev/null");
        exit(1);
    }
    if (argc > 0) {
        const char *slash = strrchr(argv[0], '/');
        program_name = slash ? slash + 1 : argv[0];
    }
    // Every way out, -h and -v included, checks what went to standard output.
    closeout_set_name(argc > 0 ? argv[0] : "vornlib");
    atexit(close_stdout);

    while ((c = getopt(argc, argv, "hvclad")) != -1) {
        switch (c) {
        case 'h':
            usage(argv[0]);
            exit(0);
        case 'v':
            printf("%s version %s\n", argv[0], VORNLIB_VERSION);
            exit(0);
        case 'c':
            mode = MODE_CLEAR;
            break;
        case 'a':
            mode = MODE_ADD;
            break;
        case 'd':
            mode = MODE_DELETE;
            break;
        case 'l':
            mode = MODE_LIST;
            break;
        default:
            exit(1);
        }
    }

    switch (mode) {
    case MODE_CLEAR:
        if (optind < argc) {
            fprintf(stderr, "No library names allowed with -c\n");
            exit(1);
        }
        if (vorn_libclear() == -1) {
            perror("MSNP_LIB_CLEAR");
            exit(1);
        }
        break;
    case MODE_ADD:
        change_all(vorn_libadd, "vorn_libadd", argv + optind, argc - optind);
        break;
    case MODE_DELETE:
        change_all(vorn_libdel, "vorn_libdel", argv + optind, argc - optind);
        break;
    case MODE_LIST:
        list_all();
        break;
    case MODE_NONE:
        usage(argv[0]);
        break;
    }
    exit(0);
}
