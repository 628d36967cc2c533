/* test_names.cpp - names and system listings through vorlenlib */
#include "vorlen_test.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include <unistd.h>

#include <gtest/gtest.h>

/* In a forked child: report the failed condition and end with status 1. */

/* Each test starts unconnected, also when the tests of this file share one
 * process (a previous test's connection leads to a daemon that is gone). */
class Names : public ::testing::Test {
  protected:
    void SetUp() override { _qnx_close_socket(); }
};

TEST_F(Names, AttachLocateAndDetachBelongToTheOwner) {
    vt::Daemon d;
    EXPECT_EQ(qnx_name_attach(0, "names-alpha"), 1);
    EXPECT_EQ(errno, 0);
    EXPECT_EQ(qnx_name_attach(7, "names-beta"), 2); /* nid has no effect */
    EXPECT_EQ(qnx_name_attach(0, "names-alpha"), -1);
    EXPECT_EQ(errno, ESRCH);

    pid_t other = vt::spawn([] {
        unsigned copies = 77;
        REQUIRE(qnx_name_locate(0, "names-alpha", 0, &copies) == getppid() && errno == 0);
        REQUIRE(copies == 1); /* the one registration on this node */
        REQUIRE(qnx_name_detach(0, 1) == -1 && errno == ESRCH);
        REQUIRE(qnx_name_locate(0, "names-alpha", 0, nullptr) == getppid());
        REQUIRE(qnx_name_locate(0, "names-never", 0, nullptr) == -1 && errno == ESRCH);
        return 0;
    });
    EXPECT_EQ(vt::wait_exit(other), 0);

    EXPECT_EQ(qnx_name_detach(0, 2), 0);
    EXPECT_EQ(errno, 0);
    EXPECT_EQ(qnx_name_locate(0, "names-beta", 0, nullptr), -1);
    EXPECT_EQ(errno, ESRCH);
    EXPECT_EQ(qnx_name_detach(0, 2), -1);
    EXPECT_EQ(errno, ESRCH);
}

TEST_F(Names, ThirtyTwoCharactersAtMost) {
    vt::Daemon d;
    const std::string n32(32, 'n'), n33(33, 'n');
    EXPECT_GE(qnx_name_attach(0, n32.c_str()), 1);
    EXPECT_EQ(qnx_name_locate(0, n32.c_str(), 0, nullptr), getpid());
    for (const char *bad : {n33.c_str(), static_cast<const char *>(nullptr)}) {
        errno = 0;
        EXPECT_EQ(qnx_name_attach(0, bad), -1);
        EXPECT_EQ(errno, EINVAL);
        errno = 0;
        EXPECT_EQ(qnx_name_locate(0, bad, 0, nullptr), -1);
        EXPECT_EQ(errno, EINVAL);
    }
    /* The refused name did not reach the registry under its first 32 characters. */
    auto names = vt::list_names(d.port());
    ASSERT_EQ(names.size(), 1u);
    EXPECT_EQ(std::string(names[0].name), n32);
}

TEST_F(Names, ListingsAreReadRecordByRecordToTheClosingOne) {
    vt::Daemon d;
    ASSERT_EQ(qnx_name_attach(0, "list-one"), 1);
    ASSERT_EQ(qnx_name_attach(0, "list-two"), 2);

    QNX_MSG_SIN_RNAMES r;
    ASSERT_EQ(_qnx_squery(SIN_NAMES, &r), 0);
    EXPECT_EQ(r.pid, getpid());
    EXPECT_STREQ(r.name, "list-one");
    ASSERT_EQ(_qnx_squery_next(&r), 0);
    EXPECT_STREQ(r.name, "list-two");
    ASSERT_EQ(_qnx_squery_next(&r), 0);
    EXPECT_EQ(r.pid, -1);
    /* Nothing follows the closing record; reading on must not wait for it. */
    EXPECT_EQ(_qnx_squery_next(&r), -1);

    /* A refused kind leaves nothing to read, and the connection in step. */
    EXPECT_EQ(_qnx_squery(7, &r), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(_qnx_squery_next(&r), -1);
    QNX_MSG_SIN_RPID p;
    ASSERT_EQ(_qnx_squery(SIN_PROCESSES, &p), 0);
    EXPECT_EQ(p.pid, getpid());
    while (p.pid != -1) ASSERT_EQ(_qnx_squery_next(&p), 0);
    EXPECT_EQ(qnx_name_locate(0, "list-two", 0, nullptr), getpid());
}
