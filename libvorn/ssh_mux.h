/* ssh_mux.h - a session through an OpenSSH master connection, spoken on
 * its control socket (the multiplexing protocol of OpenSSH's ssh -M):
 * no ssh client process per session.  Used by the library and by
 * vorn-ssh-relay. */
#ifndef VORN_SSH_MUX_H
#define VORN_SSH_MUX_H

/* Connects to the master's control socket and greets it: the connection,
 * or -1 with errno (EHOSTDOWN when no master answers).  Each read and
 * write on it gives up after 30 s. */
int mux_open(const char *ctl);
/* Asks the master for a session running command, its standard streams
 * the descriptors in, out and err (passed to the master, which then
 * serves them itself).  0 when the session is open; -1 with errno
 * (EHOSTDOWN: the master or the host refused it, EAGAIN: the host has as
 * many sessions as it takes). */
int mux_session(int fd, const char *command, int in, int out, int err);
/* Reads the master's next word on the session: its exit status (0-255)
 * once the remote command has ended; -1 when the master closed without
 * one (the connection was lost, errno EPIPE), -2 for any other word. */
int mux_wait(int fd);
/* Runs command on the host through the master at ctl, with no input and
 * its output nowhere, and waits for it: its exit status, or -1. */
int mux_run(const char *ctl, const char *command);

#endif
