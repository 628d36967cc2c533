/* sys/proxy.h - QNX 4's proxies: qnx_proxy_attach, qnx_proxy_detach (Trigger is in <sys/kernel.h>)
 */
/* Declared by vorlen_api.h. */
#ifndef VORLEN_QNX_SYS_PROXY_H
#define VORLEN_QNX_SYS_PROXY_H

#include <sys/types.h>

#include "../vorlen_qnx4.h"

#ifdef __cplusplus
extern "C" {
#endif

/* qnx_proxy_rem_attach gives the id by which processes of node nid trigger
 * proxy, one of the caller's. For this node (nid 0 or getnid()) that is proxy
 * itself, as on QNX 4: no virtual proxy is made. For another node it is a
 * virtual proxy there: each Trigger of it there fires proxy here once. It
 * lives with the caller's circuit to that node's process manager and goes
 * with it (the caller's end, the link's loss), or with proxy. Returns it, or
 * -1 with errno: ESRCH (no such proxy, or not the caller's, for another
 * node), EPERM (another process's proxy, for this node), EHOSTUNREACH (nid
 * is not in the net map, or down), EAGAIN (that node's proxy table, or this
 * node's share of it, is full), or that of a failed read or write. */
VORLEN_EXPORT pid_t qnx_proxy_rem_attach(nid_t nid, pid_t proxy) VORLEN_QNX4(qnx_proxy_rem_attach);

/* qnx_proxy_rem_detach releases what qnx_proxy_rem_attach gave. For this node
 * that is the proxy itself, which is looked up and left attached, as on QNX
 * 4; for another node the virtual proxy is removed there. Returns 0, or -1
 * with errno: ESRCH (no virtual proxy of the caller's), EPERM (this node:
 * another process's proxy), or that of a failed read or write. */
VORLEN_EXPORT int qnx_proxy_rem_detach(nid_t nid, pid_t vproxy) VORLEN_QNX4(qnx_proxy_rem_detach);

#ifdef __cplusplus
}
#endif

#endif /* VORLEN_QNX_SYS_PROXY_H */
