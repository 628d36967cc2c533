/* circuit.cpp - virtual circuits: VIDs, their stubs, messages through them, and their ends */
/* PLACEHOLDER: replaced by the circuit engine. */
#include <cerrno>

#include "circuit.h"

QNX_VC *vc_of(PGLOB *, pid_t) {
    return nullptr;
}
void vc_open(PGLOB *, QNX_CONN *c, int32_t, pid_t, const char *, uint32_t, bool, VC_ANSWER,
             int32_t) {
    send_status(c->fd, EHOSTUNREACH);
}
int vc_send(PGLOB *, QNX_PSTATE *, QNX_PSTATE *) {
    return ESRCH;
}
int vc_reply(PGLOB *, QNX_PSTATE *, const DPIECE *, int) {
    return EFAULT;
}
void vc_received(PGLOB *, QNX_PSTATE *) {}
void vc_process_gone(PGLOB *, pid_t) {}
void vc_node_down(PGLOB *, int32_t) {}
void process_vc_attach(PGLOB *, QNX_CONN *c, REQUEST &) {
    send_status(c->fd, EHOSTUNREACH);
}
void process_vc_detach(PGLOB *, QNX_CONN *c, REQUEST &) {
    send_status(c->fd, ESRCH);
}
void process_vc_query(PGLOB *, QNX_CONN *c, REQUEST &) {
    send_status(c->fd, ESRCH);
}
void frame_vc_attach(PGLOB *, int32_t, const unsigned char *, uint32_t) {}
void frame_vc_attached(PGLOB *, int32_t, const unsigned char *, uint32_t) {}
void frame_vc_detach(PGLOB *, int32_t, const unsigned char *, uint32_t) {}
void frame_msg(PGLOB *, int32_t, const unsigned char *, uint32_t) {}
void frame_received(PGLOB *, int32_t, const unsigned char *, uint32_t) {}
void frame_reply(PGLOB *, int32_t, const unsigned char *, uint32_t) {}
