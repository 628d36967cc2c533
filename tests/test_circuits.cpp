/* test_circuits.cpp - circuits' stubs among the process records: the sweep and claimed pids */
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
 * with certificates made by vorlen-certs. */
struct Two {
    std::string dir = make_tempdir();
    std::unique_ptr<Daemon> d[2];
    Two() {
        if (!plant_certs(dir, {"n1", "n2"})) return;
        FILE *f = fopen((dir + "/netmap").c_str(), "w");
        if (!f) return;
        fprintf(f, "1 127.0.0.1:%d n1\n2 127.0.0.2:%d n2\n", free_port(), free_port());
        fclose(f);
        for (int n = 1; n <= 2; n++) {
            std::vector<std::string> args = {"-v", "5", "--no-state", "--node", std::to_string(n)};
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
    Peer srv(t.node(1).port());
    srv.bind();
    Peer cli(t.node(2).port());
    cli.bind();
    QNX_MSG_VC_RES r = attach(cli, 1, srv.pid());
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
    Peer srv(t.node(1).port());
    srv.bind();
    Peer cli(t.node(2).port());
    cli.bind();
    QNX_MSG_VC_RES r = attach(cli, 1, srv.pid());
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

} // namespace
