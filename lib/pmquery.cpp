/* pmquery.cpp - vorlenlib's signals and process manager questions through circuits to other nodes
 */
#include "internal.h"

#include <cstring>

int _qnx_vc_kill(pid_t vid, int signo) {
    QNX_REQ<QNX_MSG_VC_KILL> rq{};
    rq.body.vid = vid;
    rq.body.signo = signo;
    return _qnx_call(QNX_OPENING, MT_VC_KILL, rq);
}

int _qnx_pm_query(pid_t vid, int32_t what, pid_t pid, int32_t flags, void *rec, size_t size) {
    QNX_REQ<QNX_MSG_PM_QUERY> rq{};
    rq.body.vid = vid;
    rq.body.what = what;
    rq.body.pid = pid;
    rq.body.flags = flags;
    rq.hdr.ev.typ = MT_PM_QUERY;
    rq.hdr.msg_len = sizeof rq.body;
    iovec req{&rq, sizeof rq};
    iovec part{rec, size};
    if (_qnx_result(_qnx_request(QNX_OPENING, {&req, 1}, {&part, 1})) != 0) return -1;
    if (rq.hdr.msg_len != size) {
        errno = EPROTO;
        return -1;
    }
    return 0;
}
