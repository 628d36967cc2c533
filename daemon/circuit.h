/* circuit.h - virtual circuits to processes of other nodes, and the calls that wait for a node */
#ifndef VORLEN_CIRCUIT_H
#define VORLEN_CIRCUIT_H

#include <cstdint>
#include <string>

#include <sys/types.h>

#include "link.h"
#include "vorleni.h"

/*
 * A virtual circuit joins a process of this node (its local party) and a
 * process of another node (its far party). Each node gives it a VID: this
 * node's stands for the far party, and is the pid of a stub record in the
 * process table (QNX_PSTATE with vc set, no connection), so that it is valid
 * wherever a pid is and the listings show it. The stub plays the far party
 * here in both directions:
 *   - as an addressee: a Send to the VID (from the local party only) goes to
 *     the far node at once as LINK_MSG; the sender is SEND-blocked on the
 *     stub until LINK_RECEIVED, then REPLY-blocked until LINK_REPLY;
 *   - as a sender: a LINK_MSG from the far node is held by the stub as a
 *     local sender's message is (qsnd), queued for or delivered to the local
 *     party; its Reply (with what Writemsg put into it) goes back as
 *     LINK_REPLY, and Readmsg, Writemsg and Relay work on it as on any.
 * A stub is never RECEIVE-blocked and holds at most one message: its far
 * party is blocked while it has one out.
 */
struct QNX_VC {
    pid_t vid = 0;       /* this node's id for it: the stub's pid */
    int32_t nid = 0;     /* the far node */
    pid_t far_pid = 0;   /* the far party on its node; 1: that node's process manager */
    pid_t far_vid = 0;   /* the far node's id for it */
    pid_t local_pid = 0; /* the local party; 0 for a circuit to this node's process manager */
    QNX_PSTATE *stub = nullptr;
    int32_t links = 1;        /* attaches sharing it (VORLEN_VC_SHARE) */
    uint32_t length = 0;      /* as attached */
    uint64_t incarnation = 0; /* the far node's when the circuit was made or last resumed */
    uint32_t state_slot = 0;  /* its slot in the state file, plus 1; 0: none */
};

/* The bounds: circuits to one node, and in all (the state file has a slot
 * for each). */
constexpr int MAX_NODE_CIRCUITS = 4096;
constexpr int MAX_CIRCUITS = 16384;

/* circuit.cpp */
/* vc_of is the circuit whose VID is id; null when id is no live VID (a
 * circuit suspended until its link is back is none: what goes through it is
 * refused ESRCH). */
QNX_VC *vc_of(PGLOB *pglob, pid_t id);
/* vc_stub_of is the circuit of stub ps; null when ps is no stub. */
inline QNX_VC *vc_stub_of(const QNX_PSTATE *ps) {
    return ps ? ps->vc : nullptr;
}
/* How vc_open answers the client once the far end is made. */
enum VC_ANSWER {
    VC_ANSWER_ATTACH, /* MT_VC_ATTACH: QNX_MSG_VC_RES */
    VC_ANSWER_NAME,   /* MT_NAME_QUERY: the VID in from_pid, copies in prio */
};
/* vc_open makes a circuit from the process of connection c to process pid
 * (or, with a non-empty name, the name's owner) of node nid, which is not
 * this node, and answers c when the far daemon has answered (or the link is
 * lost: EHOSTUNREACH) as how says, with copies for VC_ANSWER_NAME. With
 * share, an existing circuit of the caller to the same far process is
 * reused at once. Refuses at once with EHOSTUNREACH (nid not in the net
 * map, or not up) or EAGAIN (no VID, no room on the link, the calls waiting
 * on nodes full). */
void vc_open(PGLOB *pglob, QNX_CONN *c, int32_t nid, pid_t pid, const char *name, uint32_t length,
             bool share, VC_ANSWER how, int32_t copies);
/* vc_send_refusal is the errno that a Send (or a Relay) by caller of nbytes
 * through stub is refused with before anything is held, 0 when it may go:
 * ESRCH (caller is not the circuit's local party), ENOSYS (a circuit to a
 * process manager, which takes no messages), EAGAIN (a message is out on the
 * circuit already, or the link has no room). */
int vc_send_refusal(PGLOB *pglob, const QNX_PSTATE *caller, const QNX_PSTATE *stub,
                    uint32_t nbytes);
/* vc_send forwards the message sender s holds to the far party of stub (s is
 * the stub's local party, or a sender whose message it relays): s is
 * SEND-blocked on the stub, in no queue. Returns 0, or the errno to refuse
 * the Send with (nothing changed): ESRCH (the circuit is dead), EAGAIN (a
 * message out on it already, or the link has no room). */
int vc_send(PGLOB *pglob, QNX_PSTATE *s, QNX_PSTATE *stub);
/* vc_reply sends the reply of out_pieces (the answer header first, as the
 * sender would get it) to the far sender whose message stub holds; the stub
 * is READY and its message released. Returns 0 or EFAULT (no room on the
 * link: the stub keeps waiting). */
int vc_reply(PGLOB *pglob, QNX_PSTATE *stub, const DPIECE *pieces, int npieces);
/* vc_received tells the far node that the message stub holds was taken by
 * its receiver (the stub is REPLY-blocked now). Cannot fail. */
void vc_received(PGLOB *pglob, QNX_PSTATE *stub);
/* vc_released tells the far sender whose message stub holds that it is
 * answered retcode alone (the process that held it went); release_process
 * calls it for a stub. Cannot fail. */
void vc_released(PGLOB *pglob, QNX_PSTATE *stub, int retcode);
/* vc_process_gone ends the circuits whose local party is pid, telling their
 * far nodes, before pid's record goes. Cannot fail. */
void vc_process_gone(PGLOB *pglob, pid_t pid);
/* vc_node_down suspends every circuit to node nid (the link is lost, or the
 * node restarted): whoever is blocked on one gets ESRCH at once and a
 * message on its way is dropped, as when a circuit ends, but the circuit and
 * its stub are kept for the restore grace period, to go on when the far end
 * is back (vc_node_up). With no grace period they end at once. */
void vc_node_down(PGLOB *pglob, int32_t nid);
/* vc_node_up: node nid's link is up; each circuit of that node suspended
 * here is offered to it again (LINK_VC_RESUME). Cannot fail. */
void vc_node_up(PGLOB *pglob, int32_t nid);
/* vc_restore makes again, suspended, a circuit of the state file whose
 * local party was restored (or is this node's process manager, 0); false
 * when it cannot (its VID taken, the bounds, no memory). */
bool vc_restore(PGLOB *pglob, const QNX_VC &rec, const char *pname);
/* vc_tick ends the circuits suspended longer than the grace period, and
 * lowers *wake to the next such end. */
void vc_tick(PGLOB *pglob, const struct timeval &now, struct timeval *wake);

/* Request handlers. */
void process_vc_attach(PGLOB *pglob, QNX_CONN *c, REQUEST &rq);
void process_vc_detach(PGLOB *pglob, QNX_CONN *c, REQUEST &rq);
void process_vc_query(PGLOB *pglob, QNX_CONN *c, REQUEST &rq);
/* Frame handlers: node nid sent a frame whose payload is at least the
 * length frames.cpp's table gives for its kind. */
void frame_vc_attach(PGLOB *pglob, int32_t nid, const unsigned char *p, uint32_t len);
void frame_vc_attached(PGLOB *pglob, int32_t nid, const unsigned char *p, uint32_t len);
void frame_vc_detach(PGLOB *pglob, int32_t nid, const unsigned char *p, uint32_t len);
void frame_msg(PGLOB *pglob, int32_t nid, const unsigned char *p, uint32_t len);
void frame_received(PGLOB *pglob, int32_t nid, const unsigned char *p, uint32_t len);
void frame_reply(PGLOB *pglob, int32_t nid, const unsigned char *p, uint32_t len);
void frame_vc_resume(PGLOB *pglob, int32_t nid, const unsigned char *p, uint32_t len);

/* node_pid tells whether id, as a frame gives it, can be a process of the
 * sender's node: not 0 or 1 (its process manager), no VID and no proxy id of
 * either face. */
inline bool node_pid(int32_t id) {
    return id > 1 && id < VORLEN_QNX4_PROXY_BASE;
}

/* gnames.cpp: the global names ("/..." names) of the nodes this one is linked to */
/* gnames_changed tells every node that is up that name slot cn was
 * registered (added) or freed (the name it had, owner pid); only names
 * beginning with '/' travel. Cannot fail. */
void gnames_changed(PGLOB *pglob, const char *name, pid_t pid, bool added);
/* gnames_find looks name up among the global names of the nodes that are
 * up: the lowest node id holding it in *nid, and how many nodes hold it in
 * *copies; false when none does. */
bool gnames_find(PGLOB *pglob, const char *name, int32_t *nid, int32_t *copies);
void gnames_node_up(PGLOB *pglob, int32_t nid);
void gnames_node_down(PGLOB *pglob, int32_t nid);
void frame_gnames(PGLOB *pglob, int32_t nid, const unsigned char *p, uint32_t len);
void frame_gname_add(PGLOB *pglob, int32_t nid, const unsigned char *p, uint32_t len);
void frame_gname_del(PGLOB *pglob, int32_t nid, const unsigned char *p, uint32_t len);

/* pmquery.cpp: signals and the process manager's questions across nodes */
void process_vc_kill(PGLOB *pglob, QNX_CONN *c, REQUEST &rq);
void process_pm_query(PGLOB *pglob, QNX_CONN *c, REQUEST &rq);
void frame_kill(PGLOB *pglob, int32_t nid, const unsigned char *p, uint32_t len);
void frame_query(PGLOB *pglob, int32_t nid, const unsigned char *p, uint32_t len);
void frame_result(PGLOB *pglob, int32_t nid, const unsigned char *p, uint32_t len);
/* pm_psinfo_parse fills r for process pid from the texts of its /proc files
 * stat and status and the first word of its cmdline (empty: the kernel's
 * name stands), with ticks_per_s clock ticks a second and the host booted at
 * boot (seconds since the epoch); what only the daemon knows (state,
 * blocked_on, pflags) stays 0. False when the texts are not of pid's process
 * (a further thread of one) or cannot be read as /proc writes them. */
bool pm_psinfo_parse(pid_t pid, const char *stat, const char *status, const char *cmdline,
                     long ticks_per_s, int64_t boot, QNX_MSG_PM_PSINFO *r);

/* vproxy.cpp: virtual proxies, for proxies of this node on other nodes and of
 * other nodes here */
void process_vproxy_attach(PGLOB *pglob, QNX_CONN *c, REQUEST &rq);
void process_vproxy_detach(PGLOB *pglob, QNX_CONN *c, REQUEST &rq);
/* vproxy_trigger fires virtual proxy p (p->remote_proxy set): a trigger
 * frame to the node of its owner's circuit. Returns 0, or the errno for the
 * Trigger: ESRCH (the circuit is gone), EAGAIN (no room on the link). */
int vproxy_trigger(PGLOB *pglob, QNX_PROXY_STATE *p);
/* vproxy_proxy_gone removes the virtual proxies other nodes hold for proxy p
 * of this node, before p's slot is freed. Cannot fail. */
void vproxy_proxy_gone(PGLOB *pglob, const QNX_PROXY_STATE *p);
/* vproxy_node_down ends the virtual proxies between this node and node nid,
 * whose link is lost (or which restarted): those this node holds for
 * proxies of nid (a later Trigger of them gets ESRCH), and this node's
 * records of those nid holds, which went there too. Cannot fail. */
void vproxy_node_down(PGLOB *pglob, int32_t nid);
void frame_vproxy_attach(PGLOB *pglob, int32_t nid, const unsigned char *p, uint32_t len);
void frame_vproxy_attached(PGLOB *pglob, int32_t nid, const unsigned char *p, uint32_t len);
void frame_vproxy_detach(PGLOB *pglob, int32_t nid, const unsigned char *p, uint32_t len);
void frame_trigger(PGLOB *pglob, int32_t nid, const unsigned char *p, uint32_t len);

/* pending.cpp: requests whose answer waits for another node */
struct PENDING {
    uint32_t req = 0;                 /* the number the frames carry; 0: free */
    int fd = -1;                      /* the connection that waits, */
    uint64_t serial = 0;              /* as it was when it asked */
    pid_t pid = 0;                    /* its process */
    int32_t nid = 0;                  /* the node asked */
    uint16_t typ = 0;                 /* the request's MT_* */
    struct timeval deadline = {0, 0}; /* monotonic: answered EHOSTUNREACH then at the latest */
    /* What the asker keeps for the answer. */
    int32_t arg[4] = {0, 0, 0, 0};
    std::string text;
};
/* The calls that may wait on nodes at once, and how long one waits at most
 * for an answer on a link that stays up. */
constexpr int MAX_PENDING = 4096;
constexpr int PENDING_WAIT_MS = 10000;
/* pending_add records that connection c waits for node nid to answer its
 * request typ; null when MAX_PENDING wait already. */
PENDING *pending_add(PGLOB *pglob, QNX_CONN *c, int32_t nid, uint16_t typ);
/* pending_find is the call numbered req that waits for node nid; null when
 * there is none (answered, given up, or another node's: an answer from a
 * node that was not asked is refused). */
PENDING *pending_find(PGLOB *pglob, int32_t nid, uint32_t req);
/* pending_conn is the connection that waits in p, null when it has gone
 * (or its socket serves another connection now). */
QNX_CONN *pending_conn(PGLOB *pglob, const PENDING *p);
/* pending_done frees p. */
void pending_done(PGLOB *pglob, PENDING *p);
/* pending_fail answers every call waiting for node nid (every node: 0) with
 * retcode alone and frees them. pending_tick does so with EHOSTUNREACH for
 * those whose deadline has passed at now, and lowers *wake to the next one. */
void pending_fail(PGLOB *pglob, int32_t nid, int retcode);
void pending_tick(PGLOB *pglob, const struct timeval &now, struct timeval *wake);

#endif /* VORLEN_CIRCUIT_H */
