/* network.cpp - vorlenlib's QNX 4 network calls for one node: remote proxies, node ids, locators */
/* QNX 4 reached other nodes through virtual circuits and virtual proxies.
 * One daemon serves one node, so each call has its form for this node and
 * refuses every other node as one that is not in the net map. */
#include "../core.h"

#include "qnx/sys/name.h"
#include "qnx/sys/proxy.h"
#include "qnx/sys/vc.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include <algorithm>

#include <unistd.h>

/* find_own_proxy looks proxy (the wire's id) up in the daemon's listing.
 * Returns 0 when it is the caller's, or -1 with errno: ESRCH (no such
 * proxy), EPERM (another process's), or that of a failed read or write. */
static int find_own_proxy(pid_t proxy) {
    QNX_MSG_SIN_RPROXYS r;
    int found = ESRCH;
    const pid_t me = getpid();
    if (_qnx_squery(SIN_PROXIES, &r) != 0) return -1;
    for (; r.pid != -1; _qnx_squery_next(&r))
        if (r.nr == proxy) found = r.pid == me ? 0 : EPERM;
    if (found != 0) errno = found;
    return found == 0 ? 0 : -1;
}

/* plant_nodes reads the daemon's listing of the plant's nodes (one record,
 * this node, without a net map). Returns 0, or -1 with errno. */
static int plant_nodes(std::vector<QNX_MSG_SIN_RNODE> &nodes) {
    QNX_MSG_SIN_RNODE r;
    if (_qnx_squery(SIN_NODES, &r) != 0) return -1;
    for (; r.pid != -1; _qnx_squery_next(&r)) nodes.push_back(r);
    return 0;
}

/* this_node_or_unreachable tells whether nid names this node; for any other
 * it sets errno EHOSTUNREACH, as QNX 4 did for a node not in the net map. */
static bool this_node_or_unreachable(nid_t nid) {
    if (_qnx_this_node(nid)) return true;
    errno = EHOSTUNREACH;
    return false;
}

extern "C" {

pid_t qnx_proxy_rem_attach(nid_t nid, pid_t proxy) {
    if (!this_node_or_unreachable(nid) || find_own_proxy(proxy) != 0) return -1;
    return proxy;
}

int qnx_proxy_rem_detach(nid_t nid, pid_t vproxy) {
    if (!this_node_or_unreachable(nid) || find_own_proxy(vproxy) != 0) return -1;
    return 0;
}

pid_t qnx_vc_name_attach(nid_t nid, unsigned length, const char *name) {
    if (!this_node_or_unreachable(nid)) return -1;
    return qnx_name_locate(0, name, length, nullptr);
}

int qnx_net_alive(char *buf, int buflen) {
    const nid_t me = getnid();
    if (!buf || buflen <= me) {
        errno = EINVAL;
        return -1;
    }
    std::vector<QNX_MSG_SIN_RNODE> nodes;
    if (plant_nodes(nodes) != 0) return -1;
    int filled = me + 1;
    for (int i = 0; i < buflen; i++) buf[i] = 0;
    buf[me] = 1;
    for (const QNX_MSG_SIN_RNODE &n : nodes) {
        if (n.nid >= filled) filled = std::min(int(n.nid) + 1, buflen);
        if (n.nid < buflen && (n.state == SIN_NODE_UP || n.state == SIN_NODE_SELF)) buf[n.nid] = 1;
    }
    return filled;
}

int qnx_name_locators(nid_t nids[]) {
    std::vector<QNX_MSG_SIN_RNODE> nodes;
    int n = 0;
    nids[n++] = getnid();
    if (plant_nodes(nodes) != 0) return n;
    for (const QNX_MSG_SIN_RNODE &r : nodes)
        if (r.state == SIN_NODE_UP && n < VORLEN_MAX_NAME_LOCATORS) nids[n++] = r.nid;
    return n;
}

nid_t qnx_strtonid(const char *nodename, char **str) {
    const char *p = nodename;
    long long n = 0;
    if (str) *str = const_cast<char *>(nodename);
    if (!p) {
        errno = EINVAL;
        return -1;
    }
    while (isspace(static_cast<unsigned char>(*p))) p++;
    if (!isdigit(static_cast<unsigned char>(*p))) {
        errno = EINVAL;
        return -1;
    }
    for (; isdigit(static_cast<unsigned char>(*p)); p++) {
        n = n * 10 + (*p - '0');
        if (n > INT32_MAX) {
            errno = EINVAL;
            return -1;
        }
    }
    if (str) *str = const_cast<char *>(p);
    return static_cast<nid_t>(n);
}

int qnx_nidtostr(nid_t nid, char *buf, int len) {
    if (nid < 0 || !buf || len <= 0 ||
        snprintf(buf, static_cast<size_t>(len), "%d", static_cast<int>(nid)) >= len) {
        if (buf && len > 0) buf[0] = '\0';
        errno = EINVAL;
        return -1;
    }
    return 0;
}

} // extern "C"
