/* readmsg.cpp - vorlenlib's re-reading of a received message: Readmsg, Readmsgmx */
#include "internal.h"

#include <algorithm>
#include <array>
#include <vector>

extern "C" {

/* Readmsgmx reads the message of pid, which must be REPLY-blocked on the
 * caller, from byte offset on into the parts msgmx[0..parts). It never blocks
 * and changes nothing: pid stays REPLY-blocked and its message stays where it
 * is. Returns the number of bytes placed (what follows offset, cut to the
 * parts' total), or -1 with errno: ESRCH when pid is not REPLY-blocked on the
 * caller (a message of pid still waiting in the queue does not count), or
 * that of a failed read or write. */
int Readmsgmx(pid_t pid, unsigned offset, unsigned parts, const _MXFER_ENTRY *msgmx) {
    /* Nobody can be blocked on a process that has never spoken to the daemon;
     * asking would connect it for nothing. */
    if (!_qnx_connected()) {
        errno = ESRCH;
        return -1;
    }
    std::array<iovec, 8> few;
    std::vector<iovec> many;
    std::span<iovec> in(few.data(), parts);
    if (parts > few.size()) {
        many.resize(parts);
        in = many;
    }
    size_t room = 0;
    for (unsigned i = 0; i < parts; i++) {
        in[i] = {_mxfer_ptr(&msgmx[i]), msgmx[i].mxfer_len};
        room += msgmx[i].mxfer_len;
    }

    /* An MT_RECEIVE marked as a re-read: the daemon answers at once with the
     * held message from offset, or ESRCH, and never queues the caller. */
    QNX_REQ<QNX_MSG_RCV> rq{};
    rq.hdr.ev.typ = MT_RECEIVE;
    rq.hdr.flags.all = VORLEN_FLAG_REREAD;
    rq.hdr.msg_len = sizeof rq.body;
    rq.body.from_pid = pid;
    rq.body.offset = offset;
    rq.body.nbytes = static_cast<uint32_t>(std::min<size_t>(room, UINT32_MAX));
    iovec req{&rq, sizeof rq};
    if (_qnx_result(_qnx_request(QNX_REQUIRING, {&req, 1}, in)) != 0) return -1;
    return static_cast<int>(std::min<size_t>({rq.hdr.msg_len, room, INT32_MAX}));
}

/* Readmsg is Readmsgmx with one part. */
int Readmsg(pid_t pid, unsigned offset, void *msg, unsigned nbytes) {
    _MXFER_ENTRY e;
    _setmx(&e, msg, nbytes);
    return Readmsgmx(pid, offset, 1, &e);
}

} // extern "C"
