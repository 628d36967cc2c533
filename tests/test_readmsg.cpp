/* test_readmsg.cpp - Readmsg and Readmsgmx: re-reading the message a REPLY-blocked sender holds */
#include "vorlen_test.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include <unistd.h>

#include <gtest/gtest.h>

namespace {

/* sender sends msg to its parent; it ends with 0 when the reply is "done". */
pid_t sender(const std::string &msg) {
    return vt::spawn([msg] {
        char reply[8] = {};
        if (Send(getppid(), msg.data(), reply, unsigned(msg.size()), sizeof reply) != 0) {
            perror("Send");
            return 1;
        }
        return strcmp(reply, "done") == 0 ? 0 : 2;
    });
}

int state_of(int port, pid_t pid) {
    return vt::process_record(port, pid).block_state;
}

} // namespace

TEST(Readmsg, ReadsOnlyTheMessageOfAProcessReplyBlockedOnTheCaller) {
    _qnx_close_socket();
    vt::Daemon d;
    char buf[64];

    /* A process that never spoke to the daemon holds nothing, and asking
     * does not connect it. */
    EXPECT_EQ(Readmsg(getpid(), 0, buf, 4), -1);
    EXPECT_EQ(errno, ESRCH);
    EXPECT_EQ(vt::process_record(d.port(), getpid()).pid, 0);
    ASSERT_GT(qnx_name_attach(0, "readmsg/test"), 0);

    pid_t held = sender("0123456789abcdefghij");
    pid_t queued = sender("waiting");
    ASSERT_TRUE(vt::wait_state(d.port(), held, STATE_SEND_BLOCKED));
    ASSERT_TRUE(vt::wait_state(d.port(), queued, STATE_SEND_BLOCKED));

    /* A message still in the queue is not held: it stays where it is. */
    EXPECT_EQ(Readmsg(held, 0, buf, sizeof buf), -1);
    EXPECT_EQ(errno, ESRCH);
    EXPECT_EQ(state_of(d.port(), held), STATE_SEND_BLOCKED);

    char head[4];
    ASSERT_EQ(Receive(held, head, sizeof head), held);
    EXPECT_EQ(std::string(head, 4), "0123");

    EXPECT_EQ(Readmsg(held, 4, buf, sizeof buf), 16);
    EXPECT_EQ(std::string(buf, 16), "456789abcdefghij");
    EXPECT_EQ(Readmsg(held, 18, buf, 1), 1);
    EXPECT_EQ(buf[0], 'i');
    EXPECT_EQ(Readmsg(held, 20, buf, sizeof buf), 0);
    char a[3], b[5];
    _MXFER_ENTRY parts[2];
    _setmx(&parts[0], a, sizeof a);
    _setmx(&parts[1], b, sizeof b);
    EXPECT_EQ(Readmsgmx(held, 2, 2, parts), 8);
    EXPECT_EQ(std::string(a, 3) + "|" + std::string(b, 5), "234|56789");

    EXPECT_EQ(Readmsg(queued, 0, buf, sizeof buf), -1);
    EXPECT_EQ(errno, ESRCH);
    EXPECT_EQ(state_of(d.port(), queued), STATE_SEND_BLOCKED);
    EXPECT_EQ(state_of(d.port(), held), STATE_REPLY_BLOCKED);

    ASSERT_EQ(Reply(held, "done", 5), 0);
    EXPECT_EQ(Readmsg(held, 0, buf, sizeof buf), -1);
    EXPECT_EQ(errno, ESRCH);
    EXPECT_EQ(vt::wait_exit(held), 0);

    /* The queued message was left whole for the next receive. */
    memset(buf, 0, sizeof buf);
    ASSERT_EQ(Receive(0, buf, sizeof buf), queued);
    EXPECT_STREQ(buf, "waiting");
    ASSERT_EQ(Reply(queued, "done", 5), 0);
    EXPECT_EQ(vt::wait_exit(queued), 0);
}
