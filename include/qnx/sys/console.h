/* sys/console.h - QNX 4's console control: console_open, console_arm, console_size, ... */
/* A console here is the terminal a descriptor refers to: a pseudo-terminal,
 * a serial line or one of the host's virtual consoles. The calls act on the
 * console they were opened on; QNX 4's other consoles of the same driver are
 * not within reach. console_arm takes a proxy by the id of the face the file
 * uses (see vorlen_api.h). */
#ifndef VORLEN_QNX_SYS_CONSOLE_H
#define VORLEN_QNX_SYS_CONSOLE_H

#include <sys/types.h>

#include "dev.h" /* <sys/dev.h> beside this file: the events console_arm takes */
#include "../vorlen_qnx4.h"

#ifdef __cplusplus
extern "C" {
#endif

/* The handle of an open console; its contents are the library's. */
struct _console_ctrl;

/* console_open opens the console that terminal fd refers to; mode is
 * accepted and not looked at (the handle reads and writes as fd does). The
 * handle holds a descriptor of its own. Returns the handle, or NULL with
 * errno: EBADF, ENOTTY (fd is no terminal), ENOMEM. */
VORLEN_EXPORT struct _console_ctrl *console_open(int fd, unsigned mode);

/* console_close disarms what console_arm armed and closes the handle.
 * Returns 0, or -1 with errno EINVAL (no handle). */
VORLEN_EXPORT int console_close(struct _console_ctrl *cc);

/* console_active makes console (a number as QNX 4's /dev/con1 has, here
 * that of the host's virtual console /dev/tty1) the active one, unless it is
 * -1, and returns the number of the console that was active. Only the
 * host's virtual consoles can be switched, and only by a process allowed
 * to: otherwise -1 with errno ENOSYS (the terminal is no virtual console) or
 * that of the host's ioctl (EPERM, ENXIO, ...). */
VORLEN_EXPORT int console_active(struct _console_ctrl *cc, int console);

/* console_arm arms proxy for the events of <sys/dev.h> (_DEV_EVENT_INPUT,
 * ...) on the console, as dev_arm does: triggered once, armed again after
 * the program has read. console is -1 (the console opened). Returns 0, or
 * -1 with errno: as dev_arm fails, EINVAL (no handle), ENOSYS (another
 * console). */
VORLEN_EXPORT int console_arm(struct _console_ctrl *cc, int console, pid_t proxy, unsigned events)
    VORLEN_QNX4(console_arm);

/* console_size stores the console's size as it was in *rows and *columns
 * (either may be null) and then sets the rows and columns that are not 0.
 * console is -1 (the console opened). Returns 0, or -1 with errno: that of
 * the host's TIOCGWINSZ or TIOCSWINSZ, EINVAL (no handle), ENOSYS (another
 * console). */
VORLEN_EXPORT int console_size(struct _console_ctrl *cc, int console, int set_rows, int set_columns,
                               int *rows, int *columns);

#ifdef __cplusplus
}
#endif

#endif /* VORLEN_QNX_SYS_CONSOLE_H */
