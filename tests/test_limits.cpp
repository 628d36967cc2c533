/* test_limits.cpp - who may connect, and the limits that keep one client from hurting the rest */
#include <cstring>
#include <memory>

#include <arpa/inet.h>
#include <csignal>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <linux/sockios.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "vorlen_test.h"

using namespace vt;

namespace {

/* peak_kib is the daemon's peak resident memory, VmHWM, in KiB. */
long peak_kib(pid_t pid) {
    std::string st = read_file("/proc/" + std::to_string(pid) + "/status");
    size_t at = st.find("VmHWM:");
    return at == std::string::npos ? -1 : std::stol(st.substr(at + 6));
}

} // namespace

TEST(Limits, ConnectionsBeyondTheLimitAreRefusedAndLogged) {
    Daemon d({"--max-connections", "3", "--max-connections-per-user", "3", "-v", "2"});
    std::vector<std::unique_ptr<RawClient>> cs;
    for (int i = 0; i < 3; i++) {
        cs.push_back(std::make_unique<RawClient>(d.port()));
        EXPECT_TRUE(listing_answered(*cs.back()));
    }
    RawClient fourth(d.port());
    EXPECT_TRUE(fourth.closed_by_peer());
    EXPECT_NE(d.stdout_text().find("refused: 3 connections"), std::string::npos);
    /* A freed place is taken again. */
    cs[0]->close();
    EXPECT_TRUE(wait_until([&] {
        RawClient again(d.port());
        return again.silent(20) && listing_answered(again);
    }));
}

TEST(Limits, TheRequestBoundIsAnOption) {
    Daemon d({"--max-request", "1000"});
    RawClient c(d.port());
    c.send_bytes(send_req(MT_SEND, c.pid(), c.pid(), {std::string(2000, 'x')}));
    QNX_MSG_HDR h = c.recv_hdr();
    EXPECT_EQ(h.ev.retcode, EFAULT);
    EXPECT_TRUE(listing_answered(c));
    /* Within the bound a Send is taken (here: queued for a living process). */
    Sleeper target;
    c.send_bytes(send_req(MT_SEND, c.pid(), target.pid(), {std::string(900, 'y')}));
    EXPECT_TRUE(wait_state(d.port(), c.pid(), STATE_SEND_BLOCKED));
}

/* The tables of names, proxies and timers take the sizes given: every id up
 * to the size works, the one beyond is refused, and the listings show all. */
TEST(Limits, TableSizesAreOptions) {
    Daemon d({"--max-names", "70", "--max-proxies", "70", "--max-timers", "70"});
    std::vector<pid_t> proxies;
    for (int i = 0; i < 70; i++) {
        proxies.push_back(qnx_proxy_attach(0, nullptr, 0, -1));
        ASSERT_EQ(proxies.back(), -2 - i) << strerror(errno);
        ASSERT_EQ(mktimer(0, NOTIFY_SLEEP, nullptr), i + 1) << strerror(errno);
        ASSERT_EQ(qnx_name_attach(0, ("limits/" + std::to_string(i)).c_str()), i + 1);
    }
    errno = 0;
    EXPECT_EQ(qnx_proxy_attach(0, nullptr, 0, -1), -1);
    EXPECT_EQ(errno, EAGAIN);
    EXPECT_EQ(mktimer(0, NOTIFY_SLEEP, nullptr), -1);
    EXPECT_EQ(qnx_name_attach(0, "limits/full"), -1);
    /* The last proxy and timer are as good as the first. */
    EXPECT_EQ(Trigger(-71), 0);
    EXPECT_EQ(Receive(-71, nullptr, 0), -71);
    EXPECT_EQ(rmtimer(70), 0);
    EXPECT_EQ(list_proxies(d.port()).size(), 70u);
    EXPECT_EQ(list_timers(d.port()).size(), 69u);
    EXPECT_EQ(list_names(d.port()).size(), 70u);
}

TEST(Limits, AClientReachingTheDaemonThroughThisHostsOwnAddressIsLocal) {
    struct ifaddrs *ifs = nullptr;
    ASSERT_EQ(getifaddrs(&ifs), 0);
    in_addr own{};
    bool found = false;
    for (auto *i = ifs; i; i = i->ifa_next) {
        if (!i->ifa_addr || i->ifa_addr->sa_family != AF_INET) continue;
        in_addr a = reinterpret_cast<sockaddr_in *>(i->ifa_addr)->sin_addr;
        if ((ntohl(a.s_addr) >> 24) == 127) continue;
        own = a;
        found = true;
        break;
    }
    freeifaddrs(ifs);
    if (!found) GTEST_SKIP() << "this host has no address besides loopback";
    /* The daemon listens on loopback only unless told. */
    Daemon d({"--listen", "127.0.0.1", "--listen", inet_ntoa(own)});
    int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr = own;
    to.sin_port = htons(uint16_t(d.port()));
    ASSERT_EQ(connect(s, reinterpret_cast<sockaddr *>(&to), sizeof to), 0) << strerror(errno);
    pid_t holder = hold_all({s});
    auto r = names_listing(holder);
    ASSERT_EQ(write(s, r.data(), r.size()), ssize_t(r.size()));
    QNX_MSG_HDR h;
    ASSERT_EQ(read(s, &h, sizeof h), ssize_t(sizeof h));
    EXPECT_EQ(h.ev.retcode, 0);
    close(s);
    release_holder(holder);
}

/* Headers announcing the largest request, with only a few bytes after them,
 * cost the daemon what arrived, not what was announced; on unbound
 * connections the data is not even kept. */
TEST(Limits, AnnouncedLengthsReserveNoMemory) {
    Daemon d;
    RawClient first(d.port());
    ASSERT_TRUE(listing_answered(first));
    const long before = peak_kib(d.pid());
    ASSERT_GT(before, 0);
    std::vector<std::unique_ptr<RawClient>> cs;
    for (int i = 0; i < 24; i++) {
        cs.push_back(std::make_unique<RawClient>(d.port()));
        if (i % 2) {
            ASSERT_TRUE(listing_answered(*cs.back())); /* half of them bound */
        }
        auto r = hdr(MT_SEND, cs.back()->pid(), 64u << 20);
        r.resize(r.size() + 1000, 'x');
        cs.back()->send_bytes(r);
    }
    /* Every connection is still served in turn: the partial requests came. */
    ASSERT_TRUE(listing_answered(first));
    const long grown = peak_kib(d.pid()) - before;
    EXPECT_LT(grown, 16 * 1024) << "VmHWM grew by " << grown << " KiB";
}

/* A Send whose message would pass --max-memory, or its user's share of it, is
 * refused with EAGAIN and logged; the sender stays READY and may try again. */
TEST(Limits, ASendPastTheMemoryBoundIsRefusedWithEagain) {
    const struct {
        const char *memory, *share;
        std::string logged;
    } cases[] = {
        {"1000000", "1000000", "EAGAIN (250000 bytes would pass the memory bound: "},
        {"8000000", "1000000",
         "EAGAIN (250000 bytes would pass user " + std::to_string(getuid()) + "'s share: "},
    };
    for (const auto &k : cases) {
        SCOPED_TRACE(k.logged);
        Daemon d({"--max-memory", k.memory, "--max-memory-per-user", k.share, "-v", "2"});
        Sleeper target;
        std::vector<std::unique_ptr<RawClient>> cs;
        for (int i = 0; i < 3; i++) {
            cs.push_back(std::make_unique<RawClient>(d.port()));
            ASSERT_TRUE(listing_answered(*cs.back()));
        }
        for (int i = 0; i < 2; i++) {
            cs[i]->send_bytes(
                send_req(MT_SEND, cs[i]->pid(), target.pid(), {std::string(250000, 'm')}));
            ASSERT_TRUE(wait_state(d.port(), cs[i]->pid(), STATE_SEND_BLOCKED));
        }
        cs[2]->send_bytes(
            send_req(MT_SEND, cs[2]->pid(), target.pid(), {std::string(250000, 'm')}));
        expect_status(*cs[2], EAGAIN);
        EXPECT_TRUE(listing_answered(*cs[2]));
        EXPECT_NE(d.stdout_text().find(k.logged), std::string::npos);
    }
}

/* One user's partial requests, however many, take no more than that user's
 * share of message memory: another user's Send still gets through. */
TEST(Limits, OneUsersPartialRequestsDoNotRefuseAnotherUsersSend) {
    if (getuid() != 0) GTEST_SKIP() << "needs a second user";
    Daemon d({"--max-memory", "2000000", "-v", "2"}); /* a share of 500000 each */
    Sleeper target;
    int go[2];
    ASSERT_EQ(pipe(go), 0);
    const int port = d.port();
    pid_t flood = spawn([port, &go] {
        if (setgid(65534) != 0 || setuid(65534) != 0) return 1;
        std::vector<std::unique_ptr<RawClient>> cs;
        for (int i = 0; i < 8; i++) {
            cs.push_back(std::make_unique<RawClient>(port, Transport::unix_socket));
            REQUIRE(listing_answered(*cs.back()));
            auto r = hdr(MT_SEND, cs.back()->pid(), 300000);
            r.resize(r.size() + 200000, 'p');
            cs.back()->send_bytes(r);
        }
        /* The daemon has taken every byte (kept or dropped) once none is
         * left in the sockets. */
        for (auto &c : cs)
            REQUIRE(wait_until([&] {
                int queued = -1;
                return ioctl(c->fd(), SIOCOUTQ, &queued) == 0 && queued == 0;
            }));
        REQUIRE(write(go[1], "f", 1) == 1);
        pause();
        return 0;
    });
    close(go[1]);
    char c;
    ASSERT_EQ(read(go[0], &c, 1), 1) << "exit " << wait_exit(flood);
    RawClient sender(d.port());
    ASSERT_TRUE(listing_answered(sender));
    sender.send_bytes(send_req(MT_SEND, sender.pid(), target.pid(), {std::string(200000, 's')}));
    EXPECT_TRUE(wait_state(d.port(), sender.pid(), STATE_SEND_BLOCKED)) << d.stdout_text();
    EXPECT_NE(d.stdout_text().find("user 65534 holds"), std::string::npos);
    release_holder(flood);
    close(go[0]);
}

/* The bound on unread answers holds for a connection's first answer too: one
 * large answer to a receiver that never reads drops it. */
TEST(Limits, TheFirstAnswerOverTheUnreadBoundDropsTheConnection) {
    Daemon d({"--max-unread", "1000000"});
    RawClient receiver(d.port());
    int small = 4096;
    setsockopt(receiver.fd(), SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    ASSERT_TRUE(listing_answered(receiver));
    receive(receiver, receiver.pid(), 0, 32u << 20);
    ASSERT_TRUE(wait_state(d.port(), receiver.pid(), STATE_RECEIVE_BLOCKED));
    RawClient sender(d.port());
    sender.send_bytes(
        send_req(MT_SEND, sender.pid(), receiver.pid(), {std::string(16u << 20, 'u')}));
    /* The receiver is removed and its sender released. */
    EXPECT_EQ(sender.recv_hdr(10000).ev.retcode, ESRCH);
    EXPECT_EQ(process_record(d.port(), receiver.pid()).pid, 0);
}

/* A connection that is not bound by a verified request in time is closed,
 * whether it sent nothing or only part of a request; bound ones stay. */
TEST(Limits, AConnectionWithoutAFirstRequestInTimeIsClosed) {
    Daemon d({"--first-request-timeout", "200", "-v", "2"});
    RawClient bound(d.port());
    ASSERT_TRUE(listing_answered(bound));
    RawClient idle(d.port()), half(d.port());
    auto r = names_listing(half.pid());
    half.send_bytes(r.data(), r.size() / 2);
    EXPECT_TRUE(idle.closed_by_peer());
    EXPECT_TRUE(half.closed_by_peer());
    EXPECT_TRUE(listing_answered(bound));
    EXPECT_NE(d.stdout_text().find("closed: no request within 200 ms"), std::string::npos);
}

/* One user cannot take every place: past its cap its connections are
 * refused at accept and logged, and another user still gets in. */
TEST(Limits, ConnectionsAreCappedPerUser) {
    Daemon d({"--max-connections-per-user", "3", "-v", "2"});
    std::vector<std::unique_ptr<RawClient>> cs;
    for (int i = 0; i < 3; i++) {
        cs.push_back(std::make_unique<RawClient>(d.port()));
        ASSERT_TRUE(listing_answered(*cs.back()));
    }
    RawClient fourth(d.port());
    EXPECT_TRUE(fourth.closed_by_peer());
    EXPECT_NE(d.stdout_text().find("user " + std::to_string(getuid()) + " has 3 connections"),
              std::string::npos);
    if (getuid() == 0) {
        const int port = d.port();
        pid_t other = spawn([port] {
            if (setgid(65534) != 0 || setuid(65534) != 0) return 1;
            RawClient c(port);
            REQUIRE(listing_answered(c));
            return 0;
        });
        EXPECT_EQ(wait_exit(other), 0);
    }
    /* A place the user gives up is the user's again. */
    cs[0]->close();
    EXPECT_TRUE(wait_until([&] {
        RawClient again(d.port());
        return again.silent(20) && listing_answered(again);
    }));
}

/* The traffic counts hold more than 32 bits: past 2 GiB the listing shows the
 * largest value its field can hold, never a wrapped one. A Reply that is
 * refused is not counted. */
TEST(Limits, TrafficCountsDoNotOverflowAndRefusedRepliesDoNotCount) {
    Daemon d;
    RawClient sender(d.port()), receiver(d.port());
    ASSERT_TRUE(listing_answered(sender));
    ASSERT_TRUE(listing_answered(receiver));
    receiver.send_bytes(send_req(MT_REPLY, receiver.pid(), sender.pid(), {"no"}));
    expect_status(receiver, ESRCH);
    EXPECT_EQ(process_record(d.port(), receiver.pid()).rpl_msg, 0);

    const auto big = send_req(MT_SEND, sender.pid(), receiver.pid(), {std::string(64u << 19, 'c')});
    for (int i = 0; i < 66; i++) { /* 66 * 32 MiB: past 2 GiB */
        receive(receiver, receiver.pid(), 0, 0);
        sender.send_bytes(big);
        ASSERT_EQ(receiver.recv_hdr().from_pid, sender.pid());
        receiver.send_bytes(send_req(MT_REPLY, receiver.pid(), sender.pid(), {}));
        expect_status(receiver, 0);
        ASSERT_EQ(sender.recv_hdr().ev.retcode, 0);
    }
    QNX_MSG_SIN_RPID r = process_record(d.port(), sender.pid());
    EXPECT_EQ(r.send_bytes, INT32_MAX);
    EXPECT_EQ(r.send_msg, 66);
    EXPECT_EQ(process_record(d.port(), receiver.pid()).rpl_msg, 66);
}

/* Answers waiting in connections that are never read count against their
 * user's share and the daemon's bound. A receiver takes a Send from each of
 * its own senders, which never read, makes each reply as long as a request
 * may be (Writemsg of one byte near the end), then Replies to each with no
 * bytes: past the share its Writemsg is refused with EFAULT, the daemon's
 * memory stays within the bound, and another user's Send is still delivered. */
TEST(Limits, AnswersNobodyReadsCountAgainstTheBound) {
    constexpr uint32_t max_request = 8u << 20;
    constexpr long max_memory = 16l << 20;
    Daemon d({"--max-memory", std::to_string(max_memory), "--max-memory-per-user",
              std::to_string(12u << 20), "--max-request", std::to_string(max_request), "-v", "2"});
    RawClient receiver(d.port(), Transport::unix_socket);
    ASSERT_TRUE(listing_answered(receiver));
    std::vector<std::unique_ptr<RawClient>> senders;
    for (int i = 0; i < 24; i++) {
        senders.push_back(std::make_unique<RawClient>(d.port(), Transport::unix_socket));
        ASSERT_TRUE(listing_answered(*senders.back()));
    }
    const long before = peak_kib(d.pid());
    ASSERT_GT(before, 0);
    for (auto &s : senders) s->send_bytes(send_req(MT_SEND, s->pid(), receiver.pid(), {"m"}));
    std::vector<pid_t> held;
    for (size_t i = 0; i < senders.size(); i++) {
        receive(receiver, receiver.pid(), 0, 16);
        QNX_MSG_HDR m = receiver.recv_hdr();
        ASSERT_EQ(m.ev.retcode, 0) << d.stdout_text();
        ASSERT_EQ(receiver.recv_exact(m.msg_len).size(), 1u);
        held.push_back(m.from_pid);
    }
    const uint32_t at = max_request - 2;
    int written = 0, refused = 0;
    for (pid_t s : held) {
        auto w = send_req(MT_REPLY, receiver.pid(), s,
                          {std::string(reinterpret_cast<const char *>(&at), 4), "w"});
        reinterpret_cast<QNX_MSG_HDR *>(w.data())->flags.all = VORLEN_FLAG_WRITEMSG;
        receiver.send_bytes(w);
        uint16_t rc = receiver.recv_hdr().ev.retcode;
        ASSERT_TRUE(rc == 0 || rc == EFAULT) << rc;
        (rc == 0 ? written : refused)++;
    }
    for (pid_t s : held) {
        receiver.send_bytes(send_req(MT_REPLY, receiver.pid(), s, {}));
        expect_status(receiver, 0);
    }
    const long grown = peak_kib(d.pid()) - before;
    EXPECT_LT(grown, (max_memory >> 10) + 64 * 1024) << "VmHWM grew by " << grown << " KiB";
    EXPECT_GT(written, 0);
    EXPECT_GT(refused, 0);
    if (getuid() == 0) {
        /* Another user's Send gets through. */
        const int port = d.port();
        pid_t other = spawn([port] {
            if (setgid(65534) != 0 || setuid(65534) != 0) return 1;
            RawClient r(port, Transport::unix_socket), s(port, Transport::unix_socket);
            REQUIRE(listing_answered(r) && listing_answered(s));
            receive(r, r.pid(), 0, 2048);
            s.send_bytes(send_req(MT_SEND, s.pid(), r.pid(), {std::string(1024, 's')}));
            QNX_MSG_HDR m = r.recv_hdr(3000);
            REQUIRE(m.ev.retcode == 0 && m.from_pid == s.pid() && m.msg_len == 1024);
            REQUIRE(r.recv_exact(1024).size() == 1024);
            r.send_bytes(send_req(MT_REPLY, r.pid(), s.pid(), {}));
            REQUIRE(r.recv_hdr().ev.retcode == 0 && s.recv_hdr().ev.retcode == 0);
            return 0;
        });
        EXPECT_EQ(wait_exit(other), 0) << d.stdout_text();
    }
}

/* An answer queued for another process waits in that process's connection
 * and counts for its user, but it is the request that would queue it past
 * that user's share that is refused: a Send to a waiting receiver with
 * EAGAIN, a Reply to a waiting sender with EFAULT. The waiting process keeps
 * waiting. Here root's share is full and the requests come from nobody. */
TEST(Limits, AnAnswerThatWouldWaitPastItsUsersShareRefusesTheRequest) {
    if (getuid() != 0) GTEST_SKIP() << "needs a second user";
    Daemon d({"--max-memory", "8000000", "--max-memory-per-user", "2100000", "-v", "2"});
    const int port = d.port();
    Sleeper target;
    std::vector<std::unique_ptr<RawClient>> full; /* 1.5 MB of root's 2.1 MB */
    for (int i = 0; i < 3; i++) {
        full.push_back(std::make_unique<RawClient>(port, Transport::unix_socket));
        ASSERT_TRUE(listing_answered(*full.back()));
        full.back()->send_bytes(
            send_req(MT_SEND, full.back()->pid(), target.pid(), {std::string(500000, 'f')}));
        ASSERT_TRUE(wait_state(port, full.back()->pid(), STATE_SEND_BLOCKED));
    }
    const std::string big(700000, 'b');
    RawClient waiting(port, Transport::unix_socket);
    ASSERT_TRUE(listing_answered(waiting));

    /* A Send to a receiver of root that waits for it. */
    receive(waiting, waiting.pid(), 0, 1u << 20);
    ASSERT_TRUE(wait_state(port, waiting.pid(), STATE_RECEIVE_BLOCKED));
    pid_t to = waiting.pid();
    pid_t sender = spawn([port, to, &big] {
        if (setgid(65534) != 0 || setuid(65534) != 0) return 1;
        RawClient s(port, Transport::unix_socket);
        REQUIRE(listing_answered(s));
        s.send_bytes(send_req(MT_SEND, s.pid(), to, {big}));
        REQUIRE(s.recv_hdr().ev.retcode == EAGAIN);
        return 0;
    });
    EXPECT_EQ(wait_exit(sender), 0) << d.stdout_text();
    EXPECT_EQ(process_record(port, to).block_state, STATE_RECEIVE_BLOCKED);
    EXPECT_NE(d.stdout_text().find("EAGAIN (delivering it to " + std::to_string(to) +
                                   " would pass user 0's share"),
              std::string::npos);

    /* A Reply to a sender of root that waits for it. */
    int p[2], go[2];
    ASSERT_EQ(pipe(p), 0);
    ASSERT_EQ(pipe(go), 0);
    pid_t receiver = spawn([port, &p, &go, &big] {
        if (setgid(65534) != 0 || setuid(65534) != 0) return 1;
        RawClient r(port, Transport::unix_socket);
        REQUIRE(listing_answered(r));
        pid_t me = r.pid();
        REQUIRE(write(p[1], &me, sizeof me) == sizeof me);
        receive(r, me, 0, 16);
        QNX_MSG_HDR m = r.recv_hdr();
        REQUIRE(m.ev.retcode == 0 && r.recv_exact(m.msg_len).size() == m.msg_len);
        r.send_bytes(send_req(MT_REPLY, me, m.from_pid, {big}));
        REQUIRE(r.recv_hdr().ev.retcode == EFAULT);
        REQUIRE(write(p[1], &me, sizeof me) == sizeof me);
        char c;
        REQUIRE(read(go[0], &c, 1) == 1);
        return 0;
    });
    close(p[1]); /* read ends when the child has gone */
    pid_t rpid = 0;
    ASSERT_EQ(read(p[0], &rpid, sizeof rpid), ssize_t(sizeof rpid));
    RawClient asking(port, Transport::unix_socket);
    ASSERT_TRUE(listing_answered(asking));
    asking.send_bytes(send_req(MT_SEND, asking.pid(), rpid, {"m"}));
    EXPECT_EQ(read(p[0], &rpid, sizeof rpid), ssize_t(sizeof rpid)) << "no EFAULT";
    EXPECT_EQ(process_record(port, asking.pid()).block_state, STATE_REPLY_BLOCKED);
    EXPECT_TRUE(asking.silent(5));
    EXPECT_EQ(write(go[1], "g", 1), 1);
    EXPECT_EQ(wait_exit(receiver), 0) << d.stdout_text();
    for (int fd : {p[0], go[0], go[1]}) close(fd);
}
