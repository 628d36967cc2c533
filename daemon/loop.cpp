/* loop.cpp - one step of the daemon's loop: due work, then the events of the sockets served */
#include "circuit.h"
#include "link.h"
#include "vorleni.h"

/* loop_once does what the daemon does between two waits: the sweep and the
 * timers when due, connections whose first request is overdue, then it waits
 * up to wait_ms milliseconds (-1: until something happens) for events and
 * serves them: new connections on a listener, signals through
 * lp->on_signal, the node links, processes that exited, answers the sockets take and requests
 * that arrive, and last completes the records made meanwhile. Returns the
 * number of events served. */
int loop_once(PGLOB *pglob, LOOP_STATE *lp, int wait_ms) {
    struct timeval tvn = now_clock(CLOCK_MONOTONIC);
    if (lp->cleanup_sec == 0) lp->cleanup_sec = tvn.tv_sec + SWEEP_INTERVAL;
    if (tvn.tv_sec >= lp->cleanup_sec) {
        sweep(pglob);
        lp->cleanup_sec = tvn.tv_sec + SWEEP_INTERVAL;
    }
    if (!tv_le(tvn, pglob->next_timeout)) process_timers(pglob);
    conn_reap_dead(pglob); /* peers the sweep or the timers could not write to */
    vlog(LV_TRACE, "global-timeout: %d.%06d, now: %d.%06d", int(pglob->next_timeout.tv_sec),
         int(pglob->next_timeout.tv_usec), int(tvn.tv_sec), int(tvn.tv_usec));
    struct timeval wake = pglob->next_timeout;
    if (wake.tv_sec > lp->cleanup_sec) wake = {lp->cleanup_sec, 0};
    struct timeval first;
    if (conn_expire_first(pglob, tvn, &first) && tv_le(first, wake)) wake = first;
    restore_tick(pglob, tvn, &wake);
    vc_tick(pglob, tvn, &wake);
    link_tick(pglob, tvn, &wake);
    pending_tick(pglob, tvn, &wake);
    sockdeadline(&wake);

    SOCKEV evs[256];
    int n = socknext(evs, 256, wait_ms);
    for (int i = 0; i < n; i++) {
        int fd = evs[i].fd;
        pglob->pass_left = n - 1 - i;
        bool listener = false;
        for (int s : lp->listeners) listener = listener || fd == s;
        if (listener)
            conn_accept(pglob, fd);
        else if (evs[i].process)
            process_exited(pglob, fd);
        else if (fd == lp->sigfd && lp->on_signal)
            lp->on_signal(pglob, fd);
        else if (link_event(pglob, fd, evs[i].readable, evs[i].writable))
            continue; /* a node link: no client's connection to reap */
        else {
            if (evs[i].writable) conn_writable(pglob, fd);
            if (evs[i].readable) conn_readable(pglob, fd);
        }
        conn_reap_dead(pglob);
    }
    pglob->pass_left = 0;
    finish_records(pglob); /* once every answer of this pass is out */
    return n;
}
