/* closeout.h - the end of a command-line tool's output: a write that was
 * lost (a full disk, a closed pipe) makes the program fail. */
#ifndef VORN_TOOLS_CLOSEOUT_H
#define VORN_TOOLS_CLOSEOUT_H

/* Flushes and closes standard output, then closes standard error.  When
 * either shows a lost write, prints "PROGRAM: write error: MESSAGE" on
 * standard error (where it still can) and ends the process with status 1.
 * Call it (or register it with atexit) once the program has printed all. */
void close_stdout(void);

/* The program name that close_stdout prints; set it from argv[0]. */
void closeout_set_name(const char *name);

#endif /* VORN_TOOLS_CLOSEOUT_H */
