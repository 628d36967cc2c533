/* sys/kernel.h - QNX 4's message-passing calls: Send, Receive, Creceive, Reply, Trigger, Readmsg */
/* Declared by vorlen_api.h: Send, Sendmx, Receive, Receivemx, Creceive,
 * Creceivemx, Reply, Replymx, Readmsg, Readmsgmx, Writemsg, Writemsgmx, Relay
 * and Trigger. Like QNX 4's header this one brings <sys/sendmx.h> with it. */
#ifndef VORLEN_QNX_SYS_KERNEL_H
#define VORLEN_QNX_SYS_KERNEL_H

#include <sys/types.h>

#include "sendmx.h" /* <sys/sendmx.h> beside this file */
#include "../vorlen_qnx4.h"

/* The process manager's pid, as in <sys/psinfo.h>: QNX 4 code reaches it
 * with qnx_vc_attach(node, PROC_PID, ...) having included this header. */
#ifndef PROC_PID
#define PROC_PID 1
#endif

#endif /* VORLEN_QNX_SYS_KERNEL_H */
