/* qnxcompat.cpp - QNX 4 process calls that have nothing to do on Linux: qnx_pflags, getnid */
#include "vorlen.h"

#include "qnx/sys/psinfo.h"

/* The flags a process set with qnx_pflags. They change nothing; they are
 * kept so that a program reading its flags back finds what it set. */
static long pflags = 0;

extern "C" {

/* qnx_pflags stores the old flags, sets those selected by mask to bits and
 * stores the new ones; either pointer may be null. Returns 0: it cannot fail. */
int qnx_pflags(long bits, long mask, long *old_bits, long *new_bits) {
    if (old_bits) *old_bits = pflags;
    pflags = (pflags & ~mask) | (bits & mask);
    if (new_bits) *new_bits = pflags;
    return 0;
}

/* getnid returns the node id of the caller: 0, the one node there is. */
nid_t getnid(void) {
    return 0;
}

} // extern "C"
