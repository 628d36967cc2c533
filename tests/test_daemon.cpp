/* test_daemon.cpp - the daemon's command line, signals and log file */
#include <csignal>
#include <cstdio>
#include <memory>
#include <regex>
#include <sstream>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "vorlen_test.h"

using namespace vt;

namespace {

std::string run_capture(const std::string &cmd, int *status) {
    FILE *p = popen(cmd.c_str(), "r");
    std::string out;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    *status = pclose(p);
    return out;
}

bool exists(const std::string &path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

int count(const std::string &text, const std::string &needle) {
    int n = 0;
    for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1))
        n++;
    return n;
}

/* The program name the daemon records for pid: its command line up to the
 * first zero byte, at most 80 bytes. */
std::string pname_of(pid_t pid) {
    std::string cmd = read_file("/proc/" + std::to_string(pid) + "/cmdline");
    cmd = cmd.substr(0, cmd.find('\0'));
    return cmd.substr(0, QNX_PNAME_LEN - 1);
}

/* The line after "Removing pid <pid>, ..." in log, without its stamp; "" when
 * there is none. */
std::string removal_reason_line(const std::string &log, pid_t pid) {
    size_t at = log.find("Removing pid " + std::to_string(pid) + ", fd ");
    if (at == std::string::npos) return "";
    size_t next = log.find('\n', at);
    if (next == std::string::npos) return "";
    size_t end = log.find('\n', next + 1);
    std::string line = log.substr(next + 1, end == std::string::npos ? end : end - next - 1);
    return line.size() > 8 ? line.substr(8) : "";
}

/* Makes the daemon log a line at level 3: a client that comes and goes. */
void log_something(int port) {
    RawClient c(port);
    pid_t pid = c.pid();
    c.send_bytes(names_listing(pid));
    expect_names_listing(c);
    c.close();
    wait_until([&] { return process_record(port, pid).pid == 0; });
}

} // namespace

TEST(Daemon, AnUnknownOptionPrintsBannerAndUsageAndExitsZero) {
    int st;
    std::string out = run_capture(bin_path("vorlen") + " -x 2>/dev/null", &st);
    ASSERT_TRUE(WIFEXITED(st));
    EXPECT_EQ(WEXITSTATUS(st), 0);
    EXPECT_EQ(out.rfind("\nVorlen", 0), 0u) << out;
    EXPECT_NE(out.find("Version 1.2b228 vom Jul 20 2002 um 19:19:14\n"), std::string::npos);
    const char *usage = "usage: vorlen [options] &\n"
                        "Options:\n"
                        "  h name   hostname to register at (default 127.0.0.1)\n"
                        "  p nnnn   portno where to listen (default 7779)\n"
                        "  t nnnn   global timeout (currently not used)\n"
                        "  l nnnn   maximum number of messages in queue\n"
                        "  d        do not show verbose messages\n"
                        "  v nn     verbose-level\n";
    EXPECT_NE(out.find(usage), std::string::npos) << out;
    /* A missing argument takes the same path. */
    out = run_capture(bin_path("vorlen") + " -p 2>/dev/null", &st);
    EXPECT_EQ(WEXITSTATUS(st), 0);
    EXPECT_NE(out.find("usage: vorlen"), std::string::npos);
}

TEST(Daemon, APortInUseEndsTheDaemonWithAnError) {
    Daemon d;
    int st;
    std::string out =
        run_capture(bin_path("vorlen") + " -p " + std::to_string(d.port()) + " 2>&1", &st);
    EXPECT_NE(out.find("server (make socket)"), std::string::npos) << out;
    ASSERT_TRUE(WIFEXITED(st));
    EXPECT_NE(WEXITSTATUS(st), 0);
}

TEST(Daemon, TerminatingSignalsWriteTheShutdownLineAndExitZero) {
    for (int sig : {SIGTERM, SIGHUP, SIGQUIT}) {
        Daemon d;
        log_something(d.port());
        int st = d.kill_and_wait(sig);
        ASSERT_TRUE(WIFEXITED(st)) << sig;
        EXPECT_EQ(WEXITSTATUS(st), 0);
        std::string line =
            "Vorlen shutdown with signal " + std::to_string(sig) + "(" + strsignal(sig) + ")";
        EXPECT_NE(read_file(d.workdir() + "/vorlen.log").find(line), std::string::npos);
        EXPECT_NE(d.stdout_text().find(line), std::string::npos);
    }
}

TEST(Daemon, ACrashIsLoggedAndNotReportedAsSuccess) {
    Daemon d;
    int st = d.kill_and_wait(SIGSEGV);
    ASSERT_TRUE(WIFSIGNALED(st)) << "status " << st;
    EXPECT_EQ(WTERMSIG(st), SIGSEGV);
    EXPECT_NE(read_file(d.workdir() + "/vorlen.log")
                  .find("Vorlen shutdown with signal 11(Segmentation fault)"),
              std::string::npos);
}

TEST(Daemon, SigpipeAndSigintLeadToASweepNotAnEnd) {
    Daemon d({"-v", "3"});
    kill(d.pid(), SIGPIPE);
    ASSERT_TRUE(
        wait_until([&] { return d.stdout_text().find("cleanup-all") != std::string::npos; }));
    EXPECT_NE(d.stdout_text().find("got signal 13(Broken pipe) connection"), std::string::npos);
    log_something(d.port());
    EXPECT_TRUE(d.alive());
}

TEST(Daemon, AtLevelZeroNoLogFileIsMadeUntilTheShutdownLine) {
    Daemon d;
    log_something(d.port());
    EXPECT_FALSE(exists(d.workdir() + "/vorlen.log"));
    d.kill_and_wait(SIGTERM);
    std::string log = read_file(d.workdir() + "/vorlen.log");
    EXPECT_EQ(log.rfind("Starting vorlen ", 0), 0u) << log;
    EXPECT_EQ(count(log, "\n"), 2);
}

TEST(Daemon, LogLinesCarryElapsedTimeInBothFormats) {
    Daemon d({"-v", "3"});
    log_something(d.port());
    d.kill_and_wait(SIGTERM);
    std::string log = read_file(d.workdir() + "/vorlen.log");
    std::istringstream in(log);
    std::string line;
    std::getline(in, line);
    /* The start line carries ctime's date. */
    EXPECT_TRUE(std::regex_match(
        line, std::regex("Starting vorlen \\w{3} \\w{3} [ 0-9]\\d \\d\\d:\\d\\d:\\d\\d \\d{4}")))
        << line;
    int n = 0;
    while (std::getline(in, line)) {
        EXPECT_TRUE(std::regex_match(line, std::regex(" {0,5}\\d{1,6}: .+"))) << line;
        EXPECT_EQ(line.find(':'), 6u) << line;
        n++;
    }
    EXPECT_GE(n, 2);
    std::istringstream out(d.stdout_text());
    int console = 0;
    while (std::getline(out, line))
        if (std::regex_match(line, std::regex("\\d\\d:\\d\\d:\\d\\d: .+"))) console++;
    EXPECT_EQ(console, n);
}

TEST(Daemon, NoDisplayKeepsTheConsoleQuietButTheFileWritten) {
    Daemon d({"-d", "-v", "3"});
    log_something(d.port());
    d.kill_and_wait(SIGTERM);
    EXPECT_EQ(d.stdout_text().find("Removing pid"), std::string::npos);
    EXPECT_NE(read_file(d.workdir() + "/vorlen.log").find("Removing pid"), std::string::npos);
}

TEST(Daemon, LogdirWithOrWithoutSlashNamesTheSameFileAndRunsAppend) {
    std::string dir = make_tempdir();
    for (std::string logdir : {dir, dir + "/"}) {
        Daemon d({"-v", "3"}, {"LOGDIR=" + logdir});
        log_something(d.port());
        d.kill_and_wait(SIGTERM);
    }
    std::string log = read_file(dir + "/vorlen.log");
    EXPECT_EQ(count(log, "Starting vorlen "), 2);
    EXPECT_EQ(count(log, "Vorlen shutdown with signal 15"), 2);
    /* Elapsed time starts again at 0 in each run. */
    size_t second = log.find("Starting vorlen ", 1);
    ASSERT_NE(second, std::string::npos);
    EXPECT_EQ(log.compare(log.find('\n', second) + 1, 8, "     0: "), 0);
}

TEST(Daemon, LogappendKeepsTheFileOpenAndWithoutItEachLineClosesIt) {
    auto log_is_open = [](Daemon &d) {
        std::string dir = "/proc/" + std::to_string(d.pid()) + "/fd";
        for (int fd = 0; fd < 64; fd++) {
            char target[512];
            ssize_t n =
                readlink((dir + "/" + std::to_string(fd)).c_str(), target, sizeof target - 1);
            if (n > 0 && std::string(target, size_t(n)).find("vorlen.log") != std::string::npos)
                return true;
        }
        return false;
    };
    {
        Daemon d({"-v", "3"}, {"LOGAPPEND="});
        log_something(d.port());
        EXPECT_TRUE(log_is_open(d));
    }
    {
        Daemon d({"-v", "3"});
        log_something(d.port());
        EXPECT_FALSE(log_is_open(d));
    }
}

TEST(Daemon, TraceLinesAppearAtLevelsSevenAndEight) {
    Daemon d7({"-v", "7"});
    log_something(d7.port());
    std::string out = d7.stdout_text();
    EXPECT_NE(out.find("process_message 5(sin): len=4, (incl. data 0)"), std::string::npos);
    EXPECT_EQ(out.find("read("), std::string::npos);
    Daemon d8({"-v", "8"});
    log_something(d8.port());
    out = d8.stdout_text();
    EXPECT_NE(out.find(",...,24(QNX_MSG_HDR))"), std::string::npos);
    EXPECT_NE(out.find(",...,4(second header))"), std::string::npos);
    EXPECT_NE(out.find("server connect from host 127.0.0.1, port "), std::string::npos);
}

TEST(Daemon, ARemovalIsFollowedByTheProgramAndTheReason) {
    Daemon d({"-v", "3"});
    const std::string path = d.workdir() + "/vorlen.log";
    auto reason_of = [&](pid_t pid) {
        std::string line;
        wait_until([&] { return !(line = removal_reason_line(read_file(path), pid)).empty(); });
        return line;
    };
    auto bind = [](RawClient &c) {
        c.send_bytes(names_listing(c.pid()));
        expect_names_listing(c);
    };

    /* Its connection ends. */
    auto gone = std::make_unique<RawClient>(d.port());
    bind(*gone);
    const pid_t gp = gone->pid();
    const std::string gname = pname_of(gp);
    ASSERT_FALSE(gname.empty());
    gone.reset();
    EXPECT_EQ(reason_of(gp), "Removed pid " + std::to_string(gp) + " (" + gname + "): disconnect");

    /* Processes that never connect, each sent to and then ended. The
     * sender's release with ESRCH is the sign of each removal. */
    RawClient c(d.port());
    bind(c);
    const pid_t me = c.pid();
    auto sent_to_and_ended = [&](Sleeper &s) {
        c.send_bytes(send_req(MT_SEND, me, s.pid(), {"x"}));
        EXPECT_TRUE(wait_state(d.port(), me, STATE_SEND_BLOCKED));
        s.kill();
    };
    auto released = [&](pid_t from) {
        QNX_MSG_HDR h = c.recv_hdr();
        EXPECT_EQ(h.ev.retcode, ESRCH);
        EXPECT_EQ(h.from_pid, from);
    };
    const std::string sname = pname_of(getpid());

    /* A connection claims the pid of one that is gone: the claim is
     * refused, and the record goes. */
    Sleeper claimed;
    const pid_t cp = claimed.pid();
    sent_to_and_ended(claimed);
    RawClient liar(d.port());
    liar.send_bytes(names_listing(cp));
    expect_status(liar, ESRCH);
    released(cp);
    EXPECT_EQ(reason_of(cp),
              "Removed pid " + std::to_string(cp) + " (" + sname + "): refused verification");

    /* Another Send to one that is gone. */
    Sleeper exited;
    const pid_t xp = exited.pid();
    sent_to_and_ended(exited);
    RawClient other(d.port());
    bind(other);
    other.send_bytes(send_req(MT_SEND, other.pid(), xp, {"x"}));
    expect_status(other, ESRCH);
    released(xp);
    EXPECT_EQ(reason_of(xp),
              "Removed pid " + std::to_string(xp) + " (" + sname + "): process exit");

    /* The sweep. */
    Sleeper swept;
    const pid_t sp = swept.pid();
    sent_to_and_ended(swept);
    kill(d.pid(), SIGINT);
    released(sp);
    EXPECT_EQ(reason_of(sp), "Removed pid " + std::to_string(sp) + " (" + sname + "): sweep");
}
