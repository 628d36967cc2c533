/* fuzz_daemon.cpp - libFuzzer harness: byte scripts of virtual clients drive the daemon's request
 * path */
/*
 * The daemon's state is global; one input is one script run against it from
 * empty tables, and the tables must be empty again when the script's clients
 * are gone. Each virtual client is a socketpair: the daemon's end is a
 * connection (conn_add), the harness writes requests into the other end and
 * reads the answers back. Pids are fake (1000001 ... 1000008) and live or die
 * as the script says; signals are only counted; both clocks are virtual.
 *
 * Script: byte 0 chooses the log level (0xF6 ... 0xFF: verbose 0 ... 9, else 0),
 * then steps until the input ends. A step is an op byte, low nibble the op,
 * bits 4-6 the client (0 ... 7), followed by the op's own bytes:
 *   0 OPEN     b: pid index (bits 0-2), bit 3 remote peer, bit 4 pid refused
 *   1 CLOSE    the client's end is closed: end of stream for the daemon; with
 *              bit 7 of the op byte a RESET: closed as by a TCP reset, after
 *              which the peer check of its connection fails (the kernel no
 *              longer knows the client's socket)
 *   2 REQ      request (below), written whole
 *   3 SPLIT    request, then only the first b bytes of what is pending go
 *   4 FLUSH    the rest of what is pending goes
 *   5 RAW      n, then n raw bytes, written
 *   6 ADVANCE  u16: both clocks move on by that many milliseconds
 *   7 NUDGE    b: both clocks move on by b * 37 microseconds
 *   8 WALLSTEP i8: the wall clock alone jumps by that many minutes
 *   9 SWEEP    the periodic sweep of dead pids
 *  10 KILL     b: pid index; that pid no longer exists (its socket stays)
 *  11 REVIVE   b: pid index; the pid exists again (reused)
 *  12 STALL    the client stops (or resumes) reading its answers
 *  13 SHUTRD   the client will never read again: the daemon's writes fail
 *  14 SHUTWR   the client half-closes: end of stream, answers still read
 *  15 NOMEM    allocations of message memory fail from now on, or work again
 * Request: kind byte k, then its fields; (k & 31) % 23 is the kind. With
 * k >= 0xE0 a pid byte for the header's from_pid comes first (a client lying
 * about itself); else from_pid is the client's own pid, and bit 5 of k marks
 * a SEND or PROXY_ATTACH with VORLEN_FLAG_QNX4.
 *   0 SEND, 4 REPLY    pid, blocks
 *   1 RECEIVE, 2 NB_RECEIVE, 3 REREAD    pid, offset b (0xFF: u32), nbytes u16 (0xFFFF: u32)
 *   5 SIN              b: typ b % 6
 *   6 NAME_ATTACH, 8 NAME_QUERY    name
 *   7 NAME_DETACH      b: id b % 53 - 1
 *   9 TRIGGER, 13 PROXY_DETACH    pid
 *  10 MKTIMER          notify b % 4, timer_type b, event (a pid for a proxy, else b % 70 - 2)
 *  11 RELABSTIMER      b: absolute when odd, timer number, value
 *  12 PROXY_ATTACH     pid of the owner, nbytes b % 110
 *  14 RMTIMER          timer number
 *  15 UNDEF            b: type 0, 16, 255 or 65535 without a body
 *  16 SHORT            type b % 16, msg_len b % its fixed length, that many bytes
 *  17 INTERRUPT
 *  18 BIGSEND          b: a Send of the request limit + 1 + b bytes, all of them
 *  19 BADBLOCKS        how b, pid, blocks: how & 3 blocks more counted than sent,
 *                      & 4 cut in half, & 8 three bytes too many, & 16 a Reply,
 *                      & 32 marked VORLEN_FLAG_WRITEMSG, & 64 VORLEN_FLAG_RELAY
 *  20 PFLAGS           b: VORLEN_PFLAG_SIGCATCH when odd (0xFF: a raw u32 follows)
 *  21 WRITEMSG         pid, offset b * 64 (0xFF: u32), blocks, behind the offset's
 *  22 RELAY            pid of the sender, pid of the target
 * pid: b & 31 = 0-15 a fake pid, 16-19 proxy -2 ... -5, 20 -51, 21 -52, 22 -1,
 *   23 0, 24-31 a raw u32 follows.
 * blocks: count b (& 3; 0x80 + n: 16 + n), then per block a length b (0xFF: u16
 *   follows), cut to fit a request; the bytes themselves are generated.
 * name: 0x80 + i is "n<i>" (i < 64), else one of five names or (b % 6 = 5) a
 *   field without its terminating zero.
 * timer number: b % 53 - 1 (0xFF: a raw u32 follows).
 * value: form b (0xFF: 16 raw bytes follow, interval then value); else it_value
 *   = (b & 3) s (absolute: counted from the wall clock's second before) plus a
 *   byte * 4 ms (negative when b & 4), and an interval byte i: 1 ... 127: i * 2
 *   ms; 128 and up: (i & 3) s + ((i >> 2) & 7) * 100 ms.
 * fuzz/make_corpus.py writes the seed corpus in this format.
 */
#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include "vorleni.h"

namespace {

constexpr int NCLIENTS = 8;
constexpr int NPIDS = 8;
constexpr pid_t FAKE_PID0 = 1000001;
constexpr int MAX_STEPS = 512;
/* Small limits, so that scripts reach them: the largest request, and the
 * answer bytes a client may leave unread. */
constexpr uint32_t FUZZ_MAX_REQUEST = 8192;
constexpr size_t FUZZ_MAX_UNREAD = 32768;
/* The largest single answer: a data answer of the largest message, or a
 * listing of every record (processes are bounded by the pids a script has). */
constexpr size_t MAX_ANSWER = sizeof(QNX_MSG_HDR) + FUZZ_MAX_REQUEST + 64 * 1024;

/* violation reports a broken invariant and aborts, which libFuzzer records
 * as a crash with this input. */
[[noreturn]] void violation(const char *what) {
    fprintf(stderr, "invariant violated: %s\n", what);
    abort();
}

/* The checks are no part of what the fuzzer should learn about: their
 * branches are left out of the coverage it steers by, which also keeps them
 * fast. */
#define UNGUIDED __attribute__((no_sanitize("coverage")))

#define CHECK(cond)                                                                                \
    do {                                                                                           \
        if (!(cond)) violation(#cond);                                                             \
    } while (0)

/* A request written, or to be written, by a client. */
struct Request {
    size_t left; /* its bytes not yet written */
    uint16_t typ;
    pid_t from;    /* the header's from_pid */
    bool answered; /* the daemon owes it an answer (an interrupt has none) */
};

struct Client {
    int hfd = -1;                 /* the harness's end; -1 once closed */
    int dfd = -1;                 /* the daemon's end */
    QNX_CONN *conn = nullptr;     /* the daemon's connection on dfd while it lasts */
    pid_t pid = 0;                /* the pid it claims */
    bool remote = false;          /* seen by the daemon as a peer on another host */
    bool refused = false;         /* the peer check refuses whatever pid it claims */
    bool stalled = false;         /* does not read its answers */
    bool shut_rd = false;         /* will never read again */
    bool eof_sent = false;        /* the daemon is owed an end of stream */
    std::vector<uint8_t> pending; /* request bytes not yet written */
    std::vector<Request> reqs;    /* the requests in pending */
    /* A client is orderly while it behaves like the library: one request at
     * a time, framed as it says, on a pid no other client has. Its answers
     * are counted: exactly one per request, and none while it waits. */
    bool orderly = true;
    bool waiting = false; /* the answer to its last request is owed */
    uint16_t waiting_typ = 0;
    std::vector<uint8_t> in; /* answer bytes of an orderly client not yet parsed */
};

struct World {
    Client c[NCLIENTS];
    bool alive[NPIDS];
    struct timespec mono, wall;
    std::vector<int> fds; /* every descriptor this input made */
    size_t fd_end = 0;    /* one past the highest descriptor ever made */
    uint64_t signals = 0;
    uint32_t claimed = 0; /* fake pids (by index) claimed by peers on trust lying */
};

World w;

bool daemon_has(const Client &c) {
    return c.conn != nullptr;
}

PGLOB *pg; /* &_pglob, set at start: the record is made during static initialisation */

/* Script reads the input front to back; past its end every read is 0. */
struct Script {
    const uint8_t *p;
    size_t n;
    size_t at = 0;
    bool done() const { return at >= n; }
    uint8_t u8() { return at < n ? p[at++] : 0; }
    uint16_t u16() { /* little-endian; the reads are sequenced */
        uint16_t lo = u8();
        return uint16_t(lo | u8() << 8);
    }
    uint32_t u32() {
        uint32_t lo = u16();
        return lo | uint32_t(u16()) << 16;
    }
};

/* ------------------------------------------------------------------------ */
/* Seams                                                                     */
/* ------------------------------------------------------------------------ */

int fake_pid_index(pid_t pid) {
    int64_t i = int64_t(pid) - FAKE_PID0;
    return i >= 0 && i < NPIDS ? int(i) : -1;
}

bool fz_pid_alive(pid_t pid) {
    int i = fake_pid_index(pid);
    return i >= 0 && w.alive[i];
}

Client *client_of(int dfd) {
    for (Client &c : w.c)
        if (c.conn && c.dfd == dfd) return &c;
    return nullptr;
}

bool fz_peer_is_local(int fd, const struct sockaddr_in *) {
    Client *c = client_of(fd);
    return !c || !c->remote;
}

/* A connection is its client's own pid, while that pid lives: the check
 * would find the socket among that process's descriptors, and no other's. */
int fz_peer_verify(int fd, pid_t pid, int *pidfd) {
    *pidfd = -1;
    Client *c = client_of(fd);
    if (!c || c->refused || pid != c->pid) return -1; /* the holder's pid only */
    return fz_pid_alive(pid) ? 0 : -1;
}

UNGUIDED bool listed(const QNX_PSTATE *ps);

/* While set, every allocation of message memory fails (op NOMEM). */
bool alloc_failing = false;

bool fz_alloc_allowed(size_t) {
    return !alloc_failing;
}

/* Every fake pid and every client belong to one user. */
constexpr uid_t FUZZ_UID = 1000;

uid_t fz_pid_uid(pid_t) {
    return FUZZ_UID;
}

int fz_owner_signal(QNX_PSTATE *ps, int sig) {
    CHECK(listed(ps));
    CHECK(sig >= 1 && sig <= 63);
    w.signals++;
    return 0;
}

int fz_clock(int clock, struct timespec *ts) {
    *ts = clock == CLOCK_REALTIME ? w.wall : w.mono;
    return 0;
}

void advance(long usec) {
    for (struct timespec *t : {&w.mono, &w.wall}) {
        t->tv_nsec += (usec % 1000000) * 1000;
        t->tv_sec += usec / 1000000 + t->tv_nsec / 1000000000;
        t->tv_nsec %= 1000000000;
    }
}

/* ------------------------------------------------------------------------ */
/* The invariants                                                            */
/* ------------------------------------------------------------------------ */

UNGUIDED bool listed(const QNX_PSTATE *ps) {
    if (!ps) return false;
    auto it = pg->pidmap.find(ps->pid);
    return it != pg->pidmap.end() && it->second == ps;
}

UNGUIDED bool in_queue(const QNX_MQUEUE *e) {
    for (QNX_MQUEUE *q : pg->queue)
        if (q == e) return true;
    return false;
}

UNGUIDED bool is_proxy_message(const char *buf) {
    for (const QNX_PROXY_STATE &p : pg->proxys)
        if (p.process && p.message == buf) return true;
    return false;
}

UNGUIDED void check_processes() {
    size_t n = 0;
    const QNX_PSTATE *prev = nullptr;
    for (QNX_PSTATE *ps : pg->processes) {
        CHECK(ps->link.prev == prev);
        CHECK(listed(ps));
        CHECK(n++ < pg->pidmap.size());
        prev = ps;
    }
    CHECK(pg->processes.back() == prev);
    CHECK(n == pg->pidmap.size());

    for (QNX_PSTATE *ps : pg->processes) {
        /* The daemon's own rules of each state (blocking.cpp). */
        if (const char *rule = blocking_fault(ps)) violation(rule);
        /* Every reference to another record names a listed one, and a
         * queued sender's entry is in the queue. */
        CHECK(!ps->bprocess || listed(ps->bprocess));
        if (ps->state == STATE_SEND_BLOCKED) CHECK(in_queue(ps->qentry));
        /* The binding is both ways. */
        if (ps->fd >= 0) {
            CHECK(size_t(ps->fd) < pg->conns.size() && pg->conns[size_t(ps->fd)]);
            CHECK(pg->conns[size_t(ps->fd)]->ps == ps);
        }
        /* A receiver waits only when nothing queued is for it: a trigger or
         * a Send that finds it waiting is delivered at once. */
        if (ps->state == STATE_RECEIVE_BLOCKED)
            for (QNX_MQUEUE *e : pg->queue)
                CHECK(e->process != ps ||
                      (ps->qrcv.from_pid != 0 && e->from_pid != ps->qrcv.from_pid));
        /* Bytes written into a reply are kept only while a message waits for
         * it, within the limit whatever their offsets, and accounted for. */
        size_t held = 0;
        size_t writes = 0;
        for (const QNX_RWRITE *wr = ps->rwrites; wr; wr = wr->next) {
            CHECK(writes++ < FUZZ_MAX_REQUEST);
            CHECK(wr->nbytes > 0 && uint64_t(wr->offset) + wr->nbytes <= FUZZ_MAX_REQUEST);
            held += sizeof *wr + wr->nbytes;
        }
        CHECK(held == ps->rwrite_held && held <= FUZZ_MAX_REQUEST);
        if (ps->rwrites) CHECK(ps->qsnd.buffer);
        /* The reply's length is charged only while writes make it. */
        CHECK(ps->reply_len <= FUZZ_MAX_REQUEST && (ps->rwrites || !ps->reply_len));
        if (ps->sleeping) {
            CHECK(ps->sleeping >= pg->timers.data() &&
                  ps->sleeping < pg->timers.data() + pg->timers.size());
            CHECK(ps->sleeping->process == ps && ps->sleeping->notify_type == NOTIFY_SLEEP);
        }
        /* A message lent to a receiver is still held by its sender, or is a
         * proxy's; nothing points at a buffer that was released. */
        if (ps->qrcv.buffer) {
            if (ps->qrcv.lender == LENT_BY_PROXY) {
                CHECK(is_proxy_message(ps->qrcv.buffer));
            } else {
                bool held = false;
                for (QNX_PSTATE *s : pg->processes)
                    if (s->qsnd.buffer == ps->qrcv.buffer) held = s->bprocess == ps;
                CHECK(held);
            }
        }
        /* No two senders share a message buffer. */
        if (ps->qsnd.buffer)
            for (QNX_PSTATE *s = ps->link.next; s; s = s->link.next)
                CHECK(s->qsnd.buffer != ps->qsnd.buffer);
    }
}

UNGUIDED void check_queue() {
    int32_t n = 0;
    const QNX_MQUEUE *prev = nullptr;
    for (QNX_MQUEUE *e : pg->queue) {
        CHECK(e >= pg->mqueue.data() && e < pg->mqueue.data() + pg->mqueue.size());
        CHECK(e->link.prev == prev);
        CHECK(size_t(n++) < pg->mqueue.size());
        CHECK(listed(e->process));
        if (e->sprocess) {
            CHECK(listed(e->sprocess));
            CHECK(e->from_pid == e->sprocess->pid && e->sprocess->qentry == e);
            CHECK(e->sprocess->state == STATE_SEND_BLOCKED);
        } else {
            QNX_PROXY_STATE *p = proxy_slot(pg, e->from_pid);
            CHECK(p && p->process == e->process && p->qentry == e);
        }
        prev = e;
    }
    CHECK(pg->queue.back() == prev);
    CHECK(n == pg->mqueue_used);
    /* Entries outside the list are free: the list holds every used one once. */
    int32_t used = 0;
    for (const QNX_MQUEUE &e : pg->mqueue) used += e.process != nullptr;
    CHECK(used == n);
}

UNGUIDED void check_slots() {
    for (size_t i = 0; i < pg->names.size(); i++) {
        const QNX_ATT_NAME &cn = pg->names[i];
        if (cn.pid == 0 && cn.id == 0) continue;
        CHECK(cn.id == int32_t(i + 1));
        CHECK(listed(cn.process) && cn.process->pid == cn.pid);
        CHECK(memchr(cn.name, '\0', sizeof cn.name));
    }
    for (size_t i = 0; i < pg->proxys.size(); i++) {
        const QNX_PROXY_STATE &p = pg->proxys[i];
        if (!p.process) {
            CHECK(!p.message && !p.qentry && p.trigger_cnt == 0 && p.id == 0 && !p.counting);
            continue;
        }
        CHECK(listed(p.process));
        CHECK(p.id == pid_t(-2 - int(i)));
        CHECK(p.nbytes >= 0 && p.nbytes <= QNX_MAX_PROXY_MSG && (p.nbytes == 0) == !p.message);
        CHECK((p.trigger_cnt > 0) == (p.qentry != nullptr));
        if (p.qentry) CHECK(in_queue(p.qentry) && p.qentry->from_pid == p.id);
        if (p.counting) CHECK(p.trigger_cnt <= VORLEN_MAX_PROXY_PENDING);
        /* However many triggers are pending, of either kind, the proxy is
         * queued once. */
        int entries = 0;
        for (QNX_MQUEUE *e : pg->queue) entries += !e->sprocess && e->from_pid == p.id;
        CHECK(entries == (p.trigger_cnt > 0 ? 1 : 0));
    }
    int n = 0;
    const QNX_TIMER_STATE *prev = nullptr;
    for (QNX_TIMER_STATE *t : pg->timers_used) {
        CHECK(t >= pg->timers.data() && t < pg->timers.data() + pg->timers.size());
        CHECK(t->link.prev == prev);
        CHECK(n++ < int(pg->timers.size()));
        CHECK(listed(t->process));
        /* An armed deadline is normalised, whatever the client sent. */
        if (t->timeval.tv_sec != TIMER_NOT_ARMED || t->timeval.tv_usec != TIMER_NOT_ARMED)
            CHECK(t->timeval.tv_usec >= 0 && t->timeval.tv_usec <= 999999);
        prev = t;
    }
    CHECK(pg->timers_used.back() == prev);
    CHECK(pg->next_timeout.tv_usec >= 0 && pg->next_timeout.tv_usec <= 999999);
    int used = 0;
    for (const QNX_TIMER_STATE &t : pg->timers) {
        if (!t.process) CHECK(!t.link.next && !t.link.prev && !pg->timers_used.contains(&t));
        used += t.process != nullptr;
    }
    CHECK(used == n);
}

UNGUIDED void check_connections() {
    CHECK(pg->dead_fds.empty());
    int n = 0;
    /* Only the harness adds connections: none lies past its descriptors. */
    for (size_t fd = 0; fd < std::min(w.fd_end, pg->conns.size()); fd++) {
        QNX_CONN *c = pg->conns[fd];
        if (!c) continue;
        n++;
        CHECK(c->fd == int(fd) && !c->dead);
        CHECK(!c->ps || (listed(c->ps) && c->ps->fd == int(fd)));
        for (const QNX_BUF *b : {&c->in, &c->out})
            CHECK(b->start <= b->end && b->end <= b->data.size());
        /* What is buffered stays within its bounds: unread answers below the
         * limit plus the one answer that crossed it, and no more input than
         * the one request not yet complete. */
        CHECK(c->out.used() <= FUZZ_MAX_UNREAD + MAX_ANSWER);
        CHECK(c->in.used() <=
              sizeof(QNX_MSG_HDR) + sizeof(QNX_MSG_PROXY_ATTACH) + FUZZ_MAX_REQUEST);
        CHECK(c->in.data.size() <= 4 * (FUZZ_MAX_REQUEST + 8192));
        CHECK(c->drop <= uint64_t(sizeof(QNX_MSG_HDR)) + UINT32_MAX);
    }
    CHECK(n == pg->nconns);
    size_t by_users = 0;
    for (const auto &[user, held] : pg->user_mem) {
        CHECK(held > 0);
        by_users += held;
    }
    CHECK(by_users == pg->mem_used);
}

/* check_answered finds requests of orderly clients that the daemon will
 * never answer: the client waits, everything has been read, and its record
 * is ready. */
UNGUIDED void check_answered() {
    for (const Client &c : w.c) {
        if (!c.orderly || !c.waiting || c.stalled || c.shut_rd || c.hfd < 0 || !daemon_has(c))
            continue;
        if (c.conn->out.used() != 0) continue;
        const QNX_PSTATE *ps = c.conn->ps;
        CHECK(ps);
        CHECK(ps->state != STATE_READY || ps->sleeping);
    }
}

UNGUIDED void check_invariants() {
    check_processes();
    check_queue();
    check_slots();
    check_connections();
    check_answered();
}

/* ------------------------------------------------------------------------ */
/* Clients                                                                   */
/* ------------------------------------------------------------------------ */

/* With VORLEN_FUZZ_TRACE set, each step, request and answer is told on
 * stderr, to read a finding's script. */
const bool tracing = getenv("VORLEN_FUZZ_TRACE") != nullptr;

/* refresh forgets the daemon's ends that the daemon has closed. */
UNGUIDED void refresh() {
    for (Client &c : w.c)
        if (c.conn && (size_t(c.dfd) >= pg->conns.size() || pg->conns[size_t(c.dfd)] != c.conn))
            c.conn = nullptr;
}

/* feed lets the daemon read what client c has written, and the end of stream
 * when one is owed, as its loop would on readiness. */
UNGUIDED void feed(Client &c) {
    for (int i = 0; i < 4096 && daemon_has(c); i++) {
        conn_readable(pg, c.dfd);
        refresh();
        int avail = 0;
        if (!daemon_has(c) || ioctl(c.dfd, FIONREAD, &avail) != 0) break;
        if (avail <= 0 && !c.eof_sent) break;
    }
    /* An end of stream always ends the connection. */
    if (c.eof_sent) CHECK(!daemon_has(c));
}

/* sent counts request r of client c as written whole. */
UNGUIDED void sent(Client &c, const Request &r) {
    if (c.remote && r.from != c.pid) {
        /* A peer on trust is bound to whatever pid it first claims, and may
         * take over the record of another client of that pid, with its
         * answers (a local peer's claim is checked). */
        c.orderly = false;
        int i = fake_pid_index(r.from);
        if (i >= 0) w.claimed |= 1u << i;
        for (Client &d : w.c)
            if (d.pid == r.from) d.orderly = false;
    }
    if (!c.remote && (c.refused || r.from != c.pid) && daemon_has(c) && !c.conn->ps)
        c.orderly = false; /* a refused first claim: one ESRCH, then the daemon closes */
    if (c.remote && fz_pid_alive(r.from) && daemon_has(c) && !c.conn->ps)
        c.orderly = false; /* a far claim of a pid of this host: refused the same way */
    if (!c.orderly || !r.answered) return;
    if (c.waiting) {
        c.orderly = false; /* a second request while one waits */
        return;
    }
    c.waiting = true;
    c.waiting_typ = r.typ;
}

/* written accounts for n more bytes of client c on the wire. */
UNGUIDED void written(Client &c, size_t n) {
    while (n > 0 && !c.reqs.empty()) {
        Request &r = c.reqs.front();
        size_t k = std::min(n, r.left);
        r.left -= k;
        n -= k;
        if (r.left > 0) break;
        Request done = r;
        c.reqs.erase(c.reqs.begin());
        sent(c, done);
    }
}

/* push writes up to limit pending bytes of client c, the daemon reading
 * between writes when the socket is full. */
UNGUIDED void push(Client &c, size_t limit) {
    limit = std::min(limit, c.pending.size());
    while (limit > 0 && c.hfd >= 0 && !c.eof_sent) {
        ssize_t n = send(c.hfd, c.pending.data(), limit, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            c.pending.erase(c.pending.begin(), c.pending.begin() + n);
            limit -= size_t(n);
            written(c, size_t(n));
            feed(c);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) && daemon_has(c) && !c.conn->dead) {
            int before = 0;
            ioctl(c.dfd, FIONREAD, &before);
            feed(c);
            int after = 0;
            if (daemon_has(c)) ioctl(c.dfd, FIONREAD, &after);
            if (daemon_has(c) && after < before) continue;
        }
        c.pending.clear(); /* the daemon has gone, or will read no more */
        c.reqs.clear();
        break;
    }
}

/* take_answers parses the answers an orderly client has received: a header
 * and its msg_len bytes, or after a listing request the stream of records
 * up to the closing one. */
UNGUIDED void take_answers(Client &c) {
    for (;;) {
        if (c.in.size() < sizeof(QNX_MSG_HDR)) return;
        QNX_MSG_HDR h;
        memcpy(&h, c.in.data(), sizeof h);
        size_t len = sizeof h + h.msg_len;
        if (c.waiting && c.waiting_typ == MT_SIN && h.ev.retcode == 0) {
            CHECK(h.msg_len >= sizeof(int32_t));
            bool closed = false;
            for (len = sizeof h; !closed && c.in.size() >= len + h.msg_len; len += h.msg_len) {
                int32_t pid;
                memcpy(&pid, c.in.data() + len, sizeof pid);
                closed = pid == -1;
            }
            if (!closed) return;
        } else if (c.in.size() < len) {
            return;
        }
        /* An answer to a client that asked for nothing: its stream is out of step. */
        CHECK(c.waiting);
        c.waiting = false;
        c.in.erase(c.in.begin(), c.in.begin() + ptrdiff_t(len));
    }
}

/* drain reads and drops the answer bytes of every client that reads them;
 * an end of stream means the daemon closed the connection. One poll tells
 * which clients have anything: most steps write to one or two. */
UNGUIDED void drain() {
    struct pollfd p[NCLIENTS];
    Client *who[NCLIENTS];
    nfds_t n = 0;
    for (Client &c : w.c)
        if (c.hfd >= 0 && !c.stalled && !c.shut_rd) {
            who[n] = &c;
            p[n++] = {c.hfd, POLLIN, 0};
        }
    if (n == 0 || poll(p, n, 0) <= 0) return;
    static char buf[65536];
    for (nfds_t i = 0; i < n; i++) {
        if (!p[i].revents) continue;
        Client &c = *who[i];
        ssize_t got;
        do {
            got = recv(c.hfd, buf, sizeof buf, MSG_DONTWAIT);
            if (got > 0 && c.orderly) c.in.insert(c.in.end(), buf, buf + got);
            if (got >= ssize_t(sizeof(QNX_MSG_HDR)) && tracing) {
                QNX_MSG_HDR h;
                memcpy(&h, buf, sizeof h);
                fprintf(stderr, "  answer to pid %d: %zd bytes, retcode %u from %d len %u\n", c.pid,
                        got, h.ev.retcode, h.from_pid, h.msg_len);
            }
        } while (got == ssize_t(sizeof buf) || (got < 0 && errno == EINTR));
        if (got == 0) CHECK(!daemon_has(c));
        if (c.orderly) take_answers(c);
    }
}

/* The daemon's own loop step serves the harness's connections: no
 * listener, no signals. */
LOOP_STATE fz_loop;

/* settle lets the daemon's loop step run until it has nothing more to do:
 * the timers run when due, requests that arrived are served, answers the
 * sockets did not take are written on as the clients make room (a client
 * that does not read keeps its socket full), and dropped connections are
 * reaped. */
UNGUIDED void settle() {
    for (int round = 0; round < 32; round++) {
        drain();
        int n = loop_once(pg, &fz_loop, 0);
        refresh();
        drain(); /* what the due timers answered */
        if (n == 0 && pg->dead_fds.empty()) break;
    }
}

int track(int fd) {
    w.fds.push_back(fd);
    w.fd_end = std::max(w.fd_end, size_t(fd) + 1);
    return fd;
}

void open_client(Client &c, uint8_t how) {
    if (c.hfd >= 0 || daemon_has(c)) return;
    int sv[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, sv) != 0) return;
    c = Client{};
    c.hfd = track(sv[0]);
    c.dfd = track(sv[1]);
    /* A small send buffer on the daemon's end: large answers must be
     * buffered by the daemon and written on later. */
    int small = 4096;
    setsockopt(c.dfd, SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
    c.pid = FAKE_PID0 + (how & 7);
    c.remote = how & 8;
    c.refused = how & 16;
    /* Two connections of one pid share one record: either may get the
     * other's answers. */
    for (Client &d : w.c)
        if (&d != &c && d.pid == c.pid && (d.hfd >= 0 || daemon_has(d)))
            d.orderly = c.orderly = false;
    if (w.claimed & (1u << (how & 7))) c.orderly = false;
    /* Two users, so that each user's share of message memory is tried. */
    conn_add(pg, c.dfd, !c.remote, FUZZ_UID + ((how >> 5) & 1));
    c.conn = pg->conns[size_t(c.dfd)];
}

void close_client(Client &c) {
    if (c.hfd < 0) return;
    close(c.hfd);
    c.hfd = -1;
    c.pending.clear();
    c.reqs.clear();
    c.eof_sent = daemon_has(c);
    feed(c);
}

/* ------------------------------------------------------------------------ */
/* Requests                                                                  */
/* ------------------------------------------------------------------------ */

pid_t pid_sel(Script &s) {
    uint8_t v = s.u8() & 31;
    if (v < 16) return FAKE_PID0 + (v & 7);
    if (v < 20) return -2 - (v - 16);
    static const pid_t odd[] = {-51, -52, -1, 0};
    if (v < 24) return odd[v - 20];
    return pid_t(s.u32());
}

int32_t timer_sel(Script &s) {
    uint8_t v = s.u8();
    return v == 0xFF ? int32_t(s.u32()) : int32_t(v % 53) - 1; /* -1 ... 51 */
}

struct Builder {
    std::vector<uint8_t> b;
    Request r{0, 0, 0, true};
    void put(const void *p, size_t n) {
        const uint8_t *q = static_cast<const uint8_t *>(p);
        b.insert(b.end(), q, q + n);
    }
    template <typename T> void put(const T &v) { put(&v, sizeof v); }
    void header(uint16_t typ, pid_t from, uint32_t msg_len, uint16_t flags = 0) {
        QNX_MSG_HDR h;
        memset(&h, 0, sizeof h);
        h.ev.typ = typ;
        h.from_pid = from;
        h.msg_len = msg_len;
        h.flags.all = flags;
        put(h);
        r.typ = typ;
        r.from = from;
        r.answered = !(typ == 0 && (flags & VORLEN_FLAG_INTERRUPT) && msg_len == 0);
    }
};

/* blocks reads a block list: nblocks, then each length, and builds the
 * variable part, which fills no more than a request may. */
std::vector<uint8_t> blocks(Script &s, uint32_t *nblocks) {
    uint8_t nb = s.u8();
    *nblocks = nb & 0x80 ? 16 + (nb & 0x7F) : nb & 3; /* 16 ... 143: a reply of many parts */
    std::vector<uint8_t> v;
    for (uint32_t i = 0; i < *nblocks; i++) {
        uint32_t k = s.u8();
        if (k == 0xFF) k = s.u16();
        size_t room = FUZZ_MAX_REQUEST - sizeof(QNX_MSG_HDR_SND) - v.size();
        room = room >= 4 * (*nblocks - i) ? room - 4 * (*nblocks - i) : 0;
        k = uint32_t(std::min<size_t>(k, room));
        v.insert(v.end(), reinterpret_cast<uint8_t *>(&k), reinterpret_cast<uint8_t *>(&k) + 4);
        for (uint32_t j = 0; j < k; j++) v.push_back(uint8_t(i * 31 + j * 7));
    }
    return v;
}

void name_field(Script &s, char (&name)[QNX_MAX_NAME_LEN + 1]) {
    static const char *const names[] = {"srv", "a", "b/c", "0123456789abcdef0123456789abcdef", ""};
    memset(name, 0, sizeof name);
    uint8_t v = s.u8();
    if (v & 0x80)
        snprintf(name, sizeof name, "n%d", v & 63); /* enough names to fill the table */
    else if (v % 6 == 5)
        memset(name, 'x', sizeof name); /* no terminating zero */
    else
        memcpy(name, names[v % 6], strlen(names[v % 6]));
}

QNX_ITIMERSPEC timer_value(Script &s, bool absolute) {
    QNX_ITIMERSPEC v{};
    uint8_t form = s.u8();
    if (form == 0xFF) {
        v.it_interval.tv_sec = int32_t(s.u32());
        v.it_interval.tv_nsec = int32_t(s.u32());
        v.it_value.tv_sec = int32_t(s.u32());
        v.it_value.tv_nsec = int32_t(s.u32());
        return v;
    }
    v.it_value.tv_sec = form & 3;
    if (absolute) v.it_value.tv_sec += int32_t(w.wall.tv_sec) - 1;
    v.it_value.tv_nsec = int32_t(s.u8()) * 4000000 * (form & 4 ? -1 : 1);
    uint8_t iv = s.u8();
    if (iv != 0 && iv < 128) v.it_interval.tv_nsec = int32_t(iv) * 2000000;
    if (iv >= 128) {
        v.it_interval.tv_sec = iv & 3;
        v.it_interval.tv_nsec = ((iv >> 2) & 7) * 100000000;
    }
    return v;
}

void build_request(Script &s, const Client &c, Builder &r) {
    uint8_t k = s.u8();
    pid_t from = k >= 0xE0 ? pid_sel(s) : c.pid;
    uint16_t qnx4 = k < 0xE0 && (k & 0x20) ? VORLEN_FLAG_QNX4 : 0;
    const uint8_t kind = (k & 31) % 23;
    switch (kind) {
    case 0:
    case 4: {
        QNX_MSG_HDR_SND body{};
        body.to_pid = pid_sel(s);
        std::vector<uint8_t> var = blocks(s, &body.nblocks);
        bool send = kind == 0;
        r.header(send ? MT_SEND : MT_REPLY, from, uint32_t(sizeof body + var.size()),
                 send ? qnx4 : 0);
        r.put(body);
        r.put(var.data(), var.size());
        break;
    }
    case 1:
    case 2:
    case 3: {
        QNX_MSG_RCV body{};
        body.from_pid = pid_sel(s);
        uint8_t off = s.u8();
        body.offset = off == 0xFF ? s.u32() : off;
        body.nbytes = s.u16();
        if (body.nbytes == 0xFFFF) body.nbytes = s.u32();
        r.header(kind == 2 ? MT_NB_RECEIVE : MT_RECEIVE, from, sizeof body,
                 kind == 3 ? VORLEN_FLAG_REREAD : 0);
        r.put(body);
        break;
    }
    case 5: {
        QNX_MSG_SIN body{};
        body.typ = s.u8() % 7; /* 0 and SIN_PROCESSES ... SIN_NODES */
        r.header(MT_SIN, from, sizeof body);
        r.put(body);
        break;
    }
    case 6:
    case 8: {
        QNX_MSG_NAME_ATTACH body{};
        name_field(s, body.name);
        r.header(kind == 6 ? MT_NAME_ATTACH : MT_NAME_QUERY, from, sizeof body);
        r.put(body);
        break;
    }
    case 7: {
        QNX_MSG_NAME_DETACH body{};
        body.id = int32_t(s.u8() % 53) - 1;
        r.header(MT_NAME_DETACH, from, sizeof body);
        r.put(body);
        break;
    }
    case 9: {
        QNX_MSG_TRIGGER body{};
        body.proxy_nr = pid_sel(s);
        r.header(MT_TRIGGER, from, sizeof body);
        r.put(body);
        break;
    }
    case 10: {
        QNX_MSG_MKTIMER body{};
        body.notify_type = s.u8() % 4;
        body.timer_type = s.u8();
        if (body.notify_type == NOTIFY_PROXY)
            body.itimercb.itcb_event.evt_value = pid_sel(s);
        else
            body.itimercb.itcb_event.evt_value = int32_t(s.u8() % 70) - 2;
        r.header(MT_MKTIMER, from, sizeof body);
        r.put(body);
        break;
    }
    case 11: {
        QNX_MSG_TIMER body{};
        uint8_t typ = s.u8();
        body.typ = typ & 1;
        body.timer_nr = timer_sel(s);
        body.value = timer_value(s, body.typ != 0);
        r.header(MT_RELABSTIMER, from, sizeof body);
        r.put(body);
        break;
    }
    case 12: {
        QNX_MSG_PROXY_ATTACH body{};
        body.to_pid = pid_sel(s);
        body.nbytes = s.u8() % 110;
        for (size_t i = 0; i < sizeof body.data; i++) body.data[i] = char('A' + i % 26);
        r.header(MT_PROXY_ATTACH, from,
                 uint32_t(sizeof body + std::min<uint32_t>(body.nbytes, 100)), qnx4);
        r.put(body);
        break;
    }
    case 13: {
        QNX_MSG_PROXY_DETACH body{};
        body.proxy_nr = pid_sel(s);
        r.header(MT_PROXY_DETACH, from, sizeof body);
        r.put(body);
        break;
    }
    case 14: {
        QNX_MSG_RMTIMER body{};
        body.timer_nr = timer_sel(s);
        r.header(MT_RMTIMER, from, sizeof body);
        r.put(body);
        break;
    }
    case 15: {
        static const uint16_t types[] = {0, 16, 255, 65535};
        r.header(types[s.u8() % 4], from, 0);
        break;
    }
    case 16: {
        /* A length too short for the type's fixed body: that many bytes follow. */
        uint16_t typ = s.u8() % MT_NTYPES;
        uint32_t addlen = uint32_t(pjumptable[typ].addlen);
        uint32_t len = addlen ? s.u8() % addlen : 0;
        r.header(typ, from, len);
        r.b.resize(r.b.size() + len, 0x5A);
        break;
    }
    case 17:
        r.header(0, from, 0, VORLEN_FLAG_INTERRUPT);
        break;
    case 18: {
        /* Over the limit: read and dropped as it arrives. */
        uint32_t len = FUZZ_MAX_REQUEST + 1 + s.u8();
        r.header(MT_SEND, from, len);
        r.b.resize(r.b.size() + len, 0xA5);
        break;
    }
    case 19: {
        /* Blocks that do not fill the request they come in. */
        QNX_MSG_HDR_SND body{};
        uint8_t how = s.u8();
        body.to_pid = pid_sel(s);
        std::vector<uint8_t> var = blocks(s, &body.nblocks);
        body.nblocks += how & 3;
        if (how & 4) var.resize(var.size() / 2);
        if (how & 8) var.insert(var.end(), 3, 0xFF);
        uint16_t marks = (how & 32 ? VORLEN_FLAG_WRITEMSG : 0) | (how & 64 ? VORLEN_FLAG_RELAY : 0);
        r.header(how & 16 ? MT_REPLY : MT_SEND, from, uint32_t(sizeof body + var.size()), marks);
        r.put(body);
        r.put(var.data(), var.size());
        break;
    }
    case 20: {
        QNX_MSG_PFLAGS body{};
        uint8_t b = s.u8();
        body.flags = b == 0xFF ? int32_t(s.u32()) : b & 1 ? VORLEN_PFLAG_SIGCATCH : 0;
        r.header(MT_PFLAGS, from, sizeof body);
        r.put(body);
        break;
    }
    case 21: {
        /* The offset is the first block; an offset far out, or blocks that
         * already fill a request, make a Writemsg the daemon refuses. */
        QNX_MSG_HDR_RPL body{};
        body.to_pid = pid_sel(s);
        uint8_t off = s.u8();
        uint32_t offset = off == 0xFF ? s.u32() : uint32_t(off) * 64;
        std::vector<uint8_t> var = blocks(s, &body.nblocks);
        body.nblocks += 1;
        uint32_t four = 4;
        r.header(MT_REPLY, from, uint32_t(sizeof body + 8 + var.size()), VORLEN_FLAG_WRITEMSG);
        r.put(body);
        r.put(four);
        r.put(offset);
        r.put(var.data(), var.size());
        break;
    }
    case 22: {
        QNX_MSG_HDR_RPL body{};
        body.to_pid = pid_sel(s);
        body.nblocks = 1;
        int32_t target = pid_sel(s);
        uint32_t four = 4;
        r.header(MT_REPLY, from, uint32_t(sizeof body + 8), VORLEN_FLAG_RELAY);
        r.put(body);
        r.put(four);
        r.put(target);
        break;
    }
    }
}

/* ------------------------------------------------------------------------ */
/* A run                                                                     */
/* ------------------------------------------------------------------------ */

void trace_request(const Client &c, const std::vector<uint8_t> &b) {
    if (!tracing || b.size() < sizeof(QNX_MSG_HDR)) return;
    QNX_MSG_HDR h;
    memcpy(&h, b.data(), sizeof h);
    int32_t f[3] = {0, 0, 0};
    memcpy(f, b.data() + sizeof h, std::min(sizeof f, b.size() - sizeof h));
    fprintf(stderr, "  client pid %d: typ %u from %d flags %#x len %u body %d %d %d\n", c.pid,
            h.ev.typ, h.from_pid, h.flags.all, h.msg_len, f[0], f[1], f[2]);
}

void step(Script &s) {
    uint8_t op = s.u8();
    Client &c = w.c[(op >> 4) & 7];
    if (tracing) fprintf(stderr, "step op %d client %d\n", op & 15, (op >> 4) & 7);
    switch (op & 15) {
    case 0:
        open_client(c, s.u8());
        break;
    case 1:
        if (op & 0x80) c.refused = true;
        close_client(c);
        break;
    case 2:
    case 3: {
        Builder r;
        build_request(s, c, r);
        size_t limit = (op & 15) == 3 ? s.u8() : SIZE_MAX;
        trace_request(c, r.b);
        if (c.hfd < 0) break;
        c.pending.insert(c.pending.end(), r.b.begin(), r.b.end());
        r.r.left = r.b.size();
        c.reqs.push_back(r.r);
        push(c, limit);
        break;
    }
    case 4:
        push(c, SIZE_MAX);
        break;
    case 5: {
        uint8_t n = s.u8();
        for (int i = 0; i < n; i++) c.pending.push_back(s.u8());
        c.orderly = false; /* its requests are what the bytes make of them */
        if (c.hfd >= 0)
            push(c, SIZE_MAX);
        else
            c.pending.clear();
        break;
    }
    case 6:
        advance(long(s.u16()) * 1000);
        break;
    case 7:
        advance(long(s.u8()) * 37);
        break;
    case 8:
        w.wall.tv_sec += int8_t(s.u8()) * 60;
        break;
    case 9:
        sweep(pg);
        break;
    case 10:
        w.alive[s.u8() & 7] = false;
        break;
    case 11:
        w.alive[s.u8() & 7] = true;
        break;
    case 12:
        c.stalled = !c.stalled;
        break;
    case 13:
        if (c.hfd >= 0 && !c.shut_rd) {
            shutdown(c.hfd, SHUT_RD);
            c.shut_rd = true;
            c.orderly = false;
        }
        break;
    case 14:
        if (c.hfd >= 0 && !c.eof_sent) {
            shutdown(c.hfd, SHUT_WR);
            c.pending.clear();
            c.reqs.clear();
            c.eof_sent = daemon_has(c);
            feed(c);
        }
        break;
    case 15:
        alloc_failing = !alloc_failing;
        break;
    default:
        break;
    }
    refresh();
    settle();
    check_invariants();
}

/* finish ends every client and the pids behind them: the daemon must be left
 * with nothing, and every descriptor of the run closed. */
void finish() {
    alloc_failing = false;
    for (Client &c : w.c) {
        c.stalled = false;
        close_client(c);
    }
    settle();
    check_invariants();
    /* Only records of pids that never connected may stay: the sweep takes them. */
    for (QNX_PSTATE *ps : pg->processes) CHECK(ps->fd == -1);
    for (bool &a : w.alive) a = false;
    sweep(pg);
    settle();
    check_invariants();
    CHECK(pg->processes.empty() && pg->pidmap.empty());
    CHECK(pg->nconns == 0);
    CHECK(pg->mqueue_used == 0 && pg->queue.empty());
    CHECK(pg->timers_used.empty());
    for (const QNX_PROXY_STATE &p : pg->proxys) CHECK(!p.process);
    for (const QNX_ATT_NAME &cn : pg->names) CHECK(cn.pid == 0 && cn.id == 0);
    for (int fd : w.fds) CHECK(fcntl(fd, F_GETFD) == -1 && errno == EBADF);
    /* Every byte of message memory counted is given back, by every user. */
    CHECK(pg->mem_used == 0 && pg->user_mem.empty());
}

void start() {
    for (Client &c : w.c) c = Client{};
    for (bool &a : w.alive) a = true;
    w.fds.clear();
    w.claimed = 0;
    w.mono = {1000, 0};
    w.wall = {1700000000, 0};
    pg->next_timeout = {w.mono.tv_sec + SWEEP_INTERVAL, 0};
    fz_loop.cleanup_sec = w.mono.tv_sec + SWEEP_INTERVAL;
    alloc_failing = false;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    pg = &_pglob;
    pglob_init(pg, "vorlen");
    pg->max_request = FUZZ_MAX_REQUEST;
    pg->max_unread = FUZZ_MAX_UNREAD;
    /* Small enough that held messages and buffers reach both bounds. */
    pg->max_memory = 4 * FUZZ_MAX_UNREAD;
    pg->max_user_memory = 2 * FUZZ_MAX_UNREAD;
    pg->nodisp = 1;
    /* The log lines are formatted in full and thrown away: the file stays
     * open from here on, so no run sees a descriptor of its own reused, and
     * its name is gone. */
    setenv("LOGAPPEND", "1", 1);
    char logpath[] = "/tmp/vorlen-fuzz-log-XXXXXX";
    int logtmp = mkstemp(logpath);
    if (logtmp >= 0) close(logtmp);
    pg->logname = logpath;
    vlog(LV_ALWAYS, "fuzzing");
    unlink(logpath);
    if (sockinit() < 0) {
        perror("sockinit");
        abort();
    }
    pid_alive = fz_pid_alive;
    peer_is_local = fz_peer_is_local;
    peer_verify = fz_peer_verify;
    owner_signal = fz_owner_signal;
    alloc_allowed = fz_alloc_allowed;
    pid_uid = fz_pid_uid;
    vorlen_clock_gettime = fz_clock;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    Script s{data, size};
    uint8_t level = s.u8();
    pg->verbose = level >= 0xF6 ? level - 0xF6 : 0;
    start();
    for (int i = 0; i < MAX_STEPS && !s.done(); i++) step(s);
    finish();
    pg->verbose = 0;
    return 0;
}
