/* msg.cpp - vorlenlib's message passing: Send, Receive, Creceive, Reply and their multipart forms
 */
#include "internal.h"

#include <array>
#include <algorithm>
#include <memory_resource>
#include <vector>

#include <sys/resource.h>

namespace {

using Iovecs = std::pmr::vector<iovec>;

/* Room for the iovec lists of one call: lists of ordinary length are built on
 * the stack, longer ones spill to the heap. */
struct MxSpace {
    std::array<std::byte, 2048> bytes;
    std::pmr::monotonic_buffer_resource pool{bytes.data(), bytes.size()};
};

/* mx_parts describes the caller's parts mx[0..n) as an iovec list. */
Iovecs mx_parts(const _MXFER_ENTRY *mx, unsigned n, MxSpace &space) {
    Iovecs v(&space.pool);
    v.reserve(n);
    for (unsigned i = 0; i < n; i++) v.push_back({_mxfer_ptr(&mx[i]), mx[i].mxfer_len});
    return v;
}

/* mx_request gathers an MT_SEND or MT_REPLY to pid: rq's header and fixed body,
 * then, when room is not null, the 4-byte block it points at (a Send's reply
 * room, VORLEN_FLAG_REPLY_ROOM), then each part of mx[0..n) as a block, its
 * 4-byte count (kept in counts) followed by its bytes. Sets typ, msg_len and
 * the fixed body. */
Iovecs mx_request(QNX_REQ<QNX_MSG_HDR_SND> &rq, uint16_t typ, pid_t pid, const _MXFER_ENTRY *mx,
                  unsigned n, std::pmr::vector<uint32_t> &counts, MxSpace &space,
                  uint32_t *room = nullptr) {
    Iovecs v(&space.pool);
    v.reserve(3 + 2 * size_t(n));
    counts.reserve(n + 1); /* the iovecs point into counts: it must never move */
    rq.hdr.ev.typ = typ;
    rq.hdr.msg_len = sizeof rq.body;
    rq.body.to_pid = pid;
    rq.body.nblocks = n;
    v.push_back({&rq, sizeof rq});
    if (room) {
        counts.push_back(sizeof *room);
        v.push_back({&counts.back(), sizeof(uint32_t)});
        v.push_back({room, sizeof *room});
        rq.body.nblocks += 1;
        rq.hdr.msg_len += sizeof(uint32_t) + sizeof *room;
        rq.hdr.flags.all |= VORLEN_FLAG_REPLY_ROOM;
    }
    for (unsigned i = 0; i < n; i++) {
        counts.push_back(mx[i].mxfer_len);
        v.push_back({&counts.back(), sizeof(uint32_t)});
        v.push_back({_mxfer_ptr(&mx[i]), mx[i].mxfer_len});
        rq.hdr.msg_len += sizeof(uint32_t) + mx[i].mxfer_len;
    }
    return v;
}

} // namespace

/* _qnx_receivemx asks for a message (type MT_RECEIVE, or MT_NB_RECEIVE which the
 * daemon answers at once, with ENOMSG when nothing is there) from pid, or
 * from anyone when pid is 0, and scatters it over the parts; bytes beyond
 * them are dropped. Returns the sender's pid or proxy id, or -1 with errno
 * (the daemon's retcode, or that of a failed read or write). */
pid_t _qnx_receivemx(pid_t pid, unsigned parts, const _MXFER_ENTRY *rmsg, int type) {
    QNX_REQ<QNX_MSG_RCV> rq{};
    MxSpace space;
    Iovecs in = mx_parts(rmsg, parts, space);
    size_t room = 0;
    for (const iovec &v : in) room += v.iov_len;
    rq.hdr.ev.typ = static_cast<uint16_t>(type);
    rq.hdr.msg_len = sizeof rq.body;
    rq.body.from_pid = pid;
    rq.body.offset = 0;
    rq.body.nbytes = static_cast<uint32_t>(std::min<size_t>(room, UINT32_MAX));
    iovec req{&rq, sizeof rq};
    if (_qnx_result(_qnx_request(QNX_OPENING, {&req, 1}, in)) != 0) return -1;
    return rq.hdr.from_pid;
}

int32_t _qnx_priority() {
    /* getpriority may return -1 for niceness -1; an error (there is none for
     * the calling process) would read as that too. */
    return VORLEN_PRIO_OF_NICE(getpriority(PRIO_PROCESS, 0));
}

_MXFER_ENTRY _qnx_one_part(const void *buf, unsigned nbytes) {
    _MXFER_ENTRY e;
    _setmx(&e, buf, nbytes);
    return e;
}

int _qnx_sendmx(pid_t pid, unsigned sparts, unsigned rparts, const _MXFER_ENTRY *smsg,
                const _MXFER_ENTRY *rmsg, uint16_t flags) {
    QNX_REQ<QNX_MSG_HDR_SND> rq{};
    rq.hdr.flags.all = flags;
    rq.hdr.prio = _qnx_priority();
    MxSpace space;
    Iovecs in = mx_parts(rmsg, rparts, space);
    size_t room = 0;
    for (const iovec &v : in) room += v.iov_len;
    /* The daemon keeps of what is written into the reply only what fits. */
    uint32_t room32 = static_cast<uint32_t>(std::min<size_t>(room, UINT32_MAX));
    std::pmr::vector<uint32_t> counts(&space.pool);
    Iovecs out = mx_request(rq, MT_SEND, pid, smsg, sparts, counts, space, &room32);
    return _qnx_result(_qnx_request(QNX_OPENING | QNX_PIECES, out, in));
}

int _qnx_replymx(pid_t pid, unsigned parts, const _MXFER_ENTRY *msgmx) {
    QNX_REQ<QNX_MSG_HDR_RPL> rq{};
    MxSpace space;
    std::pmr::vector<uint32_t> counts(&space.pool);
    Iovecs out = mx_request(rq, MT_REPLY, pid, msgmx, parts, counts, space);
    return _qnx_request(QNX_OPENING, out, {});
}

extern "C" {

/* Sendmx sends the parts smsg[0..sparts) to pid and waits for the reply,
 * which is scattered over rmsg[0..rparts): a shorter reply leaves the rest of
 * the parts untouched, a longer one is cut. Returns 0, or -1 with errno (the
 * daemon's retcode, e.g. ESRCH when pid goes away, or that of a failed read
 * or write). */
int Sendmx(pid_t pid, unsigned sparts, unsigned rparts, const _MXFER_ENTRY *smsg,
           const _MXFER_ENTRY *rmsg) {
    return _qnx_sendmx(pid, sparts, rparts, smsg, rmsg, 0);
}

/* Send is Sendmx with one part each way; smsg and rmsg may be the same
 * buffer, since the message has gone before the reply arrives. */
int Send(pid_t pid, const void *smsg, void *rmsg, unsigned snbytes, unsigned rnbytes) {
    _MXFER_ENTRY s = _qnx_one_part(smsg, snbytes), r = _qnx_one_part(rmsg, rnbytes);
    return _qnx_sendmx(pid, 1, 1, &s, &r, 0);
}

/* Receivemx waits for a message from pid (0: anyone) into its parts; results
 * as _qnx_receivemx. */
pid_t Receivemx(pid_t pid, unsigned parts, const _MXFER_ENTRY *msgmx) {
    return _qnx_receivemx(pid, parts, msgmx, MT_RECEIVE);
}

pid_t Receive(pid_t pid, void *msg, unsigned nbytes) {
    _MXFER_ENTRY e = _qnx_one_part(msg, nbytes);
    return _qnx_receivemx(pid, 1, &e, MT_RECEIVE);
}

/* Creceivemx takes a message only if one is there; otherwise it fails at once
 * with ENOMSG. Other results as _qnx_receivemx. */
pid_t Creceivemx(pid_t pid, unsigned parts, const _MXFER_ENTRY *msgmx) {
    return _qnx_receivemx(pid, parts, msgmx, MT_NB_RECEIVE);
}

pid_t Creceive(pid_t pid, void *msg, unsigned nbytes) {
    _MXFER_ENTRY e = _qnx_one_part(msg, nbytes);
    return _qnx_receivemx(pid, 1, &e, MT_NB_RECEIVE);
}

/* Replymx replies with the parts msgmx[0..parts) to pid, which must be
 * reply-blocked. Returns the daemon's retcode (0, or e.g. ESRCH when pid waits
 * for no reply) and leaves errno alone; -1 with errno when a write or read
 * fails. */
int Replymx(pid_t pid, unsigned parts, const _MXFER_ENTRY *msgmx) {
    return _qnx_replymx(pid, parts, msgmx);
}

int Reply(pid_t pid, const void *msg, unsigned nbytes) {
    _MXFER_ENTRY e = _qnx_one_part(msg, nbytes);
    return _qnx_replymx(pid, 1, &e);
}

} // extern "C"

int _qnx_set_pflags(int32_t flags) {
    QNX_REQ<QNX_MSG_PFLAGS> rq{};
    rq.body.flags = flags;
    return _qnx_call(QNX_OPENING | QNX_CLEAR_ERRNO, MT_PFLAGS, rq);
}
