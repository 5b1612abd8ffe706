/* tcp_end.h - looks up a TCP socket on this machine by its two addresses:
 * sock_diag, else /proc/net/tcp.  File-local functions, for the placement
 * code of libvorn and for the forwarding object vnsh_io.o, which includes
 * this header as it stands and so needs nothing of libvorn's own. */
#ifndef VORN_TCP_END_H
#define VORN_TCP_END_H

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

/* A netlink socket for tcp_end_find in *nl: 0 with the socket, or with -1
 * where sock_diag cannot be asked (a kernel without it, or a user-mode
 * emulator such as qemu-i386, which passes no such netlink socket); -1 on
 * failure. */
static int tcp_end_open(int *nl)
{
    *nl = socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
    return *nl < 0 && errno != EPROTONOSUPPORT && errno != EAFNOSUPPORT ? -1 : 0;
}

/* tcp_end_find without sock_diag: the socket's line in /proc/net/tcp,
 * which gives its state, queues, owner and inode. */
static int tcp_end_proc(const struct sockaddr_in *peer, const struct sockaddr_in *local,
                        struct inet_diag_msg *out)
{
    int fd = open("/proc/net/tcp", O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    char buf[8192];
    size_t have = 0;
    int found = 0;
    for (;;) {
        ssize_t n = read(fd, buf + have, sizeof buf - 1 - have);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            found = -1;
            break;
        }
        have += (size_t)n;
        buf[have] = 0;
        char *line = buf, *end;
        while ((end = strchr(line, '\n')) != NULL && !found) {
            *end = 0;
            unsigned la, lp, ra, rp, st, txq, rxq, uid;
            unsigned long inode;
            if (sscanf(line, "%*d: %8x:%4x %8x:%4x %2x %8x:%8x %*x:%*x %*x %u %*d %lu", &la, &lp,
                       &ra, &rp, &st, &txq, &rxq, &uid, &inode) == 9 &&
                la == peer->sin_addr.s_addr && lp == ntohs(peer->sin_port) &&
                ra == local->sin_addr.s_addr && rp == ntohs(local->sin_port)) {
                memset(out, 0, sizeof *out);
                out->idiag_family = AF_INET;
                out->idiag_state = (uint8_t)st;
                out->id.idiag_src[0] = la;
                out->id.idiag_sport = peer->sin_port;
                out->id.idiag_dst[0] = ra;
                out->id.idiag_dport = local->sin_port;
                out->idiag_rqueue = rxq;
                out->idiag_wqueue = txq;
                out->idiag_uid = uid;
                out->idiag_inode = (uint32_t)inode;
                found = 1;
            }
            line = end + 1;
        }
        if (found || n == 0)
            break;
        have -= (size_t)(line - buf);
        memmove(buf, line, have);
        if (have == sizeof buf - 1) /* no line is that long */
            have = 0;
    }
    close(fd);
    return found;
}

/* The TCP socket whose own address is peer and whose remote end is local,
 * asked of the netlink socket nl from tcp_end_open (-1: of /proc/net/tcp):
 * 1 with its record in *out; 0 when there is no such socket here; -1 when
 * it cannot be told (something else answers there, or the question
 * failed). */
static int tcp_end_find(int nl, const struct sockaddr_in *peer, const struct sockaddr_in *local,
                        struct inet_diag_msg *out)
{
    if (nl < 0)
        return tcp_end_proc(peer, local, out);
    struct {
        struct nlmsghdr nh;
        struct inet_diag_req_v2 req;
    } q;
    memset(&q, 0, sizeof q);
    q.nh.nlmsg_len = sizeof q;
    q.nh.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    q.nh.nlmsg_flags = NLM_F_REQUEST;
    q.req.sdiag_family = AF_INET;
    q.req.sdiag_protocol = IPPROTO_TCP;
    q.req.idiag_states = ~0u;
    q.req.id.idiag_src[0] = peer->sin_addr.s_addr;
    q.req.id.idiag_sport = peer->sin_port;
    q.req.id.idiag_dst[0] = local->sin_addr.s_addr;
    q.req.id.idiag_dport = local->sin_port;
    q.req.id.idiag_cookie[0] = INET_DIAG_NOCOOKIE;
    q.req.id.idiag_cookie[1] = INET_DIAG_NOCOOKIE;
    struct sockaddr_nl kernel;
    memset(&kernel, 0, sizeof kernel);
    kernel.nl_family = AF_NETLINK;
    union {
        struct nlmsghdr nh;
        char bytes[1024];
    } reply;
    ssize_t n = -1;
    if (sendto(nl, &q, sizeof q, 0, (struct sockaddr *)&kernel, sizeof kernel) ==
        (ssize_t)sizeof q) {
        /* The kernel answers within sendto: the reply is queued by now. */
        do {
            n = recv(nl, &reply, sizeof reply, MSG_DONTWAIT);
        } while (n < 0 && errno == EINTR);
    }
    /* The answer to a single look-up is one message: the socket or an error. */
    const struct nlmsghdr *h = &reply.nh;
    if (n < (ssize_t)NLMSG_LENGTH(sizeof(struct nlmsgerr)) || h->nlmsg_len > (size_t)n)
        return -1;
    if (h->nlmsg_type == NLMSG_ERROR) {
        const struct nlmsgerr *e = (const struct nlmsgerr *)NLMSG_DATA(h);
        return e->error == -ENOENT ? 0 : -1;
    }
    if (h->nlmsg_type != SOCK_DIAG_BY_FAMILY ||
        h->nlmsg_len < NLMSG_LENGTH(sizeof(struct inet_diag_msg)))
        return -1;
    const struct inet_diag_msg *m = (const struct inet_diag_msg *)NLMSG_DATA(h);
    /* Only the connection itself counts; anything else found there (a
     * listener on the peer's port, a socket of another family) says that
     * the peer is here, but not whose it is. */
    if (m->idiag_family != AF_INET || m->id.idiag_src[0] != peer->sin_addr.s_addr ||
        m->id.idiag_sport != peer->sin_port || m->id.idiag_dst[0] != local->sin_addr.s_addr ||
        m->id.idiag_dport != local->sin_port)
        return -1;
    memcpy(out, m, sizeof *out);
    return 1;
}

#endif /* VORN_TCP_END_H */
