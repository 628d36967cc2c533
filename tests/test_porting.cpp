/* test_porting.cpp - ported QNX 4 code builds unchanged: header names, install, pkg-config, CMake
 */
#include "vorlen_test.h"

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#if !defined(VORLEN_BUILD_DIR) || !defined(VORLEN_SOURCE_DIR) || !defined(VORLEN_C_COMPILER)
#error "the build passes the build and source directories and the C compiler"
#endif
#if !defined(VORLEN_INSTALL_LIBDIR) || !defined(VORLEN_INSTALL_LIBEXECDIR)
#error "the build passes the install directories relative to the prefix"
#endif

namespace {

using namespace std::chrono;

/* Every external command of one test shares this budget, so a compiler or
 * CMake that hangs fails the test within a minute instead of stalling it. */
class Budget {
  public:
    Budget() : end_(steady_clock::now() + seconds(60)) {}
    int left_ms() const {
        auto left = duration_cast<milliseconds>(end_ - steady_clock::now()).count();
        return left > 0 ? int(left) : 0;
    }

  private:
    steady_clock::time_point end_;
};

struct Ran {
    int status; /* exit status, or -1 when killed at the end of the budget */
    std::string output;
};

/* run executes a shell command line in a process group of its own, with its
 * output captured; at the end of the budget the whole group is killed. */
Ran run(const std::string &cmd, const Budget &budget) {
    std::string dir = vt::make_tempdir();
    std::string out = dir + "/output";
    fflush(nullptr);
    pid_t c = fork();
    if (c == 0) {
        setpgid(0, 0);
        int fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(fd, 1);
        dup2(fd, 2);
        execl("/bin/sh", "sh", "-c", cmd.c_str(), static_cast<char *>(nullptr));
        _exit(127);
    }
    setpgid(c, c);
    int st = 0;
    bool done = vt::wait_until([&] { return waitpid(c, &st, WNOHANG) == c; }, budget.left_ms());
    if (!done) {
        kill(-c, SIGKILL);
        waitpid(c, &st, 0);
    }
    Ran r{done && WIFEXITED(st) ? WEXITSTATUS(st) : -1, vt::read_file(out)};
    unlink(out.c_str());
    rmdir(dir.c_str());
    return r;
}

std::string quote(const std::string &s) {
    return "'" + s + "'";
}

/* Scratch is a temporary directory of one test, removed with all in it
 * however the test ends. */
struct Scratch {
    std::string dir = vt::make_tempdir();
    ~Scratch() { run("rm -rf " + quote(dir), Budget()); }
};

bool exists(const std::string &path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

void write_file(const std::string &path, const std::string &text) {
    std::ofstream(path) << text;
}

/* Code written the QNX 4 way: C89 (declarations first, no declarations in
 * for), the QNX header names, a program's own max macro (which C++'s own
 * headers remove), variables named max and min (a global one must not clash
 * with the library's max at link time), and a call of every function these
 * headers declare, so that linking it proves the library has them all.
 * QNX_FIRST puts the QNX headers before the host's. */
const char QNX_WAY[] = R"(
#define max(a, b) ((a) > (b) ? (a) : (b))
#ifdef QNX_FIRST
#include <process.h>
#include <sys/kernel.h>
#include <sys/name.h>
#include <sys/osinfo.h>
#include <sys/proxy.h>
#include <sys/psinfo.h>
#include <sys/timers.h>
#include <sys/vc.h>
#endif
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/types.h>
#include <time.h>
#include <unistd.h>
#include <env.h>
#include <i86.h>
#include <process.h>
#include <unix.h>
#include <sys/kernel.h>
#include <sys/name.h>
#include <sys/osinfo.h>
#include <sys/proxy.h>
#include <sys/psinfo.h>
#include <sys/sched.h>
#include <sys/seginfo.h>
#include <sys/sendmx.h>
#include <sys/sidinfo.h>
#include <sys/timers.h>
#include <sys/vc.h>

/* The program's own names: the headers bring no names of the wire protocol
 * (STATE_* are QNX 4's), and Watcom's min macro for C only. */
enum state { STATE_IDLE, STATE_BUSY };
#if defined(MT_SEND) || defined(NOTIFY_PROXY) || defined(SIN_PROCESSES) || \
    defined(VORLEN_FLAG_QNX4) || STATE_SEND_BLOCKED != 2 || STATE_RECEIVE_BLOCKED != 3
#error "the wire protocol leaked into a QNX 4 program"
#endif
#if defined(__cplusplus) ? defined(min) : !defined(min)
#error "<stdlib.h> must define min for C and only for C"
#endif

int max = 1024 * 1024;
static nid_t node;
static msg_t type = 0x100;

int main(int argc, char **argv) {
    struct itimercb tcb;
    struct itimerspec setting, old;
    struct _mxfer_entry mx[2];
    struct _psinfo ps;
    struct _seginfo seg;
    struct _osinfo os;
    struct _sidinfo session;
    char buf[64], path[4096];
    timer_t id;
    pid_t p, proxy, vid;
    mpid_t sender;
    long flags;
    unsigned n;
    int i, min = 0;

    if (argc < 2) return 0; /* linked, never run */
    qnx_pflags(~0L, _PPF_PRIORITY_REC | _PPF_SIGCATCH, &flags, 0);
    node = getnid();
    setprio(0, getprio(0) - 1);
    proxy = qnx_proxy_attach(0, NULL, 0, -1);
    tcb.itcb_event.evt_value = proxy;
    tcb.itcb_count = 0;
    if ((id = mktimer(TIMEOFDAY, _TNOTIFY_PROXY, &tcb)) == -1) return 1;
    memset(&setting, 0, sizeof setting);
    setting.it_value.tv_sec = 1;
    reltimer(id, &setting, &old);
    abstimer(id, &setting, NULL);
    qnx_name_attach(node, "qnx/way");
    p = qnx_name_locate(node, "qnx/way", 0, NULL);
    n = sizeof buf / 2;
    _setmx(&mx[0], buf, n);
    _setmx(&mx[1], buf + n, n);
    for (i = 0; i < 2; i++) mx[i].mxfer_len = n;
    Sendmx(p, 2, 2, mx, mx);
    Send(p, buf, buf, sizeof buf, sizeof buf);
    p = Receivemx(0, 2, mx);
    p = Creceivemx(p, 2, mx);
    p = Creceive(0, buf, sizeof buf);
    p = Receive(0, buf, sizeof buf);
    if (Readmsg(p, 4, buf, sizeof buf) == -1 || Readmsgmx(p, 0, 2, mx) != (int)sizeof buf) return 1;
    if (Writemsg(p, 4, buf, 4) != 4 || Writemsgmx(p, 8, 2, mx) != (int)sizeof buf) return 1;
    if (Relay(p, proxy) == -1) return 1;
    Replymx(p, 2, mx);
    Reply(p, buf, sizeof buf);
    Trigger(proxy);
    if (rmtimer(id) == -1 || qnx_proxy_detach(proxy) == -1) return 1;
    qnx_name_detach(node, 1);
    delay(1);
    if (qnx_fullpath(path, argv[0]) == NULL) return 1;

    vid = qnx_vc_attach(node, PROC_PID, 0, 0);
    sender = qnx_psinfo(vid, 0, &ps, 0, &seg);
    if (ps.state == STATE_REPLY_BLOCKED || (ps.flags & _PPF_VID) || qnx_vc_detach(vid) == -1)
        return 1;
    if (qnx_osinfo(node, &os) == -1 || qnx_sid_query(PROC_PID, ps.sid, &session) == -1) return 1;
    spawnl(P_WAIT, argv[0], argv[0], (char *)NULL);
    spawnle(P_NOWAIT, argv[0], argv[0], (char *)NULL, environ);
    spawnlp(P_NOWAITO, "sh", "sh", (char *)NULL);
    spawnlpe(P_WAIT, "sh", "sh", (char *)NULL, environ);
    spawnv(P_WAIT, argv[0], argv);
    spawnve(P_WAIT, argv[0], argv, environ);
    spawnvp(P_WAIT, "sh", argv);
    spawnvpe(P_WAIT, "sh", argv, environ);
    qnx_spawn(0, NULL, node, 10, -1, _SPAWN_NEWPGRP, argv[0], argv, NULL, NULL, -1);
    searchenv("sh", "PATH", path);
    setenv("QNX", "4", 1);
    unsetenv("QNX");
    clearenv();
    itoa(type, buf, 16);
#ifndef __cplusplus
    min = max(min(max, min), _TNOTIFY_SIGNAL);
#endif
    printf("%d %d %ld %d %d %s %d %s %lu\n", (int)id, (int)p, flags, min, (int)STATE_READY,
           ps.un.proc.name, (int)sender, buf, os.totmemk);
    return 0;
}
)";

/* A program that uses the host's own calls, built with the QNX header
 * directory on its path: the wrappers of <sys/types.h> and <unistd.h> add
 * nid_t and qnx_fullpath and change nothing else. <time.h> and <signal.h>
 * give QNX 4's timer calls, unless the file asks for the host's timer_t and
 * timer_create with VORLEN_HOST_TIMER_T. */
const char HOST_WAY[] = R"(
#define VORLEN_HOST_TIMER_T
#include <signal.h>
#include <stddef.h>
#include <sys/types.h>
#include <time.h>
#include <unistd.h>

int main(void) {
    timer_t t;
    struct sigevent ev;
    nid_t node = 0;
    char path[4096];

    ev.sigev_notify = SIGEV_NONE;
    if (timer_create(CLOCK_MONOTONIC, &ev, &t) != 0) return 1;
    timer_delete(t);
    return qnx_fullpath(path, ".") == NULL ? 1 : (int)node;
}
)";

/* A program that keeps its QNX code apart with __QNX__, as QNX 4 programs
 * that were also built elsewhere did: it says which branch it was built
 * with, and the QNX branch makes a call of the QNX 4 headers and uses
 * Watcom's keywords, which the QNX 4 modules define away. */
const char GUARDED[] = R"(
#include <stdio.h>
#ifdef __QNX__
#include <sys/psinfo.h>
#include <sys/vc.h>
typedef _Packed struct { char tag; } rec_t;
static char far label[] = "node";
#endif

int main(void) {
#ifdef __QNX__
    char near *name = label;
    char huge *same = name;
    char __far *also = same;
    printf("QNX 4, %s %d\n", also, (int)getnid());
    return qnx_vc_attach(getnid(), PROC_PID, 0, 0) == PROC_PID ? 0 : 1;
#else
    printf("elsewhere\n");
    return 0;
#endif
}
)";

/* A program of QNX 4's terminal library: it loads the terminal TERM names
 * and prints its width. */
const char TERM_PROGRAM[] = R"(
#include <stdio.h>
#include <sys/qnxterm.h>

int main(void) {
    if (term_load() != 0) return 1;
    printf("%d\n", term_state.num_cols);
    return 0;
}
)";

std::string source_path(const std::string &rel) {
    return std::string(VORLEN_SOURCE_DIR) + "/" + rel;
}

/* run_pair runs a server and a client built from the examples against a
 * private daemon and checks what both print and that both end with 0. */
void run_pair(const std::string &server, const std::string &client) {
    vt::Daemon d;
    Scratch scratch;
    const std::string &dir = scratch.dir;
    auto start = [&](const std::string &prog, const std::string &out) {
        return vt::spawn([&] {
            int fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            dup2(fd, 1);
            dup2(fd, 2);
            execl(prog.c_str(), prog.c_str(), static_cast<char *>(nullptr));
            return 127;
        });
    };
    pid_t s = start(server, dir + "/server.out");
    /* The client looks the server up by name: start it once the name is
     * there, unless the server has ended already (it is not reaped here). */
    auto server_ended = [s] {
        siginfo_t info{};
        return waitid(P_PID, id_t(s), &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == s;
    };
    bool named = false;
    vt::wait_until([&] {
        for (auto &n : vt::list_names(d.port()))
            if (std::string(n.name) == "vorlen/example" && n.pid == s) return named = true;
        return server_ended();
    });
    if (!named) {
        vt::wait_exit(s, 1000);
        FAIL() << "the server did not register its name:\n" << vt::read_file(dir + "/server.out");
    }
    pid_t c = start(client, dir + "/client.out");
    EXPECT_EQ(vt::wait_exit(c, 20000), 0);
    EXPECT_EQ(vt::wait_exit(s, 20000), 0);
    std::string sout = vt::read_file(dir + "/server.out");
    std::string cout = vt::read_file(dir + "/client.out");
    EXPECT_EQ(sout, "qnx_server: serving as vorlen/example\n"
                    "qnx_server: done after 3 requests\n");
    EXPECT_EQ(cout, "qnx_client: echo: HELLO FROM QNX_CLIENT\n"
                    "qnx_client: the server's timer ticked 3 times\n"
                    "qnx_client: server said bye\n");
    /* Nothing of either is left in the daemon. */
    EXPECT_TRUE(vt::wait_until([&] { return vt::list_names(d.port()).empty(); }));
    EXPECT_TRUE(vt::list_timers(d.port()).empty());
    EXPECT_TRUE(vt::list_proxies(d.port()).empty());
}

/* install puts this build tree into prefix. */
void install(const std::string &prefix, const Budget &budget) {
    Ran r = run(std::string(VORLEN_CMAKE_COMMAND) + " --install " + quote(VORLEN_BUILD_DIR) +
                    " --prefix " + quote(prefix),
                budget);
    ASSERT_EQ(r.status, 0) << r.output;
}

TEST(Porting, CodeWrittenTheQnxWayCompilesWithoutWarningsAndLinks) {
    Budget budget;
    Scratch scratch;
    const std::string &dir = scratch.dir;
    write_file(dir + "/qnx_way.c", QNX_WAY);
    write_file(dir + "/host_way.c", HOST_WAY);
    const std::string flags = "-pedantic -Wall -Wextra -Werror -I" +
                              quote(source_path("include/qnx")) + " -I" +
                              quote(source_path("include"));
    const std::string link = quote(VORLEN_LIBRARY) + " " + VORLEN_RUNTIME_FLAGS;
    struct Variant {
        std::string compiler, options, source;
    };
    std::vector<Variant> variants;
    for (const char *std : {"gnu89", "c99", "c11"})
        for (const char *order : {"", " -DQNX_FIRST"})
            variants.push_back(
                {VORLEN_C_COMPILER, std::string("-std=") + std + order, "qnx_way.c"});
    /* Ported programs may be C++ too: the headers must give C linkage. */
    variants.push_back({VORLEN_CXX_COMPILER, "-x c++ -std=c++17", "qnx_way.c"});
    variants.push_back({VORLEN_C_COMPILER, "-std=gnu99", "host_way.c"});
    for (const auto &v : variants) {
        Ran r = run(v.compiler + " " + v.options + " " + flags + " " + quote(dir + "/" + v.source) +
                        " -x none -o " + quote(dir + "/program") + " " + link,
                    budget);
        EXPECT_TRUE(r.status == 0 && r.output.empty())
            << v.source << " " << v.options << ": status " << r.status << "\n"
            << r.output;
    }
}

TEST(Porting, InstalledProgramsBuildWithPkgConfigAndRun) {
    Budget budget;
    Scratch scratch;
    const std::string prefix = scratch.dir + "/prefix";
    ASSERT_NO_FATAL_FAILURE(install(prefix, budget));
    for (const char *f : {"sbin/vorlen", "bin/sin", VORLEN_INSTALL_LIBEXECDIR "/vorlen/drillpair",
                          VORLEN_INSTALL_LIBDIR "/libvorlen.so.1", "include/vorlen/vorlen.h",
                          "include/vorlen/qnx/sys/kernel.h", "share/man/man8/vorlen.8.gz",
                          "share/man/man1/sin.1.gz", "etc/logrotate.d/vorlen",
                          "share/vorlen/vorlen-certs", "share/doc/vorlen/examples/netmap"})
        EXPECT_TRUE(exists(prefix + "/" + f)) << f;
    /* The exercisers are no commands for the PATH. */
    EXPECT_FALSE(exists(prefix + "/bin/drillpair"));
    /* The files that name the prefix name the one installed into. */
    std::string unit = vt::read_file(prefix + "/lib/systemd/system/vorlen.service");
    /* The drop-in of a node of a plant (vorlen --unit-dropin) sets the variable. */
    EXPECT_NE(unit.find("\nExecStart=" + prefix +
                        "/sbin/vorlen -v 2 -d --log-stderr --unix /run/vorlen/vorlen.sock "
                        "$VORLEN_NETMAP_OPTIONS\n"),
              std::string::npos)
        << unit;
    EXPECT_NE(unit.find("\nEnvironment=VORLEN_NETMAP_OPTIONS=\n"), std::string::npos) << unit;
    const std::string pkg =
        "PKG_CONFIG_PATH=" + quote(prefix + "/" + VORLEN_INSTALL_LIBDIR + "/pkgconfig") +
        " pkg-config";
    Ran r = run(pkg + " --variable=prefix vorlen", budget);
    ASSERT_EQ(r.status, 0) << r.output;
    EXPECT_EQ(r.output, prefix + "\n");

    /* __QNX__ only for those who ask for it with vorlen-qnx4. */
    write_file(scratch.dir + "/guarded.c", GUARDED);
    for (const char *module : {"vorlen", "vorlen-qnx4"}) {
        const std::string prog = prefix + "/" + module + "-guarded";
        r = run(std::string(VORLEN_C_COMPILER) + " -Wall -Wextra -Werror " +
                    quote(scratch.dir + "/guarded.c") + " -o " + quote(prog) + " $(" + pkg +
                    " --cflags --libs " + module + ")",
                budget);
        ASSERT_EQ(r.status, 0) << module << ":\n" << r.output;
        r = run(quote(prog), budget);
        EXPECT_EQ(r.status, 0) << module;
        EXPECT_EQ(r.output, module == std::string("vorlen") ? "elsewhere\n" : "QNX 4, node 1\n");
    }

    /* QNX 4's terminal library comes with a module of its own. */
    write_file(scratch.dir + "/term.c", TERM_PROGRAM);
    r = run(std::string(VORLEN_C_COMPILER) + " -Wall -Wextra -Werror " +
                quote(scratch.dir + "/term.c") + " -o " + quote(prefix + "/term") + " $(" + pkg +
                " --cflags --libs vorlen-qnxterm)",
            budget);
    ASSERT_EQ(r.status, 0) << r.output;
    r = run("env -u COLUMNS -u LINES TERM=xterm " + quote(prefix + "/term"), budget);
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_EQ(r.output, "80\n");

    /* The one line a porting user types, for each example: vorlen links the
     * static library into the program, vorlen-shared libvorlen.so.1 (found
     * here through the run path, as in any prefix the loader does not search). */
    for (std::string module : {"vorlen", "vorlen-shared"}) {
        const std::string rpath =
            module == "vorlen" ? "" : " -Wl,-rpath,$(" + pkg + " --variable=libdir " + module + ")";
        for (const char *prog : {"qnx_server", "qnx_client"}) {
            const std::string out = prefix + "/" + prog + "-" + module;
            r = run(std::string(VORLEN_C_COMPILER) + " -Wall -Wextra -Werror " +
                        quote(source_path(std::string("examples/") + prog + ".c")) + " -o " +
                        quote(out) + " $(" + pkg + " --cflags --libs " + module + ")" + rpath,
                    budget);
            ASSERT_EQ(r.status, 0) << prog << " with " << module << ":\n" << r.output;
            EXPECT_TRUE(r.output.empty()) << prog << " with " << module << ":\n" << r.output;
            r = run("readelf -d " + quote(out), budget);
            EXPECT_EQ(r.output.find("[libvorlen.so.1]") != std::string::npos,
                      module == "vorlen-shared")
                << prog << " with " << module << ":\n"
                << r.output;
        }
        run_pair(prefix + "/qnx_server-" + module, prefix + "/qnx_client-" + module);
    }
}

TEST(Porting, FindPackageGivesACProjectEverythingItNeeds) {
    Budget budget;
    Scratch scratch;
    const std::string prefix = scratch.dir + "/prefix", proj = scratch.dir + "/project";
    ASSERT_NO_FATAL_FAILURE(install(prefix, budget));
    mkdir(proj.c_str(), 0755);
    /* A C-only project: the imported target must bring the C++ runtime. */
    write_file(proj + "/CMakeLists.txt",
               "cmake_minimum_required(VERSION 3.18)\n"
               "project(ported C)\n"
               "find_package(vorlen 1.2 REQUIRED)\n"
               "foreach(prog qnx_server qnx_client)\n"
               "  add_executable(${prog} " +
                   source_path("examples") +
                   "/${prog}.c)\n"
                   "  target_compile_options(${prog} PRIVATE -Wall -Wextra -Werror)\n"
                   "  target_link_libraries(${prog} PRIVATE vorlen::vorlenlib)\n"
                   "  add_executable(${prog}_shared " +
                   source_path("examples") +
                   "/${prog}.c)\n"
                   "  target_link_libraries(${prog}_shared PRIVATE vorlen::vorlen_shared)\n"
                   "endforeach()\n"
                   "add_executable(guarded guarded.c)\n"
                   "target_link_libraries(guarded PRIVATE vorlen::qnx4)\n"
                   "add_executable(term term.c)\n"
                   "target_link_libraries(term PRIVATE vorlen::qnxterm)\n");
    write_file(proj + "/term.c", TERM_PROGRAM);
    write_file(proj + "/guarded.c", GUARDED);
    Ran r = run(std::string(VORLEN_CMAKE_COMMAND) + " -S " + quote(proj) + " -B " +
                    quote(proj + "/build") + " -G " + quote(VORLEN_CMAKE_GENERATOR) +
                    " -DCMAKE_C_COMPILER=" + quote(VORLEN_C_COMPILER) +
                    " -DCMAKE_PREFIX_PATH=" + quote(prefix),
                budget);
    ASSERT_EQ(r.status, 0) << r.output;
    r = run(std::string(VORLEN_CMAKE_COMMAND) + " --build " + quote(proj + "/build"), budget);
    ASSERT_EQ(r.status, 0) << r.output;
    r = run(quote(proj + "/build/guarded"), budget);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.output, "QNX 4, node 1\n");
    r = run("env -u COLUMNS -u LINES TERM=xterm " + quote(proj + "/build/term"), budget);
    EXPECT_EQ(r.output, "80\n");
    run_pair(proj + "/build/qnx_server", proj + "/build/qnx_client");
    run_pair(proj + "/build/qnx_server_shared", proj + "/build/qnx_client_shared");
}

/* A QNX 4 program (tests/qnx4_face.c, built with the QNX 4 header names)
 * finds QNX 4's behaviour where it differs from vorlen.h's: each case is one
 * difference, checked by the program itself against a daemon of its own. */
class QnxFace : public testing::TestWithParam<const char *> {};

TEST_P(QnxFace, BehavesAsQnx4) {
    vt::Daemon d;
    const std::string out = d.workdir() + "/qnx4_face.out";
    std::string prog = vt::bin_path("qnx4_face");
    const char *which = GetParam();
    pid_t c = vt::spawn([&] {
        int fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(fd, 1);
        dup2(fd, 2);
        execl(prog.c_str(), prog.c_str(), which, static_cast<char *>(nullptr));
        return 127;
    });
    EXPECT_EQ(vt::wait_exit(c, 20000), 0) << vt::read_file(out);
}

/* A program that includes only <time.h> and <signal.h> finds QNX 4's
 * timer_create(clock_id, evp) there, and its timer fires through the daemon. */
TEST(QnxTime, TimerCallsFromTimeAndSignalAlone) {
    vt::Daemon d;
    std::string prog = vt::bin_path("qnx4_time");
    pid_t c = vt::spawn([&] {
        execl(prog.c_str(), prog.c_str(), static_cast<char *>(nullptr));
        return 127;
    });
    EXPECT_EQ(vt::wait_exit(c, 20000), 0);
}

INSTANTIATE_TEST_SUITE_P(Cases, QnxFace,
                         testing::Values("reply", "proxy", "timer", "send-eintr", "sigcatch",
                                         "trigger-first", "names", "node-ids", "network",
                                         "c-library", "qnxterm", "posix-timers", "psinfo", "vc",
                                         "osinfo-sid", "prio", "priority-receive",
                                         "writes-into-reply", "message-before-trigger", "spawn",
                                         "writemsg-relay", "devices", "console"));

} // namespace
