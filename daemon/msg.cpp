/* msg.cpp - synchronous message passing: Send, Receive, Reply and the message queue */
#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

#include "vorleni.h"

/* ------------------------------------------------------------------------ */
/* The message queue: a fixed pool threaded into one list in arrival order.  */
/* ------------------------------------------------------------------------ */

/* msgq_add appends a message (or a proxy's pending trigger, with no sender)
 * of priority prio for addressee to. It returns null and stores nothing when
 * all entries are in use; the callers refuse or retry, nothing waits without
 * an entry. */
QNX_MQUEUE *msgq_add(PGLOB *pglob, QNX_PSTATE *to, QNX_PSTATE *from, pid_t from_pid, int32_t prio) {
    if (pglob->mqueue_used >= QNX_MQUEUE_SIZE) return nullptr;
    QNX_MQUEUE *e = nullptr;
    for (int i = 0; i < QNX_MQUEUE_SIZE; i++)
        if (!pglob->mqueue[i].process) {
            e = &pglob->mqueue[i];
            break;
        }
    e->process = to;
    e->sprocess = from;
    e->from_pid = from_pid;
    e->prio = prio;
    e->next = nullptr;
    e->prev = pglob->mqueue_end;
    if (pglob->mqueue_end)
        pglob->mqueue_end->next = e;
    else
        pglob->mqueue_start = e;
    pglob->mqueue_end = e;
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
    for (QNX_MQUEUE *e = pglob->mqueue_start; e; e = e->next) {
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
    if (e->prev)
        e->prev->next = e->next;
    else
        pglob->mqueue_start = e->next;
    if (e->next)
        e->next->prev = e->prev;
    else
        pglob->mqueue_end = e->prev;
    memset(e, 0, sizeof *e);
    pglob->mqueue_used--;
}

/* msgq_requeue moves entry e to the tail, behind everything queued so far,
 * as if it had just been added. It takes no free entry, so it cannot fail
 * when the queue is full. */
void msgq_requeue(PGLOB *pglob, QNX_MQUEUE *e) {
    if (!e->process || pglob->mqueue_end == e) return;
    if (e->prev)
        e->prev->next = e->next;
    else
        pglob->mqueue_start = e->next;
    e->next->prev = e->prev;
    e->next = nullptr;
    e->prev = pglob->mqueue_end;
    pglob->mqueue_end->next = e;
    pglob->mqueue_end = e;
}

/* unlend empties the slot of receiver r when it borrows the message sender
 * holds, so that nothing there points at a message r no longer holds. */
static void unlend(QNX_PSTATE *r, const QNX_PSTATE *sender) {
    if (r && sender->qsnd.buffer && r->qrcv.buffer == sender->qsnd.buffer &&
        !r->qrcv.do_not_freeit) {
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

/* conn_user is the user of connection fd, UID_UNKNOWN when there is none. */
static uid_t conn_user(PGLOB *pglob, int fd) {
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
    QNX_MQUEUE *next;
    for (QNX_MQUEUE *e = pglob->mqueue_start; e; e = next) {
        next = e->next;
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

/* do_rcv writes the message in ps->qrcv to receiver socket fd: from offset
 * on, at most rbnbytes bytes (both unsigned, as on the wire). */
void do_rcv(int fd, PGLOB *pglob, QNX_PSTATE *ps, uint32_t rbnbytes, uint32_t offset) {
    ps->state = STATE_READY;
    uint32_t n = delivered_len(ps->qrcv.nbytes, rbnbytes, offset);
    QNX_MSG_HDR h;
    memset(&h, 0, sizeof h);
    h.from_pid = ps->qrcv.from_pid;
    h.from_nid = ps->qrcv.from_nid;
    h.prio = pglob->rcv_buffer->prio;
    h.msg_len = n;
    vlog(LV_MESSAGE, "Receive: nbytes: %d, from: %d//%d to %d//%d, ps=0x%0lx", int(n),
         ps->qrcv.from_nid, ps->qrcv.from_pid, ps->nid, ps->pid, (unsigned long)(uintptr_t)ps);
    DPIECE pieces[2] = {{&h, sizeof h, "QNX_MSG_HDR"},
                        {n ? ps->qrcv.buffer + offset : nullptr, n, "nbytes"}};
    dwritev(fd, pieces, n ? 2 : 1);
}

/* lend_message points receiver r's slot at the message sender s holds. */
static void lend_message(QNX_PSTATE *r, QNX_PSTATE *s) {
    r->qrcv.buffer = s->qsnd.buffer;
    r->qrcv.nbytes = uint32_t(s->qsnd.nbytes);
    r->qrcv.from_pid = s->pid;
    r->qrcv.from_nid = s->nid;
    r->qrcv.do_not_freeit = 0;
}

/* ------------------------------------------------------------------------ */
/* Handlers                                                                  */
/* ------------------------------------------------------------------------ */

/* process_snd copies the sender's blocks into one buffer and hands the
 * message to its receiver at once, or queues it. It refuses with ESRCH (no
 * such receiver), EINVAL (blocks that do not fill the request), EAGAIN (queue
 * full, or holding the message, or its delivery waiting in the connection of
 * a receiver that waits for it, would pass the sender's or the receiver's
 * user's share or --max-memory) or EFAULT (no memory); a refused sender
 * stays READY. */
void process_snd(PGLOB *pglob) {
    QNX_MSG_HDR *h = pglob->rcv_buffer;
    auto *snd = reinterpret_cast<QNX_MSG_HDR_SND *>(h + 1);
    int fd = pglob->act_fd;
    QNX_PSTATE *ps_s = pglob->fdpstate[fd];
    uint32_t total = 0, first = 0, room = UINT32_MAX;
    const bool room_given = (h->flags.all & VORLEN_FLAG_REPLY_ROOM) != 0;
    if (room_given && pglob->req_var_len >= 8) {
        memcpy(&first, pglob->req_var, 4);
        memcpy(&room, pglob->req_var + 4, 4);
    }
    if (!blocks_fit(pglob->req_var, pglob->req_var_len, snd->nblocks, &total) ||
        (room_given && (snd->nblocks < 1 || first != 4))) {
        refuse(pglob, EINVAL, "Send to %d//%d from %d//%d: EINVAL", snd->to_nid, snd->to_pid,
               h->from_nid, h->from_pid);
        return;
    }
    if (room_given) total -= 4; /* the room's block is not part of the message */
    QNX_PSTATE *ps_d = find_process(pglob, snd->to_pid, 1);
    if (!ps_s || !ps_d) {
        refuse(pglob, ESRCH, "Send to %d//%d from %d//%d: ESRCH", snd->to_nid, snd->to_pid,
               h->from_nid, h->from_pid);
        return;
    }
    bool waiting = ps_d->state == STATE_RECEIVE_BLOCKED &&
                   (ps_d->qrcv.from_pid == 0 || ps_d->qrcv.from_pid == ps_s->pid);
    if (!waiting && pglob->mqueue_used >= QNX_MQUEUE_SIZE) {
        pglob->stats.refused_table++;
        refuse(pglob, EAGAIN, "Send to %d//%d from %d//%d: EAGAIN (message-queue full)",
               snd->to_nid, snd->to_pid, h->from_nid, h->from_pid);
        return;
    }
    /* The request's own bytes leave the input buffer once it is served, but
     * the copy is held until the Reply: that is what the budget must allow. */
    const uid_t user = pglob->conns[fd]->uid;
    if (const char *why = mem_refusal(pglob, user, total)) {
        refuse(pglob, EAGAIN, "Send to %d//%d from %d//%d: EAGAIN (%u bytes would pass %s)",
               snd->to_nid, snd->to_pid, h->from_nid, h->from_pid, total, why);
        return;
    }
    ps_s->fd = fd;
    vlog(LV_TRACE, "allocated Buffer %d Bytes", int(h->msg_len));
    char *buffer =
        static_cast<char *>(alloc_allowed(total ? total : 1) ? malloc(total ? total : 1) : nullptr);
    if (!buffer) {
        refuse(pglob, EFAULT, "Send to %d//%d from %d//%d: EFAULT", snd->to_nid, snd->to_pid,
               h->from_nid, h->from_pid);
        return;
    }
    uint32_t off = 0;
    if (room_given) dread(fd, nullptr, 8, "room");
    for (uint32_t i = room_given ? 1 : 0; i < snd->nblocks; i++) {
        uint32_t k;
        dread(fd, &k, 4, "QNX_MSG_BLK_SND");
        dread(fd, buffer + off, k, "sblk.nbytes");
        off += k;
    }
    mem_take(pglob, user, total);
    /* The receiver's user pays for the delivery that waits in its
     * connection, but it is the Send that is refused. */
    if (const char *why = waiting ? delivery_refusal(pglob, ps_d, total) : nullptr) {
        mem_give(pglob, user, total);
        free(buffer);
        refuse(pglob, EAGAIN,
               "Send to %d//%d from %d//%d: EAGAIN (delivering it to %d would pass %s)",
               snd->to_nid, snd->to_pid, h->from_nid, h->from_pid, ps_d->pid, why);
        return;
    }

    ps_s->qsnd.buffer = buffer;
    ps_s->qsnd.nbytes = int32_t(total);
    ps_s->qsnd.owner = user;
    ps_s->qsnd.to_pid = snd->to_pid;
    ps_s->qsnd.to_nid = 0;
    ps_s->qsnd.prio = h->prio;
    ps_s->qsnd.room_given = room_given;
    ps_s->qsnd.room = room;
    ps_s->state = STATE_SEND_BLOCKED;
    ps_s->bprocess = ps_d;
    ps_s->qnx4_send = (h->flags.all & VORLEN_FLAG_QNX4) != 0;
    ps_s->bytes_send += total;
    ps_s->msg_send += 1;
    if ((h->flags.all & VORLEN_FLAG_RESUMED) && restore_resumed_send(pglob, ps_s, ps_d)) return;

    if (waiting) {
        uint32_t rbnbytes = ps_d->qrcv.nbytes;
        uint32_t offset = ps_d->qrcv.offset;
        lend_message(ps_d, ps_s);
        ps_d->bytes_received += total;
        ps_d->msg_received += 1;
        ps_s->state = STATE_REPLY_BLOCKED;
        vlog(LV_MESSAGE,
             "Send: %d bytes from %d//%d to %d//%d -> do_rcv(%d,...,...,%d,%d), "
             "ps_s=0x%lx, ps_d=0x%lx",
             int(total), ps_s->nid, ps_s->pid, ps_d->nid, ps_d->pid, ps_d->fd, int(rbnbytes),
             int(offset), (unsigned long)(uintptr_t)ps_s, (unsigned long)(uintptr_t)ps_d);
        do_rcv(ps_d->fd, pglob, ps_d, rbnbytes, offset);
        return;
    }
    vlog(LV_MESSAGE, "Send: %d bytes from %d//%d to %d//%d put into message-queue", int(total),
         ps_s->nid, ps_s->pid, ps_d->nid, ps_d->pid);
    ps_s->qentry = msgq_add(pglob, ps_d, ps_s, ps_s->pid, ps_s->qsnd.prio);
}

/* receive_refused answers a receive that cannot wait for what it names. */
static void receive_refused(PGLOB *pglob, QNX_MSG_HDR *h, pid_t pid) {
    refuse(pglob, ESRCH, "%sReceive to %d//%d from %d: ESRCH",
           h->ev.typ == MT_NB_RECEIVE ? "C" : "", h->from_nid, h->from_pid, pid);
}

/* setup_rcv takes a matching queued message or trigger for the receiver, or
 * re-reads a message it holds, and returns the receiver's record when there
 * is something to deliver. Otherwise the receiver blocks (MT_RECEIVE), is told
 * ENOMSG at once (MT_NB_RECEIVE, which never blocks), or was refused; then it
 * returns null. */
static QNX_PSTATE *setup_rcv(PGLOB *pglob) {
    QNX_MSG_HDR *h = pglob->rcv_buffer;
    auto *r = reinterpret_cast<QNX_MSG_RCV *>(h + 1);
    QNX_PSTATE *ps_d = pglob->fdpstate[pglob->act_fd];
    pid_t pid = r->from_pid;
    bool nonblocking = h->ev.typ == MT_NB_RECEIVE;

    if (h->flags.all & VORLEN_FLAG_REREAD) {
        /* Readmsg: only a message the caller holds; nothing waits or moves. */
        QNX_PSTATE *ps = pid > 0 ? find_process(pglob, pid, 0) : nullptr;
        if (!ps || ps->state != STATE_REPLY_BLOCKED || ps->bprocess != ps_d) {
            receive_refused(pglob, h, pid);
            return nullptr;
        }
        lend_message(ps_d, ps);
        return ps_d;
    }

    if (QNX_MQUEUE *e = msgq_retrieve(pglob, ps_d, pid)) {
        if (e->from_pid > 0 && e->sprocess) {
            QNX_PSTATE *sp = e->sprocess;
            lend_message(ps_d, sp);
            ps_d->bytes_received += sp->qsnd.nbytes;
            ps_d->msg_received += 1;
            sp->state = STATE_REPLY_BLOCKED;
            sp->bprocess = ps_d;
            sp->qentry = nullptr;
        } else {
            QNX_PROXY_STATE *p = proxy_slot(pglob, e->from_pid);
            ps_d->qrcv.buffer = p ? p->message : nullptr;
            ps_d->qrcv.nbytes = p ? uint32_t(p->nbytes) : 0;
            ps_d->qrcv.from_pid = e->from_pid;
            ps_d->qrcv.from_nid = p ? p->from_nid : 0;
            ps_d->qrcv.do_not_freeit = 1;
            if (p && p->counting && p->trigger_cnt > 1) {
                /* One trigger taken, others remain: the proxy waits again
                 * behind what was queued meanwhile, in the same entry, so a
                 * full queue cannot lose it. */
                p->trigger_cnt--;
                state_proxy(pglob, p);
                msgq_requeue(pglob, e);
                ps_d->state = STATE_READY;
                return ps_d;
            }
            if (p) {
                p->trigger_cnt = 0;
                p->qentry = nullptr;
                state_proxy(pglob, p);
            }
        }
        ps_d->state = STATE_READY;
        msgq_remove(pglob, e);
        return ps_d;
    }

    if (pid < 0) {
        /* A proxy id: wait for that proxy. No process record is made for it. */
        QNX_PROXY_STATE *p = proxy_slot(pglob, pid);
        if (!p || !p->process) {
            receive_refused(pglob, h, pid);
            return nullptr;
        }
        ps_d->bprocess = nullptr;
    } else if (pid > 0) {
        QNX_PSTATE *ps = find_process(pglob, pid, 1);
        if (!ps) {
            receive_refused(pglob, h, pid);
            return nullptr;
        }
        if (ps->state == STATE_REPLY_BLOCKED && ps->bprocess == ps_d) {
            /* The receiver holds this message: read it again. */
            lend_message(ps_d, ps);
            return ps_d;
        }
        if (!nonblocking) ps_d->bprocess = ps;
    } else {
        ps_d->bprocess = nullptr;
    }

    if (nonblocking) {
        send_status(pglob->act_fd, ENOMSG);
        return nullptr;
    }
    ps_d->qrcv.nbytes = r->nbytes;
    ps_d->qrcv.offset = r->offset;
    ps_d->qrcv.from_pid = pid;
    ps_d->qrcv.from_nid = 0;
    ps_d->rcv_type = h->ev.typ;
    vlog(LV_DETAIL, "setup_rcv: nbytes=%d, offset=%d, ps_d=0x%lx", int(r->nbytes), int(r->offset),
         (unsigned long)(uintptr_t)ps_d);
    ps_d->state = STATE_RECEIVE_BLOCKED;
    return nullptr;
}

/* process_rcv serves MT_RECEIVE and MT_NB_RECEIVE. */
void process_rcv(PGLOB *pglob) {
    auto *r = reinterpret_cast<QNX_MSG_RCV *>(pglob->rcv_buffer + 1);
    vlog(LV_DETAIL, "process_rcv: from pid %d, offset: %d, nbytes: %d", r->from_pid, int(r->offset),
         int(r->nbytes));
    QNX_PSTATE *ps_d = setup_rcv(pglob);
    if (!ps_d) return;
    ps_d->fd = pglob->act_fd;
    do_rcv(pglob->act_fd, pglob, ps_d, r->nbytes, r->offset);
}

/* holds_message tells whether ps is REPLY-blocked on holder, the one process
 * that may reply to it, read its message, write into its reply or relay it. */
static bool holds_message(const QNX_PSTATE *holder, const QNX_PSTATE *ps) {
    return ps && ps->state == STATE_REPLY_BLOCKED && ps->bprocess == holder;
}

/* marked_refused answers an MT_REPLY marked for Writemsg or Relay that is
 * refused with retcode, which the log calls name. */
static void marked_refused(PGLOB *pglob, const char *what, pid_t to_pid, int retcode,
                           const char *name) {
    QNX_MSG_HDR *h = pglob->rcv_buffer;
    refuse(pglob, retcode, "%s to %d from %d//%d: %s", what, to_pid, h->from_nid, h->from_pid,
           name);
}

/* written_answer answers a Writemsg into the reply of sender that kept n
 * bytes: with the count when the sender gave its reply buffers' room,
 * status-only otherwise. */
static void written_answer(PGLOB *pglob, const QNX_PSTATE *sender, uint32_t n) {
    if (!sender->qsnd.room_given) {
        send_status(pglob->act_fd, 0);
        return;
    }
    struct {
        QNX_MSG_HDR h;
        uint32_t n;
    } a{};
    a.h.msg_len = sizeof a.n;
    a.n = n;
    dwrite(pglob->act_fd, &a, sizeof a, "QNX_MSG_HDR+count");
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
static void process_writemsg(PGLOB *pglob) {
    QNX_MSG_HDR *h = pglob->rcv_buffer;
    auto *rp = reinterpret_cast<QNX_MSG_HDR_RPL *>(h + 1);
    int fd = pglob->act_fd;
    QNX_PSTATE *writer = pglob->fdpstate[fd];
    uint32_t total = 0, first = 0, offset = 0;
    if (pglob->req_var_len >= 8) {
        memcpy(&first, pglob->req_var, 4);
        memcpy(&offset, pglob->req_var + 4, 4);
    }
    if (!blocks_fit(pglob->req_var, pglob->req_var_len, rp->nblocks, &total) || rp->nblocks < 1 ||
        first != 4) {
        marked_refused(pglob, "Writemsg", rp->to_pid, EINVAL, "EINVAL");
        return;
    }
    uint32_t nbytes = total - 4;
    QNX_PSTATE *ps = find_process(pglob, rp->to_pid, 0);
    /* A sender that gave its reply buffers' room gets only what fits there,
     * and the writer is told how much that is. */
    const bool room = holds_message(writer, ps) && ps->qsnd.room_given;
    if (room) nbytes = offset >= ps->qsnd.room ? 0 : std::min(nbytes, ps->qsnd.room - offset);
    if ((!room || nbytes > 0) && uint64_t(offset) + nbytes > pglob->max_request) {
        marked_refused(pglob, "Writemsg", rp->to_pid, EFAULT, "EFAULT");
        return;
    }
    if (!holds_message(writer, ps)) {
        marked_refused(pglob, "Writemsg", rp->to_pid, ESRCH, "ESRCH");
        return;
    }
    if (nbytes == 0) {
        written_answer(pglob, ps, 0);
        return;
    }
    /* Each write is charged with its record, so that many small ones cannot
     * hold more than the limit either. */
    size_t cost = sizeof(QNX_RWRITE) + nbytes;
    const uid_t user = pglob->conns[fd]->uid;
    const uint32_t end = offset + nbytes;
    const uint32_t longer = end > ps->reply_len ? end - ps->reply_len : 0;
    const uid_t payer = ps->reply_len ? ps->reply_owner : conn_user(pglob, ps->fd);
    if (ps->rwrite_held + cost > pglob->max_request) {
        marked_refused(pglob, "Writemsg", rp->to_pid, EFAULT, "EFAULT");
        return;
    }
    const char *why = mem_refusal(pglob, user, cost);
    if (!why) {
        mem_take(pglob, user, cost); /* so that the reply's length is checked on top */
        why = longer ? mem_refusal(pglob, payer, longer) : nullptr;
        mem_give(pglob, user, cost);
    }
    if (why) {
        char name[192];
        snprintf(name, sizeof name, "EFAULT (%u bytes into a reply of %u would pass %s)", nbytes,
                 end > ps->reply_len ? end : ps->reply_len, why);
        marked_refused(pglob, "Writemsg", rp->to_pid, EFAULT, name);
        return;
    }
    QNX_RWRITE *w = alloc_allowed(cost) ? static_cast<QNX_RWRITE *>(malloc(cost)) : nullptr;
    if (!w) {
        marked_refused(pglob, "Writemsg", rp->to_pid, EFAULT, "EFAULT");
        return;
    }
    w->offset = offset;
    w->nbytes = nbytes;
    w->owner = user;
    mem_take(pglob, user, cost);
    mem_take(pglob, payer, longer);
    ps->reply_owner = payer;
    ps->reply_len += longer;
    dread(fd, nullptr, 8, "offset");
    uint32_t at = 0;
    for (uint32_t i = 1; i < rp->nblocks; i++) {
        uint32_t k;
        dread(fd, &k, 4, "QNX_MSG_BLK_RPL");
        uint32_t kept = std::min(k, nbytes - at);
        dread(fd, w->bytes() + at, kept, "nbytes");
        dread(fd, nullptr, k - kept, "beyond the reply buffer");
        at += kept;
    }
    w->next = ps->rwrites;
    ps->rwrites = w;
    ps->rwrite_held += cost;
    writer->bytes_reply += nbytes;
    vlog(LV_MESSAGE, "Writemsg from %d//%d to %d: %u bytes at %u", h->from_nid, h->from_pid,
         ps->pid, nbytes, offset);
    written_answer(pglob, ps, nbytes);
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
static void process_relay(PGLOB *pglob) {
    QNX_MSG_HDR *h = pglob->rcv_buffer;
    auto *rp = reinterpret_cast<QNX_MSG_HDR_RPL *>(h + 1);
    int fd = pglob->act_fd;
    QNX_PSTATE *relayer = pglob->fdpstate[fd];
    uint32_t total = 0;
    pid_t to = 0;
    if (!blocks_fit(pglob->req_var, pglob->req_var_len, rp->nblocks, &total) || rp->nblocks != 1 ||
        total != 4) {
        marked_refused(pglob, "Relay", rp->to_pid, EINVAL, "EINVAL");
        return;
    }
    memcpy(&to, pglob->req_var + 4, 4);
    QNX_PSTATE *ps = find_process(pglob, rp->to_pid, 0);
    /* Looking the target up may remove the record of a dead pid that never
     * connected, but never the sender's or the caller's: both are connected. */
    QNX_PSTATE *target = holds_message(relayer, ps) ? find_process(pglob, to, 1) : nullptr;
    if (!target) {
        marked_refused(pglob, "Relay", rp->to_pid, ESRCH, "ESRCH");
        return;
    }
    bool waiting = target->state == STATE_RECEIVE_BLOCKED &&
                   (target->qrcv.from_pid == 0 || target->qrcv.from_pid == ps->pid);
    if (!waiting && pglob->mqueue_used >= QNX_MQUEUE_SIZE) {
        marked_refused(pglob, "Relay", rp->to_pid, EAGAIN, "EAGAIN");
        return;
    }
    if (const char *why =
            waiting ? delivery_refusal(pglob, target, uint32_t(ps->qsnd.nbytes)) : nullptr) {
        char name[192];
        snprintf(name, sizeof name, "EAGAIN (delivering it to %d would pass %s)", target->pid, why);
        marked_refused(pglob, "Relay", rp->to_pid, EAGAIN, name);
        return;
    }
    unlend(relayer, ps);
    ps->qsnd.to_pid = to;
    ps->bprocess = target;
    vlog(LV_MESSAGE, "Relay from %d//%d: %d to %d%s", h->from_nid, h->from_pid, ps->pid, to,
         waiting ? "" : ", put into message-queue");
    if (waiting) {
        uint32_t rbnbytes = target->qrcv.nbytes;
        uint32_t offset = target->qrcv.offset;
        lend_message(target, ps);
        target->bytes_received += ps->qsnd.nbytes;
        target->msg_received += 1;
        do_rcv(target->fd, pglob, target, rbnbytes, offset);
    } else {
        ps->state = STATE_SEND_BLOCKED;
        ps->qentry = msgq_add(pglob, target, ps, ps->pid, ps->qsnd.prio);
    }
    send_status(fd, 0);
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

/* process_rpl writes the reply to the sender that is REPLY-blocked on the
 * replier and answers the replier 0. A reply to anyone else (not blocked, or
 * blocked on another receiver) is refused with ESRCH; blocks that do not fill
 * the request with EINVAL; a reply that would wait in the sender's connection
 * past its user's share or the memory bound, or for which there is no memory,
 * with EFAULT. The reply bytes go out from the request itself. */
void process_rpl(PGLOB *pglob) {
    QNX_MSG_HDR *h = pglob->rcv_buffer;
    auto *rp = reinterpret_cast<QNX_MSG_HDR_RPL *>(h + 1);
    int fd = pglob->act_fd;
    QNX_PSTATE *replier = pglob->fdpstate[fd];
    vlog(LV_DETAIL, "process_rpl, msg_len: %d", int(h->msg_len));

    switch (h->flags.all & (VORLEN_FLAG_WRITEMSG | VORLEN_FLAG_RELAY)) {
    case 0:
        break;
    case VORLEN_FLAG_WRITEMSG:
        process_writemsg(pglob);
        return;
    case VORLEN_FLAG_RELAY:
        process_relay(pglob);
        return;
    default:
        marked_refused(pglob, "Writemsg and Relay", rp->to_pid, EINVAL, "EINVAL");
        return;
    }

    uint32_t total = 0;
    if (!blocks_fit(pglob->req_var, pglob->req_var_len, rp->nblocks, &total)) {
        refuse(pglob, EINVAL, "Reply to %d//%d from %d//%d: EINVAL", rp->to_nid, rp->to_pid,
               h->from_nid, h->from_pid);
        return;
    }
    /* The reply's pieces, straight from the request: header first. */
    QNX_MSG_HDR ah;
    memset(&ah, 0, sizeof ah);
    ah.msg_len = total;
    /* A reply has few parts, written as they lie in the request. One of
     * more is gathered into a single copy, so that the daemon's bookkeeping
     * is bounded by the reply's bytes, never by a block count it was sent.
     * The header goes first, the written bytes' pieces may go last. */
    constexpr int REPLY_PARTS = 16;
    DPIECE pieces[1 + REPLY_PARTS + 1];
    std::vector<char> gathered;
    int npieces = 0;
    pieces[npieces++] = {&ah, sizeof ah, "QNX_MSG_HDR"};
    for (uint32_t i = 0; i < rp->nblocks; i++) {
        uint32_t k;
        dread(fd, &k, 4, "QNX_MSG_BLK_RPL");
        const unsigned char *data = pglob->req_var;
        dread(fd, nullptr, k, "nbytes");
        if (!k) continue;
        if (npieces < 1 + REPLY_PARTS && gathered.empty()) {
            pieces[npieces++] = {data, k, "nbytes"};
            continue;
        }
        if (gathered.empty()) {
            if (!alloc_allowed(total)) {
                send_status(fd, EFAULT);
                return;
            }
            try {
                gathered.reserve(total);
            } catch (const std::bad_alloc &) {
                send_status(fd, EFAULT);
                return;
            }
            for (int j = 1; j < npieces; j++) {
                const char *b = static_cast<const char *>(pieces[j].buff);
                gathered.insert(gathered.end(), b, b + pieces[j].nbytes);
            }
            npieces = 1;
        }
        gathered.insert(gathered.end(), data, data + k);
    }
    if (!gathered.empty()) pieces[npieces++] = {gathered.data(), gathered.size(), "gathered"};

    QNX_PSTATE *ps = find_process(pglob, rp->to_pid, 0);
    if (ps) vlog(LV_DETAIL, "process_rpl: to-ps, pid: %d, fd: %d", ps->pid, ps->fd);
    if (!ps || ps->state != STATE_REPLY_BLOCKED || ps->bprocess != replier) {
        refuse(pglob, ESRCH, "Reply from %d//%d to %d: ESRCH", h->from_nid, h->from_pid,
               rp->to_pid);
        return;
    }
    /* The reply waits in the sender's connection, at its user's cost, if
     * the sender does not take it at once: past a bound the Reply is refused
     * and the sender keeps waiting. What Writemsg charged for the reply's
     * length is the sender's already. An empty reply is a status-only answer,
     * which can always go. */
    /* A sender that gave its room is sent the written bytes beyond the
     * reply's own as pieces, so that what nobody wrote stays as it was. */
    std::vector<char> written;
    uint32_t carried = 0;
    const bool as_pieces = ps->rwrites && ps->qsnd.room_given;
    if (as_pieces && !written_pieces(ps, total, &written, &carried)) {
        refuse(pglob, EFAULT, "Reply from %d//%d to %d: EFAULT", h->from_nid, h->from_pid,
               rp->to_pid);
        return;
    }
    uint32_t len = as_pieces                              ? total + uint32_t(written.size())
                   : ps->rwrites && ps->reply_len > total ? ps->reply_len
                                                          : total;
    size_t credit = ps->reply_owner == conn_user(pglob, ps->fd) ? ps->reply_len : 0;
    if (const char *why = len ? answer_refusal(pglob, ps->fd, sizeof ah + len, credit) : nullptr) {
        refuse(pglob, EFAULT, "Reply from %d//%d to %d: EFAULT (%u bytes would pass %s)",
               h->from_nid, h->from_pid, rp->to_pid, len, why);
        return;
    }
    char *merged = nullptr;
    if (as_pieces) {
        ah.flags.all = VORLEN_FLAG_WRITEMSG;
        ah.prio = int32_t(total);
        ah.msg_len = len;
        if (!written.empty()) pieces[npieces++] = {written.data(), written.size(), "written"};
    } else if (ps->rwrites) {
        /* Bytes written into this reply before it came go out with it. */
        merged = merge_reply(ps, pieces + 1, npieces - 1, total, &ah.msg_len);
        if (!merged) {
            refuse(pglob, EFAULT, "Reply from %d//%d to %d: EFAULT", h->from_nid, h->from_pid,
                   rp->to_pid);
            return;
        }
        pieces[1] = {merged, ah.msg_len, "merged"};
        npieces = 2;
    }
    dwritev(ps->fd, pieces, npieces);
    free(merged);
    /* Only a Reply that is delivered counts. */
    replier->bytes_reply += total;
    replier->msg_reply += 1;
    msg_release_buffer(pglob, ps);
    ps->bprocess = nullptr;
    ps->state = STATE_READY;
    ps->msg_received += 1;
    ps->bytes_received += as_pieces ? total + carried : ah.msg_len;
    vlog(LV_MESSAGE, "Reply from %d//%d to %d, %d Bytes", h->from_nid, h->from_pid, rp->to_pid,
         int(total));
    h->ev.retcode = 0;
    h->msg_len = 0;
    dwrite(fd, h, sizeof *h, "QNX_MSG_HDR");
}
