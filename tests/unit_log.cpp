/* unit_log.cpp - the daemon's logger on its own: file name rules, line formats and dump_msg */
#include <cstdlib>
#include <functional>
#include <cstring>
#include <regex>
#include <sstream>
#include <string>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "vorleni.h"
#include "vorlen_test.h"

static PGLOB pglob_for_test{};
PGLOB &_pglob = pglob_for_test;

namespace {

std::string setup(const char *my_name) {
    std::string dir = vt::make_tempdir();
    setenv("LOGDIR", dir.c_str(), 1);
    unsetenv("LOGAPPEND");
    _pglob.my_name = my_name;
    _pglob.nodisp = 1;
    return dir;
}

/* The log without its start line. */
std::string body(const std::string &dir) {
    std::string log = vt::read_file(dir + "/vorlen.log");
    return log.substr(log.find('\n') + 1);
}

} // namespace

/* One process keeps one log name for its life, so the cases share a run. */
TEST(Log, DumpMsgLayoutAndFileName) {
    std::string dir = setup("/usr/local/bin/vorlen");
    const unsigned char letters[] = "ABCDEFGHIJKLMNOPQRST";
    dump_msg(letters, 20); /* before any message: nothing */
    EXPECT_EQ(access((dir + "/vorlen.log").c_str(), F_OK), -1);

    vlog(LV_ALWAYS, "first %d", 1);
    std::string b = body(dir);
    EXPECT_EQ(b, "     0: first 1\n");

    dump_msg(letters, 20);
    std::string line1 = std::string(80, ' ');
    std::string line2 = std::string(80, ' ');
    const char *hex1 = "41 42 43 44 45 46 47 48 49 4a 4b 4c 4d 4e 4f 50";
    line1.replace(0, strlen(hex1), hex1);
    line1.replace(60, 16, "ABCDEFGHIJKLMNOP");
    line2.replace(0, 11, "51 52 53 54");
    line2.replace(60, 4, "QRST");
    EXPECT_EQ(body(dir), b + line1 + "\n" + line2 + "\n");

    b = body(dir);
    unsigned char mixed[116] = {};
    memset(mixed, 0x41, 16);
    dump_msg(mixed, 116);
    std::string l = std::string(80, ' ');
    for (int k = 0; k < 16; k++) l.replace(size_t(3 * k), 2, "41");
    l.replace(60, 16, std::string(16, 'A'));
    EXPECT_EQ(body(dir), b + l + "\n" + "100 Bytes 0\n");

    b = body(dir);
    const unsigned char four[] = {1, 0, 0, 0};
    dump_msg(four, 4);
    l = std::string(80, ' ');
    l.replace(0, 11, "01 00 00 00");
    l.replace(60, 4, "....");
    const unsigned char zeros[8] = {};
    dump_msg(zeros, 8);
    EXPECT_EQ(body(dir), b + l + "\n" + "8 Bytes 0\n");
}

TEST(Log, ALongLogdirIsUsedWhole) {
    std::string longdir = vt::make_tempdir() + "/" + std::string(120, 'd');
    ASSERT_EQ(mkdir(longdir.c_str(), 0755), 0);
    _pglob.logname.clear(); /* built again at the next message */
    setenv("LOGDIR", longdir.c_str(), 1);
    _pglob.my_name = "vorlen";
    _pglob.nodisp = 1;
    vlog(LV_ALWAYS, "x");
    EXPECT_EQ(_pglob.logname, longdir + "/vorlen.log");
    EXPECT_NE(vt::read_file(longdir + "/vorlen.log").find(": x\n"), std::string::npos);
}

namespace {

/* Standard error of the calls fn makes, caught in a file. */
template <typename F> std::string stderr_of(const std::string &dir, F fn) {
    std::string path = dir + "/stderr.txt";
    fflush(stderr);
    int saved = dup(2);
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(fd, 2);
    close(fd);
    fn();
    fflush(stderr);
    dup2(saved, 2);
    close(saved);
    return vt::read_file(path);
}

} // namespace

/* What is at the log's path must be a regular file: a symbolic link is not
 * followed (in a directory others can write to it could name any file), and
 * nothing else is written to. The line is lost and said once. */
TEST(Log, OnlyARegularFileIsWrittenAndNoSymlinkFollowed) {
    std::string dir = setup("vorlen");
    const std::string path = dir + "/vorlen.log", victim = dir + "/victim";
    struct Case {
        const char *what;
        std::function<int()> make;
        const char *why;
    } cases[] = {
        {"a symlink", [&] { return symlink(victim.c_str(), path.c_str()); },
         "a symbolic link, which is not followed"},
        {"a dangling symlink", [&] { return symlink((dir + "/none").c_str(), path.c_str()); },
         "a symbolic link, which is not followed"},
        {"a FIFO", [&] { return mkfifo(path.c_str(), 0600); }, "not a regular file"},
        {"a directory", [&] { return mkdir(path.c_str(), 0700); }, "Is a directory"},
    };
    for (const Case &c : cases) {
        {
            int fd = open(victim.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            ASSERT_EQ(write(fd, "secret\n", 7), 7);
            close(fd);
        }
        ASSERT_EQ(c.make(), 0) << c.what;
        _pglob.logname.clear();
        std::string err = stderr_of(dir, [] { vlog(LV_ALWAYS, "to the link"); });
        EXPECT_EQ(err,
                  "vorlen: cannot write the log " + path + ": " + c.why + "; lines are dropped\n")
            << c.what;
        EXPECT_EQ(vt::read_file(victim), "secret\n") << c.what;
        EXPECT_EQ(access((dir + "/none").c_str(), F_OK), -1) << c.what;
        /* A regular file in its place is written again, and that is said. */
        ASSERT_EQ(std::system(("rm -rf '" + path + "'").c_str()), 0);
        err = stderr_of(dir, [] { vlog(LV_ALWAYS, "regular again"); });
        EXPECT_NE(err.find("vorlen: the log " + path + " is written again"), std::string::npos)
            << err;
        EXPECT_NE(vt::read_file(path).find(": regular again\n"), std::string::npos) << c.what;
        ASSERT_EQ(unlink(path.c_str()), 0);
    }
}

namespace {

/* A disk that takes half of the next write and then nothing. */
int write_calls = 0;
ssize_t half_then_full(int fd, const void *p, size_t n) {
    if (write_calls++ == 0) return write(fd, p, n / 2);
    errno = ENOSPC;
    return -1;
}

} // namespace

/* A write that fails is counted and said once on standard error, and once
 * again when writing works; a line a short write cut is completed before
 * the next, never glued to it, and the lines that could not go are lost. */
TEST(Log, AFailingWriteIsReportedAndNoLineIsCutOrGlued) {
    std::string dir = setup("vorlen");
    _pglob.logname.clear();
    vlog(LV_ALWAYS, "one");
    const uint64_t dropped = _pglob.stats.log_dropped;
    std::string err = stderr_of(dir, [] {
        log_write = half_then_full;
        vlog(LV_ALWAYS, "two is cut in the middle");
        vlog(LV_ALWAYS, "three is lost");
        vlog(LV_ALWAYS, "four is lost");
    });
    EXPECT_EQ(err, "vorlen: cannot write the log " + dir +
                       "/vorlen.log: No space left on device; lines are dropped\n");
    EXPECT_EQ(_pglob.stats.log_dropped, dropped + 2);
    ssize_t (*real)(int, const void *, size_t) = [](int fd, const void *p, size_t n) {
        return write(fd, p, n);
    };
    err = stderr_of(dir, [&] {
        log_write = real;
        vlog(LV_ALWAYS, "five");
    });
    EXPECT_EQ(err,
              "vorlen: the log " + dir + "/vorlen.log is written again; 2 lines were dropped\n");
    std::istringstream in(body(dir));
    std::string line;
    for (const char *want : {"one", "two is cut in the middle", "five"}) {
        ASSERT_TRUE(std::getline(in, line)) << want;
        EXPECT_TRUE(std::regex_match(line, std::regex(" {0,5}\\d{1,6}: " + std::string(want))))
            << line;
    }
    EXPECT_FALSE(std::getline(in, line)) << line;
}

TEST(Log, OnStandardErrorEachLineCarriesItsSyslogLevelAndNoFileIsWritten) {
    std::string dir = setup("vorlen");
    _pglob.logname.clear();
    vlog(LV_ALWAYS, "before"); /* the file of the run, which must stay as it is */
    std::string file = vt::read_file(dir + "/vorlen.log");
    std::string errpath = dir + "/stderr.txt";
    fflush(stderr);
    int saved = dup(2);
    int fd = open(errpath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    dup2(fd, 2);
    close(fd);
    _pglob.log_stderr = true;
    struct Case {
        LOG_LEVEL level;
        const char *format;
        int severity;
    } cases[] = {
        {LV_ERROR, "Err: connection fd %d: pid %d is not the process on it", 3},
        {LV_FAULT, "Err: unable to remove pid 0", 3},
        {LV_WARNING, "Warning: %s is locked", 4},
        {LV_CLEANUP, "Removing pid %d, fd %d", 6},
        {LV_CLEANUP, "cleanup-all", 6},
        {LV_ALWAYS, "Vorlen shutdown with signal %d(%s)", 6},
        {LV_REQUEST, "Name-Attach from %d//%d: \"%s\"", 6},
        {LV_MESSAGE, "Send: %d bytes from %d//%d to %d//%d put into message-queue", 6},
        {LV_TRACE, "process_message %d(%s): len=%d, (incl. data %d)", 7},
        {LV_IO, "read(%d,...,%d(%s))", 7},
        {LV_IO, "write(%d,...,%d(%s))", 7},
        {LV_IO, "server connect from host %s, port %d", 7},
        {LV_SEARCH, "searching pid %d", 7},
        {LV_TRACE, "msgq_add(,,%d)", 7},
        {LV_TRACE, "global-timeout: %d.%06d, now: %d.%06d", 7},
    };
    _pglob.verbose = 9;
    for (const Case &c : cases) vlog(c.level, "%s", c.format);
    _pglob.verbose = 0;
    vlog(LV_ERROR, "not written at -v 0");
    const unsigned char two[] = {'h', 'i'};
    dump_msg(two, 2);
    _pglob.log_stderr = false;
    dup2(saved, 2);
    close(saved);

    std::istringstream got(vt::read_file(errpath));
    std::string line;
    for (const Case &c : cases) {
        ASSERT_TRUE(std::getline(got, line)) << c.format;
        /* The stamp counts from the first line of this process. */
        EXPECT_TRUE(std::regex_match(line, std::regex("<\\d> {0,5}\\d{1,6}: .*"))) << line;
        EXPECT_EQ(line.substr(0, 3), "<" + std::to_string(c.severity) + ">") << line;
        EXPECT_EQ(line.substr(11), c.format) << line;
    }
    ASSERT_TRUE(std::getline(got, line));
    EXPECT_EQ(line, "<7>68 69" + std::string(55, ' ') + "hi" + std::string(18, ' '));
    EXPECT_FALSE(std::getline(got, line)) << line;
    EXPECT_EQ(vt::read_file(dir + "/vorlen.log"), file);
}
