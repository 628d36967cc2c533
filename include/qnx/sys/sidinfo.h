/* sys/sidinfo.h - QNX 4's session information: qnx_sid_query, struct _sidinfo */
#ifndef VORLEN_QNX_SYS_SIDINFO_H
#define VORLEN_QNX_SYS_SIDINFO_H

#include <sys/types.h>
#include "../../vorlen_export.h"

#ifdef __cplusplus
extern "C" {
#endif

/* One session as qnx_sid_query describes it. On the host a session's id is
 * the pid of the process that made it, its leader. */
struct _sidinfo {
    pid_t sid;
    pid_t pid;            /* the leader; 0 when it has ended */
    unsigned short links; /* processes in the session */
    char name[32];        /* the login name of the leader's user (of a member's when the
                             leader has ended), or the user id in digits */
};

/* qnx_sid_query describes in *info the session with the lowest id at or
 * above sid (from 1 when sid is 0 or less: session 0 holds the kernel's own
 * threads) and returns that id. proc_pid names the process manager, as for
 * qnx_psinfo. Returns -1 with errno ESRCH past the last session or for any
 * other proc_pid, EINVAL for a null info. */
VORLEN_EXPORT pid_t qnx_sid_query(pid_t proc_pid, int sid, struct _sidinfo *info);

#ifdef __cplusplus
}
#endif

#endif /* VORLEN_QNX_SYS_SIDINFO_H */
