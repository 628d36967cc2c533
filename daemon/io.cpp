/* io.cpp - traced reads of the request being served and buffered, non-blocking answers */
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <new>
#include <vector>

#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include "vorleni.h"

void QNX_BUF::consume(size_t n) {
    start += n;
    if (start == end) start = end = 0;
}

static bool alloc_allowed_real(size_t) {
    return true;
}
bool (*alloc_allowed)(size_t nbytes) = alloc_allowed_real;

size_t mem_held(const PGLOB *pglob, uid_t user) {
    auto it = pglob->user_mem.find(user);
    return it == pglob->user_mem.end() ? 0 : it->second;
}

const char *mem_refusal(PGLOB *pglob, uid_t user, size_t n) {
    static char why[128];
    if (pglob->mem_used + n > pglob->max_memory) {
        snprintf(why, sizeof why, "the memory bound: %zu of %zu in use", pglob->mem_used,
                 pglob->max_memory);
        pglob->stats.refused_memory++;
        return why;
    }
    size_t share = pglob->max_user_memory ? pglob->max_user_memory : pglob->max_memory / 4;
    size_t held = mem_held(pglob, user);
    if (held + n > share) {
        snprintf(why, sizeof why, "user %d's share: %zu of %zu held", int(user), held, share);
        pglob->stats.refused_memory++;
        return why;
    }
    return nullptr;
}

void mem_take(PGLOB *pglob, uid_t user, size_t n) {
    if (n == 0) return;
    pglob->mem_used += n;
    pglob->user_mem[user] += n;
}

void mem_give(PGLOB *pglob, uid_t user, size_t n) {
    if (n == 0) return;
    pglob->mem_used -= n;
    auto it = pglob->user_mem.find(user);
    if (it != pglob->user_mem.end() && (it->second -= n) == 0) pglob->user_mem.erase(it);
}

size_t QNX_BUF::grow_to(size_t n) const {
    if (data.size() - used() >= n) return data.size(); /* room once the bytes slide */
    /* Doubling keeps appends cheap, but never more than BUF_LARGE beyond
     * what is asked for. */
    size_t want = used() + n;
    size_t doubled = data.size() * 2;
    if (doubled > want) want = doubled < want + BUF_LARGE ? doubled : want + BUF_LARGE;
    return want < BUF_MIN ? BUF_MIN : want;
}

/* growth_refusal says why buffer b may not grow to want bytes, for a log
 * line, or null when it may. The first BUF_MIN bytes hold any header and fixed
 * body, and any status-only answer: a connection may always have them, so
 * that a full budget still lets others in and still answers everyone. */
static const char *growth_refusal(PGLOB *pglob, const QNX_BUF &b, size_t want, size_t credit) {
    if (want <= BUF_MIN || want <= b.data.size()) return nullptr;
    size_t more = want - b.data.size();
    return more > credit ? mem_refusal(pglob, b.owner, more - credit) : nullptr;
}

bool QNX_BUF::reserve_tail(size_t n, bool budgeted) {
    if (data.size() - end >= n) return true;
    /* Slide the unconsumed bytes to the front before growing. */
    if (start > 0) {
        memmove(data.data(), data.data() + start, end - start);
        end -= start;
        start = 0;
        if (data.size() - end >= n) return true;
    }
    size_t want = grow_to(n);
    PGLOB *pglob = &_pglob;
    size_t more = want - data.size();
    if (budgeted && growth_refusal(pglob, *this, want, 0)) return false;
    if (!alloc_allowed(want)) return false;
    try {
        std::vector<unsigned char> bigger(want); /* exactly want: resize might take twice */
        if (end) memcpy(bigger.data(), data.data(), end);
        data.swap(bigger);
    } catch (const std::bad_alloc &) {
        return false;
    }
    mem_take(pglob, owner, more);
    return true;
}

const char *answer_refusal(PGLOB *pglob, int fd, size_t n, size_t credit) {
    if (fd < 0 || size_t(fd) >= pglob->conns.size()) return nullptr;
    const QNX_CONN *c = pglob->conns[fd];
    if (!c || c->dead) return nullptr;
    return growth_refusal(pglob, c->out, c->out.grow_to(n), credit);
}

bool QNX_BUF::append(const void *p, size_t n) {
    if (!reserve_tail(n)) return false;
    memcpy(data.data() + end, p, n);
    end += n;
    return true;
}

void QNX_BUF::release() {
    if (data.empty()) return;
    mem_give(&_pglob, owner, data.size());
    std::vector<unsigned char>().swap(data);
    start = end = 0;
}

/* dread copies up to nbytes of the variable part of request rq, which
 * connection c sent, into buff (none: they are skipped) and returns how many
 * it copied; the whole request is already buffered, so it never waits. */
ssize_t dread(const QNX_CONN *c, REQUEST &rq, void *buff, size_t nbytes, const char *name) {
    vlog(LV_IO, "read(%d,...,%d(%s))", c->fd, int(nbytes), name);
    size_t n = nbytes < rq.var_len ? nbytes : rq.var_len;
    if (n > 0 && buff) memcpy(buff, rq.var, n);
    rq.var += n;
    rq.var_len -= n;
    return ssize_t(n);
}

/* mark_dead schedules the removal of a connection whose peer cannot take its
 * answers: the request under way completes first. */
static void mark_dead(PGLOB *pglob, QNX_CONN *c, const char *why, bool unread = false) {
    if (c->dead) return;
    c->dead = true;
    c->unread = unread;
    pglob->stats.dropped_unread += unread;
    pglob->dead_fds.push_back(c->fd);
    vlog(LV_ERROR, "Err: connection fd %d dropped: %s", c->fd, why);
}

/* put_pieces writes pieces, at most 64, of total bytes to connection c: see
 * dwritev. */
static void put_pieces(PGLOB *pglob, QNX_CONN *c, const DPIECE *pieces, int n, size_t total) {
    int fd = c->fd;
    size_t done = 0;
    if (c->out.used() == 0) {
        struct iovec iov[64];
        int k = 0;
        for (int i = 0; i < n; i++)
            if (pieces[i].nbytes) iov[k++] = {const_cast<void *>(pieces[i].buff), pieces[i].nbytes};
        struct msghdr mh = {};
        mh.msg_iov = iov;
        mh.msg_iovlen = size_t(k);
        ssize_t w;
        do w = sendmsg(fd, &mh, MSG_NOSIGNAL | MSG_DONTWAIT);
        while (w < 0 && errno == EINTR);
        if (w < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
            mark_dead(pglob, c, strerror(errno));
            return;
        }
        if (w > 0) done = size_t(w);
        if (done == total) return;
    }
    if (c->out.used() + (total - done) > pglob->max_unread) {
        mark_dead(pglob, c, "unread answers over the bound", true);
        return;
    }
    /* What waits is charged to the connection's user as it is queued. The
     * requests that queue answers for others were refused before they got
     * here when this would fail: only a client that leaves its own answers
     * unread gets this far, and it is dropped as for the bound above. */
    if (const char *why = growth_refusal(pglob, c->out, c->out.grow_to(total - done), 0)) {
        char text[160];
        snprintf(text, sizeof text, "unread answers over %s", why);
        mark_dead(pglob, c, text, true);
        return;
    }
    if (!c->out.reserve_tail(total - done)) {
        mark_dead(pglob, c, "no memory for its answer");
        return;
    }
    /* Keep what the socket did not take, in order. */
    size_t skip = done;
    for (int i = 0; i < n; i++) {
        size_t len = pieces[i].nbytes;
        if (skip >= len) {
            skip -= len;
            continue;
        }
        c->out.append(static_cast<const char *>(pieces[i].buff) + skip, len - skip); /* room */
        skip = 0;
    }
    if (!c->want_write) {
        c->want_write = true;
        sockwant(fd, true, true);
    }
}

/* dwritev writes the pieces of one answer to connection fd: straight to the
 * socket when nothing is waiting before them, otherwise behind the bytes the
 * client has not taken yet. A connection whose unread answers would pass the
 * bound with this one (its first as much as any other) or, beyond the BUF_MIN
 * bytes any connection may have, its user's share or the daemon's memory
 * bound, whose socket fails or whose answer cannot be buffered for want of
 * memory is removed once the current request is done. */
void dwritev(int fd, const DPIECE *pieces, int n) {
    PGLOB *pglob = &_pglob;
    size_t total = 0;
    for (int i = 0; i < n; i++) {
        vlog(LV_IO, "write(%d,...,%d(%s))", fd, int(pieces[i].nbytes), pieces[i].name);
        total += pieces[i].nbytes;
    }
    if (fd < 0 || size_t(fd) >= pglob->conns.size()) return;
    QNX_CONN *c = pglob->conns[fd];
    if (!c || c->dead || total == 0) return;
    if (n <= 64) {
        put_pieces(pglob, c, pieces, n, total);
        return;
    }
    /* Very many small parts: gather them once rather than exceed IOV_MAX. */
    std::vector<char> all;
    all.reserve(total);
    for (int i = 0; i < n; i++) {
        const char *b = static_cast<const char *>(pieces[i].buff);
        all.insert(all.end(), b, b + pieces[i].nbytes);
    }
    DPIECE one = {all.data(), all.size(), "gathered"};
    put_pieces(pglob, c, &one, 1, total);
}

/* dwrite writes one answer piece; see dwritev. Returns nbytes. */
ssize_t dwrite(int fd, const void *buff, size_t nbytes, const char *name) {
    DPIECE p = {buff, nbytes, name};
    dwritev(fd, &p, 1);
    return ssize_t(nbytes);
}

/* send_status writes a status-only answer: a header with retcode and no body. */
void send_status(int fd, int retcode) {
    QNX_MSG_HDR h;
    memset(&h, 0, sizeof h);
    h.ev.retcode = uint16_t(retcode);
    dwrite(fd, &h, sizeof h, "QNX_MSG_HDR");
}

void answer_in_place(const QNX_CONN *c, REQUEST &rq, uint32_t body_len, const char *name) {
    rq.hdr.ev.retcode = 0;
    rq.hdr.msg_len = body_len;
    dwrite(c->fd, rq.bytes(), sizeof rq.hdr + body_len, name);
}

void refuse(const QNX_CONN *c, int retcode, const char *fmt, ...) {
    /* The line goes first: whoever has the answer finds it in the log. */
    if (log_enabled(LV_ERROR)) {
        va_list ap;
        va_start(ap, fmt);
        char text[512];
        vsnprintf(text, sizeof text, fmt, ap);
        va_end(ap);
        vlog(LV_ERROR, "Err: %s", text);
    }
    send_status(c->fd, retcode);
}

/* conn_writable hands the socket more of the answers it has not taken. */
void conn_writable(PGLOB *pglob, int fd) {
    if (fd < 0 || size_t(fd) >= pglob->conns.size()) return;
    QNX_CONN *c = pglob->conns[fd];
    if (!c || c->dead) return;
    while (c->out.used() > 0) {
        ssize_t w = send(fd, c->out.head(), c->out.used(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (w < 0 && errno == EINTR) continue;
        if (w < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
        if (w <= 0) {
            mark_dead(pglob, c, strerror(errno));
            return;
        }
        c->out.consume(size_t(w));
    }
    /* Everything is out: give the memory of a large answer back. */
    if (c->out.data.size() > BUF_LARGE) c->out.release();
    c->want_write = false;
    sockwant(fd, true, false);
}
