/* qnxcompat.cpp - QNX 4 process calls: qnx_pflags, getnid */
#include "internal.h"

#include "qnx/sys/psinfo.h"

/* The flags a process set with qnx_pflags, kept so that a program reading
 * them back finds what it set. */
static long pflags = 0;

extern "C" {

/* qnx_pflags stores the old flags, sets those selected by mask to bits and
 * stores the new ones; either pointer may be null. The daemon is told the
 * new flags (it acts on _PPF_SIGCATCH), connecting the process first. Returns
 * 0, or -1 with errno when the daemon could not be told (the flags are set
 * all the same). */
int qnx_pflags(long bits, long mask, long *old_bits, long *new_bits) {
    if (old_bits) *old_bits = pflags;
    pflags = (pflags & ~mask) | (bits & mask);
    if (new_bits) *new_bits = pflags;
    QNX_REQ<QNX_MSG_PFLAGS> rq{};
    rq.body.flags = static_cast<int32_t>(pflags);
    return _qnx_call(QNX_OPENING | QNX_CLEAR_ERRNO, MT_PFLAGS, rq);
}

/* getnid returns the node id of the caller: 0, the one node there is. */
nid_t getnid(void) {
    return 0;
}

} // extern "C"
