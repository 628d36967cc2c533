/* test_wire_messaging.cpp - Send, Receive and Reply at the byte level: exact answers, states,
 * counters */
#include <cstring>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "vorlen_test.h"

using namespace vt;

namespace {

/* A raw client bound to a living pid of its own. */
/* A peer bound to its process before the test begins. */
struct Bound : Peer {
    explicit Bound(int port) : Peer(port) { bind(); }
};

} // namespace

/* The messaging is the same whatever carries the bytes. */
class WireMessaging : public TransportTest {};
VT_ON_BOTH_TRANSPORTS(WireMessaging);

TEST_P(WireMessaging, ReceiveFirstThenSendThenReplyWithExactAnswersAndCounters) {
    Daemon d;
    Bound r(d.port()), s(d.port());
    r.receive(0, 100);
    ASSERT_TRUE(wait_state(d.port(), r.pid(), STATE_RECEIVE_BLOCKED));
    EXPECT_TRUE(r.c.silent(5));
    s.send(r.pid(), {"hello"});
    EXPECT_EQ(r.data(s.pid()), "hello");
    auto sr = process_record(d.port(), s.pid());
    EXPECT_EQ(sr.block_state, STATE_REPLY_BLOCKED);
    EXPECT_EQ(sr.block_pid, r.pid());
    EXPECT_TRUE(s.c.silent(5));
    r.reply(s.pid(), {"abc", "defg"});
    EXPECT_EQ(s.data(0), "abcdefg");
    r.status(0);
    sr = process_record(d.port(), s.pid());
    auto rr = process_record(d.port(), r.pid());
    EXPECT_EQ(sr.block_state, STATE_READY);
    EXPECT_EQ(sr.block_pid, 0);
    EXPECT_EQ(sr.send_msg, 1);
    EXPECT_EQ(sr.send_bytes, 5);
    EXPECT_EQ(sr.rcv_msg, 1);
    EXPECT_EQ(sr.rcv_bytes, 7);
    EXPECT_EQ(rr.rcv_msg, 1);
    EXPECT_EQ(rr.rcv_bytes, 5);
    EXPECT_EQ(rr.rpl_msg, 1);
    EXPECT_EQ(rr.rpl_bytes, 7);
}

TEST_P(WireMessaging, QueuedMessagesAreFirstInFirstOutPerReceiverAndByPid) {
    Daemon d;
    Bound r(d.port()), a(d.port()), b(d.port()), c(d.port());
    a.send(r.pid(), {"from a"});
    ASSERT_TRUE(wait_state(d.port(), a.pid(), STATE_SEND_BLOCKED));
    b.send(r.pid(), {"from b"});
    ASSERT_TRUE(wait_state(d.port(), b.pid(), STATE_SEND_BLOCKED));
    c.send(r.pid(), {"from c"});
    ASSERT_TRUE(wait_state(d.port(), c.pid(), STATE_SEND_BLOCKED));
    EXPECT_EQ(process_record(d.port(), a.pid()).block_pid, r.pid());

    r.receive(c.pid(), 100);
    EXPECT_EQ(r.data(c.pid()), "from c");
    r.receive(0, 100);
    EXPECT_EQ(r.data(a.pid()), "from a");
    r.receive(0, 100);
    EXPECT_EQ(r.data(b.pid()), "from b");
    for (Bound *p : {&a, &b, &c})
        EXPECT_EQ(process_record(d.port(), p->pid()).block_state, STATE_REPLY_BLOCKED);
    /* Each held message is released with its own reply, in any order. */
    r.reply(b.pid(), {"rb"});
    r.status(0);
    r.reply(a.pid(), {"ra"});
    r.status(0);
    r.reply(c.pid(), {"rc"});
    r.status(0);
    EXPECT_EQ(a.data(0), "ra");
    EXPECT_EQ(b.data(0), "rb");
    EXPECT_EQ(c.data(0), "rc");
}

TEST_P(WireMessaging, AReceiverWaitingForOnePidIsNotGivenAnothersMessage) {
    Daemon d;
    Bound r(d.port()), a(d.port()), b(d.port());
    r.receive(a.pid(), 100);
    ASSERT_TRUE(wait_state(d.port(), r.pid(), STATE_RECEIVE_BLOCKED));
    EXPECT_EQ(process_record(d.port(), r.pid()).block_pid, a.pid());
    b.send(r.pid(), {"b first"});
    ASSERT_TRUE(wait_state(d.port(), b.pid(), STATE_SEND_BLOCKED));
    EXPECT_TRUE(r.c.silent(5));
    a.send(r.pid(), {"a"});
    EXPECT_EQ(r.data(a.pid()), "a");
    r.receive(0, 100);
    EXPECT_EQ(r.data(b.pid()), "b first");
}

TEST_P(WireMessaging, OffsetsAndReReadsOfAHeldMessage) {
    Daemon d;
    Bound r(d.port()), s(d.port());
    std::string msg;
    for (int i = 0; i < 100; i++) msg += char('0' + i % 10 + (i / 10) % 3 * 10);
    s.send(r.pid(), {msg});
    ASSERT_TRUE(wait_state(d.port(), s.pid(), STATE_SEND_BLOCKED));
    r.receive(0, 10);
    EXPECT_EQ(r.data(s.pid()), msg.substr(0, 10));
    r.receive(s.pid(), 50, 90);
    EXPECT_EQ(r.data(s.pid()), msg.substr(90));
    r.receive(s.pid(), 50, 120);
    EXPECT_EQ(r.data(s.pid()), "");
    r.receive(s.pid(), 0xFFFFFFFFu, 5);
    EXPECT_EQ(r.data(s.pid()), msg.substr(5));
    /* Re-reads move no counter and leave the sender REPLY-blocked. */
    auto rr = process_record(d.port(), r.pid());
    EXPECT_EQ(rr.rcv_msg, 1);
    EXPECT_EQ(rr.rcv_bytes, 100);
    EXPECT_EQ(process_record(d.port(), s.pid()).block_state, STATE_REPLY_BLOCKED);
    r.reply(s.pid(), {});
    EXPECT_EQ(s.data(0), "");
    r.status(0);
}

TEST_P(WireMessaging, BlocksAreConcatenatedAndEmptyMessagesDelivered) {
    Daemon d;
    Bound r(d.port()), s(d.port());
    s.send(r.pid(), {"abcd", "", "efghij"});
    r.receive(0, 100);
    EXPECT_EQ(r.data(s.pid()), "abcdefghij");
    r.reply(s.pid(), {""});
    EXPECT_EQ(s.data(0), "");
    r.status(0);
    s.send(r.pid(), {});
    r.receive(0, 100);
    EXPECT_EQ(r.data(s.pid()), "");
    r.reply(s.pid(), {std::string(70000, 'r')});
    EXPECT_EQ(s.data(0), std::string(70000, 'r'));
    r.status(0);
}

TEST_P(WireMessaging, AReplyIsAcceptedOnlyFromTheProcessHoldingTheMessage) {
    Daemon d;
    Bound r(d.port()), s(d.port()), other(d.port()), q(d.port());
    /* Not blocked at all, no record, RECEIVE-blocked, SEND-blocked. */
    other.reply(s.pid(), {"x"});
    other.status(ESRCH);
    other.reply(99999999, {"x"});
    other.status(ESRCH);
    q.receive(0, 10);
    ASSERT_TRUE(wait_state(d.port(), q.pid(), STATE_RECEIVE_BLOCKED));
    other.reply(q.pid(), {"x"});
    other.status(ESRCH);
    s.send(r.pid(), {"m"});
    ASSERT_TRUE(wait_state(d.port(), s.pid(), STATE_SEND_BLOCKED));
    other.reply(s.pid(), {"x"});
    other.status(ESRCH);
    /* REPLY-blocked, but on r: only r may answer. */
    r.receive(0, 10);
    EXPECT_EQ(r.data(s.pid()), "m");
    other.reply(s.pid(), {"intruder"});
    other.status(ESRCH);
    EXPECT_TRUE(s.c.silent(5));
    r.reply(s.pid(), {"owner"});
    EXPECT_EQ(s.data(0), "owner");
    r.status(0);
    /* Refused replies do not count for the replier; the delivered one does. */
    auto o = process_record(d.port(), other.pid());
    EXPECT_EQ(o.rpl_msg, 0);
    EXPECT_EQ(o.rpl_bytes, 0);
    EXPECT_EQ(process_record(d.port(), r.pid()).rpl_msg, 1);
    q.c.close();
}

TEST_P(WireMessaging, CreceiveNeverBlocks) {
    Daemon d;
    Bound r(d.port()), s(d.port());
    r.receive(0, 10, 0, MT_NB_RECEIVE);
    QNX_MSG_HDR h = r.c.recv_hdr();
    EXPECT_EQ(h.ev.retcode, ENOMSG);
    EXPECT_EQ(h.msg_len, 0u);
    EXPECT_EQ(process_record(d.port(), r.pid()).block_state, STATE_READY);
    r.receive(s.pid(), 10, 0, MT_NB_RECEIVE);
    r.status(ENOMSG);
    s.send(r.pid(), {"queued"});
    ASSERT_TRUE(wait_state(d.port(), s.pid(), STATE_SEND_BLOCKED));
    r.receive(0, 100, 0, MT_NB_RECEIVE);
    EXPECT_EQ(r.data(s.pid()), "queued");
    r.reply(s.pid(), {"ok"});
    EXPECT_EQ(s.data(0), "ok");
    r.status(0);
}

TEST_P(WireMessaging, BlocksThatDoNotFillTheRequestAreRefusedWhole) {
    Daemon d;
    Bound r(d.port()), s(d.port());
    /* Two blocks announced, one present. */
    auto one = send_req(MT_SEND, s.pid(), r.pid(), {"only"});
    QNX_MSG_HDR_SND *snd = reinterpret_cast<QNX_MSG_HDR_SND *>(one.data() + 24);
    snd->nblocks = 2;
    s.c.send_bytes(one);
    s.status(EINVAL);
    /* A block longer than the request. */
    auto big = send_req(MT_SEND, s.pid(), r.pid(), {"abcdef"});
    uint32_t huge = 1000;
    memcpy(big.data() + 36, &huge, 4);
    s.c.send_bytes(big);
    s.status(EINVAL);
    /* Bytes left over behind the blocks. */
    auto extra = send_req(MT_REPLY, s.pid(), r.pid(), {"ab"});
    extra.push_back('!');
    reinterpret_cast<QNX_MSG_HDR *>(extra.data())->msg_len += 1;
    s.c.send_bytes(extra);
    s.status(EINVAL);
    EXPECT_EQ(process_record(d.port(), s.pid()).block_state, STATE_READY);
    /* Still in step. */
    s.send(r.pid(), {"fine"});
    r.receive(0, 10);
    EXPECT_EQ(r.data(s.pid()), "fine");
}

TEST_P(WireMessaging, AFullQueueRefusesTheSendWithEagain) {
    Daemon d({"-v", "2"});
    Bound r(d.port());
    std::vector<std::unique_ptr<Bound>> senders;
    for (int i = 0; i < 512; i++) {
        senders.push_back(std::make_unique<Bound>(d.port()));
        senders.back()->send(r.pid(), {"queued " + std::to_string(i)});
    }
    ASSERT_TRUE(wait_state(d.port(), senders.back()->pid(), STATE_SEND_BLOCKED, 20000));
    Bound late(d.port());
    late.send(r.pid(), {"no room"});
    late.status(EAGAIN);
    EXPECT_EQ(process_record(d.port(), late.pid()).block_state, STATE_READY);
    EXPECT_NE(d.stdout_text().find("EAGAIN"), std::string::npos);
    /* One taken, one free: the next Send queues again. */
    r.receive(0, 100);
    EXPECT_EQ(r.data(senders[0]->pid()), "queued 0");
    late.send(r.pid(), {"room now"});
    ASSERT_TRUE(wait_state(d.port(), late.pid(), STATE_SEND_BLOCKED));
}

TEST_P(WireMessaging, ASenderReleasedFromTheQueueCannotBeReceivedLater) {
    Daemon d;
    Bound r(d.port()), s(d.port());
    auto gone = std::make_unique<Bound>(d.port());
    pid_t gpid = gone->pid();
    /* s waits in gone's queue; gone's end releases s with ESRCH. */
    s.send(gpid, {"to the departed"});
    ASSERT_TRUE(wait_state(d.port(), s.pid(), STATE_SEND_BLOCKED));
    gone.reset();
    QNX_MSG_HDR h = s.c.recv_hdr();
    EXPECT_EQ(h.ev.retcode, ESRCH);
    EXPECT_EQ(h.from_pid, gpid);
    /* s is READY with nothing queued anywhere: r's receive waits. */
    r.receive(0, 100, 0, MT_NB_RECEIVE);
    r.status(ENOMSG);
    s.send(r.pid(), {"next"});
    r.receive(0, 100);
    EXPECT_EQ(r.data(s.pid()), "next");
}

TEST_P(WireMessaging, RereadReadsOnlyAHeldMessageAndChangesNothing) {
    Daemon d;
    Bound r(d.port()), held(d.port()), queued(d.port()), idle(d.port());
    held.send(r.pid(), {"0123456789"});
    r.receive(0, 4);
    EXPECT_EQ(r.data(held.pid()), "0123");
    queued.send(r.pid(), {"waiting"});
    ASSERT_TRUE(wait_state(d.port(), queued.pid(), STATE_SEND_BLOCKED));

    r.reread(held.pid(), 3, 4);
    EXPECT_EQ(r.data(held.pid()), "456");
    r.reread(held.pid(), 100, 8);
    EXPECT_EQ(r.data(held.pid()), "89");
    for (pid_t p : {queued.pid(), idle.pid(), pid_t(0), pid_t(-2)}) {
        r.reread(p, 10, 0);
        r.status(ESRCH);
    }
    EXPECT_EQ(process_record(d.port(), queued.pid()).block_state, STATE_SEND_BLOCKED);
    EXPECT_EQ(process_record(d.port(), held.pid()).block_state, STATE_REPLY_BLOCKED);
    EXPECT_EQ(process_record(d.port(), r.pid()).rcv_msg, 1);
    r.receive(0, 100);
    EXPECT_EQ(r.data(queued.pid()), "waiting");
}

TEST_P(WireMessaging, AnInterruptBreaksOffOnlyAWaitThatHasNotBeenServed) {
    Daemon d;
    Bound r(d.port()), s(d.port()), other(d.port());
    /* READY: nothing to break, and nothing answered. */
    r.interrupt();
    EXPECT_TRUE(r.c.silent(20));
    /* RECEIVE-blocked. */
    r.receive(0, 10);
    ASSERT_TRUE(wait_state(d.port(), r.pid(), STATE_RECEIVE_BLOCKED));
    r.interrupt();
    r.status(EINTR);
    EXPECT_EQ(process_record(d.port(), r.pid()).block_state, STATE_READY);
    /* SEND-blocked: the message is withdrawn with the answer. */
    s.send(other.pid(), {"never"});
    ASSERT_TRUE(wait_state(d.port(), s.pid(), STATE_SEND_BLOCKED));
    s.interrupt();
    s.status(EINTR);
    other.receive(0, 10, 0, MT_NB_RECEIVE);
    other.status(ENOMSG);
    /* REPLY-blocked: the reply is still to come, and comes once. */
    s.send(r.pid(), {"hold"});
    r.receive(0, 10);
    EXPECT_EQ(r.data(s.pid()), "hold");
    s.interrupt();
    EXPECT_TRUE(s.c.silent(20));
    r.reply(s.pid(), {"late"});
    EXPECT_EQ(s.data(0), "late");
    r.status(0);
    EXPECT_TRUE(s.c.silent(20));
    /* Type 0 without the mark is still an unassigned type. */
    r.c.send_bytes(hdr(0, r.pid(), 0));
    r.status(ESRCH);
}

TEST_P(WireMessaging, AnInterruptAnswersAReceivedSendOnlyWhenItAskedForQnx4) {
    struct Case {
        const char *what;
        uint16_t flags;              /* of the Send */
        std::vector<int32_t> pflags; /* the receiver's, set in this order */
        bool broken;                 /* the interrupt answers the Send EINTR */
    };
    const Case cases[] = {
        {"QNX 4 Send, receiver without flags", VORLEN_FLAG_QNX4, {}, true},
        {"QNX 4 Send, receiver's SIGCATCH set and cleared",
         VORLEN_FLAG_QNX4,
         {VORLEN_PFLAG_SIGCATCH, 0},
         true},
        {"QNX 4 Send, receiver catches signals", VORLEN_FLAG_QNX4, {VORLEN_PFLAG_SIGCATCH}, false},
        {"plain Send", 0, {}, false},
    };
    Daemon d;
    for (const Case &k : cases) {
        SCOPED_TRACE(k.what);
        Bound r(d.port()), s(d.port());
        for (int32_t f : k.pflags) r.pflags(f);
        s.send(r.pid(), {"0123456789"}, k.flags);
        r.receive(0, 4);
        EXPECT_EQ(r.data(s.pid()), "0123");
        s.interrupt();
        if (k.broken) {
            s.status(EINTR);
            EXPECT_EQ(process_record(d.port(), s.pid()).block_state, STATE_READY);
            /* The message is gone with the answer: nothing is left to read or
             * to reply to, and the sender hears nothing more. */
            r.reread(s.pid(), 10, 4);
            r.status(ESRCH);
            r.reply(s.pid(), {"late"});
            r.status(ESRCH);
            EXPECT_TRUE(s.c.silent(20));
            s.send(r.pid(), {"next"}, k.flags);
            r.receive(0, 10);
            EXPECT_EQ(r.data(s.pid()), "next");
        } else {
            EXPECT_TRUE(s.c.silent(20));
            EXPECT_EQ(process_record(d.port(), s.pid()).block_state, STATE_REPLY_BLOCKED);
            r.reread(s.pid(), 10, 4);
            EXPECT_EQ(r.data(s.pid()), "456789");
        }
        r.reply(s.pid(), {"reply"});
        EXPECT_EQ(s.data(0), "reply");
        r.status(0);
    }
}

TEST(WireMessaging, WrittenBytesAreMergedUnderTheReplyAndUsedUpByIt) {
    Daemon d;
    Bound r(d.port()), s(d.port());
    s.send(r.pid(), {"question"});
    r.receive(0, 100);
    EXPECT_EQ(r.data(s.pid()), "question");
    r.writemsg(s.pid(), 8, {"abc", "de"});
    r.status(0);
    r.writemsg(s.pid(), 11, {"XYZ"}); /* over the end of the first */
    r.status(0);
    r.writemsg(s.pid(), 40, {}); /* nothing written: the reply does not grow */
    r.status(0);
    EXPECT_TRUE(s.c.silent(5));
    EXPECT_EQ(process_record(d.port(), s.pid()).block_state, STATE_REPLY_BLOCKED);
    /* The message is still there to read, written bytes or not. */
    r.reread(s.pid(), 100, 0);
    EXPECT_EQ(r.data(s.pid()), "question");
    r.reply(s.pid(), {"0123", "45"});
    EXPECT_EQ(s.data(0), std::string("012345\0\0abcXYZ", 14));
    r.status(0);
    EXPECT_EQ(process_record(d.port(), s.pid()).rcv_bytes, 14);

    /* A reply longer than what was written goes over all of it. */
    s.send(r.pid(), {"again"});
    r.receive(0, 100);
    EXPECT_EQ(r.data(s.pid()), "again");
    r.writemsg(s.pid(), 2, {"zz"});
    r.status(0);
    r.reply(s.pid(), {"abcdef"});
    EXPECT_EQ(s.data(0), "abcdef");
    r.status(0);

    /* Nothing written stays for the next exchange. */
    s.send(r.pid(), {"third"});
    r.receive(0, 100);
    EXPECT_EQ(r.data(s.pid()), "third");
    r.reply(s.pid(), {"r"});
    EXPECT_EQ(s.data(0), "r");
    r.status(0);
}

TEST(WireMessaging, WritemsgAndRelayActOnlyOnASenderTheCallerHolds) {
    Daemon d;
    Bound r(d.port()), held(d.port()), queued(d.port()), elsewhere(d.port()), other(d.port()),
        idle(d.port());
    held.send(r.pid(), {"held"});
    r.receive(0, 10);
    EXPECT_EQ(r.data(held.pid()), "held");
    queued.send(r.pid(), {"queued"});
    ASSERT_TRUE(wait_state(d.port(), queued.pid(), STATE_SEND_BLOCKED));
    elsewhere.send(other.pid(), {"other's"});
    other.receive(0, 10);
    EXPECT_EQ(other.data(elsewhere.pid()), "other's");
    for (pid_t p : {idle.pid(), queued.pid(), elsewhere.pid(), r.pid(), pid_t(99999999), pid_t(0),
                    pid_t(-2)}) {
        SCOPED_TRACE(p);
        r.writemsg(p, 0, {"x"});
        r.status(ESRCH);
        r.relay(p, other.pid());
        r.status(ESRCH);
    }
    /* A target that does not exist: the sender stays with the caller. */
    r.relay(held.pid(), 99999999);
    r.status(ESRCH);
    r.relay(held.pid(), -2);
    r.status(ESRCH);
    EXPECT_EQ(process_record(d.port(), queued.pid()).block_state, STATE_SEND_BLOCKED);
    EXPECT_EQ(process_record(d.port(), elsewhere.pid()).block_pid, other.pid());
    auto h = process_record(d.port(), held.pid());
    EXPECT_EQ(h.block_state, STATE_REPLY_BLOCKED);
    EXPECT_EQ(h.block_pid, r.pid());
    r.reply(held.pid(), {"ok"});
    EXPECT_EQ(held.data(0), "ok");
    r.status(0);
    other.reply(elsewhere.pid(), {"ok"});
    EXPECT_EQ(elsewhere.data(0), "ok");
    other.status(0);
}

TEST(WireMessaging, WritemsgIsBoundedByTheRequestLimitAndRefusalsKeepTheConnectionInStep) {
    Daemon d({"--max-request", "1000"});
    Bound r(d.port()), s(d.port());
    s.send(r.pid(), {"m"});
    r.receive(0, 10);
    EXPECT_EQ(r.data(s.pid()), "m");
    struct Case {
        const char *what;
        uint16_t flags;
        std::vector<std::string> blocks; /* the offset block included */
        int retcode;
    };
    const std::string o0 = Bound::u32(0);
    const Case cases[] = {
        {"bytes ending beyond the limit",
         VORLEN_FLAG_WRITEMSG,
         {Bound::u32(990), "0123456789X"},
         EFAULT},
        {"an offset that wraps", VORLEN_FLAG_WRITEMSG, {Bound::u32(0xFFFFFFFFu), "ab"}, EFAULT},
        {"an offset beyond the limit, no bytes", VORLEN_FLAG_WRITEMSG, {Bound::u32(1001)}, EFAULT},
        {"no offset block", VORLEN_FLAG_WRITEMSG, {}, EINVAL},
        {"an offset block of 3 bytes", VORLEN_FLAG_WRITEMSG, {"abc", "x"}, EINVAL},
        {"both marks", VORLEN_FLAG_WRITEMSG | VORLEN_FLAG_RELAY, {o0, "x"}, EINVAL},
        {"a relay of two blocks", VORLEN_FLAG_RELAY, {Bound::u32(uint32_t(r.pid())), "x"}, EINVAL},
        {"a relay of a 2-byte block", VORLEN_FLAG_RELAY, {"ab"}, EINVAL},
        {"ending at the limit", VORLEN_FLAG_WRITEMSG, {Bound::u32(996), "wxyz"}, 0},
        {"the first 600 bytes kept", VORLEN_FLAG_WRITEMSG, {o0, std::string(600, 'a')}, 0},
        {"600 more would pass the limit",
         VORLEN_FLAG_WRITEMSG,
         {o0, std::string(600, 'b')},
         EFAULT},
    };
    for (const Case &k : cases) {
        SCOPED_TRACE(k.what);
        r.marked_reply(s.pid(), k.flags, k.blocks);
        r.status(k.retcode);
    }
    /* A request over the limit is dropped as it arrives, and refused. */
    r.writemsg(s.pid(), 0, {std::string(2000, 'c')});
    r.status(EFAULT);
    EXPECT_TRUE(s.c.silent(5));
    EXPECT_EQ(process_record(d.port(), s.pid()).block_state, STATE_REPLY_BLOCKED);
    r.reply(s.pid(), {"R"});
    EXPECT_EQ(s.data(0), "R" + std::string(599, 'a') + std::string(396, '\0') + "wxyz");
    r.status(0);
}

TEST(WireMessaging, ARelayToAWaitingReceiverDeliversAtOnce) {
    Daemon d;
    Bound r(d.port()), s(d.port()), t(d.port());
    s.send(r.pid(), {"to be relayed"});
    r.receive(0, 4);
    EXPECT_EQ(r.data(s.pid()), "to b");
    r.writemsg(s.pid(), 6, {"kept"});
    r.status(0);
    t.receive(s.pid(), 100);
    ASSERT_TRUE(wait_state(d.port(), t.pid(), STATE_RECEIVE_BLOCKED));
    r.relay(s.pid(), t.pid());
    EXPECT_EQ(t.data(s.pid()), "to be relayed");
    r.status(0);
    auto sr = process_record(d.port(), s.pid());
    EXPECT_EQ(sr.block_state, STATE_REPLY_BLOCKED);
    EXPECT_EQ(sr.block_pid, t.pid());
    EXPECT_EQ(sr.send_msg, 1);
    EXPECT_EQ(process_record(d.port(), t.pid()).rcv_msg, 1);
    /* The first receiver holds it no longer. */
    r.reread(s.pid(), 10, 0);
    r.status(ESRCH);
    r.writemsg(s.pid(), 0, {"x"});
    r.status(ESRCH);
    r.reply(s.pid(), {"late"});
    r.status(ESRCH);
    EXPECT_TRUE(s.c.silent(5));
    /* The new one does, and its reply takes what the first one wrote. */
    t.reread(s.pid(), 100, 6);
    EXPECT_EQ(t.data(s.pid()), "relayed");
    t.reply(s.pid(), {"t"});
    EXPECT_EQ(s.data(0), std::string("t\0\0\0\0\0kept", 10));
    t.status(0);
}

TEST(WireMessaging, ARelayToABusyReceiverQueuesTheMessage) {
    Daemon d;
    Bound r(d.port()), s(d.port()), t(d.port()), first(d.port()), third(d.port());
    first.send(t.pid(), {"first"});
    ASSERT_TRUE(wait_state(d.port(), first.pid(), STATE_SEND_BLOCKED));
    /* t waits, but only for third: a relayed message is not for it yet. */
    t.receive(third.pid(), 100);
    ASSERT_TRUE(wait_state(d.port(), t.pid(), STATE_RECEIVE_BLOCKED));
    s.send(r.pid(), {"relayed"});
    r.receive(0, 100);
    EXPECT_EQ(r.data(s.pid()), "relayed");
    r.relay(s.pid(), t.pid());
    r.status(0);
    EXPECT_TRUE(t.c.silent(5));
    auto sr = process_record(d.port(), s.pid());
    EXPECT_EQ(sr.block_state, STATE_SEND_BLOCKED);
    EXPECT_EQ(sr.block_pid, t.pid());
    r.reply(s.pid(), {"late"});
    r.status(ESRCH);
    third.send(t.pid(), {"third"});
    EXPECT_EQ(t.data(third.pid()), "third");
    /* Behind what was queued before it. */
    t.receive(0, 100);
    EXPECT_EQ(t.data(first.pid()), "first");
    t.receive(0, 100);
    EXPECT_EQ(t.data(s.pid()), "relayed");
    t.reply(s.pid(), {"from t"});
    EXPECT_EQ(s.data(0), "from t");
    t.status(0);
}

TEST(WireMessaging, ARelayedSenderThatGoesOrIsInterruptedWhileQueuedLeavesNothing) {
    Daemon d;
    Bound r(d.port()), t(d.port()), s2(d.port());
    auto s = std::make_unique<Bound>(d.port());
    pid_t spid = s->pid();
    s->send(r.pid(), {"doomed"});
    r.receive(0, 100);
    EXPECT_EQ(r.data(spid), "doomed");
    r.writemsg(spid, 0, {std::string(1000, 'w')});
    r.status(0);
    r.relay(spid, t.pid());
    r.status(0);
    ASSERT_TRUE(wait_state(d.port(), spid, STATE_SEND_BLOCKED));
    s.reset();
    ASSERT_TRUE(wait_until([&] { return process_record(d.port(), spid).pid == 0; }));
    t.receive(0, 100, 0, MT_NB_RECEIVE);
    t.status(ENOMSG);

    /* Interrupted while queued: answered EINTR, withdrawn with its writes. */
    s2.send(r.pid(), {"interrupted"});
    r.receive(0, 100);
    EXPECT_EQ(r.data(s2.pid()), "interrupted");
    r.writemsg(s2.pid(), 4, {"w"});
    r.status(0);
    r.relay(s2.pid(), t.pid());
    r.status(0);
    ASSERT_TRUE(wait_state(d.port(), s2.pid(), STATE_SEND_BLOCKED));
    s2.interrupt();
    s2.status(EINTR);
    t.receive(0, 100, 0, MT_NB_RECEIVE);
    t.status(ENOMSG);
    s2.send(t.pid(), {"next"});
    t.receive(0, 100);
    EXPECT_EQ(t.data(s2.pid()), "next");
    t.reply(s2.pid(), {"plain"});
    EXPECT_EQ(s2.data(0), "plain");
    t.status(0);
}
