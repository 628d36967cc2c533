/* unit_log.cpp - the daemon's logger on its own: file name rules, line formats and dump_msg */
#include <cstdlib>
#include <cstring>
#include <regex>
#include <sstream>
#include <string>

#include <fcntl.h>
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

    _vmessage("first %d", 1);
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

TEST(Log, APathTooLongForTheFieldIsCutNotOverrun) {
    std::string longdir = "/tmp/" + std::string(120, 'd');
    _pglob.logname[0] = '\0'; /* built again at the next message */
    setenv("LOGDIR", longdir.c_str(), 1);
    _pglob.my_name = "vorlen";
    _pglob.nodisp = 1;
    _vmessage("x");
    EXPECT_EQ(strlen(_pglob.logname), sizeof _pglob.logname - 1);
}

TEST(Log, OnStandardErrorEachLineCarriesItsSyslogLevelAndNoFileIsWritten) {
    std::string dir = setup("vorlen");
    _pglob.logname[0] = '\0';
    _vmessage("before"); /* the file of the run, which must stay as it is */
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
        const char *format;
        int level;
    } cases[] = {
        {"Err: connection fd %d: pid %d is not the process on it", 3},
        {"Warning: %s is locked", 4},
        {"Removing pid %d, fd %d", 6},
        {"cleanup-all", 6},
        {"Vorlen shutdown with signal %d(%s)", 6},
        {"process_message %d(%s): len=%d, (incl. data %d)", 7},
        {"read(%d,...,%d(%s))", 7},
        {"write(%d,...,%d(%s))", 7},
        {"server connect from host %s, port %d", 7},
        {"searching pid %d", 7},
        {"msgq_add(,,%d)", 7},
        {"global-timeout: %d.%06d, now: %d.%06d", 7},
    };
    for (const Case &c : cases) _vmessage("%s", c.format);
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
        EXPECT_EQ(line.substr(0, 3), "<" + std::to_string(c.level) + ">") << line;
        EXPECT_EQ(line.substr(11), c.format) << line;
    }
    ASSERT_TRUE(std::getline(got, line));
    EXPECT_EQ(line, "<7>68 69" + std::string(55, ' ') + "hi" + std::string(18, ' '));
    EXPECT_FALSE(std::getline(got, line)) << line;
    EXPECT_EQ(vt::read_file(dir + "/vorlen.log"), file);
}
