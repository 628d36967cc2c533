/* process.h - the Watcom C header of QNX 4 programs for starting programs: spawn*, qnx_spawn */
/* Like QNX 4's, it brings the exec calls and getpid with <unistd.h>. The
 * argument vectors have the exec calls' type, char *const [], so that a
 * program hands over its own argv or an array of char * as it stands. */
#ifndef VORLEN_QNX_PROCESS_H
#define VORLEN_QNX_PROCESS_H

#include <stdint.h>
#include <sys/types.h>
#include <unistd.h>
#include "../vorlen_export.h"

#include "sys/qnx_glob.h" /* qnx_spawn_options */

#ifdef __cplusplus
extern "C" {
#endif

/* How the spawn calls start a program. */
#define P_WAIT 0    /* wait for it to end; the call returns its exit status */
#define P_NOWAIT 1  /* return its pid at once; the caller waits for it with waitpid */
#define P_OVERLAY 2 /* replace the caller, as exec does */
#define P_NOWAITO 3 /* return its pid at once; nobody waits for it, it leaves no zombie */

/* The spawn calls start program path (the l and v forms) or the program
 * file looked up in PATH (the p forms, as execvp does) with the arguments
 * arg0 ... up to a null pointer (the l forms) or argv (the v forms), and the
 * environment envp (the e forms; in spawnle and spawnlpe the pointer after
 * the null) or the caller's. They return: for P_WAIT the program's exit
 * status, or 128 + the signal's number when a signal ended it, as shells
 * show it; for P_NOWAIT and P_NOWAITO its pid; for P_OVERLAY nothing, as the
 * caller is gone. A P_NOWAITO program is started by a short-lived helper
 * process that the call waits for, so that it is nobody's child (its
 * getppid() names the system's reaper) and never stays a zombie; the
 * caller's SIGCHLD handler sees the helper end. All fail with -1 and errno:
 * EINVAL for another mode, or that of the host's posix_spawn (ENOENT for a
 * program that is not there, ...), fork or waitpid (ECHILD when SIGCHLD is
 * ignored: the host reaped the child itself). */
VORLEN_EXPORT int spawnl(int mode, const char *path, const char *arg0, ...);
VORLEN_EXPORT int spawnle(int mode, const char *path, const char *arg0, ...);
VORLEN_EXPORT int spawnlp(int mode, const char *file, const char *arg0, ...);
VORLEN_EXPORT int spawnlpe(int mode, const char *file, const char *arg0, ...);
VORLEN_EXPORT int spawnv(int mode, const char *path, char *const argv[]);
VORLEN_EXPORT int spawnve(int mode, const char *path, char *const argv[], char *const envp[]);
VORLEN_EXPORT int spawnvp(int mode, const char *file, char *const argv[]);
VORLEN_EXPORT int spawnvpe(int mode, const char *file, char *const argv[], char *const envp[]);

/* Flags of qnx_spawn. Those marked "kept" are carried out; the others are
 * accepted and have no effect. */
#define _SPAWN_DEBUG 0x0001     /* start under a debugger */
#define _SPAWN_HOLD 0x0002      /* start stopped */
#define _SPAWN_BGROUND 0x0004   /* a background program */
#define _SPAWN_NEWPGRP 0x0008   /* kept: in a process group of its own */
#define _SPAWN_TCSETPGRP 0x0010 /* the terminal's foreground group */
#define _SPAWN_NOZOMBIE 0x0020  /* kept: never a zombie, as P_NOWAITO */
#define _SPAWN_XCACHE 0x0040    /* cache the program's code */
#define _SPAWN_SIGCLR 0x0080    /* kept: every signal default and unblocked */
#define _SPAWN_SETSID 0x0100    /* kept: in a session of its own */

/* The process manager's request record, which QNX 4 let a caller provide;
 * qnx_spawn makes its own and needs none. */
struct _proc_spawn;

/* qnx_spawn starts program path (no PATH lookup) with argv and envp (null:
 * the caller's environment) on node node (0 or getnid(): this one) and
 * returns its pid without waiting for it; the caller waits with waitpid
 * unless flags hold _SPAWN_NOZOMBIE. priority, unless -1, is the program's
 * QNX priority, given as setprio does (a refused change goes unreported).
 * Not looked at: mode, msgbuf, sched_algo (use sched_setscheduler in the
 * program), iov and ctfd (the program inherits the caller's descriptors as
 * they are, apart from those marked close-on-exec). Fails with -1 and errno:
 * ESRCH for another node, EINVAL for a null path or argv, or that of fork or
 * of the exec that failed in the child (ENOENT, EACCES, ...). */
VORLEN_EXPORT pid_t qnx_spawn(int mode, struct _proc_spawn *msgbuf, nid_t node, int priority,
                              int sched_algo, int flags, const char *path, char *const argv[],
                              char *const envp[], const char *iov, int ctfd);

#ifdef __cplusplus
}
#endif

#endif /* VORLEN_QNX_PROCESS_H */
