/* nodefold.h - node numbers folded into the short form that node-list
 * expressions read back ("0-3,7"), for the tools that print node sets. */
#ifndef VORN_TOOLS_NODEFOLD_H
#define VORN_TOOLS_NODEFOLD_H

#include <stddef.h>

/* Writes nodes[0..n) in folded form into buf (size bytes, NUL-terminated):
 * the numbers are sorted, duplicates dropped, and each run of two or more
 * consecutive numbers becomes "first-last"; items are separated by commas
 * and the master (-1) is written "master", first.  An empty set is the
 * empty text.  str2numlist reads the result back as the same set.  Returns
 * the length of the whole text, which may exceed size - 1 (the text is then
 * cut, as snprintf cuts), or -1 with errno ENOMEM (EOVERFLOW when the
 * text would be longer than an int counts). */
int nodes_fold(const int *nodes, size_t n, char *buf, size_t size);

/* The same into a malloc'd text that the caller frees; null with errno. */
char *nodes_fold_alloc(const int *nodes, size_t n);

#endif /* VORN_TOOLS_NODEFOLD_H */
