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
 * this node or its link is up, else 0 (down, not in the net map; buf[0] is
 * not used and is 0). At most buflen bytes are written. Returns the number
 * of bytes that are valid (the highest node id of the net map plus 1, at
 * most buflen), or -1 with errno: EINVAL (a null buf, or buflen too short
 * for this node's byte), or that of a failed call to the daemon. */
VORLEN_EXPORT int qnx_net_alive(char *buf, int buflen);

/* The most node ids qnx_name_locators stores, as on QNX 4. */
#define VORLEN_MAX_NAME_LOCATORS 10

/* qnx_name_locators stores in nids (room for VORLEN_MAX_NAME_LOCATORS) the
 * nodes that answer global-name lookups and returns how many it stored:
 * this node first, then every node whose link is up, in the net map's
 * order, at most VORLEN_MAX_NAME_LOCATORS in all. It cannot fail: when the
 * daemon cannot be asked, this node alone. */
VORLEN_EXPORT int qnx_name_locators(nid_t nids[]);

#ifdef __cplusplus
}
#endif

#endif /* VORLEN_QNX_SYS_NAME_H */
