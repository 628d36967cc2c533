/* squery.cpp - vorlenlib's system listings: _qnx_squery, _qnx_squery_next */
#include "internal.h"

#include <cstring>
#include <vector>

/* Length of one record of the listing being read; -1 when none can be read
 * (no listing asked for, a failure, or the closing record delivered). */
static int dquery_ava = -1;
/* Another node's listing comes whole: its records, and the next one to give. */
static std::vector<unsigned char> remote;
static size_t remote_at = 0;
/* The most bytes of another node's listing taken: far more than any table's. */
constexpr uint32_t MAX_REMOTE_LISTING = 64u << 20;

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
    const size_t n = static_cast<size_t>(dquery_ava);
    if (!remote.empty()) {
        memcpy(dest, remote.data() + remote_at, n);
        remote_at += n;
        if (remote_at >= remote.size()) std::vector<unsigned char>().swap(remote);
    } else if (_qnx_read_exact(dest, n) != 0) {
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
    std::vector<unsigned char>().swap(remote);
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

/* _qnx_squery_node asks node nid's daemon for listing typ through the
 * caller's circuit to that node's process manager (made once, shared) and
 * puts its first record into dest, as _qnx_squery does; _qnx_squery_next
 * gives the others. For this node it is _qnx_squery. Returns 0, or -1 with
 * errno: EINVAL (no such listing), EHOSTUNREACH (nid not in the net map, or
 * down), EAGAIN (the listing does not fit the link now), EPROTO (not whole
 * records ending with the closing one), or that of a failed read or write. */
int _qnx_squery_node(nid_t nid, int typ, void *dest) {
    if (_qnx_this_node(nid)) return _qnx_squery(typ, dest);
    dquery_ava = -1;
    std::vector<unsigned char>().swap(remote);
    const size_t size = record_size(typ);
    if (size == 0) {
        errno = EINVAL;
        return -1;
    }
    pid_t vid = _qnx_vc_attach(nid, 1 /* the process manager */, nullptr, 0, true);
    if (vid == -1) return -1;
    QNX_REQ<QNX_MSG_PM_QUERY> rq{};
    rq.hdr.ev.typ = MT_PM_QUERY;
    rq.hdr.msg_len = sizeof rq.body;
    rq.body.vid = vid;
    rq.body.what = VORLEN_PM_SIN;
    rq.body.pid = typ;
    iovec req{&rq, sizeof rq};
    if (_qnx_result(_qnx_request(QNX_OPENING | QNX_STREAM, {&req, 1}, {})) != 0) return -1;
    const uint32_t n = rq.hdr.msg_len;
    std::vector<unsigned char> recs;
    if (n > MAX_REMOTE_LISTING) {
        errno = EPROTO;
        return -1;
    }
    recs.resize(n);
    if (n > 0 && _qnx_read_exact(recs.data(), n) != 0) return -1;
    int32_t last = 0;
    if (n >= size && n % size == 0) memcpy(&last, recs.data() + n - size, sizeof last);
    if (last != -1) {
        errno = EPROTO;
        return -1;
    }
    remote.swap(recs);
    remote_at = 0;
    dquery_ava = static_cast<int>(size);
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
