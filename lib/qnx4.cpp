/* qnx4.cpp - vorlenlib's QNX 4 face: the entry points the QNX 4 header names bind calls to */
/* A program built with the QNX 4 headers calls these under the calls' own
 * names (see VORLEN_QNX4 in vorlen_api.h). Each marks its request with
 * VORLEN_FLAG_QNX4 where the daemon carries the difference, or changes how
 * the result is reported where the library does. */
#include "internal.h"

#include "qnx/sys/timers.h"

static_assert(_TNOTIFY_SLEEP == NOTIFY_SLEEP && _TNOTIFY_PROXY == NOTIFY_PROXY &&
                  _TNOTIFY_SIGNAL == NOTIFY_SIGNAL,
              "QNX 4's timer notification names are the wire's values");

/* The QNX 4 face's proxy ids are positive (see VORLEN_QNX4_PROXY_BASE); the
 * wire's are -2, -3, ... Ids of the largest proxy table fit far below the
 * base's next power of two, and no pid reaches the base. */
constexpr pid_t QNX4_PROXY_LAST = VORLEN_QNX4_PROXY_BASE + 0xFFFF;

/* to_wire gives the wire's form of a pid or proxy id of the QNX 4 face. */
static pid_t to_wire(pid_t id) {
    return id >= VORLEN_QNX4_PROXY_BASE + 2 && id <= QNX4_PROXY_LAST ? VORLEN_QNX4_PROXY_BASE - id
                                                                     : id;
}

/* from_wire gives the QNX 4 face's form of a pid or proxy id of the wire. */
static pid_t from_wire(pid_t id) {
    return id <= -2 && id >= VORLEN_QNX4_PROXY_BASE - QNX4_PROXY_LAST ? VORLEN_QNX4_PROXY_BASE - id
                                                                      : id;
}

extern "C" {

/* vorlen_qnx4_Sendmx is Sendmx, except that a signal whose handler runs while
 * the caller waits for its reply also breaks the Send off (-1, EINTR) unless
 * the receiver asked for _PPF_SIGCATCH; the receiver's later Reply then fails
 * with ESRCH. */
int vorlen_qnx4_Sendmx(pid_t pid, unsigned sparts, unsigned rparts, const _MXFER_ENTRY *smsg,
                       const _MXFER_ENTRY *rmsg) {
    return _qnx_sendmx(to_wire(pid), sparts, rparts, smsg, rmsg, VORLEN_FLAG_QNX4);
}

int vorlen_qnx4_Send(pid_t pid, const void *smsg, void *rmsg, unsigned snbytes, unsigned rnbytes) {
    _MXFER_ENTRY s = _qnx_one_part(smsg, snbytes), r = _qnx_one_part(rmsg, rnbytes);
    return _qnx_sendmx(to_wire(pid), 1, 1, &s, &r, VORLEN_FLAG_QNX4);
}

/* vorlen_qnx4_Replymx is Replymx reporting as QNX 4 does: 0, or -1 with
 * errno (ESRCH when pid waits for no reply from the caller). */
int vorlen_qnx4_Replymx(pid_t pid, unsigned parts, const _MXFER_ENTRY *msgmx) {
    return _qnx_result(_qnx_replymx(to_wire(pid), parts, msgmx));
}

int vorlen_qnx4_Reply(pid_t pid, const void *msg, unsigned nbytes) {
    _MXFER_ENTRY e = _qnx_one_part(msg, nbytes);
    return _qnx_result(_qnx_replymx(to_wire(pid), 1, &e));
}

/* vorlen_qnx4_Receivemx and the other receives take and give proxies by
 * their QNX 4 ids. */
pid_t vorlen_qnx4_Receivemx(pid_t pid, unsigned parts, const _MXFER_ENTRY *msgmx) {
    return from_wire(_qnx_receivemx(to_wire(pid), parts, msgmx, MT_RECEIVE));
}

pid_t vorlen_qnx4_Receive(pid_t pid, void *msg, unsigned nbytes) {
    _MXFER_ENTRY e = _qnx_one_part(msg, nbytes);
    return from_wire(_qnx_receivemx(to_wire(pid), 1, &e, MT_RECEIVE));
}

pid_t vorlen_qnx4_Creceivemx(pid_t pid, unsigned parts, const _MXFER_ENTRY *msgmx) {
    return from_wire(_qnx_receivemx(to_wire(pid), parts, msgmx, MT_NB_RECEIVE));
}

pid_t vorlen_qnx4_Creceive(pid_t pid, void *msg, unsigned nbytes) {
    _MXFER_ENTRY e = _qnx_one_part(msg, nbytes);
    return from_wire(_qnx_receivemx(to_wire(pid), 1, &e, MT_NB_RECEIVE));
}

int vorlen_qnx4_Readmsgmx(pid_t pid, unsigned offset, unsigned parts, const _MXFER_ENTRY *msgmx) {
    return Readmsgmx(to_wire(pid), offset, parts, msgmx);
}

int vorlen_qnx4_Readmsg(pid_t pid, unsigned offset, void *msg, unsigned nbytes) {
    return Readmsg(to_wire(pid), offset, msg, nbytes);
}

/* vorlen_qnx4_qnx_proxy_attach is qnx_proxy_attach for a proxy that counts
 * its triggers (triggered n times before it is received, it is received n
 * times), returned by its QNX 4 id. */
pid_t vorlen_qnx4_qnx_proxy_attach(pid_t pid, const char *data, int nbytes, int priority) {
    return from_wire(_qnx_proxy_attach(pid, data, nbytes, priority, VORLEN_FLAG_QNX4));
}

int vorlen_qnx4_qnx_proxy_detach(pid_t proxy) {
    return qnx_proxy_detach(to_wire(proxy));
}

pid_t vorlen_qnx4_Trigger(pid_t proxy) {
    return Trigger(to_wire(proxy));
}

/* vorlen_qnx4_mktimer is mktimer with a proxy event named by its QNX 4 id. */
qnx_timer_t vorlen_qnx4_mktimer(int timer_type, int notify_type, const struct itimercb *itimercb) {
    struct itimercb cb = {};
    if (itimercb) cb = *itimercb;
    if (notify_type == NOTIFY_PROXY) cb.itcb_event.evt_value = to_wire(cb.itcb_event.evt_value);
    return mktimer(timer_type, notify_type, &cb);
}

/* vorlen_qnx4_reltimer and vorlen_qnx4_abstimer are reltimer and abstimer
 * with QNX 4's and POSIX's meaning of the values: a zero it_value disarms the
 * timer, and ovalue receives the time that was left until its next expiry
 * (zero when it was not armed) with the interval it had. */
int vorlen_qnx4_reltimer(qnx_timer_t timerid, const struct itimerspec *value,
                         struct itimerspec *ovalue) {
    return _qnx_relabstimer(timerid, value, ovalue, 0, VORLEN_FLAG_QNX4);
}

int vorlen_qnx4_abstimer(qnx_timer_t timerid, const struct itimerspec *value,
                         struct itimerspec *ovalue) {
    return _qnx_relabstimer(timerid, value, ovalue, 1, VORLEN_FLAG_QNX4);
}

} // extern "C"
