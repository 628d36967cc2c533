/* unistd.h - the host's <unistd.h>, with QNX 4's qnx_fullpath added */
/* The host's header comes first and stays whole; this file only adds the
 * declaration QNX 4 programs expect to find here. It deliberately does not
 * include vorlen.h, whose QNX timer_t must not reach every file that merely
 * includes <unistd.h>. As the wrapper of a system header it counts as one:
 * the GCC extension #include_next draws no warning. */
#if defined(__GNUC__)
#pragma GCC system_header
#endif
#include_next <unistd.h>
#include "../vorlen_export.h"

#ifndef VORLEN_QNX_UNISTD_H
#define VORLEN_QNX_UNISTD_H

#ifdef __cplusplus
extern "C" {
#endif

VORLEN_EXPORT char *qnx_fullpath(char *fullpath, const char *path);

#ifdef __cplusplus
}
#endif

#endif /* VORLEN_QNX_UNISTD_H */
