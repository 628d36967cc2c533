/* sendmx.h - multipart message descriptors for Sendmx, Receivemx and Replymx */
#ifndef VORLEN_SENDMX_H
#define VORLEN_SENDMX_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* One part of a multipart message in the caller's memory. The record never
 * crosses the wire, so on a host whose addresses are wider than 32 bits
 * mxfer_off is widened to hold a whole address; the field names stay those
 * QNX 4 programs use. Only mxfer_off and mxfer_len are read. */
#if UINTPTR_MAX > 0xFFFFFFFFu
typedef uint64_t _mxfer_off_t;
#else
typedef uint32_t _mxfer_off_t;
#endif

typedef struct _mxfer_entry32 {
    _mxfer_off_t mxfer_off; /* address of the part */
    uint16_t mxfer_seg;     /* upper 16 bits of the address; never read */
    uint16_t mxfer_zero;    /* 0; never read */
    uint32_t mxfer_len;     /* length of the part in bytes */
} _MXFER_ENTRY;

/* _setmx fills one entry with the address and length of a part. */
#define _setmx(_iov, _addr, _len)                                                                  \
    ((_iov)->mxfer_off = (_mxfer_off_t)(uintptr_t)(_addr),                                         \
     (_iov)->mxfer_seg = (uint16_t)((uintptr_t)(_addr) >> 16), (_iov)->mxfer_zero = 0,             \
     (_iov)->mxfer_len = (uint32_t)(_len))

/* _mxfer_ptr gives the address an entry describes. */
#define _mxfer_ptr(_iov) ((void *)(uintptr_t)(_iov)->mxfer_off)

#ifdef __cplusplus
}
#endif

#endif /* VORLEN_SENDMX_H */
