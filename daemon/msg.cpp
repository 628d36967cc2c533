/* msg.cpp - synchronous message passing: Send, Receive, Reply and the message queue */
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

#include "circuit.h"
#include "vorleni.h"

/* ------------------------------------------------------------------------ */
/* The message queue: a pool sized at start, its entries in arrival order.  */
/* ------------------------------------------------------------------------ */

/* msgq_add appends a message (or a proxy's pending trigger, with no sender)
 * of priority prio for addressee to. It returns null and stores nothing when
 * all entries are in use; the callers refuse or retry, nothing waits without
 * an entry. */
QNX_MQUEUE *msgq_add(PGLOB *pglob, QNX_PSTATE *to, QNX_PSTATE *from, pid_t from_pid, int32_t prio) {
    if (msgq_full(pglob)) return nullptr;
    QNX_MQUEUE *e = nullptr;
    for (QNX_MQUEUE &f : pglob->mqueue)
        if (!f.process) {
            e = &f;
            break;
        }
    e->process = to;
    e->sprocess = from;
    e->from_pid = from_pid;
    e->prio = prio;
    pglob->queue.push_back(e);
    pglob->mqueue_used++;
    vlog(LV_TRACE, "msgq_add(,,%d)", from_pid);
    return e;
}

/* msgq_retrieve finds, without removing it, the entry that ps receives next:
 * from pid when pid is not 0, the oldest; from anyone, the oldest of the
 * highest priority when ps receives in priority order
 * (VORLEN_PFLAG_PRIORITY_REC), else the oldest. */
QNX_MQUEUE *msgq_retrieve(PGLOB *pglob, QNX_PSTATE *ps, pid_t pid) {
    const bool by_prio = pid == 0 && (ps->pflags & VORLEN_PFLAG_PRIORITY_REC);
    QNX_MQUEUE *found = nullptr;
    for (QNX_MQUEUE *e : pglob->queue) {
        if (e->process != ps || (pid != 0 && e->from_pid != pid)) continue;
        if (!found || e->prio > found->prio) found = e;
        if (!by_prio) break;
    }
    if (found)
        vlog(LV_TRACE, "msgq_retrieve, pid: %d, from_pid: %d", ps->pid, found->from_pid);
    else
        vlog(LV_TRACE, "msgq_retrieve -> NULL");
    return found;
}

/* msgq_remove unlinks entry e and frees it. */
void msgq_remove(PGLOB *pglob, QNX_MQUEUE *e) {
    if (!e->process) return;
    pglob->queue.remove(e);
    *e = QNX_MQUEUE{};
    pglob->mqueue_used--;
}

/* msgq_requeue moves entry e to the tail, behind everything queued so far,
 * as if it had just been added. It takes no free entry, so it cannot fail
 * when the queue is full. */
void msgq_requeue(PGLOB *pglob, QNX_MQUEUE *e) {
    if (e->process) pglob->queue.move_back(e);
}

/* unlend empties the slot of receiver r when it borrows the message sender
 * holds, so that nothing there points at a message r no longer holds. */
static void unlend(QNX_PSTATE *r, const QNX_PSTATE *sender) {
    if (r && sender->qsnd.buffer && r->qrcv.buffer == sender->qsnd.buffer &&
        r->qrcv.lender == LENT_BY_SENDER) {
        r->qrcv.buffer = nullptr;
        r->qrcv.nbytes = 0;
    }
}

/* drop_rwrites frees what was written into the reply of sender, and gives
 * back the length charged for the reply. */
static void drop_rwrites(QNX_PSTATE *sender) {
    QNX_RWRITE *next;
    for (QNX_RWRITE *w = sender->rwrites; w; w = next) {
        next = w->next;
        mem_give(&_pglob, w->owner, sizeof(QNX_RWRITE) + w->nbytes);
        free(w);
    }
    sender->rwrites = nullptr;
    sender->rwrite_held = 0;
    mem_give(&_pglob, sender->reply_owner, sender->reply_len);
    sender->reply_len = 0;
}

/* sender_user is the user that the answer to sender waits under: its
 * connection's, a stub's link's, UID_UNKNOWN when there is none. */
static uid_t sender_user(PGLOB *pglob, const QNX_PSTATE *sender) {
    if (sender->vc) return link_owner(sender->vc->nid);
    const int fd = sender->fd;
    if (fd < 0 || size_t(fd) >= pglob->conns.size() || !pglob->conns[fd]) return UID_UNKNOWN;
    return pglob->conns[fd]->uid;
}

/* delivered_len is how many bytes of a message of nbytes a receiver that
 * asked for rbnbytes from offset on is given (as do_rcv gives them). */
static uint32_t delivered_len(uint32_t nbytes, uint32_t rbnbytes, uint32_t offset) {
    uint32_t n = offset < nbytes ? nbytes - offset : 0;
    return n > rbnbytes ? rbnbytes : n;
}

/* delivery_refusal says why the message of nbytes cannot go to receiver r,
 * which waits for it: its answer would wait in r's connection past that
 * user's share or the daemon's bound. Null when it can; a message that gives
 * r no bytes is a status-only answer, which always can. */
static const char *delivery_refusal(PGLOB *pglob, const QNX_PSTATE *r, uint32_t nbytes) {
    uint32_t n = delivered_len(nbytes, r->qrcv.nbytes, r->qrcv.offset);
    return n ? answer_refusal(pglob, r->fd, sizeof(QNX_MSG_HDR) + n) : nullptr;
}

/* msg_release_buffer frees the message sender holds, exactly once, and what
 * was written into its reply; the receiver it was lent to forgets it. */
void msg_release_buffer(PGLOB *pglob, QNX_PSTATE *sender) {
    drop_rwrites(sender);
    char *buf = sender->qsnd.buffer;
    if (!buf) return;
    unlend(sender->bprocess, sender);
    free(buf);
    mem_give(pglob, sender->qsnd.owner, size_t(sender->qsnd.nbytes));
    sender->qsnd.buffer = nullptr;
    sender->qsnd.nbytes = 0;
}

/* msg_forget_process drops every queue entry that names ps, and the message
 * ps itself had sent, before its record goes. */
void msg_forget_process(PGLOB *pglob, QNX_PSTATE *ps) {
    for (QNX_MQUEUE *e : pglob->queue) {
        if (e->process == ps || e->sprocess == ps) {
            if (e->sprocess && e->sprocess != ps) e->sprocess->qentry = nullptr;
            msgq_remove(pglob, e);
        }
    }
    ps->qentry = nullptr;
    msg_release_buffer(pglob, ps);
}

/* ------------------------------------------------------------------------ */
/* Blocks of Send and Reply                                                  */
/* ------------------------------------------------------------------------ */

/* blocks_fit checks that nblocks blocks (each a count and its bytes) fill the
 * variable part exactly, and returns their total length in *total. */
static bool blocks_fit(const unsigned char *var, size_t len, uint32_t nblocks, uint32_t *total) {
    size_t at = 0;
    uint64_t sum = 0;
    for (uint32_t i = 0; i < nblocks; i++) {
        if (len - at < 4) return false;
        uint32_t k;
        memcpy(&k, var + at, 4);
        at += 4;
        if (len - at < k) return false;
        at += k;
        sum += k;
    }
    if (at != len) return false;
    *total = uint32_t(sum);
    return true;
}

/* ------------------------------------------------------------------------ */
/* Delivery                                                                  */
/* ------------------------------------------------------------------------ */

/* do_rcv writes the message in ps->qrcv to the receiver's connection: from
 * offset on, at most rbnbytes bytes (both unsigned, as on the wire), under a
 * header that carries prio. The receiver is READY then. */
void do_rcv(QNX_PSTATE *ps, uint32_t rbnbytes, uint32_t offset, int32_t prio) {
    end_receive(ps);
    uint32_t n = delivered_len(ps->qrcv.nbytes, rbnbytes, offset);
    QNX_MSG_HDR h;
    memset(&h, 0, sizeof h);
    h.from_pid = ps->qrcv.from_pid;
    h.from_nid = ps->qrcv.from_nid;
    h.prio = prio;
    h.msg_len = n;
    vlog(LV_MESSAGE, "Receive: nbytes: %d, from: %d//%d to %d//%d, ps=0x%0lx", int(n),
         ps->qrcv.from_nid, ps->qrcv.from_pid, ps->nid, ps->pid, (unsigned long)(uintptr_t)ps);
    DPIECE pieces[2] = {{&h, sizeof h, "QNX_MSG_HDR"},
                        {n ? ps->qrcv.buffer + offset : nullptr, n, "nbytes"}};
    dwritev(ps->fd, pieces, n ? 2 : 1);
}

/* lend_message points receiver r's slot at the message sender s holds. */
static void lend_message(QNX_PSTATE *r, QNX_PSTATE *s) {
    r->qrcv.buffer = s->qsnd.buffer;
    r->qrcv.nbytes = uint32_t(s->qsnd.nbytes);
    r->qrcv.from_pid = s->pid;
    r->qrcv.from_nid = s->nid;
    r->qrcv.lender = LENT_BY_SENDER;
}

/* take_message lends receiver r the message sender s holds, and counts it
 * as received. */
static void take_message(QNX_PSTATE *r, QNX_PSTATE *s) {
    lend_message(r, s);
    r->bytes_received += s->qsnd.nbytes;
    r->msg_received += 1;
}

/* waits_for tells whether r waits in Receive for a message of s: from anyone
 * or from s. */
static bool waits_for(const QNX_PSTATE *r, const QNX_PSTATE *s) {
    return r->state == STATE_RECEIVE_BLOCKED &&
           (r->qrcv.from_pid == 0 || r->qrcv.from_pid == s->pid);
}

/* holds_message tells whether ps is REPLY-blocked on holder, the one process
 * that may reply to it, read its message, write into its reply or relay it. */
static bool holds_message(const QNX_PSTATE *holder, const QNX_PSTATE *ps) {
    return ps && ps->state == STATE_REPLY_BLOCKED && ps->bprocess == holder;
}

/* pass_on hands the message sender s holds to receiver r: when r waits for
 * it (waiting) at once, as much as r's receive asked for, under a header
 * with prio, and s is REPLY-blocked on r; else into the queue, and s is
 * SEND-blocked on r. The caller has made sure that the queue has room. */
static void pass_on(PGLOB *pglob, QNX_PSTATE *s, QNX_PSTATE *r, bool waiting, int32_t prio) {
    if (!waiting) {
        block_send(s, r);
        s->qentry = msgq_add(pglob, r, s, s->pid, s->qsnd.prio);
        return;
    }
    block_reply(s, r);
    uint32_t rbnbytes = r->qrcv.nbytes;
    uint32_t offset = r->qrcv.offset;
    take_message(r, s);
    do_rcv(r, rbnbytes, offset, prio);
}

/* ------------------------------------------------------------------------ */
/* Send                                                                      */
/* ------------------------------------------------------------------------ */

/* send_refused answers Send rq with retcode, which the log calls why. */
static void send_refused(const QNX_CONN *c, REQUEST &rq, int retcode, const char *why) {
    const auto *snd = rq.body<QNX_MSG_HDR_SND>();
    refuse(c, retcode, "Send to %d//%d from %d//%d: %s", snd->to_nid, snd->to_pid, rq.hdr.from_nid,
           rq.hdr.from_pid, why);
}

/* send_blocks checks that the blocks of Send rq fill its variable part and,
 * when it gives its reply buffers' room (VORLEN_FLAG_REPLY_ROOM), that the
 * first is that room's 4 bytes. It gives the message's length in *total and
 * the room in *room (UINT32_MAX when not given); false when they do not. */
static bool send_blocks(const REQUEST &rq, uint32_t *total, uint32_t *room) {
    const auto *snd = rq.body<QNX_MSG_HDR_SND>();
    const bool room_given = (rq.hdr.flags.all & VORLEN_FLAG_REPLY_ROOM) != 0;
    uint32_t first = 0;
    *room = UINT32_MAX;
    if (room_given && rq.var_len >= 8) {
        memcpy(&first, rq.var, 4);
        memcpy(room, rq.var + 4, 4);
    }
    if (!blocks_fit(rq.var, rq.var_len, snd->nblocks, total) ||
        (room_given && (snd->nblocks < 1 || first != 4)))
        return false;
    if (room_given) *total -= 4; /* the room's block is not part of the message */
    return true;
}

/* copy_message copies the blocks of Send rq, total bytes in all, into one
 * buffer, which the caller owns; null when there is no memory. */
static char *copy_message(const QNX_CONN *c, REQUEST &rq, uint32_t total) {
    const auto *snd = rq.body<QNX_MSG_HDR_SND>();
    const bool room_given = (rq.hdr.flags.all & VORLEN_FLAG_REPLY_ROOM) != 0;
    vlog(LV_TRACE, "allocated Buffer %d Bytes", int(rq.hdr.msg_len));
    char *buffer =
        static_cast<char *>(alloc_allowed(total ? total : 1) ? malloc(total ? total : 1) : nullptr);
    if (!buffer) return nullptr;
    uint32_t off = 0;
    if (room_given) dread(c, rq, nullptr, 8, "room");
    for (uint32_t i = room_given ? 1 : 0; i < snd->nblocks; i++) {
        uint32_t k;
        dread(c, rq, &k, 4, "QNX_MSG_BLK_SND");
        dread(c, rq, buffer + off, k, "sblk.nbytes");
        off += k;
    }
    return buffer;
}

void msg_hold(QNX_PSTATE *s, char *buffer, uint32_t total, uid_t user, pid_t to_pid, int32_t prio,
              uint32_t flags, uint32_t room) {
    s->qsnd.buffer = buffer;
    s->qsnd.nbytes = int32_t(total);
    s->qsnd.owner = user;
    s->qsnd.to_pid = to_pid;
    s->qsnd.to_nid = 0;
    s->qsnd.prio = prio;
    s->qsnd.room_given = (flags & VORLEN_FLAG_REPLY_ROOM) != 0;
    s->qsnd.room = s->qsnd.room_given ? room : UINT32_MAX;
    s->qnx4_send = (flags & VORLEN_FLAG_QNX4) != 0;
    s->bytes_send += total;
    s->msg_send += 1;
}

/* hold_message makes buffer, total bytes charged to user, the message that
 * sender s holds from Send rq until it is replied to. */
static void hold_message(QNX_PSTATE *s, const REQUEST &rq, char *buffer, uint32_t total,
                         uint32_t room, uid_t user) {
    msg_hold(s, buffer, total, user, rq.body<QNX_MSG_HDR_SND>()->to_pid, rq.hdr.prio,
             rq.hdr.flags.all, room);
}

const char *msg_pass_refusal(PGLOB *pglob, const QNX_PSTATE *s, const QNX_PSTATE *r,
                             uint32_t nbytes) {
    if (waits_for(r, s)) return delivery_refusal(pglob, r, nbytes);
    if (!msgq_full(pglob)) return nullptr;
    pglob->stats.refused_table++;
    return "the message queue is full";
}

void msg_pass(PGLOB *pglob, QNX_PSTATE *s, QNX_PSTATE *r, int32_t prio) {
    pass_on(pglob, s, r, waits_for(r, s), prio);
}

/* process_snd copies the sender's blocks into one buffer and hands the
 * message to its receiver at once, or queues it. It refuses with ESRCH (no
 * such receiver), EINVAL (blocks that do not fill the request), EAGAIN (queue
 * full, or holding the message, or its delivery waiting in the connection of
 * a receiver that waits for it, would pass the sender's or the receiver's
 * user's share or --max-memory) or EFAULT (no memory); a refused sender
 * stays READY. */
void process_snd(PGLOB *pglob, QNX_CONN *c, REQUEST &rq) {
    QNX_PSTATE *ps_s = c->ps;
    uint32_t total = 0, room = UINT32_MAX;
    char why[192];
    if (!send_blocks(rq, &total, &room)) return send_refused(c, rq, EINVAL, "EINVAL");
    QNX_PSTATE *ps_d = find_process(pglob, rq.body<QNX_MSG_HDR_SND>()->to_pid, FIND_OR_LOCAL);
    if (!ps_d) return send_refused(c, rq, ESRCH, "ESRCH");
    /* Through a circuit: the message goes to the far node at once, in no
     * queue here. A Send resumed after a restart of this daemon was on its
     * way through a circuit when the link went, and is dropped at both ends
     * even when the circuit goes on. */
    const bool stub = ps_d->vc != nullptr;
    if (stub) {
        int e = rq.hdr.flags.all & VORLEN_FLAG_RESUMED ? ESRCH
                                                       : vc_send_refusal(pglob, ps_s, ps_d, total);
        if (e) return send_refused(c, rq, e, strerror(e));
    }
    const bool waiting = !stub && waits_for(ps_d, ps_s);
    if (!stub && !waiting && msgq_full(pglob)) {
        pglob->stats.refused_table++;
        return send_refused(c, rq, EAGAIN, "EAGAIN (message-queue full)");
    }
    /* The request's own bytes leave the input buffer once it is served, but
     * the copy is held until the Reply: that is what the budget must allow. */
    if (const char *bound = mem_refusal(pglob, c->uid, total)) {
        snprintf(why, sizeof why, "EAGAIN (%u bytes would pass %s)", total, bound);
        return send_refused(c, rq, EAGAIN, why);
    }
    char *buffer = copy_message(c, rq, total);
    if (!buffer) return send_refused(c, rq, EFAULT, "EFAULT");
    mem_take(pglob, c->uid, total);
    /* The receiver's user pays for the delivery that waits in its
     * connection, but it is the Send that is refused. */
    if (const char *bound = waiting ? delivery_refusal(pglob, ps_d, total) : nullptr) {
        mem_give(pglob, c->uid, total);
        free(buffer);
        snprintf(why, sizeof why, "EAGAIN (delivering it to %d would pass %s)", ps_d->pid, bound);
        return send_refused(c, rq, EAGAIN, why);
    }
    hold_message(ps_s, rq, buffer, total, room, c->uid);
    if (stub) {
        if (int e = vc_send(pglob, ps_s, ps_d)) {
            msg_release_buffer(pglob, ps_s);
            ps_s->bytes_send -= total;
            ps_s->msg_send -= 1;
            return send_refused(c, rq, e, strerror(e));
        }
        return;
    }
    if ((rq.hdr.flags.all & VORLEN_FLAG_RESUMED) && restore_resumed_send(pglob, c, ps_s, ps_d))
        return;
    if (waiting)
        vlog(LV_MESSAGE,
             "Send: %d bytes from %d//%d to %d//%d -> do_rcv(%d,...,...,%d,%d), "
             "ps_s=0x%lx, ps_d=0x%lx",
             int(total), ps_s->nid, ps_s->pid, ps_d->nid, ps_d->pid, ps_d->fd,
             int(ps_d->qrcv.nbytes), int(ps_d->qrcv.offset), (unsigned long)(uintptr_t)ps_s,
             (unsigned long)(uintptr_t)ps_d);
    else
        vlog(LV_MESSAGE, "Send: %d bytes from %d//%d to %d//%d put into message-queue", int(total),
             ps_s->nid, ps_s->pid, ps_d->nid, ps_d->pid);
    pass_on(pglob, ps_s, ps_d, waiting, rq.hdr.prio);
}

/* ------------------------------------------------------------------------ */
/* Receive                                                                   */
/* ------------------------------------------------------------------------ */

/* receive_refused answers a receive that cannot wait for what it names. */
static void receive_refused(const QNX_CONN *c, const REQUEST &rq, pid_t pid) {
    refuse(c, ESRCH, "%sReceive to %d//%d from %d: ESRCH",
           rq.hdr.ev.typ == MT_NB_RECEIVE ? "C" : "", rq.hdr.from_nid, rq.hdr.from_pid, pid);
}

/* receive_detail is the detail line every receive begins with. */
static void receive_detail(const QNX_MSG_RCV *r) {
    vlog(LV_DETAIL, "process_rcv: from pid %d, offset: %d, nbytes: %d", r->from_pid, int(r->offset),
         int(r->nbytes));
}

/* read_again delivers to receiver r, as receive rq asks, the message that
 * sender s, REPLY-blocked on r, holds; nothing waits or moves. */
static void read_again(QNX_PSTATE *r, QNX_PSTATE *s, REQUEST &rq) {
    const auto *b = rq.body<QNX_MSG_RCV>();
    lend_message(r, s);
    do_rcv(r, b->nbytes, b->offset, rq.hdr.prio);
}

/* take_queued gives receiver r what queue entry e holds for it: a sender's
 * message, whose sender is REPLY-blocked on r then, or a proxy's. The entry
 * goes, unless its proxy counts triggers and more remain: then the proxy
 * waits again behind what was queued meanwhile, in the same entry, so a full
 * queue cannot lose it. */
static void take_queued(PGLOB *pglob, QNX_PSTATE *r, QNX_MQUEUE *e) {
    if (e->from_pid > 0 && e->sprocess) {
        QNX_PSTATE *sp = e->sprocess;
        take_message(r, sp);
        block_reply(sp, r);
        sp->qentry = nullptr;
        msgq_remove(pglob, e);
        return;
    }
    QNX_PROXY_STATE *p = proxy_slot(pglob, e->from_pid);
    r->qrcv.buffer = p ? p->message : nullptr;
    r->qrcv.nbytes = p ? uint32_t(p->nbytes) : 0;
    r->qrcv.from_pid = e->from_pid;
    r->qrcv.from_nid = p ? p->from_nid : 0;
    r->qrcv.lender = LENT_BY_PROXY;
    if (p && p->counting && p->trigger_cnt > 1) {
        p->trigger_cnt--; /* one trigger taken, others remain */
        state_proxy(pglob, p);
        msgq_requeue(pglob, e);
        return;
    }
    if (p) {
        p->trigger_cnt = 0;
        p->qentry = nullptr;
        state_proxy(pglob, p);
    }
    msgq_remove(pglob, e);
}

/* awaited finds in *from whom receive rq waits for: the record of its pid
 * when that is a process (made for one that has not connected), none for
 * anyone (0) or for a proxy id, whose proxy must be attached. No record is
 * made for a proxy. False, the receive refused, when there is no such
 * process or proxy. */
static bool awaited(PGLOB *pglob, const QNX_CONN *c, const REQUEST &rq, QNX_PSTATE **from) {
    const pid_t pid = rq.body<QNX_MSG_RCV>()->from_pid;
    *from = nullptr;
    if (pid < 0) {
        const QNX_PROXY_STATE *p = proxy_slot(pglob, pid);
        if (p && p->process) return true;
    } else if (pid == 0 || (*from = find_process(pglob, pid, FIND_OR_LOCAL)) != nullptr) {
        return true;
    }
    receive_refused(c, rq, pid);
    return false;
}

/* process_rcv serves MT_RECEIVE and MT_NB_RECEIVE: it delivers a matching
 * queued message or trigger, or re-reads the message of the sender it names
 * when the receiver holds it. Otherwise the receiver blocks (MT_RECEIVE), or
 * is told ENOMSG at once (MT_NB_RECEIVE, which never blocks). It refuses with
 * ESRCH a pid that is no process and a proxy id of no attached proxy. */
void process_rcv(PGLOB *pglob, QNX_CONN *c, REQUEST &rq) {
    const auto *r = rq.body<QNX_MSG_RCV>();
    QNX_PSTATE *ps_d = c->ps;
    receive_detail(r);
    if (QNX_MQUEUE *e = msgq_retrieve(pglob, ps_d, r->from_pid)) {
        take_queued(pglob, ps_d, e);
        do_rcv(ps_d, r->nbytes, r->offset, rq.hdr.prio);
        return;
    }
    QNX_PSTATE *from;
    if (!awaited(pglob, c, rq, &from)) return;
    if (holds_message(ps_d, from)) return read_again(ps_d, from, rq);
    if (rq.hdr.ev.typ == MT_NB_RECEIVE) {
        /* One for anyone or for a proxy forgets the sender it last waited
         * for, as a blocking one would. */
        if (!from) make_ready(ps_d);
        send_status(c->fd, ENOMSG);
        return;
    }
    ps_d->qrcv.nbytes = r->nbytes;
    ps_d->qrcv.offset = r->offset;
    ps_d->qrcv.from_pid = r->from_pid;
    ps_d->qrcv.from_nid = 0;
    ps_d->rcv_type = rq.hdr.ev.typ;
    vlog(LV_DETAIL, "setup_rcv: nbytes=%d, offset=%d, ps_d=0x%lx", int(r->nbytes), int(r->offset),
         (unsigned long)(uintptr_t)ps_d);
    block_receive(ps_d, from);
}

/* process_reread serves Readmsg, a receive marked VORLEN_FLAG_REREAD: the
 * message of the sender it names, REPLY-blocked on the caller, is delivered
 * again from the offset asked for; nothing waits or moves. It refuses with
 * ESRCH when the caller holds no message of that pid. */
void process_reread(PGLOB *pglob, QNX_CONN *c, REQUEST &rq) {
    const auto *r = rq.body<QNX_MSG_RCV>();
    receive_detail(r);
    QNX_PSTATE *ps = r->from_pid > 0 ? find_process(pglob, r->from_pid, FIND_ONLY) : nullptr;
    if (!holds_message(c->ps, ps)) return receive_refused(c, rq, r->from_pid);
    read_again(c->ps, ps, rq);
}

/* ------------------------------------------------------------------------ */
/* Reply, Writemsg and Relay                                                 */
/* ------------------------------------------------------------------------ */

/* reply_detail is the detail line every MT_REPLY begins with. */
static void reply_detail(const REQUEST &rq) {
    vlog(LV_DETAIL, "process_rpl, msg_len: %d", int(rq.hdr.msg_len));
}

/* marked_refused answers an MT_REPLY marked for Writemsg or Relay that is
 * refused with retcode, which the log calls name. */
static void marked_refused(const QNX_CONN *c, REQUEST &rq, int retcode, const char *name) {
    refuse(c, retcode, "%s to %d from %d//%d: %s", rq.row->name, rq.body<QNX_MSG_HDR_RPL>()->to_pid,
           rq.hdr.from_nid, rq.hdr.from_pid, name);
}

/* process_both_marks refuses an MT_REPLY marked for both Writemsg and Relay
 * with EINVAL. */
void process_both_marks(PGLOB *, QNX_CONN *c, REQUEST &rq) {
    reply_detail(rq);
    marked_refused(c, rq, EINVAL, "EINVAL");
}

/* written_answer answers a Writemsg on connection c into the reply of sender
 * that kept n bytes: with the count when the sender gave its reply buffers'
 * room, status-only otherwise. */
static void written_answer(const QNX_CONN *c, const QNX_PSTATE *sender, uint32_t n) {
    if (!sender->qsnd.room_given) {
        send_status(c->fd, 0);
        return;
    }
    struct {
        QNX_MSG_HDR h;
        uint32_t n;
    } a{};
    a.h.msg_len = sizeof a.n;
    a.n = n;
    dwrite(c->fd, &a, sizeof a, "QNX_MSG_HDR+count");
}

/* write_refusal says why writer on connection c may not keep nbytes more
 * (cost with their record) at offset in the reply of sender: more kept for
 * that sender than the limit, or the writer's share or the memory bound
 * passed by the bytes or, for what they make the reply longer (*longer,
 * charged to *payer), by the reply's length. Null when it may. */
static const char *write_refusal(PGLOB *pglob, const QNX_CONN *c, const QNX_PSTATE *sender,
                                 uint32_t offset, uint32_t nbytes, uid_t *payer, uint32_t *longer) {
    static char why[192];
    const size_t cost = sizeof(QNX_RWRITE) + nbytes;
    const uint32_t end = offset + nbytes;
    *longer = end > sender->reply_len ? end - sender->reply_len : 0;
    *payer = sender->reply_len ? sender->reply_owner : sender_user(pglob, sender);
    if (sender->rwrite_held + cost > pglob->max_request) return "EFAULT";
    const char *bound = mem_refusal(pglob, c->uid, cost);
    if (!bound) {
        mem_take(pglob, c->uid, cost); /* so that the reply's length is checked on top */
        bound = *longer ? mem_refusal(pglob, *payer, *longer) : nullptr;
        mem_give(pglob, c->uid, cost);
    }
    if (!bound) return nullptr;
    snprintf(why, sizeof why, "EFAULT (%u bytes into a reply of %u would pass %s)", nbytes,
             end > sender->reply_len ? end : sender->reply_len, bound);
    return why;
}

/* keep_written reads the bytes of Writemsg rq behind its offset block, at
 * most nbytes of them, into a write at offset in the reply of sender, which
 * its writer on connection c pays for; false, nothing kept, without memory. */
static bool keep_written(PGLOB *pglob, const QNX_CONN *c, REQUEST &rq, QNX_PSTATE *sender,
                         uint32_t offset, uint32_t nbytes) {
    const size_t cost = sizeof(QNX_RWRITE) + nbytes;
    QNX_RWRITE *w = alloc_allowed(cost) ? static_cast<QNX_RWRITE *>(malloc(cost)) : nullptr;
    if (!w) return false;
    w->offset = offset;
    w->nbytes = nbytes;
    w->owner = c->uid;
    mem_take(pglob, c->uid, cost);
    dread(c, rq, nullptr, 8, "offset");
    uint32_t at = 0;
    for (uint32_t i = 1; i < rq.body<QNX_MSG_HDR_RPL>()->nblocks; i++) {
        uint32_t k;
        dread(c, rq, &k, 4, "QNX_MSG_BLK_RPL");
        uint32_t kept = std::min(k, nbytes - at);
        dread(c, rq, w->bytes() + at, kept, "nbytes");
        dread(c, rq, nullptr, k - kept, "beyond the reply buffer");
        at += kept;
    }
    w->next = sender->rwrites;
    sender->rwrites = w;
    sender->rwrite_held += cost;
    return true;
}

/* process_writemsg keeps bytes that the caller writes into the reply of a
 * sender REPLY-blocked on it, to go out with that reply, and answers 0. The
 * request's first block is the offset, the others the bytes. It refuses with
 * EINVAL (blocks that do not fill the request, or no 4-byte offset block
 * first), EFAULT (bytes that would end beyond the request limit, more kept
 * for that sender than the limit, a share or the memory bound passed, or no
 * memory) or ESRCH (no sender of that pid REPLY-blocked on the caller); a
 * refusal keeps nothing. What is kept is bounded by the limit per sender,
 * whatever the offsets: a reply merged from it is never longer than a request
 * may be. The bytes are charged to the writer; a write that makes the reply
 * longer charges what it adds to the reply's length to the user of the
 * connection the reply will wait in, at once, as if it waited there already. */
void process_writemsg(PGLOB *pglob, QNX_CONN *c, REQUEST &rq) {
    const auto *rp = rq.body<QNX_MSG_HDR_RPL>();
    QNX_PSTATE *writer = c->ps;
    reply_detail(rq);
    uint32_t total = 0, first = 0, offset = 0;
    if (rq.var_len >= 8) {
        memcpy(&first, rq.var, 4);
        memcpy(&offset, rq.var + 4, 4);
    }
    if (!blocks_fit(rq.var, rq.var_len, rp->nblocks, &total) || rp->nblocks < 1 || first != 4)
        return marked_refused(c, rq, EINVAL, "EINVAL");
    uint32_t nbytes = total - 4;
    QNX_PSTATE *ps = find_process(pglob, rp->to_pid, FIND_ONLY);
    /* A sender that gave its reply buffers' room gets only what fits there,
     * and the writer is told how much that is. */
    const bool room = holds_message(writer, ps) && ps->qsnd.room_given;
    if (room) nbytes = offset >= ps->qsnd.room ? 0 : std::min(nbytes, ps->qsnd.room - offset);
    if ((!room || nbytes > 0) && uint64_t(offset) + nbytes > pglob->max_request)
        return marked_refused(c, rq, EFAULT, "EFAULT");
    if (!holds_message(writer, ps)) return marked_refused(c, rq, ESRCH, "ESRCH");
    if (nbytes == 0) return written_answer(c, ps, 0);
    /* Each write is charged with its record, so that many small ones cannot
     * hold more than the limit either. */
    uid_t payer;
    uint32_t longer;
    if (const char *why = write_refusal(pglob, c, ps, offset, nbytes, &payer, &longer))
        return marked_refused(c, rq, EFAULT, why);
    if (!keep_written(pglob, c, rq, ps, offset, nbytes))
        return marked_refused(c, rq, EFAULT, "EFAULT");
    mem_take(pglob, payer, longer);
    ps->reply_owner = payer;
    ps->reply_len += longer;
    writer->bytes_reply += nbytes;
    vlog(LV_MESSAGE, "Writemsg from %d//%d to %d: %u bytes at %u", rq.hdr.from_nid, rq.hdr.from_pid,
         ps->pid, nbytes, offset);
    written_answer(c, ps, nbytes);
}

/* process_relay hands the message of a sender REPLY-blocked on the caller on
 * to the target its one block names, as if the sender had sent it there: it
 * is delivered at once when the target waits to receive from anyone or from
 * that sender, and queued for the target otherwise. The caller no longer
 * holds it; what was written into the sender's reply stays with the sender.
 * Answers 0; refuses with EINVAL (not one 4-byte block), ESRCH (no sender of
 * that pid REPLY-blocked on the caller, or no target of that pid) or EAGAIN
 * (queue full, or a delivery at once that would pass the target's user's
 * share or the memory bound, as for a Send); a refusal changes nothing. */
void process_relay(PGLOB *pglob, QNX_CONN *c, REQUEST &rq) {
    const auto *rp = rq.body<QNX_MSG_HDR_RPL>();
    QNX_PSTATE *relayer = c->ps;
    reply_detail(rq);
    uint32_t total = 0;
    pid_t to = 0;
    if (!blocks_fit(rq.var, rq.var_len, rp->nblocks, &total) || rp->nblocks != 1 || total != 4)
        return marked_refused(c, rq, EINVAL, "EINVAL");
    memcpy(&to, rq.var + 4, 4);
    QNX_PSTATE *ps = find_process(pglob, rp->to_pid, FIND_ONLY);
    /* Looking the target up may remove the record of a dead pid that never
     * connected, but never the sender's or the caller's: both are connected. */
    QNX_PSTATE *target =
        holds_message(relayer, ps) ? find_process(pglob, to, FIND_OR_LOCAL) : nullptr;
    /* ... and, removing a process of this node that is gone, the circuits it
     * was the party of: a stub's message may be what is relayed. */
    ps = find_process(pglob, rp->to_pid, FIND_ONLY);
    if (!holds_message(relayer, ps)) target = nullptr;
    if (!target) return marked_refused(c, rq, ESRCH, "ESRCH");
    if (target->vc) {
        int e = vc_send_refusal(pglob, relayer, target, uint32_t(ps->qsnd.nbytes));
        if (!e) e = vc_send(pglob, ps, target);
        if (e) return marked_refused(c, rq, e, strerror(e));
        unlend(relayer, ps);
        ps->qsnd.to_pid = to;
        vlog(LV_MESSAGE, "Relay from %d//%d: %d to %d", rq.hdr.from_nid, rq.hdr.from_pid, ps->pid,
             to);
        send_status(c->fd, 0);
        return;
    }
    const bool waiting = waits_for(target, ps);
    if (!waiting && msgq_full(pglob)) return marked_refused(c, rq, EAGAIN, "EAGAIN");
    if (const char *bound =
            waiting ? delivery_refusal(pglob, target, uint32_t(ps->qsnd.nbytes)) : nullptr) {
        char why[192];
        snprintf(why, sizeof why, "EAGAIN (delivering it to %d would pass %s)", target->pid, bound);
        return marked_refused(c, rq, EAGAIN, why);
    }
    unlend(relayer, ps);
    ps->qsnd.to_pid = to;
    vlog(LV_MESSAGE, "Relay from %d//%d: %d to %d%s", rq.hdr.from_nid, rq.hdr.from_pid, ps->pid, to,
         waiting ? "" : ", put into message-queue");
    pass_on(pglob, ps, target, waiting, rq.hdr.prio);
    send_status(c->fd, 0);
}

/* merge_reply puts the reply to sender together with what was written into
 * it: the writes in the order they came, each over those before, then the
 * reply's own pieces from offset 0 over them all; bytes that nobody wrote are
 * 0. The writes are used up. It returns the reply (the caller frees it) and
 * its length in *len, which no write or reply makes longer than a request
 * may be; or null, changing nothing, when there is no memory. */
static char *merge_reply(QNX_PSTATE *sender, const DPIECE *pieces, int n, uint32_t total,
                         uint32_t *len) {
    uint32_t end = total;
    for (const QNX_RWRITE *w = sender->rwrites; w; w = w->next)
        if (w->offset + w->nbytes > end) end = w->offset + w->nbytes;
    char *buf = static_cast<char *>(calloc(end ? end : 1, 1));
    if (!buf) return nullptr;
    QNX_RWRITE *oldest = nullptr, *next;
    for (QNX_RWRITE *w = sender->rwrites; w; w = next) {
        next = w->next;
        w->next = oldest;
        oldest = w;
    }
    sender->rwrites = oldest;
    for (const QNX_RWRITE *w = oldest; w; w = w->next)
        memcpy(buf + w->offset, w->bytes(), w->nbytes);
    drop_rwrites(sender);
    size_t at = 0;
    for (int i = 0; i < n; i++) {
        memcpy(buf + at, pieces[i].buff, pieces[i].nbytes);
        at += pieces[i].nbytes;
    }
    *len = end;
    return buf;
}

/* written_pieces gives the bytes written into the reply of sender beyond
 * its first from, as the pieces of VORLEN_FLAG_REPLY_ROOM's reply (offset,
 * length, bytes; rising, a later write over an earlier one) in *pieces, and
 * how many written bytes they carry in *carried. The writes stay. False, with
 * nothing made, when there is no memory. */
static bool written_pieces(const QNX_PSTATE *sender, uint32_t from, std::vector<char> *pieces,
                           uint32_t *carried) {
    uint32_t end = from;
    std::vector<const QNX_RWRITE *> writes; /* oldest first */
    for (const QNX_RWRITE *w = sender->rwrites; w; w = w->next)
        end = std::max(end, w->offset + w->nbytes);
    *carried = 0;
    if (end == from) return true;
    if (!alloc_allowed(2 * size_t(end - from))) return false;
    try {
        for (const QNX_RWRITE *w = sender->rwrites; w; w = w->next) writes.push_back(w);
        std::reverse(writes.begin(), writes.end());
        std::vector<char> bytes(end - from);
        std::vector<bool> covered(end - from);
        for (const QNX_RWRITE *w : writes) {
            uint32_t lo = std::max(w->offset, from), hi = w->offset + w->nbytes;
            if (lo >= hi) continue;
            memcpy(bytes.data() + (lo - from), w->bytes() + (lo - w->offset), hi - lo);
            std::fill(covered.begin() + (lo - from), covered.begin() + (hi - from), true);
        }
        for (uint32_t i = 0; i < end - from;) {
            if (!covered[i]) {
                i++;
                continue;
            }
            uint32_t j = i;
            while (j < end - from && covered[j]) j++;
            uint32_t head[2] = {from + i, j - i};
            const char *h = reinterpret_cast<const char *>(head);
            pieces->insert(pieces->end(), h, h + sizeof head);
            pieces->insert(pieces->end(), bytes.data() + i, bytes.data() + j);
            *carried += j - i;
            i = j;
        }
    } catch (const std::bad_alloc &) {
        pieces->clear();
        return false;
    }
    return true;
}

/* The pieces of a reply to go out: the header first, then the reply's
 * blocks as they lie in the request, and the written bytes' pieces last. A
 * reply has few parts; one of more is gathered into a single copy, so that
 * the daemon's bookkeeping is bounded by the reply's bytes, never by a block
 * count it was sent. */
struct REPLY_OUT {
    static constexpr int REPLY_PARTS = 16;
    QNX_MSG_HDR ah;
    DPIECE pieces[1 + REPLY_PARTS + 1];
    int npieces = 0;
    std::vector<char> gathered;
    std::vector<char> written; /* the pieces of the bytes written into it */
    char *merged = nullptr;    /* the reply merged with what was written into it */
    REPLY_OUT() = default;
    REPLY_OUT(const REPLY_OUT &) = delete;
    REPLY_OUT &operator=(const REPLY_OUT &) = delete;
    ~REPLY_OUT() { free(merged); }
};

/* reply_refused answers Reply rq with retcode, which the log calls why. */
static void reply_refused(const QNX_CONN *c, REQUEST &rq, int retcode, const char *why) {
    refuse(c, retcode, "Reply from %d//%d to %d: %s", rq.hdr.from_nid, rq.hdr.from_pid,
           rq.body<QNX_MSG_HDR_RPL>()->to_pid, why);
}

/* reply_pieces reads the blocks of Reply rq, total bytes, into the pieces
 * of out; false when there is no memory to gather them. */
static bool reply_pieces(const QNX_CONN *c, REQUEST &rq, uint32_t total, REPLY_OUT *out) {
    memset(&out->ah, 0, sizeof out->ah);
    out->ah.msg_len = total;
    out->pieces[out->npieces++] = {&out->ah, sizeof out->ah, "QNX_MSG_HDR"};
    for (uint32_t i = 0; i < rq.body<QNX_MSG_HDR_RPL>()->nblocks; i++) {
        uint32_t k;
        dread(c, rq, &k, 4, "QNX_MSG_BLK_RPL");
        const unsigned char *data = rq.var;
        dread(c, rq, nullptr, k, "nbytes");
        if (!k) continue;
        if (out->npieces < 1 + REPLY_OUT::REPLY_PARTS && out->gathered.empty()) {
            out->pieces[out->npieces++] = {data, k, "nbytes"};
            continue;
        }
        if (out->gathered.empty()) {
            if (!alloc_allowed(total)) return false;
            try {
                out->gathered.reserve(total);
            } catch (const std::bad_alloc &) {
                return false;
            }
            for (int j = 1; j < out->npieces; j++) {
                const char *b = static_cast<const char *>(out->pieces[j].buff);
                out->gathered.insert(out->gathered.end(), b, b + out->pieces[j].nbytes);
            }
            out->npieces = 1;
        }
        out->gathered.insert(out->gathered.end(), data, data + k);
    }
    if (!out->gathered.empty())
        out->pieces[out->npieces++] = {out->gathered.data(), out->gathered.size(), "gathered"};
    return true;
}

/* with_written adds to the reply of total bytes in out what was written into
 * the reply of sender: as pieces of their own behind it (as_pieces), or
 * merged with it into one copy. False when there is no memory. */
static bool with_written(QNX_PSTATE *sender, uint32_t total, bool as_pieces, REPLY_OUT *out) {
    if (as_pieces) {
        out->ah.flags.all = VORLEN_FLAG_WRITEMSG;
        out->ah.prio = int32_t(total);
        out->ah.msg_len = total + uint32_t(out->written.size());
        if (!out->written.empty())
            out->pieces[out->npieces++] = {out->written.data(), out->written.size(), "written"};
        return true;
    }
    out->merged = merge_reply(sender, out->pieces + 1, out->npieces - 1, total, &out->ah.msg_len);
    if (!out->merged) return false;
    out->pieces[1] = {out->merged, out->ah.msg_len, "merged"};
    out->npieces = 2;
    return true;
}

/* reply_refusal says why a reply of len bytes to sender could not wait in
 * the sender's connection: past its user's share or the memory bound, what
 * Writemsg charged for the reply's length being the sender's already. Null
 * when it could; an empty reply is a status-only answer, which always can. */
static const char *reply_refusal(PGLOB *pglob, const QNX_PSTATE *sender, uint32_t len) {
    /* A stub's reply goes to its far sender over the link. */
    if (sender->vc) return link_room(pglob, sender->vc->nid, sizeof(LINK_REPLY_BODY) + size_t(len));
    size_t credit = sender->reply_owner == sender_user(pglob, sender) ? sender->reply_len : 0;
    return len ? answer_refusal(pglob, sender->fd, sizeof(QNX_MSG_HDR) + len, credit) : nullptr;
}

/* process_rpl writes the reply to the sender that is REPLY-blocked on the
 * replier and answers the replier 0. A reply to anyone else (not blocked, or
 * blocked on another receiver) is refused with ESRCH; blocks that do not fill
 * the request with EINVAL; a reply that would wait in the sender's connection
 * past its user's share or the memory bound, or for which there is no memory,
 * with EFAULT, and the sender keeps waiting. The reply bytes go out from the
 * request itself, with the bytes written into it before it came: to a sender
 * that gave its room as pieces beyond the reply's own, so that what nobody
 * wrote stays as it was, else merged. */
void process_rpl(PGLOB *pglob, QNX_CONN *c, REQUEST &rq) {
    const auto *rp = rq.body<QNX_MSG_HDR_RPL>();
    QNX_PSTATE *replier = c->ps;
    reply_detail(rq);
    uint32_t total = 0;
    if (!blocks_fit(rq.var, rq.var_len, rp->nblocks, &total)) {
        refuse(c, EINVAL, "Reply to %d//%d from %d//%d: EINVAL", rp->to_nid, rp->to_pid,
               rq.hdr.from_nid, rq.hdr.from_pid);
        return;
    }
    REPLY_OUT out;
    if (!reply_pieces(c, rq, total, &out)) return send_status(c->fd, EFAULT);
    QNX_PSTATE *ps = find_process(pglob, rp->to_pid, FIND_ONLY);
    if (ps) vlog(LV_DETAIL, "process_rpl: to-ps, pid: %d, fd: %d", ps->pid, ps->fd);
    if (!holds_message(replier, ps)) return reply_refused(c, rq, ESRCH, "ESRCH");
    const bool as_pieces = ps->rwrites && ps->qsnd.room_given;
    uint32_t carried = 0;
    if (as_pieces && !written_pieces(ps, total, &out.written, &carried))
        return reply_refused(c, rq, EFAULT, "EFAULT");
    uint32_t len = as_pieces                              ? total + uint32_t(out.written.size())
                   : ps->rwrites && ps->reply_len > total ? ps->reply_len
                                                          : total;
    if (const char *bound = reply_refusal(pglob, ps, len)) {
        char why[192];
        snprintf(why, sizeof why, "EFAULT (%u bytes would pass %s)", len, bound);
        return reply_refused(c, rq, EFAULT, why);
    }
    if (ps->rwrites && !with_written(ps, total, as_pieces, &out))
        return reply_refused(c, rq, EFAULT, "EFAULT");
    if (!ps->vc)
        dwritev(ps->fd, out.pieces, out.npieces);
    else if (vc_reply(pglob, ps, out.pieces, out.npieces) != 0)
        return reply_refused(c, rq, EFAULT, "EFAULT (no room on the link)");
    /* Only a Reply that is delivered counts. */
    replier->bytes_reply += total;
    replier->msg_reply += 1;
    msg_release_buffer(pglob, ps);
    make_ready(ps);
    ps->msg_received += 1;
    ps->bytes_received += as_pieces ? total + carried : out.ah.msg_len;
    vlog(LV_MESSAGE, "Reply from %d//%d to %d, %d Bytes", rq.hdr.from_nid, rq.hdr.from_pid,
         rp->to_pid, int(total));
    answer_in_place(c, rq, 0, "QNX_MSG_HDR");
}
