/* gnames.cpp - the global names of the other nodes: learnt at link-up, kept as they change */
/* PLACEHOLDER: replaced by the global names. */
#include "circuit.h"

void gnames_changed(PGLOB *, const char *, pid_t, bool) {}
bool gnames_find(PGLOB *, const char *, int32_t *, int32_t *) {
    return false;
}
void gnames_node_up(PGLOB *, int32_t) {}
void gnames_node_down(PGLOB *, int32_t) {}
void frame_gnames(PGLOB *, int32_t, const unsigned char *, uint32_t) {}
void frame_gname_add(PGLOB *, int32_t, const unsigned char *, uint32_t) {}
void frame_gname_del(PGLOB *, int32_t, const unsigned char *, uint32_t) {}
