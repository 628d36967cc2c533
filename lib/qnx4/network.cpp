/* network.cpp - vorlenlib's QNX 4 network calls: circuits by name, remote proxies, node ids,
 * locators */
/* QNX 4 reached other nodes through virtual circuits and virtual proxies. A
 * circuit by name goes to the daemon, which reaches the other nodes; the
 * remote proxies, qnx_net_alive and qnx_name_locators have their forms for
 * this node only, and refuse every other node as one that is not in the net
 * map. */
#include "../core.h"

#include "qnx/sys/name.h"
#include "qnx/sys/proxy.h"
#include "qnx/sys/vc.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>

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
    if (_qnx_this_node(nid)) return qnx_name_locate(0, name, length, nullptr);
    if (!name) {
        errno = EINVAL;
        return -1;
    }
    return _qnx_vc_attach(nid, 0, name, length, false);
}

int qnx_net_alive(char *buf, int buflen) {
    const nid_t me = getnid();
    if (!buf || buflen <= me) {
        errno = EINVAL;
        return -1;
    }
    for (int i = 0; i < buflen; i++) buf[i] = 0;
    buf[me] = 1;
    return me + 1;
}

int qnx_name_locators(nid_t nids[]) {
    nids[0] = getnid();
    return 1;
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
