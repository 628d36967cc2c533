/* pmquery.cpp - signals and process manager questions through circuits to other nodes */
/* PLACEHOLDER: replaced by the process manager queries. */
#include <cerrno>

#include "circuit.h"

void process_vc_kill(PGLOB *, QNX_CONN *c, REQUEST &) {
    send_status(c->fd, ESRCH);
}
void process_pm_query(PGLOB *, QNX_CONN *c, REQUEST &) {
    send_status(c->fd, ESRCH);
}
void frame_kill(PGLOB *, int32_t, const unsigned char *, uint32_t) {}
void frame_query(PGLOB *, int32_t, const unsigned char *, uint32_t) {}
void frame_result(PGLOB *, int32_t, const unsigned char *, uint32_t) {}
