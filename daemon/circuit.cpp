/* circuit.cpp - virtual circuits: VIDs, their stubs, messages through them, and their ends */
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <new>
#include <unordered_map>
#include <vector>

#include "circuit.h"

/* What this end keeps of a circuit beyond the shared record: whether a
 * message of this node is out on it (sent as LINK_MSG, its LINK_REPLY not yet
 * in), and whose. A sender whose wait was broken off (a signal) leaves its
 * message out: the far node answers it all the same, and that answer finds no
 * one and is dropped; until it comes no other message goes on the circuit. */
struct CIRCUIT : QNX_VC {
    bool busy = false;
    pid_t out_pid = 0; /* the sender whose message is out */
    /* Suspended: its link was lost, its far node restarted, or this daemon
     * did and restored it. Nothing goes through it (ESRCH) until the far end
     * answers LINK_VC_RESUME, and it ends at resume_by (monotonic). */
    bool suspended = false;
    struct timeval resume_by = {0, 0};
    /* The far sender's message the stub holds was taken here: the far node
     * is told at received_at (monotonic; 0: nothing to tell), unless the
     * reply, which says it too, goes first. */
    struct timeval received_at = {0, 0};
};
/* How long the news that a message was received waits for the reply to
 * carry it instead: most replies come sooner, and a frame each way per
 * message less is a large part of a round trip across nodes. The far
 * sender's state shows SEND instead of REPLY that much longer. */
constexpr int RECEIVED_WAIT_US = 1000;
/* The circuits whose received_at is set, in the order they were set. */
static std::deque<pid_t> received_due;
/* Circuits that ended lately, remembered so that a frame the far node sent
 * before it heard of the end is dropped quietly (and answered with
 * LINK_VC_DETACH), not refused as one that speaks for what is not its own. */
constexpr size_t DEAD_REMEMBERED = 16384;
/* The program name the stub of a circuit to a process manager shows. */
constexpr const char *PM_PNAME = "vorlen";

static std::unordered_map<pid_t, CIRCUIT *> circuits;
static std::unordered_map<int32_t, int> per_node;
struct DEAD {
    int32_t nid;
    pid_t far_vid;
};
static std::unordered_map<pid_t, DEAD> dead;
static std::deque<pid_t> dead_order;
static pid_t next_vid = 0;
static size_t suspended_count = 0; /* vc_tick has nothing to do while 0 */

/* plain_pid tells whether id can be a process of a node: not 0 or 1, no VID
 * and no proxy id of either face. */
static bool plain_pid(int32_t id) {
    return id > 1 && id < VORLEN_QNX4_PROXY_BASE;
}

static CIRCUIT *circuit_of(const QNX_PSTATE *stub) {
    return static_cast<CIRCUIT *>(vc_stub_of(stub));
}

QNX_VC *vc_of(PGLOB *, pid_t id) {
    auto it = circuits.find(id);
    return it == circuits.end() || it->second->suspended ? nullptr : it->second;
}

/* new_vid takes the next VID from the counter, skipping ids in use; it
 * starts where the incarnation says, so that a VID of this daemon's last run
 * is hardly ever given again to another circuit. Cannot fail while the
 * bounds hold: far fewer ids are in use than the range has. */
static pid_t new_vid(PGLOB *pglob) {
    const uint32_t range = uint32_t(VORLEN_VID_LAST) - uint32_t(VORLEN_VID_FIRST) + 1;
    if (next_vid == 0)
        next_vid = pid_t(uint32_t(VORLEN_VID_FIRST) + uint32_t(pglob->plant.incarnation % range));
    for (;;) {
        pid_t v = next_vid;
        next_vid = v >= VORLEN_VID_LAST ? VORLEN_VID_FIRST : v + 1;
        if (!circuits.count(v) && !pglob->pidmap.count(v) && !dead.count(v)) return v;
    }
}

/* room_for tells whether another circuit to node nid keeps within the bounds. */
static bool room_for(int32_t nid) {
    return int(circuits.size()) < MAX_CIRCUITS && per_node[nid] < MAX_NODE_CIRCUITS;
}

/* ref is how a frame of this node names circuit v. */
static LINK_VC_REF ref(PGLOB *pglob, const CIRCUIT *v, int32_t why = 0) {
    return LINK_VC_REF{pglob->plant.self, v->vid, v->far_vid, why};
}

/* circuit_new makes circuit vid to far_pid (far_vid there) of node nid for
 * local party local_pid, and its stub named pname; null without memory. */
static CIRCUIT *circuit_new(PGLOB *pglob, pid_t vid, int32_t nid, pid_t far_pid, pid_t far_vid,
                            pid_t local_pid, uint32_t length, const char *pname) {
    auto *ps = static_cast<QNX_PSTATE *>(calloc(1, sizeof(QNX_PSTATE)));
    auto *v = new (std::nothrow) CIRCUIT;
    if (!ps || !v) {
        free(ps);
        delete v;
        return nullptr;
    }
    ps->pid = vid;
    make_ready(ps);
    ps->fd = -1;
    ps->pidfd = -1;
    snprintf(ps->pname, sizeof ps->pname, "%s", pname);
    ps->vc = v;
    v->vid = vid;
    v->nid = nid;
    v->far_pid = far_pid;
    v->far_vid = far_vid;
    v->local_pid = local_pid;
    v->stub = ps;
    v->length = length;
    const NODE *n = plant_node(pglob, nid);
    v->incarnation = n ? n->incarnation : 0;
    pglob->processes.push_back(ps);
    pglob->pidmap[vid] = ps;
    circuits[vid] = v;
    per_node[nid]++;
    state_vc(pglob, v);
    vlog(LV_REQUEST, "circuit %d: %d here to %d of node %d (%d there)", int(vid), int(local_pid),
         int(far_pid), int(nid), int(far_vid));
    return v;
}

/* circuit_drop ends circuit v here: its stub goes as a process record does
 * (whoever is blocked on it gets ESRCH, its message goes), then the circuit.
 * No frame is sent. Cannot fail. */
static void circuit_drop(PGLOB *pglob, CIRCUIT *v, const char *why) {
    const pid_t vid = v->vid;
    vlog(LV_CLEANUP, "circuit %d to %d of node %d ends: %s", int(vid), int(v->far_pid), int(v->nid),
         why);
    if (dead.size() >= DEAD_REMEMBERED) {
        dead.erase(dead_order.front());
        dead_order.pop_front();
    }
    dead[vid] = DEAD{v->nid, v->far_vid};
    dead_order.push_back(vid);
    if (v->suspended) suspended_count--;
    state_vc_forget(pglob, v);
    circuits.erase(vid);
    if (--per_node[v->nid] <= 0) per_node.erase(v->nid);
    v->stub->vc = nullptr; /* from here on a record like any other, removed as one */
    cleanup_prg(pglob, vid, RM_CIRCUIT);
    delete v;
}

/* detach tells node nid that circuit vid (far_vid there) is gone here. */
static void detach(PGLOB *pglob, int32_t nid, pid_t vid, pid_t far_vid, int32_t why) {
    LINK_VC_REF r{pglob->plant.self, vid, far_vid, why};
    link_send(pglob, nid, LINK_VC_DETACH, &r, sizeof r);
}

/* named finds the circuit that a frame of kind, from node nid, names by r:
 * null, after link_refused, when it names another node as its sender or a
 * circuit that is not one of node nid's with that far end. A circuit that
 * ended lately is no refusal: the frame crossed the end, is dropped, and, with
 * tell, the far node hears of the end again. */
static CIRCUIT *named(PGLOB *pglob, int32_t nid, const LINK_VC_REF &r, const char *kind,
                      bool tell) {
    if (r.from_nid != nid) {
        link_refused(pglob, nid, "%s names node %d as its sender", kind, int(r.from_nid));
        return nullptr;
    }
    auto it = circuits.find(r.to_vid);
    if (it == circuits.end() || it->second->nid != nid) {
        auto d = dead.find(r.to_vid);
        if (it == circuits.end() && d != dead.end() && d->second.nid == nid &&
            d->second.far_vid == r.from_vid) {
            vlog(LV_MESSAGE, "node %d: %s for circuit %d, which has ended, dropped", int(nid), kind,
                 int(r.to_vid));
            if (tell) detach(pglob, nid, r.to_vid, r.from_vid, ESRCH);
            return nullptr;
        }
        link_refused(pglob, nid, "%s for %d, no circuit of node %d", kind, int(r.to_vid), int(nid));
        return nullptr;
    }
    CIRCUIT *v = it->second;
    if (v->far_vid != r.from_vid) {
        link_refused(pglob, nid, "%s for circuit %d from %d, whose far end is %d", kind,
                     int(r.to_vid), int(r.from_vid), int(v->far_vid));
        return nullptr;
    }
    return v;
}

/* live is v when it is not suspended. A frame for a suspended circuit was
 * sent before its sender heard that this end dropped what was on its way;
 * the LINK_VC_RESUME of this end tells it so, and the frame is dropped. */
static CIRCUIT *live(int32_t nid, CIRCUIT *v, const char *kind) {
    if (!v || !v->suspended) return v;
    vlog(LV_MESSAGE, "node %d: %s for circuit %d, which is suspended, dropped", int(nid), kind,
         int(v->vid));
    return nullptr;
}

/* ------------------------------------------------------------------------ */
/* Making circuits                                                           */
/* ------------------------------------------------------------------------ */

void vc_open(PGLOB *pglob, QNX_CONN *c, int32_t nid, pid_t pid, const char *name, uint32_t length,
             bool share, VC_ANSWER how, int32_t copies) {
    const bool by_name = name && name[0];
    const pid_t me = c->ps->pid;
    if (!plant_node(pglob, nid) || nid == pglob->plant.self || !link_up(pglob, nid)) {
        refuse(c, EHOSTUNREACH, "Circuit from %d to %d of node %d: EHOSTUNREACH (%s)", int(me),
               int(pid), int(nid), plant_node(pglob, nid) ? "not up" : "not in the net map");
        return;
    }
    if (share && !by_name)
        for (auto &e : circuits) {
            CIRCUIT *v = e.second;
            if (v->local_pid != me || v->nid != nid || v->far_pid != pid || v->suspended) continue;
            v->links++;
            state_vc(pglob, v);
            vlog(LV_REQUEST, "circuit %d shared by %d: %d links", int(v->vid), int(me),
                 int(v->links));
            struct {
                QNX_MSG_HDR h;
                QNX_MSG_VC_RES r;
            } a{};
            a.h.msg_len = sizeof a.r;
            a.r = QNX_MSG_VC_RES{v->vid, nid, v->far_pid, v->far_vid};
            if (how == VC_ANSWER_NAME) {
                a.h.from_pid = v->vid;
                a.h.prio = copies;
                a.h.msg_len = 0;
                dwrite(c->fd, &a.h, sizeof a.h, "QNX_MSG_HDR");
            } else {
                dwrite(c->fd, &a, sizeof a, "QNX_MSG_HDR+QNX_MSG_VC_RES");
            }
            return;
        }
    if (!room_for(nid)) {
        pglob->stats.refused_table++;
        refuse(c, EAGAIN, "Circuit from %d to node %d: EAGAIN (%zu circuits, %d to that node)",
               int(me), int(nid), circuits.size(), per_node[nid]);
        return;
    }
    if (const char *why = link_room(pglob, nid, sizeof(LINK_VC_ATTACH_BODY))) {
        refuse(c, EAGAIN, "Circuit from %d to node %d: EAGAIN (%s)", int(me), int(nid), why);
        return;
    }
    PENDING *p = pending_add(pglob, c, nid, how == VC_ANSWER_NAME ? MT_NAME_QUERY : MT_VC_ATTACH);
    if (!p) {
        refuse(c, EAGAIN, "Circuit from %d to node %d: EAGAIN (%d calls wait on nodes)", int(me),
               int(nid), MAX_PENDING);
        return;
    }
    /* The VID is the counter's from here on: no other circuit gets it. */
    const pid_t vid = new_vid(pglob);
    p->arg[0] = vid;
    p->arg[1] = how;
    p->arg[2] = copies;
    p->arg[3] = int32_t(length);
    LINK_VC_ATTACH_BODY b{};
    b.req = p->req;
    b.from_nid = pglob->plant.self;
    b.from_pid = me;
    b.from_vid = vid;
    b.to_pid = by_name ? 0 : pid;
    b.length = length;
    b.from_uid = uint32_t(c->uid);
    if (by_name) snprintf(b.name, sizeof b.name, "%s", name);
    snprintf(b.pname, sizeof b.pname, "%s", caller_pname(c));
    link_send(pglob, nid, LINK_VC_ATTACH, &b, sizeof b);
    vlog(LV_REQUEST, "Circuit from %d to %s%s%d of node %d asked (vid %d)", int(me),
         by_name ? name : "", by_name ? " " : "pid ", by_name ? 0 : int(pid), int(nid), int(vid));
}

/* process_vc_attach serves MT_VC_ATTACH: see vc_open. Refuses with EINVAL
 * (this node's id, a name field without its zero) and ESRCH (no name and no
 * pid that can be a process) at once. */
void process_vc_attach(PGLOB *pglob, QNX_CONN *c, REQUEST &rq) {
    const auto *a = rq.body<QNX_MSG_VC_ATTACH>();
    if (a->nid == 0 || a->nid == pglob->plant.self || !memchr(a->name, '\0', sizeof a->name)) {
        refuse(c, EINVAL, "Circuit from %d to node %d: EINVAL", int(rq.hdr.from_pid), int(a->nid));
        return;
    }
    if (!a->name[0] && a->pid <= 0) {
        refuse(c, ESRCH, "Circuit from %d to %d of node %d: ESRCH", int(rq.hdr.from_pid),
               int(a->pid), int(a->nid));
        return;
    }
    vc_open(pglob, c, a->nid, a->pid, a->name, a->length, (a->flags & VORLEN_VC_SHARE) != 0,
            VC_ANSWER_ATTACH, 1);
}

/* attached answers node nid's LINK_VC_ATTACH b with retcode, and with
 * circuit v when it was made. */
static void attached(PGLOB *pglob, int32_t nid, const LINK_VC_ATTACH_BODY &b, int retcode,
                     const CIRCUIT *v) {
    LINK_VC_ATTACHED_BODY a{};
    a.req = b.req;
    a.retcode = retcode;
    a.from_nid = pglob->plant.self;
    a.to_vid = b.from_vid;
    if (v) {
        a.from_vid = v->vid;
        a.pid = v->local_pid ? v->local_pid : 1;
        const QNX_PSTATE *t = v->local_pid ? find_process(pglob, v->local_pid, FIND_ONLY) : nullptr;
        snprintf(a.pname, sizeof a.pname, "%s", t ? t->pname : PM_PNAME);
    }
    link_send(pglob, nid, LINK_VC_ATTACHED, &a, sizeof a);
}

/* frame_vc_attach makes this node's end of a circuit that node nid asks for:
 * to the owner of a name registered here, to a process of this node by pid,
 * or to this node's process manager (pid 1). Answered ESRCH when there is no
 * such process or name, EAGAIN when the bounds are reached. */
void frame_vc_attach(PGLOB *pglob, int32_t nid, const unsigned char *p, uint32_t) {
    LINK_VC_ATTACH_BODY b;
    memcpy(&b, p, sizeof b);
    if (b.from_nid != nid || !plain_pid(b.from_pid) || !VORLEN_IS_VID(b.from_vid) ||
        !memchr(b.name, '\0', sizeof b.name)) {
        link_refused(pglob, nid, "vc-attach from %d//%d (vid %d)", int(b.from_nid), int(b.from_pid),
                     int(b.from_vid));
        return;
    }
    b.pname[sizeof b.pname - 1] = '\0';
    if (!room_for(nid) || link_room(pglob, nid, sizeof(LINK_VC_ATTACHED_BODY)))
        return attached(pglob, nid, b, EAGAIN, nullptr);
    pid_t target = 0;
    if (b.name[0]) {
        for (QNX_ATT_NAME &cn : pglob->names) {
            if (cn.id == 0 || cn.pid == 0 || strcmp(cn.name, b.name) != 0) continue;
            QNX_PSTATE *o = find_process(pglob, cn.pid, FIND_OR_LOCAL);
            if (o && !o->vc) target = o->pid;
            break;
        }
    } else if (b.to_pid == 1) {
        target = 1;
    } else if (plain_pid(b.to_pid)) {
        QNX_PSTATE *o = find_process(pglob, b.to_pid, FIND_OR_LOCAL);
        if (o && !o->vc) target = o->pid;
    }
    if (!target) {
        vlog(LV_REQUEST, "Circuit from %d of node %d to %s%d: ESRCH", int(b.from_pid), int(nid),
             b.name, int(b.to_pid));
        return attached(pglob, nid, b, ESRCH, nullptr);
    }
    CIRCUIT *v = circuit_new(pglob, new_vid(pglob), nid, b.from_pid, b.from_vid,
                             target == 1 ? 0 : target, b.length, b.pname);
    attached(pglob, nid, b, v ? 0 : EAGAIN, v);
}

/* answer_attach answers connection c, which asked as how says, with circuit v. */
static void answer_attach(QNX_CONN *c, const CIRCUIT *v, VC_ANSWER how, int32_t copies) {
    struct {
        QNX_MSG_HDR h;
        QNX_MSG_VC_RES r;
    } a{};
    if (how == VC_ANSWER_NAME) {
        a.h.from_pid = v->vid;
        a.h.prio = copies;
        dwrite(c->fd, &a.h, sizeof a.h, "QNX_MSG_HDR");
        return;
    }
    a.h.msg_len = sizeof a.r;
    a.r = QNX_MSG_VC_RES{v->vid, v->nid, v->far_pid, v->far_vid};
    dwrite(c->fd, &a, sizeof a, "QNX_MSG_HDR+QNX_MSG_VC_RES");
}

/* frame_vc_attached is node nid's answer to a LINK_VC_ATTACH of this node:
 * the circuit is made here and the caller answered; a caller that has gone
 * (or stopped waiting) leaves a far end that is detached at once. */
void frame_vc_attached(PGLOB *pglob, int32_t nid, const unsigned char *p, uint32_t) {
    LINK_VC_ATTACHED_BODY b;
    memcpy(&b, p, sizeof b);
    b.pname[sizeof b.pname - 1] = '\0';
    if (b.from_nid != nid) {
        link_refused(pglob, nid, "vc-attached names node %d as its sender", int(b.from_nid));
        return;
    }
    const bool made = b.retcode == 0;
    if (made && (!VORLEN_IS_VID(b.from_vid) || !(plain_pid(b.pid) || b.pid == 1))) {
        link_refused(pglob, nid, "vc-attached with vid %d for pid %d", int(b.from_vid), int(b.pid));
        return;
    }
    PENDING *w = pending_find(pglob, nid, b.req);
    if (w && (w->arg[0] != b.to_vid || (w->typ != MT_VC_ATTACH && w->typ != MT_NAME_QUERY))) {
        link_refused(pglob, nid, "vc-attached for vid %d, asked for %d", int(b.to_vid),
                     int(w->arg[0]));
        return;
    }
    QNX_CONN *c = w ? pending_conn(pglob, w) : nullptr;
    if (!w || !c || !c->ps || c->ps->pid != w->pid) {
        if (made) detach(pglob, nid, b.to_vid, b.from_vid, 0);
        if (w) pending_done(pglob, w);
        return;
    }
    const auto how = VC_ANSWER(w->arg[1]);
    const int32_t copies = w->arg[2];
    const pid_t vid = w->arg[0];
    const uint32_t length = uint32_t(w->arg[3]);
    pending_done(pglob, w);
    if (!made) {
        int rc = b.retcode > 0 && b.retcode < 4096 ? b.retcode : EIO;
        refuse(c, rc, "Circuit from %d to node %d: %s", int(c->ps->pid), int(nid), strerror(rc));
        return;
    }
    CIRCUIT *v = room_for(nid) && !pglob->pidmap.count(vid)
                     ? circuit_new(pglob, vid, nid, b.pid, b.from_vid, c->ps->pid, length, b.pname)
                     : nullptr;
    if (!v) {
        detach(pglob, nid, vid, b.from_vid, 0);
        refuse(c, EAGAIN, "Circuit from %d to node %d: EAGAIN", int(c->ps->pid), int(nid));
        return;
    }
    answer_attach(c, v, how, copies);
}

/* process_vc_detach serves MT_VC_DETACH: one link of the caller's circuit
 * goes, and with the last the circuit, at both ends. Refuses with ESRCH an id
 * that is not a circuit of the caller. */
void process_vc_detach(PGLOB *pglob, QNX_CONN *c, REQUEST &rq) {
    const pid_t vid = rq.body<QNX_MSG_VC_DETACH>()->vid;
    auto it = circuits.find(vid);
    if (it == circuits.end() || it->second->local_pid != c->ps->pid) {
        refuse(c, ESRCH, "Circuit detach of %d from %d: ESRCH", int(vid), int(c->ps->pid));
        return;
    }
    CIRCUIT *v = it->second;
    if (--v->links <= 0) {
        detach(pglob, v->nid, v->vid, v->far_vid, 0);
        circuit_drop(pglob, v, "detached");
    } else {
        state_vc(pglob, v);
    }
    send_status(c->fd, 0);
}

/* process_vc_query serves MT_VC_QUERY: what an id stands for. Cannot fail. */
void process_vc_query(PGLOB *pglob, QNX_CONN *c, REQUEST &rq) {
    const pid_t id = rq.body<QNX_MSG_VC_QUERY>()->vid;
    auto *r = rq.body<QNX_MSG_VC_RES>();
    auto it = circuits.find(id);
    if (it != circuits.end())
        *r = QNX_MSG_VC_RES{id, it->second->nid, it->second->far_pid, it->second->far_vid};
    else
        *r = QNX_MSG_VC_RES{id, pglob->plant.self, 0, 0};
    answer_in_place(c, rq, sizeof *r, "QNX_MSG_HDR+QNX_MSG_VC_RES");
}

/* ------------------------------------------------------------------------ */
/* Messages                                                                  */
/* ------------------------------------------------------------------------ */

int vc_send_refusal(PGLOB *pglob, const QNX_PSTATE *caller, const QNX_PSTATE *stub,
                    uint32_t nbytes) {
    const CIRCUIT *v = circuit_of(stub);
    if (!v || v->local_pid == 0 || caller->pid != v->local_pid || v->suspended) return ESRCH;
    if (v->far_pid == 1) return ENOSYS;
    if (v->busy) return EAGAIN;
    if (link_room(pglob, v->nid, sizeof(LINK_MSG_BODY) + size_t(nbytes))) return EAGAIN;
    return 0;
}

int vc_send(PGLOB *pglob, QNX_PSTATE *s, QNX_PSTATE *stub) {
    CIRCUIT *v = circuit_of(stub);
    if (!v || v->suspended) return ESRCH;
    const uint32_t n = uint32_t(s->qsnd.nbytes);
    if (v->busy || link_room(pglob, v->nid, sizeof(LINK_MSG_BODY) + size_t(n))) return EAGAIN;
    LINK_MSG_BODY b{};
    b.vc = ref(pglob, v);
    b.prio = s->qsnd.prio;
    b.flags =
        (s->qnx4_send ? VORLEN_FLAG_QNX4 : 0) | (s->qsnd.room_given ? VORLEN_FLAG_REPLY_ROOM : 0);
    b.room = s->qsnd.room;
    b.nbytes = n;
    if (!link_send(pglob, v->nid, LINK_MSG, &b, sizeof b, s->qsnd.buffer, n)) return EAGAIN;
    v->busy = true;
    v->out_pid = s->pid;
    block_send(s, stub);
    vlog(LV_MESSAGE, "Send: %u bytes from %d through circuit %d to %d of node %d", n, int(s->pid),
         int(v->vid), int(v->far_pid), int(v->nid));
    return 0;
}

/* reply_status answers the far sender of circuit v with retcode alone. */
static void reply_status(PGLOB *pglob, CIRCUIT *v, int retcode) {
    v->received_at = {0, 0}; /* the reply says it */
    LINK_REPLY_BODY b{};
    b.vc = ref(pglob, v);
    b.ah.ev.retcode = uint16_t(retcode);
    link_send(pglob, v->nid, LINK_REPLY, &b, sizeof b);
}

int vc_reply(PGLOB *pglob, QNX_PSTATE *stub, const DPIECE *pieces, int npieces) {
    CIRCUIT *v = circuit_of(stub);
    if (!v) return EFAULT;
    size_t total = 0;
    for (int i = 1; i < npieces; i++) total += pieces[i].nbytes;
    if (link_room(pglob, v->nid, sizeof(LINK_REPLY_BODY) + total)) return EFAULT;
    v->received_at = {0, 0}; /* the reply says it */
    LINK_REPLY_BODY b{};
    b.vc = ref(pglob, v);
    memcpy(&b.ah, pieces[0].buff, sizeof b.ah);
    if (npieces <= 2) {
        link_send(pglob, v->nid, LINK_REPLY, &b, sizeof b, npieces == 2 ? pieces[1].buff : nullptr,
                  uint32_t(npieces == 2 ? pieces[1].nbytes : 0));
    } else {
        std::vector<char> bytes;
        if (!alloc_allowed(total)) return EFAULT;
        try {
            bytes.reserve(total);
        } catch (const std::bad_alloc &) {
            return EFAULT;
        }
        for (int i = 1; i < npieces; i++) {
            const char *q = static_cast<const char *>(pieces[i].buff);
            bytes.insert(bytes.end(), q, q + pieces[i].nbytes);
        }
        link_send(pglob, v->nid, LINK_REPLY, &b, sizeof b, bytes.data(), uint32_t(total));
    }
    vlog(LV_MESSAGE, "Reply through circuit %d to %d of node %d, %zu bytes", int(v->vid),
         int(v->far_pid), int(v->nid), total);
    msg_release_buffer(pglob, stub);
    make_ready(stub);
    return 0;
}

void vc_received(PGLOB *, QNX_PSTATE *stub) {
    CIRCUIT *v = circuit_of(stub);
    if (!v || v->suspended || v->received_at.tv_sec != 0 || v->received_at.tv_usec != 0) return;
    struct timeval now = now_clock(CLOCK_MONOTONIC);
    int64_t at = int64_t(now.tv_sec) * 1000000 + now.tv_usec + RECEIVED_WAIT_US;
    v->received_at = {time_t(at / 1000000), suseconds_t(at % 1000000)};
    received_due.push_back(v->vid);
}

/* tell_received sends circuit v's due news that its message was received,
 * when at is past it; lowers *wake to it otherwise. Returns whether the news
 * is out of the way (sent, or no longer due). */
static bool tell_received(PGLOB *pglob, CIRCUIT *v, const struct timeval &now,
                          struct timeval *wake) {
    if (!v || (v->received_at.tv_sec == 0 && v->received_at.tv_usec == 0)) return true;
    if (!tv_le(v->received_at, now)) {
        if (tv_le(v->received_at, *wake)) *wake = v->received_at;
        return false;
    }
    v->received_at = {0, 0};
    if (v->suspended) return true;
    LINK_VC_REF r = ref(pglob, v);
    link_send(pglob, v->nid, LINK_RECEIVED, &r, sizeof r);
    return true;
}

void vc_released(PGLOB *pglob, QNX_PSTATE *stub, int retcode) {
    CIRCUIT *v = circuit_of(stub);
    if (v && !v->suspended) reply_status(pglob, v, retcode);
}

/* frame_msg serves a Send of node nid's process through a circuit: the stub
 * holds the message, as a local sender would, for the local party, which
 * gets it at once when it waits for it and else finds it queued. A message
 * that cannot be taken is answered at once: ESRCH (the local party gone),
 * ENOSYS (the circuit is to the process manager), EAGAIN (the queue full, the
 * link's share of the memory or the receiver's bound passed), EFAULT (no
 * memory). */
void frame_msg(PGLOB *pglob, int32_t nid, const unsigned char *p, uint32_t len) {
    LINK_MSG_BODY b;
    memcpy(&b, p, sizeof b);
    CIRCUIT *v = live(nid, named(pglob, nid, b.vc, "msg", true), "msg");
    if (!v) return;
    if (b.nbytes != len - sizeof b || b.nbytes > pglob->max_request) {
        link_refused(pglob, nid, "msg of %u bytes in a frame of %u", unsigned(b.nbytes),
                     unsigned(len));
        return;
    }
    QNX_PSTATE *stub = v->stub;
    if (stub->qsnd.buffer || stub->state != STATE_READY) {
        link_refused(pglob, nid, "msg for circuit %d, which holds one already", int(v->vid));
        return;
    }
    if (v->local_pid == 0) return reply_status(pglob, v, ENOSYS);
    const pid_t vid = v->vid;
    /* Looking the party up may remove a record of a process that is gone,
     * and its circuits with it (their far ends told). */
    QNX_PSTATE *r = find_process(pglob, v->local_pid, FIND_OR_LOCAL);
    if (circuits.find(vid) == circuits.end()) return;
    if (!r) return reply_status(pglob, v, ESRCH);
    const uid_t owner = link_owner(nid);
    const char *why = msg_pass_refusal(pglob, stub, r, b.nbytes);
    if (!why) why = mem_refusal(pglob, owner, b.nbytes);
    if (why) {
        vlog(LV_ERROR, "Err: Send through circuit %d from %d of node %d to %d: EAGAIN (%s)",
             int(vid), int(v->far_pid), int(nid), int(r->pid), why);
        return reply_status(pglob, v, EAGAIN);
    }
    char *buffer = static_cast<char *>(
        alloc_allowed(b.nbytes ? b.nbytes : 1) ? malloc(b.nbytes ? b.nbytes : 1) : nullptr);
    if (!buffer) return reply_status(pglob, v, EFAULT);
    memcpy(buffer, p + sizeof b, b.nbytes);
    mem_take(pglob, owner, b.nbytes);
    msg_hold(stub, buffer, b.nbytes, owner, r->pid, b.prio, b.flags, b.room);
    vlog(LV_MESSAGE, "Send: %u bytes from %d of node %d through circuit %d to %d", b.nbytes,
         int(v->far_pid), int(nid), int(vid), int(r->pid));
    msg_pass(pglob, stub, r, b.prio);
}

/* out_sender is the sender whose message is out on circuit v, when it still
 * waits for it; null when its wait was broken off or it has gone. */
static QNX_PSTATE *out_sender(PGLOB *pglob, const CIRCUIT *v) {
    auto it = pglob->pidmap.find(v->out_pid);
    if (it == pglob->pidmap.end()) return nullptr;
    QNX_PSTATE *s = it->second;
    return s->bprocess == v->stub &&
                   (s->state == STATE_SEND_BLOCKED || s->state == STATE_REPLY_BLOCKED)
               ? s
               : nullptr;
}

/* frame_received: the far receiver has the message this node sent through
 * the circuit; its sender is REPLY-blocked now. */
void frame_received(PGLOB *pglob, int32_t nid, const unsigned char *p, uint32_t) {
    LINK_VC_REF r;
    memcpy(&r, p, sizeof r);
    CIRCUIT *v = live(nid, named(pglob, nid, r, "received", true), "received");
    if (!v) return;
    if (!v->busy) {
        link_refused(pglob, nid, "received for circuit %d, which has nothing out", int(v->vid));
        return;
    }
    QNX_PSTATE *s = out_sender(pglob, v);
    if (s && s->state == STATE_SEND_BLOCKED) block_reply(s, v->stub);
}

/* frame_reply answers the sender whose message is out on the circuit: with
 * the reply's bytes on its connection, or, for a message relayed to the
 * circuit from another one, on through that one. */
void frame_reply(PGLOB *pglob, int32_t nid, const unsigned char *p, uint32_t len) {
    LINK_REPLY_BODY b;
    memcpy(&b, p, sizeof b);
    CIRCUIT *v = live(nid, named(pglob, nid, b.vc, "reply", true), "reply");
    if (!v) return;
    if (!v->busy) {
        link_refused(pglob, nid, "reply for circuit %d, which has nothing out", int(v->vid));
        return;
    }
    const uint32_t n = len - uint32_t(sizeof b);
    if (b.ah.msg_len != n || (b.ah.ev.retcode != 0 && n != 0)) {
        link_refused(pglob, nid, "reply of %u bytes in a frame of %u", unsigned(b.ah.msg_len),
                     unsigned(len));
        return;
    }
    v->busy = false;
    QNX_PSTATE *s = out_sender(pglob, v);
    if (!s) {
        vlog(LV_MESSAGE, "Reply through circuit %d for a sender that no longer waits, dropped",
             int(v->vid));
        return;
    }
    QNX_PSTATE *stub = v->stub;
    if (b.ah.ev.retcode != 0) {
        /* Only an errno: a code the library takes for more (the plant ended)
         * must not come from another node. */
        const int rc = b.ah.ev.retcode < 4096 ? b.ah.ev.retcode : EIO;
        if (rc == EIO) link_refused(pglob, nid, "reply with code %u", unsigned(b.ah.ev.retcode));
        vlog(LV_MESSAGE, "Send from %d through circuit %d: %s from node %d", int(s->pid),
             int(v->vid), strerror(rc), int(nid));
        release_process(pglob, s, rc, 0);
        return;
    }
    QNX_MSG_HDR ah{};
    ah.msg_len = n;
    /* The pieces' form only for a sender that asked for it by giving its room. */
    if ((b.ah.flags.all & VORLEN_FLAG_WRITEMSG) && s->qsnd.room_given && uint32_t(b.ah.prio) <= n) {
        ah.flags.all = VORLEN_FLAG_WRITEMSG;
        ah.prio = b.ah.prio;
    }
    DPIECE pieces[2] = {{&ah, sizeof ah, "QNX_MSG_HDR"}, {p + sizeof b, n, "reply"}};
    stub->bytes_reply += n;
    stub->msg_reply += 1;
    if (s->vc) {
        /* Relayed here from another circuit: the reply goes on. */
        if (vc_reply(pglob, s, pieces, n ? 2 : 1) != 0) {
            CIRCUIT *w = circuit_of(s);
            detach(pglob, w->nid, w->vid, w->far_vid, ESRCH);
            circuit_drop(pglob, w, "no room on its link for a reply");
        }
        return;
    }
    dwritev(s->fd, pieces, n ? 2 : 1);
    msg_release_buffer(pglob, s);
    make_ready(s);
    s->msg_received += 1;
    s->bytes_received += n;
    vlog(LV_MESSAGE, "Reply from %d of node %d through circuit %d to %d, %u bytes", int(v->far_pid),
         int(nid), int(v->vid), int(s->pid), n);
}

/* ------------------------------------------------------------------------ */
/* Ends                                                                      */
/* ------------------------------------------------------------------------ */

void vc_process_gone(PGLOB *pglob, pid_t pid) {
    if (pid <= 0 || circuits.empty()) return;
    std::vector<CIRCUIT *> gone;
    for (auto &e : circuits)
        if (e.second->local_pid == pid) gone.push_back(e.second);
    for (CIRCUIT *v : gone) {
        detach(pglob, v->nid, v->vid, v->far_vid, ESRCH);
        circuit_drop(pglob, v, "its process here went");
    }
}

/* frame_vc_detach: node nid's end of a circuit is gone; this end goes too,
 * and whoever is blocked on it gets ESRCH. */
void frame_vc_detach(PGLOB *pglob, int32_t nid, const unsigned char *p, uint32_t) {
    LINK_VC_REF r;
    memcpy(&r, p, sizeof r);
    CIRCUIT *v = named(pglob, nid, r, "vc-detach", false);
    if (v) circuit_drop(pglob, v, r.why == ESRCH ? "its far process went" : "detached there");
}

/* resume_deadline is when a circuit suspended now ends unless resumed. */
static struct timeval resume_deadline(PGLOB *pglob) {
    struct timeval t = now_clock(CLOCK_MONOTONIC);
    long long us = (long long)(pglob->restore_grace_s * 1e6);
    t.tv_sec += time_t(us / 1000000);
    t.tv_usec += long(us % 1000000);
    tv_normalise(t);
    return t;
}

/* circuit_suspend ends what is under way on circuit v, as its end would, and
 * keeps it: whoever is blocked on its stub (a sender through it, a receiver
 * waiting for it) gets ESRCH, the far sender's message the stub holds is
 * dropped (a later Reply to it: ESRCH), and no message is out on it. The
 * far end, told nothing, does the same when it suspends or is told to
 * resume. Cannot fail. */
static void circuit_suspend(PGLOB *pglob, CIRCUIT *v, const char *why) {
    if (!v->suspended) suspended_count++;
    v->suspended = true; /* first: the stub's release tells the far node nothing */
    v->busy = false;
    v->out_pid = 0;
    QNX_PSTATE *stub = v->stub;
    if (stub->state != STATE_READY || stub->qentry) release_process(pglob, stub, ESRCH, 0);
    inform_clients(pglob, v->vid, ESRCH, INFORM_RELEASE, RM_CIRCUIT);
    vlog(LV_CLEANUP, "circuit %d to %d of node %d suspended: %s", int(v->vid), int(v->far_pid),
         int(v->nid), why);
}

void vc_node_down(PGLOB *pglob, int32_t nid) {
    if (circuits.empty()) return;
    std::vector<CIRCUIT *> gone;
    for (auto &e : circuits)
        if (e.second->nid == nid) gone.push_back(e.second);
    const struct timeval until = resume_deadline(pglob);
    for (CIRCUIT *v : gone) {
        if (pglob->restore_grace_s <= 0) {
            circuit_drop(pglob, v, "its node is down or restarted");
        } else if (!v->suspended) {
            circuit_suspend(pglob, v, "its node is down or restarted");
            v->resume_by = until;
        }
    }
}

/* resume_of is how this node offers circuit v to its far node again. */
static LINK_VC_RESUME_BODY resume_of(PGLOB *pglob, const CIRCUIT *v) {
    return LINK_VC_RESUME_BODY{pglob->plant.self, v->vid, v->far_vid, v->local_pid, v->far_pid};
}

void vc_node_up(PGLOB *pglob, int32_t nid) {
    if (suspended_count == 0) return;
    int offered = 0;
    for (auto &e : circuits) {
        CIRCUIT *v = e.second;
        if (v->nid != nid || !v->suspended) continue;
        LINK_VC_RESUME_BODY b = resume_of(pglob, v);
        /* One that finds no room waits for the grace period to end it. */
        if (link_room(pglob, nid, sizeof b) || !link_send(pglob, nid, LINK_VC_RESUME, &b, sizeof b))
            continue;
        offered++;
    }
    if (offered > 0)
        vlog(LV_REQUEST, "node %d up: %d suspended circuits offered to resume", int(nid), offered);
}

/* frame_vc_resume: node nid's end of a circuit is back. A circuit of that
 * node held here with the same ends (suspended, or live: then its far end
 * dropped what was under way, and this end does so too) goes on; one not held
 * here is answered LINK_VC_DETACH (ESRCH), and its far end ends it. Refused:
 * a frame naming another node as its sender, ids that cannot be a circuit's
 * or its parties', a circuit of another node or with other ends. */
void frame_vc_resume(PGLOB *pglob, int32_t nid, const unsigned char *p, uint32_t) {
    LINK_VC_RESUME_BODY b;
    memcpy(&b, p, sizeof b);
    if (b.from_nid != nid || !VORLEN_IS_VID(b.from_vid) || !VORLEN_IS_VID(b.to_vid) ||
        !(b.from_pid == 0 || plain_pid(b.from_pid)) || !(b.to_pid == 1 || plain_pid(b.to_pid))) {
        link_refused(pglob, nid, "vc-resume from %d//%d (vid %d) for %d (vid %d)", int(b.from_nid),
                     int(b.from_pid), int(b.from_vid), int(b.to_pid), int(b.to_vid));
        return;
    }
    auto it = circuits.find(b.to_vid);
    if (it == circuits.end()) {
        vlog(LV_REQUEST, "node %d: vc-resume for circuit %d, not held here: detached", int(nid),
             int(b.to_vid));
        detach(pglob, nid, b.to_vid, b.from_vid, ESRCH);
        return;
    }
    CIRCUIT *v = it->second;
    /* The far end's process manager is its local party 0, here far pid 1. */
    const pid_t far_party = b.from_pid == 0 ? 1 : b.from_pid;
    const pid_t here = v->local_pid == 0 ? 1 : v->local_pid;
    if (v->nid != nid || v->far_vid != b.from_vid || v->far_pid != far_party || here != b.to_pid) {
        link_refused(pglob, nid, "vc-resume for circuit %d from %d//%d (vid %d), not its own",
                     int(b.to_vid), int(b.from_nid), int(b.from_pid), int(b.from_vid));
        return;
    }
    /* A live one: the far end found its link lost while this one did not.
     * This end drops what is under way too, and answers with its own
     * resume, which the far end, suspended, takes without answering. */
    const bool was_live = !v->suspended;
    if (was_live) circuit_suspend(pglob, v, "its far end resumes it");
    v->suspended = false;
    suspended_count--;
    const NODE *n = plant_node(pglob, nid);
    v->incarnation = n ? n->incarnation : v->incarnation;
    state_vc(pglob, v);
    if (was_live) {
        LINK_VC_RESUME_BODY a = resume_of(pglob, v);
        link_send(pglob, nid, LINK_VC_RESUME, &a, sizeof a);
    }
    vlog(LV_REQUEST, "circuit %d to %d of node %d resumed", int(v->vid), int(v->far_pid), int(nid));
}

bool vc_restore(PGLOB *pglob, const QNX_VC &rec, const char *pname) {
    if (!VORLEN_IS_VID(rec.vid) || !VORLEN_IS_VID(rec.far_vid) ||
        !(rec.far_pid == 1 || plain_pid(rec.far_pid)) ||
        !(rec.local_pid == 0 || plain_pid(rec.local_pid)) || rec.links < 1 ||
        !plant_node(pglob, rec.nid) || rec.nid == pglob->plant.self || !room_for(rec.nid) ||
        circuits.count(rec.vid) || pglob->pidmap.count(rec.vid) || pglob->restore_grace_s <= 0)
        return false;
    CIRCUIT *v = circuit_new(pglob, rec.vid, rec.nid, rec.far_pid, rec.far_vid, rec.local_pid,
                             rec.length, pname);
    if (!v) return false;
    v->links = rec.links;
    v->incarnation = rec.incarnation;
    v->suspended = true;
    v->resume_by = resume_deadline(pglob);
    suspended_count++;
    state_vc(pglob, v);
    return true;
}

void vc_tick(PGLOB *pglob, const struct timeval &now, struct timeval *wake) {
    while (!received_due.empty()) {
        auto it = circuits.find(received_due.front());
        if (!tell_received(pglob, it == circuits.end() ? nullptr : it->second, now, wake)) break;
        received_due.pop_front();
    }
    if (suspended_count == 0) return;
    std::vector<CIRCUIT *> over;
    for (auto &e : circuits) {
        CIRCUIT *v = e.second;
        if (!v->suspended) continue;
        if (tv_le(v->resume_by, now))
            over.push_back(v);
        else if (tv_le(v->resume_by, *wake))
            *wake = v->resume_by;
    }
    for (CIRCUIT *v : over) {
        detach(pglob, v->nid, v->vid, v->far_vid, ESRCH);
        circuit_drop(pglob, v, "not resumed within the restore grace period");
    }
}
