/* vorlen.h - QNX 4 message passing for Linux: wire records and the client library interface */
#ifndef VORLEN_H
#define VORLEN_H

/* Everything: the calls (vorlen_api.h) with this system's own behaviour, the
 * wire records (vorlen_wire.h), the listings and the QNX 4 C library's max
 * and min. Ported programs include the QNX 4 header names instead, which
 * bring the calls and QNX 4's own names only. */
#include "vorlen_api.h"
#include "vorlen_wire.h"

#ifdef __cplusplus
extern "C" {
#endif

/* System listings: _qnx_squery delivers the first record of listing typ,
 * _qnx_squery_next each following one, until a record whose pid is -1. */
VORLEN_EXPORT int _qnx_squery(int typ, void *dest);
VORLEN_EXPORT int _qnx_squery_next(void *dest);
/* _qnx_squery_node is _qnx_squery of node nid's daemon (0 or this node's id:
 * this one), through a circuit to its process manager; its records are that
 * node's view. */
VORLEN_EXPORT int _qnx_squery_node(nid_t nid, int typ, void *dest);

#ifndef __cplusplus
/* The parentheses keep a max/min macro of the including program from
 * expanding here. C++ code has std::max and std::min and gets no global ones.
 * The QNX 4 header names declare neither: there <stdlib.h> gives Watcom's
 * macros, and a program may have globals named max and min, which take the
 * names from the library's (weak) functions. */
VORLEN_EXPORT int(max)(int a, int b);
VORLEN_EXPORT int(min)(int a, int b);
#endif

#ifdef __cplusplus
}
#endif

#endif /* VORLEN_H */
