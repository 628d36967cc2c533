/* timer.cpp - vorlenlib's timer calls: mktimer, rmtimer, reltimer, abstimer */
#include "internal.h"

#include <utility>

#include <time.h>

/* to_wire puts the host's itimerspec into the 32-bit record of the wire (a
 * null value is all zero). Returns 0, or -1 with EINVAL when a field does not
 * fit 32 bits. */
static int to_wire(const itimerspec *value, QNX_ITIMERSPEC &wire) {
    wire = {};
    if (!value) return 0;
    for (auto [host, w] : {std::pair{&value->it_interval, &wire.it_interval},
                           std::pair{&value->it_value, &wire.it_value}}) {
        if (!std::in_range<int32_t>(host->tv_sec) || !std::in_range<int32_t>(host->tv_nsec)) {
            errno = EINVAL;
            return -1;
        }
        w->tv_sec = static_cast<int32_t>(host->tv_sec);
        w->tv_nsec = static_cast<int32_t>(host->tv_nsec);
    }
    return 0;
}

static void to_host(const QNX_ITIMERSPEC &wire, itimerspec &value) {
    value.it_interval.tv_sec = wire.it_interval.tv_sec;
    value.it_interval.tv_nsec = wire.it_interval.tv_nsec;
    value.it_value.tv_sec = wire.it_value.tv_sec;
    value.it_value.tv_nsec = wire.it_value.tv_nsec;
}

/* _qnx_relabstimer arms the caller's timer timerid with value, it_value counting
 * from now (typ 0) or from the epoch (typ 1); ovalue, when not null, receives
 * the timer's previous setting. For a NOTIFY_SLEEP timer the call returns
 * only when the timer expires (*ovalue then holds the new setting). Returns
 * 0, or -1: with errno ENOTCONN when the process is not connected (nothing
 * sent), else with errno EINVAL (a value beyond 32 bits; nothing sent), ESRCH
 * (not a timer of the caller) or that of a failed read or write. */
int _qnx_relabstimer(qnx_timer_t timerid, const itimerspec *value, itimerspec *ovalue, int typ,
                     uint16_t flags) {
    if (!_qnx_connected()) {
        errno = ENOTCONN;
        return -1;
    }
    QNX_REQ<QNX_MSG_TIMER> rq{};
    if (to_wire(value, rq.body.value) != 0) return -1;
    rq.body.typ = typ;
    rq.body.timer_nr = timerid;
    rq.hdr.ev.typ = MT_RELABSTIMER;
    rq.hdr.flags.all = flags;
    rq.hdr.msg_len = sizeof rq.body;
    iovec req{&rq, sizeof rq};
    iovec rec{&rq.body, sizeof rq.body};
    int rc = _qnx_request(QNX_REQUIRING | QNX_CLEAR_ERRNO, {&req, 1}, {&rec, 1});
    /* A record answer brings the previous setting; any other answer leaves
     * what was sent in the record. */
    if (rc >= 0 && ovalue) to_host(rq.body.value, *ovalue);
    return _qnx_result(rc);
}

extern "C" {

/* mktimer makes a timer of the caller that on expiry wakes the caller's
 * pending reltimer/abstimer (NOTIFY_SLEEP), triggers the proxy (NOTIFY_PROXY)
 * or sends the signal (NOTIFY_SIGNAL) named by itimercb's event (a null
 * itimercb counts as all zero). Returns the timer id (1 ... the daemon's
 * --max-timers), or -1 with
 * errno: EAGAIN (all timers in use), EINVAL (event out of range), or that of
 * a failed read or write. */
qnx_timer_t mktimer(int timer_type, int notify_type, const struct itimercb *itimercb) {
    QNX_REQ<QNX_MSG_MKTIMER> rq{};
    rq.body.timer_type = timer_type;
    rq.body.notify_type = notify_type;
    if (itimercb) rq.body.itimercb = *itimercb;
    if (_qnx_call(QNX_OPENING | QNX_CLEAR_ERRNO, MT_MKTIMER, rq) != 0) return -1;
    return rq.body.timer_nr;
}

/* rmtimer removes the caller's timer. Returns 0, or -1: with errno ENOTCONN
 * when the process is not connected (nothing sent), else with errno ESRCH
 * (not a timer of the caller) or that of a failed read or write. */
int rmtimer(qnx_timer_t timerid) {
    QNX_REQ<QNX_MSG_RMTIMER> rq{};
    rq.body.timer_nr = timerid;
    return _qnx_call(QNX_REQUIRING | QNX_CLEAR_ERRNO, MT_RMTIMER, rq);
}

int reltimer(qnx_timer_t timerid, const struct itimerspec *value, struct itimerspec *ovalue) {
    return _qnx_relabstimer(timerid, value, ovalue, 0, 0);
}

int abstimer(qnx_timer_t timerid, const struct itimerspec *value, struct itimerspec *ovalue) {
    return _qnx_relabstimer(timerid, value, ovalue, 1, 0);
}

} // extern "C"
