/* test_wire_names.cpp - the name registry on the wire: attach, detach, locate */
#include "vorlen_test.h"

#include <cerrno>
#include <cstring>
#include <memory>
#include <string>

#include <gtest/gtest.h>

namespace {

/* A raw client speaking for a living pid of its own. */
using vt::Peer;

QNX_MSG_NAME_ATTACH name_body(const std::string &name) {
    QNX_MSG_NAME_ATTACH b;
    memset(&b, 0, sizeof b);
    memcpy(b.name, name.data(), name.size() < sizeof b.name ? name.size() : sizeof b.name);
    return b;
}

/* attach sends MT_NAME_ATTACH and returns the new id, or minus the retcode. */
int attach(Peer &p, const std::string &name) {
    p.c.send_bytes(vt::req(MT_NAME_ATTACH, p.pid(), name_body(name)));
    QNX_MSG_HDR h = p.c.recv_hdr();
    if (h.ev.retcode != 0) {
        EXPECT_EQ(h.msg_len, 0u);
        return -int(h.ev.retcode);
    }
    /* The record answer: the request's own header, then the id. */
    EXPECT_EQ(h.from_pid, p.pid());
    EXPECT_EQ(h.msg_len, sizeof(QNX_MSG_NAME_RES));
    QNX_MSG_NAME_RES res;
    auto b = p.c.recv_exact(sizeof res);
    if (b.size() != sizeof res) return -1000;
    memcpy(&res, b.data(), sizeof res);
    EXPECT_EQ(res.nid, 0);
    return res.id;
}

int detach(Peer &p, int32_t id) {
    QNX_MSG_NAME_DETACH b{};
    b.id = id;
    p.c.send_bytes(vt::req(MT_NAME_DETACH, p.pid(), b));
    QNX_MSG_HDR h = p.c.recv_hdr();
    EXPECT_EQ(h.msg_len, 0u);
    return h.ev.retcode;
}

/* locate returns the owner's pid from the answer, or minus the retcode. A
 * name found here is held by this node alone: one copy, in prio. */
pid_t locate(Peer &p, const std::string &name) {
    p.c.send_bytes(vt::req(MT_NAME_QUERY, p.pid(), name_body(name)));
    QNX_MSG_HDR h = p.c.recv_hdr();
    EXPECT_EQ(h.msg_len, 0u);
    if (h.ev.retcode != 0) return -int(h.ev.retcode);
    EXPECT_EQ(h.prio, 1);
    return h.from_pid;
}

} // namespace

TEST(WireNames, IdsFollowSlotsAndOnlyOwnersDetach) {
    vt::Daemon d;
    Peer a(d.port()), b(d.port());

    EXPECT_EQ(attach(a, "alpha"), 1);
    EXPECT_EQ(attach(a, "beta"), 2);
    EXPECT_EQ(attach(b, "gamma"), 3);
    EXPECT_EQ(detach(a, 2), 0);
    EXPECT_EQ(locate(b, "beta"), -ESRCH);
    EXPECT_EQ(attach(b, "delta"), 2); /* the lowest free slot, same id */

    /* A name a living process holds is refused, the holder itself included. */
    EXPECT_EQ(attach(a, "gamma"), -ESRCH);
    EXPECT_EQ(attach(a, "alpha"), -ESRCH);
    EXPECT_EQ(vt::list_names(d.port()).size(), 3u);

    /* Exact, case-sensitive lookup; the owner's pid comes in from_pid. */
    EXPECT_EQ(locate(a, "delta"), b.pid());
    EXPECT_EQ(locate(b, "alpha"), a.pid());
    EXPECT_EQ(locate(a, "Delta"), -ESRCH);
    EXPECT_EQ(locate(a, "delt"), -ESRCH);
    /* A global name of a node alone is found as any; one it does not hold
     * is nowhere else either. */
    EXPECT_EQ(attach(b, "/global"), 4);
    EXPECT_EQ(locate(a, "/global"), b.pid());
    EXPECT_EQ(locate(a, "/elsewhere"), -ESRCH);

    /* Detach: ids out of range, a free slot, another process's name. */
    EXPECT_EQ(detach(a, 0), ESRCH);
    EXPECT_EQ(detach(a, 51), ESRCH);
    EXPECT_EQ(detach(a, -1), ESRCH);
    EXPECT_EQ(detach(a, 4), ESRCH);
    EXPECT_EQ(detach(a, 3), ESRCH);
    EXPECT_EQ(detach(b, 4), 0);
    EXPECT_EQ(locate(a, "gamma"), b.pid());
    EXPECT_EQ(detach(b, 3), 0);
    EXPECT_EQ(detach(b, 3), ESRCH);
}

TEST(WireNames, NameFieldLimits) {
    vt::Daemon d;
    Peer a(d.port());

    std::string longest(32, 'n');
    EXPECT_EQ(attach(a, longest), 1);
    EXPECT_EQ(locate(a, longest), a.pid());
    auto names = vt::list_names(d.port());
    ASSERT_EQ(names.size(), 1u);
    EXPECT_EQ(std::string(names[0].name), longest);

    /* A field of 33 characters without its zero is refused without being
     * read past, and the connection stays in step. */
    std::string unterminated(33, 'x');
    EXPECT_EQ(attach(a, unterminated), -EINVAL);
    EXPECT_EQ(locate(a, unterminated), -EINVAL);
    EXPECT_EQ(attach(a, "after"), 2);
    EXPECT_EQ(vt::list_names(d.port()).size(), 2u);
}

TEST(WireNames, DeadOwnersLoseTheirNames) {
    vt::Daemon d;
    Peer a(d.port());
    auto dying = std::make_unique<Peer>(d.port());

    EXPECT_EQ(attach(*dying, "first"), 1);
    EXPECT_EQ(attach(*dying, "second"), 2);
    EXPECT_EQ(attach(*dying, "third"), 3);
    /* The process ends while its connection stays open: the daemon sees it
     * exit and frees every name it held at once. */
    dying->c.end_process();
    ASSERT_TRUE(vt::wait_until([&] { return vt::list_names(d.port()).empty(); }));

    EXPECT_EQ(locate(a, "third"), -ESRCH);
    EXPECT_EQ(attach(a, "second"), 1);
    auto names = vt::list_names(d.port());
    ASSERT_EQ(names.size(), 1u);
    EXPECT_EQ(std::string(names[0].name), "second");
    EXPECT_EQ(names[0].pid, a.pid());
    EXPECT_EQ(attach(a, "third"), 2);
}

TEST(WireNames, FullTableFreesDeadHoldersOnly) {
    vt::Daemon d;
    Peer a(d.port());
    auto dying = std::make_unique<Peer>(d.port());

    for (int i = 0; i < 45; i++) ASSERT_EQ(attach(a, "a" + std::to_string(i)), i + 1);
    for (int i = 45; i < 50; i++) ASSERT_EQ(attach(*dying, "d" + std::to_string(i)), i + 1);
    EXPECT_EQ(attach(a, "one-too-many"), -ENOMEM);
    EXPECT_EQ(vt::list_names(d.port()).size(), 50u);

    dying->c.end_process();
    EXPECT_EQ(attach(a, "one-too-many"), 46);
    EXPECT_EQ(vt::list_names(d.port()).size(), 46u);
    EXPECT_EQ(attach(a, "again"), 47);
}

TEST(WireNames, RemovedProcessNamesAreGone) {
    vt::Daemon d;
    Peer a(d.port());
    auto leaving = std::make_unique<Peer>(d.port());

    EXPECT_EQ(attach(*leaving, "svc1"), 1);
    EXPECT_EQ(attach(*leaving, "svc2"), 2);
    EXPECT_EQ(attach(a, "mine"), 3);
    leaving->c.close();
    ASSERT_TRUE(vt::wait_until([&] { return vt::list_names(d.port()).size() == 1; }));
    EXPECT_EQ(locate(a, "svc1"), -ESRCH);
    EXPECT_EQ(locate(a, "mine"), a.pid());
    EXPECT_EQ(attach(a, "svc2"), 1);
}
