/* vc.cpp - vorlenlib's virtual circuit requests: MT_VC_ATTACH, MT_VC_DETACH, MT_VC_QUERY */
#include "internal.h"

#include <cstring>

/* _qnx_vc_attach asks the daemon for a circuit to process pid of node nid
 * (another node's id, passed as the wire's nid), or with a non-null name to
 * the owner of name there. Returns the VID, or -1 with errno: EINVAL (a name
 * of more than 32 characters; nothing sent), EHOSTUNREACH (nid not in the net
 * map, or down), ESRCH (no such process or name there), EAGAIN (a bound
 * full), EPROTO (an answer without a VID), or that of a failed read or
 * write. */
pid_t _qnx_vc_attach(nid_t nid, pid_t pid, const char *name, unsigned length, bool share) {
    QNX_REQ<QNX_MSG_VC_ATTACH> rq{};
    if (name) {
        size_t len = strnlen(name, sizeof rq.body.name);
        if (len >= sizeof rq.body.name) {
            errno = EINVAL;
            return -1;
        }
        memcpy(rq.body.name, name, len + 1);
    }
    rq.body.nid = int32_t(nid);
    rq.body.pid = name ? 0 : pid;
    rq.body.length = length;
    rq.body.flags = share ? VORLEN_VC_SHARE : 0;
    _qnx_open();
    if (_qnx_call(QNX_OPENING | QNX_CLEAR_ERRNO, MT_VC_ATTACH, rq) != 0) return -1;
    QNX_MSG_VC_RES res;
    memcpy(&res, &rq.body, sizeof res); /* the answer record lies on the request's body */
    if (!VORLEN_IS_VID(res.vid)) {
        errno = EPROTO;
        return -1;
    }
    return res.vid;
}

/* _qnx_vc_detach releases one link of the caller's circuit vid. Returns 0, or
 * -1 with errno: ESRCH (not a circuit of the caller's), or that of a failed
 * read or write. */
int _qnx_vc_detach(pid_t vid) {
    QNX_REQ<QNX_MSG_VC_DETACH> rq{};
    rq.body.vid = vid;
    _qnx_open();
    return _qnx_call(QNX_OPENING | QNX_CLEAR_ERRNO, MT_VC_DETACH, rq);
}

/* _qnx_vc_query asks the daemon what id stands for (see MT_VC_QUERY) and puts
 * its answer in *res. Returns the answer's retcode (0: *res is filled), or -1
 * with errno when no answer came (a failed read or write; EBUSY from a signal
 * handler during another call). */
int _qnx_vc_query(pid_t id, QNX_MSG_VC_RES *res) {
    QNX_REQ<QNX_MSG_VC_QUERY> rq{};
    rq.body.vid = id;
    rq.hdr.ev.typ = MT_VC_QUERY;
    rq.hdr.msg_len = sizeof rq.body;
    QNX_MSG_VC_RES answer{};
    iovec req{&rq, sizeof rq};
    iovec rec{&answer, sizeof answer};
    _qnx_open();
    int rc = _qnx_request(QNX_OPENING, {&req, 1}, {&rec, 1});
    if (rc == 0) *res = answer;
    return rc;
}

/* _qnx_vproxy asks the daemon for MT_VPROXY_ATTACH or MT_VPROXY_DETACH (typ)
 * with the record r, and puts the answer's record in *r. Returns 0, or -1
 * with errno (see MT_VPROXY_ATTACH). */
int _qnx_vproxy(uint16_t typ, QNX_MSG_VPROXY *r) {
    QNX_REQ<QNX_MSG_VPROXY> rq{};
    rq.body = *r;
    _qnx_open();
    if (_qnx_call(QNX_OPENING | QNX_CLEAR_ERRNO, typ, rq) != 0) return -1;
    *r = rq.body; /* the answer record lies on the request's body */
    return 0;
}
