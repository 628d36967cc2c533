/* termios.h - the host's <termios.h>, with QNX 4's PARSTK, IHFLOW, OHFLOW, tcsetct, tcdropline, ...
 */
/* The host's header comes first and stays whole. QNX 4's control-mode bits
 * are the host's where it has them: stick parity is CMSPAR; hardware flow
 * control is CRTSCTS, which Linux has for both directions at once, so IHFLOW
 * and OHFLOW are the same bit and either turns both on. The calls map to the
 * host's ioctls and fail with ENOSYS where it has nothing to offer. As the
 * wrapper of a system header it counts as one: the GCC extension
 * #include_next draws no warning. */
#if defined(__GNUC__)
#pragma GCC system_header
#endif
#include_next <termios.h>

#ifndef VORLEN_QNX_TERMIOS_H
#define VORLEN_QNX_TERMIOS_H

#include <sys/types.h>

#include "vorlen_export.h"

/* Linux's CMSPAR and CRTSCTS, which the host names only outside strict ISO
 * C modes. */
#define PARSTK 010000000000 /* stick parity: mark with PARODD, else space */
#define IHFLOW 020000000000 /* input flow control by the hardware lines (RTS) */
#define OHFLOW 020000000000 /* output flow control by the hardware lines (CTS) */

#ifdef __cplusplus
extern "C" {
#endif

/* tcsetct makes terminal fd the controlling terminal of process pid, which
 * must be the caller, a session leader without one (after setsid()); Linux
 * gives a terminal to no other process. Returns 0, or -1 with errno: ENOSYS
 * (pid is another process), or that of the host's TIOCSCTTY (EPERM, ENOTTY,
 * EBADF). */
VORLEN_EXPORT int tcsetct(int fd, pid_t pid);

/* tcdropline drops the serial line fd's DTR for duration milliseconds (0:
 * 300 ms), hanging up the modem, then raises it again. Returns 0, or -1 with
 * errno: that of the host's modem ioctls (ENOTTY or EINVAL for a terminal
 * that has no modem lines, such as a pseudo-terminal). */
VORLEN_EXPORT int tcdropline(int fd, int duration);

/* tcischars returns the number of bytes that wait to be read on terminal
 * fd, or -1 with errno of the host's FIONREAD (EBADF, ENOTTY). */
VORLEN_EXPORT int tcischars(int fd);

/* tcinject puts the n bytes at buf into terminal fd's input as if typed.
 * Returns 0, or -1 with errno: EINVAL (n below 0 or a null buf), or that of
 * the host's TIOCSTI (EPERM or EIO where the kernel no longer allows it). */
VORLEN_EXPORT int tcinject(int fd, char *buf, int n);

/* tcgetsize stores terminal fd's size in *rows and *cols (either may be
 * null); tcsetsize sets it. Return 0, or -1 with errno of the host's
 * TIOCGWINSZ or TIOCSWINSZ. */
VORLEN_EXPORT int tcgetsize(int fd, int *rows, int *cols);
VORLEN_EXPORT int tcsetsize(int fd, int rows, int cols);

#ifdef __cplusplus
}
#endif

#endif /* VORLEN_QNX_TERMIOS_H */
