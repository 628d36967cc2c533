/* squery.cpp - vorlenlib's system listings: _qnx_squery, _qnx_squery_next */
#include "internal.h"

#include <cstring>

/* Length of one record of the listing being read; -1 when none can be read
 * (no listing asked for, a failure, or the closing record delivered). */
static int dquery_ava = -1;

/* record_size gives the length of one record of listing typ, 0 for no kind. */
static size_t record_size(int typ) {
    switch (typ) {
    case SIN_PROCESSES:
        return sizeof(QNX_MSG_SIN_RPID);
    case SIN_PROXIES:
        return sizeof(QNX_MSG_SIN_RPROXYS);
    case SIN_TIMERS:
        return sizeof(QNX_MSG_SIN_RTIMERS);
    case SIN_NAMES:
        return sizeof(QNX_MSG_SIN_RNAMES);
    case SIN_STATUS: /* the listener and user records are as long */
        return sizeof(QNX_MSG_SIN_RSTATUS);
    case SIN_NODES:
        return sizeof(QNX_MSG_SIN_RNODE);
    default:
        return 0;
    }
}

/* next_record reads one whole record of the listing into dest and ends the
 * listing after its closing record (pid -1). Returns 0, or -1 with errno. */
static int next_record(void *dest) {
    if (_qnx_read_exact(dest, static_cast<size_t>(dquery_ava)) != 0) {
        dquery_ava = -1;
        return -1;
    }
    int32_t pid; /* every kind of record begins with it */
    memcpy(&pid, dest, sizeof pid);
    /* Nothing follows the closing record: a further read would wait forever. */
    if (pid == -1) dquery_ava = -1;
    return 0;
}

extern "C" {

/* _qnx_squery asks the daemon for listing typ (SIN_PROCESSES ... SIN_NODES)
 * and puts its first record into dest, which must hold one record of that
 * kind; the caller then reads on with _qnx_squery_next to the record whose
 * pid is -1 before making any other call. Returns 0, or -1 with errno: EINVAL
 * (no such listing), EPROTO (records of an unexpected length; the listing is
 * abandoned), or that of a failed read or write. */
int _qnx_squery(int typ, void *dest) {
    QNX_REQ<QNX_MSG_SIN> rq{};
    rq.hdr.ev.typ = MT_SIN;
    rq.hdr.msg_len = sizeof rq.body;
    rq.body.typ = typ;
    iovec req{&rq, sizeof rq};
    dquery_ava = 0;
    if (_qnx_result(_qnx_request(QNX_OPENING | QNX_STREAM, {&req, 1}, {})) != 0) {
        dquery_ava = -1;
        return -1;
    }
    /* dest holds one record of the kind asked for, and no more. */
    if (rq.hdr.msg_len != record_size(typ)) {
        errno = EPROTO;
        dquery_ava = -1;
        return -1;
    }
    dquery_ava = static_cast<int>(rq.hdr.msg_len);
    return next_record(dest);
}

/* _qnx_squery_next puts the next record of the listing into dest. Returns 0,
 * or -1 when no listing is being read (none asked for, refused, failed, or
 * its closing record already delivered) or a read fails. */
int _qnx_squery_next(void *dest) {
    if (dquery_ava == -1) return -1;
    return next_record(dest);
}

} // extern "C"
