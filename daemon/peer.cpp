/* peer.cpp - who is on the other end: local peers only, and the process that really holds a
 * connection */
#include <cerrno>
#include <cstdio>
#include <cstring>

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "vorleni.h"

/* peer_is_local tells whether connection fd comes from this host: a peer in
 * 127.0.0.0/8, or one whose address is the connection's own local address (a
 * client that reached the daemon through this host's own name). */
static bool peer_is_local_real(int fd) {
    struct sockaddr_in peer = {}, self = {};
    socklen_t pl = sizeof peer, sl = sizeof self;
    if (getpeername(fd, reinterpret_cast<sockaddr *>(&peer), &pl) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr *>(&self), &sl) != 0)
        return false;
    if (peer.sin_family != AF_INET) return false;
    uint32_t a = ntohl(peer.sin_addr.s_addr);
    return (a >> 24) == 127 || peer.sin_addr.s_addr == self.sin_addr.s_addr;
}

bool (*peer_is_local)(int fd) = peer_is_local_real;

/* sock_owner asks the kernel (NETLINK_SOCK_DIAG, an exact 4-tuple lookup) for
 * the inode and owner uid of the client's end of connection fd. It returns
 * -1 when the kernel cannot tell. */
static int sock_owner(int fd, unsigned long *inode, uid_t *uid) {
    static int nl = -1;
    if (nl < 0) nl = socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
    if (nl < 0) return -1;
    struct sockaddr_in peer = {}, self = {};
    socklen_t pl = sizeof peer, sl = sizeof self;
    if (getpeername(fd, reinterpret_cast<sockaddr *>(&peer), &pl) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr *>(&self), &sl) != 0)
        return -1;
    struct {
        struct nlmsghdr nlh;
        struct inet_diag_req_v2 r;
    } rq = {};
    rq.nlh.nlmsg_len = sizeof rq;
    rq.nlh.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    rq.nlh.nlmsg_flags = NLM_F_REQUEST;
    rq.r.sdiag_family = AF_INET;
    rq.r.sdiag_protocol = IPPROTO_TCP;
    rq.r.idiag_states = ~0u;
    /* The client's socket: its source is our peer, its destination is us. */
    rq.r.id.idiag_sport = peer.sin_port;
    rq.r.id.idiag_dport = self.sin_port;
    rq.r.id.idiag_src[0] = peer.sin_addr.s_addr;
    rq.r.id.idiag_dst[0] = self.sin_addr.s_addr;
    rq.r.id.idiag_cookie[0] = INET_DIAG_NOCOOKIE;
    rq.r.id.idiag_cookie[1] = INET_DIAG_NOCOOKIE;
    struct sockaddr_nl kernel = {};
    kernel.nl_family = AF_NETLINK;
    if (sendto(nl, &rq, sizeof rq, 0, reinterpret_cast<sockaddr *>(&kernel), sizeof kernel) < 0)
        return -1;
    alignas(struct nlmsghdr) char buf[8192];
    for (;;) {
        ssize_t n = recv(nl, buf, sizeof buf, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return -1;
        for (auto *h = reinterpret_cast<struct nlmsghdr *>(buf); NLMSG_OK(h, size_t(n));
             h = NLMSG_NEXT(h, n)) {
            if (h->nlmsg_type == NLMSG_ERROR || h->nlmsg_type == NLMSG_DONE) return -1;
            if (h->nlmsg_type != SOCK_DIAG_BY_FAMILY) continue;
            auto *m = static_cast<struct inet_diag_msg *>(NLMSG_DATA(h));
            *inode = m->idiag_inode;
            *uid = m->idiag_uid;
            return 0;
        }
    }
}

/* holds_socket tells whether process pid has the socket of inode among its
 * descriptors; -1 when its descriptors cannot be read (no privilege). */
static int holds_socket(pid_t pid, unsigned long inode) {
    char path[48];
    snprintf(path, sizeof path, "/proc/%d/fd", int(pid));
    DIR *d = opendir(path);
    if (!d) return errno == EACCES || errno == EPERM ? -1 : 0;
    char want[40];
    int wl = snprintf(want, sizeof want, "socket:[%lu]", inode);
    int found = 0;
    while (struct dirent *e = readdir(d)) {
        if (e->d_name[0] == '.') continue;
        char target[64];
        ssize_t n = readlinkat(dirfd(d), e->d_name, target, sizeof target);
        if (n == wl && memcmp(target, want, size_t(wl)) == 0) {
            found = 1;
            break;
        }
    }
    closedir(d);
    return found;
}

/* peer_verify checks that process pid really holds the other end of
 * connection fd: the kernel names the client socket's inode, and the socket
 * must be among pid's descriptors. Where those cannot be read (the daemon is
 * not privileged), the socket's owner must be pid's owner. On success it
 * returns 0 and a pidfd of the process in *pidfd (or -1 when the kernel has
 * none), through which signals reach exactly this process. */
static int peer_verify_real(int fd, pid_t pid, int *pidfd) {
    *pidfd = -1;
    if (pid <= 0) return -1;
    unsigned long inode;
    uid_t uid;
    if (sock_owner(fd, &inode, &uid) != 0) return -1;
    /* Held before the check, so that a pid reused afterwards is never the
     * one signalled. */
    int pfd = int(syscall(SYS_pidfd_open, pid, 0));
    int held = holds_socket(pid, inode);
    if (held < 0) {
        char path[32];
        snprintf(path, sizeof path, "/proc/%d", int(pid));
        struct stat st;
        held = stat(path, &st) == 0 && st.st_uid == uid;
    }
    if (held && pfd >= 0) {
        /* The process checked must still be the one the pidfd names. */
        struct pollfd p = {pfd, POLLIN, 0};
        if (poll(&p, 1, 0) != 0) held = 0;
    }
    if (!held) {
        if (pfd >= 0) close(pfd);
        return -1;
    }
    *pidfd = pfd;
    return 0;
}

int (*peer_verify)(int fd, pid_t pid, int *pidfd) = peer_verify_real;

/* owner_signal_real sends sig to the verified process of record ps, never to
 * a pid that may have been reused, never to a group. */
static int owner_signal_real(QNX_PSTATE *ps, int sig) {
    if (ps->pidfd < 0) return -1;
    return int(syscall(SYS_pidfd_send_signal, ps->pidfd, sig, nullptr, 0));
}

int (*owner_signal)(QNX_PSTATE *ps, int sig) = owner_signal_real;

/* peer_uid_real names the user on the other end of connection fd: from
 * SO_PEERCRED for a Unix socket, from the kernel's socket table for a TCP peer
 * on this host. A remote peer, or one the kernel cannot tell, is
 * UID_UNKNOWN. */
static uid_t peer_uid_real(int fd) {
    struct ucred cred = {};
    socklen_t cl = sizeof cred;
    struct sockaddr_storage sa = {};
    socklen_t sl = sizeof sa;
    if (getsockname(fd, reinterpret_cast<sockaddr *>(&sa), &sl) == 0 && sa.ss_family == AF_UNIX)
        return getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &cl) == 0 ? cred.uid : UID_UNKNOWN;
    unsigned long inode;
    uid_t uid;
    if (!peer_is_local(fd) || sock_owner(fd, &inode, &uid) != 0) return UID_UNKNOWN;
    return uid;
}

uid_t (*peer_uid)(int fd) = peer_uid_real;

/* pid_uid_real names the owner of process pid, UID_UNKNOWN when it has none
 * (it does not exist). */
static uid_t pid_uid_real(pid_t pid) {
    char path[32];
    snprintf(path, sizeof path, "/proc/%d", int(pid));
    struct stat st;
    return pid > 0 && stat(path, &st) == 0 ? st.st_uid : UID_UNKNOWN;
}

uid_t (*pid_uid)(pid_t pid) = pid_uid_real;
