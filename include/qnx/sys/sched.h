/* sys/sched.h - QNX 4's scheduling header: the host's POSIX scheduling calls, setprio, getprio */
#ifndef VORLEN_QNX_SYS_SCHED_H
#define VORLEN_QNX_SYS_SCHED_H

#include <sched.h>
#include <sys/types.h>

#include "../vorlen_qnx4.h" /* setprio, with QNX 4's result */

#ifdef __cplusplus
extern "C" {
#endif

/* setprio (declared with the other calls) gives process pid (0: the caller)
 * the QNX priority value, as the nice value 10 - value, and returns the
 * priority it had before (as getprio reads it), or -1 with errno: ESRCH (no
 * such process), EACCES or EPERM (raising a priority above 10 needs the
 * privilege). */

/* getprio returns the QNX priority of process pid (0: the caller): 10 - its
 * nice value, the inverse of setprio, but at least 1, so that no priority
 * reads as the -1 of a failure (nice values from 9 up all give 1). Fails
 * with -1 and errno ESRCH when there is no such process. */
VORLEN_EXPORT int getprio(pid_t pid);

#ifdef __cplusplus
}
#endif

#endif /* VORLEN_QNX_SYS_SCHED_H */
