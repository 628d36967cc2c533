/* names.cpp - the daemon's name registry: attach, detach and locate of global names */
#include <cerrno>
#include <cstring>

#include "circuit.h"
#include "vorleni.h"

/* name_field_ok tells whether a name field holds its terminating zero within
 * its 33 bytes; a field without one is never copied or compared. */
static bool name_field_ok(const QNX_MSG_NAME_ATTACH *req) {
    return memchr(req->name, '\0', sizeof req->name) != nullptr;
}

static bool slot_free(const QNX_ATT_NAME *cn) {
    return cn->pid == 0 && cn->id == 0;
}

/* owner_alive tells whether the owner of a name can still talk. */
static bool owner_alive(PGLOB *, const QNX_ATT_NAME *cn) {
    return pid_alive(cn->pid);
}

/* do_ndetach clears one name slot, telling the other nodes when it held a
 * global name; it cannot fail. */
void do_ndetach(QNX_ATT_NAME *cn) {
    if (cn->id != 0) gnames_changed(&_pglob, cn->name, cn->pid, false);
    cn->id = 0;
    cn->pid = 0;
    cn->nid = 0;
    cn->name[0] = '\0';
    cn->process = nullptr;
    state_name(&_pglob, cn);
}

/* process_name_attach registers the requested name for the requester and
 * answers with its id (36 bytes). Fails with ESRCH when a living process
 * holds the name, ENOMEM when every slot of the table (--max-names) is held
 * by living processes, and
 * EINVAL when the name field has no terminating zero. */
void process_name_attach(PGLOB *pglob, QNX_CONN *c, REQUEST &rq) {
    const QNX_MSG_HDR *hdr = &rq.hdr;
    auto *req = rq.body<QNX_MSG_NAME_ATTACH>();
    QNX_PSTATE *requester = c->ps;

    if (!name_field_ok(req)) {
        refuse(c, EINVAL, "Name-Attach from %d//%d: EINVAL", hdr->from_nid, hdr->from_pid);
        return;
    }

    for (;;) {
        vlog(LV_REQUEST, "Name-Attach from %d//%d: \"%s\"", hdr->from_nid, hdr->from_pid,
             req->name);

        QNX_ATT_NAME *chosen = nullptr;
        for (QNX_ATT_NAME &cn : pglob->names) {
            if (!slot_free(&cn) && strcmp(cn.name, req->name) == 0) {
                if (!owner_alive(pglob, &cn)) {
                    do_ndetach(&cn); /* a dead owner's registration is not trusted */
                } else {
                    refuse(c, ESRCH, "Name already registered by %d//%d, id=%d", cn.nid, cn.pid,
                           cn.id);
                    return;
                }
            }
            if (!chosen && slot_free(&cn)) chosen = &cn;
        }

        if (chosen) {
            /* The owner is the record bound to the connection, so that the
             * clean-up of that record, which matches names by pid, finds it. */
            chosen->pid = requester->pid;
            chosen->nid = 0;
            chosen->process = requester;
            memcpy(chosen->name, req->name, strlen(req->name) + 1);
            chosen->id = int32_t(chosen - pglob->names.data()) + 1;
            state_name(pglob, chosen);
            gnames_changed(pglob, chosen->name, chosen->pid, true);

            auto *res = rq.body<QNX_MSG_NAME_RES>();
            res->id = chosen->id;
            res->nid = 0;
            res->flags = 0;
            answer_in_place(c, rq, sizeof(QNX_MSG_NAME_RES), "QNX_MSG_HDR+QNX_MSG_NAME_RES");
            return;
        }

        /* Table full: free what dead owners still hold and try again. */
        bool freed = false;
        for (QNX_ATT_NAME &cn : pglob->names) {
            if (cn.pid != 0 && !owner_alive(pglob, &cn)) {
                vlog(LV_CLEANUP, "global automatic name detach \"%s\" for pid %d", cn.name, cn.pid);
                do_ndetach(&cn);
                freed = true;
            }
        }
        if (!freed) {
            pglob->stats.refused_table++;
            refuse(c, ENOMEM,
                   "Name-Attach of \"%s\" from %d//%d (%s): ENOMEM: the name table is full (%zu, "
                   "--max-names)",
                   req->name, hdr->from_nid, hdr->from_pid, caller_pname(c), pglob->names.size());
            return;
        }
    }
}

/* process_name_detach removes the name with the requested id when the
 * requester owns it. Fails with ESRCH for an id outside 1 ... --max-names, a
 * free slot or another process's name. */
void process_name_detach(PGLOB *pglob, QNX_CONN *c, REQUEST &rq) {
    const QNX_MSG_HDR *hdr = &rq.hdr;
    auto *req = rq.body<QNX_MSG_NAME_DETACH>();
    int32_t id = req->id;

    if (id >= 1 && size_t(id) <= pglob->names.size() && !slot_free(&pglob->names[id - 1]) &&
        pglob->names[id - 1].pid == hdr->from_pid) {
        do_ndetach(&pglob->names[id - 1]);
        vlog(LV_REQUEST, "Name detach id: %d from pid %d", id, hdr->from_pid);
        answer_in_place(c, rq, 0, "QNX_MSG_HDR");
        return;
    }
    refuse(c, ESRCH, "Name detach %d from PID %d: ESRCH", id, hdr->from_pid);
}

/* process_name_query answers with the owner's pid in from_pid and the number
 * of nodes that hold the name in prio: this one and, for a global name (one
 * that begins with '/'), the other nodes that are up. A global name not
 * registered here is looked for on the other nodes, and the lowest that holds
 * it is attached to by name: the answer (from vc_open) then carries the VID
 * in from_pid. Fails with ESRCH when the name is registered nowhere or its
 * owner is gone, EINVAL when the name field has no terminating zero, and as
 * vc_open for a name found on another node. */
void process_name_query(PGLOB *pglob, QNX_CONN *c, REQUEST &rq) {
    QNX_MSG_HDR *hdr = &rq.hdr;
    auto *req = rq.body<QNX_MSG_NAME_QUERY>();
    const pid_t from_pid = hdr->from_pid; /* the answer carries the owner's pid there */

    if (!name_field_ok(req)) {
        refuse(c, EINVAL, "Query Name from %d//%d: EINVAL", hdr->from_nid, hdr->from_pid);
        return;
    }

    const bool global = req->name[0] == '/';
    int32_t nid = 0, copies = 0;
    for (QNX_ATT_NAME &cn : pglob->names) {
        if (slot_free(&cn) || strcmp(cn.name, req->name) != 0) continue;
        if (!owner_alive(pglob, &cn)) {
            do_ndetach(&cn);
            break;
        }
        if (global) gnames_find(pglob, req->name, &nid, &copies);
        hdr->from_pid = cn.pid;
        hdr->prio = copies + 1;
        answer_in_place(c, rq, 0, "QNX_MSG_HDR");
        vlog(LV_REQUEST, "Query Name from %d//%d: \"%s\" -> owner=%d//%d, copies %d", hdr->from_nid,
             from_pid, req->name, cn.nid, cn.pid, int(copies + 1));
        return;
    }
    if (global && gnames_find(pglob, req->name, &nid, &copies)) {
        vlog(LV_REQUEST, "Query Name from %d//%d: \"%s\" -> node %d, copies %d", hdr->from_nid,
             from_pid, req->name, int(nid), int(copies));
        vc_open(pglob, c, nid, 0, req->name, 0, false, VC_ANSWER_NAME, copies);
        return;
    }
    send_status(c->fd, ESRCH);
    vlog(LV_REQUEST, "Query Name from %d//%d: \"%s\" -> not found", hdr->from_nid, hdr->from_pid,
         req->name);
}
