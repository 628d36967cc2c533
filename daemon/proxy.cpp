/* proxy.cpp - proxies: canned messages stored per owner and delivered on each trigger */
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "circuit.h"
#include "vorleni.h"

/* proxy_slot maps a proxy id to its slot (VORLEN_PROXY_SLOT). Returns null
 * for every id that names no slot of the table. */
QNX_PROXY_STATE *proxy_slot(PGLOB *pglob, pid_t id) {
    int64_t idx = VORLEN_PROXY_SLOT(id);
    if (idx < 0 || uint64_t(idx) >= pglob->proxys.size()) return nullptr;
    return &pglob->proxys[size_t(idx)];
}

static int32_t proxy_index(PGLOB *pglob, const QNX_PROXY_STATE *p) {
    return int32_t(p - pglob->proxys.data());
}

/* do_pdetach frees slot p: its message, its waiting queue entry and its
 * counts go with it, so that a proxy attached later into the slot starts
 * idle. Writes no answer and no log line; cannot fail. */
void do_pdetach(PGLOB *pglob, QNX_PROXY_STATE *p) {
    vproxy_proxy_gone(pglob, p);
    if (p->qentry) msgq_remove(pglob, p->qentry);
    QNX_PSTATE *o = p->process;
    /* The owner may still hold the message as its last received one; it
     * must not keep a pointer into freed memory. */
    if (o && p->message && o->qrcv.lender == LENT_BY_PROXY && o->qrcv.buffer == p->message) {
        o->qrcv.buffer = nullptr;
        o->qrcv.nbytes = 0;
        o->qrcv.lender = LENT_BY_SENDER;
    }
    free(p->message);
    p->message = nullptr;
    p->nbytes = 0;
    p->trigger_cnt = 0;
    p->counting = false;
    p->id = 0;
    p->from_nid = 0;
    p->fire_cnt = 0;
    p->process = nullptr;
    p->qentry = nullptr;
    p->remote_proxy = 0;
    state_proxy(pglob, p);
}

/* process_proxy_attach stores a proxy for to_pid (a record is made for a pid
 * that has not connected) and answers with the request record, proxy_nr set
 * (148 bytes); marked VORLEN_FLAG_QNX4, the proxy counts its triggers. Fails
 * with EINVAL for nbytes above 100 (QNX 4's limit; the record's field keeps
 * one byte more for a terminator), EAGAIN when every slot of the table
 * (--max-proxies) is taken, EPERM
 * when to_pid is another user's process and the caller is not root, ESRCH
 * when no record can be had for to_pid, and ENOMEM when the message cannot be
 * copied. */
void process_proxy_attach(PGLOB *pglob, QNX_CONN *c, REQUEST &rq) {
    const QNX_MSG_HDR *hdr = &rq.hdr;
    auto *req = rq.body<QNX_MSG_PROXY_ATTACH>();

    if (req->nbytes > QNX_MAX_PROXY_MSG) {
        refuse(c, EINVAL, "Proxy-Attach from %d//%d %d Bytes: EINVAL", hdr->from_nid, hdr->from_pid,
               int(req->nbytes));
        return;
    }

    QNX_PROXY_STATE *p = nullptr;
    for (QNX_PROXY_STATE &s : pglob->proxys) {
        if (!s.process) {
            p = &s;
            break;
        }
    }
    if (!p) {
        pglob->stats.refused_table++;
        refuse(c, EAGAIN,
               "Proxy-Attach from %d//%d (%s) for %d: EAGAIN: the proxy table is full (%zu, "
               "--max-proxies)",
               hdr->from_nid, hdr->from_pid, caller_pname(c), req->to_pid, pglob->proxys.size());
        return;
    }

    /* A proxy for another process is a way into its Receive: only its own
     * user, or root, may attach one. */
    if (req->to_pid != c->ps->pid) {
        uid_t uid = c->uid;
        uid_t owner_uid = uid == 0 ? 0 : pid_uid(req->to_pid);
        if (uid == UID_UNKNOWN || (uid != 0 && owner_uid != uid)) {
            refuse(c, EPERM, "Proxy-Attach from %d//%d for %d, another user's: EPERM",
                   hdr->from_nid, hdr->from_pid, req->to_pid);
            return;
        }
    }
    QNX_PSTATE *owner = find_process(pglob, req->to_pid, FIND_OR_LOCAL);
    if (!owner) {
        refuse(c, ESRCH, "Proxy-Attach from %d//%d: ESRCH", hdr->from_nid, hdr->from_pid);
        return;
    }

    char *message = nullptr;
    if (req->nbytes != 0) {
        message = static_cast<char *>(malloc(req->nbytes));
        if (!message) {
            refuse(c, ENOMEM, "Proxy-Attach from %d//%d %d Bytes: ENOMEM", hdr->from_nid,
                   hdr->from_pid, int(req->nbytes));
            return;
        }
        memcpy(message, req->data, req->nbytes);
    }

    p->message = message;
    p->nbytes = int32_t(req->nbytes);
    p->trigger_cnt = 0;
    p->counting = (hdr->flags.all & VORLEN_FLAG_QNX4) != 0;
    p->qentry = nullptr;
    p->id = VORLEN_PROXY_ID(proxy_index(pglob, p));
    p->from_nid = req->to_nid;
    p->fire_cnt = 0;
    p->prio = req->prio;
    p->process = owner;
    state_proxy(pglob, p);

    req->proxy_nr = p->id;
    answer_in_place(c, rq, sizeof(QNX_MSG_PROXY_ATTACH), "QNX_MSG_HDR+QNX_MSG_PROXY_ATTACH");
    vlog(LV_REQUEST, "Proxy-Attach %d from %d//%d", p->id, hdr->from_nid, hdr->from_pid);
}

/* process_proxy_detach removes a proxy at its owner's request. Fails with
 * ESRCH for an invalid id, a free slot, or a requester that is not the owner;
 * the proxy then stays attached. */
void process_proxy_detach(PGLOB *pglob, QNX_CONN *c, REQUEST &rq) {
    const QNX_MSG_HDR *hdr = &rq.hdr;
    auto *req = rq.body<QNX_MSG_PROXY_DETACH>();
    QNX_PROXY_STATE *p = proxy_slot(pglob, req->proxy_nr);

    if (!p || !p->process || p->process->pid != hdr->from_pid) {
        refuse(c, ESRCH, "Proxy %d undefined, detach send from PID %d//%d", req->proxy_nr,
               hdr->from_nid, hdr->from_pid);
        return;
    }
    int32_t owner_nid = p->process->nid;
    pid_t owner_pid = p->process->pid;
    do_pdetach(pglob, p);
    vlog(LV_REQUEST, "Proxy-Detach %d (PID=%d//%d)", proxy_index(pglob, p), owner_nid, owner_pid);
    answer_in_place(c, rq, 0, "QNX_MSG_HDR");
}

/* process_trigger fires a proxy for any requester and answers 0 after the
 * owner's delivery, if any; a virtual proxy's trigger goes to its owner's
 * node. Fails with ESRCH for an invalid id, a free slot or a virtual proxy
 * whose circuit has ended, and EAGAIN when the link to a virtual proxy's
 * node has no room. */
void process_trigger(PGLOB *pglob, QNX_CONN *c, REQUEST &rq) {
    const QNX_MSG_HDR *hdr = &rq.hdr;
    auto *req = rq.body<QNX_MSG_TRIGGER>();
    QNX_PROXY_STATE *p = proxy_slot(pglob, req->proxy_nr);
    if (!p || !p->process) {
        refuse(c, ESRCH, "Trigger %d undefined, send from PID %d//%d", req->proxy_nr, hdr->from_nid,
               hdr->from_pid);
        return;
    }
    if (int e = do_trigger(pglob, p, hdr->from_nid, hdr->from_pid))
        return refuse(c, e, "Trigger %d (virtual) from %d//%d: %s", req->proxy_nr, hdr->from_nid,
                      hdr->from_pid, e == EAGAIN ? "EAGAIN" : "ESRCH");
    state_proxy(pglob, p);
    answer_in_place(c, rq, 0, "QNX_MSG_HDR");
}

/* process_unanswered_trigger fires a proxy as process_trigger does for a
 * trigger marked VORLEN_FLAG_UNANSWERED, which is never answered, neither
 * way: the requester's outstanding request, if any, keeps its one answer. A
 * proxy id of no attached proxy changes nothing. */
void process_unanswered_trigger(PGLOB *pglob, QNX_CONN *, REQUEST &rq) {
    QNX_PROXY_STATE *p = proxy_slot(pglob, rq.body<QNX_MSG_TRIGGER>()->proxy_nr);
    if (p && p->process) {
        do_trigger(pglob, p, rq.hdr.from_nid, rq.hdr.from_pid);
        state_proxy(pglob, p);
    }
}

/* do_trigger fires the attached proxy p: straight to its owner when the owner
 * waits in Receive for anyone or for this proxy, else into the proxy's one
 * queue entry. A merging proxy is then received once however many triggers
 * pile up; a counting one once per trigger, and a trigger that finds
 * VORLEN_MAX_PROXY_PENDING pending is dropped and logged. A trigger that finds
 * the queue full and no entry of its proxy is counted and logged but leaves
 * the proxy idle, so the next trigger tries again. from_nid/from_pid name the
 * trigger's origin for the log only. A virtual proxy's trigger goes to its
 * owner's node (vproxy_trigger). Returns 0, or for a virtual proxy the errno
 * of a trigger that could not go (ESRCH, EAGAIN). */
int do_trigger(PGLOB *pglob, QNX_PROXY_STATE *p, int32_t from_nid, pid_t from_pid) {
    if (p->remote_proxy) return vproxy_trigger(pglob, p);
    QNX_PSTATE *o = p->process;
    p->fire_cnt++;

    /* An owner that waits has taken whatever was pending for it, so the
     * proxy has no entry then. */
    if (!p->qentry && o->state == STATE_RECEIVE_BLOCKED && o->fd >= 0 &&
        (o->qrcv.from_pid == 0 || o->qrcv.from_pid == p->id)) {
        vlog(LV_REQUEST, "Proxy %d (PID=%d//%d) triggerd from %d//%d", p->id, o->nid, o->pid,
             from_nid, from_pid);
        o->qrcv.buffer = p->message;
        o->qrcv.nbytes = uint32_t(p->nbytes);
        o->qrcv.from_pid = p->id;
        o->qrcv.from_nid = p->from_nid;
        o->qrcv.lender = LENT_BY_PROXY;

        QNX_MSG_HDR h;
        memset(&h, 0, sizeof h);
        h.from_pid = p->id;
        h.msg_len = uint32_t(p->nbytes);
        /* The whole canned message goes, whatever size the receiver asked for. */
        DPIECE pieces[2] = {{&h, sizeof h, "QNX_MSG_HDR"},
                            {p->message, size_t(p->nbytes), "nbytes"}};
        dwritev(o->fd, pieces, p->nbytes ? 2 : 1);
        end_receive(o);
        return 0;
    }

    if (p->qentry) {
        if (p->counting && p->trigger_cnt >= VORLEN_MAX_PROXY_PENDING) {
            vlog(LV_ERROR, "Err: Proxy %d (PID=%d//%d) trigger from %d//%d dropped: %d pending",
                 p->id, o->nid, o->pid, from_nid, from_pid, p->trigger_cnt);
            return 0;
        }
        p->trigger_cnt++;
        return 0;
    }
    p->qentry = msgq_add(pglob, o, nullptr, p->id, p->prio);
    if (!p->qentry) {
        p->trigger_cnt = 0;
        pglob->stats.refused_table++;
        vlog(LV_ERROR, "Err: Proxy %d (PID=%d//%d) trigger lost: message-queue full", p->id, o->nid,
             o->pid);
        return 0;
    }
    p->trigger_cnt = 1;
    vlog(LV_REQUEST, "Proxy %d (PID=%d//%d) trigger from %d//%d put into message-queue", p->id,
         o->nid, o->pid, from_nid, from_pid);
    return 0;
}
