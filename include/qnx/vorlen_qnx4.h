/* vorlen_qnx4.h - what every QNX 4 header name brings: the calls with QNX 4's behaviour */
/* Not a QNX 4 header itself: the headers under sys/ include it. It selects
 * the library's QNX 4 face (see vorlen_api.h) and declares the calls, their
 * types and nothing of the wire protocol, so that a ported program's own
 * names (STATE_READY, MT_SEND, ...) stay its own. */
#ifndef VORLEN_QNX4_H
#define VORLEN_QNX4_H

#ifndef VORLEN_QNX4_FACE
#define VORLEN_QNX4_FACE 1
#endif
#include "../vorlen_api.h"
#include "vorlen_qnx4_timers.h"

#endif /* VORLEN_QNX4_H */
