/* sys/types.h - the host's <sys/types.h>, with QNX 4's node id type nid_t added */
/* QNX 4 programs find nid_t here. The host's header comes first and stays
 * whole; this file only adds to it, so every other header that includes
 * <sys/types.h> sees the host's definitions unchanged. As the wrapper of a
 * system header it counts as one: the GCC extension #include_next draws no
 * warning under the including program's options. */
#if defined(__GNUC__)
#pragma GCC system_header
#endif
#include_next <sys/types.h>

#ifndef VORLEN_QNX_SYS_TYPES_H
#define VORLEN_QNX_SYS_TYPES_H

/* The same definition as in vorlen.h; whichever header comes first makes it. */
#ifndef VORLEN_NID_T_DEFINED
#define VORLEN_NID_T_DEFINED
typedef int32_t nid_t; /* node id; always 0: one daemon serves one host */
#endif

#endif /* VORLEN_QNX_SYS_TYPES_H */
