/* test_wire_sin.cpp - the system listing on the wire: record streams of the tables, the health
 * view and the plant's nodes */
#include "vorlen_test.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include <unistd.h>

#include <gtest/gtest.h>

namespace {

using vt::Peer;

/* The program name every forked helper shares with this test. */
std::string own_pname() {
    std::string cmd = vt::read_file("/proc/self/cmdline");
    std::string first = cmd.substr(0, cmd.find('\0'));
    return first.substr(0, 80);
}

QNX_MSG_HDR query(vt::RawClient &c, pid_t pid, int32_t typ) {
    QNX_MSG_SIN b{typ};
    c.send_bytes(vt::req(MT_SIN, pid, b));
    return c.recv_hdr();
}

template <typename T> T expect_ok(vt::RawClient &c, uint16_t typ, pid_t pid, const auto &body) {
    c.send_bytes(vt::req(typ, pid, body));
    QNX_MSG_HDR h = c.recv_hdr();
    EXPECT_EQ(h.ev.retcode, 0) << "type " << typ;
    T rec;
    memset(&rec, 0, sizeof rec);
    auto b = c.recv_exact(h.msg_len);
    memcpy(&rec, b.data(), b.size() < sizeof rec ? b.size() : sizeof rec);
    return rec;
}

int32_t attach_name(Peer &p, const char *name) {
    QNX_MSG_NAME_ATTACH b;
    memset(&b, 0, sizeof b);
    strcpy(b.name, name);
    return expect_ok<QNX_MSG_NAME_RES>(p.c, MT_NAME_ATTACH, p.pid(), b).id;
}

int32_t attach_proxy(Peer &p, pid_t to, int32_t to_nid = 0) {
    QNX_MSG_PROXY_ATTACH b;
    memset(&b, 0, sizeof b);
    b.to_pid = to;
    b.to_nid = to_nid;
    return expect_ok<QNX_MSG_PROXY_ATTACH>(p.c, MT_PROXY_ATTACH, p.pid(), b).proxy_nr;
}

void status_req(Peer &p, uint16_t typ, int32_t first_field, size_t body_len) {
    std::vector<uint8_t> body(body_len, 0);
    memcpy(body.data(), &first_field, 4);
    auto r = vt::hdr(typ, p.pid(), uint32_t(body_len));
    r.insert(r.end(), body.begin(), body.end());
    p.c.send_bytes(r);
    QNX_MSG_HDR h = p.c.recv_hdr();
    EXPECT_EQ(h.ev.retcode, 0) << "type " << typ;
}

} // namespace

TEST(WireSin, KindsAndEmptyStreams) {
    vt::Daemon d;
    Peer a(d.port());

    for (int32_t typ : {0, 7, 8, -1}) {
        QNX_MSG_HDR h = query(a.c, a.pid(), typ);
        EXPECT_EQ(h.ev.retcode, EINVAL) << typ;
        EXPECT_EQ(h.msg_len, 0u) << typ;
        EXPECT_TRUE(a.c.silent(20)) << typ;
    }

    /* Empty tables: the header and the closing record alone. */
    const std::pair<int32_t, uint32_t> kinds[] = {
        {SIN_PROXIES, 104}, {SIN_TIMERS, 128}, {SIN_NAMES, 132}};
    for (auto [typ, size] : kinds) {
        QNX_MSG_HDR h = query(a.c, a.pid(), typ);
        EXPECT_EQ(h.ev.retcode, 0);
        EXPECT_EQ(h.from_pid, a.pid());
        ASSERT_EQ(h.msg_len, size) << typ;
        auto rec = a.c.recv_exact(size);
        int32_t pid;
        memcpy(&pid, rec.data(), 4);
        EXPECT_EQ(pid, -1) << typ;
        EXPECT_TRUE(a.c.silent(20)) << typ;
    }
}

TEST(WireSin, ProcessRecords) {
    vt::Daemon d;
    Peer idle(d.port()), s(d.port()), r(d.port());
    vt::Sleeper never;

    EXPECT_EQ(attach_proxy(idle, never.pid()), -2); /* makes a record for a silent pid */
    s.c.send_bytes(vt::send_req(MT_SEND, s.pid(), r.pid(), {"hel", "lo"}));
    ASSERT_TRUE(vt::wait_state(d.port(), s.pid(), STATE_SEND_BLOCKED));

    auto list = vt::list_processes(d.port());
    ASSERT_EQ(list.size(), 4u);
    /* Records in the order the daemon first met each pid. */
    EXPECT_EQ(list[0].pid, idle.pid());
    EXPECT_EQ(list[1].pid, never.pid());
    EXPECT_EQ(list[2].pid, s.pid());
    EXPECT_EQ(list[3].pid, r.pid());
    EXPECT_EQ(list[2].block_state, STATE_SEND_BLOCKED);
    EXPECT_EQ(list[2].block_pid, r.pid());
    EXPECT_EQ(list[2].send_bytes, 5);
    EXPECT_EQ(list[2].send_msg, 1);
    for (auto &rec : list) {
        EXPECT_EQ(std::string(rec.pname), own_pname());
        EXPECT_EQ(rec.nid + rec.session + rec.group + rec.parent + rec.son, 0);
    }
    for (int i : {0, 1, 3}) {
        const auto &rec = list[size_t(i)];
        EXPECT_EQ(rec.block_state, STATE_READY) << i;
        EXPECT_EQ(rec.block_pid, 0) << i;
        EXPECT_EQ(rec.send_bytes + rec.send_msg + rec.rcv_bytes + rec.rcv_msg + rec.rpl_bytes +
                      rec.rpl_msg,
                  0)
            << i;
    }

    r.receive(0);
    QNX_MSG_HDR h = r.c.recv_hdr();
    r.c.recv_exact(h.msg_len);
    auto sr = vt::process_record(d.port(), s.pid());
    EXPECT_EQ(sr.block_state, STATE_REPLY_BLOCKED);
    EXPECT_EQ(sr.block_pid, r.pid());

    r.c.send_bytes(vt::send_req(MT_REPLY, r.pid(), s.pid(), {"abc"}));
    EXPECT_EQ(r.c.recv_hdr().ev.retcode, 0);
    h = s.c.recv_hdr();
    s.c.recv_exact(h.msg_len);
    sr = vt::process_record(d.port(), s.pid());
    auto rr = vt::process_record(d.port(), r.pid());
    EXPECT_EQ(sr.block_state, STATE_READY);
    EXPECT_EQ(sr.block_pid, 0);
    EXPECT_EQ(sr.rcv_bytes, 3);
    EXPECT_EQ(sr.rcv_msg, 1);
    EXPECT_EQ(rr.rcv_bytes, 5);
    EXPECT_EQ(rr.rcv_msg, 1);
    EXPECT_EQ(rr.rpl_bytes, 3);
    EXPECT_EQ(rr.rpl_msg, 1);
    EXPECT_EQ(rr.send_bytes + rr.send_msg + sr.rpl_bytes + sr.rpl_msg, 0);
}

TEST(WireSin, ProxyRecordsBySlot) {
    vt::Daemon d;
    Peer a(d.port()), b(d.port());

    EXPECT_EQ(attach_proxy(a, a.pid()), -2);
    EXPECT_EQ(attach_proxy(a, b.pid(), 9), -3);
    EXPECT_EQ(attach_proxy(a, b.pid(), 4), -4);
    status_req(b, MT_PROXY_DETACH, -3, sizeof(QNX_MSG_PROXY_DETACH));
    status_req(a, MT_TRIGGER, -4, sizeof(QNX_MSG_TRIGGER));

    auto list = vt::list_proxies(d.port());
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[0].nr, -2);
    EXPECT_EQ(list[0].pid, a.pid());
    EXPECT_EQ(list[0].fire_cnt, 0);
    EXPECT_EQ(list[1].nr, -4);
    EXPECT_EQ(list[1].pid, b.pid());
    EXPECT_EQ(list[1].nid, 4);
    EXPECT_EQ(list[1].act_cnt, 1);
    EXPECT_EQ(list[1].fire_cnt, 1);
    EXPECT_EQ(std::string(list[1].pname), own_pname());

    for (int i = 0; i < 48; i++) attach_proxy(a, a.pid());
    list = vt::list_proxies(d.port());
    ASSERT_EQ(list.size(), 50u);
    for (size_t i = 0; i < list.size(); i++) EXPECT_EQ(list[i].nr, -2 - int32_t(i));
    EXPECT_EQ(list.back().nr, -51);
}

TEST(WireSin, TimerRecordsByNumber) {
    vt::Daemon d;
    Peer a(d.port()), b(d.port());

    EXPECT_EQ(mktimer(a.c, a.pid(), NOTIFY_PROXY, -7), 1);
    EXPECT_EQ(mktimer(b.c, b.pid(), NOTIFY_SIGNAL, SIGURG, 3), 2);
    EXPECT_EQ(mktimer(a.c, a.pid(), NOTIFY_PROXY, -8), 3);
    status_req(a, MT_RMTIMER, 1, sizeof(QNX_MSG_RMTIMER));
    /* Last in creation order, first listed. */
    EXPECT_EQ(mktimer(a.c, a.pid(), NOTIFY_PROXY, -9, 5), 1);

    QNX_MSG_TIMER t;
    memset(&t, 0, sizeof t);
    t.timer_nr = 2;
    t.value.it_value = {2, 500000000};
    t.value.it_interval = {7, 250};
    expect_ok<QNX_MSG_TIMER>(b.c, MT_RELABSTIMER, b.pid(), t);

    auto list = vt::list_timers(d.port());
    ASSERT_EQ(list.size(), 3u);
    EXPECT_EQ(list[0].nr, 1);
    EXPECT_EQ(list[0].timer_type, 5);
    EXPECT_EQ(list[0].evt_value, -9);
    EXPECT_EQ(list[0].value.tv_sec, 0); /* not armed */
    EXPECT_EQ(list[0].value.tv_nsec, 0);
    EXPECT_EQ(list[2].nr, 3);

    const auto &r = list[1];
    EXPECT_EQ(r.nr, 2);
    EXPECT_EQ(r.pid, b.pid());
    EXPECT_EQ(r.nid, 0);
    EXPECT_EQ(r.timer_type, 3);
    EXPECT_EQ(r.notify_type, NOTIFY_SIGNAL);
    EXPECT_EQ(r.evt_value, SIGURG);
    EXPECT_EQ(r.value.tv_sec, 2); /* 2.5 s less the moments since */
    EXPECT_GT(r.value.tv_nsec, 0);
    EXPECT_LE(r.value.tv_nsec, 500000000);
    EXPECT_EQ(r.repeat.tv_sec, 7);
    EXPECT_EQ(r.repeat.tv_nsec, 250);
    EXPECT_EQ(r.fire_cnt, 0);
    EXPECT_EQ(std::string(r.pname), own_pname());
}

TEST(WireSin, NameRecordsBySlot) {
    vt::Daemon d;
    Peer a(d.port()), b(d.port());

    EXPECT_EQ(attach_name(a, "x"), 1);
    EXPECT_EQ(attach_name(b, "y"), 2);
    EXPECT_EQ(attach_name(b, std::string(32, 'z').c_str()), 3);
    status_req(b, MT_NAME_DETACH, 2, sizeof(QNX_MSG_NAME_DETACH));

    auto list = vt::list_names(d.port());
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[0].nr, 1);
    EXPECT_EQ(list[0].pid, a.pid());
    EXPECT_EQ(std::string(list[0].name), "x");
    EXPECT_EQ(list[1].nr, 3);
    EXPECT_EQ(list[1].pid, b.pid());
    EXPECT_EQ(std::string(list[1].name), std::string(32, 'z'));
    EXPECT_EQ(list[1].nid, 0);
    EXPECT_EQ(std::string(list[1].pname), own_pname());
}

/* The health listing: the daemon's record, one per listening address, one
 * per user, each of the same size, then the closing record; every field as
 * the daemon holds it, the counters of refusals by cause included. */
TEST(WireSin, StatusRecords) {
    const time_t before = time(nullptr);
    vt::Daemon d({"-v", "2", "--max-names", "2", "--max-proxies", "1", "--max-timers", "1",
                  "--max-connections", "8", "--max-connections-per-user", "2", "--max-memory",
                  "1000000", "--max-memory-per-user", "600000"});
    Peer a(d.port());
    EXPECT_EQ(attach_name(a, "n1"), 1);
    /* A connection whose claim is refused, and one over the user's limit. */
    {
        vt::RawClient liar(d.port());
        liar.send_bytes(vt::names_listing(1));
        vt::expect_status(liar, ESRCH);
        EXPECT_TRUE(liar.closed_by_peer());
    }
    Peer b(d.port());
    EXPECT_EQ(attach_name(b, "n2"), 2);
    {
        vt::RawClient over(d.port());
        EXPECT_TRUE(over.closed_by_peer());
    }
    /* Each table full once; the line names the process, what it asked for
     * and the option that sizes the table. */
    QNX_MSG_NAME_ATTACH na;
    memset(&na, 0, sizeof na);
    strcpy(na.name, "n3");
    a.c.send_bytes(vt::req(MT_NAME_ATTACH, a.pid(), na));
    vt::expect_status(a.c, ENOMEM);
    EXPECT_EQ(attach_proxy(a, a.pid()), -2);
    QNX_MSG_PROXY_ATTACH pa;
    memset(&pa, 0, sizeof pa);
    pa.to_pid = b.pid();
    a.c.send_bytes(vt::req(MT_PROXY_ATTACH, a.pid(), pa));
    vt::expect_status(a.c, EAGAIN);
    EXPECT_EQ(mktimer(b.c, b.pid(), NOTIFY_PROXY, -2), 1);
    EXPECT_EQ(mktimer(b.c, b.pid(), NOTIFY_SIGNAL, SIGUSR1), -EAGAIN);
    const std::string log = vt::read_file(d.workdir() + "/vorlen.log");
    const std::string me = own_pname(), ap = std::to_string(a.pid()), bp = std::to_string(b.pid());
    for (const std::string &line :
         {"Err: Name-Attach of \"n3\" from 0//" + ap + " (" + me +
              "): ENOMEM: the name table is full (2, --max-names)\n",
          "Err: Proxy-Attach from 0//" + ap + " (" + me + ") for " + bp +
              ": EAGAIN: the proxy table is full (1, --max-proxies)\n",
          "Err: mktimer from 0//" + bp + " (" + me + "), notify " + std::to_string(NOTIFY_SIGNAL) +
              " event " + std::to_string(SIGUSR1) +
              ": EAGAIN: the timer table is full (1, --max-timers)\n"})
        EXPECT_NE(log.find(line), std::string::npos) << line << log;

    QNX_MSG_HDR h = query(a.c, a.pid(), SIN_STATUS);
    ASSERT_EQ(h.ev.retcode, 0);
    ASSERT_EQ(h.msg_len, 184u);
    auto got = a.c.recv_exact(5 * 184);
    EXPECT_TRUE(a.c.silent(20));

    QNX_MSG_SIN_RSTATUS st;
    memcpy(&st, got.data(), sizeof st);
    /* What moves with the clock and the buffers, checked for range. */
    EXPECT_GE(st.start_time, int64_t(before));
    EXPECT_LE(st.start_time, int64_t(time(nullptr)));
    EXPECT_GE(st.uptime, 0);
    EXPECT_LE(st.uptime, int64_t(time(nullptr) - before));
    EXPECT_GT(st.memory, 0u);
    EXPECT_LE(st.memory, 600000u);
    QNX_MSG_SIN_RSTATUS want;
    memset(&want, 0, sizeof want);
    want.pid = d.pid();
    want.kind = SIN_STATUS_DAEMON;
    strcpy(want.version, "1.2");
    want.start_time = st.start_time;
    want.uptime = st.uptime;
    want.connections = 2;
    want.max_connections = 8;
    want.max_user_connections = 2;
    want.processes = 2;
    want.memory = st.memory;
    want.max_memory = 1000000;
    want.max_user_memory = 600000;
    want.names = 2;
    want.max_names = 2;
    want.proxies = 1;
    want.max_proxies = 1;
    want.timers = 1;
    want.max_timers = 1;
    want.queue = 0;
    want.max_queue = 512;
    want.refused_table = 3;
    want.refused_connections = 1;
    want.refused_verification = 1;
    EXPECT_EQ(memcmp(&st, &want, sizeof want), 0)
        << "version " << st.version << " connections " << st.connections << " processes "
        << st.processes << " names " << st.names << " proxies " << st.proxies << " timers "
        << st.timers << " queue " << st.queue << " refused " << st.refused_memory << "/"
        << st.refused_table << "/" << st.refused_connections << "/" << st.refused_verification
        << "/" << st.dropped_unread << "/" << st.log_rate_limited << "/" << st.log_dropped;

    const std::string port = std::to_string(d.port());
    const std::string listeners[] = {"127.0.0.1:" + port, "@vorlen." + port};
    for (int i = 0; i < 2; i++) {
        QNX_MSG_SIN_RLISTENER l;
        memset(&l, 0, sizeof l);
        l.pid = d.pid();
        l.kind = SIN_STATUS_LISTENER;
        memcpy(l.address, listeners[i].data(), listeners[i].size());
        EXPECT_EQ(memcmp(got.data() + 184 * size_t(1 + i), &l, sizeof l), 0) << listeners[i];
    }
    QNX_MSG_SIN_RUSER u;
    memset(&u, 0, sizeof u);
    u.pid = d.pid();
    u.kind = SIN_STATUS_USER;
    u.uid = int32_t(getuid());
    u.connections = 2;
    u.memory = st.memory; /* the only user */
    EXPECT_EQ(memcmp(got.data() + 3 * 184, &u, sizeof u), 0);
    std::vector<uint8_t> closing(184, 0);
    const int32_t end = -1;
    memcpy(closing.data(), &end, 4);
    EXPECT_EQ(std::vector<uint8_t>(got.begin() + 4 * 184, got.end()), closing);
}

/* The nodes listing: without a net map the one record of node 1, this host;
 * with a net map of one node on loopback (an address of this host, so that
 * the daemon finds its line itself) that node's record, carrying the
 * incarnation the daemon's start line gives. */
TEST(WireSin, NodeRecords) {
    auto nodes = [](vt::Daemon &d, size_t n) {
        Peer a(d.port());
        QNX_MSG_HDR h = query(a.c, a.pid(), SIN_NODES);
        EXPECT_EQ(h.ev.retcode, 0);
        EXPECT_EQ(h.msg_len, 256u);
        auto got = a.c.recv_exact((n + 1) * 256);
        EXPECT_TRUE(a.c.silent(20));
        std::vector<uint8_t> closing(256, 0);
        const int32_t end = -1;
        memcpy(closing.data(), &end, 4);
        EXPECT_EQ(std::vector<uint8_t>(got.end() - 256, got.end()), closing);
        return got;
    };
    QNX_MSG_SIN_RNODE want, r;
    {
        vt::Daemon d;
        auto got = nodes(d, 1);
        memcpy(&r, got.data(), sizeof r);
        memset(&want, 0, sizeof want);
        want.pid = d.pid();
        want.nid = 1;
        want.state = SIN_NODE_SELF;
        ASSERT_EQ(gethostname(want.name, sizeof want.name - 1), 0);
        EXPECT_NE(r.incarnation, 0u);
        want.incarnation = r.incarnation;
        want.rtt_us = -1;
        EXPECT_EQ(memcmp(&r, &want, sizeof want), 0)
            << r.nid << " " << r.state << " " << r.name << " " << r.address << ":" << r.port;
    }
    const std::string dir = vt::make_tempdir();
    ASSERT_TRUE(vt::plant_certs(dir, {"node-a"}));
    const int link_port = vt::free_port();
    {
        FILE *f = fopen((dir + "/netmap").c_str(), "w");
        ASSERT_NE(f, nullptr);
        fprintf(f, "# one node\n1 127.0.0.1:%d node-a\n", link_port);
        fclose(f);
    }
    vt::Daemon d(vt::node_options(dir, "node-a", dir + "/netmap"));
    auto got = nodes(d, 1);
    memcpy(&r, got.data(), sizeof r);
    memset(&want, 0, sizeof want);
    want.pid = d.pid();
    want.nid = 1;
    want.state = SIN_NODE_SELF;
    want.port = uint16_t(link_port);
    strcpy(want.name, "node-a");
    strcpy(want.address, "127.0.0.1");
    const std::string log = vt::read_file(d.workdir() + "/vorlen.log");
    const std::string line =
        "This host is node 1 (node-a, links on 127.0.0.1:" + std::to_string(link_port) +
        ") of 1 in " + dir + "/netmap, incarnation ";
    size_t at = log.find(line);
    ASSERT_NE(at, std::string::npos) << log;
    want.incarnation = std::stoull(log.substr(at + line.size(), 16), nullptr, 16);
    want.rtt_us = -1;
    EXPECT_EQ(memcmp(&r, &want, sizeof want), 0)
        << r.nid << " " << r.state << " " << r.name << " " << r.address << ":" << r.port << " "
        << std::hex << r.incarnation << " " << want.incarnation;
    std::string rm = "rm -rf '" + dir + "'";
    EXPECT_EQ(system(rm.c_str()), 0);
}
