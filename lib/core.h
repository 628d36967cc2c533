/* core.h - what the library's QNX 4 layer (lib/qnx4/) uses of its core (lib/) */
#ifndef VORLEN_LIB_CORE_H
#define VORLEN_LIB_CORE_H

/* The core speaks the wire and owns the connection; the QNX 4 layer turns
 * QNX 4's calls into the core's and never sees a request. These are the only
 * ways in. The core itself includes no QNX 4 header (the build refuses it:
 * see VORLEN_CORE in include/qnx/vorlen_qnx4.h). */

#include <cerrno>
#include <cstdint>

#include <time.h>

#include "vorlen.h"

/* _qnx_open connects the process if this very process has no connection.
 * When the connection cannot be made (the reason is printed) the process ends
 * with status 1. During another call of the process (from a signal handler)
 * it does nothing, and the request that follows fails with EBUSY. */
void _qnx_open();

/* _qnx_try_open connects the process as _qnx_open does, but when no
 * connection can be made it says nothing and the process goes on. True when
 * the process is connected; false when it is not (nor during another call
 * of the process, from a signal handler). */
bool _qnx_try_open();

/* _qnx_use_qnx4_face tells the core that the process makes calls of the QNX
 * 4 face: unless VORLEN_ON_DISCONNECT says otherwise, the process then has
 * the restarted daemon restore it when its connection fails, as a QNX 4
 * process cannot go on without its kernel (vorlen.h's keeps failing). The
 * QNX 4 layer calls it at the start of each of its entry points. Cannot fail;
 * async-signal-safe. */
void _qnx_use_qnx4_face();

/* _qnx_trigger_from_thread triggers proxy (the wire's id) for a thread of
 * the library's own, which must block every signal: it writes an MT_TRIGGER
 * marked VORLEN_FLAG_UNANSWERED, which the daemon carries out at any moment
 * and never answers, under the write lock that every request of the
 * program's holds while it is written. It never takes the call guard, so the
 * program's calls never fail with EBUSY because of it, reads nothing, and
 * delivers the trigger also while the program waits in Receive. It does not
 * connect the process. Returns 0 once the trigger is written, or -1 with
 * errno: ENOTCONN (this process has no connection of its own; nothing
 * sent), or that of the failed write. A process that restores when its
 * connection fails (see _qnx_use_qnx4_face) waits for the restore instead,
 * making it itself when no call of the program's is in progress, and writes
 * the trigger into the new connection. A daemon that refuses the proxy says
 * so in its log only. */
int _qnx_trigger_from_thread(pid_t proxy);

/* _qnx_result turns the result of _qnx_request into a call's result: 0 for
 * retcode 0, else -1 with errno = the retcode (or as the failure left it). */
inline int _qnx_result(int rc) {
    if (rc > 0) errno = rc;
    return rc == 0 ? 0 : -1;
}

/* getnid (see <sys/psinfo.h>) gives this node's logical id, 1 without a net
 * map. _qnx_this_node tells whether a call's nid names this node: 0 or that
 * id. On the wire this node is always 0 (see vorlen_wire.h). */
extern "C" nid_t getnid(void);
inline bool _qnx_this_node(nid_t nid) {
    return nid == 0 || nid == getnid();
}

/* Virtual circuits (vc.cpp): the requests behind qnx_vc_attach,
 * qnx_vc_detach, qnx_vc_name_attach, getnid and qnx_name_locate of another
 * node. _qnx_vc_attach asks for a circuit to process pid of node nid
 * (another node's id, as the wire's nid: the daemon refuses what it cannot
 * reach), or with a non-null name to the owner of name there; share reuses
 * the caller's circuit to the same process. Returns the VID, or -1 with
 * errno: EINVAL (a name of more than 32 characters; nothing sent),
 * EHOSTUNREACH (nid not in the net map, or down), ESRCH (no such process or
 * name there), EAGAIN (a bound full), EPROTO (an answer without a VID), or
 * that of a failed read or write. _qnx_vc_detach releases one link of the
 * caller's circuit vid: 0, or -1 with errno (ESRCH: no circuit of the
 * caller's). _qnx_vc_query asks what id stands for (MT_VC_QUERY) into *res:
 * it returns the answer's retcode (0: *res is filled), or -1 with errno when
 * no answer came. Each connects the process first. */
pid_t _qnx_vc_attach(nid_t nid, pid_t pid, const char *name, unsigned length, bool share);
int _qnx_vc_detach(pid_t vid);
int _qnx_vc_query(pid_t id, QNX_MSG_VC_RES *res);
/* _qnx_vproxy asks for a virtual proxy (MT_VPROXY_ATTACH) or its removal
 * (MT_VPROXY_DETACH), typ, with the record *r, which gets the answer's.
 * Returns 0, or -1 with errno. */
int _qnx_vproxy(uint16_t typ, QNX_MSG_VPROXY *r);

/* _qnx_trigger fires proxy (the wire's id). A process with no connection of
 * its own connects first when connect is set, as any first call does (QNX 4's
 * Trigger); otherwise it fails with ENOTCONN and sends nothing (vorlen.h's).
 * Results as Trigger's. */
pid_t _qnx_trigger(pid_t proxy, bool connect);

/* _qnx_set_pflags tells the daemon the process's QNX 4 flags (qnx_pflags),
 * connecting the process first. Returns 0, or -1 with errno. */
int _qnx_set_pflags(int32_t flags);

/* The bodies of the calls whose two faces differ; flags go into the request
 * header's flags word (VORLEN_FLAG_QNX4 from the QNX 4 face, else 0). Results
 * as the calls of vorlen.h give them, except that _qnx_replymx returns what
 * _qnx_request returns. */
_MXFER_ENTRY _qnx_one_part(const void *buf, unsigned nbytes);
int _qnx_sendmx(pid_t pid, unsigned sparts, unsigned rparts, const _MXFER_ENTRY *smsg,
                const _MXFER_ENTRY *rmsg, uint16_t flags);
int _qnx_replymx(pid_t pid, unsigned parts, const _MXFER_ENTRY *msgmx);
pid_t _qnx_proxy_attach(pid_t pid, const char *data, int nbytes, int priority, uint16_t flags);
int _qnx_relabstimer(qnx_timer_t timerid, const itimerspec *value, itimerspec *ovalue, int typ,
                     uint16_t flags);
/* _qnx_receivemx waits (MT_RECEIVE) or only looks (MT_NB_RECEIVE) for a
 * message from pid (0: anyone) into the parts; returns the sender's pid or
 * the wire's proxy id, or -1 with errno. */
pid_t _qnx_receivemx(pid_t pid, unsigned parts, const _MXFER_ENTRY *rmsg, int type);

/* Through circuits to other nodes (pmquery.cpp), connecting the process
 * first: _qnx_vc_kill signals the far process of circuit vid (MT_VC_KILL);
 * _qnx_pm_query asks the far process manager through vid (MT_PM_QUERY) and
 * puts its record of size bytes into rec. Each returns 0, or -1 with errno:
 * the daemon's (ESRCH for a dead VID, EHOSTUNREACH when the node cannot be
 * reached, EPERM for a signal the far daemon does not allow), EPROTO for an
 * answer of another length, or that of a failed read or write. */
int _qnx_vc_kill(pid_t vid, int signo);
int _qnx_pm_query(pid_t vid, int32_t what, pid_t pid, int32_t flags, void *rec, size_t size);

#endif /* VORLEN_LIB_CORE_H */
