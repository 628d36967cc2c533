/* unix.h - QNX 4's header of the UNIX calls: <unistd.h>, <fcntl.h>, <strings.h> together */
/* QNX 4 programs include it for the UNIX library calls (read, open, bcopy,
 * strcasecmp, ...); the host declares them all in these headers. */
#ifndef VORLEN_QNX_UNIX_H
#define VORLEN_QNX_UNIX_H

#include <fcntl.h>
#include <strings.h>
#include <sys/types.h>
#include <unistd.h>

#endif /* VORLEN_QNX_UNIX_H */
