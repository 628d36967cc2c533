/* sys/qioctl.h - QNX 4's device control message: qnx_ioctl and its QCTL_DEV_CTL line controls */
/* QNX 4 drivers took qnx_ioctl messages; here the one QNX 4 programs send,
 * QCTL_DEV_CTL, which reads and changes a serial line's DTR and RTS, maps to
 * the host's modem ioctls. The numbers are our own. */
#ifndef VORLEN_QNX_SYS_QIOCTL_H
#define VORLEN_QNX_SYS_QIOCTL_H

#include "../vorlen_export.h"

#ifdef __cplusplus
extern "C" {
#endif

/* The commands of qnx_ioctl. */
#define QCTL_DEV_CTL 0x0001 /* change and read the control lines */

/* The lines of QCTL_DEV_CTL: the first unsigned of the message sets the
 * lines named by the _CHG bits to their bits; the answer (when rbuf has room
 * for an unsigned) holds the lines as they are then. */
#define _CTL_DTR 0x0001
#define _CTL_RTS 0x0002
#define _CTL_DTR_CHG 0x0100
#define _CTL_RTS_CHG 0x0200

/* qnx_ioctl sends command with the sbytes at sbuf to the driver of fd and
 * puts up to rbytes of its answer at rbuf. Returns 0, or -1 with errno:
 * ENOSYS (a command the host has no counterpart for), EINVAL (sbytes too
 * short for the command), or that of the host's TIOCMGET or TIOCMSET (ENOTTY
 * or EINVAL for a terminal without modem lines). */
VORLEN_EXPORT int qnx_ioctl(int fd, int command, void *sbuf, int sbytes, void *rbuf, int rbytes);

#ifdef __cplusplus
}
#endif

#endif /* VORLEN_QNX_SYS_QIOCTL_H */
