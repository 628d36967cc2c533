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

extern "C" {

/* vorlen_qnx4_Sendmx is Sendmx, except that a signal whose handler runs while
 * the caller waits for its reply also breaks the Send off (-1, EINTR) unless
 * the receiver asked for _PPF_SIGCATCH; the receiver's later Reply then fails
 * with ESRCH. */
int vorlen_qnx4_Sendmx(pid_t pid, unsigned sparts, unsigned rparts, const _MXFER_ENTRY *smsg,
                       const _MXFER_ENTRY *rmsg) {
    return _qnx_sendmx(pid, sparts, rparts, smsg, rmsg, VORLEN_FLAG_QNX4);
}

int vorlen_qnx4_Send(pid_t pid, const void *smsg, void *rmsg, unsigned snbytes, unsigned rnbytes) {
    _MXFER_ENTRY s = _qnx_one_part(smsg, snbytes), r = _qnx_one_part(rmsg, rnbytes);
    return _qnx_sendmx(pid, 1, 1, &s, &r, VORLEN_FLAG_QNX4);
}

/* vorlen_qnx4_Replymx is Replymx reporting as QNX 4 does: 0, or -1 with
 * errno (ESRCH when pid waits for no reply from the caller). */
int vorlen_qnx4_Replymx(pid_t pid, unsigned parts, const _MXFER_ENTRY *msgmx) {
    return _qnx_result(_qnx_replymx(pid, parts, msgmx));
}

int vorlen_qnx4_Reply(pid_t pid, const void *msg, unsigned nbytes) {
    _MXFER_ENTRY e = _qnx_one_part(msg, nbytes);
    return _qnx_result(_qnx_replymx(pid, 1, &e));
}

/* vorlen_qnx4_qnx_proxy_attach is qnx_proxy_attach for a proxy that counts
 * its triggers: triggered n times before it is received, it is received n
 * times. */
pid_t vorlen_qnx4_qnx_proxy_attach(pid_t pid, const char *data, int nbytes, int priority) {
    return _qnx_proxy_attach(pid, data, nbytes, priority, VORLEN_FLAG_QNX4);
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
