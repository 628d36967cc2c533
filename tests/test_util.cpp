/* test_util.cpp - the QNX 4 C-library utilities of vorlenlib */
#include "vorlen_test.h"

#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

/* C++ sees no global max/min in the public header; the library has them. */
extern "C" int max(int a, int b);
extern "C" int min(int a, int b);

static std::string cwd() {
    char buf[PATH_MAX];
    return getcwd(buf, sizeof buf) ? buf : "";
}

static std::string fullpath(const char *path) {
    char out[PATH_MAX];
    char *r = qnx_fullpath(out, path);
    return r ? std::string(r) : std::string("(null)");
}

TEST(Util, FullPath) {
    char real[PATH_MAX];
    std::string base = vt::make_tempdir();
    ASSERT_NE(realpath(base.c_str(), real), nullptr);
    std::string dir = real;
    ASSERT_EQ(mkdir((dir + "/sub").c_str(), 0755), 0);
    ASSERT_EQ(symlink((dir + "/sub").c_str(), (dir + "/link").c_str()), 0);
    ASSERT_EQ(chdir(dir.c_str()), 0);

    EXPECT_EQ(fullpath("file"), dir + "/file");
    EXPECT_EQ(fullpath("sub/../file"), dir + "/file");
    EXPECT_EQ(fullpath((dir + "/link/x").c_str()), dir + "/sub/x"); /* link resolved */
    EXPECT_EQ(fullpath("sub/"), dir + "/sub/");
    EXPECT_EQ(cwd(), dir);

    /* Failures leave the working directory where it was. */
    EXPECT_EQ(fullpath("/etc"), "(null)"); /* the directory part is empty */
    EXPECT_EQ(fullpath("missing/x"), "(null)");
    EXPECT_EQ(fullpath(std::string(PATH_MAX + 10, 'a').c_str()), "(null)");
    EXPECT_EQ(cwd(), dir);

    /* The last component may be long enough that the result does not fit. */
    std::string longname(PATH_MAX - 10, 'n');
    EXPECT_EQ(fullpath(("sub/" + longname).c_str()), "(null)");
    EXPECT_EQ(cwd(), dir);

    ASSERT_EQ(chdir("/"), 0);
    std::string cmd = "rm -rf '" + dir + "'";
    EXPECT_EQ(system(cmd.c_str()), 0);
}

TEST(Util, ProcessesAndPriority) {
    EXPECT_EQ(check_prunning(getpid()), 1);
    EXPECT_EQ(check_prunning(0), 0);
    EXPECT_EQ(check_prunning(-1), 0);
    EXPECT_EQ(check_prunning(INT_MAX), 0); /* ten digits must not overrun anything */

    vt::Sleeper other;
    EXPECT_EQ(check_prunning(other.pid()), 1);

    /* Raising a nice value needs no privilege, so these hold for any user. */
    errno = 0;
    int mine = getpriority(PRIO_PROCESS, 0);
    ASSERT_EQ(errno, 0);
    ASSERT_LT(mine, 18);
    EXPECT_EQ(setprio(0, 10 - (mine + 1)), mine);
    EXPECT_EQ(getpriority(PRIO_PROCESS, 0), mine + 1);
    EXPECT_EQ(setprio(other.pid(), 10 - (mine + 2)), mine); /* the sleeper inherited ours */
    EXPECT_EQ(getpriority(PRIO_PROCESS, other.pid()), mine + 2);
    if (geteuid() == 0) { /* only root may lower it again: QNX priority 10 is nice 0 */
        EXPECT_EQ(setprio(0, 10), mine + 1);
        EXPECT_EQ(getpriority(PRIO_PROCESS, 0), 0);
    }

    pid_t gone = other.pid();
    other.kill();
    EXPECT_EQ(check_prunning(gone), 0);
    EXPECT_EQ(setprio(gone, 10), 0); /* unreadable: the old value counts as 0 */
}

TEST(Util, Strnicmp) {
    EXPECT_EQ(strnicmp("abc", "ABD", 2), 0);
    EXPECT_EQ(strnicmp("abc", "ABD", 3), -1);
    EXPECT_EQ(strnicmp("ABD", "abc", 3), 1);
    EXPECT_EQ(strnicmp("ab", "abc", 5), -1);
    EXPECT_EQ(strnicmp("abc", "ab", 5), 1);
    EXPECT_EQ(strnicmp("", "", 1), 0);
    EXPECT_EQ(strnicmp("ab", "abc", -1), 0);
    EXPECT_EQ(strnicmp("ab", "abc", 2), 0);
    EXPECT_EQ(strnicmp("x", "y", 0), 0);
    /* Bytes compare unsigned: 0xE9 sorts above every ASCII letter. */
    EXPECT_EQ(strnicmp("\xe9", "a", 1), 1);
    EXPECT_EQ(strnicmp("a", "\xe9", 1), -1);
}

TEST(Util, CaseAndNumbers) {
    char s[] = "Hello, World 42\xe9";
    EXPECT_EQ(strupr(s), s);
    EXPECT_STREQ(s, "HELLO, WORLD 42\xe9");
    EXPECT_EQ(strlwr(s), s);
    EXPECT_STREQ(s, "hello, world 42\xe9");

    EXPECT_EQ(atoh("1f"), 31);
    EXPECT_EQ(atoh("FF"), 255);
    EXPECT_EQ(atoh("0x10"), 0);
    EXPECT_EQ(atoh("12G4"), 18);
    EXPECT_EQ(atoh(""), 0);
    EXPECT_EQ(atoh(" 1"), 0);
    EXPECT_EQ(atoh("ffffffff"), -1);
    EXPECT_EQ(atoh("123456789"), 0x23456789); /* the ninth digit pushes the first out */

    char buf[40];
    EXPECT_EQ(itoa(0, buf, 10), buf);
    EXPECT_STREQ(buf, "0");
    EXPECT_STREQ(itoa(-42, buf, 10), "-42");
    EXPECT_STREQ(itoa(INT_MIN, buf, 10), "-2147483648");
    EXPECT_STREQ(itoa(255, buf, 16), "FF");
    EXPECT_STREQ(itoa(-1, buf, 16), "FFFFFFFF");
    EXPECT_STREQ(itoa(-1, buf, 2), std::string(32, '1').c_str());
    EXPECT_STREQ(itoa(5, buf, 0), "5");
    EXPECT_STREQ(itoa(5, buf, 2), "101");
    EXPECT_STREQ(itoa(71, buf, 36), "1Z");
    EXPECT_STREQ(itoa(123, buf, 1), "123"); /* would never end in base 1 */
    EXPECT_STREQ(itoa(-123, buf, 37), "-123");

    EXPECT_EQ(max(-1, 0), 0);
    EXPECT_EQ(min(-1, 0), -1);
    EXPECT_EQ(max(INT_MIN, 1), 1); /* signed, not unsigned, comparison */
    EXPECT_EQ(min(INT_MIN, 1), INT_MIN);
}

TEST(Util, FilesAndConsole) {
    std::string dir = vt::make_tempdir();
    std::string path = dir + "/f";
    int fd = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(filelength(fd), 0);
    std::string data(1234, 'x');
    ASSERT_EQ(write(fd, data.data(), data.size()), ssize_t(data.size()));
    EXPECT_EQ(filelength(fd), 1234);
    close(fd);
    EXPECT_EQ(filelength(fd), -1);
    EXPECT_EQ(filelength(-1), -1);
    unlink(path.c_str());
    rmdir(dir.c_str());

    /* The text is printed as it stands: no format directives, no line end. */
    testing::internal::CaptureStderr();
    qnx_display_msg("100% done %d %s");
    qnx_display_msg("!");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "100% done %d %s!");
}

TEST(Util, Delay) {
    using clock = std::chrono::steady_clock;
    auto t0 = clock::now();
    delay(0);
    EXPECT_LT(clock::now() - t0, std::chrono::milliseconds(500));

    /* 1250 ms checks the millisecond part as well as the seconds. */
    t0 = clock::now();
    delay(1250);
    auto took = clock::now() - t0;
    EXPECT_GE(took, std::chrono::milliseconds(1250));
    EXPECT_LT(took, std::chrono::seconds(5));
}
