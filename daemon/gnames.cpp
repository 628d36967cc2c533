/* gnames.cpp - the global names of the other nodes: learnt at link-up, kept as they change */
/* A name that begins with '/' is global, as in QNX 4: each daemon tells the
 * nodes it is linked to of its own (all at link-up, then each as it is
 * registered or freed) and keeps theirs, so that a locate with nid 0 of a
 * name not registered here finds it on the lowest node that holds it. */
#include <cerrno>
#include <cstring>
#include <vector>

#include "circuit.h"

namespace {

/* One global name of another node. */
struct GNAME {
    pid_t pid; /* its owner, on that node */
    char name[NAME_SLOT_LEN];
};

/* What each node's daemon last said of its global names, by node id; a node
 * that is down holds none here. */
std::vector<GNAME> known[VORLEN_MAX_NODES + 1];

/* A node holds at most as many names as the largest name table. */
constexpr size_t MAX_GNAMES_PER_NODE = VORLEN_MAX_TABLE_SIZE;

/* The records of one LINK_GNAMES frame: as many as fit a frame's payload;
 * the rest of a large table follows as LINK_GNAME_ADD. */
constexpr size_t GNAMES_PER_FRAME = LINK_MAX_PAYLOAD / sizeof(LINK_GNAME_BODY);

bool is_global(const char *name) {
    return name[0] == '/';
}

bool node_ok(int32_t nid) {
    return nid >= 1 && nid <= VORLEN_MAX_NODES;
}

LINK_GNAME_BODY body_of(PGLOB *pglob, const char *name, pid_t pid) {
    LINK_GNAME_BODY b;
    memset(&b, 0, sizeof b);
    b.from_nid = pglob->plant.self;
    b.pid = pid;
    memcpy(b.name, name, strnlen(name, QNX_MAX_NAME_LEN)); /* a slot's name is at most that */
    return b;
}

/* record_fault says why a record node nid sent cannot be taken: it speaks
 * for another node, names no plain process of its own, or holds no global
 * name; null when it can. */
const char *record_fault(int32_t nid, const LINK_GNAME_BODY &b) {
    if (b.from_nid != nid) return "it speaks for another node";
    if (!node_pid(b.pid)) return "its owner is no process of its node";
    const void *end = memchr(b.name, '\0', sizeof b.name);
    if (!end || static_cast<const char *>(end) - b.name > QNX_MAX_NAME_LEN)
        return "its name has no end within 32 characters";
    if (!is_global(b.name)) return "its name is not global";
    return nullptr;
}

GNAME *find_in(std::vector<GNAME> &names, const char *name) {
    for (GNAME &g : names)
        if (strcmp(g.name, name) == 0) return &g;
    return nullptr;
}

/* take adds (or, for a name the node holds already, renews) one record of
 * node nid; a record that cannot be taken is refused and counted. */
void take(PGLOB *pglob, int32_t nid, const LINK_GNAME_BODY &b, const char *kind) {
    if (const char *why = record_fault(nid, b)) {
        link_refused(pglob, nid, "%s: %s", kind, why);
        return;
    }
    std::vector<GNAME> &names = known[nid];
    if (GNAME *g = find_in(names, b.name)) {
        g->pid = b.pid;
        return;
    }
    if (names.size() >= MAX_GNAMES_PER_NODE) {
        link_refused(pglob, nid, "%s: more than %zu global names", kind, MAX_GNAMES_PER_NODE);
        return;
    }
    GNAME g;
    g.pid = b.pid;
    memcpy(g.name, b.name, strlen(b.name) + 1);
    names.push_back(g);
    vlog(LV_REQUEST, "global name \"%s\" of node %d: owner %d", g.name, int(nid), int(g.pid));
}

} // namespace

void gnames_changed(PGLOB *pglob, const char *name, pid_t pid, bool added) {
    if (!is_global(name)) return;
    LINK_GNAME_BODY b = body_of(pglob, name, pid);
    /* A link too full for these few bytes ends, and the node learns the
     * whole table again when it comes back: it never keeps a stale one. */
    for (const NODE &n : pglob->plant.nodes)
        if (n.nid != pglob->plant.self && link_up(pglob, n.nid))
            link_send(pglob, n.nid, added ? LINK_GNAME_ADD : LINK_GNAME_DEL, &b, sizeof b);
}

bool gnames_find(PGLOB *pglob, const char *name, int32_t *nid, int32_t *copies) {
    *nid = 0;
    *copies = 0;
    for (int32_t id = 1; id <= VORLEN_MAX_NODES; id++) {
        if (!find_in(known[id], name) || !link_up(pglob, id)) continue;
        if (*copies == 0) *nid = id;
        ++*copies;
    }
    return *copies > 0;
}

/* gnames_node_up sends node nid every global name registered here: one
 * LINK_GNAMES with the first (it replaces what the node knew of this one),
 * LINK_GNAME_ADD for any beyond a frame. */
void gnames_node_up(PGLOB *pglob, int32_t nid) {
    std::vector<LINK_GNAME_BODY> mine;
    for (const QNX_ATT_NAME &cn : pglob->names)
        if (cn.id != 0 && is_global(cn.name)) mine.push_back(body_of(pglob, cn.name, cn.pid));
    size_t first = mine.size() < GNAMES_PER_FRAME ? mine.size() : GNAMES_PER_FRAME;
    link_send(pglob, nid, LINK_GNAMES, mine.data(), uint32_t(first * sizeof(LINK_GNAME_BODY)));
    for (size_t i = first; i < mine.size(); i++)
        link_send(pglob, nid, LINK_GNAME_ADD, &mine[i], sizeof mine[i]);
    vlog(LV_REQUEST, "global names to node %d: %zu", int(nid), mine.size());
}

void gnames_node_down(PGLOB *, int32_t nid) {
    if (node_ok(nid)) std::vector<GNAME>().swap(known[nid]);
}

/* frame_gnames: node nid's whole table of global names, which replaces what
 * was known of it. A payload that is not whole records is refused. */
void frame_gnames(PGLOB *pglob, int32_t nid, const unsigned char *p, uint32_t len) {
    if (!node_ok(nid)) return;
    if (len % sizeof(LINK_GNAME_BODY) != 0) {
        link_refused(pglob, nid, "gnames of %u bytes, not whole records", unsigned(len));
        return;
    }
    known[nid].clear();
    for (uint32_t off = 0; off < len; off += sizeof(LINK_GNAME_BODY)) {
        LINK_GNAME_BODY b;
        memcpy(&b, p + off, sizeof b);
        take(pglob, nid, b, "gnames");
    }
}

void frame_gname_add(PGLOB *pglob, int32_t nid, const unsigned char *p, uint32_t) {
    if (!node_ok(nid)) return;
    LINK_GNAME_BODY b;
    memcpy(&b, p, sizeof b);
    take(pglob, nid, b, "gname-add");
}

/* frame_gname_del: node nid freed one of its global names. A name it does
 * not hold here (one refused when it came) is passed over. */
void frame_gname_del(PGLOB *pglob, int32_t nid, const unsigned char *p, uint32_t) {
    if (!node_ok(nid)) return;
    LINK_GNAME_BODY b;
    memcpy(&b, p, sizeof b);
    if (const char *why = record_fault(nid, b)) {
        link_refused(pglob, nid, "gname-del: %s", why);
        return;
    }
    std::vector<GNAME> &names = known[nid];
    for (size_t i = 0; i < names.size(); i++)
        if (strcmp(names[i].name, b.name) == 0 && names[i].pid == b.pid) {
            names.erase(names.begin() + long(i));
            vlog(LV_REQUEST, "global name \"%s\" of node %d gone", b.name, int(nid));
            return;
        }
}
