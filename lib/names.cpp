/* names.cpp - vorlenlib's name calls: qnx_name_attach, qnx_name_locate, qnx_name_detach */
#include "internal.h"

#include <cstring>

/* copy_name puts name into the 33-byte name field of rq. Returns 0, or -1 with
 * EINVAL for a null name or one longer than 32 characters. */
static int copy_name(QNX_REQ<QNX_MSG_NAME_ATTACH> &rq, const char *name) {
    size_t len = name ? strnlen(name, sizeof rq.body.name) : sizeof rq.body.name;
    if (len >= sizeof rq.body.name) {
        errno = EINVAL;
        return -1;
    }
    memcpy(rq.body.name, name, len + 1);
    return 0;
}

extern "C" {

/* qnx_name_attach registers name for the calling process on this node; nid
 * is ignored, as every name lives on this node.
 * Returns the name id (1 ... the daemon's --max-names), or -1 with errno: EINVAL (null name or more
 * than 32 characters; nothing sent), ESRCH (a living process holds the name),
 * ENOMEM (the registry is full), or that of a failed read or write. */
int qnx_name_attach(nid_t nid, const char *name) {
    (void)nid;
    _qnx_open();
    QNX_REQ<QNX_MSG_NAME_ATTACH> rq{};
    if (copy_name(rq, name) != 0) return -1;
    if (_qnx_call(QNX_OPENING | QNX_CLEAR_ERRNO, MT_NAME_ATTACH, rq) != 0) return -1;
    QNX_MSG_NAME_RES res;
    memcpy(&res, &rq.body, sizeof res); /* the answer record lies on the request's body */
    return res.id;
}

/* qnx_name_detach removes the calling process's name name_id. Returns 0, or
 * -1: with errno ENOTCONN when the process is not connected (nothing sent),
 * else with errno ESRCH (not a name of the caller) or that of a failed read or
 * write. */
int qnx_name_detach(nid_t nid, int name_id) {
    QNX_REQ<QNX_MSG_NAME_DETACH> rq{};
    (void)nid;
    rq.body.id = name_id;
    rq.body.nid = 0; /* this node, as the wire names it */
    return _qnx_call(QNX_REQUIRING | QNX_CLEAR_ERRNO, MT_NAME_DETACH, rq);
}

/* qnx_name_locate finds the owner of name on node nid. For 0 it searches
 * this node, and for a name that begins with "/" (QNX 4's global name) not
 * registered here, every node that is up: the lowest node id holding it
 * wins, and the answer is a VID of a circuit to its owner. For another
 * node's id (getnid() is this one) it searches only that node and returns
 * the VID of a circuit to the owner there, sized by size. When copies is
 * not null, *copies is set to the registrations found: the number of nodes
 * holding a global name (1 for any other hit), 0 when there is none. Returns
 * the owner's pid or the VID, or -1 with errno: EINVAL (null name or more
 * than 32 characters; nothing sent), ESRCH (no such name), EHOSTUNREACH (nid
 * not in the net map, or down), EAGAIN (a circuit bound full), or that of a
 * failed read or write. */
pid_t qnx_name_locate(nid_t nid, const char *name, unsigned size, unsigned *copies) {
    if (copies) *copies = 0;
    QNX_REQ<QNX_MSG_NAME_QUERY> rq{};
    if (copy_name(rq, name) != 0) return -1;
    if (!_qnx_this_node(nid)) {
        pid_t vid = _qnx_vc_attach(nid, 0, name, size, false);
        if (vid != -1 && copies) *copies = 1;
        return vid;
    }
    _qnx_open();
    if (_qnx_call(QNX_OPENING | QNX_CLEAR_ERRNO, MT_NAME_QUERY, rq) != 0) return -1;
    if (copies) *copies = rq.hdr.prio > 0 ? unsigned(rq.hdr.prio) : 1;
    return rq.hdr.from_pid;
}

} // extern "C"
