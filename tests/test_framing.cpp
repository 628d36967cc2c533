/* test_framing.cpp - the daemon's framing rules, byte for byte, and its behaviour under hostile
 * input */
#include <chrono>
#include <cstring>
#include <regex>
#include <thread>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/socket.h>

#include <gtest/gtest.h>

#include "vorlen_test.h"

using namespace vt;

/* The framing is the same whatever carries the bytes. */
class Framing : public TransportTest {};
VT_ON_BOTH_TRANSPORTS(Framing);

TEST_P(Framing, UnassignedAndOutOfTableTypesAreRefusedAndTheConnectionStaysInStep) {
    Daemon d({"-v", "2"});
    RawClient c(d.port());
    /* Before its first request the peer is its connection; after it, its process. */
    c.send_bytes(hdr(65535, c.pid(), 0));
    expect_status(c, ESRCH);
    for (uint16_t typ : {0, MT_NTYPES, 65535}) {
        c.send_bytes(hdr(typ, c.pid(), 0));
        expect_status(c, ESRCH);
    }
    /* Type 9 carries the process's flags in a fixed body of four bytes. */
    QNX_MSG_PFLAGS f{VORLEN_PFLAG_SIGCATCH};
    c.send_bytes(req(MT_PFLAGS, c.pid(), f));
    expect_status(c, 0);
    c.send_bytes(hdr(MT_PFLAGS, c.pid(), 0));
    expect_status(c, EINVAL);
    c.send_bytes(names_listing(c.pid()));
    expect_names_listing(c);
    c.send_bytes(hdr(65535, c.pid(), 0));
    expect_status(c, ESRCH);
    const std::string log = read_file(d.workdir() + "/vorlen.log");
    EXPECT_TRUE(std::regex_search(log, std::regex("Err: undefined message 65535 from fd [0-9]+\n")))
        << log;
    EXPECT_TRUE(std::regex_search(log, std::regex("Err: undefined message 65535 from 0//" +
                                                  std::to_string(c.pid()) + " \\(fd [0-9]+\\)\n")))
        << log;
}

TEST_P(Framing, ShortHeadersAreDiscardedExactlyAndAnsweredEinval) {
    Daemon d;
    RawClient c(d.port());
    /* msg_len 39 < 40: the 39 bytes that follow are the request's and go. */
    auto bad = hdr(MT_NAME_ATTACH, c.pid(), 39);
    bad.insert(bad.end(), 39, 'x');
    c.send_bytes(bad);
    expect_status(c, EINVAL);
    c.send_bytes(names_listing(c.pid()));
    expect_names_listing(c);

    /* msg_len 20 followed by 20 bytes; and a zero-length MT_SIN. */
    bad = hdr(MT_NAME_ATTACH, c.pid(), 20);
    bad.insert(bad.end(), 20, 0);
    auto zero = hdr(MT_SIN, c.pid(), 0);
    bad.insert(bad.end(), zero.begin(), zero.end());
    auto good = names_listing(c.pid());
    bad.insert(bad.end(), good.begin(), good.end());
    c.send_bytes(bad);
    expect_status(c, EINVAL);
    expect_status(c, EINVAL);
    expect_names_listing(c);
}

TEST_P(Framing, RequestsArrivingInPiecesOrTogetherAreEachServedOnce) {
    Daemon d;
    RawClient c(d.port());
    auto r = names_listing(c.pid());
    for (size_t i = 0; i < r.size(); i++) {
        c.send_bytes(&r[i], 1);
        if (i + 1 < r.size()) {
            EXPECT_TRUE(c.silent(2));
        }
    }
    expect_names_listing(c);

    std::vector<uint8_t> three;
    for (int i = 0; i < 3; i++) three.insert(three.end(), r.begin(), r.end());
    c.send_bytes(three);
    for (int i = 0; i < 3; i++) expect_names_listing(c);
    EXPECT_TRUE(c.silent(20));
}

TEST_P(Framing, ProxyAttachIsFollowedByItsFixedBodyOnly) {
    Daemon d;
    RawClient c(d.port());
    QNX_MSG_PROXY_ATTACH pa{};
    pa.to_pid = c.pid();
    pa.nbytes = 10;
    memcpy(pa.data, "0123456789", 10);
    auto r = hdr(MT_PROXY_ATTACH, c.pid(), 134);
    const uint8_t *p = reinterpret_cast<const uint8_t *>(&pa);
    r.insert(r.end(), p, p + sizeof pa);
    auto next = names_listing(c.pid());
    r.insert(r.end(), next.begin(), next.end());
    c.send_bytes(r);
    QNX_MSG_HDR h = c.recv_hdr();
    EXPECT_EQ(h.ev.retcode, 0);
    EXPECT_EQ(h.msg_len, 124u);
    auto body = c.recv_exact(124);
    int32_t id;
    memcpy(&id, body.data(), 4);
    EXPECT_EQ(id, -2);
    expect_names_listing(c);
}

/* A claim that is not the connecting process is answered ESRCH once and the
 * connection is closed: what was sent behind the claim is never served. */
TEST_P(Framing, AConnectionClaimingNoRealPidIsRefusedOnceAndClosed) {
    Daemon d;
    Sleeper stranger, gone;
    const pid_t dead = gone.pid();
    gone.kill();
    /* No pid, a pid with no process behind it, and living processes that do
     * not hold the connection (the stranger was forked before it existed). */
    for (int32_t bogus : {0, -1, -2, int32_t(dead), int32_t(stranger.pid()), int32_t(getppid())}) {
        RawClient c(d.port());
        auto r = names_listing(bogus);
        auto again = names_listing(c.pid());
        r.insert(r.end(), again.begin(), again.end());
        c.send_bytes(r);
        expect_status(c, ESRCH);
        EXPECT_TRUE(c.closed_by_peer()) << "pid " << bogus;
    }
    EXPECT_TRUE(list_processes(d.port()).empty());

    RawClient c(d.port());
    c.send_bytes(names_listing(c.pid()));
    expect_names_listing(c);
    auto procs = list_processes(d.port());
    ASSERT_EQ(procs.size(), 1u);
    EXPECT_EQ(procs[0].pid, c.pid());
}

TEST_P(Framing, AClientStoppedHalfwayThroughARequestDelaysNobody) {
    Daemon d;
    RawClient slow(d.port()), fast(d.port());
    auto r = names_listing(slow.pid());
    slow.send_bytes(r.data(), 10); /* and then nothing, like a stopped process */
    for (int i = 0; i < 50; i++) {
        fast.send_bytes(names_listing(fast.pid()));
        expect_names_listing(fast);
    }
    slow.send_bytes(r.data() + 10, r.size() - 10);
    expect_names_listing(slow);
}

TEST_P(Framing, AClientThatNeverReadsIsDroppedWithoutDelayingOthers) {
    Daemon d({"-v", "2", "--max-unread", "4194304"});
    RawClient hog(d.port()), other(d.port());
    /* Process listings answer 28 request bytes with hundreds of answer bytes. */
    QNX_MSG_SIN s{};
    s.typ = SIN_PROCESSES;
    auto one = req(MT_SIN, hog.pid(), s);
    std::vector<uint8_t> burst;
    for (int i = 0; i < 2000; i++) burst.insert(burst.end(), one.begin(), one.end());
    fcntl(hog.fd(), F_SETFL, O_NONBLOCK);
    bool dropped = false;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!dropped && std::chrono::steady_clock::now() < deadline) {
        ssize_t w = ::send(hog.fd(), burst.data(), burst.size(), MSG_NOSIGNAL);
        if (w < 0 && errno != EAGAIN) dropped = true;
        other.send_bytes(names_listing(other.pid()));
        expect_names_listing(other);
        if (::testing::Test::HasFailure()) return;
        if (w < 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    EXPECT_TRUE(dropped || hog.closed_by_peer(5000));
    EXPECT_NE(d.stdout_text().find("dropped: unread answers over the bound"), std::string::npos);
    EXPECT_EQ(daemon_status(d.port()).dropped_unread, 1u); /* and counted in the health view */
    /* The hog's process record went with its connection. */
    EXPECT_TRUE(wait_until([&] { return process_record(d.port(), hog.pid()).pid == 0; }));
    other.send_bytes(names_listing(other.pid()));
    expect_names_listing(other);
}

TEST_P(Framing, OversizedRequestsAreDroppedUnbufferedAndRefused) {
    Daemon d;
    RawClient c(d.port());
    c.send_bytes(names_listing(c.pid()));
    expect_names_listing(c);
    auto rss = [&] {
        std::string st = read_file("/proc/" + std::to_string(d.pid()) + "/status");
        auto at = st.find("VmHWM:");
        return at == std::string::npos ? 0L : std::stol(st.substr(at + 6));
    };
    long before = rss();
    /* A Send claiming 96 MiB: header and fixed body, then every byte of it. */
    uint32_t len = 96u << 20;
    auto r = hdr(MT_SEND, c.pid(), len);
    QNX_MSG_HDR_SND snd{};
    snd.to_pid = c.pid();
    snd.nblocks = 1;
    const uint8_t *p = reinterpret_cast<const uint8_t *>(&snd);
    r.insert(r.end(), p, p + sizeof snd);
    append_u32(r, len - 16);
    c.send_bytes(r);
    std::vector<uint8_t> chunk(1 << 20, 'z');
    size_t left = len - 16;
    while (left > 0) {
        size_t n = left < chunk.size() ? left : chunk.size();
        c.send_bytes(chunk.data(), n);
        left -= n;
    }
    expect_status(c, EFAULT);
    c.send_bytes(names_listing(c.pid()));
    expect_names_listing(c);
    EXPECT_LT(rss() - before, 32L * 1024) << "the oversized request was buffered";
}

TEST_P(Framing, GarbageCostsOnlyItsOwnConnection) {
    Daemon d;
    RawClient good(d.port());
    {
        RawClient http(d.port());
        std::string get = "GET / HTTP/1.1\r\nHost: localhost\r\n\r\n";
        http.send_bytes(get.data(), get.size());
        RawClient huge(d.port());
        auto h = hdr(MT_SEND, huge.pid(), 0xFFFFFFFFu);
        huge.send_bytes(h);
        RawClient noise(d.port());
        std::vector<uint8_t> rnd(4096);
        uint32_t x = 12345;
        for (auto &b : rnd) b = uint8_t((x = x * 1103515245 + 12345) >> 16);
        noise.send_bytes(rnd);
        good.send_bytes(names_listing(good.pid()));
        expect_names_listing(good);
    }
    good.send_bytes(names_listing(good.pid()));
    expect_names_listing(good);
    EXPECT_TRUE(d.alive());
}

TEST(FramingConnections, ABurstOfConnectionsIsAcceptedWithoutStalls) {
    Daemon d;
    constexpr int N = 200;
    std::vector<std::unique_ptr<RawClient>> cs;
    auto t0 = std::chrono::steady_clock::now();
    for (int i = 0; i < N; i++) cs.push_back(std::make_unique<RawClient>(d.port()));
    std::vector<int> fds;
    for (auto &c : cs) fds.push_back(c->fd());
    pid_t me = hold_all(fds);
    /* One process's connections, each served in the order they were
     * accepted: the newest holds its record, and an older one never takes it
     * back. */
    auto r = names_listing(me);
    for (auto &c : cs) {
        c->send_bytes(r);
        expect_names_listing(*c);
    }
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - t0);
    /* A dropped SYN costs at least a one-second retry. */
    EXPECT_LT(ms.count(), 1000);
    release_holder(me);
}

TEST(FramingConnections, DescriptorsBeyond1024AreServed) {
    Daemon d;
    struct rlimit rl;
    getrlimit(RLIMIT_NOFILE, &rl);
    if (rl.rlim_cur < 1200) {
        rl.rlim_cur = rl.rlim_max < 1200 ? rl.rlim_max : 1200;
        setrlimit(RLIMIT_NOFILE, &rl);
    }
    ASSERT_GE(rl.rlim_cur, 1200u) << "this test needs 1200 descriptors";
    std::vector<std::unique_ptr<RawClient>> cs;
    for (int i = 0; i < 1100; i++) cs.push_back(std::make_unique<RawClient>(d.port()));
    std::vector<int> fds;
    for (auto &c : cs) fds.push_back(c->fd());
    pid_t me = hold_all(fds);
    auto r = names_listing(me);
    for (auto &c : cs) {
        c->send_bytes(r);
        expect_names_listing(*c);
    }
    release_holder(me);
}
