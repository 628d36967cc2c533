/* sys/sched.h - QNX 4's scheduling header: the host's POSIX scheduling calls and setprio */
#ifndef VORLEN_QNX_SYS_SCHED_H
#define VORLEN_QNX_SYS_SCHED_H

#include <sched.h>
#include <sys/types.h>

#ifdef __cplusplus
extern "C" {
#endif

/* setprio gives process pid (0: the caller) the QNX priority value, as the
 * nice value 10 - value, and returns its previous nice value (0 when that
 * cannot be read). A refused change is not reported. */
int setprio(pid_t pid, int value);

#ifdef __cplusplus
}
#endif

#endif /* VORLEN_QNX_SYS_SCHED_H */
