/* console.cpp - vorlenlib's console control over the host's terminals and virtual consoles */
#include "../core.h"

#include "qnx/sys/console.h"

#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <linux/vt.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

/* The handle: a descriptor of the console's own, so that the program may
 * close the one it opened with, and the number the console's name ends in. */
struct _console_ctrl {
    int fd;
    int unit;
};

/* this_console tells whether console names the one cc was opened on, and
 * sets errno when it does not. */
static bool this_console(const _console_ctrl *cc, int console) {
    if (!cc) {
        errno = EINVAL;
        return false;
    }
    if (console != -1 && console != cc->unit) {
        errno = ENOSYS;
        return false;
    }
    return true;
}

extern "C" {

/* console_open checks that fd is a terminal and keeps a duplicate of it.
 * Fails with EBADF, ENOTTY or ENOMEM (or EMFILE for the duplicate). */
struct _console_ctrl *console_open(int fd, unsigned mode) {
    (void)mode;
    if (!isatty(fd)) return nullptr; /* EBADF or ENOTTY */
    _dev_info_entry info;
    if (dev_info(fd, &info) != 0) return nullptr;
    auto *cc = static_cast<_console_ctrl *>(malloc(sizeof(_console_ctrl)));
    if (!cc) return nullptr;
    cc->fd = fcntl(fd, F_DUPFD_CLOEXEC, 0);
    cc->unit = info.unit;
    if (cc->fd < 0) {
        free(cc);
        return nullptr;
    }
    return cc;
}

/* console_close fails only with EINVAL, for a null handle. */
int console_close(struct _console_ctrl *cc) {
    if (!cc) {
        errno = EINVAL;
        return -1;
    }
    dev_arm(cc->fd, _DEV_DISARM,
            _DEV_EVENT_INPUT | _DEV_EVENT_OUTPUT | _DEV_EVENT_HANGUP | _DEV_EVENT_EXRDY);
    close(cc->fd);
    free(cc);
    return 0;
}

/* console_active uses the host's virtual console ioctls. Fails with EINVAL
 * (no handle), ENOSYS (no virtual console), or as VT_ACTIVATE fails. */
int console_active(struct _console_ctrl *cc, int console) {
    if (!cc) {
        errno = EINVAL;
        return -1;
    }
    vt_stat state;
    if (ioctl(cc->fd, VT_GETSTATE, &state) != 0) {
        errno = ENOSYS; /* a pseudo-terminal or a serial line has no consoles to switch */
        return -1;
    }
    if (console == -1 || console == state.v_active) return state.v_active;
    if (ioctl(cc->fd, VT_ACTIVATE, console) != 0) return -1;
    /* QNX 4's console is active when the call returns. */
    while (ioctl(cc->fd, VT_WAITACTIVE, console) != 0)
        if (errno != EINTR) return -1;
    return state.v_active;
}

/* console_arm, with the wire's proxy ids, is dev_arm on the handle's
 * descriptor. Fails with EINVAL, ENOSYS, or as dev_arm does. */
int console_arm(struct _console_ctrl *cc, int console, pid_t proxy, unsigned events) {
    if (!this_console(cc, console)) return -1;
    return dev_arm(cc->fd, proxy, events);
}

/* console_size fails with EINVAL, ENOSYS, or as the window size ioctls do. */
int console_size(struct _console_ctrl *cc, int console, int set_rows, int set_columns, int *rows,
                 int *columns) {
    if (!this_console(cc, console)) return -1;
    winsize size;
    if (ioctl(cc->fd, TIOCGWINSZ, &size) != 0) return -1;
    if (rows) *rows = size.ws_row;
    if (columns) *columns = size.ws_col;
    if (set_rows == 0 && set_columns == 0) return 0;
    if (set_rows != 0) size.ws_row = static_cast<unsigned short>(set_rows);
    if (set_columns != 0) size.ws_col = static_cast<unsigned short>(set_columns);
    return ioctl(cc->fd, TIOCSWINSZ, &size) == 0 ? 0 : -1;
}

} // extern "C"
