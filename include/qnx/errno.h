/* errno.h - the host's <errno.h>, with QNX 4's EOK, ENOREMOTE and its other additions */
/* The host's header comes first and stays whole. Where Linux has the same
 * error under another name, QNX 4's name is an alias of it, so strerror()
 * and the calls of the host report it; the others have numbers of our own
 * above the host's, which no call of the host or of this library gives. As
 * the wrapper of a system header it counts as one: the GCC extension
 * #include_next draws no warning. */
#if defined(__GNUC__)
#pragma GCC system_header
#endif
#include_next <errno.h>

#ifndef VORLEN_QNX_ERRNO_H
#define VORLEN_QNX_ERRNO_H

#define EOK 0             /* no error */
#define ENOREMOTE EREMOTE /* must be done on this node */
#define EBADFSYS EUCLEAN  /* a corrupt file system */
#define EDSTFAULT EFAULT  /* the other side of a message pass would fault */
#define ENOLIC 2048       /* no licence for the node (ours: Linux has none) */
#define ENOVPE 2049       /* no process entry for a virtual circuit (ours) */

#endif /* VORLEN_QNX_ERRNO_H */
