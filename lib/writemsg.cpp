/* writemsg.cpp - vorlenlib's work on a received message before the reply: Writemsg, Relay */
#include "internal.h"

#include <algorithm>
#include <array>
#include <climits>
#include <vector>

namespace {

/* The fixed part of a Writemsg request: the Reply's body, then the offset as
 * its first block. */
struct WriteHead {
    QNX_MSG_HDR_RPL rpl;
    uint32_t count; /* 4: the offset block's length */
    uint32_t offset;
};

/* The whole of a Relay request's body: the Reply's body and one block that
 * names the target. */
struct RelayBody {
    QNX_MSG_HDR_RPL rpl;
    uint32_t count; /* 4 */
    int32_t target;
};

static_assert(sizeof(QNX_REQ<WriteHead>) == sizeof(QNX_MSG_HDR) + sizeof(QNX_MSG_HDR_RPL) + 8);
static_assert(sizeof(QNX_REQ<RelayBody>) == sizeof(QNX_MSG_HDR) + sizeof(QNX_MSG_HDR_RPL) + 8);

} // namespace

extern "C" {

/* Writemsgmx writes the parts msgmx[0..parts) into the reply buffer of pid,
 * which must be REPLY-blocked on the caller, from byte offset on, as QNX 4's
 * kernel did: what fits there. The daemon keeps the bytes until the caller
 * replies; the reply's own bytes go at offset 0 over them, and bytes of pid's
 * reply buffer that neither wrote stay as they were. pid stays REPLY-blocked.
 * Returns the number of bytes that fit in pid's reply buffer (0 at or past its
 * end), or -1 with errno: ESRCH when pid is not REPLY-blocked on the caller;
 * EFAULT when the bytes would end beyond the daemon's request limit, or what
 * is kept for pid would pass it; or that of a failed read or write. */
int Writemsgmx(pid_t pid, unsigned offset, unsigned parts, const _MXFER_ENTRY *msgmx) {
    /* Nobody can be blocked on a process that has never spoken to the daemon;
     * asking would connect it for nothing. */
    if (!_qnx_connected()) {
        errno = ESRCH;
        return -1;
    }
    std::array<iovec, 17> few;
    std::array<uint32_t, 8> few_counts;
    std::vector<iovec> many;
    std::vector<uint32_t> many_counts;
    std::span<iovec> out(few.data(), 1 + 2 * size_t(parts));
    std::span<uint32_t> counts(few_counts.data(), parts);
    if (parts > few_counts.size()) {
        many.resize(1 + 2 * size_t(parts));
        many_counts.resize(parts);
        out = many;
        counts = many_counts;
    }
    /* A request's length is 32 bits on the wire, and the count an int: more
     * cannot be asked for, and no daemon's limit would take it anyway. */
    uint64_t nbytes = 0;
    for (unsigned i = 0; i < parts; i++) nbytes += msgmx[i].mxfer_len;
    uint64_t len = sizeof(WriteHead) + sizeof(uint32_t) * uint64_t(parts) + nbytes;
    if (nbytes > INT_MAX || len > UINT32_MAX) {
        errno = EFAULT;
        return -1;
    }

    QNX_REQ<WriteHead> rq{};
    rq.hdr.ev.typ = MT_REPLY;
    rq.hdr.flags.all = VORLEN_FLAG_WRITEMSG;
    rq.hdr.msg_len = static_cast<uint32_t>(len);
    rq.body.rpl.to_pid = pid;
    rq.body.rpl.nblocks = parts + 1;
    rq.body.count = sizeof rq.body.offset;
    rq.body.offset = offset;
    out[0] = {&rq, sizeof rq};
    for (unsigned i = 0; i < parts; i++) {
        counts[i] = msgmx[i].mxfer_len;
        out[1 + 2 * i] = {&counts[i], sizeof counts[i]};
        out[2 + 2 * i] = {_mxfer_ptr(&msgmx[i]), msgmx[i].mxfer_len};
    }
    /* The daemon answers with how many bytes fit in pid's reply buffer when
     * pid told it the buffer's room, status-only when all of them reach it. */
    uint32_t fit = static_cast<uint32_t>(nbytes);
    iovec count{&fit, sizeof fit};
    if (_qnx_result(_qnx_request(QNX_REQUIRING, out, {&count, 1})) != 0) return -1;
    return static_cast<int>(std::min<uint64_t>(fit, nbytes));
}

/* Writemsg is Writemsgmx with one part. */
int Writemsg(pid_t pid, unsigned offset, const void *msg, unsigned nbytes) {
    _MXFER_ENTRY e;
    _setmx(&e, msg, nbytes);
    return Writemsgmx(pid, offset, 1, &e);
}

/* Relay hands the message of source, which must be REPLY-blocked on the
 * caller, on to target as if source had sent it there: source is then
 * SEND-blocked on target (or REPLY-blocked on it, when target was waiting to
 * receive), and the caller can no longer reply to it or read its message.
 * What the caller wrote into the reply with Writemsg stays and goes out with
 * target's reply. Returns 0, or -1 with errno: ESRCH when source is not
 * REPLY-blocked on the caller or target does not exist; EAGAIN when the
 * daemon's message queue is full; or that of a failed read or write. */
pid_t Relay(pid_t source, pid_t target) {
    if (!_qnx_connected()) {
        errno = ESRCH;
        return -1;
    }
    QNX_REQ<RelayBody> rq{};
    rq.hdr.ev.typ = MT_REPLY;
    rq.hdr.flags.all = VORLEN_FLAG_RELAY;
    rq.hdr.msg_len = sizeof rq.body;
    rq.body.rpl.to_pid = source;
    rq.body.rpl.nblocks = 1;
    rq.body.count = sizeof rq.body.target;
    rq.body.target = target;
    iovec req{&rq, sizeof rq};
    return _qnx_result(_qnx_request(QNX_REQUIRING, {&req, 1}, {}));
}

} // extern "C"
