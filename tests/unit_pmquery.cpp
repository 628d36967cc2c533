/* unit_pmquery.cpp - a process of this host as another node's qnx_psinfo gets it, from /proc's
 * texts */
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "circuit.h"

namespace {

/* stat_text is a /proc/PID/stat line of process 4242 named comm, in state
 * R, with the times and niceness given and the fields between as the kernel
 * writes them. */
std::string stat_text(const std::string &comm, unsigned long long utime, unsigned long long stime,
                      int nice, unsigned long long start) {
    return "4242 (" + comm + ") R 17 4242 4000 34817 4242 4194304 120 0 0 0 " +
           std::to_string(utime) + " " + std::to_string(stime) + " 0 0 20 " + std::to_string(nice) +
           " 1 0 " + std::to_string(start) +
           " 2482176 215 18446744073709551615 1 1 0 0 0 0 0 0 0 0 0 0 17 1 0 0 0 0 0\n";
}

const char *status_text = "Name:\tserver\nUmask:\t0022\nState:\tR (running)\nTgid:\t4242\n"
                          "Ngid:\t0\nPid:\t4242\nPPid:\t17\nUid:\t1000\t1001\t1000\t1000\n"
                          "Gid:\t100\t101\t100\t100\n";

} // namespace

/* Each case's texts give the record's fields, or are refused: the program's
 * name may hold blanks and parentheses (the last ')' ends it), a thread is
 * not its process, and a line cut short is not read. */
TEST(PmQuery, PsinfoRecordIsFilledFromProcTexts) {
    struct Case {
        const char *what;
        std::string stat;
        std::string status;
        const char *cmdline;
        bool ok;
        const char *name;
        int32_t priority;
        int64_t utime_ms, stime_ms, start_time;
    } cases[] = {
        {"plain", stat_text("server", 250, 50, 0, 1000), status_text, "/usr/bin/server", true,
         "/usr/bin/server", 10, 2500, 500, 1700000010},
        {"kernel's name when no command line", stat_text("a) (b c", 0, 0, 5, 250), status_text, "",
         true, "a) (b c", 5, 0, 0, 1700000002},
        {"nice 19 is priority 1", stat_text("s", 1, 1, 19, 0), status_text, nullptr, true, "s", 1,
         10, 10, 1700000000},
        {"nice -5 is priority 15", stat_text("s", 0, 0, -5, 0), status_text, "x", true, "x", 15, 0,
         0, 1700000000},
        {"a further thread", stat_text("s", 0, 0, 0, 0),
         std::string(status_text)
             .replace(std::string(status_text).find("Tgid:\t4242"), 10, "Tgid:\t4000"),
         "x", false, "", 0, 0, 0, 0},
        {"stat cut short", "4242 (s) R 17 4242 4000 34817", status_text, "x", false, "", 0, 0, 0,
         0},
        {"no name", "4242 s R 17 4242 4000", status_text, "x", false, "", 0, 0, 0, 0},
    };
    for (const Case &k : cases) {
        SCOPED_TRACE(k.what);
        QNX_MSG_PM_PSINFO r;
        memset(&r, 0x5A, sizeof r);
        ASSERT_EQ(pm_psinfo_parse(4242, k.stat.c_str(), ("\n" + k.status).c_str(), k.cmdline, 100,
                                  1700000000, &r),
                  k.ok);
        if (!k.ok) continue;
        EXPECT_EQ(r.pid, 4242);
        EXPECT_EQ(r.ppid, 17);
        EXPECT_EQ(r.pgrp, 4242);
        EXPECT_EQ(r.sid, 4000);
        EXPECT_EQ(r.uid, 1000);
        EXPECT_EQ(r.euid, 1001);
        EXPECT_EQ(r.gid, 100);
        EXPECT_EQ(r.egid, 101);
        EXPECT_EQ(r.host_state, 'R');
        EXPECT_EQ(r.priority, k.priority);
        EXPECT_EQ(r.utime_ms, k.utime_ms);
        EXPECT_EQ(r.stime_ms, k.stime_ms);
        EXPECT_EQ(r.start_time, k.start_time);
        EXPECT_STREQ(r.name, k.name);
        /* What only the daemon's records tell is left for them. */
        EXPECT_EQ(r.state, 0);
        EXPECT_EQ(r.blocked_on, 0);
        EXPECT_EQ(r.pflags, 0);
    }
}
