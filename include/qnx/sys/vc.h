/* sys/vc.h - QNX 4's virtual circuits to other nodes: qnx_vc_attach, qnx_vc_detach */
/* One daemon serves one host, so there is one node: a circuit to a process
 * of this node is that process itself, and no other node can be reached. */
#ifndef VORLEN_QNX_SYS_VC_H
#define VORLEN_QNX_SYS_VC_H

#include <stdint.h>
#include <sys/types.h>
#include "../../vorlen_export.h"

#include "../../vorlen_nid.h"

#include "../vorlen_export.h"

#ifdef __cplusplus
extern "C" {
#endif

/* qnx_vc_attach returns the id through which the caller reaches process pid
 * of node nid. For this node (nid 0 or getnid()) that is pid itself, as on
 * QNX 4; length and flags are not looked at. Fails with -1 and errno ESRCH
 * for any other node. */
VORLEN_EXPORT pid_t qnx_vc_attach(nid_t nid, pid_t pid, unsigned length, int flags);

/* qnx_vc_detach releases what qnx_vc_attach gave: nothing is held for this
 * node, so it returns 0 for any id that names a process, and -1 with errno
 * ESRCH for one of 0 or less. */
VORLEN_EXPORT int qnx_vc_detach(pid_t vid);

/* qnx_vc_name_attach gives the id through which the caller reaches the
 * process that registered name on node nid. For this node (nid 0 or
 * getnid()) that is the process itself, found as qnx_name_locate finds it,
 * and no circuit is made; length is not looked at. Fails with -1 and errno:
 * ESRCH (no process registered name), EINVAL (a null name or one of more than
 * 32 characters), EHOSTUNREACH (another node: none is in the net map). */
VORLEN_EXPORT pid_t qnx_vc_name_attach(nid_t nid, unsigned length, const char *name);

/* qnx_strtonid reads a node id written in decimal, as in "-n 4", after any
 * white space. Where the digits end is stored in *str unless str is null
 * (nodename itself when there are none). The node need not exist. Returns
 * the id, or -1 with errno EINVAL: no digits, a sign, or a number beyond the
 * largest nid_t. */
VORLEN_EXPORT nid_t qnx_strtonid(const char *nodename, char **str);

/* qnx_nidtostr writes node id nid in decimal into buf, which has room for
 * len bytes with the closing zero. Returns 0, or -1 with errno EINVAL (nid
 * below 0, a null buf, or the digits do not fit). */
VORLEN_EXPORT int qnx_nidtostr(nid_t nid, char *buf, int len);

#ifdef __cplusplus
}
#endif

#endif /* VORLEN_QNX_SYS_VC_H */
