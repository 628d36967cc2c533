/* vorlen_qnx4_timers.h - QNX 4's POSIX timer calls, as <time.h> and <signal.h> give them */
/* Not a QNX 4 header itself: the wrappers of <time.h> and <signal.h> include
 * it, and so does every QNX 4 header name (through vorlen_qnx4.h), so that a
 * program finds QNX 4's timer calls wherever it looks. timer_create takes no
 * timer_t pointer but returns the timer id, and its event is one number,
 * sigev_signo: a signal when positive, the proxy -sigev_signo when negative
 * (a null evp means SIGALRM). timer_settime takes TIMER_ABSTIME (value is a
 * time of day) or TIMER_ADDREL (value is added to the time that is left), a
 * zero it_value disarms, and ovalue receives the time that was left. The
 * host's own calls stay in reach for a file that defines VORLEN_HOST_TIMER_T
 * before its first include. It selects neither face of the library: these
 * calls have one. */
#ifndef VORLEN_QNX4_TIMERS_H
#define VORLEN_QNX4_TIMERS_H

/* Every host header that declares timer_t comes first (see vorlen_api.h). */
#include <stdint.h>
#include <sys/types.h>
#include <signal.h>
#include <time.h>

#include "vorlen_export.h"

/* QNX 4's <time.h> and <signal.h> gave struct sigevent, struct itimerspec
 * and CLOCK_REALTIME in every mode; the host's hide them in strict ISO C
 * modes (-std=c99) unless POSIX is asked for. Then the C library's own
 * guarded definitions are brought in. */
#if defined(__GLIBC__) && !defined(__sigevent_t_defined)
#include <bits/types/sigevent_t.h>
#endif
#if defined(__GLIBC__) && !defined(__itimerspec_defined)
#include <bits/types/struct_itimerspec.h>
#endif
#ifndef CLOCK_REALTIME
#define CLOCK_REALTIME 0 /* the host's number */
#endif

#ifndef VORLEN_QNX_TIMER_T_DEFINED
#define VORLEN_QNX_TIMER_T_DEFINED
typedef int32_t qnx_timer_t;
#endif

#ifndef TIMER_ABSTIME
#define TIMER_ABSTIME 1
#endif
#ifndef TIMER_ADDREL
#define TIMER_ADDREL 0x100
#endif

#if !defined(VORLEN_HOST_TIMER_T) && !defined(VORLEN_INTERNAL)
#define timer_t qnx_timer_t
#define timer_create vorlen_qnx4_timer_create
#define timer_settime vorlen_qnx4_timer_settime
#define timer_gettime vorlen_qnx4_timer_gettime
#define timer_delete vorlen_qnx4_timer_delete
#endif

#ifdef __cplusplus
extern "C" {
#endif

struct sigevent;
struct itimerspec;
VORLEN_EXPORT qnx_timer_t vorlen_qnx4_timer_create(int clock_id, struct sigevent *evp);
VORLEN_EXPORT int vorlen_qnx4_timer_settime(qnx_timer_t timerid, int flags,
                                            const struct itimerspec *value,
                                            struct itimerspec *ovalue);
VORLEN_EXPORT int vorlen_qnx4_timer_gettime(qnx_timer_t timerid, struct itimerspec *value);
VORLEN_EXPORT int vorlen_qnx4_timer_delete(qnx_timer_t timerid);

#ifdef __cplusplus
}
#endif

#endif /* VORLEN_QNX4_TIMERS_H */
