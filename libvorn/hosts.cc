/* hosts.cc - the host table of a cluster of hosts: read from the list a
 * user gives at init (names resolved then), written once, looked up by
 * node, address or name. */
#include "hosts.h"

#include <arpa/inet.h>
#include <ctype.h>
#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

static_assert(sizeof(struct hosts_header) == HOSTS_HEADER_SIZE, "host table header");
static_assert(sizeof(struct host_rec) == HOSTS_RECORD_SIZE, "host record");

/* A destination ssh takes as a host and nothing else: an optional user
 * name and "@", then a host name or address; nothing that ssh would read
 * as an option, and nothing a remote shell would split. */
static int dest_ok(const char *d)
{
    const char *at = strchr(d, '@'), *host = at ? at + 1 : d;
    if (at) {
        if (at == d)
            return 0;
        for (const char *p = d; p < at; p++)
            if (!isalnum((unsigned char)*p) && !strchr("._-", *p))
                return 0;
    }
    if (!*host || *host == '-' || *host == '.' || strchr(host, '@'))
        return 0;
    for (const char *p = host; *p; p++)
        if (!isalnum((unsigned char)*p) && !strchr(".-_", *p))
            return 0;
    return *d != '-';
}

static int list_add(struct host_list *l, int *cap, const struct host_rec *r)
{
    if (l->count == *cap) {
        int ncap = *cap ? *cap * 2 : 64;
        struct host_rec *n = (struct host_rec *)realloc(l->recs, (size_t)ncap * sizeof *n);
        if (!n)
            return -1;
        l->recs = n;
        *cap = ncap;
    }
    l->recs[l->count++] = *r;
    return 0;
}

int hosts_parse(const char *file, struct host_list *out, char *err, size_t errsize)
{
    FILE *f = fopen(file, "re");
    char *line = NULL;
    size_t size = 0;
    int cap = 0, lineno = 0;
    memset(out, 0, sizeof *out);
    if (!f) {
        snprintf(err, errsize, "%s: %s", file, strerror(errno));
        return -1;
    }
    for (;;) {
        ssize_t n = getline(&line, &size, f);
        if (n < 0)
            break;
        lineno++;
        if (n > 0 && line[n - 1] == '\n')
            line[--n] = 0;
        char *hash = strchr(line, '#');
        if (hash)
            *hash = 0;
        char *p = line;
        while (isspace((unsigned char)*p))
            p++;
        char *end = p + strlen(p);
        while (end > p && isspace((unsigned char)end[-1]))
            *--end = 0;
        if (!*p)
            continue;
        if (strlen(p) >= HOSTS_DEST_MAX || !dest_ok(p)) {
            snprintf(err, errsize, "%s:%d: not a host: %s", file, lineno, p);
            goto fail;
        }
        if (out->count >= CL_MAX_NODES) {
            snprintf(err, errsize, "%s:%d: more hosts than a cluster has nodes", file, lineno);
            goto fail;
        }
        struct host_rec r;
        memset(&r, 0, sizeof r);
        strcpy(r.dest, p);
        const char *at = strchr(p, '@'), *host = at ? at + 1 : p;
        struct addrinfo hints, *res = NULL;
        memset(&hints, 0, sizeof hints);
        hints.ai_family = AF_INET;
        hints.ai_socktype = SOCK_STREAM;
        int rc = getaddrinfo(host, NULL, &hints, &res);
        if (rc != 0 || !res) {
            snprintf(err, errsize, "%s:%d: %s: %s", file, lineno, host,
                     rc == EAI_SYSTEM ? strerror(errno) : gai_strerror(rc));
            goto fail;
        }
        r.addr = ((const struct sockaddr_in *)res->ai_addr)->sin_addr.s_addr;
        freeaddrinfo(res);
        if (list_add(out, &cap, &r) < 0) {
            snprintf(err, errsize, "%s", strerror(errno));
            goto fail;
        }
    }
    if (ferror(f)) {
        snprintf(err, errsize, "%s: %s", file, strerror(errno));
        goto fail;
    }
    if (out->count == 0) {
        snprintf(err, errsize, "%s: no hosts listed", file);
        goto fail;
    }
    free(line);
    fclose(f);
    return 0;
fail:
    free(line);
    fclose(f);
    hosts_free(out);
    errno = EINVAL;
    return -1;
}

void hosts_free(struct host_list *l)
{
    free(l->recs);
    l->recs = NULL;
    l->count = 0;
}

uint32_t hosts_master_addr(const struct host_list *l)
{
    uint32_t addr = htonl(INADDR_LOOPBACK);
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    struct sockaddr_in a, self;
    socklen_t len = sizeof self;
    memset(&a, 0, sizeof a);
    a.sin_family = AF_INET;
    a.sin_port = htons(22);
    a.sin_addr.s_addr = l->recs[0].addr;
    /* A datagram socket's connect sends nothing: it only picks the route. */
    if (fd >= 0 && connect(fd, (struct sockaddr *)&a, sizeof a) == 0 &&
        getsockname(fd, (struct sockaddr *)&self, &len) == 0 && self.sin_addr.s_addr != 0)
        addr = self.sin_addr.s_addr;
    if (fd >= 0)
        close(fd);
    return addr;
}

int hosts_write(int dirfd, const struct host_list *l, const char *ssh_config, const char *power)
{
    if ((ssh_config && strlen(ssh_config) >= HOSTS_CONFIG_MAX) ||
        (power && strlen(power) >= HOSTS_POWER_MAX)) {
        errno = ENAMETOOLONG;
        return -1;
    }
    struct hosts_header *h = (struct hosts_header *)calloc(1, sizeof *h);
    if (!h)
        return -1;
    memcpy(h->magic, HOSTS_MAGIC, sizeof h->magic);
    h->format = HOSTS_FORMAT;
    h->record_size = HOSTS_RECORD_SIZE;
    h->nhosts = (uint32_t)l->count;
    if (ssh_config)
        strcpy(h->ssh_config, ssh_config);
    if (power)
        strcpy(h->power, power);
    int rc = -1;
    int fd = openat(dirfd, FILE_HOSTS, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd >= 0 && fchmod(fd, 0644) == 0 && write_full(fd, h, sizeof *h, 0) == 0 &&
        write_full(fd, l->recs, (size_t)l->count * sizeof *l->recs, HOSTS_HEADER_SIZE) == 0 &&
        fsync(fd) == 0)
        rc = 0;
    free(h);
    if (fd >= 0 && close(fd) < 0)
        rc = -1;
    return rc;
}

int hosts_cluster(const struct cluster *cl)
{
    return (cl->hdr.flags & CL_FLAG_HOSTS) != 0;
}

/* The table, checked against the node table: a table that does not
 * match is damage (EIO). */
static int hosts_open(struct cluster *cl, struct hosts_header *hdr)
{
    int fd = state_open(cl, FILE_HOSTS, O_RDONLY);
    if (fd < 0)
        return -1;
    struct stat st;
    if (pread_full(fd, hdr, sizeof *hdr, 0) != (ssize_t)sizeof *hdr || fstat(fd, &st) < 0 ||
        memcmp(hdr->magic, HOSTS_MAGIC, sizeof hdr->magic) != 0 || hdr->format != HOSTS_FORMAT ||
        hdr->record_size != HOSTS_RECORD_SIZE || hdr->nhosts != cl->hdr.nnodes ||
        st.st_size != HOSTS_HEADER_SIZE + (off_t)hdr->nhosts * HOSTS_RECORD_SIZE ||
        !memchr(hdr->ssh_config, 0, sizeof hdr->ssh_config) ||
        !memchr(hdr->power, 0, sizeof hdr->power)) {
        close(fd);
        errno = EIO;
        return -1;
    }
    return fd;
}

int hosts_valid(struct cluster *cl)
{
    struct hosts_header *hdr = (struct hosts_header *)malloc(sizeof *hdr);
    int fd = hdr ? hosts_open(cl, hdr) : -1;
    free(hdr);
    if (fd < 0)
        return -1;
    close(fd);
    return 0;
}

static int rec_ok(const struct host_rec *r)
{
    return memchr(r->dest, 0, sizeof r->dest) && dest_ok(r->dest);
}

int host_read(struct cluster *cl, int node, struct host_rec *h, struct hosts_header *hdr)
{
    if (node < 0 || (uint32_t)node >= cl->hdr.nnodes) {
        errno = EINVAL;
        return -1;
    }
    struct hosts_header *use = hdr ? hdr : (struct hosts_header *)malloc(sizeof *use);
    int fd = use ? hosts_open(cl, use) : -1;
    if (use != hdr)
        free(use);
    if (fd < 0)
        return -1;
    int rc = 0;
    if (h && (pread_full(fd, h, sizeof *h, HOSTS_HEADER_SIZE + (off_t)node * HOSTS_RECORD_SIZE) !=
                  (ssize_t)sizeof *h ||
              !rec_ok(h))) {
        errno = EIO;
        rc = -1;
    }
    close_keep_errno(fd);
    return rc;
}

/* Calls match on each record in node order until it says yes. */
static int hosts_find(struct cluster *cl, int (*match)(const struct host_rec *r, const void *key),
                      const void *key)
{
    struct hosts_header *hdr = (struct hosts_header *)malloc(sizeof *hdr);
    struct host_rec *chunk = (struct host_rec *)malloc(64 * sizeof *chunk);
    int found = -1, fd = -1;
    if (!hdr || !chunk || (fd = hosts_open(cl, hdr)) < 0)
        goto out;
    for (uint32_t first = 0; first < hdr->nhosts && found < 0; first += 64) {
        uint32_t n = hdr->nhosts - first < 64 ? hdr->nhosts - first : 64;
        size_t len = n * sizeof *chunk;
        if (pread_full(fd, chunk, len, HOSTS_HEADER_SIZE + (off_t)first * HOSTS_RECORD_SIZE) !=
            (ssize_t)len)
            break;
        for (uint32_t i = 0; i < n && found < 0; i++)
            if (rec_ok(&chunk[i]) && match(&chunk[i], key))
                found = (int)(first + i);
    }
out:
    if (fd >= 0)
        close(fd);
    free(hdr);
    free(chunk);
    return found;
}

static int match_addr(const struct host_rec *r, const void *key)
{
    return r->addr == *(const uint32_t *)key;
}

static int match_name(const struct host_rec *r, const void *key)
{
    const char *at = strchr(r->dest, '@');
    return strcmp(r->dest, (const char *)key) == 0 ||
           (at && strcmp(at + 1, (const char *)key) == 0);
}

int host_by_addr(struct cluster *cl, uint32_t addr)
{
    return hosts_find(cl, match_addr, &addr);
}

int host_by_name(struct cluster *cl, const char *name)
{
    return hosts_find(cl, match_name, name);
}

int hosts_check(struct cluster *cl)
{
    struct hosts_header hdr;
    int fd = hosts_open(cl, &hdr), bad = 0;
    if (fd < 0) {
        printf("hosts: %s\n",
               errno == EIO ? "damaged, or not one host for each node" : strerror(errno));
        return 1;
    }
    for (uint32_t i = 0; i < hdr.nhosts; i++) {
        struct host_rec r;
        if (pread_full(fd, &r, sizeof r, HOSTS_HEADER_SIZE + (off_t)i * HOSTS_RECORD_SIZE) !=
                (ssize_t)sizeof r ||
            !rec_ok(&r)) {
            printf("hosts: node %u: damaged record\n", i);
            bad++;
        }
    }
    close(fd);
    return bad;
}
