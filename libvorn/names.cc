/* names.cc - names the cluster knows: the library functions a fault can
 * be armed for, and error numbers by name. */
#include "cluster.h"

#include <errno.h>
#include <stdlib.h>
#include <string.h>

struct fn_entry {
    const char *name;
    int has_node;
};

/* Every library function that a fault can be armed for. */
static const struct fn_entry functions[] = {
    {"vorn_numnodes", 0},
    {"vorn_currnode", 0},
    {"vorn_nodestatus", 1},
    {"vorn_nodeinfo", 1},
    {"vorn_nodelist", 0},
    {"vorn_proclist", 1},
    {"vorn_pidnode", 0},
    {"vorn_getnodebyname", 0},
    {"vorn_nodenumber", 0},
    {"vorn_masteraddr", 0},
    {"vorn_nodeaddr", 1},
    {"vorn_access", 1},
    {"vorn_version", 0},
    {"vorn_notifier", 0},
    {"vorn_nodesetstatus", 1},
    {"vorn_nodechroot", 1},
    {"vorn_nodereboot", 1},
    {"vorn_nodehalt", 1},
    {"vorn_nodepwroff", 1},
    {"vorn_nodereboot_async", 1},
    {"vorn_nodehalt_async", 1},
    {"vorn_nodepwroff_async", 1},
    {"vorn_nodecachepurgefail", 1},
    {"vorn_nodecachepurgeok", 1},
    {"vorn_noderemaster", 1},
    {"vorn_nodeorphan", 1},
    {"vorn_nodepolicy", 1},
    {"vorn_set_r2c", 1},
    {"vorn_nodereconnect", 1},
    {"vorn_chmod", 1},
    {"vorn_chown", 1},
    {"vorn_chgrp", 1},
    {"vorn_rexec_io", 1},
    {"vorn_execmove_io", 1},
    {"_vorn_move_io", 1},
    {"_vorn_rfork_io", 1},
    {"_vorn_vrfork_io", 0},
    {"vorn_dump", 0},
    {"vorn_undump", 0},
    {"vorn_execdump", 0},
    {"vorn_libclear", 0},
    {"vorn_libadd", 0},
    {"vorn_libdel", 0},
    {"vorn_liblist", 0},
    {"vorn_requestfile", 0},
};

static const struct fn_entry *function_find(const char *fn)
{
    for (size_t i = 0; i < sizeof functions / sizeof functions[0]; i++)
        if (strcmp(functions[i].name, fn) == 0)
            return &functions[i];
    return NULL;
}

int function_known(const char *fn)
{
    return function_find(fn) != NULL;
}

int function_has_node(const char *fn)
{
    const struct fn_entry *e = function_find(fn);
    return e && e->has_node;
}

const char *errno_name(int err)
{
    const char *name = strerrorname_np(err);
    return name ? name : NULL;
}

int errno_parse(const char *text)
{
    char *end;
    if (!text || !*text)
        return -1;
    if (text[0] >= '0' && text[0] <= '9') {
        errno = 0;
        long v = strtol(text, &end, 10);
        if (errno || *end || v <= 0 || v > 4095)
            return -1;
        return (int)v;
    }
    for (int e = 1; e < 4096; e++) {
        const char *name = strerrorname_np(e);
        if (name && strcmp(name, text) == 0)
            return e;
    }
    return -1;
}
