/* sys/name.h - QNX 4's registered names: qnx_name_attach, qnx_name_detach, qnx_name_locate */
/* qnx_name_attach, qnx_name_detach and qnx_name_locate are declared by
 * vorlen_api.h. Names are registered on the caller's node whatever the nid.
 * qnx_name_locate searches this node for nid 0 (and, for a global name
 * beginning with "/" not registered here, every node that is up, the lowest
 * id winning), and only node nid for another node's id, returning a VID of a
 * circuit to the owner there. */
#ifndef VORLEN_QNX_SYS_NAME_H
#define VORLEN_QNX_SYS_NAME_H

#include <sys/types.h>

#include "../vorlen_qnx4.h"

#ifdef __cplusplus
extern "C" {
#endif

/* qnx_net_alive tells which nodes are up: buf[n] is 1 for node n when it is
 * up, else 0 (buf[0] is not used and is 0). It tells of this node only,
 * which is up. At most buflen bytes are written. Returns the number of
 * bytes that are valid (the highest node id plus 1), or -1 with errno EINVAL
 * (a null buf, or buflen too short for this node's byte). */
VORLEN_EXPORT int qnx_net_alive(char *buf, int buflen);

/* qnx_name_locators stores in nids (room for 10, as on QNX 4) the nodes that
 * run a global name locator and returns how many it stored. Every daemon
 * keeps the global names ("/...") of the nodes it is linked to, so the
 * caller's locator is its own node: nids[0] is getnid() and the result is
 * 1. It cannot fail. */
VORLEN_EXPORT int qnx_name_locators(nid_t nids[]);

#ifdef __cplusplus
}
#endif

#endif /* VORLEN_QNX_SYS_NAME_H */
