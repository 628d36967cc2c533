/* console.cpp - vorlenlib's console control over the host's terminals and virtual consoles */
#include "../core.h"

#include "qnx/sys/console.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <linux/vt.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

/* The handle (see <sys/console.h>) holds a descriptor of the console's own,
 * so that the program may close the one it opened with. */

/* this_console tells whether console names the one cc was opened on (0 and
 * -1 do), and sets errno when it does not. */
static bool this_console(const _console_ctrl *cc, int console) {
    if (!cc) {
        errno = EINVAL;
        return false;
    }
    if (console != -1 && console != 0 && console != cc->unit) {
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
    cc->ctrl = 0;
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
    if (console == 0) console = cc->unit; /* the console opened */
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

int console_info(struct _console_ctrl *cc, int console, struct _console_info *info) {
    if (!this_console(cc, console)) return -1;
    winsize size;
    if (!info) {
        errno = EINVAL;
        return -1;
    }
    if (ioctl(cc->fd, TIOCGWINSZ, &size) != 0) return -1;
    vt_stat state;
    memset(info, 0, sizeof *info);
    info->console = static_cast<unsigned short>(cc->unit);
    info->type = ioctl(cc->fd, VT_GETSTATE, &state) == 0 ? _CON_TYPE_STANDARD : _CON_TYPE_TERMINAL;
    info->protocol = _CON_PROT_ANSI;
    info->rows = static_cast<short>(size.ws_row);
    info->cols = static_cast<short>(size.ws_col);
    return 0;
}

} // extern "C"

/* screen opens the host's /dev/vcsa of cc's virtual console, whose four
 * bytes of rows, columns and cursor column and row lead the screen's pairs
 * of character and attribute. Returns the descriptor, or -1 with errno:
 * ENOSYS (no virtual console), or that of open. */
static int screen(const _console_ctrl *cc, int flags) {
    vt_stat state;
    if (ioctl(cc->fd, VT_GETSTATE, &state) != 0) {
        errno = ENOSYS;
        return -1;
    }
    char path[32];
    snprintf(path, sizeof path, "/dev/vcsa%d", cc->unit);
    return open(path, flags | O_CLOEXEC);
}

constexpr off_t SCREEN_HEADER = 4;

extern "C" {

int console_read(struct _console_ctrl *cc, int console, unsigned byte_offset, char *buf, int n,
                 int *row, int *column, int *type) {
    if (!this_console(cc, console)) return -1;
    if (n < 0 || (!buf && n > 0)) {
        errno = EINVAL;
        return -1;
    }
    int fd = screen(cc, O_RDONLY);
    if (fd < 0) return -1;
    unsigned char head[SCREEN_HEADER];
    ssize_t got = pread(fd, head, sizeof head, 0);
    ssize_t r =
        got == SCREEN_HEADER ? pread(fd, buf, size_t(n), SCREEN_HEADER + off_t(byte_offset)) : -1;
    const int saved_errno = errno;
    close(fd);
    errno = saved_errno;
    if (r < 0) return -1;
    if (row) *row = head[3];
    if (column) *column = head[2];
    if (type) *type = 0;
    return static_cast<int>(r);
}

int console_write(struct _console_ctrl *cc, int console, unsigned byte_offset, unsigned char *buf,
                  int n, int *row, int *column, int *type) {
    (void)type;
    if (!this_console(cc, console)) return -1;
    if (n < 0 || (!buf && n > 0)) {
        errno = EINVAL;
        return -1;
    }
    int fd = screen(cc, O_WRONLY);
    if (fd < 0) return -1;
    bool ok = pwrite(fd, buf, size_t(n), SCREEN_HEADER + off_t(byte_offset)) == n;
    if (ok && row && column) {
        unsigned char cursor[2] = {static_cast<unsigned char>(*column),
                                   static_cast<unsigned char>(*row)};
        ok = pwrite(fd, cursor, sizeof cursor, 2) == 2;
    }
    const int saved_errno = errno;
    close(fd);
    errno = saved_errno;
    return ok ? 0 : -1;
}

unsigned console_state(struct _console_ctrl *cc, int console, unsigned bits, unsigned mask) {
    (void)bits, (void)mask;
    if (!this_console(cc, console)) return static_cast<unsigned>(-1);
    return 0;
}

unsigned console_ctrl(struct _console_ctrl *cc, int console, unsigned bits, unsigned mask) {
    if (!this_console(cc, console)) return static_cast<unsigned>(-1);
    unsigned old = cc->ctrl;
    cc->ctrl = (old & ~mask) | (bits & mask);
    return old;
}

int console_protocol(struct _console_ctrl *cc, int console, int protocol) {
    if (!this_console(cc, console)) return -1;
    if (protocol != -1 && protocol != _CON_PROT_ANSI) {
        errno = EINVAL;
        return -1;
    }
    return _CON_PROT_ANSI;
}

} // extern "C"
