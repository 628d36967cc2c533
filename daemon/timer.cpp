/* timer.cpp - client timers: creation, arming, removal and the expiry scan */
#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>

#include <unistd.h>

#include "vorleni.h"

/* A period shorter than this is stretched to it: a timer that re-armed for
 * "now" at every scan would keep the daemon spinning. */
constexpr long MIN_TIMER_PERIOD_US = 1000;

static bool armed(const QNX_TIMER_STATE *p) {
    return !(p->timeval.tv_sec == TIMER_NOT_ARMED && p->timeval.tv_usec == TIMER_NOT_ARMED);
}

static void disarm(QNX_TIMER_STATE *p) {
    p->timeval.tv_sec = TIMER_NOT_ARMED;
    p->timeval.tv_usec = TIMER_NOT_ARMED;
    p->deadline_ns = 0;
    p->clock = CLOCK_MONOTONIC;
}

/* norm brings tv_usec into 0 ... 999999, also from below: a client may send
 * negative nanoseconds. */
static void norm(struct timeval &t) {
    tv_normalise(t);
    if (t.tv_usec < 0) {
        long borrow = (-t.tv_usec + 999999) / 1000000;
        t.tv_sec -= borrow;
        t.tv_usec += borrow * 1000000;
    }
}

static struct timeval tv_add(const struct timeval &a, time_t sec, long usec) {
    struct timeval t = {a.tv_sec + sec, a.tv_usec + usec};
    norm(t);
    return t;
}

static int32_t timer_number(PGLOB *pglob, const QNX_TIMER_STATE *p) {
    return int32_t(p - pglob->timers.data()) + 1;
}

/* timer_of maps a timer number to its slot when the slot is in use and owned
 * by pid; null otherwise. */
static QNX_TIMER_STATE *timer_of(PGLOB *pglob, int32_t nr, pid_t pid) {
    if (uint32_t(nr) - 1u >= pglob->timers.size()) return nullptr;
    QNX_TIMER_STATE *p = &pglob->timers[nr - 1];
    if (!p->process || p->process->pid != pid) return nullptr;
    return p;
}

static int clock_read_real(int clock, struct timespec *ts) {
    return clock_gettime(clock, ts);
}

/* The daemon reads its clocks only through this seam, so a test harness can
 * move time by itself. */
int (*vorlen_clock_gettime)(int clock, struct timespec *ts) = clock_read_real;

/* now_clock reads clock (CLOCK_MONOTONIC or CLOCK_REALTIME) as a timeval. */
struct timeval now_clock(int clock) {
    struct timespec ts;
    vorlen_clock_gettime(clock, &ts);
    return {ts.tv_sec, ts.tv_nsec / 1000};
}

/* timer_mono_deadline gives the deadline of the armed timer p on the monotonic
 * clock; a wall-clock deadline is carried over by its distance from wall_now. */
struct timeval timer_mono_deadline(const QNX_TIMER_STATE *p, const struct timeval &mono_now,
                                   const struct timeval &wall_now) {
    if (p->clock == CLOCK_MONOTONIC) return p->timeval;
    return tv_add(mono_now, p->timeval.tv_sec - wall_now.tv_sec,
                  p->timeval.tv_usec - wall_now.tv_usec);
}

/* time_left is what the armed timer p still has to run until its next
 * expiry, on its own clock; zero for a timer that is not armed. A deadline
 * already reached but not yet handled leaves 1 ns, so that it never reads as
 * "not armed"; a distance beyond the 32-bit record is cut to its largest
 * value. Cannot fail. */
static QNX_TIMESPEC time_left(const QNX_TIMER_STATE *p, const struct timeval &mono_now,
                              const struct timeval &wall_now) {
    if (!armed(p)) return {0, 0};
    const struct timeval &now = p->clock == CLOCK_MONOTONIC ? mono_now : wall_now;
    int64_t us = (int64_t(p->timeval.tv_sec) - now.tv_sec) * 1000000 +
                 (int64_t(p->timeval.tv_usec) - now.tv_usec);
    if (us <= 0) return {0, 1};
    if (us / 1000000 > INT32_MAX) return {INT32_MAX, 999999999};
    return {int32_t(us / 1000000), int32_t(us % 1000000 * 1000)};
}

/* next_on_grid moves the deadline of periodic timer p, whose deadline last
 * (monotonic, with p->deadline_ns) has just been handled at now, on by
 * period_ns: last plus the period, so that the timer keeps its phase however
 * late the daemon handles it. When whole periods have passed as well, they
 * are skipped rather than fired in a burst: the next deadline is the first
 * point last + k * period after now. Nanoseconds are carried, so that an
 * interval such as 1/60 s does not lose its fraction of a microsecond every
 * period. Cannot fail; period_ns must be positive. */
static void next_on_grid(QNX_TIMER_STATE *p, const struct timeval &last, int64_t period_ns,
                         const struct timeval &now) {
    const int64_t last_ns = (int64_t(last.tv_sec) * 1000000 + last.tv_usec) * 1000 + p->deadline_ns;
    const int64_t now_ns = (int64_t(now.tv_sec) * 1000000 + now.tv_usec) * 1000;
    int64_t next_ns = last_ns + period_ns;
    if (next_ns <= now_ns) next_ns = last_ns + ((now_ns - last_ns) / period_ns + 1) * period_ns;
    p->timeval = {time_t(next_ns / 1000000000), long(next_ns % 1000000000 / 1000)};
    p->deadline_ns = int32_t(next_ns % 1000);
}

/* do_tdetach frees timer slot p and unlinks it from the list of timers in
 * use; an owner asleep on it stops waiting for it, unanswered. Cannot fail. */
void do_tdetach(PGLOB *pglob, QNX_TIMER_STATE *p) {
    pglob->timers_used.remove(p);
    if (p->process && p->process->sleeping == p) p->process->sleeping = nullptr;
    p->timer_type = 0;
    p->notify_type = 0;
    memset(&p->itimercb, 0, sizeof p->itimercb);
    memset(&p->oitimerspec, 0, sizeof p->oitimerspec);
    disarm(p);
    p->fire_cnt = 0;
    p->process = nullptr;
    state_timer(pglob, p);
}

/* process_mktimer makes a timer for the requester, not armed, and answers
 * with the request record, timer_nr set (44 bytes). Fails with EAGAIN when
 * every slot of the table (--max-timers) is in use, EINVAL for a proxy id
 * that names no slot of the proxy table or a
 * signal number outside 1 ... 63, and EPERM for a signal timer of a remote
 * peer, whose pid was never verified. */
void process_mktimer(PGLOB *pglob, QNX_CONN *c, REQUEST &rq) {
    const QNX_MSG_HDR *hdr = &rq.hdr;
    auto *req = rq.body<QNX_MSG_MKTIMER>();
    int retcode = 0;

    QNX_TIMER_STATE *p = nullptr;
    for (QNX_TIMER_STATE &s : pglob->timers) {
        if (!s.process) {
            p = &s;
            break;
        }
    }
    int32_t ev = req->itimercb.itcb_event.evt_value;
    if (!p)
        retcode = EAGAIN;
    else if (req->notify_type == NOTIFY_PROXY && !proxy_slot(pglob, ev))
        retcode = EINVAL;
    else if (req->notify_type == NOTIFY_SIGNAL && (ev < 1 || ev > 63))
        retcode = EINVAL;
    if (!p) {
        pglob->stats.refused_table++;
        refuse(c, retcode,
               "mktimer from %d//%d (%s), notify %d event %d: EAGAIN: the timer table is full "
               "(%zu, --max-timers)",
               hdr->from_nid, hdr->from_pid, caller_pname(c), req->notify_type, ev,
               pglob->timers.size());
        return;
    }
    if (retcode) {
        refuse(c, retcode, "mktimer from %d//%d: %d", hdr->from_nid, hdr->from_pid, retcode);
        return;
    }

    p->process = c->ps;
    p->timer_type = req->timer_type;
    p->notify_type = req->notify_type;
    p->itimercb = req->itimercb;
    p->fire_cnt = 0;
    memset(&p->oitimerspec, 0, sizeof p->oitimerspec);
    disarm(p);
    pglob->timers_used.push_back(p);
    state_timer(pglob, p);

    req->timer_nr = timer_number(pglob, p);
    answer_in_place(c, rq, sizeof(QNX_MSG_MKTIMER), "QNX_MSG_HDR+QNX_MSG_MKTIMER");
    vlog(LV_REQUEST, "mktimer %d from %d//%d", req->timer_nr, hdr->from_nid, hdr->from_pid);
}

/* process_relabstimer arms the requester's timer, relative to now (typ 0) or
 * at a time of day (any other typ), and answers with the setting it had
 * before (48 bytes); a sleep timer's owner is answered only at its expiry.
 * With VORLEN_FLAG_QNX4 the answer holds what QNX 4 gives back instead: the
 * time that was left until the timer's next expiry (0 when it was not armed)
 * and the previous interval; and a zero it_value disarms the timer and is
 * answered at once, a sleep timer's too, as nothing is left to wait for.
 * Fails with ESRCH for a number outside 1 ... --max-timers, a free slot or
 * another process's timer. */
void process_relabstimer(PGLOB *pglob, QNX_CONN *c, REQUEST &rq) {
    const QNX_MSG_HDR *hdr = &rq.hdr;
    auto *req = rq.body<QNX_MSG_TIMER>();
    const char *kind = req->typ == 0 ? "rel" : "abs";
    QNX_TIMER_STATE *p = timer_of(pglob, req->timer_nr, hdr->from_pid);

    if (!p) {
        refuse(c, ESRCH, "Timer %d undefined, %stimer send from PID %d//%d", req->timer_nr, kind,
               hdr->from_nid, hdr->from_pid);
        return;
    }

    struct timeval wall_now = now_clock(CLOCK_REALTIME);
    struct timeval mono_now = now_clock(CLOCK_MONOTONIC);
    const bool qnx4 = hdr->flags.all & VORLEN_FLAG_QNX4;
    QNX_ITIMERSPEC previous = p->oitimerspec;
    if (qnx4) previous.it_value = time_left(p, mono_now, wall_now);
    p->oitimerspec = req->value;
    const QNX_TIMESPEC &v = req->value.it_value;
    QNX_PSTATE *o = p->process;

    if (qnx4 && v.tv_sec == 0 && v.tv_nsec == 0) {
        disarm(p);
        state_timer(pglob, p);
        vlog(LV_REQUEST, "%stimer %d (PID=%d//%d) disarmed", kind, req->timer_nr, o->nid, o->pid);
    } else {
        struct timeval now;
        if (req->typ != 0) {
            vlog(LV_TRACE, "oitimerspec: %d:%d", v.tv_sec, v.tv_nsec);
            /* The first expiry of an absolute timer is a time of day: it stays on
             * the wall clock and follows its steps. */
            p->timeval = tv_add({0, 0}, v.tv_sec, v.tv_nsec / 1000);
            p->deadline_ns = v.tv_nsec >= 0 ? v.tv_nsec % 1000 : 0;
            p->clock = CLOCK_REALTIME;
            now = wall_now;
        } else {
            vlog(LV_TRACE, "timeval: %d:%d, oitimerspec: %d:%d", int(p->timeval.tv_sec),
                 int(p->timeval.tv_usec), v.tv_sec, v.tv_nsec);
            p->timeval = tv_add(mono_now, v.tv_sec, v.tv_nsec / 1000);
            p->deadline_ns = v.tv_nsec >= 0 ? v.tv_nsec % 1000 : 0;
            p->clock = CLOCK_MONOTONIC;
            now = mono_now;
        }
        vlog(LV_REQUEST, "%stimer %d (PID=%d//%d) fires at %d.%06d sec (now=%d.%06d)", kind,
             req->timer_nr, o->nid, o->pid, int(p->timeval.tv_sec), int(p->timeval.tv_usec),
             int(now.tv_sec), int(now.tv_usec));

        struct timeval md = timer_mono_deadline(p, mono_now, wall_now);
        if (tv_le(md, pglob->next_timeout)) pglob->next_timeout = md;
        state_timer(pglob, p);

        if (p->notify_type == NOTIFY_SLEEP) {
            o->sleeping = p; /* answered by the expiry */
            return;
        }
    }
    req->value = previous;
    answer_in_place(c, rq, sizeof(QNX_MSG_TIMER), "QNX_MSG_HDR+QNX_MSG_TIMER");
}

/* process_rmtimer removes the requester's timer. Fails with ESRCH for a
 * number outside 1 ... --max-timers, a free slot or another process's
 * timer. */
void process_rmtimer(PGLOB *pglob, QNX_CONN *c, REQUEST &rq) {
    const QNX_MSG_HDR *hdr = &rq.hdr;
    auto *req = rq.body<QNX_MSG_RMTIMER>();
    QNX_TIMER_STATE *p = timer_of(pglob, req->timer_nr, hdr->from_pid);

    if (!p) {
        refuse(c, ESRCH, "Timer %d undefined, rmtimer send from PID %d//%d", req->timer_nr,
               hdr->from_nid, hdr->from_pid);
        return;
    }
    int32_t owner_nid = p->process->nid;
    pid_t owner_pid = p->process->pid;
    do_tdetach(pglob, p);
    vlog(LV_REQUEST, "rmtimer %d (PID=%d//%d)", req->timer_nr, owner_nid, owner_pid);
    answer_in_place(c, rq, 0, "QNX_MSG_HDR");
}

/* notify carries out the expiry of timer p for its owner o. */
static void notify(PGLOB *pglob, QNX_TIMER_STATE *p, QNX_PSTATE *o) {
    int32_t ev = p->itimercb.itcb_event.evt_value;
    switch (p->notify_type) {
    case NOTIFY_PROXY: {
        QNX_PROXY_STATE *px = proxy_slot(pglob, ev);
        if (!px || !px->process) {
            vlog(LV_REQUEST, "Timer-Proxy %d not attached for pid %d", ev, o->pid);
            break;
        }
        vlog(LV_REQUEST, "Timer-Proxy %d triggerd for pid %d", ev, o->pid);
        do_trigger(pglob, px, 0, 0);
        state_proxy(pglob, px);
        break;
    }
    case NOTIFY_SIGNAL:
        vlog(LV_REQUEST, "Timer-Signal %d(%s) delivered for pid %d", ev, strsignal(ev), o->pid);
        /* Through the pidfd taken when the owner's connection was verified:
         * never a reused pid, never a group, never the daemon. */
        owner_signal(o, ev);
        /* Only the owner's own wait is broken off, as its library would on the
         * signal: the processes blocked on the owner were not signalled, and
         * one whose message the owner already holds must still get its reply. */
        break_wait(pglob, o);
        break;
    case NOTIFY_SLEEP:
        if (o->sleeping != p) break; /* its one answer was given, or the wait was broken off */
        vlog(LV_REQUEST, "sleep-timer expired for pid %d", o->pid);
        o->sleeping = nullptr;
        if (o->fd >= 0) send_status(o->fd, 0);
        break;
    default:
        break;
    }
}

/* process_timers fires every armed timer whose deadline has come on its own
 * clock, re-arms the periodic ones on the monotonic clock and leaves in
 * next_timeout the earliest remaining deadline, never more than 300 s ahead.
 * A period runs from the deadline that was reached, not from this scan, so
 * that the loop's delays do not add up over the periods (see next_on_grid);
 * an absolute timer's periods run from its time of day carried over to the
 * monotonic clock. */
void process_timers(PGLOB *pglob) {
    struct timeval mono_now = now_clock(CLOCK_MONOTONIC);
    struct timeval wall_now = now_clock(CLOCK_REALTIME);
    struct timeval candidate = tv_add(mono_now, SWEEP_INTERVAL, 0);
    bool lowered = false;

    for (QNX_TIMER_STATE *p : pglob->timers_used) {
        if (!armed(p)) continue;
        const struct timeval &now = p->clock == CLOCK_MONOTONIC ? mono_now : wall_now;
        if (tv_le(p->timeval, now)) {
            struct timeval reached = timer_mono_deadline(p, mono_now, wall_now);
            p->fire_cnt++;
            notify(pglob, p, p->process);

            const QNX_TIMESPEC &iv = p->oitimerspec.it_interval;
            if (iv.tv_sec != 0 || iv.tv_nsec != 0) {
                int64_t period_ns = int64_t(iv.tv_sec) * 1000000000 + iv.tv_nsec;
                if (period_ns < MIN_TIMER_PERIOD_US * 1000) period_ns = MIN_TIMER_PERIOD_US * 1000;
                next_on_grid(p, reached, period_ns, mono_now);
                p->clock = CLOCK_MONOTONIC;
                /* Timer arithmetic: a periodic timer would otherwise add a
                 * line per period to every expiry's own at level 4. */
                vlog(LV_TRACE, "timer-interval Timer %d: %d.%06d sec, new timeout: %d.%06d",
                     timer_number(pglob, p), iv.tv_sec, iv.tv_nsec / 1000, int(p->timeval.tv_sec),
                     int(p->timeval.tv_usec));
            } else {
                disarm(p);
            }
            state_timer(pglob, p);
            if (!armed(p)) continue;
        }
        struct timeval md = timer_mono_deadline(p, mono_now, wall_now);
        if (tv_le(md, candidate)) {
            candidate = md;
            lowered = true;
        }
    }
    if (lowered)
        vlog(LV_TRACE, "New timeout at %d.%06d sec, now: %d.%06d", int(candidate.tv_sec),
             int(candidate.tv_usec), int(mono_now.tv_sec), int(mono_now.tv_usec));
    pglob->next_timeout = candidate;
}
