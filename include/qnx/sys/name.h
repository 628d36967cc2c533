/* sys/name.h - QNX 4's registered names: qnx_name_attach, qnx_name_detach, qnx_name_locate */
/* qnx_name_attach, qnx_name_detach and qnx_name_locate are declared by
 * vorlen_api.h. One daemon serves one node: names are registered there
 * whatever the nid, and qnx_name_locate searches it for nid 0 or getnid(). */
#ifndef VORLEN_QNX_SYS_NAME_H
#define VORLEN_QNX_SYS_NAME_H

#include <sys/types.h>

#include "../vorlen_qnx4.h"

#ifdef __cplusplus
extern "C" {
#endif

/* qnx_net_alive tells which nodes are up: buf[n] is 1 for node n when it is
 * up, else 0 (buf[0] is not used and is 0). One daemon serves one node, this
 * one, and it is up. At most buflen bytes are written. Returns the number of
 * bytes that are valid (the highest node id plus 1), or -1 with errno EINVAL
 * (a null buf, or buflen too short for this node's byte). */
VORLEN_EXPORT int qnx_net_alive(char *buf, int buflen);

/* qnx_name_locators stores in nids (room for 10, as on QNX 4) the nodes that
 * run a global name locator and returns how many it stored. Global names
 * ("/...") are served by the daemon of this node, so the one locator is this
 * node: nids[0] is getnid() and the result is 1. It cannot fail. */
VORLEN_EXPORT int qnx_name_locators(nid_t nids[]);

#ifdef __cplusplus
}
#endif

#endif /* VORLEN_QNX_SYS_NAME_H */
