/* relay.cpp - bench_relay: the protocol's floor, a relay of Send, Receive and Reply only */
#include <algorithm>
#include <charconv>
#include <cerrno>
#include <csignal>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <string_view>
#include <unordered_map>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <unistd.h>

#include "vorlen.h"

/* The relay answers exactly as the daemon does for one round trip: the
 * receiver's MT_RECEIVE in, the sender's MT_SEND in, the message out to the
 * receiver, the MT_REPLY in, the reply out to the sender and the status out
 * to the replier. It keeps nothing else: no names, proxies, timers, listings
 * or log, so no daemon that speaks the protocol over TCP on one thread can be
 * faster. It listens on the daemon's Unix-domain name as well (B-unix): the
 * same floor for that transport. Any other request is answered ESRCH, which is also what the daemon
 * says to a name query for a name nobody holds. */

namespace {

constexpr size_t MAX_REQUEST = 64u << 20; /* the daemon's limit for one request */

/* Conn is one client connection, indexed by descriptor. It belongs to the pid
 * of its first request. A client has one request in flight at a time, so one
 * read never takes bytes of the next request. */
struct Conn {
    pid_t pid = 0;
    bool waiting = false;  /* its Send is queued or delivered and awaits a Reply */
    pid_t to = 0;          /* the receiver of that Send */
    std::vector<char> msg; /* the Send's bytes while it waits in a queue */
};

/* Receiver is a process that receives, by pid: its connection while it waits
 * in Receive, and the senders queued for it in arrival order. */
struct Receiver {
    int owner = -1;      /* the connection that last received under this pid */
    int fd = -1;         /* that connection while it waits in Receive */
    uint32_t nbytes = 0; /* what its pending Receive can take */
    std::deque<int> queue;
};

std::vector<Conn> conns;
std::unordered_map<pid_t, int> pid_fd;
std::unordered_map<pid_t, Receiver> receivers;
std::vector<char> in(256 * 1024); /* the request being served */

/* write_all writes iov to fd; the peer waits in read for exactly this answer,
 * so a blocking write cannot deadlock. A peer that has gone is noticed when
 * its connection reads end of stream; the error here is ignored. */
void write_all(int fd, iovec *iov, int n) {
    while (n > 0) {
        msghdr m{};
        m.msg_iov = iov;
        m.msg_iovlen = static_cast<size_t>(n);
        ssize_t w = sendmsg(fd, &m, MSG_NOSIGNAL);
        if (w < 0) {
            if (errno == EINTR) continue;
            return;
        }
        auto left = static_cast<size_t>(w);
        while (n > 0 && left >= iov->iov_len) {
            left -= iov->iov_len;
            iov++;
            n--;
        }
        if (n > 0) {
            iov->iov_base = static_cast<char *>(iov->iov_base) + left;
            iov->iov_len -= left;
        }
    }
}

/* answer writes a header with retcode, from_pid and msg_len, followed by the
 * data of data[0..n) cut to msg_len bytes. */
void answer(int fd, uint16_t retcode, pid_t from_pid, uint32_t msg_len, const iovec *data = nullptr,
            int n = 0) {
    QNX_MSG_HDR h{};
    h.ev.retcode = retcode;
    h.from_pid = from_pid;
    h.msg_len = msg_len;
    iovec iov[64];
    iov[0] = {&h, sizeof h};
    int k = 1;
    size_t left = msg_len;
    for (int i = 0; i < n && left > 0 && k < 64; i++) {
        size_t len = std::min(left, data[i].iov_len);
        iov[k++] = {data[i].iov_base, len};
        left -= len;
    }
    write_all(fd, iov, k);
}

/* blocks finds the nblocks data blocks of a Send or Reply body of len bytes
 * in `in` and points iov at them (at most 63, the relay's own bound). Returns
 * the number of blocks and their total length, or -1 when they overrun the
 * body. */
int blocks(size_t len, iovec *iov, size_t &total) {
    auto *snd = reinterpret_cast<QNX_MSG_HDR_SND *>(in.data() + sizeof(QNX_MSG_HDR));
    size_t pos = sizeof(QNX_MSG_HDR) + sizeof *snd;
    const size_t end = sizeof(QNX_MSG_HDR) + len;
    total = 0;
    if (len < sizeof *snd || snd->nblocks > 63) return -1;
    for (uint32_t i = 0; i < snd->nblocks; i++) {
        uint32_t k;
        if (end - pos < sizeof k) return -1;
        memcpy(&k, in.data() + pos, sizeof k);
        pos += sizeof k;
        if (end - pos < k) return -1;
        iov[i] = {in.data() + pos, k};
        pos += k;
        total += k;
    }
    return static_cast<int>(snd->nblocks);
}

/* drop closes fd and forgets its process; processes blocked on it get ESRCH,
 * as the daemon answers them when a partner goes. */
void drop(int fd) {
    close(fd);
    Conn &c = conns[fd];
    if (c.pid != 0) {
        auto it = pid_fd.find(c.pid);
        if (it != pid_fd.end() && it->second == fd) pid_fd.erase(it);
        if (c.waiting) {
            auto r = receivers.find(c.to);
            if (r != receivers.end()) std::erase(r->second.queue, fd);
        }
        /* A pid the system has given to a new process since belongs to that one. */
        auto r = receivers.find(c.pid);
        if (r != receivers.end() && r->second.owner == fd) {
            receivers.erase(r);
            for (size_t s = 0; s < conns.size(); s++)
                if (conns[s].waiting && conns[s].to == c.pid) {
                    conns[s].waiting = false;
                    answer(static_cast<int>(s), ESRCH, c.pid, 0);
                }
        }
    }
    c = Conn{};
}

void process_rcv(int fd, const QNX_MSG_RCV &rcv) {
    Receiver &r = receivers[conns[fd].pid];
    r.owner = fd;
    if (r.queue.empty()) {
        r.fd = fd;
        r.nbytes = rcv.nbytes;
        return;
    }
    Conn &s = conns[r.queue.front()];
    r.queue.pop_front();
    iovec data{s.msg.data(), s.msg.size()};
    answer(fd, 0, s.pid, static_cast<uint32_t>(std::min<size_t>(s.msg.size(), rcv.nbytes)), &data,
           1);
}

void process_snd(int fd, size_t len) {
    iovec all[63];
    size_t total;
    int n = blocks(len, all, total);
    if (n < 0) return answer(fd, EINVAL, 0, 0);
    /* The reply room's block, which the library sends, is not the message;
     * the relay keeps no written bytes, so it has no use for it. */
    iovec *data = all;
    if (reinterpret_cast<const QNX_MSG_HDR *>(in.data())->flags.all & VORLEN_FLAG_REPLY_ROOM) {
        if (n < 1 || all[0].iov_len != sizeof(uint32_t)) return answer(fd, EINVAL, 0, 0);
        data++;
        n--;
        total -= sizeof(uint32_t);
    }
    Conn &c = conns[fd];
    c.waiting = true;
    c.to = reinterpret_cast<QNX_MSG_HDR_SND *>(in.data() + sizeof(QNX_MSG_HDR))->to_pid;
    Receiver &r = receivers[c.to];
    if (r.fd >= 0) {
        int rfd = r.fd;
        r.fd = -1;
        /* Straight from the request buffer: the message is never copied. */
        return answer(rfd, 0, c.pid, static_cast<uint32_t>(std::min<size_t>(total, r.nbytes)), data,
                      n);
    }
    c.msg.clear();
    for (int i = 0; i < n; i++) {
        auto *p = static_cast<const char *>(data[i].iov_base);
        c.msg.insert(c.msg.end(), p, p + data[i].iov_len);
    }
    r.queue.push_back(fd);
}

void process_rpl(int fd, size_t len) {
    iovec data[63];
    size_t total;
    int n = blocks(len, data, total);
    if (n < 0) return answer(fd, EINVAL, 0, 0);
    auto to =
        pid_fd.find(reinterpret_cast<QNX_MSG_HDR_RPL *>(in.data() + sizeof(QNX_MSG_HDR))->to_pid);
    if (to == pid_fd.end() || !conns[to->second].waiting) return answer(fd, ESRCH, 0, 0);
    conns[to->second].waiting = false;
    answer(to->second, 0, 0, static_cast<uint32_t>(total), data, n);
    answer(fd, 0, 0, 0);
}

/* serve reads one whole request from fd and answers it. End of stream, a
 * request beyond MAX_REQUEST or one running into a next request drops the
 * connection. */
void serve(int fd) {
    size_t got = 0, want = sizeof(QNX_MSG_HDR);
    while (got < want) {
        ssize_t n = read(fd, in.data() + got, in.size() - got);
        if (n <= 0) {
            if (n < 0 && errno == EINTR) continue;
            return drop(fd);
        }
        got += static_cast<size_t>(n);
        if (got >= sizeof(QNX_MSG_HDR) && want == sizeof(QNX_MSG_HDR)) {
            const auto *h = reinterpret_cast<const QNX_MSG_HDR *>(in.data());
            /* A type without blocks is its fixed body only
             * (VORLEN_CARRIES_BLOCKS); of those the library sends, only a
             * proxy attach announces more than that. */
            size_t body = VORLEN_CARRIES_BLOCKS(h->ev.typ) || h->ev.typ != MT_PROXY_ATTACH
                              ? h->msg_len
                              : sizeof(QNX_MSG_PROXY_ATTACH);
            want += body;
            if (want > MAX_REQUEST) return drop(fd);
            if (want > in.size()) in.resize(want);
        }
    }
    if (got > want) return drop(fd);
    const auto *h = reinterpret_cast<const QNX_MSG_HDR *>(in.data());
    Conn &c = conns[fd];
    if (c.pid == 0) {
        c.pid = h->from_pid;
        pid_fd[c.pid] = fd;
    }
    size_t len = want - sizeof *h;
    switch (h->ev.typ) {
    case MT_RECEIVE:
    case MT_NB_RECEIVE:
        if (len < sizeof(QNX_MSG_RCV)) return answer(fd, EINVAL, 0, 0);
        return process_rcv(fd, *reinterpret_cast<const QNX_MSG_RCV *>(h->data));
    case MT_SEND:
        return process_snd(fd, len);
    case MT_REPLY:
        return process_rpl(fd, len);
    default:
        return answer(fd, ESRCH, 0, 0);
    }
}

} // namespace

int main(int argc, char **argv) {
    int port = 0;
    if (argc == 3 && std::string_view(argv[1]) == "-p") {
        std::string_view s(argv[2]);
        auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), port);
        if (ec != std::errc() || end != s.data() + s.size()) port = 0;
    }
    if (port < VORLEN_PORT_MIN || port > VORLEN_PORT_MAX) {
        fprintf(stderr, "usage: bench_relay -p PORT\n");
        return 2;
    }
    signal(SIGPIPE, SIG_IGN);
    int lsock = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    int one = 1;
    setsockopt(lsock, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(port));
    if (bind(lsock, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 ||
        listen(lsock, SOMAXCONN) != 0) {
        perror("bench_relay (listen)");
        return 1;
    }
    /* The daemon's Unix-domain name too, so that B-unix is the same relay. */
    int usock = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    sockaddr_un u{};
    u.sun_family = AF_UNIX;
    int un = snprintf(u.sun_path + 1, sizeof u.sun_path - 1, VORLEN_UNIX_NAME_FORMAT, port);
    if (bind(usock, reinterpret_cast<sockaddr *>(&u),
             static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 +
                                    static_cast<size_t>(un))) != 0 ||
        listen(usock, SOMAXCONN) != 0) {
        perror("bench_relay (listen, unix)");
        return 1;
    }
    int ep = epoll_create1(EPOLL_CLOEXEC);
    epoll_event ev{};
    ev.events = EPOLLIN;
    for (int l : {lsock, usock}) {
        ev.data.fd = l;
        epoll_ctl(ep, EPOLL_CTL_ADD, l, &ev);
    }

    epoll_event evs[256];
    for (;;) {
        int n = epoll_wait(ep, evs, 256, -1);
        for (int i = 0; i < n; i++) {
            int fd = evs[i].data.fd;
            if (fd != lsock && fd != usock) {
                serve(fd);
                continue;
            }
            int c;
            while ((c = accept4(fd, nullptr, nullptr, SOCK_CLOEXEC)) >= 0) {
                if (fd == lsock) setsockopt(c, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
                if (static_cast<size_t>(c) >= conns.size()) conns.resize(c + 1024);
                ev.data.fd = c;
                epoll_ctl(ep, EPOLL_CTL_ADD, c, &ev);
            }
        }
    }
}
