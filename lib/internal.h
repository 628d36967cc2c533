/* internal.h - vorlenlib's core inside: the connection and the one request/answer exchange */
#ifndef VORLEN_LIB_INTERNAL_H
#define VORLEN_LIB_INTERNAL_H

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <span>

#include <sys/uio.h>
#include <time.h>

#include "core.h"
#include "tools.h"

/* How _qnx_request treats the connection, errno and the answer's body. */
enum : unsigned {
    QNX_REQUIRING = 0,   /* unconnected process: fail with ENOTCONN, send nothing;
                            a forked child of a connected parent connects as with OPENING */
    QNX_OPENING = 1,     /* unconnected process: connect first, or end the process */
    QNX_CLEAR_ERRNO = 2, /* errno is 0 after a complete answer (else as it was before) */
    QNX_STREAM = 4,      /* read the answer header only; the caller reads the body itself */
    QNX_PIECES = 8,      /* a Send's answer: the reply, and what was written into it as pieces
                            (VORLEN_FLAG_REPLY_ROOM), each put at its offset in the parts;
                            bytes of the parts that neither covers stay as they were */
};

/* A request as it lies in memory: the header directly followed by the type's
 * fixed body. The answer header lands on hdr, a record answer on body. */
template <typename Body> struct QNX_REQ {
    QNX_MSG_HDR hdr;
    Body body;
};

/* _qnx_connected tells whether this very process (not a parent before fork)
 * opened the current connection, or it inherited its parent's through fork
 * and opens its own at its next call. */
bool _qnx_connected();

/* _qnx_request writes a request and reads its answer. req[0] begins with the
 * request header, whose typ and msg_len the caller has set (from_pid is filled
 * in here); all of req leaves in one gathered write. The answer header
 * replaces the request header in req[0]; up to msg_len body bytes are
 * scattered over parts and the rest is read and dropped, so the connection
 * stays in step (with QNX_STREAM nothing after the header is read). A signal
 * handler that runs before the answer comes makes the daemon break off a wait
 * (the answer is then EINTR); the request never loses its one answer. Returns the
 * answer's retcode (0 ... 65535), leaving errno by QNX_CLEAR_ERRNO; or -1 when
 * the process is not connected and mode is QNX_REQUIRING (ENOTCONN),
 * when a write or read fails (errno of the system call), when the daemon
 * closes the connection (ECONNRESET, or the answer's retcode if its header
 * had come), when more arrives than the answer announced (EPROTO), or at
 * once, sending nothing, when a signal handler calls while another call of
 * the process is in progress (EBUSY; the interrupted call goes on intact). */
int _qnx_request(unsigned mode, std::span<iovec> req, std::span<iovec> parts);

/* _qnx_read_exact reads n bytes of a record stream into dest, however they
 * arrive. Returns 0, or -1 with errno (ECONNRESET when the connection ends;
 * EBUSY, reading nothing, from a signal handler during another call). */
int _qnx_read_exact(void *dest, size_t n);

/* _qnx_defer_trigger leaves proxy to be triggered by the call of the process
 * that is in progress, when a signal handler (or another thread) triggers
 * during it: the call fires it once the stream lies between two requests, as
 * a trigger that is never answered, and before its own wait ends, so a
 * Receive of the caller's own proxy gets it. Async-signal-safe. Returns 1
 * when no call is in progress (the caller triggers as usual), 0 once the
 * proxy is left, or -1 with errno: ESRCH (no proxy id), EAGAIN (as many
 * triggers as QNX_PENDING_TRIGGERS already wait). */
constexpr size_t QNX_PENDING_TRIGGERS = 16;
int _qnx_defer_trigger(pid_t proxy);

/* The held set (held.cpp): the senders whose messages this process received
 * and has not replied to, which a restore names to the restarted daemon. Only
 * the holder of the call guard uses it. None of these can fail.
 * _qnx_held_note learns from a complete answer (retcode) to a request of type
 * typ with flags, naming target (a Reply's to_pid), that brought a message
 * from sender (a Receive's): a Receive or Creceive of a process's message
 * adds the sender; a Reply answered 0 or ESRCH and a Relay answered 0 remove
 * to_pid; a Writemsg answered 0 marks it written.
 * _qnx_held_lost tells whether the request must be answered ESRCH without
 * asking the daemon: a Reply, Writemsg, Relay or Readmsg of a sender whose
 * reply had been written into before the last restore (the daemon delivers
 * its message again); it then forgets the sender.
 * _qnx_held_restore puts the pids to name in MT_RESTORE into pids (room for
 * VORLEN_MAX_RESTORE_HELD) and returns how many: the senders held, less
 * those written into, which it marks lost.
 * _qnx_held_clear forgets every sender (a forked child holds none). */
void _qnx_held_note(uint16_t typ, uint16_t flags, int32_t target, int retcode, int32_t sender);
bool _qnx_held_lost(uint16_t typ, uint16_t flags, int32_t target);
size_t _qnx_held_restore(int32_t *pids);
void _qnx_held_clear();

/* _qnx_priority is the caller's priority as the wire carries it: QNX 4's,
 * from its niceness (VORLEN_PRIO_OF_NICE). Cannot fail. */
int32_t _qnx_priority();

/* _qnx_call sends request typ with rq's fixed body and reads a record answer
 * back onto that body (a status-only answer leaves the body as it was).
 * msg_len differs from the body's size only for a proxy attach, whose
 * message the daemon finds inside the fixed body (VORLEN_CARRIES_BLOCKS). Returns 0, or
 * -1 with errno as _qnx_result gives it. */
template <typename Body>
int _qnx_call(unsigned mode, uint16_t typ, QNX_REQ<Body> &rq, uint32_t msg_len = sizeof(Body)) {
    static_assert(sizeof(QNX_REQ<Body>) == sizeof(QNX_MSG_HDR) + sizeof(Body));
    rq.hdr.ev.typ = typ;
    rq.hdr.msg_len = msg_len;
    iovec req{&rq, sizeof rq};
    iovec rec{&rq.body, sizeof rq.body};
    return _qnx_result(_qnx_request(mode, {&req, 1}, {&rec, 1}));
}

#endif /* VORLEN_LIB_INTERNAL_H */
