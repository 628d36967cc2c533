/* unit_log.cpp - the daemon's logger on its own: file name rules, line formats and dump_msg */
#include <cstdlib>
#include <cstring>
#include <string>

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
