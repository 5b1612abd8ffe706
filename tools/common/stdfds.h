/* stdfds.h - the three standard descriptors kept taken, so that a file the
 * program or a library it calls opens never lands on one of them. */
#ifndef VORN_TOOLS_STDFDS_H
#define VORN_TOOLS_STDFDS_H

/* Puts /dev/null on each of descriptors 0, 1 and 2 that is closed, opened
 * the wrong way round (0 for writing, 1 and 2 for reading), so that
 * reading and writing them still fail as on a closed descriptor (EBADF)
 * while a later open cannot take them: without this, output meant for
 * standard output would land in whatever file took descriptor 1.  Returns
 * 0, or -1 with errno when /dev/null cannot be opened.  Call it first
 * thing in main. */
int stdfds_reserve(void);

#endif /* VORN_TOOLS_STDFDS_H */
