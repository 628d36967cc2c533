/* frames.cpp - the node links' frame table: each kind of frame's handler, name and least length */
#include "circuit.h"

/* A frame handler serves one kind of frame that node nid sent. */
typedef void (*FRAME_FUNC)(PGLOB *pglob, int32_t nid, const unsigned char *p, uint32_t len);

/* One row: a kind, its handler, the name the log gives it, and its payload's
 * length: exactly that (exact), or at least that. */
struct FRAME_ROW {
    uint16_t kind;
    FRAME_FUNC handler;
    const char *name;
    uint32_t len;
    bool exact;
};

/* The kinds after the link's own (hello, heartbeats, refusal), in kind order. */
static constexpr FRAME_ROW frame_table[] = {
    {LINK_VC_ATTACH, frame_vc_attach, "vc-attach", sizeof(LINK_VC_ATTACH_BODY), true},
    {LINK_VC_ATTACHED, frame_vc_attached, "vc-attached", sizeof(LINK_VC_ATTACHED_BODY), true},
    {LINK_VC_DETACH, frame_vc_detach, "vc-detach", sizeof(LINK_VC_REF), true},
    {LINK_MSG, frame_msg, "msg", sizeof(LINK_MSG_BODY), false},
    {LINK_RECEIVED, frame_received, "received", sizeof(LINK_VC_REF), true},
    {LINK_REPLY, frame_reply, "reply", sizeof(LINK_REPLY_BODY), false},
    {LINK_GNAMES, frame_gnames, "gnames", 0, false},
    {LINK_GNAME_ADD, frame_gname_add, "gname-add", sizeof(LINK_GNAME_BODY), true},
    {LINK_GNAME_DEL, frame_gname_del, "gname-del", sizeof(LINK_GNAME_BODY), true},
    {LINK_KILL, frame_kill, "kill", sizeof(LINK_KILL_BODY), true},
    {LINK_QUERY, frame_query, "query", sizeof(LINK_QUERY_BODY), true},
    {LINK_RESULT, frame_result, "result", sizeof(LINK_RESULT_BODY), false},
    {LINK_VPROXY_ATTACH, frame_vproxy_attach, "vproxy-attach", sizeof(LINK_VPROXY_BODY), true},
    {LINK_VPROXY_ATTACHED, frame_vproxy_attached, "vproxy-attached",
     sizeof(LINK_VPROXY_ATTACHED_BODY), true},
    {LINK_VPROXY_DETACH, frame_vproxy_detach, "vproxy-detach", sizeof(LINK_VPROXY_BODY), true},
    {LINK_TRIGGER, frame_trigger, "trigger", sizeof(LINK_VPROXY_BODY), true},
    {LINK_VC_RESUME, frame_vc_resume, "vc-resume", sizeof(LINK_VC_RESUME_BODY), true},
};
constexpr size_t FRAME_ROWS = sizeof frame_table / sizeof frame_table[0];

static constexpr bool frames_in_order() {
    for (size_t i = 0; i < FRAME_ROWS; i++)
        if (frame_table[i].kind != LINK_VC_ATTACH + i) return false;
    return LINK_VC_ATTACH + FRAME_ROWS == LINK_KINDS;
}
static_assert(frames_in_order(), "one row per kind, in kind order");

/* node_frame picks the row of kind and serves the frame when its length is
 * the row's; a frame of a length no row allows is refused (and counted, as
 * every refusal is). */
bool node_frame(PGLOB *pglob, int32_t nid, uint16_t kind, const unsigned char *p, uint32_t len) {
    if (kind < LINK_VC_ATTACH || kind >= LINK_KINDS) return false;
    const FRAME_ROW &r = frame_table[kind - LINK_VC_ATTACH];
    if (r.exact ? len != r.len : len < r.len) {
        link_refused(pglob, nid, "%s of %u bytes", r.name, unsigned(len));
        return true;
    }
    vlog(LV_TRACE, "frame %s of %u bytes from node %d", r.name, unsigned(len), int(nid));
    r.handler(pglob, nid, p, len);
    return true;
}

void node_up(PGLOB *pglob, int32_t nid, bool restarted) {
    /* A peer that restarted lost what it held; a link that was lost ended it
     * here already, but a restart faster than the heartbeats is found here. */
    if (restarted) {
        vproxy_node_down(pglob, nid);
        vc_node_down(pglob, nid);
        pending_fail(pglob, nid, EHOSTUNREACH);
    }
    vc_node_up(pglob, nid);
    gnames_node_up(pglob, nid);
}

void node_down(PGLOB *pglob, int32_t nid, const char *why) {
    vlog(LV_CLEANUP,
         "node %d down: its circuits are suspended; its names, virtual proxies and "
         "waiting calls end (%s)",
         int(nid), why);
    vproxy_node_down(pglob, nid);
    vc_node_down(pglob, nid);
    pending_fail(pglob, nid, EHOSTUNREACH);
    gnames_node_down(pglob, nid);
}
