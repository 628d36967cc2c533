/* conn.cpp - client connections: accepting, reading whole requests, the framing checks, dispatch */
#include <cerrno>
#include <cstdio>
#include <cstring>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "vorleni.h"

/* LogRateScope limits the error lines logged while it lives to the share of
 * source r: one peer cannot fill the disk. */
struct LogRateScope {
    PGLOB *pglob;
    LogRateScope(PGLOB *p, LOG_RATE *r) : pglob(p) { p->log_rate = r; }
    ~LogRateScope() { pglob->log_rate = nullptr; }
    LogRateScope(const LogRateScope &) = delete;
    LogRateScope &operator=(const LogRateScope &) = delete;
};

/* A descriptor held in reserve: when the process runs out of descriptors it
 * is given up for a moment to accept and close the connection that waits,
 * instead of letting the listener report it ready forever. */
static int spare_fd = -1;

/* peer_name describes a peer for the log: its address, or the pid the kernel
 * gave for a Unix peer. */
static const char *peer_name(const struct sockaddr_storage &name, pid_t pid) {
    static char text[64];
    if (name.ss_family == AF_UNIX) {
        snprintf(text, sizeof text, "pid %d (unix)", int(pid));
    } else {
        const auto &in = reinterpret_cast<const struct sockaddr_in &>(name);
        snprintf(text, sizeof text, "%s", inet_ntoa(in.sin_addr));
    }
    return text;
}

/* conn_accept accepts every connection waiting on the listening socket
 * listener. Beyond the connection limit new ones are closed at once and
 * logged. Who the peer is gets settled here, once, from the address the
 * accept gave: a peer that resets later cannot turn into a remote one taken
 * on trust. A Unix peer whose credentials the kernel cannot give is closed. */
void conn_accept(PGLOB *pglob, int listener) {
    LogRateScope scope(pglob, &pglob->accept_rate);
    if (spare_fd < 0) spare_fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
    for (;;) {
        /* The kernel fails the accept of a connection whose peer address it
         * cannot give (reset meanwhile) with ECONNABORTED. */
        struct sockaddr_storage clientname = {};
        socklen_t size = sizeof clientname;
        int fd = accept4(listener, reinterpret_cast<sockaddr *>(&clientname), &size,
                         SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK) return;
            if (errno == EINTR || errno == ECONNABORTED) continue;
            vlog(LV_ERROR, "Err: server (accept): %d(%s)", errno, strerror(errno));
            if ((errno == EMFILE || errno == ENFILE) && spare_fd >= 0) {
                close(spare_fd);
                int victim = accept(listener, nullptr, nullptr);
                if (victim >= 0) close(victim);
                spare_fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
                continue;
            }
            return;
        }
        const bool unix_peer = clientname.ss_family == AF_UNIX;
        pid_t cpid = 0;
        uid_t cuid = uid_t(-1);
        int cpidfd = -1;
        bool local = true;
        char refusal[64] = "";
        if (pglob->nconns >= pglob->max_connections)
            snprintf(refusal, sizeof refusal, "%d connections", pglob->nconns);
        else if (unix_peer && peer_credentials(fd, &cpid, &cuid, &cpidfd) != 0)
            snprintf(refusal, sizeof refusal, "the kernel gives no credentials");
        else if (!unix_peer && clientname.ss_family != AF_INET)
            snprintf(refusal, sizeof refusal, "not an IPv4 peer");
        else if (!unix_peer &&
                 !(local = peer_is_local(fd, reinterpret_cast<sockaddr_in *>(&clientname))))
            snprintf(refusal, sizeof refusal, "not a local peer");
        if (refusal[0]) {
            if (pglob->nconns >= pglob->max_connections)
                pglob->stats.refused_connections++;
            else
                pglob->stats.refused_verification++;
            vlog(LV_ERROR, "Err: connection from %s refused: %s", peer_name(clientname, cpid),
                 refusal);
            if (cpidfd >= 0) close(cpidfd);
            close(fd);
            continue;
        }
        /* One user may not take every place: the others must still get in. */
        uid_t uid = unix_peer ? cuid : local ? peer_uid(fd) : UID_UNKNOWN;
        int cap = user_connection_cap(pglob);
        auto uc = pglob->user_conns.find(uid);
        if (uc != pglob->user_conns.end() && uc->second >= cap) {
            pglob->stats.refused_connections++;
            vlog(LV_ERROR, "Err: connection from %s refused: user %d has %d connections",
                 peer_name(clientname, cpid), int(uid), uc->second);
            if (cpidfd >= 0) close(cpidfd);
            close(fd);
            continue;
        }
        if (unix_peer)
            vlog(LV_IO, "server connect from pid %d (unix)", int(cpid));
        else
            vlog(LV_IO, "server connect from host %s, port %d", peer_name(clientname, cpid),
                 ntohs(reinterpret_cast<sockaddr_in *>(&clientname)->sin_port));
        int one = 1;
        if (!unix_peer) setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        conn_add(pglob, fd, local, uid);
        QNX_CONN *c = pglob->conns[fd];
        c->unix_peer = unix_peer;
        c->cred_pid = cpid;
        c->cred_uid = cuid;
        c->cred_pidfd = cpidfd;
        /* A client sends its first request as soon as its connect returns:
         * it is usually there already, and served without another wait. */
        conn_readable(pglob, fd);
    }
}

/* conn_add makes a connection of socket fd, which the loop reads from now on;
 * local says whether its peer is on this host, uid who it is: its connections
 * and message memory count against that user. */
void conn_add(PGLOB *pglob, int fd, bool local, uid_t uid) {
    if (size_t(fd) >= pglob->conns.size()) {
        size_t n = pglob->conns.size() ? pglob->conns.size() : 1024;
        while (n <= size_t(fd)) n *= 2;
        pglob->conns.resize(n, nullptr);
    }
    auto *c = new QNX_CONN;
    c->fd = fd;
    c->local = local;
    c->serial = pglob->next_serial++;
    c->uid = c->in.owner = c->out.owner = uid;
    pglob->user_conns[uid]++;
    pglob->conns[fd] = c;
    struct timeval deadline = now_clock(CLOCK_MONOTONIC);
    deadline.tv_sec += pglob->first_request_ms / 1000;
    deadline.tv_usec += (pglob->first_request_ms % 1000) * 1000;
    tv_normalise(deadline);
    pglob->first_waits.push_back({deadline, fd, c->serial});
    pglob->nconns++;
    sockadd(fd);
}

/* conn_close closes connection fd and forgets it; the process record it was
 * bound to is left without a connection, nothing more. */
void conn_close(PGLOB *pglob, int fd) {
    if (fd < 0 || size_t(fd) >= pglob->conns.size() || !pglob->conns[fd]) return;
    sockforget(fd);
    close(fd);
    QNX_CONN *c = pglob->conns[fd];
    if (c->cred_pidfd >= 0) close(c->cred_pidfd);
    if (c->ps) c->ps->fd = -1;
    auto uc = pglob->user_conns.find(c->uid);
    if (uc != pglob->user_conns.end() && --uc->second <= 0) pglob->user_conns.erase(uc);
    delete c;
    pglob->conns[fd] = nullptr;
    pglob->nconns--;
}

/* conn_ended handles the end of connection c: the process bound to it is
 * removed for the reason why; a connection that never got that far is only
 * closed. */
static void conn_ended(PGLOB *pglob, QNX_CONN *c, REMOVE_WHY why) {
    if (c->ps)
        cleanup_prg(pglob, c->ps->pid, why); /* closes c */
    else
        conn_close(pglob, c->fd);
}

/* conn_reap_dead removes the connections whose peers could not take their
 * answers; it runs between requests, never inside one. */
void conn_reap_dead(PGLOB *pglob) {
    while (!pglob->dead_fds.empty()) {
        int fd = pglob->dead_fds.back();
        pglob->dead_fds.pop_back();
        QNX_CONN *c = size_t(fd) < pglob->conns.size() ? pglob->conns[fd] : nullptr;
        /* A connection is dead for unread answers over the bound or for a
         * failed write, which means the peer is gone. */
        if (c && c->dead) conn_ended(pglob, c, c->unread ? RM_UNREAD : RM_DISCONNECT);
    }
}

/* conn_expire_first closes the connections that have not been bound, by a
 * first request the daemon could verify, by their deadline, and gives the earliest deadline still
 * to come in *next; false when no connection waits for its first. The deadlines come in the order
 * the connections were accepted, so only the oldest are looked at. */
bool conn_expire_first(PGLOB *pglob, const struct timeval &now, struct timeval *next) {
    while (!pglob->first_waits.empty()) {
        const PGLOB::FIRST_WAIT w = pglob->first_waits.front();
        QNX_CONN *c = size_t(w.fd) < pglob->conns.size() ? pglob->conns[w.fd] : nullptr;
        if (!c || c->serial != w.serial || c->ps) {
            pglob->first_waits.pop_front();
            continue;
        }
        if (!tv_le(w.deadline, now)) {
            *next = w.deadline;
            return true;
        }
        pglob->first_waits.pop_front();
        vlog(LV_ERROR, "Err: connection fd %d closed: no request within %d ms", w.fd,
             pglob->first_request_ms);
        conn_ended(pglob, c, RM_DISCONNECT);
    }
    return false;
}

/* var_bound is the most a request of type typ may have after its header:
 * the held pids of an MT_RESTORE are few, a message's blocks as many as
 * --max-request allows. */
static uint32_t var_bound(PGLOB *pglob, uint16_t typ) {
    return typ == MT_RESTORE ? uint32_t(sizeof(QNX_MSG_RESTORE) + 4 * VORLEN_MAX_RESTORE_HELD)
                             : pglob->max_request;
}

/* process_undef answers the unassigned type 0 with ESRCH. */
void process_undef(PGLOB *, QNX_CONN *c, REQUEST &) {
    send_status(c->fd, ESRCH);
}

/* peer_is_pid tells whether pid is the process on connection c, and gives a
 * pidfd of it in *pidfd (-1 when the kernel has none). A Unix peer is the
 * process the kernel named at accept, while it lives and acts as the user it
 * connected as: a process that exec'd a setuid program since is someone else
 * now, and whoever holds the socket must not speak for it. A local TCP peer
 * must hold the other end among its descriptors, and act as its owner. */
static bool peer_is_pid(QNX_CONN *c, pid_t pid, int *pidfd) {
    *pidfd = -1;
    if (!c->unix_peer) return peer_verify(c->fd, pid, pidfd) == 0;
    if (pid != c->cred_pid || c->cred_pidfd < 0) return false;
    if (!acts_only_as(pid, c->cred_uid)) return false;
    /* Alive after the look at its status: the status was its own. */
    struct pollfd p = {c->cred_pidfd, POLLIN, 0};
    if (poll(&p, 1, 0) != 0) return false; /* it has ended */
    *pidfd = c->cred_pidfd;
    c->cred_pidfd = -1;
    return true;
}

/* bind_connection binds connection c to the record of pid, the process that
 * sent its first request, which must really be that process (every peer is
 * of this host). It returns false, binding nothing, for a pid that is not the
 * peer, cannot be a process (<= 0) or does not exist. */
static bool bind_connection(PGLOB *pglob, QNX_CONN *c, pid_t pid) {
    const int fd = c->fd;
    int pidfd = -1;
    if (pid <= 0 || !c->local || !peer_is_pid(c, pid, &pidfd)) {
        pglob->stats.refused_verification++;
        vlog(LV_ERROR, "Err: connection fd %d: pid %d is not the process on it", fd, pid);
        /* A record of that pid without a connection whose process is gone
         * goes now, not at the next sweep: its partners are released. */
        QNX_PSTATE *stale = pid > 0 ? find_process(pglob, pid, FIND_ONLY) : nullptr;
        if (stale && !stale->vc && stale->fd < 0 && !pid_alive(pid))
            cleanup_prg(pglob, pid, RM_REFUSED);
        return false;
    }
    restore_bind(pglob, pid);
    QNX_PSTATE *ps = find_process(pglob, pid, c->unix_peer ? FIND_OR_KERNEL : FIND_OR_LOCAL);
    if (!ps || ps->vc) {
        pglob->stats.refused_verification++;
        if (pidfd >= 0) close(pidfd);
        vlog(LV_ERROR, "Err: connection fd %d: no record for pid %d", fd, pid);
        return false;
    }
    /* One connection per record: a newer connection of the same process
     * takes the record over, and the older one is unbound, so no socket ever
     * points at a record that is gone. An older one never takes it from a
     * newer: a socket made before the process changed (and handed to
     * another) stays out. */
    QNX_CONN *holder = ps->fd >= 0 && ps->fd != fd ? pglob->conns[ps->fd] : nullptr;
    if (holder && holder->serial > c->serial) {
        if (pidfd >= 0) close(pidfd);
        vlog(LV_ERROR, "Err: connection fd %d: pid %d is held by a later connection", fd, pid);
        return false;
    }
    if (holder) holder->ps = nullptr;
    if (pidfd >= 0) process_watch(pglob, ps, pidfd, c->unix_peer);
    ps->fd = fd;
    c->ps = ps;
    return true;
}

/* refuse_connection closes connection c, whose first request claimed a pid
 * it could not prove, once the request is done: the requests it may have sent
 * after that one are never looked at, so a liar cannot make the daemon search
 * the process table for each. */
static void refuse_connection(PGLOB *pglob, QNX_CONN *c) {
    if (!c || c->dead) return;
    c->dead = true;
    pglob->dead_fds.push_back(c->fd);
}

/* dispatch binds connection c on its first request and calls the handler of
 * row jt for the complete request that lies at req. A kind that is never
 * answered (JT_UNANSWERED: a trigger from a signal handler of a process whose
 * request may be outstanding) is carried out all the same, and nothing is
 * ever written for it, not even when the connection cannot be bound. */
static void dispatch(PGLOB *pglob, QNX_CONN *c, const JTABLE *jt, const unsigned char *req,
                     size_t var_len) {
    const bool unanswered = jt->serve & JT_UNANSWERED;
    REQUEST rq;
    memcpy(&rq.hdr, req, sizeof rq.hdr); /* requests lie unaligned in the input buffer */
    memcpy(rq.fixed, req + sizeof rq.hdr, size_t(jt->addlen));
    rq.row = jt;
    rq.var = req + sizeof rq.hdr + jt->addlen;
    rq.var_len = var_len;

    if (!c->ps && !bind_connection(pglob, c, rq.hdr.from_pid)) {
        /* Refused once and closed: the requests it may have sent after this
         * one are never looked at, so a liar cannot make the daemon search
         * the process table for each. */
        if (!unanswered) send_status(c->fd, ESRCH);
        refuse_connection(pglob, c);
        return;
    }
    const QNX_PSTATE *ps = c->ps;
    /* Requests are served for the process bound to the connection, whatever
     * pid a later header claims: the owner checks of names, proxies and
     * timers compare with it, so no client acts on another's. */
    rq.hdr.from_pid = ps->pid;
    /* A process has one request outstanding at a time. Another one while it
     * waits would overwrite the message and queue entry of the first: it is
     * refused, and the first keeps its one answer. A kind that is never
     * answered touches neither, so it is carried out. The log names the
     * type, as the framing does. */
    if (!unanswered && (ps->state != STATE_READY || ps->sleeping)) {
        refuse(c, EBUSY, "%s from %d//%d while its request is unanswered: EBUSY",
               pjumptable[jt->typ].name, ps->nid, ps->pid);
        return;
    }
    jt->pfunc(pglob, c, rq);
}

/* serve_header_only serves the header alone at the head of c's input, of a
 * kind that needs no binding (the interrupt mark). */
static void serve_header_only(PGLOB *pglob, QNX_CONN *c, const JTABLE *jt) {
    REQUEST rq;
    memcpy(&rq.hdr, c->in.head(), sizeof rq.hdr);
    rq.row = jt;
    rq.var = nullptr;
    rq.var_len = 0;
    c->in.consume(sizeof rq.hdr);
    jt->pfunc(pglob, c, rq);
}

/* serve_buffered serves every complete request in the input buffer of c. */
static void serve_buffered(PGLOB *pglob, QNX_CONN *c) {
    int fd = c->fd;
    while (!c->dead && pglob->conns[fd] == c) {
        if (c->drop > 0) {
            size_t n = c->in.used() < c->drop ? c->in.used() : c->drop;
            c->in.consume(n);
            c->drop -= n;
            if (c->drop > 0) return;
            send_status(fd, c->drop_retcode);
            if (c->refused) refuse_connection(pglob, c);
            continue;
        }
        if (c->in.used() < sizeof(QNX_MSG_HDR)) return;
        QNX_MSG_HDR h;
        memcpy(&h, c->in.head(), sizeof h);
        vlog(LV_IO, "read(%d,...,%d(%s))", fd, int(sizeof h), "QNX_MSG_HDR");
        const JTABLE *jt = jtable_row(h);
        if (jt && (jt->serve & JT_HEADER_ONLY)) {
            serve_header_only(pglob, c, jt);
            continue;
        }
        if (!jt) {
            /* The peer, as far as it is known: its process once bound. */
            const QNX_PSTATE *ps = c->ps;
            if (ps)
                vlog(LV_ERROR, "Err: undefined message %d from %d//%d (fd %d)", h.ev.typ, ps->nid,
                     ps->pid, fd);
            else
                vlog(LV_ERROR, "Err: undefined message %d from fd %d", h.ev.typ, fd);
            c->in.consume(sizeof h);
            send_status(fd, ESRCH);
            continue;
        }
        /* The framing's lines name the type. */
        const char *type = pjumptable[h.ev.typ].name;
        uint32_t addlen = uint32_t(jt->addlen);
        if (h.msg_len < addlen) {
            /* A header whose length cannot hold the fixed body: its msg_len
             * bytes are discarded and the connection stays in step. */
            size_t total = sizeof h + h.msg_len;
            if (c->in.used() < total) return;
            vlog(LV_TRACE, "process_message %d(%s): len=%d, (incl. data %d)", h.ev.typ, type,
                 int(h.msg_len), int(h.msg_len - addlen));
            vlog(LV_ERROR, "Err: Error in message-Header");
            c->in.consume(total);
            send_status(fd, EINVAL);
            continue;
        }
        size_t var = VORLEN_HAS_TAIL(h.ev.typ) ? h.msg_len - addlen : 0;
        if (VORLEN_HAS_TAIL(h.ev.typ) && h.msg_len > var_bound(pglob, h.ev.typ)) {
            /* Never buffered: read and dropped as it arrives, then refused as
             * a message whose buffer could not be had. */
            vlog(LV_ERROR, "Err: %s of %u bytes from %d//%d over the limit of %u: dropped", type,
                 h.msg_len, h.from_nid, h.from_pid, var_bound(pglob, h.ev.typ));
            c->drop = uint64_t(sizeof h) + h.msg_len;
            c->drop_retcode = VORLEN_CARRIES_BLOCKS(h.ev.typ) ? EFAULT : EINVAL;
            continue;
        }
        if (var > 0 && !c->ps && !bind_connection(pglob, c, h.from_pid)) {
            /* A connection is bound before it may have the daemon buffer
             * anything beyond a header and a fixed body: a stranger's data
             * is read and dropped, then the stranger is refused once and
             * closed. */
            c->drop = uint64_t(sizeof h) + h.msg_len;
            c->drop_retcode = ESRCH;
            c->refused = true;
            continue;
        }
        size_t total = sizeof h + addlen + var;
        /* The buffer grows with the bytes that arrive (conn_readable), never
         * to the length a header announces. */
        if (c->in.used() < total) return;
        vlog(LV_TRACE, "process_message %d(%s): len=%d, (incl. data %d)", h.ev.typ, type,
             int(h.msg_len), int(h.msg_len - addlen));
        if (addlen > 0) vlog(LV_IO, "read(%d,...,%d(%s))", fd, int(addlen), "second header");
        dispatch(pglob, c, jt, c->in.head(), var);
        /* The handler may have removed nothing but answered anyone; the
         * request's bytes are ours to drop now. */
        if (pglob->conns[fd] != c) return;
        c->in.consume(total);
        conn_reap_dead(pglob);
        if (pglob->conns[fd] != c) return;
    }
}

/* in_room is how many more bytes the input buffer of c should have room
 * for before the next read: as many as it holds already (so it at most
 * doubles), but no more than the request under way still lacks, and BUF_MIN at
 * least. */
static size_t in_room(QNX_CONN *c) {
    size_t room = c->in.used() > BUF_MIN ? c->in.used() : BUF_MIN;
    if (c->drop > 0 || c->in.used() < sizeof(QNX_MSG_HDR)) return BUF_MIN;
    QNX_MSG_HDR h;
    memcpy(&h, c->in.head(), sizeof h);
    const JTABLE *jt = jtable_row(h);
    if (!jt) return BUF_MIN;
    size_t total = sizeof h + h.msg_len;
    size_t fixed = sizeof h + size_t(jt->addlen);
    if (!VORLEN_HAS_TAIL(h.ev.typ) && total < fixed) total = fixed;
    size_t lacking = total > c->in.used() ? total - c->in.used() : 0;
    if (lacking < room) room = lacking;
    return room < BUF_MIN ? BUF_MIN : room;
}

/* refuse_partial drops the request under way in the input buffer of c, which
 * cannot grow: no memory, or the daemon's or its user's bound would be
 * passed. Its bytes are read and dropped as an oversized request's are, and
 * it is answered EFAULT (a Send or Reply) or EINVAL. Without even a header the connection is
 * closed. Returns false when it was. */
static bool refuse_partial(PGLOB *pglob, QNX_CONN *c) {
    if (c->drop > 0) { /* dropping already needs no room: make some */
        c->drop -= c->in.used() < c->drop ? c->in.used() : c->drop;
        c->in.clear();
        return true;
    }
    if (c->in.used() < sizeof(QNX_MSG_HDR)) {
        vlog(LV_ERROR, "Err: connection fd %d: no memory for a request", c->fd);
        conn_ended(pglob, c, RM_DISCONNECT);
        return false;
    }
    QNX_MSG_HDR h;
    memcpy(&h, c->in.head(), sizeof h);
    bool block = VORLEN_CARRIES_BLOCKS(h.ev.typ);
    vlog(LV_ERROR,
         "Err: request of %u bytes on fd %d: no memory (%zu of %zu bytes in use, user "
         "%d holds %zu): dropped",
         h.msg_len, c->fd, pglob->mem_used, pglob->max_memory, int(c->uid),
         mem_held(pglob, c->uid));
    c->drop = uint64_t(sizeof h) + h.msg_len;
    c->drop_retcode = block ? EFAULT : EINVAL;
    return true;
}

/* conn_readable reads what connection fd has sent (one read) and serves each
 * request that is now complete. End of stream or an error removes the
 * process bound to the connection. */
void conn_readable(PGLOB *pglob, int fd) {
    if (fd < 0 || size_t(fd) >= pglob->conns.size()) return;
    QNX_CONN *c = pglob->conns[fd];
    if (!c) return;
    if (c->dead) {
        conn_reap_dead(pglob);
        return;
    }
    /* The record c may go while it is served: the scope then limits by a
     * copy of its count. */
    LOG_RATE rate = c->rate;
    LogRateScope scope(pglob, &rate);
    struct RateBack {
        PGLOB *pglob;
        int fd;
        QNX_CONN *c;
        LOG_RATE *rate;
        ~RateBack() {
            if (size_t(fd) < pglob->conns.size() && pglob->conns[fd] == c) c->rate = *rate;
        }
    } back{pglob, fd, c, &rate};
    if (!c->in.reserve_tail(in_room(c), true)) {
        if (!refuse_partial(pglob, c)) return;
        serve_buffered(pglob, c);
        if (pglob->conns[fd] != c || c->dead) return;
        if (!c->in.reserve_tail(1, false)) {
            /* Not even room to drop into: the connection cannot go on. */
            conn_ended(pglob, c, RM_DISCONNECT);
            return;
        }
    }
    size_t room = c->in.data.size() - c->in.end;
    ssize_t r = read(fd, c->in.data.data() + c->in.end, room);
    if (r < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return;
    if (r <= 0) {
        conn_ended(pglob, c, RM_DISCONNECT);
        return;
    }
    c->in.end += size_t(r);
    serve_buffered(pglob, c);
    if (pglob->conns[fd] == c && c->in.used() == 0 && c->in.data.size() > BUF_LARGE)
        c->in.release(); /* a large request's memory goes back */
}
