/* sys/dev.h - QNX 4's terminal devices: dev_arm, dev_read, dev_mode, dev_info, dev_state */
/* QNX 4 programs wait for everything in one Receive loop: input on a serial
 * line or a console arrives as a proxy armed with dev_arm. Here the devices
 * are the host's descriptors (terminals, pipes, sockets, anything poll can
 * watch), and a thread of the library's own triggers the proxies. dev_arm
 * and dev_read take proxies by the ids of the face the file uses (see
 * vorlen_api.h). */
#ifndef VORLEN_QNX_SYS_DEV_H
#define VORLEN_QNX_SYS_DEV_H

#include <sys/types.h>

#include "../vorlen_qnx4.h"

#ifdef __cplusplus
extern "C" {
#endif

/* The events dev_arm and dev_state know. Input: a read would not block (data,
 * end of file or an error). Output: a write would not block. Hangup: the
 * other end has gone. Exception ready: urgent data (poll's POLLPRI). */
#define _DEV_EVENT_INPUT 0x0001
#define _DEV_EVENT_EXRDY 0x0008
#define _DEV_EVENT_OUTPUT 0x0010
#define _DEV_EVENT_HANGUP 0x0080

/* The proxy that disarms the events given with it. */
#define _DEV_DISARM (-1)

/* The terminal modes of dev_mode: echo, line editing, signals from the
 * interrupt characters, output processing, output flow control by XON and
 * XOFF (termios's ECHO, ICANON, ISIG, OPOST and IXON). */
#define _DEV_ECHO 0x0001
#define _DEV_EDIT 0x0002
#define _DEV_ISIG 0x0004
#define _DEV_OPOST 0x0008
#define _DEV_OSFLOW 0x0010
#define _DEV_MODES (_DEV_ECHO | _DEV_EDIT | _DEV_ISIG | _DEV_OPOST | _DEV_OSFLOW)

#define MAX_TTY_NAME 32

/* What dev_info tells of a terminal. The host's numbers do not fit QNX 4's
 * 16-bit fields, so the numbers are ints; the field names are QNX 4's. */
struct _dev_info_entry {
    int tty;                     /* the device's minor number */
    nid_t nid;                   /* this node: getnid() */
    pid_t driver_pid;            /* always 0: the host's kernel drives it */
    short int nature;            /* always 0 */
    short int attributes;        /* always 0 */
    short int capabilities;      /* always 0 */
    char driver_type[16];        /* the host's driver: "pty_slave", "serial", ... */
    char tty_name[MAX_TTY_NAME]; /* the path, such as "/dev/pts/3" */
    int unit;                    /* the number the name ends in (3 of /dev/pts/3) */
    int open_count;              /* always 0: the host does not tell */
    pid_t pgrp;                  /* the foreground process group, or 0 */
    int major;                   /* the device's major number */
    long reserved[3];
};

/* dev_arm arms proxy to be triggered once when one of events happens on fd;
 * the program arms it again after it has read. Each event of a descriptor
 * has one proxy: arming an event again replaces its proxy. When an event
 * happens, its proxy is triggered once and every event of fd armed with the
 * same proxy is disarmed; a hangup or an error fires every event armed on
 * fd. With proxy _DEV_DISARM the events are disarmed.
 * A descriptor that is closed while armed loses its events; one whose
 * number is reused meanwhile is watched in its stead, so disarm before
 * close. Connects the process as any first call does. Returns 0, or -1 with
 * errno: EBADF (fd is not open), EINVAL (an event this library does not
 * know), ESRCH (proxy is no proxy id), EAGAIN (the library's thread could
 * not be started). Not for signal handlers. */
VORLEN_EXPORT int dev_arm(int fd, pid_t proxy, unsigned events) VORLEN_QNX4(dev_arm);

/* dev_read reads up to n bytes from fd into buf and returns when minimum of
 * them have come, when time tenths of a second have passed since the last
 * byte came (since the call, with minimum 0), or when timeout tenths of a
 * second have passed since the call (0: no limit); minimum, time and
 * timeout all 0 return what is there at once. With a proxy the call never
 * waits: it returns what is there and, unless that is at least one byte and
 * at least minimum bytes, arms proxy for input and sets *armed to 1 (else
 * 0; should arming fail, the bytes read are returned all the same). End of
 * file returns what came before it. Returns the number of bytes
 * read, or -1 with errno: that of read, of dev_arm, or EINTR (a signal came
 * before any byte). */
VORLEN_EXPORT int dev_read(int fd, void *buf, unsigned n, unsigned minimum, unsigned time,
                           unsigned timeout, pid_t proxy, int *armed) VORLEN_QNX4(dev_read);

/* dev_mode sets the modes of terminal fd that are in mask to those in mode
 * and returns the modes it had, or -1 with errno (EBADF, ENOTTY). A mask of
 * 0 only tells them. */
VORLEN_EXPORT int dev_mode(int fd, unsigned mask, unsigned mode);

/* dev_info fills info for terminal fd. Returns 0, or -1 with errno (EBADF,
 * ENOTTY). */
VORLEN_EXPORT int dev_info(int fd, struct _dev_info_entry *info);

/* dev_state returns the events that are ready on fd now, or -1 with errno
 * (EBADF). The host's events are levels that a program can neither set nor
 * clear: bits and mask are accepted and change nothing. */
VORLEN_EXPORT int dev_state(int fd, unsigned bits, unsigned mask);

#ifdef __cplusplus
}
#endif

#endif /* VORLEN_QNX_SYS_DEV_H */
