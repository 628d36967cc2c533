/* sys/types.h - the host's <sys/types.h>, with QNX 4's types nid_t, msg_t and mpid_t added */
/* QNX 4 programs find nid_t, msg_t and mpid_t here. The host's header comes
 * first and stays whole; this file only adds to it, so every other header
 * that includes <sys/types.h> sees the host's definitions unchanged. As the wrapper of a
 * system header it counts as one: the GCC extension #include_next draws no
 * warning under the including program's options. */
#if defined(__GNUC__)
#pragma GCC system_header
#endif
#include_next <sys/types.h>

#ifndef VORLEN_QNX_SYS_TYPES_H
#define VORLEN_QNX_SYS_TYPES_H

#include "../../vorlen_nid.h"

/* A message's type code, the 16 bits that QNX 4 messages begin with. */
typedef unsigned short msg_t;
/* A pid as messages carry it: as wide as a Linux pid (pid_max reaches
 * 4194304), so that a message that carries one keeps it whole. */
typedef int32_t mpid_t;

#endif /* VORLEN_QNX_SYS_TYPES_H */
