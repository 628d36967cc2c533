/* sys/qnx_glob.h - QNX 4's global defaults of the spawn calls: qnx_spawn_options */
#ifndef VORLEN_QNX_SYS_QNX_GLOB_H
#define VORLEN_QNX_SYS_QNX_GLOB_H

#include <stdint.h>
#include <sys/types.h>

#include "../vorlen_export.h"

#include "../../vorlen_nid.h"

#ifdef __cplusplus
extern "C" {
#endif

struct _proc_spawn;

/* The values the spawn calls hand to qnx_spawn, with QNX 4's fields.
 * Starting out they say: the library's own message buffer (NULL), this node
 * (0), the caller's priority and scheduling (-1), no flags, every descriptor
 * inherited (0xff) and no controlling terminal (0xff). The spawn calls of
 * <process.h> (not P_OVERLAY) carry out node (another than 0 or getnid()
 * fails with ESRCH), priority (unless -1: set as setprio sets it, once the
 * program has started) and the flags _SPAWN_SETSID, _SPAWN_NEWPGRP and
 * _SPAWN_SIGCLR; the other fields are kept for the program and not looked
 * at. */
struct _qnx_spawn_globs {
    struct _proc_spawn *msgbuf;
    nid_t node;
    char priority;
    char sched_algo;
    short int flags;
    char iov[10];
    char ctfd;
    char reserved1;
    short int reserved2[5];
};

VORLEN_EXPORT extern struct _qnx_spawn_globs qnx_spawn_options;

#ifdef __cplusplus
}
#endif

#endif /* VORLEN_QNX_SYS_QNX_GLOB_H */
