/* link.cpp - the node links: dialling, accepting, the TLS 1.3 handshake, the hello, heartbeats */
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unordered_map>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <unistd.h>

#include "link.h"
#include "vorleni.h"

/* A link's stages: TCP until the connect completes (dialled links only),
 * TLS until the handshake is done, HELLO until the peer's hello is checked,
 * then UP. */
enum LINK_STAGE { STAGE_TCP, STAGE_TLS, STAGE_HELLO, STAGE_UP };

/* The connection to one node, or an accepted one whose node is not known yet. */
struct NODE_LINK {
    int fd = -1;
    SSL *ssl = nullptr;
    int ix = -1;          /* its node in plant.nodes: dialled, or known from a checked hello */
    bool inbound = false; /* accepted, not dialled */
    LINK_STAGE stage = STAGE_TCP;
    std::string peer;                /* the peer's address, for the log */
    QNX_BUF in, out;                 /* frames read and not yet taken; bytes TLS has not taken */
    bool tls_wants_write = false;    /* the last TLS call waits for the socket to take bytes */
    bool watching_write = false;     /* the event set waits for it to be writable */
    struct timeval started = {0, 0}; /* monotonic: when it was dialled or accepted */
    struct timeval last_in = {0, 0}; /* the last bytes from the peer */
    /* The first heartbeat sent since the peer's last bytes (0: none), and
     * the last one: the peer is down timeout_ms after the first. */
    struct timeval probe_at = {0, 0}, ping_at = {0, 0};
    int refusals = 0; /* frames refused for speaking of what is not its node's */
    /* take() spent its budget with whole frames read or TLS bytes left: the
     * next tick serves them, since the socket may not say so. */
    bool more = false;
    std::string doomed; /* why it is to end at the next tick; empty: it is not */
};

static SSL_CTX *tls = nullptr;
static int node_listener = -1;
static std::unordered_map<int, NODE_LINK *> links; /* by socket */

constexpr int BACKOFF_FIRST_MS = 100;
constexpr int BACKOFF_LAST_MS = 5000;

static PGLOB *pglob_of_links() {
    return &_pglob;
}

static int64_t us_of(const struct timeval &t) {
    return int64_t(t.tv_sec) * 1000000 + t.tv_usec;
}
static struct timeval tv_of(int64_t us) {
    return {time_t(us / 1000000), suseconds_t(us % 1000000)};
}
static void lower_to(struct timeval *wake, int64_t us) {
    if (us < us_of(*wake)) *wake = tv_of(us);
}

static NODE *node_of(PGLOB *pglob, const NODE_LINK *l) {
    return l->ix >= 0 ? &pglob->plant.nodes[size_t(l->ix)] : nullptr;
}

static int node_index(PGLOB *pglob, int32_t nid) {
    for (size_t i = 0; i < pglob->plant.nodes.size(); i++)
        if (pglob->plant.nodes[i].nid == nid) return int(i);
    return -1;
}

/* tls_reason says why the TLS call that returned ret on link l failed, for a
 * log line: the certificate's fault when the verification found one, else
 * OpenSSL's first error, else the socket's. */
static std::string tls_reason(const NODE_LINK *l, int ret) {
    int err = SSL_get_error(l->ssl, ret);
    long v = SSL_get_verify_result(l->ssl);
    unsigned long e = ERR_peek_error();
    if (v != X509_V_OK && l->stage == STAGE_TLS)
        return std::string("certificate: ") + X509_verify_cert_error_string(v);
    if (e != 0) {
        char text[256];
        ERR_error_string_n(e, text, sizeof text);
        ERR_clear_error();
        const char *r = ERR_reason_error_string(e);
        return std::string("TLS: ") + (r ? r : text);
    }
    if (err == SSL_ERROR_ZERO_RETURN || (err == SSL_ERROR_SYSCALL && errno == 0))
        return "closed by the peer";
    return strerror(errno);
}

/* watch sets the events the loop waits for on link l: always its bytes, and
 * the socket's room while bytes wait or TLS asks for it. */
static void watch(NODE_LINK *l) {
    bool w = l->stage == STAGE_TCP || l->tls_wants_write || l->out.used() > 0;
    if (w == l->watching_write) return;
    l->watching_write = w;
    sockwant(l->fd, l->stage != STAGE_TCP, w);
}

/* link_close ends link l: the socket, its TLS state, its buffers. A dialled
 * node is dialled again after its back-off. */
static void link_close(PGLOB *pglob, NODE_LINK *l) {
    NODE *n = node_of(pglob, l);
    if (n && n->link == l) {
        n->link = nullptr;
        if (n->nid > pglob->plant.self) {
            if (n->backoff_ms == 0) n->backoff_ms = BACKOFF_FIRST_MS;
            n->redial_at = tv_of(us_of(now_clock(CLOCK_MONOTONIC)) + n->backoff_ms * 1000LL);
            n->backoff_ms =
                n->backoff_ms * 2 > BACKOFF_LAST_MS ? BACKOFF_LAST_MS : n->backoff_ms * 2;
        }
    }
    sockforget(l->fd);
    if (l->ssl) SSL_free(l->ssl);
    close(l->fd);
    links.erase(l->fd);
    delete l;
}

/* link_fail ends link l for why: a link that was up makes its node down
 * ("node N down: why"); one not yet up is an attempt that failed or, with
 * refused, that one side refused ("Err: node link from ADDR: why"). A
 * dialled node's attempts log a reason once until it changes, so that a
 * node that stays away does not fill the log. */
static void link_fail(PGLOB *pglob, NODE_LINK *l, const std::string &why, bool refused = false) {
    NODE *n = node_of(pglob, l);
    bool owns = n && (n->link == l || n->link == nullptr);
    if (l->stage == STAGE_UP && owns) {
        vlog(LV_NODE_DOWN, "node %d down: %s", int(n->nid), why.c_str());
        n->state = LINK_STATE::DOWN;
        n->why = why;
        n->rtt_us = -1;
        node_down(pglob, n->nid, why.c_str());
    } else {
        bool said = owns && !l->inbound && n->why == why;
        if (!said)
            vlog(LV_ERROR, "Err: node link %s %s: %s", l->inbound ? "from" : "to", l->peer.c_str(),
                 why.c_str());
        if (owns) {
            n->state = refused ? LINK_STATE::REFUSED : LINK_STATE::DOWN;
            n->why = why;
        }
    }
    link_close(pglob, l);
}

/* push hands TLS the bytes waiting on link l; empty, or why the link failed
 * (it is not ended here). */
static std::string push(PGLOB *pglob, NODE_LINK *l) {
    l->tls_wants_write = false;
    while (l->out.used() > 0) {
        ERR_clear_error();
        size_t n = l->out.used() < size_t(INT_MAX) ? l->out.used() : size_t(INT_MAX);
        int w = SSL_write(l->ssl, l->out.head(), int(n));
        if (w > 0) {
            l->out.consume(size_t(w));
            if (NODE *nd = node_of(pglob, l)) nd->bytes_out += uint64_t(w);
            continue;
        }
        int err = SSL_get_error(l->ssl, w);
        if (err == SSL_ERROR_WANT_WRITE) l->tls_wants_write = true;
        if (err == SSL_ERROR_WANT_WRITE || err == SSL_ERROR_WANT_READ) break;
        return tls_reason(l, w);
    }
    if (l->out.used() == 0 && l->out.data.size() > BUF_LARGE) l->out.release();
    watch(l);
    return "";
}

/* flush hands TLS the bytes waiting on link l; false when the link failed
 * (and is gone). */
static bool flush(PGLOB *pglob, NODE_LINK *l) {
    std::string why = push(pglob, l);
    if (why.empty()) return true;
    link_fail(pglob, l, why);
    return false;
}

/* put queues one frame on link l, bounded as a client's unread answers are
 * and counted in the message memory; false when the link failed for it. */
static bool put(PGLOB *pglob, NODE_LINK *l, uint16_t kind, const void *p, uint32_t len) {
    LINK_FRAME_HDR h = {len, kind, 0};
    size_t total = sizeof h + len;
    if (l->out.used() + total > pglob->max_unread) {
        link_fail(pglob, l, "outgoing bytes over the bound");
        return false;
    }
    if (!l->out.reserve_tail(total, true)) {
        link_fail(pglob, l, "no memory for its outgoing bytes");
        return false;
    }
    l->out.append(&h, sizeof h); /* room */
    l->out.append(p, len);
    return true;
}

/* ping sends a heartbeat on link l at now; false when the link failed. */
static bool ping(PGLOB *pglob, NODE_LINK *l, const struct timeval &now) {
    int64_t t = us_of(now);
    if (l->probe_at.tv_sec == 0 && l->probe_at.tv_usec == 0) l->probe_at = now;
    l->ping_at = now;
    return put(pglob, l, LINK_PING, &t, sizeof t) && flush(pglob, l);
}

/* send_hello queues this node's hello on link l; false when the link failed. */
static bool send_hello(PGLOB *pglob, NODE_LINK *l) {
    LINK_HELLO_BODY b = {};
    memcpy(b.magic, LINK_MAGIC, sizeof b.magic);
    b.version = LINK_VERSION;
    b.byte_order = LINK_BYTE_ORDER;
    b.nid = pglob->plant.self;
    b.incarnation = pglob->plant.incarnation;
    return put(pglob, l, LINK_HELLO, &b, sizeof b);
}

/* refuse_hello ends accepted link l, whose hello it refuses for why, after
 * telling the dialler why as far as the socket takes it at once. */
static void refuse_hello(PGLOB *pglob, NODE_LINK *l, const std::string &why) {
    if (!put(pglob, l, LINK_REFUSE, why.data(), uint32_t(why.size()))) return; /* gone */
    ERR_clear_error();
    if (SSL_write(l->ssl, l->out.head(), int(l->out.used())) > 0) SSL_shutdown(l->ssl);
    link_fail(pglob, l, why, true);
}

/* names tells whether the certificate of link l's peer names name, as its
 * subject alternative names (DNS) or, without any, its common name say. */
static bool names(const NODE_LINK *l, const std::string &name) {
    X509 *cert = SSL_get0_peer_certificate(l->ssl);
    return cert && X509_check_host(cert, name.data(), name.size(), 0, nullptr) == 1;
}

/* reown counts buffer b under user from now on. */
static void reown(QNX_BUF *b, uid_t user) {
    if (b->owner == user) return;
    mem_give(pglob_of_links(), b->owner, b->data.size());
    b->owner = user;
    mem_take(pglob_of_links(), user, b->data.size());
}

/* hello checks the peer's hello on link l and brings the link up; false
 * when it refused the peer (the link is gone). */
static bool hello(PGLOB *pglob, NODE_LINK *l, const unsigned char *p, uint32_t len) {
    PLANT &plant = pglob->plant;
    LINK_HELLO_BODY b;
    if (len != sizeof b) {
        refuse_hello(pglob, l, "a hello of " + std::to_string(len) + " bytes");
        return false;
    }
    memcpy(&b, p, sizeof b);
    const char *why = nullptr;
    char text[160];
    if (memcmp(b.magic, LINK_MAGIC, sizeof b.magic) != 0)
        why = "not a node link's hello";
    else if (b.byte_order != LINK_BYTE_ORDER)
        why = "its byte order is not this node's";
    else if (b.version != LINK_VERSION) {
        snprintf(text, sizeof text, "protocol version %u, this node speaks %u", unsigned(b.version),
                 unsigned(LINK_VERSION));
        why = text;
    }
    if (why) {
        refuse_hello(pglob, l, why);
        return false;
    }
    int ix = node_index(pglob, b.nid);
    NODE *claimed = ix >= 0 ? &plant.nodes[size_t(ix)] : nullptr;
    if (!l->inbound && ix != l->ix)
        snprintf(text, sizeof text, "it says it is node %d, dialled as node %d", int(b.nid),
                 int(node_of(pglob, l)->nid));
    else if (!claimed)
        snprintf(text, sizeof text, "it claims node %d, which the net map does not name",
                 int(b.nid));
    else if (b.nid == plant.self)
        snprintf(text, sizeof text, "it claims this node's id %d", int(b.nid));
    else if (!names(l, claimed->name))
        snprintf(text, sizeof text, "it claims node %d, but its certificate does not name %s",
                 int(b.nid), claimed->name.c_str());
    else if (l->inbound && b.nid > plant.self && claimed->link && claimed->link != l)
        snprintf(text, sizeof text, "node %d: this node dials it, and has a link to it",
                 int(b.nid));
    else
        text[0] = '\0';
    if (text[0]) {
        if (l->inbound && claimed && b.nid != plant.self && !claimed->link) l->ix = ix;
        refuse_hello(pglob, l, text);
        return false;
    }
    /* A node that dials again replaces the link it had: the old one is dead
     * even when no byte has said so yet. */
    if (claimed->link && claimed->link != l)
        link_fail(pglob, claimed->link, "a new link replaces it");
    l->ix = ix;
    claimed->link = l;
    reown(&l->in, link_owner(b.nid));
    reown(&l->out, link_owner(b.nid));
    const bool restarted = claimed->incarnation != 0 && claimed->incarnation != b.incarnation;
    if (restarted)
        vlog(LV_NODE, "node %d restarted: incarnation %016llx, was %016llx; what it held is gone",
             int(b.nid), (unsigned long long)b.incarnation,
             (unsigned long long)claimed->incarnation);
    claimed->incarnation = b.incarnation;
    claimed->state = LINK_STATE::UP;
    claimed->why.clear();
    claimed->backoff_ms = 0;
    l->stage = STAGE_UP;
    if (l->inbound && !send_hello(pglob, l)) return false;
    vlog(LV_NODE, "node %d up: link %s %s, incarnation %016llx", int(b.nid),
         l->inbound ? "from" : "to", l->peer.c_str(), (unsigned long long)b.incarnation);
    node_up(pglob, b.nid, restarted);
    return true;
}

/* frame serves one frame of link l; false when the link failed. */
static bool frame(PGLOB *pglob, NODE_LINK *l, uint16_t kind, const unsigned char *p, uint32_t len) {
    if (l->stage == STAGE_HELLO) {
        if (kind == LINK_REFUSE && !l->inbound) {
            /* The peer's words, shown only as far as they are plain text. */
            std::string why(reinterpret_cast<const char *>(p), len < 200 ? len : 200);
            for (char &c : why)
                if (c < ' ' || c > '~') c = '?';
            link_fail(pglob, l, "refused by the peer: " + why, true);
            return false;
        }
        if (kind != LINK_HELLO) {
            link_fail(pglob, l, "its first frame is not a hello", true);
            return false;
        }
        return hello(pglob, l, p, len);
    }
    if ((kind == LINK_PING || kind == LINK_PONG) && len == sizeof(int64_t)) {
        if (kind == LINK_PING) return put(pglob, l, LINK_PONG, p, len);
        int64_t sent;
        memcpy(&sent, p, sizeof sent);
        int64_t rtt = us_of(now_clock(CLOCK_MONOTONIC)) - sent;
        if (rtt >= 0) node_of(pglob, l)->rtt_us = rtt;
        return true;
    }
    if (kind >= LINK_VC_ATTACH && node_frame(pglob, node_of(pglob, l)->nid, kind, p, len))
        return true;
    link_fail(pglob, l,
              "a frame of kind " + std::to_string(kind) + " and " + std::to_string(len) + " bytes");
    return false;
}

/* What take() serves of one link in one call, so that a node that writes
 * faster than this one serves its frames holds up the local clients and the
 * other links for one budget at a time, not for as long as it writes. Each
 * byte read counts, and each frame served LINK_FRAME_COST more, since a
 * frame's work (a circuit looked up, a name renewed) is more than its bytes':
 * at most 256 KiB (16 whole records) and at most 256 frames. A round trip's
 * frames across nodes, up to a 64 KiB message and its record's few frames,
 * are read and served in the step their bytes come in, as they would be
 * without a budget; a larger message takes a step more per 256 KiB, with no
 * wait between the steps. */
constexpr size_t LINK_READ_BUDGET = 256 * 1024;
constexpr size_t LINK_FRAME_COST = 1024;
constexpr int LINK_READ_CHUNK = 16384; /* a record's plaintext at most */

/* take reads what TLS has for link l and serves the whole frames, up to a
 * budget: with more left, in l->in or in TLS, it sets l->more for the next
 * tick. False when the link failed. */
static bool take(PGLOB *pglob, NODE_LINK *l) {
    /* What the frames served here queue (results, attaches) goes out in one
     * write once take() is done, by its caller's flush, not a write each. */
    struct Batch {
        PGLOB *g;
        int left;
        ~Batch() { g->pass_left = left; }
    } batch{pglob, pglob->pass_left};
    pglob->pass_left = batch.left > 0 ? batch.left : 1;
    size_t budget = LINK_READ_BUDGET;
    /* TLS holds nothing the last read did not return: what else the peer
     * sent is in the socket, whose readiness wakes the loop again (the
     * event set is level-triggered), so a read only to hear WANT_READ is
     * spared. */
    bool drained = false;
    l->more = false;
    for (;;) {
        while (l->in.used() >= sizeof(LINK_FRAME_HDR)) {
            LINK_FRAME_HDR h;
            memcpy(&h, l->in.head(), sizeof h);
            const bool carries =
                h.kind == LINK_MSG || h.kind == LINK_REPLY || h.kind == LINK_RESULT;
            const uint64_t most = carries && l->stage == STAGE_UP
                                      ? uint64_t(pglob->max_request) + LINK_MSG_SLACK
                                      : LINK_MAX_PAYLOAD;
            if (h.len > most || h.zero != 0) {
                link_fail(pglob, l, "a frame header out of bounds", l->stage != STAGE_UP);
                return false;
            }
            if (l->in.used() < sizeof h + h.len) break;
            if (budget < LINK_FRAME_COST) {
                l->more = true;
                return true;
            }
            budget -= LINK_FRAME_COST;
            if (!frame(pglob, l, h.kind, l->in.head() + sizeof h, h.len)) return false;
            l->in.consume(sizeof h + h.len);
        }
        if (drained) break;
        if (budget == 0) {
            l->more = SSL_has_pending(l->ssl) == 1;
            break;
        }
        if (!l->in.reserve_tail(LINK_READ_CHUNK, true)) {
            link_fail(pglob, l, "no memory for its frames");
            return false;
        }
        ERR_clear_error();
        int r = SSL_read(l->ssl, l->in.data.data() + l->in.end, LINK_READ_CHUNK);
        if (r <= 0) {
            int err = SSL_get_error(l->ssl, r);
            if (err == SSL_ERROR_WANT_WRITE) l->tls_wants_write = true;
            if (err == SSL_ERROR_WANT_READ || err == SSL_ERROR_WANT_WRITE) break;
            /* Before the hello, a peer that does not take this node's
             * certificate says so with an alert here. */
            link_fail(pglob, l, tls_reason(l, r), l->stage == STAGE_HELLO);
            return false;
        }
        l->in.end += size_t(r);
        l->last_in = now_clock(CLOCK_MONOTONIC);
        l->probe_at = {0, 0};
        if (NODE *n = node_of(pglob, l)) n->bytes_in += uint64_t(r);
        budget -= size_t(r) < budget ? size_t(r) : budget;
        drained = r < LINK_READ_CHUNK && SSL_has_pending(l->ssl) == 0;
    }
    if (l->in.used() == 0 && l->in.data.size() > BUF_LARGE) l->in.release();
    return true;
}

/* step moves link l on as far as its socket lets it: the connect, the
 * handshake, the hello, the frames either way. Cannot fail; a link that
 * fails is gone. */
static void step(PGLOB *pglob, NODE_LINK *l) {
    if (l->stage == STAGE_TCP) {
        int err = 0;
        socklen_t len = sizeof err;
        if (getsockopt(l->fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0) err = errno;
        if (err == EINPROGRESS) return;
        if (err != 0) {
            link_fail(pglob, l, std::string("connect: ") + strerror(err));
            return;
        }
        l->stage = STAGE_TLS;
        SSL_set_connect_state(l->ssl);
        l->watching_write = false;
        sockwant(l->fd, true, false);
    }
    if (l->stage == STAGE_TLS) {
        ERR_clear_error();
        int r = SSL_do_handshake(l->ssl);
        if (r != 1) {
            int err = SSL_get_error(l->ssl, r);
            l->tls_wants_write = err == SSL_ERROR_WANT_WRITE;
            if (err == SSL_ERROR_WANT_READ || err == SSL_ERROR_WANT_WRITE) {
                watch(l);
                return;
            }
            link_fail(pglob, l, tls_reason(l, r), true);
            return;
        }
        l->stage = STAGE_HELLO;
        if (!l->inbound && !send_hello(pglob, l)) return;
    }
    /* A link with more to serve than its budget is served by link_tick,
     * once a step, however often its socket is ready. */
    if (!flush(pglob, l) || (!l->more && !take(pglob, l))) return;
    if (l->tls_wants_write || l->out.used() > 0) flush(pglob, l);
}

/* link_new makes the record of a link on socket fd, non-blocking, with the
 * socket options of every link; null when TLS cannot have it (fd closed). */
static NODE_LINK *link_new(PGLOB *pglob, int fd, const struct sockaddr_in &peer) {
    int one = 1;
    unsigned timeout = unsigned(pglob->plant.timeout_ms);
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    /* Bytes not acknowledged for as long as the heartbeats may go
     * unanswered end the connection even when the peer's host is silent. */
    setsockopt(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, &timeout, sizeof timeout);
    SSL *ssl = SSL_new(tls);
    if (!ssl || SSL_set_fd(ssl, fd) != 1) {
        if (ssl) SSL_free(ssl);
        close(fd);
        vlog(LV_ERROR, "Err: node link with %s: no TLS state: %s", inet_ntoa(peer.sin_addr),
             ERR_reason_error_string(ERR_get_error()));
        return nullptr;
    }
    NODE_LINK *l = new NODE_LINK;
    l->fd = fd;
    l->ssl = ssl;
    l->peer = inet_ntoa(peer.sin_addr);
    l->in.owner = l->out.owner = UID_NODE_LINKS;
    l->started = l->last_in = now_clock(CLOCK_MONOTONIC);
    links[fd] = l;
    return l;
}

/* dial starts a link to node n; a failure at once is logged and redialled
 * as any. */
static void dial(PGLOB *pglob, int ix) {
    NODE &n = pglob->plant.nodes[size_t(ix)];
    n.redial_at = {0, 0};
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        vlog(LV_ERROR, "Err: node link to %s: socket: %s", inet_ntoa(n.addr.sin_addr),
             strerror(errno));
        return;
    }
    /* From this node's own address, the one the peer knows it by. */
    int self = node_index(pglob, pglob->plant.self);
    struct sockaddr_in from = pglob->plant.nodes[size_t(self)].addr;
    from.sin_port = 0;
    bind(fd, reinterpret_cast<sockaddr *>(&from), sizeof from); /* else the route's */
    NODE_LINK *l = link_new(pglob, fd, n.addr);
    if (!l) return;
    l->ix = ix;
    n.link = l;
    n.state = LINK_STATE::CONNECTING;
    SSL_set1_host(l->ssl, n.name.c_str()); /* the node's certificate must name it */
    int r = connect(fd, reinterpret_cast<const sockaddr *>(&n.addr), sizeof n.addr);
    if (r != 0 && errno != EINPROGRESS) {
        link_fail(pglob, l, std::string("connect: ") + strerror(errno));
        return;
    }
    l->watching_write = true;
    sockwant(fd, false, true);
    if (r == 0) step(pglob, l);
}

/* accept_links takes the connections waiting on the node listener. */
static void accept_links(PGLOB *pglob) {
    for (;;) {
        struct sockaddr_in peer = {};
        socklen_t len = sizeof peer;
        int fd = accept4(node_listener, reinterpret_cast<sockaddr *>(&peer), &len,
                         SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) return;
        NODE_LINK *l = link_new(pglob, fd, peer);
        if (!l) continue;
        l->inbound = true;
        l->stage = STAGE_TLS;
        SSL_set_accept_state(l->ssl);
        sockwant(fd, true, false);
        step(pglob, l);
    }
}

bool link_event(PGLOB *pglob, int fd, bool readable, bool writable) {
    if (fd < 0) return false;
    if (fd == node_listener) {
        accept_links(pglob);
        return true;
    }
    auto it = links.find(fd);
    if (it == links.end()) return false;
    if (readable || writable) step(pglob, it->second);
    return true;
}

void link_tick(PGLOB *pglob, const struct timeval &now, struct timeval *wake) {
    PLANT &plant = pglob->plant;
    if (!tls) return;
    int64_t t = us_of(now), hb = plant.heartbeat_ms * 1000LL, to = plant.timeout_ms * 1000LL;
    /* A link that spent its budget is served another before the wait, and
     * the wait is for nothing while one still has more: what TLS holds, the
     * event set does not see. By socket, since a frame may end another link. */
    std::vector<int> busy;
    for (auto &kv : links)
        if (kv.second->more && kv.second->doomed.empty()) busy.push_back(kv.first);
    for (int fd : busy) {
        auto it = links.find(fd);
        if (it == links.end() || !it->second->more) continue;
        NODE_LINK *l = it->second;
        if (!take(pglob, l)) continue;
        if ((l->tls_wants_write || l->out.used() > 0) && !flush(pglob, l)) continue;
        if (l->more) lower_to(wake, t);
    }
    std::vector<NODE_LINK *> all;
    for (auto &kv : links) all.push_back(kv.second);
    for (NODE_LINK *l : all) {
        if (!l->doomed.empty()) {
            link_fail(pglob, l, l->doomed);
            continue;
        }
        if (l->stage == STAGE_UP && l->out.used() > 0 && !l->tls_wants_write && !flush(pglob, l))
            continue;
        if (l->stage != STAGE_UP) {
            if (t - us_of(l->started) >= to) {
                link_fail(pglob, l,
                          l->stage == STAGE_TCP ? "connect: no answer within " +
                                                      std::to_string(plant.timeout_ms) + " ms"
                                                : "no TLS handshake and hello within " +
                                                      std::to_string(plant.timeout_ms) + " ms",
                          l->stage != STAGE_TCP);
                continue;
            }
            lower_to(wake, us_of(l->started) + to);
            continue;
        }
        bool probing = l->probe_at.tv_sec != 0 || l->probe_at.tv_usec != 0;
        /* Down once a heartbeat sent after the peer's last bytes has had
         * the whole timeout to be answered: never sooner than the timeout
         * after the link went silent, nor later than one heartbeat more. */
        if (probing && t - us_of(l->probe_at) >= to) {
            link_fail(pglob, l, "no bytes for " + std::to_string(plant.timeout_ms) + " ms");
            continue;
        }
        int64_t next_ping = probing ? us_of(l->ping_at) + hb : us_of(l->last_in) + hb;
        if (t >= next_ping) {
            if (!ping(pglob, l, now)) continue;
            next_ping = t + hb;
            probing = true;
        }
        lower_to(wake, next_ping);
        if (probing) lower_to(wake, us_of(l->probe_at) + to);
    }
    for (size_t i = 0; i < plant.nodes.size(); i++) {
        NODE &n = plant.nodes[i];
        if (n.nid <= plant.self || n.link) continue;
        if (n.redial_at.tv_sec == 0 && n.redial_at.tv_usec == 0) continue;
        /* A dial that fails at once (no route while the interface is down)
         * sets the next one: that moment must wake the loop too. */
        if (tv_le(n.redial_at, now)) dial(pglob, int(i));
        if (!n.link && (n.redial_at.tv_sec != 0 || n.redial_at.tv_usec != 0))
            lower_to(wake, us_of(n.redial_at));
    }
}

/* tls_fatal ends the daemon at start over a file TLS cannot use. */
[[noreturn]] static void tls_fatal(const char *what, const std::string &path) {
    char text[256];
    ERR_error_string_n(ERR_get_error(), text, sizeof text);
    fprintf(stderr, "vorlen: %s '%s': %s\n", what, path.c_str(), text);
    exit(1);
}

void link_start(PGLOB *pglob) {
    PLANT &plant = pglob->plant;
    if (plant.nodes.empty()) return;
    if (plant.incarnation == 0) {
        uint64_t r = 0;
        if (getrandom(&r, sizeof r, 0) != ssize_t(sizeof r))
            r = uint64_t(time(nullptr)) ^ uint64_t(getpid());
        plant.incarnation = r ? r : 1;
    }
    int self = node_index(pglob, plant.self);
    if (self < 0) {
        fprintf(stderr, "vorlen: node %d: the net map has no line for it\n", int(plant.self));
        exit(2);
    }
    plant.nodes[size_t(self)].state = LINK_STATE::SELF;
    plant.nodes[size_t(self)].incarnation = plant.incarnation;
    tls = SSL_CTX_new(TLS_method());
    if (!tls) tls_fatal("TLS", "context");
    SSL_CTX_set_min_proto_version(tls, TLS1_3_VERSION);
    SSL_CTX_set_max_proto_version(tls, TLS1_3_VERSION);
    SSL_CTX_set_mode(tls, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER |
                              SSL_MODE_RELEASE_BUFFERS);
    SSL_CTX_set_session_cache_mode(tls, SSL_SESS_CACHE_OFF);
    /* A record is read with what follows it in one read, not its header
     * first. What TLS holds when take() stops at its budget, the event set
     * does not see: link_tick serves it. */
    SSL_CTX_set_read_ahead(tls, 1);
    SSL_CTX_set_num_tickets(tls, 0);
    if (SSL_CTX_use_certificate_chain_file(tls, plant.tls_cert.c_str()) != 1)
        tls_fatal("--tls-cert", plant.tls_cert);
    if (SSL_CTX_use_PrivateKey_file(tls, plant.tls_key.c_str(), SSL_FILETYPE_PEM) != 1 ||
        SSL_CTX_check_private_key(tls) != 1)
        tls_fatal("--tls-key", plant.tls_key);
    if (SSL_CTX_load_verify_locations(tls, plant.tls_ca.c_str(), nullptr) != 1)
        tls_fatal("--tls-ca", plant.tls_ca);
    SSL_CTX_set_verify(tls, SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT, nullptr);

    const struct sockaddr_in &own = plant.nodes[size_t(self)].addr;
    node_listener = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    int one = 1;
    if (node_listener >= 0) setsockopt(node_listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (node_listener < 0 ||
        bind(node_listener, reinterpret_cast<const sockaddr *>(&own), sizeof own) != 0 ||
        listen(node_listener, SOMAXCONN) != 0) {
        fprintf(stderr, "vorlen: cannot listen for node links on %s:%d: %s\n",
                inet_ntoa(own.sin_addr), int(ntohs(own.sin_port)), strerror(errno));
        exit(1);
    }
    sockwant(node_listener, true, false);
    vlog(LV_NODE, "node %d of %zu, incarnation %016llx, listening for node links on %s:%d",
         int(plant.self), plant.nodes.size(), (unsigned long long)plant.incarnation,
         inet_ntoa(own.sin_addr), int(ntohs(own.sin_port)));
    /* The lower id dials: every link of this node to a higher one is its own. */
    for (size_t i = 0; i < plant.nodes.size(); i++)
        if (plant.nodes[i].nid > plant.self) dial(pglob, int(i));
}

uid_t link_owner(int32_t nid) {
    return UID_NODE_LINK_BASE + uid_t(nid);
}

/* up_link is the link of node nid when it is up and not to end. */
static NODE_LINK *up_link(PGLOB *pglob, int32_t nid) {
    int ix = node_index(pglob, nid);
    if (ix < 0) return nullptr;
    NODE &n = pglob->plant.nodes[size_t(ix)];
    if (n.state != LINK_STATE::UP || !n.link || n.link->stage != STAGE_UP ||
        !n.link->doomed.empty())
        return nullptr;
    return n.link;
}

bool link_up(PGLOB *pglob, int32_t nid) {
    return up_link(pglob, nid) != nullptr;
}

const char *link_room(PGLOB *pglob, int32_t nid, size_t len) {
    NODE_LINK *l = up_link(pglob, nid);
    if (!l) return "the node's link is not up";
    size_t total = sizeof(LINK_FRAME_HDR) + len;
    if (l->out.used() + total > pglob->max_unread) return "the link's outgoing bytes";
    if (l->out.data.size() - l->out.used() >= total) return nullptr;
    return mem_refusal(pglob, l->out.owner, l->out.grow_to(total) - l->out.data.size());
}

bool link_send(PGLOB *pglob, int32_t nid, uint16_t kind, const void *p1, uint32_t n1,
               const void *p2, uint32_t n2) {
    NODE_LINK *l = up_link(pglob, nid);
    if (!l) return false;
    LINK_FRAME_HDR h = {n1 + n2, kind, 0};
    size_t total = sizeof h + n1 + n2;
    if (l->out.used() + total > pglob->max_unread) {
        l->doomed = "outgoing bytes over the bound";
        return false;
    }
    if (!l->out.reserve_tail(total, true)) {
        l->doomed = "no memory for its outgoing bytes";
        return false;
    }
    l->out.append(&h, sizeof h); /* room */
    if (n1) l->out.append(p1, n1);
    if (n2) l->out.append(p2, n2);
    /* A message, a reply or a trigger served in the pass's last event goes
     * out now, before the answer to its local caller: a far process waits
     * for it. Under load the pass has more events and the frames of the
     * whole pass go out together at the tick. A write that fails ends the
     * link at the tick, as above. */
    const bool urgent =
        kind == LINK_MSG || kind == LINK_REPLY || kind == LINK_RESULT || kind == LINK_TRIGGER;
    if (urgent && pglob->pass_left == 0 && !l->tls_wants_write && l->doomed.empty())
        l->doomed = push(pglob, l);
    return true;
}

void link_refused(PGLOB *pglob, int32_t nid, const char *fmt, ...) {
    char text[256];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(text, sizeof text, fmt, ap);
    va_end(ap);
    vlog(LV_ERROR, "Err: node %d: frame refused: %s", int(nid), text);
    int ix = node_index(pglob, nid);
    NODE_LINK *l = ix >= 0 ? pglob->plant.nodes[size_t(ix)].link : nullptr;
    if (l && ++l->refusals >= LINK_REFUSALS_TO_DROP && l->doomed.empty())
        l->doomed = "it keeps sending frames that speak for what is not its own";
}
