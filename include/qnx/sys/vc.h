/* sys/vc.h - QNX 4's virtual circuits to other nodes: qnx_vc_attach, qnx_vc_detach */
/* Each host's daemon serves one node of the plant (its net map): a process
 * of this node is reached by its pid, a process of another node through a
 * virtual circuit, whose VID (a local id in VORLEN_VID_FIRST ...
 * VORLEN_VID_LAST, see vorlen_wire.h) is valid wherever a pid is. */
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

/* qnx_vc_attach's flags: reuse the caller's circuit to the same process,
 * counting its links, instead of making another. */
#define _VC_AT_SHARE 0x0001

/* qnx_vc_attach returns the id through which the caller reaches process pid
 * of node nid. For this node (nid 0 or getnid()) that is pid itself, as on
 * QNX 4; for another node the VID of a circuit to it (PROC_PID: that node's
 * process manager), the far node making one for the caller, so that the far
 * process sees a local id for it. length is the initial buffer QNX 4 sized:
 * messages of any size up to the daemon's --max-request pass. Fails with -1
 * and errno: EHOSTUNREACH (a node not in the net map, or down: at once),
 * ESRCH (no such process there), EAGAIN (a table or bound full). */
VORLEN_EXPORT pid_t qnx_vc_attach(nid_t nid, pid_t pid, unsigned length, int flags);

/* qnx_vc_detach releases what qnx_vc_attach gave: for a VID, one link of the
 * circuit (both ends go with the last; a process that exits detaches its
 * circuits); nothing is held for a process of this node, so any other id
 * that names a process gives 0. Fails with -1 and errno ESRCH for a VID that
 * is not the caller's circuit, or an id of 0 or less. */
VORLEN_EXPORT int qnx_vc_detach(pid_t vid);

/* qnx_vc_name_attach gives the id through which the caller reaches the
 * process that registered name on node nid. For this node (nid 0 or
 * getnid()) that is found as qnx_name_locate(0, ...) finds it (the process
 * itself, or a VID for a global name of another node); for another node the
 * VID of a circuit to the name's owner there, searching that node only.
 * Fails with -1 and errno: ESRCH (no process registered name), EINVAL (a
 * null name or one of more than 32 characters), EHOSTUNREACH (a node not in
 * the net map, or down), EAGAIN (a table or bound full). */
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
