/* sys/psinfo.h - QNX 4's process flags and node id: qnx_pflags, getnid */
#ifndef VORLEN_QNX_SYS_PSINFO_H
#define VORLEN_QNX_SYS_PSINFO_H

#include <stdint.h>
#include <sys/types.h>

#ifndef VORLEN_NID_T_DEFINED
#define VORLEN_NID_T_DEFINED
typedef int32_t nid_t; /* node id; always 0: one daemon serves one host */
#endif

#ifdef __cplusplus
extern "C" {
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

/* qnx_pflags sets the flags selected by mask to those in bits, after storing
 * the previous flags in *old_bits and before storing the new ones in
 * *new_bits (either pointer may be null), and tells the daemon, connecting the
 * process as any first call does. Returns 0, or -1 with errno when the daemon
 * could not be told. */
int qnx_pflags(long bits, long mask, long *old_bits, long *new_bits);

/* getnid returns the node id of the calling process: always 0. */
nid_t getnid(void);

#ifdef __cplusplus
}
#endif

#endif /* VORLEN_QNX_SYS_PSINFO_H */
