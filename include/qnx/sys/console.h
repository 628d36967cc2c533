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

/* The handle of an open console, which console_open fills in. QNX 4's held
 * its driver's connection; this one holds the host's descriptor. */
struct _console_ctrl {
    int fd;        /* a descriptor of the console's own */
    int unit;      /* the number its name ends in: 3 of /dev/pts/3, 2 of /dev/tty2 */
    unsigned ctrl; /* the control word console_ctrl keeps */
};

/* What console_info tells of a console. */
struct _console_info {
    unsigned short console; /* its number: the handle's unit */
    unsigned char type;     /* _CON_TYPE_* */
    unsigned char protocol; /* _CON_PROT_*: the host's consoles speak ANSI */
    unsigned short flags;   /* always 0 */
    short int max_fonts;    /* always 0: no fonts to load */
    short int font;         /* always 0 */
    short int rows;         /* its size now */
    short int cols;
};

/* The kinds of console (numbers of our own): one of the host's virtual
 * consoles, or any other terminal (a pseudo-terminal, a serial line). QNX
 * Windows consoles are never seen. */
#define _CON_TYPE_STANDARD 1
#define _CON_TYPE_QWIN 2
#define _CON_TYPE_TERMINAL 3

/* The emulations of console_protocol (numbers of our own). */
#define _CON_PROT_QNX4 1
#define _CON_PROT_ANSI 2

/* QNX 4's console events (numbers of our own, beside the _DEV_EVENT_* that
 * console_arm takes). The host reports none of them: console_state gives 0
 * for them and console_arm refuses them with EINVAL. */
#define _CON_EVENT_OUTPUT 0x0100
#define _CON_EVENT_SIZE 0x0200
#define _CON_EVENT_INACTIVE 0x0400
#define _CON_EVENT_ACTIVE 0x0800

/* The bits of console_ctrl's control word (numbers of our own). */
#define CONSOLE_NOBOOT 0x0001
#define CONSOLE_NOSWITCH 0x0002
#define CONSOLE_NODEBUG 0x0004
#define CONSOLE_NORESIZE 0x0008
#define CONSOLE_NOCOLOR 0x0010
#define CONSOLE_MONOCURS 0x0020
#define CONSOLE_SCANMODE 0x0040
#define CONSOLE_EXTMODE 0x0080

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

/* In the calls below, console is 0 or -1 (the console opened) or its own
 * number; another fails with ENOSYS, as above. */

/* console_info fills info for the console. Returns 0, or -1 with errno:
 * EINVAL (no handle or no info), ENOSYS (another console), or that of the
 * host's TIOCGWINSZ. */
VORLEN_EXPORT int console_info(struct _console_ctrl *cc, int console, struct _console_info *info);

/* console_read reads up to n bytes of the console's screen from byte_offset
 * on: pairs of a character and its attribute, row after row, as the host's
 * /dev/vcsa gives them. *row and *column (either may be null) receive the
 * cursor's position, counted from 0, and *type (may be null) 0. Only the
 * host's virtual consoles have a screen to read. Returns the number of bytes
 * read, or -1 with errno: EINVAL (no handle), ENOSYS (another console, or a
 * terminal that is no virtual console), or that of opening or reading
 * /dev/vcsa (EACCES without the right to). */
VORLEN_EXPORT int console_read(struct _console_ctrl *cc, int console, unsigned byte_offset,
                               char *buf, int n, int *row, int *column, int *type);

/* console_write writes the n bytes at buf into the console's screen at
 * byte_offset, and moves the cursor to *row and *column when both are not
 * null; type is not looked at (the host's cursor has one shape). Returns 0,
 * or -1 with errno as console_read fails. */
VORLEN_EXPORT int console_write(struct _console_ctrl *cc, int console, unsigned byte_offset,
                                unsigned char *buf, int n, int *row, int *column, int *type);

/* console_state returns the console's pending _CON_EVENT_* events, which the
 * host never reports: 0; bits and mask change nothing. Returns -1 (as an
 * unsigned) with errno EINVAL (no handle) or ENOSYS (another console). */
VORLEN_EXPORT unsigned console_state(struct _console_ctrl *cc, int console, unsigned bits,
                                     unsigned mask);

/* console_ctrl sets the bits of mask in the handle's control word to those
 * of bits and returns the word as it was. The host's consoles have no such
 * switches: the word is kept for the program and changes nothing. Fails as
 * console_state does. */
VORLEN_EXPORT unsigned console_ctrl(struct _console_ctrl *cc, int console, unsigned bits,
                                    unsigned mask);

/* console_protocol returns the console's emulation, _CON_PROT_ANSI, which
 * protocol (-1: leave it) cannot change. Returns -1 with errno: EINVAL (no
 * handle, or a protocol the host cannot speak, _CON_PROT_QNX4 among them),
 * ENOSYS (another console). */
VORLEN_EXPORT int console_protocol(struct _console_ctrl *cc, int console, int protocol);

#ifdef __cplusplus
}
#endif

#endif /* VORLEN_QNX_SYS_CONSOLE_H */
