/* stdlib.h - the host's <stdlib.h>, with what Watcom's added for QNX 4 programs: max, min, itoa */
/* The host's header comes first and stays whole. As the wrapper of a system
 * header it counts as one: the GCC extension #include_next draws no warning
 * under the including program's options. */
#if defined(__GNUC__)
#pragma GCC system_header
#endif
#include_next <stdlib.h>

#ifndef VORLEN_QNX_STDLIB_H
#define VORLEN_QNX_STDLIB_H
#include "../vorlen_export.h"

/* Watcom's max and min are macros, and only for C: a program may still name
 * a variable max, and one that defines its own macro before including this
 * header keeps it (defined after, it is a redefinition, as it was under
 * Watcom). C++ has std::max and std::min. */
#ifndef __cplusplus
#ifndef max
#define max(a, b) (((a) > (b)) ? (a) : (b))
#endif
#ifndef min
#define min(a, b) (((a) < (b)) ? (a) : (b))
#endif
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* itoa writes sval in base (2 to 36) to dest and returns dest (see vorlen_api.h). */
VORLEN_EXPORT char *itoa(int sval, char *dest, int base);

#ifdef __cplusplus
}
#endif

#endif /* VORLEN_QNX_STDLIB_H */
