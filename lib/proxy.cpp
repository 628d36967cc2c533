/* proxy.cpp - vorlenlib's proxy calls: qnx_proxy_attach, qnx_proxy_detach, Trigger */
#include "internal.h"

#include <cstring>

#include <sys/resource.h>
#include <unistd.h>

pid_t _qnx_proxy_attach(pid_t pid, const char *data, int nbytes, int priority, uint16_t flags) {
    _qnx_open();
    if (nbytes < 0 || nbytes > QNX_MAX_PROXY_MSG) {
        errno = EINVAL;
        return -1;
    }
    QNX_REQ<QNX_MSG_PROXY_ATTACH> rq{};
    rq.hdr.flags.all = flags;
    rq.body.to_pid = pid != 0 ? pid : getpid();
    rq.body.to_nid = 0;
    rq.body.prio = priority == -1 ? _qnx_priority() : priority;
    rq.body.nbytes = static_cast<uint32_t>(nbytes);
    if (data && nbytes > 0) memcpy(rq.body.data, data, static_cast<size_t>(nbytes));
    /* The message travels inside the fixed body, yet msg_len counts it again. */
    if (_qnx_call(QNX_OPENING | QNX_CLEAR_ERRNO, MT_PROXY_ATTACH, rq,
                  sizeof rq.body + static_cast<uint32_t>(nbytes)) != 0)
        return -1;
    return rq.body.proxy_nr;
}

pid_t _qnx_trigger(pid_t proxy, bool connect) {
    if (int left = _qnx_defer_trigger(proxy); left <= 0) return left;
    QNX_REQ<QNX_MSG_TRIGGER> rq{};
    rq.body.proxy_nr = proxy;
    return _qnx_call((connect ? QNX_OPENING : QNX_REQUIRING) | QNX_CLEAR_ERRNO, MT_TRIGGER, rq);
}

extern "C" {

/* qnx_proxy_attach makes a proxy that delivers the nbytes bytes at data to pid
 * (0: the caller) whenever it is triggered, at priority (-1: the caller's,
 * see _qnx_priority). With a null data the message is nbytes zero bytes.
 * Returns the proxy id (VORLEN_PROXY_ID of its slot: -2 ... -51 with the
 * daemon's 50 proxies by default), or -1 with errno: EINVAL (nbytes
 * negative or above 100; nothing sent), EAGAIN (all proxies in use), ESRCH,
 * ENOMEM, or that of a failed read or write. */
pid_t qnx_proxy_attach(pid_t pid, const char *data, int nbytes, int priority) {
    return _qnx_proxy_attach(pid, data, nbytes, priority, 0);
}

/* qnx_proxy_detach removes the caller's proxy. Returns 0, or -1: with errno
 * ENOTCONN when the process is not connected (nothing sent), else with errno
 * ESRCH (not a proxy of the caller) or that of a failed read or write. */
int qnx_proxy_detach(pid_t proxy) {
    QNX_REQ<QNX_MSG_PROXY_DETACH> rq{};
    rq.body.proxy_nr = proxy;
    return _qnx_call(QNX_REQUIRING | QNX_CLEAR_ERRNO, MT_PROXY_DETACH, rq);
}

/* Trigger fires proxy, whoever owns it. Returns 0, or -1: with errno ENOTCONN
 * when the process is not connected (nothing sent), else with errno ESRCH (no
 * such proxy) or that of a failed read or write. Made from a signal handler
 * while another call of the process is in progress, it returns 0 at once and
 * that call fires the proxy as soon as its connection allows; then only an id
 * that no table can hold fails (ESRCH: see VORLEN_IS_PROXY_ID), and EAGAIN says that 16 such
 * triggers already wait. */
pid_t Trigger(pid_t proxy) {
    return _qnx_trigger(proxy, false);
}

} // extern "C"
