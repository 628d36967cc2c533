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
 * itself, as on QNX 4: no virtual proxy is made. Returns it, or -1 with
 * errno: ESRCH (no such proxy), EPERM (the proxy is not the caller's),
 * EHOSTUNREACH (nid names another node, which is not in the net map), or
 * that of a failed read or write. */
VORLEN_EXPORT pid_t qnx_proxy_rem_attach(nid_t nid, pid_t proxy) VORLEN_QNX4(qnx_proxy_rem_attach);

/* qnx_proxy_rem_detach releases what qnx_proxy_rem_attach gave. For this node
 * that is the proxy itself, which is looked up and left attached, as on QNX
 * 4. Returns 0, or -1 with errno as qnx_proxy_rem_attach fails. */
VORLEN_EXPORT int qnx_proxy_rem_detach(nid_t nid, pid_t vproxy) VORLEN_QNX4(qnx_proxy_rem_detach);

#ifdef __cplusplus
}
#endif

#endif /* VORLEN_QNX_SYS_PROXY_H */
