/* sys/sendmx.h - QNX 4's multipart message descriptor struct _mxfer_entry and _setmx */
#ifndef VORLEN_QNX_SYS_SENDMX_H
#define VORLEN_QNX_SYS_SENDMX_H

#include "../../sendmx.h"

/* QNX 4 programs call the descriptor struct _mxfer_entry; it is the record the
 * library's multipart calls take (_MXFER_ENTRY), whose own tag keeps the
 * name that says its offset is wider than QNX 4's. */
#define _mxfer_entry _mxfer_entry32

#endif /* VORLEN_QNX_SYS_SENDMX_H */
