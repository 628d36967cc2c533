/* peer.cpp - who is on the other end: local peers only, and the process that really holds a
 * connection */
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <linux/sock_diag.h>
#include <linux/unix_diag.h>
#include <netinet/in.h>
#include <poll.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "vorleni.h"

/* The kernel's option for a pidfd of a Unix-domain peer (Linux 6.5); older
 * headers lack it, older kernels refuse it. */
#ifndef SO_PEERPIDFD
#define SO_PEERPIDFD 77
#endif

/* peer_is_local tells whether the TCP peer at address peer on connection fd
 * comes from this host: a peer in 127.0.0.0/8, or one whose address is the
 * connection's own local address (a client that reached the daemon through
 * this host's own name). */
static bool peer_is_local_real(int fd, const struct sockaddr_in *peer) {
    uint32_t a = ntohl(peer->sin_addr.s_addr);
    if ((a >> 24) == 127) return true;
    /* A socket's own address stays readable after a reset. */
    struct sockaddr_in self = {};
    socklen_t sl = sizeof self;
    return getsockname(fd, reinterpret_cast<sockaddr *>(&self), &sl) == 0 &&
           peer->sin_addr.s_addr == self.sin_addr.s_addr;
}

bool (*peer_is_local)(int fd, const struct sockaddr_in *peer) = peer_is_local_real;

bool diag_verifies(unsigned state, unsigned long inode) {
    /* A socket in TIME_WAIT (or FIN_WAIT2 after its close) is the kernel's
     * own: it reports uid 0 and no inode, which would pass for root. */
    return state == 1 /* TCP_ESTABLISHED */ && inode != 0;
}

/* sock_owner asks the kernel (NETLINK_SOCK_DIAG, an exact 4-tuple lookup) for
 * the inode and owner uid of the client's end of connection fd. It returns
 * -1 when the kernel cannot tell, or when that end is no established socket
 * of a process. */
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
            if (!diag_verifies(m->idiag_state, m->idiag_inode)) return -1;
            *inode = m->idiag_inode;
            *uid = m->idiag_uid;
            return 0;
        }
    }
}

/* unix_listener_uid asks the kernel (NETLINK_SOCK_DIAG, a dump of the
 * listening Unix-domain sockets with their names and owners, which any user
 * may read) who owns the listener bound to name, len bytes as in sun_path
 * (an abstract name starts with its NUL byte). It returns UID_UNKNOWN when
 * the kernel cannot tell or no listener has that name. */
static uid_t unix_listener_uid(const char *name, size_t len) {
    int nl = socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
    if (nl < 0) return UID_UNKNOWN;
    struct {
        struct nlmsghdr nlh;
        struct unix_diag_req r;
    } rq = {};
    rq.nlh.nlmsg_len = sizeof rq;
    rq.nlh.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    rq.nlh.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    rq.r.sdiag_family = AF_UNIX;
    rq.r.udiag_states = 1u << 10; /* TCP_LISTEN, the state of a listening Unix socket */
    rq.r.udiag_show = UDIAG_SHOW_NAME | UDIAG_SHOW_UID;
    struct sockaddr_nl kernel = {};
    kernel.nl_family = AF_NETLINK;
    uid_t found = UID_UNKNOWN;
    bool done =
        sendto(nl, &rq, sizeof rq, 0, reinterpret_cast<sockaddr *>(&kernel), sizeof kernel) < 0;
    alignas(struct nlmsghdr) char buf[16384];
    while (!done) {
        ssize_t n = recv(nl, buf, sizeof buf, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        for (auto *h = reinterpret_cast<struct nlmsghdr *>(buf); NLMSG_OK(h, size_t(n));
             h = NLMSG_NEXT(h, n)) {
            if (h->nlmsg_type == NLMSG_ERROR || h->nlmsg_type == NLMSG_DONE) done = true;
            if (done) break;
            if (h->nlmsg_type != SOCK_DIAG_BY_FAMILY || found != UID_UNKNOWN) continue;
            /* The attributes follow the record: the name, then the owner. */
            auto *m = static_cast<struct unix_diag_msg *>(NLMSG_DATA(h));
            int alen = int(h->nlmsg_len) - int(NLMSG_LENGTH(sizeof *m));
            bool named = false;
            uid_t uid = UID_UNKNOWN;
            for (auto *a = reinterpret_cast<struct rtattr *>(m + 1); RTA_OK(a, alen);
                 a = RTA_NEXT(a, alen)) {
                if (a->rta_type == UNIX_DIAG_NAME)
                    named = RTA_PAYLOAD(a) == len && memcmp(RTA_DATA(a), name, len) == 0;
                if (a->rta_type == UNIX_DIAG_UID && RTA_PAYLOAD(a) >= sizeof(uint32_t))
                    memcpy(&uid, RTA_DATA(a), sizeof(uint32_t));
            }
            if (named) found = uid;
        }
    }
    close(nl);
    return found;
}

std::string unix_listener_owner(const char *name, size_t len) {
    uid_t uid = unix_listener_uid(name, len);
    if (uid == UID_UNKNOWN) return "unknown user";
    struct passwd pw, *known = nullptr;
    char buf[4096];
    std::string id = "uid " + std::to_string(uid);
    if (getpwuid_r(uid, &pw, buf, sizeof buf, &known) == 0 && known)
        return std::string("user ") + known->pw_name + " (" + id + ")";
    return "user " + id;
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

/* status_uids reads the real, effective, saved and file-system user ids of
 * process pid, in that order, from its status. False when they cannot be
 * read. */
static bool status_uids(pid_t pid, uid_t ids[4]) {
    char buf[2048];
    if (read_proc(pid, "status", buf, sizeof buf) <= 0) return false;
    const char *p = strstr(buf, "\nUid:");
    if (!p) return false;
    p += 5;
    for (int i = 0; i < 4; i++) {
        char *end;
        unsigned long id = strtoul(p, &end, 10);
        if (end == p) return false;
        ids[i] = uid_t(id);
        p = end;
    }
    return true;
}

/* runs_as tells whether process pid has uid among its real, effective, saved
 * and file-system user ids. */
static bool runs_as(pid_t pid, uid_t uid) {
    uid_t ids[4];
    return status_uids(pid, ids) && std::find(ids, ids + 4, uid) != ids + 4;
}

bool acts_only_as(pid_t pid, uid_t uid) {
    uid_t ids[4];
    if (uid == UID_UNKNOWN || !status_uids(pid, ids)) return false;
    /* The real id (the first) changes with no exec, and a setuid client
     * connects with an effective id that is not its real one. */
    return ids[1] == uid && ids[2] == uid && ids[3] == uid;
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
    /* A socket is owned by the user that made it; a process that acts as
     * another user cannot have made it, or has since exec'd a program that
     * runs as someone else: it must not ride on the socket. Its descriptors
     * are not searched: one look at the claimed process, however many
     * descriptors it has, is all that a peer claiming somebody else's pid
     * costs. */
    if (!acts_only_as(pid, uid)) return -1;
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

/* start_ticks gives the start time of process pid in clock ticks since boot,
 * or -1 when it cannot be read. */
long long start_ticks(pid_t pid) {
    char buf[1024];
    if (read_proc(pid, "stat", buf, sizeof buf) <= 0) return -1;
    /* The command may hold anything, ')' included: the fields follow the last. */
    const char *p = strrchr(buf, ')');
    for (int field = 2; p && field < 22; field++) p = strchr(p + 1, ' ');
    return p ? strtoll(p + 1, nullptr, 10) : -1;
}

/* peer_pidfd_real asks the kernel for a pidfd of the process that connected
 * to Unix socket fd (SO_PEERPIDFD, Linux 6.5); -1 where it has none. */
static int peer_pidfd_real(int fd) {
    int pfd = -1;
    socklen_t len = sizeof pfd;
    return getsockopt(fd, SOL_SOCKET, SO_PEERPIDFD, &pfd, &len) == 0 ? pfd : -1;
}

int (*peer_pidfd)(int fd) = peer_pidfd_real;

/* peer_credentials: SO_PEERCRED names the process that connected, and
 * SO_PEERPIDFD holds that very process. Where the kernel has no
 * SO_PEERPIDFD (Debian 12's 6.1, for one), a pidfd is opened on the pid, and
 * a process that started after now cannot be the one that connected before:
 * its pid was reused. */
int peer_credentials(int fd, pid_t *pid, uid_t *uid, int *pidfd) {
    struct ucred cr = {};
    socklen_t len = sizeof cr;
    *pidfd = -1;
    if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cr, &len) != 0 || cr.pid <= 0) return -1;
    *pid = cr.pid;
    *uid = cr.uid;
    int pfd = peer_pidfd(fd);
    if (pfd >= 0) {
        *pidfd = pfd;
        return 0;
    }
    struct timespec now;
    clock_gettime(CLOCK_BOOTTIME, &now);
    long long hz = sysconf(_SC_CLK_TCK);
    long long now_ticks = (now.tv_sec * hz) + (now.tv_nsec / (1000000000 / hz)) + 1;
    pfd = int(syscall(SYS_pidfd_open, cr.pid, 0));
    if (pfd < 0) return -1;
    /* A process of another user that got the pid is not the connector
     * either, whenever it started. */
    long long started = start_ticks(cr.pid);
    if (started < 0 || started > now_ticks || !runs_as(cr.pid, cr.uid)) {
        close(pfd);
        return -1;
    }
    *pidfd = pfd;
    return 0;
}

/* peer_uid_real names the owner of the socket of a TCP peer on this host,
 * from the kernel's socket table (a Unix peer's comes with its credentials);
 * UID_UNKNOWN when the kernel cannot tell. */
static uid_t peer_uid_real(int fd) {
    unsigned long inode;
    uid_t uid;
    return sock_owner(fd, &inode, &uid) == 0 ? uid : UID_UNKNOWN;
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
