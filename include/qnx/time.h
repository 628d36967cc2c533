/* time.h - the host's <time.h>, with QNX 4's timer_create(clock_id, evp) and its other timer calls
 */
/* QNX 4 programs that include only <time.h> (or <signal.h>) call QNX 4's
 * POSIX timers; see vorlen_qnx4_timers.h. The host's header comes first and
 * stays whole. As the wrapper of a system header it counts as one: the GCC
 * extension #include_next draws no warning. */
#if defined(__GNUC__)
#pragma GCC system_header
#endif
#include_next <time.h>

#ifndef VORLEN_QNX_TIME_H
#define VORLEN_QNX_TIME_H
#include "vorlen_qnx4_timers.h"
#endif /* VORLEN_QNX_TIME_H */
