/* held.cpp - vorlenlib's held set: the senders this process received and has not replied to */
/* A restarted daemon rebuilds who is REPLY-blocked on whom from both sides:
 * the sender sends its Send again (VORLEN_FLAG_RESUMED), and the receiver
 * tells it in MT_RESTORE which senders it holds. This set is the receiver's
 * side. It is kept beside the calls from their answers, never asked for and
 * never sent but at a restore, and touched only by the holder of the call
 * guard, so it needs no lock of its own; a fixed table keeps it free of the
 * allocator, since a signal handler may make the call that changes it. */
#include "internal.h"

#include <cstddef>
#include <cstdint>

namespace {

enum class Held : uint8_t {
    HELD,    /* received, not replied to: named in the next MT_RESTORE */
    WRITTEN, /* as HELD, and Writemsg wrote into its reply */
    LOST     /* was WRITTEN at a restore: the daemon no longer knows of the
                delivery, and the sender's message comes again */
};

struct Sender {
    int32_t pid;
    Held state;
};

/* A process holding more senders keeps the first VORLEN_MAX_RESTORE_HELD:
 * the others are not named at a restore, so their messages come again, and
 * the Reply to the earlier delivery fails with ESRCH. */
Sender senders[VORLEN_MAX_RESTORE_HELD];
size_t nsenders = 0;

Sender *find(int32_t pid) {
    for (size_t i = 0; i < nsenders; i++)
        if (senders[i].pid == pid) return &senders[i];
    return nullptr;
}

void remove(Sender *s) {
    *s = senders[--nsenders];
}

} // namespace

void _qnx_held_note(uint16_t typ, uint16_t flags, int32_t target, int retcode, int32_t sender) {
    if ((typ == MT_RECEIVE || typ == MT_NB_RECEIVE) && !(flags & VORLEN_FLAG_REREAD)) {
        /* Proxies (ids of -2 and below) wait for no reply. */
        if (retcode != 0 || sender <= 0) return;
        if (Sender *s = find(sender))
            s->state = Held::HELD; /* a new delivery: an earlier one's loss is over */
        else if (nsenders < std::size(senders))
            senders[nsenders++] = {sender, Held::HELD};
        return;
    }
    if (typ != MT_REPLY) return;
    Sender *s = find(target);
    if (!s) return;
    if (flags & VORLEN_FLAG_WRITEMSG) {
        if (retcode == 0 && s->state == Held::HELD) s->state = Held::WRITTEN;
    } else if (flags & VORLEN_FLAG_RELAY) {
        if (retcode == 0) remove(s);
    } else if (retcode == 0 || retcode == ESRCH) {
        remove(s);
    }
}

bool _qnx_held_lost(uint16_t typ, uint16_t flags, int32_t target) {
    if (typ != MT_REPLY && !(typ == MT_RECEIVE && (flags & VORLEN_FLAG_REREAD))) return false;
    Sender *s = find(target);
    if (!s || s->state != Held::LOST) return false;
    remove(s);
    return true;
}

size_t _qnx_held_restore(int32_t *pids) {
    size_t n = 0;
    for (size_t i = 0; i < nsenders; i++) {
        Sender &s = senders[i];
        if (s.state == Held::WRITTEN) s.state = Held::LOST;
        if (s.state == Held::HELD) pids[n++] = s.pid;
    }
    return n;
}

void _qnx_held_clear() {
    nsenders = 0;
}
