/* circuits.cpp - the node section's clients and servers across nodes, through the QNX 4 face */
/* Each function here is the body of one child of node.cpp, which has moved
 * it into its node's network namespace and pointed vorlenlib at that node's
 * daemon. They call the library as a ported QNX 4 program does, through the
 * QNX 4 header names, so this file includes no vorlen.h. A child that fails
 * says why in NodeShared::why, as "call: reason", and returns something other
 * than DONE. */
#define VORLEN_HOST_TIMER_T
#include "qnx/sys/kernel.h"
#include "qnx/sys/name.h"
#include "qnx/sys/proxy.h"
#include "qnx/sys/psinfo.h"
#include "qnx/sys/vc.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <unistd.h>

#include "bench.h"

namespace bench {

namespace {

/* failed stores why a child gave up (printf-style) and returns 1. */
int failed(NodeShared *sh, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
int failed(NodeShared *sh, const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(sh->why, sizeof sh->why, fmt, ap);
    va_end(ap);
    return 1;
}

/* locate finds name on node nid as a client of a circuit would: a VID for
 * another node, the pid itself for nid 0 and a local name. Returns the id,
 * or -1 with the reason in sh->why. */
pid_t locate(NodeShared *sh, nid_t nid, const std::string &name, unsigned size) {
    pid_t id = qnx_name_locate(nid, name.c_str(), size, nullptr);
    if (id == -1) {
        failed(sh, "qnx_name_locate(%d, \"%s\"): %s", int(nid), name.c_str(), strerror(errno));
        return -1;
    }
    if (nid != 0 && !is_vid(id)) {
        failed(sh, "qnx_name_locate(%d, \"%s\") gave %d, not a VID", int(nid), name.c_str(),
               int(id));
        return -1;
    }
    return id;
}

/* attach_name registers name for this process and says so with a byte on
 * ready_fd; false (why in sh) when either fails. */
bool attach_name(NodeShared *sh, const std::string &name, int ready_fd) {
    if (qnx_name_attach(0, name.c_str()) == -1) {
        failed(sh, "qnx_name_attach(0, \"%s\"): %s", name.c_str(), strerror(errno));
        return false;
    }
    char c = 1;
    if (write(ready_fd, &c, 1) != 1) {
        failed(sh, "the server's ready pipe: %s", strerror(errno));
        return false;
    }
    return true;
}

/* px_exchange attaches a proxy of this process's into *proxy, gives its id
 * for the processes of node nid (qnx_proxy_rem_attach: a virtual proxy
 * there, the proxy itself for nid 0) to its peer in mine->id, and waits (10 s
 * at most) for the peer's in peer->id, into *to. False, with why in mine,
 * when a call fails or the peer's id does not come. */
bool px_exchange(NodeShared *mine, const NodeShared *peer, nid_t nid, pid_t *proxy, pid_t *to) {
    *proxy = qnx_proxy_attach(0, nullptr, 0, 0);
    if (*proxy == -1) return !failed(mine, "qnx_proxy_attach: %s", strerror(errno));
    pid_t v = qnx_proxy_rem_attach(nid, *proxy);
    if (v == -1)
        return !failed(mine, "qnx_proxy_rem_attach(%d, %d): %s", int(nid), int(*proxy),
                       strerror(errno));
    mine->id.store(v);
    for (int64_t t = now_ns(); (*to = peer->id.load()) == 0; sleep_ns(1'000'000))
        if (now_ns() - t > 10'000'000'000)
            return !failed(mine, "the other side's proxy id did not come in 10 s");
    return true;
}

/* px_release detaches the id given for node nid and the proxy; false (why
 * in sh) when either fails. */
bool px_release(NodeShared *sh, nid_t nid, pid_t proxy) {
    if (qnx_proxy_rem_detach(nid, sh->id.load()) != 0) {
        failed(sh, "qnx_proxy_rem_detach(%d, %d): %s", int(nid), int(sh->id.load()),
               strerror(errno));
        return false;
    }
    if (qnx_proxy_detach(proxy) != 0) {
        failed(sh, "qnx_proxy_detach(%d): %s", int(proxy), strerror(errno));
        return false;
    }
    return true;
}

} // namespace

int vc_server(NodeShared *sh, const std::string &name, uint32_t size, int ready_fd) {
    if (!attach_name(sh, name, ready_fd)) return 1;
    std::vector<char> buf(size ? size : 1);
    for (;;) {
        pid_t from = Receive(0, buf.data(), size);
        if (from == -1) return failed(sh, "the server's Receive: %s", strerror(errno));
        /* A sender that has gone (its circuit ended) is no fault of the server's. */
        if (Reply(from, buf.data(), size) != 0 && errno != ESRCH)
            return failed(sh, "the server's Reply: %s", strerror(errno));
    }
}

int vc_holder(NodeShared *sh, const std::string &name, int ready_fd) {
    if (!attach_name(sh, name, ready_fd)) return 1;
    char buf[64];
    for (;;) {
        /* Every message but a probe's (its first byte 0) is held
         * unanswered: its sender stays REPLY-blocked until its circuit ends. */
        buf[0] = 0;
        pid_t from = Receive(0, buf, sizeof buf);
        if (from == -1) return failed(sh, "the holder's Receive: %s", strerror(errno));
        if (buf[0] == 0) {
            Reply(from, buf, 0);
            continue;
        }
        char c = 2;
        if (write(ready_fd, &c, 1) != 1)
            return failed(sh, "the holder's pipe: %s", strerror(errno));
    }
}

int vc_trips(NodeShared *sh, nid_t nid, const std::string &name, uint32_t size, int warm,
             int count) {
    pid_t to = locate(sh, nid, name, size);
    if (to == -1) return 1;
    std::vector<char> out(size ? size : 1), in(size ? size : 1);
    sh->n = 0;
    for (int i = 0; i < warm + count && sh->n < NODE_MAX_SAMPLES; i++) {
        /* The untimed trips prove that the bytes went across and came back
         * whole, so that no figure rests on a link that loses them. */
        if (i < warm)
            for (uint32_t j = 0; j < size; j++) out[j] = char(i * 7 + j);
        int64_t t0 = now_ns();
        if (Send(to, out.data(), in.data(), size, size) != 0)
            return failed(sh, "Send of %u B to %d: %s", size, int(to), strerror(errno));
        if (i >= warm) sh->ns[sh->n++] = now_ns() - t0;
        if (i < warm && memcmp(in.data(), out.data(), size) != 0)
            return failed(sh, "the reply of %u B differed from the message", size);
    }
    if (qnx_vc_detach(to) != 0)
        return failed(sh, "qnx_vc_detach(%d): %s", int(to), strerror(errno));
    return DONE;
}

int vc_setups(NodeShared *sh, nid_t nid, const std::string &name, int count) {
    char out[64] = {1}, in[64];
    sh->n = 0;
    for (int i = 0; i < count && sh->n < NODE_MAX_SAMPLES; i++) {
        int64_t t0 = now_ns();
        pid_t vid = qnx_vc_name_attach(nid, sizeof out, name.c_str());
        if (vid == -1)
            return failed(sh, "qnx_vc_name_attach(%d, \"%s\"): %s", int(nid), name.c_str(),
                          strerror(errno));
        if (!is_vid(vid))
            return failed(sh, "qnx_vc_name_attach(%d) gave %d, not a VID", int(nid), int(vid));
        if (Send(vid, out, in, sizeof out, sizeof in) != 0)
            return failed(sh, "Send through a new circuit: %s", strerror(errno));
        if (qnx_vc_detach(vid) != 0) return failed(sh, "qnx_vc_detach: %s", strerror(errno));
        sh->ns[sh->n++] = now_ns() - t0;
    }
    return DONE;
}

int vc_lookups(NodeShared *sh, const std::string &name, int count) {
    /* The far node's global names arrive at link-up and as they change: wait
     * until this node knows the name, for at most 5 s. */
    unsigned copies = 0;
    pid_t vid = -1;
    for (int64_t t = now_ns(); vid == -1 && now_ns() - t < 5'000'000'000; sleep_ns(1'000'000))
        vid = qnx_name_locate(0, name.c_str(), 0, &copies);
    if (vid == -1)
        return failed(sh, "qnx_name_locate(0, \"%s\") for 5 s: %s", name.c_str(), strerror(errno));
    qnx_vc_detach(vid);
    sh->n = 0;
    for (int i = 0; i < count && sh->n < NODE_MAX_SAMPLES; i++) {
        int64_t t0 = now_ns();
        vid = qnx_name_locate(0, name.c_str(), 0, &copies);
        if (vid == -1)
            return failed(sh, "qnx_name_locate(0, \"%s\"): %s", name.c_str(), strerror(errno));
        if (!is_vid(vid) || copies != 1)
            return failed(sh, "qnx_name_locate(0, \"%s\") gave %d with copies %u, not a VID of one",
                          name.c_str(), int(vid), copies);
        if (qnx_vc_detach(vid) != 0) return failed(sh, "qnx_vc_detach: %s", strerror(errno));
        sh->ns[sh->n++] = now_ns() - t0;
    }
    return DONE;
}

int vc_flow(NodeShared *sh, nid_t nid, const std::string &name, int i) {
    pid_t to = locate(sh, nid, name, 64);
    if (to == -1) return 1;
    char out[64] = {}, in[64];
    sh->ready.fetch_add(1);
    for (uint64_t k = 1; !sh->stop.load(std::memory_order_relaxed); k++) {
        if (Send(to, out, in, sizeof out, sizeof in) != 0)
            return failed(sh, "Send of 64 B to %d: %s", int(to), strerror(errno));
        sh->done[i].store(k, std::memory_order_relaxed);
    }
    qnx_vc_detach(to);
    return DONE;
}

int vc_reachable(NodeShared *sh, nid_t nid, const std::string &name, int64_t within_ns) {
    char b = 0;
    const int64_t t0 = now_ns();
    for (;;) {
        pid_t vid = qnx_name_locate(nid, name.c_str(), 0, nullptr);
        bool ok = vid != -1 && Send(vid, &b, &b, 1, 0) == 0;
        if (vid != -1) qnx_vc_detach(vid);
        if (ok) return DONE;
        if (now_ns() - t0 > within_ns)
            return failed(sh, "\"%s\" on node %d not reachable within %lld ms: %s", name.c_str(),
                          int(nid), (long long)(within_ns / 1'000'000), strerror(errno));
        sleep_ns(5'000'000);
    }
}

int vc_poke(NodeShared *sh) {
    while (!sh->stop.load()) {
        if (qnx_name_locate(0, "vorlen-bench-nobody", 0, nullptr) != -1 || errno != ESRCH)
            return failed(sh, "a local qnx_name_locate: %s", strerror(errno));
        sleep_ns(20'000'000);
    }
    return DONE;
}

int vc_victim(NodeShared *sh, nid_t nid, const std::string &name) {
    pid_t to = locate(sh, nid, name, 64);
    if (to == -1) return 1;
    char out[64] = {1}, in[64];
    int rc = Send(to, out, in, sizeof out, sizeof in);
    sh->ns[0] = now_ns();
    sh->n = 1;
    if (rc != -1) return failed(sh, "the held Send was answered");
    if (errno != ESRCH)
        return failed(sh, "the held Send failed with %s, not ESRCH", strerror(errno));
    return DONE;
}

int vc_wait_reply_blocked(NodeShared *sh, pid_t pid, int64_t within_ns) {
    const int64_t t0 = now_ns();
    _psinfo info{};
    for (;;) {
        if (qnx_psinfo(PROC_PID, pid, &info, 0, nullptr) == pid &&
            info.state == STATE_REPLY_BLOCKED)
            return DONE;
        if (now_ns() - t0 > within_ns)
            return failed(sh, "the client %d was not REPLY-blocked within %lld ms (state %d)",
                          int(pid), (long long)(within_ns / 1'000'000), int(info.state));
        sleep_ns(1'000'000);
    }
}

int px_pinger(NodeShared *sh, const NodeShared *peer, nid_t nid, int warm, int count) {
    pid_t proxy = -1, to = -1;
    if (!px_exchange(sh, peer, nid, &proxy, &to)) return 1;
    char c;
    sh->n = 0;
    for (int i = 0; i < warm + count && sh->n < NODE_MAX_SAMPLES; i++) {
        int64_t t0 = now_ns();
        if (Trigger(to) == -1) return failed(sh, "Trigger(%d): %s", int(to), strerror(errno));
        if (i >= warm) sh->ns[sh->n++] = t0;
        pid_t from = Receive(0, &c, 0);
        if (from != proxy)
            return failed(sh, "the pinger's Receive gave %d, not its proxy %d (%s)", int(from),
                          int(proxy), from == -1 ? strerror(errno) : "");
    }
    return px_release(sh, nid, proxy) ? DONE : 1;
}

int px_ponger(NodeShared *sh, const NodeShared *peer, nid_t nid, int warm, int count) {
    pid_t proxy = -1, to = -1;
    if (!px_exchange(sh, peer, nid, &proxy, &to)) return 1;
    char c;
    sh->n = 0;
    for (int i = 0; i < warm + count && sh->n < NODE_MAX_SAMPLES; i++) {
        pid_t from = Receive(0, &c, 0);
        int64_t t1 = now_ns();
        if (from != proxy)
            return failed(sh, "the ponger's Receive gave %d, not its proxy %d (%s)", int(from),
                          int(proxy), from == -1 ? strerror(errno) : "");
        if (i >= warm) sh->ns[sh->n++] = t1;
        if (Trigger(to) == -1) return failed(sh, "Trigger(%d): %s", int(to), strerror(errno));
    }
    return px_release(sh, nid, proxy) ? DONE : 1;
}

} // namespace bench
