/* sys/psinfo.h - QNX 4's process information: qnx_psinfo, struct _psinfo, qnx_pflags, getnid */
/* STATE_* here are QNX 4's numbers, which differ from those of the wire
 * protocol in vorlen.h: a file includes one of the two. */
#ifndef VORLEN_QNX_SYS_PSINFO_H
#define VORLEN_QNX_SYS_PSINFO_H

#include <stdint.h>
#include <sys/types.h>

#include "seginfo.h" /* <sys/seginfo.h> beside this file */
#include "../../vorlen_export.h"

#include "../../vorlen_nid.h"

#ifdef __cplusplus
extern "C" {
#endif

/* The process manager's pid, to which qnx_psinfo and the other process
 * queries are addressed (directly, or through qnx_vc_attach). */
#ifndef PROC_PID
#define PROC_PID 1
#endif

/* Process flags of QNX 4. qnx_pflags keeps them for the process to read
 * back; of them only _PPF_SIGCATCH changes how the daemon treats the
 * process: a caught signal then never breaks off a Send that waits for this
 * process's reply. */
#define _PPF_PRIORITY_REC 0x0001L    /* receive in priority order */
#define _PPF_TERMINATE_GROUP 0x0002L /* end the process group with the leader */
#define _PPF_SERVER 0x0004L          /* the process is a server */
#define _PPF_INFORM 0x0008L          /* be told when a process dies */
#define _PPF_SIGCATCH 0x0010L        /* turn signals into messages */
#define _PPF_PRIORITY_FLOAT 0x0020L  /* run at the priority of the sender */
#define _PPF_IMMORTAL 0x0040L        /* ignore signals that would end it */
/* Set by the process manager, never by qnx_pflags: the entry is a virtual
 * circuit to another node's process (_PPF_VID: un.vproc holds the far node,
 * pid and VID), or a proxy (_PPF_MID, which qnx_psinfo never sets). */
#define _PPF_MID 0x00010000L
#define _PPF_VID 0x00020000L

/* What a process is doing, in QNX 4's numbering. */
#define STATE_DEAD 0            /* ended, not yet waited for */
#define STATE_READY 1           /* running or able to run */
#define STATE_SEND_BLOCKED 2    /* its message waits to be received */
#define STATE_RECEIVE_BLOCKED 3 /* waits for a message */
#define STATE_REPLY_BLOCKED 4   /* its message was received; waits for the reply */
#define STATE_HELD 5            /* stopped */
#define STATE_SIGNAL_BLOCKED 6  /* waits for a signal */
#define STATE_WAIT_BLOCKED 7    /* waits for a child to end */
#define STATE_SEM_BLOCKED 8     /* waits on a semaphore */

/* One process as qnx_psinfo describes it. The ids have the host's types, so
 * that they compare with getpid(), getuid() and the like; the signal sets
 * hold signal n in bit n - 1. */
struct _psinfo {
    pid_t pid;
    pid_t blocked_on; /* whom a SEND-, RECEIVE- or REPLY-blocked process waits on; else 0 */
    pid_t pid_group;  /* process group */
    long flags;       /* _PPF_* */
    gid_t rgid;
    uid_t ruid;
    gid_t egid;
    uid_t euid;
    mode_t umask;
    long signal_ignore;
    long signal_mask; /* blocked */
    long signal_pending;
    char priority; /* QNX priority: 10 - the nice value, at least 1 */
    char state;    /* STATE_* */
    union {
        struct {
            pid_t father;      /* parent */
            pid_t son;         /* youngest child; 0 when none */
            pid_t brother;     /* next older child of the same parent; 0 when none */
            char name[100];    /* the command as started (argv[0]), cut to fit */
            time_t start_time; /* when the process was started, in seconds since the epoch */
        } proc;
        struct {
            pid_t local_pid;
            pid_t remote_pid;
            pid_t remote_vid;
            nid_t remote_nid;
        } vproc;
    } un;
    pid_t sid; /* session */
    nid_t nid; /* node: getnid() */
};

/* qnx_psinfo describes in *info the process with the lowest id at or above
 * pid (from 1 when pid is 0 or less) and returns that id, so that counting up
 * from the returned id plus one walks all processes. proc_pid names the
 * process manager: PROC_PID or 0 for this node's, or what qnx_vc_attach gave
 * for another node's (or for any process there), whose processes are then
 * described by that node's daemon (nid is that node; the signal sets, umask,
 * son and brother are 0). A pid that is a VID of this node is described as
 * the circuit it is: _PPF_VID in flags and un.vproc with the far node, its
 * process and the far end's VID (local_pid 0). A process that the daemon
 * knows shows its message-passing state; the caller is connected to the
 * daemon as by any first call. When segdata is not null, its first record is
 * zero-filled: the host shows no segments; segindex is not looked at.
 * Returns -1 with errno ESRCH past the last process, for a VID whose circuit
 * has ended or any other proc_pid, EINVAL for a null info, EHOSTUNREACH when
 * the other node cannot be reached. */
VORLEN_EXPORT pid_t qnx_psinfo(pid_t proc_pid, pid_t pid, struct _psinfo *info, unsigned segindex,
                               struct _seginfo *segdata);

/* qnx_pflags sets the flags selected by mask to those in bits, after storing
 * the previous flags in *old_bits and before storing the new ones in
 * *new_bits (either pointer may be null), and tells the daemon, connecting the
 * process as any first call does. Returns 0, or -1 with errno when the daemon
 * could not be told. */
VORLEN_EXPORT int qnx_pflags(long bits, long mask, long *old_bits, long *new_bits);

/* getnid returns the logical id of the caller's node, its daemon's line in
 * the net map (asked once and kept): QNX 4 numbers nodes from 1 (0 in a call
 * means this node); without a net map this is node 1. */
VORLEN_EXPORT nid_t getnid(void);

#ifdef __cplusplus
}
#endif

#endif /* VORLEN_QNX_SYS_PSINFO_H */
