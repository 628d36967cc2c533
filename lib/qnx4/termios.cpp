/* termios.cpp - vorlenlib's QNX 4 terminal calls of <termios.h> over the host's ioctls */
#include "qnx/termios.h"

#include <cerrno>
#include <ctime>

#include <sys/ioctl.h>
#include <unistd.h>

static_assert(PARSTK == CMSPAR && IHFLOW == CRTSCTS && OHFLOW == CRTSCTS,
              "QNX 4's control-mode bits are the host's");

extern "C" {

int tcsetct(int fd, pid_t pid) {
    if (pid != getpid()) {
        errno = ENOSYS;
        return -1;
    }
    return ioctl(fd, TIOCSCTTY, 0) == 0 ? 0 : -1;
}

int tcdropline(int fd, int duration) {
    int dtr = TIOCM_DTR;
    if (ioctl(fd, TIOCMBIC, &dtr) != 0) return -1;
    const long ms = duration > 0 ? duration : 300;
    timespec left{ms / 1000, (ms % 1000) * 1000000L};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
    return ioctl(fd, TIOCMBIS, &dtr) == 0 ? 0 : -1;
}

int tcischars(int fd) {
    int n = 0;
    return ioctl(fd, FIONREAD, &n) == 0 ? n : -1;
}

int tcinject(int fd, char *buf, int n) {
    if (n < 0 || (!buf && n > 0)) {
        errno = EINVAL;
        return -1;
    }
    for (int i = 0; i < n; i++)
        if (ioctl(fd, TIOCSTI, buf + i) != 0) return -1;
    return 0;
}

int tcgetsize(int fd, int *rows, int *cols) {
    winsize size;
    if (ioctl(fd, TIOCGWINSZ, &size) != 0) return -1;
    if (rows) *rows = size.ws_row;
    if (cols) *cols = size.ws_col;
    return 0;
}

int tcsetsize(int fd, int rows, int cols) {
    winsize size;
    if (ioctl(fd, TIOCGWINSZ, &size) != 0) return -1;
    size.ws_row = static_cast<unsigned short>(rows);
    size.ws_col = static_cast<unsigned short>(cols);
    return ioctl(fd, TIOCSWINSZ, &size) == 0 ? 0 : -1;
}

} // extern "C"
