/* numlist.h - node-list expressions: str2numlist appends the nodes that an
 * expression such as "master,1-3,allup" names to a growable node list. */
#ifndef VORN_NUMLIST_H
#define VORN_NUMLIST_H

#ifdef __cplusplus
extern "C" {
#endif

/* A node list; all zeros is an empty list.  The caller frees list. */
struct numlist {
    int *list;
    int num;
    int size;
};

/* Appends the nodes of expr; 0 when the whole text was consumed, -1 on a
 * syntax error, a failed node-table fetch or exhausted memory. */
int str2numlist(struct numlist *nl, const char *expr);

/* Drops the cached node table; the next str2numlist fetches it again. */
void numlist_reset(void);

#ifdef __cplusplus
}
#endif

#endif /* VORN_NUMLIST_H */
