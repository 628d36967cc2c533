/* test_wire_proxies.cpp - proxies on the wire: attach, detach, trigger, delivery and queueing */
#include "vorlen_test.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <csignal>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

namespace {

using vt::Peer;

QNX_MSG_PROXY_ATTACH proxy_body(pid_t to_pid, const std::string &msg, int32_t to_nid = 0,
                                int32_t prio = 0) {
    QNX_MSG_PROXY_ATTACH b;
    memset(&b, 0, sizeof b);
    b.to_pid = to_pid;
    b.to_nid = to_nid;
    b.prio = prio;
    b.nbytes = uint32_t(msg.size());
    memcpy(b.data, msg.data(), msg.size());
    return b;
}

/* attach_req is the request as the library frames it: msg_len counts the
 * message, only the fixed body follows. */
std::vector<uint8_t> attach_req(pid_t from, const QNX_MSG_PROXY_ATTACH &b, uint16_t flags = 0) {
    auto r = vt::req(MT_PROXY_ATTACH, from, b);
    uint32_t len = uint32_t(sizeof b + b.nbytes);
    memcpy(r.data() + offsetof(QNX_MSG_HDR, msg_len), &len, 4);
    memcpy(r.data() + offsetof(QNX_MSG_HDR, flags), &flags, 2);
    return r;
}

/* attach returns the new proxy id, or minus the retcode; VORLEN_FLAG_QNX4 in
 * flags makes a counting proxy. */
pid_t attach(Peer &p, pid_t to_pid, const std::string &msg, uint16_t flags = 0) {
    p.c.send_bytes(attach_req(p.pid(), proxy_body(to_pid, msg), flags));
    QNX_MSG_HDR h = p.c.recv_hdr();
    if (h.ev.retcode != 0) {
        EXPECT_EQ(h.msg_len, 0u);
        return -int(h.ev.retcode);
    }
    EXPECT_EQ(h.msg_len, sizeof(QNX_MSG_PROXY_ATTACH));
    auto b = p.c.recv_exact(sizeof(QNX_MSG_PROXY_ATTACH));
    QNX_MSG_PROXY_ATTACH rec;
    if (b.size() != sizeof rec) return -1000;
    memcpy(&rec, b.data(), sizeof rec);
    return rec.proxy_nr;
}

int status_of(Peer &p, uint16_t typ, int32_t proxy) {
    if (typ == MT_TRIGGER) {
        QNX_MSG_TRIGGER t{proxy};
        p.c.send_bytes(vt::req(MT_TRIGGER, p.pid(), t));
    } else {
        QNX_MSG_PROXY_DETACH b;
        memset(&b, 0, sizeof b);
        b.proxy_nr = proxy;
        p.c.send_bytes(vt::req(MT_PROXY_DETACH, p.pid(), b));
    }
    QNX_MSG_HDR h = p.c.recv_hdr();
    EXPECT_EQ(h.msg_len, 0u);
    return h.ev.retcode;
}
int trigger(Peer &p, int32_t proxy) {
    return status_of(p, MT_TRIGGER, proxy);
}
int detach(Peer &p, int32_t proxy) {
    return status_of(p, MT_PROXY_DETACH, proxy);
}

void creceive(Peer &p, pid_t from) {
    p.receive(from, 100, 0, MT_NB_RECEIVE);
}

/* delivered reads one delivered message: its origin and its bytes. */
std::pair<pid_t, std::string> delivered(Peer &p) {
    QNX_MSG_HDR h = p.c.recv_hdr();
    EXPECT_EQ(h.ev.retcode, 0);
    auto b = p.c.recv_exact(h.msg_len);
    return {h.from_pid, std::string(b.begin(), b.end())};
}

QNX_MSG_SIN_RPROXYS proxy_record(int port, pid_t id) {
    for (auto &r : vt::list_proxies(port))
        if (r.nr == id) return r;
    QNX_MSG_SIN_RPROXYS none;
    memset(&none, 0, sizeof none);
    return none;
}

} // namespace

TEST(WireProxies, IdsSlotsAndRefusals) {
    vt::Daemon d;
    Peer a(d.port()), other(d.port());

    /* The answer is the request sent back with the id filled in. */
    auto body = proxy_body(a.pid(), "0123456789", 7, 3);
    auto rq = attach_req(a.pid(), body);
    a.c.send_bytes(rq);
    auto ans = a.c.recv_exact(rq.size());
    QNX_MSG_HDR h;
    memcpy(&h, ans.data(), sizeof h);
    EXPECT_EQ(h.ev.retcode, 0);
    EXPECT_EQ(h.from_pid, a.pid());
    EXPECT_EQ(h.msg_len, sizeof(QNX_MSG_PROXY_ATTACH));
    body.proxy_nr = -2;
    EXPECT_EQ(memcmp(ans.data() + sizeof h, &body, sizeof body), 0);

    for (int i = 1; i < 50; i++) ASSERT_EQ(attach(a, a.pid(), "m"), -2 - i);
    EXPECT_EQ(attach(a, a.pid(), "m"), -EAGAIN);
    EXPECT_EQ(detach(a, -3), 0);
    EXPECT_EQ(attach(a, a.pid(), "m"), -3); /* the lowest free slot */
    EXPECT_EQ(proxy_record(d.port(), -51).pid, a.pid());

    for (int32_t bad : {-1, 0, 7, -52, a.pid()}) {
        EXPECT_EQ(detach(a, bad), ESRCH) << bad;
        EXPECT_EQ(trigger(a, bad), ESRCH) << bad;
    }
    /* Only the owner detaches; the proxy stays usable. */
    EXPECT_EQ(detach(other, -4), ESRCH);
    EXPECT_EQ(trigger(other, -4), 0);
    EXPECT_EQ(proxy_record(d.port(), -4).fire_cnt, 1);

    /* A message longer than 100 bytes, QNX 4's limit and the library's, is
     * refused whole, also when it still fits the record's field. */
    EXPECT_EQ(detach(a, -2), 0);
    QNX_MSG_PROXY_ATTACH big = proxy_body(a.pid(), "");
    big.nbytes = 101;
    a.c.send_bytes(attach_req(a.pid(), big));
    h = a.c.recv_hdr();
    EXPECT_EQ(h.ev.retcode, EINVAL);
    EXPECT_EQ(h.msg_len, 0u);
    EXPECT_EQ(attach(a, a.pid(), std::string(100, 'z')), -2);
}

TEST(WireProxies, DirectDeliveryAndOneQueueEntry) {
    vt::Daemon d;
    Peer owner(d.port()), t(d.port());
    pid_t px = attach(owner, owner.pid(), "0123456789");
    ASSERT_EQ(px, -2);
    pid_t empty = attach(owner, owner.pid(), "");
    ASSERT_EQ(empty, -3);

    /* Waiting for anyone: the trigger is delivered whole at once, even into
     * a smaller receive buffer. */
    owner.receive(0, 4);
    ASSERT_TRUE(vt::wait_state(d.port(), owner.pid(), STATE_RECEIVE_BLOCKED));
    EXPECT_EQ(trigger(t, px), 0);
    EXPECT_EQ(delivered(owner), std::make_pair(px, std::string("0123456789")));
    EXPECT_EQ(vt::process_record(d.port(), owner.pid()).block_state, STATE_READY);

    /* Busy owner: three triggers leave one entry, received once. */
    for (int i = 0; i < 3; i++) EXPECT_EQ(trigger(t, px), 0);
    auto r = proxy_record(d.port(), px);
    EXPECT_EQ(r.act_cnt, 3);
    EXPECT_EQ(r.fire_cnt, 4);
    owner.receive(0);
    EXPECT_EQ(delivered(owner), std::make_pair(px, std::string("0123456789")));
    r = proxy_record(d.port(), px);
    EXPECT_EQ(r.act_cnt, 0);
    EXPECT_EQ(r.fire_cnt, 4);
    owner.receive(0);
    EXPECT_TRUE(owner.c.silent(100));

    /* The owner now waits again; a proxy without a message arrives empty. */
    ASSERT_TRUE(vt::wait_state(d.port(), owner.pid(), STATE_RECEIVE_BLOCKED));
    EXPECT_EQ(trigger(t, empty), 0);
    EXPECT_EQ(delivered(owner), std::make_pair(empty, std::string()));
}

TEST(WireProxies, PendingTriggersAreReceivedOnceOrOncePerTriggerInQueueOrder) {
    /* script: t a trigger, s a Send to the owner that waits in the queue;
     * order: what Creceive then gives, p the proxy and s the Send. */
    struct Case {
        const char *what;
        uint16_t flags;
        const char *script;
        const char *order;
        std::vector<int32_t> act_cnt; /* the listing's pending count after each */
    };
    const Case cases[] = {
        {"merging", 0, "ttt", "p", {0}},
        {"counting", VORLEN_FLAG_QNX4, "ttt", "ppp", {2, 1, 0}},
        {"merging around a Send", 0, "ttst", "ps", {0, 0}},
        {"counting around a Send", VORLEN_FLAG_QNX4, "ttst", "pspp", {2, 2, 1, 0}},
    };
    vt::Daemon d;
    for (const Case &k : cases) {
        SCOPED_TRACE(k.what);
        Peer owner(d.port()), t(d.port()), s(d.port());
        pid_t px = attach(owner, owner.pid(), "tick", k.flags);
        ASSERT_LT(px, -1);
        int32_t triggers = 0;
        for (const char *c = k.script; *c; c++) {
            if (*c == 't') {
                EXPECT_EQ(trigger(t, px), 0);
                triggers++;
            } else {
                s.c.send_bytes(vt::send_req(MT_SEND, s.pid(), owner.pid(), {"msg"}));
                ASSERT_TRUE(vt::wait_state(d.port(), s.pid(), STATE_SEND_BLOCKED));
            }
        }
        auto r = proxy_record(d.port(), px);
        EXPECT_EQ(r.act_cnt, triggers);
        EXPECT_EQ(r.fire_cnt, triggers);
        ASSERT_EQ(strlen(k.order), k.act_cnt.size());
        for (size_t i = 0; k.order[i]; i++) {
            creceive(owner, 0);
            if (k.order[i] == 'p')
                EXPECT_EQ(delivered(owner), std::make_pair(px, std::string("tick"))) << i;
            else
                EXPECT_EQ(delivered(owner), std::make_pair(s.pid(), std::string("msg"))) << i;
            EXPECT_EQ(proxy_record(d.port(), px).act_cnt, k.act_cnt[i]) << i;
        }
        creceive(owner, 0);
        vt::expect_status(owner.c, ENOMSG);
        creceive(owner, px);
        vt::expect_status(owner.c, ENOMSG);
        EXPECT_EQ(detach(owner, px), 0);
    }
}

TEST(WireProxies, ACountingProxyKeepsAtMostItsLimitOfTriggers) {
    vt::Daemon d({"-v", "2"});
    Peer owner(d.port()), t(d.port());
    ASSERT_EQ(attach(owner, owner.pid(), "n", VORLEN_FLAG_QNX4), -2);
    /* Triggers go in batches, their answers read between. */
    QNX_MSG_TRIGGER body{-2};
    auto one = vt::req(MT_TRIGGER, t.pid(), body);
    const int batch = 4096;
    std::vector<uint8_t> many;
    for (int i = 0; i < batch; i++) many.insert(many.end(), one.begin(), one.end());
    int32_t sent = 0;
    while (sent < VORLEN_MAX_PROXY_PENDING + 1) {
        int n = std::min(batch, VORLEN_MAX_PROXY_PENDING + 1 - sent);
        t.c.send_bytes(many.data(), size_t(n) * one.size());
        auto answers = t.c.recv_exact(size_t(n) * sizeof(QNX_MSG_HDR));
        ASSERT_EQ(answers.size(), size_t(n) * sizeof(QNX_MSG_HDR));
        sent += n;
    }
    auto r = proxy_record(d.port(), -2);
    EXPECT_EQ(r.act_cnt, VORLEN_MAX_PROXY_PENDING);
    EXPECT_EQ(r.fire_cnt, VORLEN_MAX_PROXY_PENDING + 1);
    EXPECT_NE(d.stdout_text().find("dropped"), std::string::npos);
    /* Still one entry: one Receive takes one trigger. */
    creceive(owner, 0);
    EXPECT_EQ(delivered(owner), std::make_pair(pid_t(-2), std::string("n")));
    EXPECT_EQ(proxy_record(d.port(), -2).act_cnt, VORLEN_MAX_PROXY_PENDING - 1);
}

TEST(WireProxies, OwnerWaitingForAnotherPidIsNotDisturbed) {
    vt::Daemon d;
    Peer owner(d.port()), t(d.port()), sender(d.port());
    pid_t px = attach(owner, owner.pid(), "tick");
    ASSERT_EQ(px, -2);

    owner.receive(sender.pid());
    ASSERT_TRUE(vt::wait_state(d.port(), owner.pid(), STATE_RECEIVE_BLOCKED));
    EXPECT_EQ(trigger(t, px), 0);
    EXPECT_TRUE(owner.c.silent(100));
    EXPECT_EQ(proxy_record(d.port(), px).act_cnt, 1);

    sender.c.send_bytes(vt::send_req(MT_SEND, sender.pid(), owner.pid(), {"hello"}));
    EXPECT_EQ(delivered(owner), std::make_pair(sender.pid(), std::string("hello")));
    owner.receive(0);
    EXPECT_EQ(delivered(owner), std::make_pair(px, std::string("tick")));

    /* Waiting for the proxy itself takes it directly. */
    owner.receive(px);
    ASSERT_TRUE(vt::wait_state(d.port(), owner.pid(), STATE_RECEIVE_BLOCKED));
    EXPECT_EQ(trigger(t, px), 0);
    EXPECT_EQ(delivered(owner), std::make_pair(px, std::string("tick")));
}

TEST(WireProxies, DetachWithdrawsPendingTriggers) {
    for (uint16_t flags : {0, VORLEN_FLAG_QNX4}) {
        SCOPED_TRACE(flags ? "counting" : "merging");
        vt::Daemon d;
        Peer owner(d.port()), t(d.port());
        ASSERT_EQ(attach(owner, owner.pid(), "old", flags), -2);
        for (int i = 0; i < 3; i++) EXPECT_EQ(trigger(t, -2), 0);
        if (flags) {
            /* One taken, two still pending. */
            creceive(owner, 0);
            EXPECT_EQ(delivered(owner), std::make_pair(pid_t(-2), std::string("old")));
            EXPECT_EQ(proxy_record(d.port(), -2).act_cnt, 2);
        }
        EXPECT_EQ(detach(owner, -2), 0);

        /* A new proxy in the slot starts idle and nothing stale is delivered. */
        ASSERT_EQ(attach(owner, owner.pid(), "new", flags), -2);
        EXPECT_EQ(proxy_record(d.port(), -2).act_cnt, 0);
        owner.receive(0);
        EXPECT_TRUE(owner.c.silent(100));
        EXPECT_EQ(trigger(t, -2), 0);
        EXPECT_EQ(delivered(owner), std::make_pair(pid_t(-2), std::string("new")));
    }
}

TEST(WireProxies, ProxyForAnotherPidBelongsToThatPid) {
    vt::Daemon d;
    Peer a(d.port());
    /* A process that has a connection but has sent nothing on it yet. */
    auto owner = std::make_unique<vt::RawClient>(d.port());
    pid_t never = owner->pid();
    {
        vt::Sleeper dead;
        pid_t gone = dead.pid();
        dead.kill();
        EXPECT_EQ(attach(a, gone, "x"), -ESRCH);
    }
    ASSERT_EQ(attach(a, never, "for you"), -2);
    auto rec = vt::process_record(d.port(), never);
    EXPECT_EQ(rec.pid, never);
    EXPECT_EQ(rec.block_state, STATE_READY);
    EXPECT_EQ(detach(a, -2), ESRCH);

    /* Triggered before the owner ever connects: queued for it. */
    EXPECT_EQ(trigger(a, -2), 0);
    vt::receive(*owner, never, 0);
    QNX_MSG_HDR h = owner->recv_hdr();
    EXPECT_EQ(h.from_pid, -2);
    auto msg = owner->recv_exact(h.msg_len);
    EXPECT_EQ(std::string(msg.begin(), msg.end()), "for you");

    /* Its removal takes the proxy with it. */
    owner->close();
    ASSERT_TRUE(vt::wait_until([&] { return vt::list_proxies(d.port()).empty(); }));
    EXPECT_EQ(trigger(a, -2), ESRCH);
}

TEST(WireProxies, TriggerFindingTheQueueFullIsRetried) {
    vt::Daemon d;
    Peer owner(d.port()), t(d.port());
    ASSERT_EQ(attach(owner, owner.pid(), "p"), -2);
    /* A counting proxy with an entry already queued. */
    ASSERT_EQ(attach(owner, owner.pid(), "q", VORLEN_FLAG_QNX4), -3);
    EXPECT_EQ(trigger(t, -3), 0);

    /* 511 senders fill the rest of the queue for the owner. */
    std::vector<std::unique_ptr<Peer>> senders;
    for (int i = 0; i < 511; i++) {
        senders.push_back(std::make_unique<Peer>(d.port()));
        Peer &s = *senders.back();
        s.c.send_bytes(vt::send_req(MT_SEND, s.pid(), owner.pid(), {"m"}));
    }
    ASSERT_TRUE(vt::wait_until([&] {
        int blocked = 0;
        for (auto &r : vt::list_processes(d.port())) blocked += r.block_state == STATE_SEND_BLOCKED;
        return blocked == 511;
    }));

    EXPECT_EQ(trigger(t, -2), 0);
    auto r = proxy_record(d.port(), -2);
    EXPECT_EQ(r.fire_cnt, 1);
    EXPECT_EQ(r.act_cnt, 0);
    /* The counting proxy counts on in its entry. */
    EXPECT_EQ(trigger(t, -3), 0);
    EXPECT_EQ(trigger(t, -3), 0);
    EXPECT_EQ(proxy_record(d.port(), -3).act_cnt, 3);

    /* Taken once, it goes to the tail in the same entry: the queue stays full. */
    owner.receive(0);
    EXPECT_EQ(delivered(owner), std::make_pair(pid_t(-3), std::string("q")));
    EXPECT_EQ(proxy_record(d.port(), -3).act_cnt, 2);
    EXPECT_EQ(trigger(t, -2), 0);
    EXPECT_EQ(proxy_record(d.port(), -2).act_cnt, 0);

    /* One message taken makes room: the next trigger is queued. */
    owner.receive(0);
    EXPECT_GT(delivered(owner).first, 0);
    EXPECT_EQ(trigger(t, -2), 0);
    r = proxy_record(d.port(), -2);
    EXPECT_EQ(r.fire_cnt, 3);
    EXPECT_EQ(r.act_cnt, 1);
    owner.receive(-2);
    EXPECT_EQ(delivered(owner), std::make_pair(pid_t(-2), std::string("p")));
    for (int32_t left : {1, 0}) {
        owner.receive(-3);
        EXPECT_EQ(delivered(owner), std::make_pair(pid_t(-3), std::string("q")));
        EXPECT_EQ(proxy_record(d.port(), -3).act_cnt, left);
    }
    creceive(owner, -3);
    vt::expect_status(owner.c, ENOMSG);
}

/* unanswered_trigger is the trigger a signal handler leaves while its
 * process has a request outstanding. */
std::vector<uint8_t> unanswered_trigger(pid_t from, int32_t proxy) {
    QNX_MSG_TRIGGER t{proxy};
    auto r = vt::req(MT_TRIGGER, from, t);
    uint16_t flags = VORLEN_FLAG_UNANSWERED;
    memcpy(r.data() + offsetof(QNX_MSG_HDR, flags), &flags, sizeof flags);
    return r;
}

/* A trigger marked unanswered is carried out while its sender waits, and the
 * only bytes that come back are the answers of the sender's own requests: a
 * names listing afterwards is the very next answer. */
TEST(WireProxies, UnansweredTriggerIsCarriedOutDuringAWaitAndNeverAnswered) {
    vt::Daemon d;
    Peer owner(d.port()), sender(d.port());
    pid_t px = attach(owner, owner.pid(), "tick");
    ASSERT_EQ(px, -2);
    pid_t later = attach(owner, owner.pid(), "tock");
    ASSERT_EQ(later, -3);

    /* Its own proxy answers the Receive it waits in, once. */
    owner.receive(0);
    ASSERT_TRUE(vt::wait_state(d.port(), owner.pid(), STATE_RECEIVE_BLOCKED));
    owner.c.send_bytes(unanswered_trigger(owner.pid(), px));
    EXPECT_EQ(delivered(owner), std::make_pair(px, std::string("tick")));
    owner.c.send_bytes(vt::names_listing(owner.pid()));
    vt::expect_names_listing(owner.c);

    /* Waiting for another: the trigger is queued, a bad id only logged. */
    owner.receive(sender.pid());
    ASSERT_TRUE(vt::wait_state(d.port(), owner.pid(), STATE_RECEIVE_BLOCKED));
    for (int32_t proxy : {later, -52, 0})
        owner.c.send_bytes(unanswered_trigger(owner.pid(), proxy));
    ASSERT_TRUE(vt::wait_until([&] { return proxy_record(d.port(), later).act_cnt == 1; }));
    sender.c.send_bytes(vt::send_req(MT_SEND, sender.pid(), owner.pid(), {"hello"}));
    EXPECT_EQ(delivered(owner), std::make_pair(sender.pid(), std::string("hello")));
    owner.receive(0);
    EXPECT_EQ(delivered(owner), std::make_pair(later, std::string("tock")));
    owner.c.send_bytes(vt::names_listing(owner.pid()));
    vt::expect_names_listing(owner.c);

    /* On a new connection it binds as any first request does; one that
     * cannot be bound gets nothing either, and its connection is closed. */
    vt::RawClient fresh(d.port()), stranger(d.port());
    fresh.send_bytes(unanswered_trigger(fresh.pid(), px));
    ASSERT_TRUE(vt::wait_until([&] { return proxy_record(d.port(), px).act_cnt == 1; }));
    EXPECT_EQ(vt::process_record(d.port(), fresh.pid()).pid, fresh.pid());
    /* sender's process does not hold this connection. */
    stranger.send_bytes(unanswered_trigger(sender.pid(), px));
    stranger.send_bytes(vt::names_listing(stranger.pid()));
    EXPECT_TRUE(stranger.closed_by_peer());
    EXPECT_EQ(proxy_record(d.port(), px).fire_cnt, 2);
}

/* A proxy for another process leads into its Receive: a caller may attach
 * one only for a process of its own user, unless it is root. */
TEST(WireProxies, AProxyForAnotherUsersProcessIsRefusedUnlessRoot) {
    if (getuid() != 0) GTEST_SKIP() << "needs root to run a second user";
    vt::Daemon d;
    const pid_t root_pid = getpid();
    pid_t nobody = vt::spawn([] {
        if (setgid(65534) != 0 || setuid(65534) != 0) return 1;
        pause();
        return 0;
    });
    ASSERT_TRUE(vt::wait_until([&] {
        return vt::read_file("/proc/" + std::to_string(nobody) + "/status").find("Uid:\t65534") !=
               std::string::npos;
    }));
    pid_t checker = vt::spawn([root_pid, nobody] {
        if (setgid(65534) != 0 || setuid(65534) != 0) return 1;
        errno = 0;
        REQUIRE(qnx_proxy_attach(root_pid, nullptr, 0, -1) == -1 && errno == EPERM);
        REQUIRE(qnx_proxy_attach(nobody, nullptr, 0, -1) < -1); /* its own user's */
        REQUIRE(qnx_proxy_attach(0, nullptr, 0, -1) < -1);      /* its own */
        return 0;
    });
    EXPECT_EQ(vt::wait_exit(checker), 0);
    /* Root may attach one for anybody. */
    EXPECT_LT(qnx_proxy_attach(nobody, nullptr, 0, -1), -1);
    kill(nobody, SIGKILL);
    waitpid(nobody, nullptr, 0);
}
