/* limits.h - the host's <limits.h>, with NAME_MAX and PATH_MAX as QNX 4 code expects them */
/* QNX 4's <limits.h> gave NAME_MAX and PATH_MAX in every mode; the host's
 * gives them only when POSIX is asked for. Where it has not, they are the
 * Linux values (<linux/limits.h>'s, the same tokens, so that a later
 * definition there is no redefinition). As the wrapper of a system header it
 * counts as one: the GCC extension #include_next draws no warning. */
#if defined(__GNUC__)
#pragma GCC system_header
#endif
#include_next <limits.h>

#ifndef VORLEN_QNX_LIMITS_H
#define VORLEN_QNX_LIMITS_H
#ifndef NAME_MAX
#define NAME_MAX 255 /* # chars in a file name */
#endif
#ifndef PATH_MAX
#define PATH_MAX 4096 /* # chars in a path name including nul */
#endif
#endif /* VORLEN_QNX_LIMITS_H */
