/* vnsh_io.h - run, move or fork a process onto a node with its standard
 * streams forwarded over TCP to a listener on the calling node. */
#ifndef VORN_VNSH_IO_H
#define VORN_VNSH_IO_H

#ifdef __cplusplus
extern "C" {
#endif

/* Listener flags. */
#define VNSH_LINEBUF 0x08 /* forward output in whole lines */
#define VNSH_PREFIX 0x10  /* with VNSH_LINEBUF: "%3d: " node prefix per line */

int vnsh_rexec(int node, const char *path, char *const argv[], char *const envp[],
               int flags);
int _vnsh_move(int node, int flags, int migflags);
int _vnsh_rfork(int node, int flags, int migflags);
int vnsh_execmove(int node, const char *path, char *const argv[], char *const envp[],
                  int flags);

#ifdef __cplusplus
}
#endif

#endif /* VORN_VNSH_IO_H */
