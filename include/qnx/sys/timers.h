/* sys/timers.h - QNX 4's timers: mktimer, reltimer, abstimer, rmtimer, struct itimercb */
/* The calls and struct itimercb are declared by vorlen_api.h, which also makes
 * timer_t the QNX 4 integer timer id, so that `timer_t id; if ((id =
 * mktimer(...)) == -1)` works as it did. reltimer and abstimer take the
 * host's struct itimerspec from <time.h>. */
#ifndef VORLEN_QNX_SYS_TIMERS_H
#define VORLEN_QNX_SYS_TIMERS_H

#include <sys/types.h>
#include <time.h>

#include "../vorlen_qnx4.h"

/* QNX 4 programs find struct itimerspec through this header. The host's
 * <time.h> hides it in strict ISO C modes (-std=c99) unless POSIX is asked
 * for; then the C library's own guarded definition is brought in. */
#if defined(__GLIBC__) && !defined(__itimerspec_defined)
#include <bits/types/struct_itimerspec.h>
#endif

/* QNX 4's clock id for mktimer: the time of day. The daemon has one clock,
 * so the value is carried and not looked at. */
#ifndef TIMEOFDAY
#define TIMEOFDAY 0
#endif

/* QNX 4's names for what an expiring timer does: wake the caller's pending
 * reltimer/abstimer, trigger a proxy, send a signal. */
#define _TNOTIFY_SLEEP 0
#define _TNOTIFY_PROXY 1
#define _TNOTIFY_SIGNAL 2

#endif /* VORLEN_QNX_SYS_TIMERS_H */
