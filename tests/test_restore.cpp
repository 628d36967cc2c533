/* test_restore.cpp - a restarted daemon restores its clients: the state file, MT_RESTORE, resumed
 * Sends */
#include <cstring>
#include <string>
#include <vector>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "vorlen_test.h"

namespace {

using vt::Peer;
const vt::RawClient::Reconnectable again{};

/* ask sends a request of type typ with body and returns the fixed answer R. */
template <typename R, typename T> R ask(Peer &p, uint16_t typ, const T &body, uint16_t flags = 0) {
    auto r = vt::req(typ, p.pid(), body);
    reinterpret_cast<QNX_MSG_HDR *>(r.data())->flags.all = flags;
    p.c.send_bytes(r);
    QNX_MSG_HDR h = p.c.recv_hdr();
    EXPECT_EQ(h.ev.retcode, 0);
    EXPECT_EQ(h.msg_len, sizeof(R));
    R out{};
    auto b = p.c.recv_exact(sizeof(R));
    if (b.size() == sizeof(R)) memcpy(&out, b.data(), sizeof out);
    return out;
}

int32_t attach_name(Peer &p, const char *name) {
    QNX_MSG_NAME_ATTACH b{};
    strcpy(b.name, name);
    return ask<QNX_MSG_NAME_RES>(p, MT_NAME_ATTACH, b).id;
}

pid_t attach_proxy(Peer &p, const std::string &msg, uint16_t flags) {
    QNX_MSG_PROXY_ATTACH b{};
    b.to_pid = p.pid();
    b.prio = 10;
    b.nbytes = uint32_t(msg.size());
    memcpy(b.data, msg.data(), msg.size());
    return ask<QNX_MSG_PROXY_ATTACH>(p, MT_PROXY_ATTACH, b, flags).proxy_nr;
}

void trigger(Peer &p, pid_t proxy) {
    p.c.send_bytes(vt::req(MT_TRIGGER, p.pid(), QNX_MSG_TRIGGER{proxy}));
    p.status(0);
}

/* A periodic timer that triggers proxy every period_ms. */
int32_t periodic_timer(Peer &p, pid_t proxy, int period_ms) {
    QNX_MSG_MKTIMER m{};
    m.notify_type = NOTIFY_PROXY;
    m.itimercb.itcb_event.evt_value = proxy;
    int32_t nr = ask<QNX_MSG_MKTIMER>(p, MT_MKTIMER, m).timer_nr;
    QNX_MSG_TIMER t{};
    t.timer_nr = nr;
    t.value.it_value = {0, period_ms * 1000000};
    t.value.it_interval = {0, period_ms * 1000000};
    ask<QNX_MSG_TIMER>(p, MT_RELABSTIMER, t);
    return nr;
}

/* restore sends MT_RESTORE naming the senders p holds. */
void restore(Peer &p, const std::vector<pid_t> &held = {}) {
    QNX_MSG_RESTORE r{VORLEN_RESTORE_VERSION, uint32_t(held.size())};
    auto b = vt::hdr(MT_RESTORE, p.pid(), uint32_t(sizeof r + 4 * held.size()));
    const uint8_t *rb = reinterpret_cast<const uint8_t *>(&r);
    b.insert(b.end(), rb, rb + sizeof r);
    for (pid_t h : held) vt::append_u32(b, uint32_t(h));
    p.c.send_bytes(b);
}

bool listed_name(int port, pid_t pid, int32_t id, const char *name) {
    for (auto &n : vt::list_names(port))
        if (n.pid == pid && n.nr == id && strcmp(n.name, name) == 0) return true;
    return false;
}

class Restore : public vt::TransportTest {
  protected:
    std::string log(const vt::Daemon &d) { return vt::read_file(d.workdir() + "/vorlen.log"); }
    std::string state_path(const vt::Daemon &d) {
        return d.workdir() + "/vorlen." + std::to_string(d.port()) + ".state";
    }
    /* bounce kills the daemon with sig and starts it again on its port. */
    void bounce(vt::Daemon &d, int sig) {
        d.kill_and_wait(sig);
        ASSERT_TRUE(d.restart());
    }
};

/* A name, a counting proxy with triggers pending and a periodic timer come
 * back for their process after a SIGKILL and after a SIGTERM, the second
 * time from the state a restored daemon wrote. */
TEST_P(Restore, TablesComeBackAfterKillAndStop) {
    vt::Daemon d({"-v", "3"});
    Peer s(d.port(), again);
    s.bind();
    const int32_t name = attach_name(s, "restore/server");
    const pid_t counted = attach_proxy(s, "tick", VORLEN_FLAG_QNX4);
    const pid_t beat = attach_proxy(s, "beat", 0);
    const int32_t timer = periodic_timer(s, beat, 100);
    for (int sig : {SIGKILL, SIGTERM}) {
        SCOPED_TRACE(sig);
        for (int i = 0; i < 3; i++) trigger(s, counted);
        bounce(d, sig);
        ASSERT_TRUE(s.c.reconnect(d.port()));
        restore(s);
        s.status(0);
        EXPECT_TRUE(listed_name(d.port(), s.pid(), name, "restore/server"));
        /* Three pending triggers, each received once, and no more. */
        for (int i = 0; i < 3; i++) {
            s.receive(counted, 100);
            EXPECT_EQ(s.data(counted), "tick");
        }
        s.receive(counted, 100, 0, MT_NB_RECEIVE);
        s.status(ENOMSG);
        /* The timer is armed as it was and goes on triggering its proxy. */
        s.receive(beat, 100);
        EXPECT_EQ(s.data(beat), "beat");
        auto timers = vt::list_timers(d.port());
        ASSERT_EQ(timers.size(), 1u);
        EXPECT_EQ(timers[0].pid, s.pid());
        EXPECT_EQ(timers[0].nr, timer);
        EXPECT_EQ(timers[0].repeat.tv_nsec, 100000000);
        EXPECT_TRUE(timers[0].value.tv_sec != 0 || timers[0].value.tv_nsec != 0);
    }
}

/* What was in flight: a sender whose server holds its message is
 * REPLY-blocked on it again and gets its Reply, whether its resumed Send
 * comes before the server's MT_RESTORE or after it (which is answered only
 * once that sender is back); a queued sender's message is delivered once. */
TEST_P(Restore, ResumedSendsAreHeldOrDeliveredOnce) {
    vt::Daemon d({"-v", "5"});
    Peer srv(d.port(), again), held(d.port(), again), early(d.port(), again),
        queued(d.port(), again);
    for (Peer *p : {&srv, &held, &early, &queued}) p->bind();
    for (Peer *p : {&held, &early}) {
        p->send(srv.pid(), {"held"});
        srv.receive(0, 100);
        EXPECT_EQ(srv.data(p->pid()), "held");
    }
    queued.send(srv.pid(), {"queued"});
    ASSERT_TRUE(vt::wait_state(d.port(), queued.pid(), STATE_SEND_BLOCKED));
    bounce(d, SIGKILL);

    for (Peer *p : {&queued, &early}) {
        ASSERT_TRUE(p->c.reconnect(d.port()));
        restore(*p);
        p->status(0);
        p->send(srv.pid(), {p == &queued ? "queued" : "held"}, VORLEN_FLAG_RESUMED);
        ASSERT_TRUE(vt::wait_state(d.port(), p->pid(), STATE_SEND_BLOCKED));
    }

    ASSERT_TRUE(srv.c.reconnect(d.port()));
    restore(srv, {held.pid(), early.pid()});
    EXPECT_TRUE(srv.c.silent(200)); /* until the held sender is back */
    EXPECT_EQ(vt::process_record(d.port(), early.pid()).block_state, STATE_REPLY_BLOCKED);
    ASSERT_TRUE(held.c.reconnect(d.port()));
    restore(held);
    held.status(0);
    held.send(srv.pid(), {"held"}, VORLEN_FLAG_RESUMED);
    srv.status(0);
    EXPECT_EQ(vt::process_record(d.port(), held.pid()).block_state, STATE_REPLY_BLOCKED);

    for (Peer *p : {&held, &early}) {
        srv.reply(p->pid(), {"answer"});
        srv.status(0);
        EXPECT_EQ(p->data(0), "answer");
    }
    srv.receive(0, 100);
    EXPECT_EQ(srv.data(queued.pid()), "queued");
    srv.reply(queued.pid(), {"ok"});
    srv.status(0);
    EXPECT_EQ(queued.data(0), "ok");
    srv.receive(0, 100, 0, MT_NB_RECEIVE); /* nothing came twice */
    srv.status(ENOMSG);
}

/* A sender whose server runs but never restores gets ESRCH at the end of
 * the grace period, and the server's record goes with the usual line. */
TEST_P(Restore, AddresseeThatNeverRestoresGivesEsrch) {
    vt::Daemon d({"-v", "3", "--restore-grace", "0.5"});
    Peer srv(d.port(), again), a(d.port(), again);
    srv.bind();
    a.bind();
    a.send(srv.pid(), {"x"});
    srv.receive(0, 100);
    EXPECT_EQ(srv.data(a.pid()), "x");
    bounce(d, SIGKILL);
    ASSERT_TRUE(a.c.reconnect(d.port()));
    restore(a);
    a.status(0);
    a.send(srv.pid(), {"x"}, VORLEN_FLAG_RESUMED);
    QNX_MSG_HDR h = a.c.recv_hdr(10000);
    EXPECT_EQ(h.ev.retcode, ESRCH);
    /* The partners are released before the removal's line is written. */
    const std::string line = "Removed pid " + std::to_string(srv.pid());
    EXPECT_TRUE(vt::wait_until([&] { return log(d).find(line) != std::string::npos; }));
    EXPECT_NE(log(d).find("not claimed within the restore grace period"), std::string::npos);
}

/* A process that ended while no daemon ran is not restored; its name goes
 * with the usual lines. */
TEST_P(Restore, ProcessEndedDuringRestartIsNotRestored) {
    vt::Daemon d({"-v", "3"});
    Peer gone(d.port(), again);
    gone.bind();
    attach_name(gone, "restore/gone");
    const pid_t pid = gone.pid();
    d.kill_and_wait(SIGKILL);
    gone.c.end_process();
    ASSERT_TRUE(d.restart());
    EXPECT_TRUE(vt::list_names(d.port()).empty());
    EXPECT_NE(log(d).find("Removed pid " + std::to_string(pid)), std::string::npos);
    EXPECT_NE(log(d).find("automatic name detach \"restore/gone\""), std::string::npos);
}

/* Another process cannot claim a restored record: the pid is checked as at
 * any first request, and the record stays for its own process. */
TEST_P(Restore, ClaimOfAnothersRecordIsRefused) {
    vt::Daemon d({"-v", "3"});
    Peer owner(d.port(), again);
    owner.bind();
    const int32_t name = attach_name(owner, "restore/owner");
    bounce(d, SIGKILL);
    Peer liar(d.port());
    liar.pid();
    auto b = vt::hdr(MT_RESTORE, owner.pid(), sizeof(QNX_MSG_RESTORE));
    QNX_MSG_RESTORE r{VORLEN_RESTORE_VERSION, 0};
    b.insert(b.end(), reinterpret_cast<uint8_t *>(&r), reinterpret_cast<uint8_t *>(&r + 1));
    liar.c.send_bytes(b);
    vt::expect_status(liar.c, ESRCH);
    EXPECT_TRUE(liar.c.closed_by_peer());
    ASSERT_TRUE(owner.c.reconnect(d.port()));
    restore(owner);
    owner.status(0);
    EXPECT_TRUE(listed_name(d.port(), owner.pid(), name, "restore/owner"));
}

/* A damaged state file and one others may write are set aside, never
 * trusted: nobody is restored from them. */
TEST_P(Restore, UntrustedStateFileIsSetAside) {
    struct Case {
        const char *what;
        const char *reason;
        void (*spoil)(const std::string &path);
    };
    const Case cases[] = {
        {"damaged", "its header is damaged",
         [](const std::string &path) {
             FILE *f = fopen(path.c_str(), "r+b");
             ASSERT_NE(f, nullptr);
             fseek(f, 20, SEEK_SET);
             fputc(0x5A, f);
             fclose(f);
         }},
        {"writable by others", "writable by others than its owner",
         [](const std::string &path) { ASSERT_EQ(chmod(path.c_str(), 0666), 0); }},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        vt::Daemon d({"-v", "3"});
        Peer p(d.port(), again);
        p.bind();
        attach_name(p, "restore/spoilt");
        d.kill_and_wait(SIGKILL);
        c.spoil(state_path(d));
        ASSERT_TRUE(d.restart());
        struct stat st;
        EXPECT_EQ(stat((state_path(d) + ".bad").c_str(), &st), 0);
        EXPECT_NE(log(d).find("set aside as " + state_path(d) + ".bad: " + c.reason),
                  std::string::npos)
            << log(d);
        ASSERT_TRUE(p.c.reconnect(d.port()));
        restore(p);
        p.status(ESRCH);
        EXPECT_TRUE(vt::list_names(d.port()).empty());
    }
}

/* A slot torn by a death in the middle of its write is dropped with a
 * line; the rest of the file stands. */
TEST_P(Restore, TornSlotIsDroppedAndTheRestStands) {
    vt::Daemon d({"-v", "3"});
    Peer p(d.port(), again);
    p.bind();
    attach_name(p, "restore/torn");
    const int32_t kept = attach_name(p, "restore/kept");
    d.kill_and_wait(SIGKILL);
    std::string bytes = vt::read_file(state_path(d));
    const size_t at = bytes.find("restore/torn");
    ASSERT_NE(at, std::string::npos);
    FILE *f = fopen(state_path(d).c_str(), "r+b");
    ASSERT_NE(f, nullptr);
    fseek(f, long(at), SEEK_SET);
    fputc('R', f);
    fclose(f);
    ASSERT_TRUE(d.restart());
    ASSERT_TRUE(p.c.reconnect(d.port()));
    restore(p);
    p.status(0);
    auto names = vt::list_names(d.port());
    ASSERT_EQ(names.size(), 1u);
    EXPECT_EQ(names[0].nr, kept);
    EXPECT_NE(log(d).find("name slot 0 is damaged; dropped"), std::string::npos) << log(d);
}

/* vorlen --stop-clients ends the plant: the state file goes and every
 * client reads VORLEN_RETCODE_GONE. */
TEST_P(Restore, StopClientsEndsThePlant) {
    vt::Daemon d({"-v", "3"});
    Peer p(d.port(), again);
    p.bind();
    std::string port = std::to_string(d.port()), dir = d.workdir();
    pid_t c = vt::spawn([&] {
        if (chdir(dir.c_str()) != 0) return 126;
        std::string prog = vt::bin_path("vorlen");
        execl(prog.c_str(), prog.c_str(), "-p", port.c_str(), "--stop-clients", (char *)nullptr);
        return 127;
    });
    EXPECT_EQ(vt::wait_exit(c), 0);
    QNX_MSG_HDR h = p.c.recv_hdr();
    EXPECT_EQ(h.ev.retcode, VORLEN_RETCODE_GONE);
    EXPECT_TRUE(vt::wait_until([&] { return !d.alive(); }));
    struct stat st;
    EXPECT_NE(stat(state_path(d).c_str(), &st), 0);
}

VT_ON_BOTH_TRANSPORTS(Restore);

} // namespace
