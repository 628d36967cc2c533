/* pending.cpp - requests whose answer waits for another node: who waits, and until when */
#include <cerrno>
#include <cstring>
#include <vector>

#include "circuit.h"

/* The calls waiting, by number: a number is given once in 2^32 calls, so a
 * late answer never finds a later call. */
static std::vector<PENDING> waiting;
static uint32_t next_req = 1;
static int in_use = 0;

static int64_t us_of(const struct timeval &t) {
    return int64_t(t.tv_sec) * 1000000 + t.tv_usec;
}

PENDING *pending_add(PGLOB *pglob, QNX_CONN *c, int32_t nid, uint16_t typ) {
    (void)pglob;
    if (in_use >= MAX_PENDING) return nullptr;
    PENDING *p = nullptr;
    for (PENDING &w : waiting)
        if (w.req == 0) {
            p = &w;
            break;
        }
    if (!p) {
        if (waiting.empty()) waiting.reserve(MAX_PENDING); /* records stay where they are */
        waiting.emplace_back();
        p = &waiting.back();
    }
    *p = PENDING{};
    if (next_req == 0) next_req = 1;
    p->req = next_req++;
    p->fd = c->fd;
    p->serial = c->serial;
    p->pid = c->ps ? c->ps->pid : 0;
    p->nid = nid;
    p->typ = typ;
    struct timeval now = now_clock(CLOCK_MONOTONIC);
    int64_t d = us_of(now) + PENDING_WAIT_MS * 1000LL;
    p->deadline = {time_t(d / 1000000), suseconds_t(d % 1000000)};
    in_use++;
    return p;
}

PENDING *pending_find(PGLOB *, int32_t nid, uint32_t req) {
    if (req == 0) return nullptr;
    for (PENDING &w : waiting)
        if (w.req == req) return w.nid == nid ? &w : nullptr;
    return nullptr;
}

QNX_CONN *pending_conn(PGLOB *pglob, const PENDING *p) {
    if (p->fd < 0 || size_t(p->fd) >= pglob->conns.size()) return nullptr;
    QNX_CONN *c = pglob->conns[size_t(p->fd)];
    return c && c->serial == p->serial && !c->dead ? c : nullptr;
}

void pending_done(PGLOB *, PENDING *p) {
    if (p->req == 0) return;
    *p = PENDING{};
    in_use--;
}

/* give_up answers p retcode alone, when its connection still waits, and frees it. */
static void give_up(PGLOB *pglob, PENDING *p, int retcode) {
    if (QNX_CONN *c = pending_conn(pglob, p)) send_status(c->fd, retcode);
    vlog(LV_REQUEST, "call of %d to node %d (type %u) given up: %s", int(p->pid), int(p->nid),
         unsigned(p->typ), strerror(retcode));
    pending_done(pglob, p);
}

void pending_fail(PGLOB *pglob, int32_t nid, int retcode) {
    for (PENDING &w : waiting)
        if (w.req != 0 && (nid == 0 || w.nid == nid)) give_up(pglob, &w, retcode);
}

void pending_tick(PGLOB *pglob, const struct timeval &now, struct timeval *wake) {
    if (in_use == 0) return;
    for (PENDING &w : waiting) {
        if (w.req == 0) continue;
        if (tv_le(w.deadline, now))
            give_up(pglob, &w, EHOSTUNREACH);
        else if (us_of(w.deadline) < us_of(*wake))
            *wake = w.deadline;
    }
}
