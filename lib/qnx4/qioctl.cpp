/* qioctl.cpp - vorlenlib's qnx_ioctl: QNX 4's device control message over the host's modem ioctls
 */
#include "qnx/sys/qioctl.h"

#include <cerrno>
#include <cstring>

#include <sys/ioctl.h>

extern "C" {

int qnx_ioctl(int fd, int command, void *sbuf, int sbytes, void *rbuf, int rbytes) {
    if (command != QCTL_DEV_CTL) {
        errno = ENOSYS;
        return -1;
    }
    unsigned ask;
    if (!sbuf || sbytes < static_cast<int>(sizeof ask)) {
        errno = EINVAL;
        return -1;
    }
    memcpy(&ask, sbuf, sizeof ask);
    int lines = 0;
    if (ioctl(fd, TIOCMGET, &lines) != 0) return -1;
    int want = lines;
    if (ask & _CTL_DTR_CHG) want = (ask & _CTL_DTR) ? want | TIOCM_DTR : want & ~TIOCM_DTR;
    if (ask & _CTL_RTS_CHG) want = (ask & _CTL_RTS) ? want | TIOCM_RTS : want & ~TIOCM_RTS;
    if (want != lines && ioctl(fd, TIOCMSET, &want) != 0) return -1;
    if (rbuf && rbytes >= static_cast<int>(sizeof ask)) {
        unsigned now = ((want & TIOCM_DTR) ? _CTL_DTR : 0u) | ((want & TIOCM_RTS) ? _CTL_RTS : 0u);
        memcpy(rbuf, &now, sizeof now);
    }
    return 0;
}

} // extern "C"
