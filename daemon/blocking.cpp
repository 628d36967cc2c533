/* blocking.cpp - a process record's states and the moves between them: the one place they change */
#include "circuit.h"
#include "vorleni.h"

/*
 * A record is READY, or blocked on a partner (bprocess):
 *   SEND_BLOCKED     its message is queued for bprocess, which has not received it;
 *                    for a stub (a circuit's), it is on its way to the far node;
 *   REPLY_BLOCKED    bprocess has received its message and owes the reply;
 *   RECEIVE_BLOCKED  it waits for a message from bprocess, or from anyone or a
 *                    proxy (bprocess null).
 * A stub is never RECEIVE_BLOCKED: its far party receives on its own node.
 * A READY receiver keeps naming the sender it last waited for, as the listing
 * shows, until that sender goes or it blocks again. The moves below are the
 * only writes of state and bprocess; none of them can fail.
 */

/* make_ready makes ps READY and blocked on no one. */
void make_ready(QNX_PSTATE *ps) {
    ps->state = STATE_READY;
    ps->bprocess = nullptr;
}

/* end_receive makes a receiver READY that has got its message. */
void end_receive(QNX_PSTATE *ps) {
    ps->state = STATE_READY;
}

/* block_send makes ps SEND-blocked on to: its message is queued for to. */
void block_send(QNX_PSTATE *ps, QNX_PSTATE *to) {
    ps->state = STATE_SEND_BLOCKED;
    ps->bprocess = to;
}

/* block_reply makes ps REPLY-blocked on on, which holds its message; a
 * stub's far sender is told that its message was received. */
void block_reply(QNX_PSTATE *ps, QNX_PSTATE *on) {
    ps->state = STATE_REPLY_BLOCKED;
    ps->bprocess = on;
    if (ps->vc) vc_received(&_pglob, ps);
}

/* block_receive makes ps RECEIVE-blocked, waiting for from (null: for anyone
 * or for a proxy, as its receive slot says). */
void block_receive(QNX_PSTATE *ps, QNX_PSTATE *from) {
    ps->state = STATE_RECEIVE_BLOCKED;
    ps->bprocess = from;
}

#define RULE(cond)                                                                                 \
    do {                                                                                           \
        if (!(cond)) return #cond;                                                                 \
    } while (0)

/* blocking_fault names the rule of its state that ps breaks, as the text of
 * the broken condition, or returns null when it keeps them all. What the
 * rules name beyond the record (that its partner is listed, its entry in the
 * queue) is for the caller to check. */
const char *blocking_fault(const QNX_PSTATE *ps) {
    switch (ps->state) {
    case STATE_SEND_BLOCKED:
        /* Queued, as the only sender of its entry, for its partner; through a
         * circuit, in no queue. */
        RULE(ps->bprocess);
        RULE(ps->bprocess->vc ||
             (ps->qentry && ps->qentry->sprocess == ps && ps->qentry->process == ps->bprocess));
        RULE(!ps->bprocess->vc || !ps->qentry);
        RULE(ps->qsnd.buffer);
        break;
    case STATE_REPLY_BLOCKED:
        /* Its message is with its partner, no longer queued. */
        RULE(ps->bprocess);
        RULE(!ps->qentry);
        RULE(ps->qsnd.buffer);
        break;
    case STATE_RECEIVE_BLOCKED:
        RULE(!ps->vc);
        RULE(!ps->qentry);
        RULE(!ps->qsnd.buffer);
        /* The partner is the process it waits for; for anyone or a proxy, none. */
        RULE(ps->qrcv.from_pid <= 0 || (ps->bprocess && ps->bprocess->pid == ps->qrcv.from_pid));
        RULE(ps->qrcv.from_pid > 0 || !ps->bprocess);
        break;
    case STATE_READY:
        RULE(!ps->qentry);
        RULE(!ps->qsnd.buffer);
        break;
    default:
        return "ps->state >= STATE_READY && ps->state <= STATE_REPLY_BLOCKED";
    }
    return nullptr;
}
