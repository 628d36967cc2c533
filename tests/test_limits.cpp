/* test_limits.cpp - who may connect, and the limits that keep one client from hurting the rest */
#include <cstring>
#include <memory>

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "vorlen_test.h"

using namespace vt;

namespace {

bool listing_answered(RawClient &c) {
    c.send_bytes(names_listing(c.pid()));
    QNX_MSG_HDR h = c.recv_hdr();
    if (h.ev.retcode != 0) return false;
    return c.recv_exact(h.msg_len).size() == h.msg_len;
}

} // namespace

TEST(Limits, ConnectionsBeyondTheLimitAreRefusedAndLogged) {
    Daemon d({"--max-connections", "3", "-v", "2"});
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
