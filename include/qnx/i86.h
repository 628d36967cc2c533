/* i86.h - the Watcom C header of QNX 4 programs, for delay */
#ifndef VORLEN_QNX_I86_H
#define VORLEN_QNX_I86_H
#include "../vorlen_export.h"

#ifdef __cplusplus
extern "C" {
#endif

/* delay waits msec milliseconds; a signal that arrives ends the wait early. */
VORLEN_EXPORT void delay(unsigned msec);

#ifdef __cplusplus
}
#endif

#endif /* VORLEN_QNX_I86_H */
