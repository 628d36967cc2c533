/* vproxy.cpp - virtual proxies: a proxy of this node triggered from another node, and theirs here
 */
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "circuit.h"

/*
 * A process hands another node a proxy of its own through a virtual proxy:
 * an id of the other node that a process there triggers as any proxy of its
 * node. The owner makes a circuit to that node (to its process manager); the
 * far daemon puts the virtual proxy into its proxy table, owned by the
 * circuit's stub there, and a trigger of it comes back as LINK_TRIGGER over
 * that circuit and fires the proxy here, once per trigger. The virtual proxy
 * goes with the stub (the circuit ending, for whatever reason), when the link
 * is lost or either daemon restarts (even while the circuit waits to resume:
 * a trigger is never held for later), or when the proxy here is detached
 * (LINK_VPROXY_DETACH).
 */

/* A proxy of this node held on another node as a virtual proxy. */
struct VPROXY_REC {
    int32_t nid;  /* the other node */
    pid_t vid;    /* the owner's circuit to it */
    pid_t proxy;  /* the proxy here */
    pid_t vproxy; /* the virtual proxy there */
    pid_t owner;  /* the proxy's owner */
};
static std::vector<VPROXY_REC> held;

/* purge forgets the records whose circuit has ended: their virtual proxies
 * went with its stub on the other node. */
static void purge(PGLOB *pglob) {
    std::vector<VPROXY_REC> live;
    for (const VPROXY_REC &r : held)
        if (vc_of(pglob, r.vid)) live.push_back(r);
    held.swap(live);
}

/* circuit_of is the circuit that frame ref names, of node nid, checked:
 * null, and the frame refused, when it names another node's or none. */
static QNX_VC *circuit_of(PGLOB *pglob, int32_t nid, const LINK_VC_REF &ref, const char *what) {
    if (ref.from_nid != nid) {
        link_refused(pglob, nid, "%s from node %d", what, int(ref.from_nid));
        return nullptr;
    }
    QNX_VC *vc = vc_of(pglob, ref.to_vid);
    if (!vc || vc->nid != nid || vc->far_vid != ref.from_vid) {
        /* A circuit that ended here while the frame was on its way is no
         * refusal: its end is on the way to the peer. */
        if (!vc && VORLEN_IS_VID(ref.to_vid)) {
            vlog(LV_REQUEST, "%s from node %d: circuit %d has ended", what, int(nid),
                 int(ref.to_vid));
            return nullptr;
        }
        link_refused(pglob, nid, "%s names circuit %d//%d, not one of that node's", what,
                     int(ref.from_vid), int(ref.to_vid));
        return nullptr;
    }
    return vc;
}

static LINK_VC_REF ref_of(PGLOB *pglob, const QNX_VC *vc) {
    return LINK_VC_REF{pglob->plant.self, vc->vid, vc->far_vid, 0};
}

/* answer_vproxy answers connection c with record r. */
static void answer_vproxy(QNX_CONN *c, const QNX_MSG_VPROXY &r) {
    QNX_MSG_HDR h;
    memset(&h, 0, sizeof h);
    h.msg_len = sizeof r;
    DPIECE pieces[2] = {{&h, sizeof h, "QNX_MSG_HDR"}, {&r, sizeof r, "QNX_MSG_VPROXY"}};
    dwritev(c->fd, pieces, 2);
}

/* process_vproxy_attach asks the node of the caller's circuit vid for a
 * virtual proxy of the caller's proxy, and answers once that node has (see
 * MT_VPROXY_ATTACH). A proxy that node holds already is answered at once. */
void process_vproxy_attach(PGLOB *pglob, QNX_CONN *c, REQUEST &rq) {
    const auto *req = rq.body<QNX_MSG_VPROXY>();
    QNX_VC *vc = vc_of(pglob, req->vid);
    QNX_PROXY_STATE *p = proxy_slot(pglob, req->proxy);
    if (!vc || vc->local_pid != c->ps->pid || !p || p->process != c->ps || p->remote_proxy)
        return refuse(c, ESRCH, "vproxy attach of %d through %d from %d//%d: ESRCH",
                      int(req->proxy), int(req->vid), rq.hdr.from_nid, rq.hdr.from_pid);
    purge(pglob);
    for (const VPROXY_REC &r : held)
        if (r.proxy == p->id && r.nid == vc->nid && r.owner == c->ps->pid)
            return answer_vproxy(c, QNX_MSG_VPROXY{r.vid, r.proxy, r.nid, r.vproxy});
    if (const char *why = link_room(pglob, vc->nid, sizeof(LINK_VPROXY_BODY)))
        return refuse(c, EAGAIN, "vproxy attach of %d to node %d: EAGAIN (%s)", int(p->id),
                      int(vc->nid), why);
    PENDING *w = pending_add(pglob, c, vc->nid, MT_VPROXY_ATTACH);
    if (!w)
        return refuse(c, EAGAIN, "vproxy attach of %d to node %d: EAGAIN (too many calls wait)",
                      int(p->id), int(vc->nid));
    w->arg[0] = vc->vid;
    w->arg[1] = p->id;
    LINK_VPROXY_BODY b{ref_of(pglob, vc), w->req, p->id, 0, 0};
    link_send(pglob, vc->nid, LINK_VPROXY_ATTACH, &b, sizeof b);
    vlog(LV_REQUEST, "vproxy attach of %d from %d//%d to node %d", int(p->id), rq.hdr.from_nid,
         rq.hdr.from_pid, int(vc->nid));
}

/* process_vproxy_detach removes the caller's virtual proxy vproxy of node
 * nid, at once here and by a frame there. ESRCH for none of the caller's, or
 * EHOSTUNREACH when node nid is not up (not in the net map, or down). */
void process_vproxy_detach(PGLOB *pglob, QNX_CONN *c, REQUEST &rq) {
    const auto *req = rq.body<QNX_MSG_VPROXY>();
    purge(pglob);
    for (size_t i = 0; i < held.size(); i++) {
        const VPROXY_REC r = held[i];
        if (r.nid != req->nid || r.vproxy != req->vproxy || r.owner != c->ps->pid) continue;
        held.erase(held.begin() + long(i));
        if (QNX_VC *vc = vc_of(pglob, r.vid)) {
            LINK_VPROXY_BODY b{ref_of(pglob, vc), 0, r.proxy, r.vproxy, 0};
            link_send(pglob, r.nid, LINK_VPROXY_DETACH, &b, sizeof b);
        }
        vlog(LV_REQUEST, "vproxy detach of %d on node %d from %d//%d", int(r.vproxy), int(r.nid),
             rq.hdr.from_nid, rq.hdr.from_pid);
        return send_status(c->fd, 0);
    }
    /* Those a node that is down held went with its link. */
    const bool up = link_up(pglob, req->nid);
    refuse(c, up ? ESRCH : EHOSTUNREACH, "vproxy detach of %d on node %d from %d//%d: %s",
           int(req->vproxy), int(req->nid), rq.hdr.from_nid, rq.hdr.from_pid,
           up ? "ESRCH" : "EHOSTUNREACH (the node is not up)");
}

void vproxy_proxy_gone(PGLOB *pglob, const QNX_PROXY_STATE *p) {
    if (p->remote_proxy || held.empty()) return;
    std::vector<VPROXY_REC> keep;
    for (const VPROXY_REC &r : held) {
        if (r.proxy != p->id) {
            keep.push_back(r);
            continue;
        }
        if (QNX_VC *vc = vc_of(pglob, r.vid)) {
            LINK_VPROXY_BODY b{ref_of(pglob, vc), 0, r.proxy, r.vproxy, 0};
            link_send(pglob, r.nid, LINK_VPROXY_DETACH, &b, sizeof b);
        }
    }
    held.swap(keep);
}

void vproxy_node_down(PGLOB *pglob, int32_t nid) {
    std::vector<VPROXY_REC> keep;
    for (const VPROXY_REC &r : held)
        if (r.nid != nid) keep.push_back(r);
    held.swap(keep);
    for (QNX_PROXY_STATE &s : pglob->proxys) {
        const QNX_VC *vc = s.remote_proxy ? vc_stub_of(s.process) : nullptr;
        if (!vc || vc->nid != nid) continue;
        vlog(LV_CLEANUP, "Proxy %d: virtual, for proxy %d of node %d, ends with the link",
             int(s.id), int(s.remote_proxy), int(nid));
        do_pdetach(pglob, &s);
    }
}

int vproxy_trigger(PGLOB *pglob, QNX_PROXY_STATE *p) {
    QNX_VC *vc = vc_stub_of(p->process);
    if (!vc) return ESRCH;
    if (link_room(pglob, vc->nid, sizeof(LINK_VPROXY_BODY))) return EAGAIN;
    LINK_VPROXY_BODY b{ref_of(pglob, vc), 0, p->remote_proxy, p->id, 0};
    if (!link_send(pglob, vc->nid, LINK_TRIGGER, &b, sizeof b)) return EAGAIN;
    p->fire_cnt++;
    vlog(LV_REQUEST, "Proxy %d (virtual, of %d on node %d) triggered", int(p->id),
         int(p->remote_proxy), int(vc->nid));
    return 0;
}

/* frame_vproxy_attach makes a virtual proxy for the proxy of the far party
 * of a circuit of node nid, owned by the circuit's stub, and answers with its
 * id; EAGAIN when the table is full or the node holds its share of it (a
 * quarter), so that no node can take every proxy of this one. */
void frame_vproxy_attach(PGLOB *pglob, int32_t nid, const unsigned char *p, uint32_t) {
    LINK_VPROXY_BODY b;
    memcpy(&b, p, sizeof b);
    QNX_VC *vc = circuit_of(pglob, nid, b.vc, "vproxy-attach");
    if (!vc) return;
    if (!VORLEN_IS_PROXY_ID(b.proxy) || b.vproxy != 0 || b.zero != 0)
        return link_refused(pglob, nid, "vproxy-attach of %d, no proxy id", int(b.proxy));
    LINK_VPROXY_ATTACHED_BODY a{b.req, pglob->plant.self, 0, 0};
    size_t of_node = 0;
    QNX_PROXY_STATE *slot = nullptr;
    for (QNX_PROXY_STATE &s : pglob->proxys) {
        if (!s.process) {
            if (!slot) slot = &s;
        } else if (s.remote_proxy) {
            const QNX_VC *o = vc_stub_of(s.process);
            of_node += o && o->nid == nid;
        }
    }
    if (!slot || of_node >= std::max<size_t>(1, pglob->proxys.size() / 4)) {
        pglob->stats.refused_table++;
        a.retcode = EAGAIN;
    } else {
        *slot = QNX_PROXY_STATE{};
        slot->id = VORLEN_PROXY_ID(slot - pglob->proxys.data());
        slot->process = vc->stub;
        slot->remote_proxy = b.proxy;
        a.vproxy = slot->id;
        vlog(LV_REQUEST, "Proxy %d: virtual, for proxy %d of node %d (circuit %d)", int(slot->id),
             int(b.proxy), int(nid), int(vc->vid));
    }
    link_send(pglob, nid, LINK_VPROXY_ATTACHED, &a, sizeof a);
}

void frame_vproxy_attached(PGLOB *pglob, int32_t nid, const unsigned char *p, uint32_t) {
    LINK_VPROXY_ATTACHED_BODY a;
    memcpy(&a, p, sizeof a);
    if (a.from_nid != nid)
        return link_refused(pglob, nid, "vproxy-attached from node %d", int(a.from_nid));
    PENDING *w = pending_find(pglob, nid, a.req);
    if (!w || w->typ != MT_VPROXY_ATTACH) {
        /* Its asker has gone: the virtual proxy goes with the asker's circuit. */
        vlog(LV_REQUEST, "vproxy-attached %u from node %d: no one waits", unsigned(a.req),
             int(nid));
        return;
    }
    QNX_CONN *c = pending_conn(pglob, w);
    const pid_t vid = w->arg[0], proxy = w->arg[1], owner = w->pid;
    pending_done(pglob, w);
    if (!c) return;
    if (a.retcode != 0) return send_status(c->fd, a.retcode);
    if (!VORLEN_IS_PROXY_ID(a.vproxy)) {
        link_refused(pglob, nid, "vproxy-attached with %d, no proxy id", int(a.vproxy));
        return send_status(c->fd, EHOSTUNREACH);
    }
    held.push_back(VPROXY_REC{nid, vid, proxy, a.vproxy, owner});
    answer_vproxy(c, QNX_MSG_VPROXY{vid, proxy, nid, a.vproxy});
}

/* frame_vproxy_detach removes a virtual proxy of a circuit of node nid. One
 * that has gone already (with its circuit's stub) is no fault. */
void frame_vproxy_detach(PGLOB *pglob, int32_t nid, const unsigned char *p, uint32_t) {
    LINK_VPROXY_BODY b;
    memcpy(&b, p, sizeof b);
    QNX_VC *vc = circuit_of(pglob, nid, b.vc, "vproxy-detach");
    if (!vc) return;
    QNX_PROXY_STATE *slot = proxy_slot(pglob, b.vproxy);
    if (!slot || slot->process != vc->stub || slot->remote_proxy != b.proxy)
        return link_refused(pglob, nid, "vproxy-detach of %d, not a virtual proxy of circuit %d",
                            int(b.vproxy), int(vc->vid));
    do_pdetach(pglob, slot);
    vlog(LV_REQUEST, "Proxy %d: virtual, detached by node %d", int(b.vproxy), int(nid));
}

/* frame_trigger fires the proxy of this node that a virtual proxy on node
 * nid stands for. A trigger of a proxy detached meanwhile finds no record
 * and is dropped: its detach is on the way to the peer. */
void frame_trigger(PGLOB *pglob, int32_t nid, const unsigned char *p, uint32_t) {
    LINK_VPROXY_BODY b;
    memcpy(&b, p, sizeof b);
    QNX_VC *vc = circuit_of(pglob, nid, b.vc, "trigger");
    if (!vc) return;
    bool known = false;
    for (const VPROXY_REC &r : held)
        known = known ||
                (r.nid == nid && r.vid == vc->vid && r.proxy == b.proxy && r.vproxy == b.vproxy);
    QNX_PROXY_STATE *slot = proxy_slot(pglob, b.proxy);
    if (!known || !slot || !slot->process || slot->process->pid != vc->local_pid) {
        vlog(LV_REQUEST, "Trigger of %d from node %d (virtual %d): no such proxy", int(b.proxy),
             int(nid), int(b.vproxy));
        return;
    }
    do_trigger(pglob, slot, nid, vc->vid);
    state_proxy(pglob, slot);
}
