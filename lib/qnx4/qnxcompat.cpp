/* qnxcompat.cpp - QNX 4's node calls: getnid, qnx_vc_attach, qnx_vc_detach */
/* Each host's daemon serves one node of the plant. A process of this node is
 * reached by its pid; a process of another node through a virtual circuit,
 * whose VID the daemon gives. */
#include "../core.h"

#include "qnx/sys/vc.h"

#include <atomic>
#include <cerrno>

extern "C" {

/* getnid returns the logical node id of the caller: the daemon's node in the
 * net map, asked once (MT_VC_QUERY of id 0) and kept. QNX 4 numbers nodes
 * from 1 and keeps 0 for "this node" in calls; a daemon without a net map, or
 * one that cannot say, makes this node 1, and so does no daemon at all (then
 * asked again at the next call). Connects the process when it can; it cannot
 * fail. */
VORLEN_EXPORT nid_t getnid(void) {
    static std::atomic<nid_t> known{0};
    nid_t n = known.load(std::memory_order_relaxed);
    if (n > 0) return n;
    int saved = errno;
    /* A program that runs without a daemon is alone: node 1, as ever. */
    if (!_qnx_try_open()) {
        errno = saved;
        return 1;
    }
    QNX_MSG_VC_RES res{};
    int rc = _qnx_vc_query(0, &res);
    errno = saved;
    /* Only an answer is kept: a call from a signal handler during another
     * call (EBUSY) asks again next time. */
    if (rc < 0) return 1;
    n = rc == 0 && res.nid >= 1 && res.nid <= VORLEN_MAX_NODES ? res.nid : 1;
    known.store(n, std::memory_order_relaxed);
    return n;
}

/* qnx_vc_attach gives pid itself for this node (0 or getnid()), whose
 * processes need no circuit; for another node the VID of a circuit to its
 * process pid (PROC_PID: its process manager), _VC_AT_SHARE reusing the
 * caller's circuit to it. length, QNX 4's initial buffer, is passed on: any
 * message up to the daemon's --max-request passes. Fails with -1 and errno:
 * EHOSTUNREACH (a node not in the net map, or down), ESRCH (no such process
 * there), EAGAIN (a bound full), or that of a failed read or write. */
pid_t qnx_vc_attach(nid_t nid, pid_t pid, unsigned length, int flags) {
    _qnx_use_qnx4_face();
    if (_qnx_this_node(nid)) return pid;
    return _qnx_vc_attach(nid, pid, nullptr, length, (flags & _VC_AT_SHARE) != 0);
}

/* qnx_vc_detach releases a circuit qnx_vc_attach gave (one link of a shared
 * one; the far end goes with the last). An id that is not a VID came from
 * this node, where nothing is held: 0. Fails with ESRCH for a VID that is not
 * a circuit of the caller's, or an id of 0 or less. */
int qnx_vc_detach(pid_t vid) {
    _qnx_use_qnx4_face();
    if (VORLEN_IS_VID(vid)) return _qnx_vc_detach(vid);
    if (vid <= 0) {
        errno = ESRCH;
        return -1;
    }
    return 0;
}

} // extern "C"
