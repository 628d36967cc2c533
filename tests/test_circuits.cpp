/* test_circuits.cpp - circuits' stubs among the process records: the sweep and claimed pids */
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "vorlen_test.h"

using namespace vt;

namespace {

/* Two is a plant of two nodes on this host, without namespaces (so without
 * root): node 1 links on 127.0.0.1, node 2 on 127.0.0.2, each on a free port,
 * with certificates made by vorlen-certs. With kept, each daemon keeps its
 * state file (in its working directory) and a restore grace of grace s. */
struct Two {
    std::string dir = make_tempdir();
    std::unique_ptr<Daemon> d[2];
    explicit Two(bool kept = false, const char *grace = "30") {
        if (!plant_certs(dir, {"n1", "n2"})) return;
        FILE *f = fopen((dir + "/netmap").c_str(), "w");
        if (!f) return;
        fprintf(f, "1 127.0.0.1:%d n1\n2 127.0.0.2:%d n2\n", free_port(), free_port());
        fclose(f);
        for (int n = 1; n <= 2; n++) {
            std::vector<std::string> args = {"-v", "5", "--node", std::to_string(n)};
            if (kept) {
                args.push_back("--restore-grace");
                args.push_back(grace);
            } else {
                args.push_back("--no-state");
            }
            for (auto &o : node_options(dir, "n" + std::to_string(n), dir + "/netmap"))
                args.push_back(o);
            d[n - 1] = std::make_unique<Daemon>(args);
        }
    }
    ~Two() {
        d[0].reset();
        d[1].reset();
        if (system(("rm -rf '" + dir + "'").c_str()) != 0) ADD_FAILURE() << "rm " << dir;
    }
    Daemon &node(int n) { return *d[n - 1]; }
    bool logged(int n, const std::string &text) {
        return node(n).stdout_text().find(text) != std::string::npos;
    }
    size_t count(int n, const std::string &text) {
        const std::string out = node(n).stdout_text();
        size_t k = 0;
        for (size_t at = out.find(text); at != std::string::npos; at = out.find(text, at + 1)) k++;
        return k;
    }
    /* again waits until the link is up a second time, seen from node n. */
    bool again(int n) {
        const std::string other = "node " + std::to_string(3 - n) + " up";
        return wait_until([&] { return count(n, other) >= 2; }, 15000);
    }
    bool up() {
        return d[0] && d[1] &&
               wait_until([&] { return logged(1, "node 2 up") && logged(2, "node 1 up"); }, 15000);
    }
};

/* attach makes a circuit from p to pid of node nid; its answer. */
QNX_MSG_VC_RES attach(Peer &p, int32_t nid, int32_t pid) {
    QNX_MSG_VC_ATTACH a{};
    a.nid = nid;
    a.pid = pid;
    p.c.send_bytes(req(MT_VC_ATTACH, p.pid(), a));
    QNX_MSG_HDR h = p.c.recv_hdr();
    EXPECT_EQ(h.ev.retcode, 0);
    QNX_MSG_VC_RES r{};
    if (h.ev.retcode == 0 && h.msg_len == sizeof r) {
        auto b = p.c.recv_exact(sizeof r);
        memcpy(&r, b.data(), sizeof r);
    }
    EXPECT_TRUE(VORLEN_IS_VID(r.vid) && VORLEN_IS_VID(r.far_vid));
    return r;
}

/* Joined is a server bound on node 1 and a client bound on node 2 with a
 * circuit to it: r, the client's VID in vid and the server's for the
 * client in far_vid. */
struct Joined {
    Peer srv, cli;
    QNX_MSG_VC_RES r{};
    explicit Joined(Two &t) : srv(t.node(1).port()), cli(t.node(2).port()) {
        srv.bind();
        cli.bind();
        r = attach(cli, 1, srv.pid());
    }
};

/* A circuit to a process that never connected puts its stub right behind
 * that process's record. The sweep that finds the process gone ends the
 * circuit with it, and must not stumble over the stub that goes meanwhile;
 * the sender through the circuit gets ESRCH. */
TEST(Circuits, SweepOfTheirGoneProcessEndsThem) {
    Two t;
    ASSERT_TRUE(t.up());
    Sleeper s;
    Peer cli(t.node(2).port());
    cli.bind();
    QNX_MSG_VC_RES r = attach(cli, 1, s.pid());
    cli.send(r.vid, {"queued for a process that never receives"});
    EXPECT_TRUE(cli.c.silent(100));
    s.kill();
    ASSERT_EQ(kill(t.node(1).pid(), SIGINT), 0); /* the sweep, now */
    QNX_MSG_HDR h = cli.c.recv_hdr(3000);
    EXPECT_EQ(h.ev.retcode, ESRCH);
    EXPECT_TRUE(t.node(1).alive());
    EXPECT_TRUE(wait_until([&] { return t.logged(1, "its process here went"); }));
    Peer probe(t.node(1).port());
    EXPECT_TRUE(listing_answered(probe.c)) << t.node(1).stdout_text();
}

/* A client of this host that claims a VID as its pid is refused, and the
 * circuit it names goes on: a stub has no process to be found gone. */
TEST(Circuits, ClaimOfAVidLeavesItsCircuit) {
    Two t;
    ASSERT_TRUE(t.up());
    Joined j(t);
    Peer &srv = j.srv, &cli = j.cli;
    const QNX_MSG_VC_RES r = j.r;
    RawClient liar(t.node(1).port());
    liar.send_bytes(names_listing(r.far_vid));
    EXPECT_TRUE(liar.closed_by_peer());
    cli.send(r.vid, {"still there"});
    srv.receive(r.far_vid);
    EXPECT_EQ(srv.data(r.far_vid), "still there");
    srv.reply(r.far_vid, {"yes"});
    srv.status(0);
    EXPECT_EQ(cli.data(0), "yes");
}

/* A Send through a circuit that a signal breaks off leaves its message with
 * the far node: the circuit takes no other until the far receiver has
 * answered it (EAGAIN), that answer finds no one and is dropped without
 * counting against the link, and the circuit carries on. */
TEST(Circuits, SendBrokenOffByASignalLeavesTheCircuitAndItsLink) {
    Two t;
    ASSERT_TRUE(t.up());
    Joined j(t);
    Peer &srv = j.srv, &cli = j.cli;
    const QNX_MSG_VC_RES r = j.r;
    cli.send(r.vid, {"withdrawn"});
    EXPECT_TRUE(cli.c.silent(50));
    cli.interrupt();
    cli.status(EINTR);
    cli.send(r.vid, {"too soon"});
    cli.status(EAGAIN);
    srv.receive(0);
    EXPECT_EQ(srv.data(r.far_vid), "withdrawn");
    srv.reply(r.far_vid, {"to no one"});
    srv.status(0);
    EXPECT_TRUE(wait_until([&] { return t.logged(2, "no longer waits, dropped"); }));
    cli.send(r.vid, {"next"});
    srv.receive(r.far_vid);
    EXPECT_EQ(srv.data(r.far_vid), "next");
    srv.reply(r.far_vid, {"answered"});
    srv.status(0);
    EXPECT_EQ(cli.data(0), "answered");
    EXPECT_FALSE(t.logged(1, "frame refused") || t.logged(2, "frame refused"))
        << t.node(1).stdout_text() << t.node(2).stdout_text();
}

/* listed tells whether the process listing of port shows pid. */
bool listed(int port, pid_t pid) {
    return process_record(port, pid).pid == pid;
}

/* restore sends MT_RESTORE for p, naming the senders it holds. */
void restore(Peer &p, const std::vector<pid_t> &held) {
    QNX_MSG_RESTORE r{VORLEN_RESTORE_VERSION, uint32_t(held.size())};
    auto b = hdr(MT_RESTORE, p.pid(), uint32_t(sizeof r + 4 * held.size()));
    const uint8_t *rb = reinterpret_cast<const uint8_t *>(&r);
    b.insert(b.end(), rb, rb + sizeof r);
    for (pid_t h : held) append_u32(b, uint32_t(h));
    p.c.send_bytes(b);
}

/* A circuit whose daemon at one end is killed and started again on its
 * state file, with the process at that end restored, carries on: the Send
 * under way when the link went is answered ESRCH at once (on node 2 by its
 * daemon; on node 1 the server's Reply to it), the circuit is kept
 * suspended meanwhile (its stub still listed, a Send through it ESRCH at
 * once), and once the link is up again a Send through the same VID, with no
 * new attach, is delivered and replied. The parameter is the node whose
 * daemon restarts: 1, the server's; 2, the client's. */
class CircuitRestart : public ::testing::TestWithParam<int> {};

TEST_P(CircuitRestart, CarriesOnWhenItsProcessIsRestored) {
    const int n = GetParam();
    Two t(true);
    ASSERT_TRUE(t.up());
    const RawClient::Reconnectable keep{};
    std::unique_ptr<Peer> srv = n == 1 ? std::make_unique<Peer>(t.node(1).port(), keep)
                                       : std::make_unique<Peer>(t.node(1).port());
    std::unique_ptr<Peer> cli = n == 2 ? std::make_unique<Peer>(t.node(2).port(), keep)
                                       : std::make_unique<Peer>(t.node(2).port());
    srv->bind();
    cli->bind();
    QNX_MSG_VC_RES r = attach(*cli, 1, srv->pid());
    cli->send(r.vid, {"under way"});
    srv->receive(0);
    EXPECT_EQ(srv->data(r.far_vid), "under way");
    t.node(n).kill_and_wait(SIGKILL);
    const int other = 3 - n;
    if (n == 1) {
        /* The client's daemon sees the link closed: ESRCH at once. */
        QNX_MSG_HDR h = cli->c.recv_hdr(2000);
        EXPECT_EQ(h.ev.retcode, ESRCH);
    } else {
        ASSERT_TRUE(wait_until([&] { return t.logged(1, "suspended"); }, 2000))
            << t.node(1).stdout_text();
        srv->reply(r.far_vid, {"to no one"});
        srv->status(ESRCH);
    }
    /* The surviving end keeps its stub, and refuses its use meanwhile. */
    const pid_t kept = n == 1 ? r.vid : r.far_vid;
    EXPECT_TRUE(listed(t.node(other).port(), kept)) << t.node(other).stdout_text();
    if (n == 1) {
        cli->send(r.vid, {"too soon"});
        cli->status(ESRCH);
    }
    ASSERT_TRUE(t.node(n).restart());
    Peer &back = n == 1 ? *srv : *cli;
    ASSERT_TRUE(back.c.reconnect(t.node(n).port()));
    restore(back, n == 1 ? std::vector<pid_t>{r.far_vid} : std::vector<pid_t>{});
    back.status(0);
    ASSERT_TRUE(t.again(other));
    ASSERT_TRUE(
        wait_until([&] { return t.count(1, "resumed") >= 1 && t.count(2, "resumed") >= 1; }, 5000))
        << t.node(1).stdout_text() << t.node(2).stdout_text();
    cli->send(r.vid, {"after the restart"});
    srv->receive(0);
    EXPECT_EQ(srv->data(r.far_vid), "after the restart");
    srv->reply(r.far_vid, {"answered"});
    srv->status(0);
    EXPECT_EQ(cli->data(0), "answered");
    EXPECT_FALSE(t.logged(1, "frame refused") || t.logged(2, "frame refused"))
        << t.node(1).stdout_text() << t.node(2).stdout_text();
}

INSTANTIATE_TEST_SUITE_P(Daemons, CircuitRestart, ::testing::Values(1, 2),
                         [](const ::testing::TestParamInfo<int> &i) {
                             return i.param == 1 ? std::string("OfTheServer")
                                                 : std::string("OfTheClient");
                         });

/* A circuit whose far process ended while its daemon was away is not
 * restored there: once the link is back, that daemon answers the resume with
 * a detach, and the circuit ends here at once, well within the grace period
 * (its stub, listed while it was suspended, goes); a Send through it: ESRCH. */
TEST(Circuits, WhoseFarProcessWasNotRestoredEndsOnceTheLinkIsBack) {
    Two t(true);
    ASSERT_TRUE(t.up());
    Joined j(t);
    Peer &srv = j.srv, &cli = j.cli;
    const QNX_MSG_VC_RES r = j.r;
    t.node(1).kill_and_wait(SIGKILL);
    srv.c.end_process();
    ASSERT_TRUE(wait_until([&] { return t.logged(2, "suspended"); }, 2000))
        << t.node(2).stdout_text();
    EXPECT_TRUE(listed(t.node(2).port(), r.vid));
    ASSERT_TRUE(t.node(1).restart());
    ASSERT_TRUE(t.again(2));
    EXPECT_TRUE(wait_until([&] { return !listed(t.node(2).port(), r.vid); }, 5000))
        << t.node(2).stdout_text();
    cli.send(r.vid, {"to no one"});
    cli.status(ESRCH);
    EXPECT_FALSE(t.logged(1, "frame refused") || t.logged(2, "frame refused"))
        << t.node(1).stdout_text() << t.node(2).stdout_text();
}

/* A circuit whose far daemon does not come back is kept, suspended, for the
 * grace period only: its stub is listed until then, and goes then. */
TEST(Circuits, SuspendedEndsWithTheGracePeriod) {
    Two t(true, "1.5");
    ASSERT_TRUE(t.up());
    Joined j(t);
    Peer &cli = j.cli;
    const QNX_MSG_VC_RES r = j.r;
    const auto lost = std::chrono::steady_clock::now(); /* the link goes after this */
    t.node(1).kill_and_wait(SIGKILL);
    ASSERT_TRUE(wait_until([&] { return t.logged(2, "suspended"); }, 2000))
        << t.node(2).stdout_text();
    EXPECT_TRUE(listed(t.node(2).port(), r.vid));
    ASSERT_TRUE(wait_until(
        [&] { return t.logged(2, "not resumed within the restore grace period"); }, 5000))
        << t.node(2).stdout_text();
    EXPECT_GE(std::chrono::steady_clock::now() - lost, std::chrono::milliseconds(1500));
    EXPECT_FALSE(listed(t.node(2).port(), r.vid));
    cli.send(r.vid, {"too late"});
    cli.status(ESRCH);
}

} // namespace
