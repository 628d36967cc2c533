/* sys/vc.h - QNX 4's virtual circuits to other nodes: qnx_vc_attach, qnx_vc_detach */
/* One daemon serves one host, so there is one node: a circuit to a process
 * of this node is that process itself, and no other node can be reached. */
#ifndef VORLEN_QNX_SYS_VC_H
#define VORLEN_QNX_SYS_VC_H

#include <stdint.h>
#include <sys/types.h>
#include "../../vorlen_export.h"

#ifndef VORLEN_NID_T_DEFINED
#define VORLEN_NID_T_DEFINED
typedef int32_t nid_t; /* node id; always 0: one daemon serves one host */
#endif

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

#ifdef __cplusplus
}
#endif

#endif /* VORLEN_QNX_SYS_VC_H */
