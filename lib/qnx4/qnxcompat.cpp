/* qnxcompat.cpp - QNX 4's node calls: getnid, qnx_vc_attach, qnx_vc_detach */
/* One daemon serves one host: there is one node, and a virtual circuit to a
 * process of it is the process itself. */
#include <cerrno>

#include "qnx/sys/psinfo.h"
#include "qnx/sys/vc.h"

extern "C" {

/* getnid returns the logical node id of the caller. QNX 4 numbers nodes from
 * 1 and keeps 0 for "this node" in calls; without a net map this host is
 * node 1. It cannot fail. */
nid_t getnid(void) {
    return 1;
}

/* qnx_vc_attach gives pid itself for this node, whose processes need no
 * circuit; length and flags would size and shape one. Fails with ESRCH for
 * any other node, which cannot be reached. */
pid_t qnx_vc_attach(nid_t nid, pid_t pid, unsigned length, int flags) {
    (void)length;
    (void)flags;
    if (nid != 0 && nid != getnid()) {
        errno = ESRCH;
        return -1;
    }
    return pid;
}

/* qnx_vc_detach has nothing to release for an id qnx_vc_attach gave. Fails
 * with ESRCH for an id of 0 or less, which names no process. */
int qnx_vc_detach(pid_t vid) {
    if (vid <= 0) {
        errno = ESRCH;
        return -1;
    }
    return 0;
}

} // extern "C"
