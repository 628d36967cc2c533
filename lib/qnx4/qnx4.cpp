/* qnx4.cpp - vorlenlib's QNX 4 face: the entry points the QNX 4 header names bind calls to */
/* A program built with the QNX 4 headers calls these under the calls' own
 * names (see VORLEN_QNX4 in vorlen_api.h). Each marks its request with
 * VORLEN_FLAG_QNX4 where the daemon carries the difference, or changes how
 * the result is reported where the library does, and first tells the core
 * that the process uses the QNX 4 face (see _qnx_use_qnx4_face). */
#include "../core.h"

#include "qnx/sys/proxy.h"
#include "qnx/sys/sched.h"
#include "qnx/sys/timers.h"

#include <csignal>
#include <cstring>

#include <sys/resource.h>
#include <unistd.h>

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
VORLEN_EXPORT int vorlen_qnx4_Sendmx(pid_t pid, unsigned sparts, unsigned rparts,
                                     const _MXFER_ENTRY *smsg, const _MXFER_ENTRY *rmsg) {
    _qnx_use_qnx4_face();
    return _qnx_sendmx(to_wire(pid), sparts, rparts, smsg, rmsg, VORLEN_FLAG_QNX4);
}

VORLEN_EXPORT int vorlen_qnx4_Send(pid_t pid, const void *smsg, void *rmsg, unsigned snbytes,
                                   unsigned rnbytes) {
    _qnx_use_qnx4_face();
    _MXFER_ENTRY s = _qnx_one_part(smsg, snbytes), r = _qnx_one_part(rmsg, rnbytes);
    return _qnx_sendmx(to_wire(pid), 1, 1, &s, &r, VORLEN_FLAG_QNX4);
}

/* vorlen_qnx4_Replymx is Replymx reporting as QNX 4 does: 0, or -1 with
 * errno (ESRCH when pid waits for no reply from the caller). */
VORLEN_EXPORT int vorlen_qnx4_Replymx(pid_t pid, unsigned parts, const _MXFER_ENTRY *msgmx) {
    _qnx_use_qnx4_face();
    return _qnx_result(_qnx_replymx(to_wire(pid), parts, msgmx));
}

VORLEN_EXPORT int vorlen_qnx4_Reply(pid_t pid, const void *msg, unsigned nbytes) {
    _qnx_use_qnx4_face();
    _MXFER_ENTRY e = _qnx_one_part(msg, nbytes);
    return _qnx_result(_qnx_replymx(to_wire(pid), 1, &e));
}

/* vorlen_qnx4_Receivemx and the other receives take and give proxies by
 * their QNX 4 ids. */
VORLEN_EXPORT pid_t vorlen_qnx4_Receivemx(pid_t pid, unsigned parts, const _MXFER_ENTRY *msgmx) {
    _qnx_use_qnx4_face();
    return from_wire(_qnx_receivemx(to_wire(pid), parts, msgmx, MT_RECEIVE));
}

VORLEN_EXPORT pid_t vorlen_qnx4_Receive(pid_t pid, void *msg, unsigned nbytes) {
    _qnx_use_qnx4_face();
    _MXFER_ENTRY e = _qnx_one_part(msg, nbytes);
    return from_wire(_qnx_receivemx(to_wire(pid), 1, &e, MT_RECEIVE));
}

VORLEN_EXPORT pid_t vorlen_qnx4_Creceivemx(pid_t pid, unsigned parts, const _MXFER_ENTRY *msgmx) {
    _qnx_use_qnx4_face();
    return from_wire(_qnx_receivemx(to_wire(pid), parts, msgmx, MT_NB_RECEIVE));
}

VORLEN_EXPORT pid_t vorlen_qnx4_Creceive(pid_t pid, void *msg, unsigned nbytes) {
    _qnx_use_qnx4_face();
    _MXFER_ENTRY e = _qnx_one_part(msg, nbytes);
    return from_wire(_qnx_receivemx(to_wire(pid), 1, &e, MT_NB_RECEIVE));
}

VORLEN_EXPORT int vorlen_qnx4_Readmsgmx(pid_t pid, unsigned offset, unsigned parts,
                                        const _MXFER_ENTRY *msgmx) {
    _qnx_use_qnx4_face();
    return Readmsgmx(to_wire(pid), offset, parts, msgmx);
}

VORLEN_EXPORT int vorlen_qnx4_Readmsg(pid_t pid, unsigned offset, void *msg, unsigned nbytes) {
    _qnx_use_qnx4_face();
    return Readmsg(to_wire(pid), offset, msg, nbytes);
}

/* vorlen_qnx4_qnx_proxy_attach is qnx_proxy_attach for a proxy that counts
 * its triggers (triggered n times before it is received, it is received n
 * times), returned by its QNX 4 id. */
VORLEN_EXPORT pid_t vorlen_qnx4_qnx_proxy_attach(pid_t pid, const char *data, int nbytes,
                                                 int priority) {
    _qnx_use_qnx4_face();
    return from_wire(_qnx_proxy_attach(pid, data, nbytes, priority, VORLEN_FLAG_QNX4));
}

VORLEN_EXPORT int vorlen_qnx4_qnx_proxy_detach(pid_t proxy) {
    _qnx_use_qnx4_face();
    return qnx_proxy_detach(to_wire(proxy));
}

/* vorlen_qnx4_Trigger is Trigger that, as a process's first call, connects
 * it as any first call does (then delivers), where vorlen.h's fails with
 * ENOTCONN: a small program handed a proxy id only triggers it. */
VORLEN_EXPORT pid_t vorlen_qnx4_Trigger(pid_t proxy) {
    _qnx_use_qnx4_face();
    return _qnx_trigger(to_wire(proxy), true);
}

/* vorlen_qnx4_qnx_proxy_rem_attach and vorlen_qnx4_qnx_proxy_rem_detach take
 * and give proxies by their QNX 4 ids. */
VORLEN_EXPORT pid_t vorlen_qnx4_qnx_proxy_rem_attach(nid_t nid, pid_t proxy) {
    _qnx_use_qnx4_face();
    pid_t vproxy = qnx_proxy_rem_attach(nid, to_wire(proxy));
    return vproxy == -1 ? -1 : from_wire(vproxy);
}

VORLEN_EXPORT int vorlen_qnx4_qnx_proxy_rem_detach(nid_t nid, pid_t vproxy) {
    _qnx_use_qnx4_face();
    return qnx_proxy_rem_detach(nid, to_wire(vproxy));
}

/* vorlen_qnx4_mktimer is mktimer with a proxy event named by its QNX 4 id. */
VORLEN_EXPORT qnx_timer_t vorlen_qnx4_mktimer(int timer_type, int notify_type,
                                              const struct itimercb *itimercb) {
    _qnx_use_qnx4_face();
    struct itimercb cb = {};
    if (itimercb) cb = *itimercb;
    if (notify_type == NOTIFY_PROXY) cb.itcb_event.evt_value = to_wire(cb.itcb_event.evt_value);
    return mktimer(timer_type, notify_type, &cb);
}

/* vorlen_qnx4_reltimer and vorlen_qnx4_abstimer are reltimer and abstimer
 * with QNX 4's and POSIX's meaning of the values: a zero it_value disarms the
 * timer, and ovalue receives the time that was left until its next expiry
 * (zero when it was not armed) with the interval it had. */
VORLEN_EXPORT int vorlen_qnx4_reltimer(qnx_timer_t timerid, const struct itimerspec *value,
                                       struct itimerspec *ovalue) {
    _qnx_use_qnx4_face();
    return _qnx_relabstimer(timerid, value, ovalue, 0, VORLEN_FLAG_QNX4);
}

VORLEN_EXPORT int vorlen_qnx4_abstimer(qnx_timer_t timerid, const struct itimerspec *value,
                                       struct itimerspec *ovalue) {
    _qnx_use_qnx4_face();
    return _qnx_relabstimer(timerid, value, ovalue, 1, VORLEN_FLAG_QNX4);
}

/* vorlen_qnx4_timer_create makes a timer that sends signal sigev_signo
 * (positive), triggers proxy -sigev_signo (negative) or sends SIGALRM (a null
 * evp); only sigev_signo is read, as QNX 4 programs fill no other field.
 * Returns the timer id, or -1 with errno: EINVAL (sigev_signo 0), or as
 * mktimer fails. */
VORLEN_EXPORT qnx_timer_t vorlen_qnx4_timer_create(int clock_id, struct sigevent *evp) {
    _qnx_use_qnx4_face();
    struct itimercb cb = {};
    int notify = NOTIFY_SIGNAL;
    cb.itcb_event.evt_value = SIGALRM;
    if (evp && evp->sigev_signo < 0) {
        notify = NOTIFY_PROXY;
        cb.itcb_event.evt_value = to_wire(-evp->sigev_signo);
    } else if (evp && evp->sigev_signo > 0) {
        cb.itcb_event.evt_value = evp->sigev_signo;
    } else if (evp) {
        errno = EINVAL;
        return -1;
    }
    return mktimer(clock_id, notify, &cb);
}

/* vorlen_qnx4_timer_gettime puts the time left until the caller's timer
 * timerid expires (zero when not armed) and its interval into value, as the
 * timers listing shows them. Returns 0, or -1 with errno: EINVAL (no timer
 * of the caller), or that of a failed read or write. */
VORLEN_EXPORT int vorlen_qnx4_timer_gettime(qnx_timer_t timerid, struct itimerspec *value) {
    _qnx_use_qnx4_face();
    QNX_MSG_SIN_RTIMERS r;
    bool found = false;
    const pid_t me = getpid();
    if (_qnx_squery(SIN_TIMERS, &r) != 0) return -1;
    for (; r.pid != -1; _qnx_squery_next(&r)) {
        if (r.nr != timerid || r.pid != me) continue;
        found = true;
        value->it_value.tv_sec = r.value.tv_sec;
        value->it_value.tv_nsec = r.value.tv_nsec;
        value->it_interval.tv_sec = r.repeat.tv_sec;
        value->it_interval.tv_nsec = r.repeat.tv_nsec;
    }
    if (!found) errno = EINVAL;
    return found ? 0 : -1;
}

/* vorlen_qnx4_timer_settime arms timerid with value: it_value relative to
 * now, a time of day with TIMER_ABSTIME, or added to the time left with
 * TIMER_ADDREL (relative to now when the timer is not armed); a zero it_value
 * disarms. ovalue, when not null, receives the time that was left and the
 * interval. Returns 0, or -1 with errno: EINVAL (no value, or no timer of the
 * caller), or that of a failed read or write. */
VORLEN_EXPORT int vorlen_qnx4_timer_settime(qnx_timer_t timerid, int flags,
                                            const struct itimerspec *value,
                                            struct itimerspec *ovalue) {
    _qnx_use_qnx4_face();
    if (!value) {
        errno = EINVAL;
        return -1;
    }
    struct itimerspec v = *value;
    bool zero = v.it_value.tv_sec == 0 && v.it_value.tv_nsec == 0;
    if ((flags & TIMER_ADDREL) && !(flags & TIMER_ABSTIME) && !zero) {
        struct itimerspec now;
        if (vorlen_qnx4_timer_gettime(timerid, &now) != 0) return -1;
        v.it_value.tv_sec += now.it_value.tv_sec;
        v.it_value.tv_nsec += now.it_value.tv_nsec;
        if (v.it_value.tv_nsec >= 1000000000) {
            v.it_value.tv_sec++;
            v.it_value.tv_nsec -= 1000000000;
        }
    }
    int rc =
        _qnx_relabstimer(timerid, &v, ovalue, (flags & TIMER_ABSTIME) ? 1 : 0, VORLEN_FLAG_QNX4);
    if (rc != 0 && errno == ESRCH) errno = EINVAL;
    return rc;
}

/* vorlen_qnx4_timer_delete removes the caller's timer. Returns 0, or -1 with
 * errno EINVAL (no timer of the caller) or that of a failed read or write. */
VORLEN_EXPORT int vorlen_qnx4_timer_delete(qnx_timer_t timerid) {
    _qnx_use_qnx4_face();
    int rc = rmtimer(timerid);
    if (rc != 0 && errno == ESRCH) errno = EINVAL;
    return rc;
}

/* vorlen_qnx4_Writemsgmx, vorlen_qnx4_Writemsg and vorlen_qnx4_Relay take
 * pids as the face gives them; a proxy's id is never REPLY-blocked, and is
 * refused by the daemon as any other. */
VORLEN_EXPORT int vorlen_qnx4_Writemsgmx(pid_t pid, unsigned offset, unsigned parts,
                                         const _MXFER_ENTRY *msgmx) {
    _qnx_use_qnx4_face();
    return Writemsgmx(to_wire(pid), offset, parts, msgmx);
}

VORLEN_EXPORT int vorlen_qnx4_Writemsg(pid_t pid, unsigned offset, const void *msg,
                                       unsigned nbytes) {
    _qnx_use_qnx4_face();
    return Writemsg(to_wire(pid), offset, msg, nbytes);
}

VORLEN_EXPORT pid_t vorlen_qnx4_Relay(pid_t source, pid_t target) {
    _qnx_use_qnx4_face();
    return Relay(to_wire(source), to_wire(target));
}

/* vorlen_qnx4_setprio is setprio reporting as QNX 4 does: the priority
 * the process had before, or -1 with errno when it cannot be read or set. */
VORLEN_EXPORT int vorlen_qnx4_setprio(pid_t pid, int value) {
    _qnx_use_qnx4_face();
    int old = getprio(pid);
    if (old == -1) return -1;
    if (setpriority(PRIO_PROCESS, static_cast<id_t>(pid), 10 - value) != 0) return -1;
    return old;
}

} // extern "C"

/* The devices of <sys/dev.h> and <sys/console.h>, with proxies by their QNX 4
 * ids (dev.cpp and console.cpp take the wire's). */
#include "qnx/sys/console.h"

extern "C" {

VORLEN_EXPORT int vorlen_qnx4_dev_arm(int fd, pid_t proxy, unsigned events) {
    _qnx_use_qnx4_face();
    return dev_arm(fd, to_wire(proxy), events);
}

VORLEN_EXPORT int vorlen_qnx4_dev_read(int fd, void *buf, unsigned n, unsigned minimum,
                                       unsigned time, unsigned timeout, pid_t proxy, int *armed) {
    _qnx_use_qnx4_face();
    return dev_read(fd, buf, n, minimum, time, timeout, to_wire(proxy), armed);
}

VORLEN_EXPORT int vorlen_qnx4_console_arm(struct _console_ctrl *cc, int console, pid_t proxy,
                                          unsigned events) {
    _qnx_use_qnx4_face();
    return console_arm(cc, console, to_wire(proxy), events);
}

} // extern "C"

/* kill of the QNX 4 face (see <signal.h> beside the QNX 4 header names). */
extern "C" {

/* vorlen_qnx4_kill signals a VID's far process through its circuit
 * (MT_VC_KILL): 0, or -1 with errno ESRCH (no live circuit), EPERM (the far
 * daemon does not allow it), EINVAL (no such signal), EHOSTUNREACH (the node
 * cannot be reached). Every other pid, group or proxy id is the host's kill,
 * as async-signal-safe as it is. */
VORLEN_EXPORT int vorlen_qnx4_kill(pid_t pid, int sig) {
    if (!VORLEN_IS_VID(pid)) return kill(pid, sig);
    _qnx_use_qnx4_face();
    return _qnx_vc_kill(pid, sig);
}

} // extern "C"
