/* test_process_table.cpp - process records: binding, removal, release of partners, the sweep */
#include <algorithm>
#include <csignal>
#include <cstring>
#include <memory>
#include <sstream>

#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "vorlen_test.h"

using namespace vt;

namespace {

std::vector<pid_t> listed_pids(int port) {
    std::vector<pid_t> v;
    for (auto &r : list_processes(port)) v.push_back(r.pid);
    return v;
}

/* bind makes the daemon bind c to pid with a harmless request. */
void bind(RawClient &c, pid_t pid) {
    c.send_bytes(names_listing(pid));
    expect_names_listing(c);
}

std::vector<std::string> log_lines_with(const std::string &text, const std::string &needle) {
    std::vector<std::string> out;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line))
        if (line.find(needle) != std::string::npos) out.push_back(line);
    return out;
}

} // namespace

TEST(ProcessTable, RecordsStayInCreationOrderAcrossRemovalOfHeadMiddleAndTail) {
    Daemon d;
    std::vector<std::unique_ptr<RawClient>> c;
    std::vector<pid_t> pid;
    for (int i = 0; i < 6; i++) {
        c.push_back(std::make_unique<RawClient>(d.port()));
        pid.push_back(c[i]->pid());
        bind(*c[i], pid[i]);
    }
    ASSERT_EQ(listed_pids(d.port()), pid);
    c[5]->close(); /* tail */
    ASSERT_TRUE(wait_until([&] { return listed_pids(d.port()).size() == 5; }));
    c[0]->close(); /* head */
    c[2]->close(); /* middle */
    ASSERT_TRUE(wait_until([&] { return listed_pids(d.port()).size() == 3; }));
    EXPECT_EQ(listed_pids(d.port()), (std::vector<pid_t>{pid[1], pid[3], pid[4]}));
    /* A new record goes behind the current tail. */
    RawClient lc(d.port());
    bind(lc, lc.pid());
    EXPECT_EQ(listed_pids(d.port()), (std::vector<pid_t>{pid[1], pid[3], pid[4], lc.pid()}));
    c[4]->close();
    c[1]->close();
    ASSERT_TRUE(wait_until([&] { return listed_pids(d.port()).size() == 2; }));
    EXPECT_EQ(listed_pids(d.port()), (std::vector<pid_t>{pid[3], lc.pid()}));
}

TEST(ProcessTable, AConnectionThatSendsNothingRemovesNothing) {
    Daemon d;
    RawClient bound(d.port());
    bind(bound, bound.pid());
    { RawClient idle(d.port()); }
    RawClient after(d.port());
    bind(after, after.pid());
    EXPECT_EQ(listed_pids(d.port()), (std::vector<pid_t>{bound.pid(), after.pid()}));
}

TEST(ProcessTable, ADyingProcessReleasesEveryPartnerInListOrder) {
    Daemon d({"-v", "3"});
    RawClient x(d.port()), sender(d.port()), replier_blocked(d.port()), receiver(d.port());
    pid_t xs = x.pid(), ss = sender.pid(), rs = replier_blocked.pid(), qs = receiver.pid();
    bind(x, xs);
    bind(sender, ss);
    bind(replier_blocked, rs);
    bind(receiver, qs);

    /* rs sends to x and x receives it: rs is REPLY-blocked on x. */
    replier_blocked.send_bytes(send_req(MT_SEND, rs, xs, {"held"}));
    receive(x, xs, 0);
    QNX_MSG_HDR h = x.recv_hdr();
    EXPECT_EQ(h.from_pid, rs);
    x.recv_exact(h.msg_len);
    /* ss sends to x: queued, SEND-blocked. */
    sender.send_bytes(send_req(MT_SEND, ss, xs, {"queued"}));
    /* qs waits for a message from x in particular. */
    receive(receiver, qs, xs);
    ASSERT_TRUE(wait_state(d.port(), ss, STATE_SEND_BLOCKED));
    ASSERT_TRUE(wait_state(d.port(), qs, STATE_RECEIVE_BLOCKED));
    EXPECT_EQ(process_record(d.port(), rs).block_state, STATE_REPLY_BLOCKED);

    x.close();
    for (RawClient *c : {&sender, &replier_blocked, &receiver}) {
        QNX_MSG_HDR a = c->recv_hdr();
        EXPECT_EQ(a.ev.retcode, ESRCH);
        EXPECT_EQ(a.from_pid, xs);
        EXPECT_EQ(a.msg_len, 0u);
        EXPECT_TRUE(c->silent(10));
    }
    for (pid_t p : {ss, rs, qs}) {
        auto r = process_record(d.port(), p);
        EXPECT_EQ(r.block_state, STATE_READY);
        EXPECT_EQ(r.block_pid, 0);
    }
    EXPECT_EQ(process_record(d.port(), xs).pid, 0);
    /* Released in list order: the order the records were made in. */
    auto lines = log_lines_with(d.stdout_text(), "unblocked");
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_NE(lines[0].find(std::to_string(ss)), std::string::npos);
    EXPECT_NE(lines[1].find(std::to_string(rs)), std::string::npos);
    EXPECT_NE(lines[2].find(std::to_string(qs)), std::string::npos);
    /* The queued message went with the release: x's successor gets nothing. */
    sender.send_bytes(send_req(MT_SEND, ss, qs, {"after"}));
    receive(receiver, qs, 0);
    h = receiver.recv_hdr();
    EXPECT_EQ(h.from_pid, ss);
    auto body = receiver.recv_exact(h.msg_len);
    EXPECT_EQ(std::string(body.begin(), body.end()), "after");
}

TEST(ProcessTable, SendToAPidThatIsGoneOrAZombieFailsAtOnce) {
    Daemon d;
    RawClient c(d.port());
    pid_t me = c.pid();
    bind(c, me);
    Sleeper gone;
    pid_t dead = gone.pid();
    gone.kill();
    c.send_bytes(send_req(MT_SEND, me, dead, {"x"}));
    QNX_MSG_HDR h = c.recv_hdr();
    EXPECT_EQ(h.ev.retcode, ESRCH);

    pid_t zombie = fork();
    if (zombie == 0) _exit(0);
    /* Not reaped until the end of the test: a zombie cannot talk again. */
    ASSERT_TRUE(wait_until([&] {
        std::string st = read_file("/proc/" + std::to_string(zombie) + "/stat");
        return st.find(") Z") != std::string::npos;
    }));
    c.send_bytes(send_req(MT_SEND, me, zombie, {"x"}));
    h = c.recv_hdr();
    EXPECT_EQ(h.ev.retcode, ESRCH);
    receive(c, me, zombie, 0);
    h = c.recv_hdr();
    EXPECT_EQ(h.ev.retcode, ESRCH);
    waitpid(zombie, nullptr, 0);
    EXPECT_EQ(listed_pids(d.port()), std::vector<pid_t>{me});
}

TEST(ProcessTable, TheSweepRemovesRecordsOfVanishedProcessesAndReleasesTheirPartners) {
    Daemon d({"-v", "3"});
    auto target = std::make_unique<Sleeper>();
    pid_t tpid = target->pid();
    RawClient c(d.port());
    pid_t me = c.pid();
    bind(c, me);
    /* A Send to a living process that never connects waits in the queue. */
    c.send_bytes(send_req(MT_SEND, me, tpid, {"hello"}));
    ASSERT_TRUE(wait_state(d.port(), me, STATE_SEND_BLOCKED));
    auto r = process_record(d.port(), tpid);
    EXPECT_EQ(r.pid, tpid);
    EXPECT_EQ(r.send_msg, 0);
    target->kill();
    /* SIGINT makes the daemon sweep between requests. */
    kill(d.pid(), SIGINT);
    QNX_MSG_HDR h = c.recv_hdr();
    EXPECT_EQ(h.ev.retcode, ESRCH);
    EXPECT_EQ(h.from_pid, tpid);
    EXPECT_EQ(listed_pids(d.port()), std::vector<pid_t>{me});
    std::string out = d.stdout_text();
    EXPECT_NE(out.find("got signal 2(Interrupt) connection"), std::string::npos);
    EXPECT_NE(out.find("cleanup-all"), std::string::npos);
    EXPECT_NE(out.find("automatic remove of pid " + std::to_string(tpid)), std::string::npos);
    EXPECT_TRUE(d.alive());
}

TEST(ProcessTable, ANewerConnectionOfTheSameProcessTakesTheRecordOver) {
    Daemon d;
    int port = d.port();
    /* One process with two connections, the way a client that closes and
     * reopens its connection has them for a moment. */
    pid_t child = spawn([port] {
        auto first = std::make_unique<RawClient>(port);
        bind(*first, getpid());
        RawClient second(port);
        bind(second, getpid());
        first.reset();
        /* The first connection's end must not take the record of the second. */
        QNX_MSG_SIN q{};
        q.typ = SIN_PROCESSES;
        for (int round = 0; round < 50; round++) {
            second.send_bytes(req(MT_SIN, getpid(), q));
            QNX_MSG_HDR h = second.recv_hdr();
            if (h.ev.retcode != 0 || h.msg_len != sizeof(QNX_MSG_SIN_RPID)) return 1;
            int mine = 0;
            for (;;) {
                auto rec = second.recv_exact(sizeof(QNX_MSG_SIN_RPID));
                int32_t pid;
                memcpy(&pid, rec.data(), 4);
                if (pid == -1) break;
                mine += pid == getpid();
            }
            if (mine != 1) return 2;
        }
        return ::testing::Test::HasFailure() ? 3 : 0;
    });
    EXPECT_EQ(wait_exit(child), 0);
    EXPECT_TRUE(wait_until([&] { return listed_pids(d.port()).empty(); }));
}
