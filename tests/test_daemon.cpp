/* test_daemon.cpp - the daemon's command line, signals and log file */
#include <cerrno>
#include <csignal>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <regex>
#include <sstream>

#include <arpa/inet.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "vorlen_test.h"

using namespace vt;

namespace {

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

/* What a run of the daemon program printed, and how it ended. */
struct Ran {
    int status;
    std::string out;
    std::string err;
};

/* Runs the daemon with args (shell words) for at most ten seconds: one that
 * starts serving instead of ending is cut off with status 124. A port of the
 * test's own comes first, so that one which serves is never on the default
 * port; a -p in args overrides it. env (shell words NAME=value) is its
 * environment's addition. */
Ran run_vorlen(const std::string &args, const std::string &env = "", bool with_port = true) {
    std::string dir = make_tempdir();
    std::string port = with_port ? " -p " + std::to_string(free_port()) : "";
    std::string cmd = "cd " + dir + " && " + env + " timeout 10 " + bin_path("vorlen") + port +
                      " " + args + " >" + dir + "/out 2>" + dir + "/err";
    int st = system(cmd.c_str());
    Ran r{WIFEXITED(st) ? WEXITSTATUS(st) : -1, read_file(dir + "/out"), read_file(dir + "/err")};
    std::string rm = "rm -rf '" + dir + "'";
    if (system(rm.c_str()) != 0) { /* leaving a temporary directory is harmless */
    }
    return r;
}

/* Connects to addr:port; 0 when the connection is made, else the errno. */
int connect_errno(const std::string &addr, int port) {
    int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(uint16_t(port));
    inet_pton(AF_INET, addr.c_str(), &a.sin_addr);
    int e = connect(s, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0 ? 0 : errno;
    close(s);
    return e;
}

/* An IPv4 address of this host outside 127.0.0.0/8, or "" when it has none. */
std::string own_outside_address() {
    struct ifaddrs *all = nullptr;
    if (getifaddrs(&all) != 0) return "";
    std::string found;
    for (struct ifaddrs *i = all; i && found.empty(); i = i->ifa_next) {
        if (!i->ifa_addr || i->ifa_addr->sa_family != AF_INET || !(i->ifa_flags & IFF_UP) ||
            (i->ifa_flags & IFF_LOOPBACK))
            continue;
        auto *sin = reinterpret_cast<sockaddr_in *>(i->ifa_addr);
        if ((ntohl(sin->sin_addr.s_addr) >> 24) == 127) continue;
        char text[INET_ADDRSTRLEN];
        found = inet_ntop(AF_INET, &sin->sin_addr, text, sizeof text);
    }
    freeifaddrs(all);
    return found;
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

/* --help prints the banner once and every option with its dashes, saying of
 * each what vorlen(8) says; an option that is refused is one line on
 * standard error and a pointer to --help, with status 2. */
TEST(Daemon, HelpAgreesWithTheManualAndARefusedOptionPointsToIt) {
    Ran h = run_vorlen("--help");
    EXPECT_EQ(h.status, 0);
    EXPECT_EQ(h.out.rfind("\nVorlen - QNX 4 message passing for Linux\n", 0), 0u) << h.out;
    EXPECT_EQ(count(h.out, "Vorlen - QNX 4 message passing for Linux"), 1) << h.out;
    EXPECT_EQ(count(h.out, "Version 1.2b228 vom Jul 20 2002 um 19:19:14\n"), 1) << h.out;
    for (const char *line : {
             "usage: vorlen [options] &\n",
             "  -h name              accepted for compatibility; it has no effect\n",
             "  -p port              listen on this TCP port, 1 to 65535 (default VORLEN_PORT,\n",
             "  -t n                 accepted for compatibility (a global time-out that is not\n",
             "  -l n                 accepted for compatibility; the message queue always holds\n"
             "                       512 entries\n",
             "  -d                   write log lines only to the log file, not to standard "
             "output\n",
             "  -v level             verbose level, 0 by default: how much is logged; 9 and\n",
             "  --unix path          listen on this Unix-domain socket file instead of the\n"
             "                       abstract socket @vorlen.<port> (or VORLEN_UNIX)\n",
             "  --listen addr ",
         })
        EXPECT_NE(h.out.find(line), std::string::npos) << line;
    const std::string help = "Try 'vorlen --help' for the options.\n";
    struct Case {
        const char *args, *err;
    } cases[] = {
        {"-x", "vorlen: unknown option '-x'\n"},
        {"-dx", "vorlen: unknown option '-x'\n"},
        {"--bogus", "vorlen: unknown option '--bogus'\n"},
        {"--max-names", "vorlen: a value is missing after '--max-names'\n"},
        {"-v", "vorlen: a value is missing after '-v'\n"},
    };
    for (const Case &c : cases) {
        Ran r = run_vorlen(c.args);
        EXPECT_EQ(r.status, 2) << c.args;
        EXPECT_EQ(r.err, c.err + help) << c.args;
        EXPECT_EQ(r.out, "") << c.args;
    }
}

/* Without -p the daemon listens on VORLEN_PORT, the clients' variable,
 * checked as -p is; -p wins over it. */
TEST(Daemon, WithoutPortOptionVorlenPortIsTaken) {
    for (const char *bad : {"abc", "0", "70000", "80x", "''"}) {
        Ran r = run_vorlen("", std::string("VORLEN_PORT=") + bad, false);
        EXPECT_EQ(r.status, 2) << bad;
        std::string shown = bad == std::string("''") ? "" : bad;
        EXPECT_EQ(r.err, "vorlen: VORLEN_PORT '" + shown + "': not a number from 1 to 65535\n");
    }
    {
        Daemon over({}, {"VORLEN_PORT=abc"});
        EXPECT_TRUE(over.alive());
    }
    const std::string dir = make_tempdir();
    bool served = false;
    for (int attempt = 0; attempt < 5 && !served; attempt++) {
        int port = free_port();
        pid_t pid = fork();
        if (pid == 0) {
            int null = open("/dev/null", O_WRONLY);
            if (chdir(dir.c_str()) != 0 || null < 0) _exit(127);
            dup2(null, 1);
            dup2(null, 2);
            setenv("VORLEN_PORT", std::to_string(port).c_str(), 1);
            execl(bin_path("vorlen").c_str(), "vorlen", static_cast<char *>(nullptr));
            _exit(127);
        }
        int st = 0;
        bool ended = false;
        /* Another program may take the free port first: the next is tried. */
        wait_until([&] {
            return connect_errno("127.0.0.1", port) == 0 ||
                   (ended = waitpid(pid, &st, WNOHANG) == pid);
        });
        if (ended) continue;
        served = connect_errno("127.0.0.1", port) == 0;
        if (served) log_something(port);
        kill(pid, SIGTERM);
        waitpid(pid, &st, 0);
    }
    EXPECT_TRUE(served);
    std::string rm = "rm -rf '" + dir + "'";
    EXPECT_EQ(system(rm.c_str()), 0);
}

TEST(Daemon, OptionsAreTakenWholeAndInRangeOrRefusedWithStatusTwo) {
    const std::string port = "not a number from 1 to 65535\n";
    const std::string any = "not a number from 0 to 2147483647\n";
    struct Case {
        const char *args;
        int status;
        std::string err; /* all of standard error, with nothing on standard output */
    } cases[] = {
        {"-p abc", 2, "vorlen: -p 'abc': " + port},
        {"-p 70000", 2, "vorlen: -p '70000': " + port},
        {"-p 65536", 2, "vorlen: -p '65536': " + port},
        {"-p 0", 2, "vorlen: -p '0': " + port},
        {"-p -1", 2, "vorlen: -p '-1': " + port},
        {"-p 80x", 2, "vorlen: -p '80x': " + port},
        {"-p ''", 2, "vorlen: -p '': " + port},
        {"-p ' 80'", 2, "vorlen: -p ' 80': " + port},
        {"-p +80", 2, "vorlen: -p '+80': " + port},
        {"-p 99999999999999999999", 2, "vorlen: -p '99999999999999999999': " + port},
        {"-v abc", 2, "vorlen: -v 'abc': " + any},
        {"-v -1", 2, "vorlen: -v '-1': " + any},
        {"-v 2147483648", 2, "vorlen: -v '2147483648': " + any},
        {"-t 1.5", 2, "vorlen: -t '1.5': " + any},
        {"-l many", 2, "vorlen: -l 'many': " + any},
        {"--max-connections 0", 2,
         "vorlen: --max-connections '0': not a number from 1 to 2147483647\n"},
        {"--max-connections 10k", 2,
         "vorlen: --max-connections '10k': not a number from 1 to 2147483647\n"},
        {"--max-request -5", 2, "vorlen: --max-request '-5': not a number from 1 to 4294967295\n"},
        {"--max-request 4294967296", 2,
         "vorlen: --max-request '4294967296': not a number from 1 to 4294967295\n"},
        {"--max-unread 4M", 2,
         "vorlen: --max-unread '4M': not a number from 1 to 9223372036854775807\n"},
        {"--max-unread 0", 2,
         "vorlen: --max-unread '0': not a number from 1 to 9223372036854775807\n"},
        {"--max-proxies 4097", 2, "vorlen: --max-proxies '4097': not a number from 1 to 4096\n"},
        {"--max-timers 0", 2, "vorlen: --max-timers '0': not a number from 1 to 4096\n"},
        {"--max-names x", 2, "vorlen: --max-names 'x': not a number from 1 to 4096\n"},
        {"--listen 127.0.0", 2, "vorlen: --listen '127.0.0': not an IPv4 address\n"},
        {"--listen localhost", 2, "vorlen: --listen 'localhost': not an IPv4 address\n"},
        {"--unix-mode 8", 2, "vorlen: --unix-mode '8': not an octal mode from 0 to 0777\n"},
        {"--unix-mode 1000", 2, "vorlen: --unix-mode '1000': not an octal mode from 0 to 0777\n"},
        {"--unix-mode -1", 2, "vorlen: --unix-mode '-1': not an octal mode from 0 to 0777\n"},
        {"--unix-mode ''", 2, "vorlen: --unix-mode '': not an octal mode from 0 to 0777\n"},
        {"--unix-mode ' 600'", 2, "vorlen: --unix-mode ' 600': not an octal mode from 0 to 0777\n"},
        {"--unix-mode 0o600", 2, "vorlen: --unix-mode '0o600': not an octal mode from 0 to 0777\n"},
        {"--node 0", 2, "vorlen: --node '0': not a number from 1 to 255\n"},
        {"--node 256", 2, "vorlen: --node '256': not a number from 1 to 255\n"},
        {"--node-heartbeat 0", 2, "vorlen: --node-heartbeat '0': not a number from 1 to 3600000\n"},
        {"--node-timeout 2s", 2, "vorlen: --node-timeout '2s': not a number from 2 to 3600000\n"},
        {"--node-timeout 500", 2,
         "vorlen: --node-timeout '500': not more than --node-heartbeat (500)\n"},
        {"--node-heartbeat 3000", 2,
         "vorlen: --node-timeout '2000': not more than --node-heartbeat (3000)\n"},
        {"--netmap ''", 2, "vorlen: --netmap: an empty path\n"},
        {"--tls-key ''", 2, "vorlen: --tls-key: an empty path\n"},
        {"--version", 0, ""},
        {"--help", 0, ""},
    };
    for (const Case &c : cases) {
        Ran r = run_vorlen(c.args);
        EXPECT_EQ(r.status, c.status) << c.args;
        if (c.status != 0) {
            EXPECT_EQ(r.err, c.err) << c.args;
            EXPECT_EQ(r.out, "") << c.args;
        } else {
            EXPECT_EQ(r.err, "") << c.args;
        }
    }
    Ran v = run_vorlen("--version");
    EXPECT_TRUE(std::regex_match(v.out, std::regex("vorlen \\d+\\.\\d+(\\.\\d+)*\n"))) << v.out;
    Ran h = run_vorlen("--help");
    EXPECT_NE(h.out.find("Version 1.2b228 vom Jul 20 2002 um 19:19:14\n"), std::string::npos);
    EXPECT_NE(h.out.find("usage: vorlen [options] &\n"), std::string::npos) << h.out;
    EXPECT_NE(h.out.find("  --listen addr "), std::string::npos) << h.out;
}

/* A net map the daemon cannot take part in as asked ends it with status 2
 * and one line on standard error before it listens: a line it cannot read
 * (with its number), no line or two for this host, a node the map lacks,
 * certificate files it cannot read, a key others may read. Without a net
 * map --node means nothing and is refused too. */
TEST(Daemon, ANetMapItCannotTakeEndsItWithStatusTwo) {
    const std::string dir = make_tempdir();
    ASSERT_TRUE(plant_certs(dir, {"a"}));
    const std::string a = dir + "/a/";
    const std::string files =
        " --tls-cert " + a + "node.crt --tls-key " + a + "node.key --tls-ca " + a + "ca.crt";
    auto map = [&](const std::string &name, const std::string &text) {
        FILE *f = fopen((dir + "/" + name).c_str(), "w");
        EXPECT_NE(f, nullptr);
        if (f) {
            fputs(text.c_str(), f);
            fclose(f);
        }
        return dir + "/" + name;
    };
    const std::string good = map("good", "1 127.0.0.1:" + std::to_string(free_port()) + " a\n");
    const std::string open_key = dir + "/open.key";
    ASSERT_EQ(system(("cp " + a + "node.key " + open_key + " && chmod 0640 " + open_key).c_str()),
              0);
    /* A key handed over by systemd (LoadCredential=tls-key:...) is taken
     * unless --tls-key names one, and checked as any. */
    const std::string creds = dir + "/creds";
    ASSERT_EQ(system(("mkdir " + creds + " && cp " + open_key + " " + creds + "/tls-key").c_str()),
              0);
    const std::string no_key = " --tls-cert " + a + "node.crt --tls-ca " + a + "ca.crt";
    struct Case {
        std::string args, err, env = "";
    } cases[] = {
        {"--netmap " + good + no_key,
         "vorlen: --tls-key '" + creds + "/tls-key': readable by group or others (mode 0640)",
         "CREDENTIALS_DIRECTORY=" + creds},
        {"--netmap " + good + no_key + " --tls-key " + dir + "/none.key",
         "vorlen: --tls-key '" + dir + "/none.key': No such file or directory",
         "CREDENTIALS_DIRECTORY=" + creds},
        {"--netmap " + dir + "/none",
         "vorlen: --netmap '" + dir + "/none': No such file or directory"},
        {"--netmap " + dir, "vorlen: --netmap '" + dir + "': not a regular file"},
        {"--netmap " + map("empty", "# no node yet\n\n"),
         "vorlen: " + dir + "/empty: the net map names no node"},
        {"--netmap " + map("word", "1 127.0.0.1 a\n# two\n2 10.0.0.2 b c\n"),
         "vorlen: " + dir + "/word:3: 'c': more than 'nid host[:port] [name]'"},
        {"--netmap " + map("range", "\n256 10.0.0.2\n"),
         "vorlen: " + dir + "/range:2: '256': not a node id from 1 to 255"},
        {"--netmap " + map("twice", "1 127.0.0.1 a\n2 10.0.0.2 b\n1 10.0.0.3 c\n"),
         "vorlen: " + dir + "/twice:3: node 1 is named twice (first on line 1)"},
        {"--netmap " + map("unresolved", "1 127.0.0.1 a\n2 nowhere.invalid\n"),
         "vorlen: " + dir + "/unresolved:2: cannot resolve 'nowhere.invalid': "},
        {"--netmap " + map("far", "1 127.0.0.2 a\n2 127.0.0.3 b\n"),
         "vorlen: " + dir + "/far: no node has an address of this host (give --node)"},
        {"--netmap " + map("both", "3 127.0.0.1:7781 a\n4 127.0.0.1:7782 b\n"),
         "vorlen: " + dir + "/both: nodes 3 and 4 both have addresses of this host (give --node)"},
        {"--netmap " + good + " --node 2", "vorlen: --node '2': " + good + " has no node 2"},
        {"--netmap " + good + files + " --tls-cert " + dir + "/none.crt",
         "vorlen: --tls-cert '" + dir + "/none.crt': No such file or directory"},
        {"--netmap " + good + files + " --tls-ca " + dir + "/none.crt",
         "vorlen: --tls-ca '" + dir + "/none.crt': No such file or directory"},
        {"--netmap " + good + files + " --tls-key " + open_key,
         "vorlen: --tls-key '" + open_key +
             "': readable by group or others (mode 0640); make it 0600"},
        {"--node 1", "vorlen: --node needs a net map (--netmap, or /etc/vorlen/netmap)"},
        {"--unit-dropin",
         "vorlen: --unit-dropin needs a net map (--netmap, or /etc/vorlen/netmap)"},
        /* Clients of other hosts are no longer taken: the daemons are linked. */
        {"--remote", "vorlen: --remote is gone: give each host its own daemon and link them "
                     "with --netmap (vorlen(8), SEVERAL HOSTS)"},
    };
    for (const Case &c : cases) {
        Ran r = run_vorlen(c.args, c.env);
        EXPECT_EQ(r.status, 2) << c.args << ": " << r.err;
        EXPECT_EQ(r.err.substr(0, c.err.size()), c.err) << c.args;
        EXPECT_EQ(count(r.err, "\n"), 1) << r.err;
        EXPECT_EQ(r.out, "") << c.args;
    }
    EXPECT_EQ(system(("rm -rf '" + dir + "'").c_str()), 0);
}

/* With a net map the start line names this node, and --unit-dropin prints the
 * unit's drop-in for it: the options, the net map's addresses let through,
 * the key as a credential. */
TEST(Daemon, TheStartLineNamesTheNodeAndTheDropinLetsItsPeersThrough) {
    const std::string dir = make_tempdir();
    ASSERT_TRUE(plant_certs(dir, {"a"}));
    const std::string netmap = dir + "/netmap";
    FILE *f = fopen(netmap.c_str(), "w");
    ASSERT_NE(f, nullptr);
    const int link_port = free_port();
    /* 127.0.0.7 is no interface's address: only 127.0.0.1 is this host's. */
    fprintf(f, "# the plant\n1 127.0.0.1:%d a\n7 127.0.0.7 far\n", link_port);
    fclose(f);
    Ran r = run_vorlen("--netmap " + netmap + " --node 7 --node-timeout 3000 --unit-dropin");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, "# netmap.conf - vorlen.service as node 7 of the plant in " + netmap +
                         "\n# Made by vorlen --unit-dropin; make it again when the net map "
                         "changes, then\n# systemctl daemon-reload and systemctl restart "
                         "vorlen.\n[Service]\nEnvironment=\"VORLEN_NETMAP_OPTIONS=--netmap " +
                         netmap +
                         " --node 7 --node-timeout 3000\"\nIPAddressAllow=127.0.0.1/32\n"
                         "IPAddressAllow=127.0.0.7/32\nLoadCredential=tls-key:/etc/vorlen/"
                         "node.key\n");
    {
        Daemon d(node_options(dir, "a", netmap));
        RawClient c(d.port());
        c.send_bytes(names_listing(c.pid()));
        expect_names_listing(c);
        const std::string log = read_file(d.workdir() + "/vorlen.log");
        EXPECT_TRUE(std::regex_search(
            log, std::regex("\n +0: This host is node 1 \\(a, links on 127\\.0\\.0\\.1:" +
                            std::to_string(link_port) + "\\) of 2 in " + netmap +
                            ", incarnation [0-9a-f]{16}, OpenSSL 3\\.")))
            << log;
    }
    EXPECT_EQ(system(("rm -rf '" + dir + "'").c_str()), 0);
}

TEST(Daemon, APortInUseEndsTheDaemonWithAnErrorNamingTheAddress) {
    Daemon d;
    Ran r = run_vorlen("-p " + std::to_string(d.port()));
    EXPECT_EQ(r.err, "vorlen: cannot listen on 127.0.0.1:" + std::to_string(d.port()) +
                         ": Address already in use\n");
    EXPECT_EQ(r.status, 1);
    r = run_vorlen("--listen 127.0.0.2 --listen 127.0.0.2");
    EXPECT_NE(r.err.find("vorlen: cannot listen on 127.0.0.2:"), std::string::npos) << r.err;
    EXPECT_EQ(r.status, 1);
}

TEST(Daemon, ByDefaultOnlyLoopbackReachesTheDaemon) {
    std::string outside = own_outside_address();
    if (outside.empty()) GTEST_SKIP() << "this host has no IPv4 address outside loopback";
    {
        Daemon d;
        EXPECT_EQ(connect_errno("127.0.0.1", d.port()), 0);
        EXPECT_EQ(connect_errno(outside, d.port()), ECONNREFUSED) << outside;
    }
    /* A client of this host that comes through that address is served once
     * the daemon listens there. */
    Daemon d({"--listen", "127.0.0.1", "--listen", outside, "-v", "3"});
    RawClient c(d.port(), inet_addr(outside.c_str()), htonl(INADDR_ANY));
    c.send_bytes(names_listing(c.pid()));
    expect_names_listing(c);
    EXPECT_NE(d.stdout_text().find("listening on 127.0.0.1:" + std::to_string(d.port()) + " " +
                                   outside + ":" + std::to_string(d.port()) + " and @vorlen." +
                                   std::to_string(d.port()) + ","),
              std::string::npos)
        << d.stdout_text();
}

TEST(Daemon, ListenChoosesTheAddressesAndEachIsServed) {
    Daemon d({"--listen", "127.0.0.1", "--listen", "127.0.0.2"});
    for (const char *addr : {"127.0.0.1", "127.0.0.2"}) {
        RawClient c(d.port(), inet_addr(addr), htonl(INADDR_ANY));
        c.send_bytes(names_listing(c.pid()));
        expect_names_listing(c);
    }
    EXPECT_EQ(connect_errno("127.0.0.3", d.port()), ECONNREFUSED);
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

TEST(Daemon, AtLevelZeroTheLogHoldsOnlyTheStartAndShutdownLines) {
    Daemon d;
    const std::string path = d.workdir() + "/vorlen.log";
    ASSERT_TRUE(wait_until([&] { return count(read_file(path), "\n") == 2; }));
    log_something(d.port());
    d.kill_and_wait(SIGTERM);
    std::string log = read_file(path);
    EXPECT_EQ(log.rfind("Starting vorlen ", 0), 0u) << log;
    EXPECT_EQ(count(log, "\n"), 3) << log;
    EXPECT_NE(log.find("Vorlen shutdown with signal 15"), std::string::npos);
}

TEST(Daemon, TheStartLinesAreWrittenAtStartWithTimeVersionPidAddressAndOptions) {
    time_t before = time(nullptr);
    Daemon d({"-d", "-v", "1"});
    const std::string path = d.workdir() + "/vorlen.log";
    /* No client has come: the run's start is in the file all the same. */
    ASSERT_TRUE(wait_until([&] { return count(read_file(path), "\n") == 2; }));
    std::istringstream in(read_file(path));
    std::string first, second;
    std::getline(in, first);
    std::getline(in, second);
    std::smatch m;
    ASSERT_TRUE(std::regex_match(first, m,
                                 std::regex("Starting vorlen \\w{3} \\w{3} [ 0-9]\\d "
                                            "(\\d\\d):(\\d\\d):(\\d\\d) \\d{4}")))
        << first;
    /* The wall-clock time is this moment's (give or take a day's wrap). */
    struct tm now;
    localtime_r(&before, &now);
    int said = std::stoi(m[1]) * 3600 + std::stoi(m[2]) * 60 + std::stoi(m[3]);
    int was = now.tm_hour * 3600 + now.tm_min * 60 + now.tm_sec;
    EXPECT_LE((said - was + 86400) % 86400, 60) << first;
    std::string port = std::to_string(d.port());
    EXPECT_TRUE(std::regex_match(
        second, std::regex("     0: vorlen \\d+\\.\\d+(\\.\\d+)*, pid " + std::to_string(d.pid()) +
                           ", listening on 127\\.0\\.0\\.1:" + port + " and @vorlen\\." + port +
                           ", options: -p " + port + " -d -v 1")))
        << second;
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

/* A log that cannot be opened at start ends the daemon with status 1 and a
 * message naming the path and why; what lies at the path is left as it is,
 * and a symbolic link there is not followed. With --log-stderr no file is
 * needed. */
TEST(Daemon, ALogThatCannotBeOpenedEndsTheDaemonWithStatusOne) {
    const std::string dir = make_tempdir();
    const std::string victim = dir + "/victim";
    {
        int fd = open(victim.c_str(), O_WRONLY | O_CREAT, 0600);
        ASSERT_EQ(write(fd, "secret\n", 7), 7);
        close(fd);
    }
    ASSERT_EQ(mkdir((dir + "/link").c_str(), 0755), 0);
    ASSERT_EQ(symlink(victim.c_str(), (dir + "/link/vorlen.log").c_str()), 0);
    ASSERT_EQ(mkdir((dir + "/dir").c_str(), 0755), 0);
    ASSERT_EQ(mkdir((dir + "/dir/vorlen.log").c_str(), 0755), 0);
    struct Case {
        std::string logdir, why;
    } cases[] = {
        {dir + "/missing", "No such file or directory"},
        {dir + "/link", "a symbolic link, which is not followed"},
        {dir + "/dir", "Is a directory"},
    };
    for (const Case &c : cases) {
        Ran r = run_vorlen("", "LOGDIR='" + c.logdir + "'");
        EXPECT_EQ(r.status, 1) << c.logdir;
        EXPECT_EQ(r.err,
                  "vorlen: cannot open the log " + c.logdir + "/vorlen.log: " + c.why + "\n");
    }
    EXPECT_EQ(read_file(victim), "secret\n");
    Daemon d({"--log-stderr"}, {"LOGDIR=" + dir + "/missing"});
    log_something(d.port());
    EXPECT_TRUE(d.alive());
    std::string rm = "rm -rf '" + dir + "'";
    EXPECT_EQ(system(rm.c_str()), 0);
}

TEST(Daemon, LogappendKeepsTheFileOpenAndWithoutItEachLineClosesIt) {
    /* Open for writing: the descriptor that holds the file's lock only reads. */
    auto log_is_open = [](Daemon &d) {
        std::string dir = "/proc/" + std::to_string(d.pid());
        for (int fd = 0; fd < 64; fd++) {
            char target[512];
            ssize_t n =
                readlink((dir + "/fd/" + std::to_string(fd)).c_str(), target, sizeof target - 1);
            if (n <= 0 || std::string(target, size_t(n)).find("vorlen.log") == std::string::npos)
                continue;
            std::string info = read_file(dir + "/fdinfo/" + std::to_string(fd));
            size_t at = info.find("flags:");
            if (at != std::string::npos &&
                (strtol(info.c_str() + at + 6, nullptr, 8) & O_ACCMODE) != O_RDONLY)
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

TEST(Daemon, SigusrOneMovesTheLogToANewFileAtTheSamePath) {
    for (bool append : {false, true}) {
        std::vector<std::string> env;
        if (append) env.push_back("LOGAPPEND=");
        Daemon d({"-v", "3"}, env);
        const std::string path = d.workdir() + "/vorlen.log";
        ASSERT_TRUE(wait_until([&] { return count(read_file(path), "\n") == 2; }));
        ASSERT_EQ(rename(path.c_str(), (path + ".1").c_str()), 0);
        kill(d.pid(), SIGUSR1);
        ASSERT_TRUE(wait_until([&] {
            return read_file(path).find("Log file reopened ") != std::string::npos;
        })) << "LOGAPPEND "
            << append;
        log_something(d.port());
        EXPECT_TRUE(d.alive());
        std::string now = read_file(path), old = read_file(path + ".1");
        EXPECT_NE(now.find("Removing pid"), std::string::npos) << now;
        EXPECT_EQ(old.find("Removing pid"), std::string::npos) << old;
        EXPECT_TRUE(std::regex_search(
            now, std::regex("^ {0,5}\\d{1,6}: Log file reopened \\w{3} \\w{3} [ 0-9]\\d "
                            "\\d\\d:\\d\\d:\\d\\d \\d{4}\n")))
            << now;
        /* The new file carries the lock: a second daemon is warned off it. */
        Daemon second({}, {"LOGDIR=" + d.workdir()});
        EXPECT_TRUE(wait_until(
            [&] { return second.stderr_text().find("is locked by") != std::string::npos; }));
    }
}

/* A symbolic link put at the log's path after a rotation is not followed
 * when the log is reopened: the file it names stays as it was, standard error
 * says the log cannot be written, and once a regular file can be had again
 * the log goes on there. */
TEST(Daemon, ALinkPlacedAfterRotationIsNotFollowed) {
    for (bool append : {false, true}) {
        std::vector<std::string> env;
        if (append) env.push_back("LOGAPPEND=");
        Daemon d({"-v", "3"}, env);
        const std::string path = d.workdir() + "/vorlen.log", victim = d.workdir() + "/victim";
        ASSERT_TRUE(wait_until([&] { return count(read_file(path), "\n") == 2; }));
        {
            int fd = open(victim.c_str(), O_WRONLY | O_CREAT, 0600);
            ASSERT_EQ(write(fd, "secret\n", 7), 7);
            close(fd);
        }
        ASSERT_EQ(rename(path.c_str(), (path + ".1").c_str()), 0);
        ASSERT_EQ(symlink(victim.c_str(), path.c_str()), 0);
        kill(d.pid(), SIGUSR1);
        /* Without LOGDIR the path is the working directory's. */
        const std::string said = "vorlen: cannot write the log vorlen.log: a symbolic link, which "
                                 "is not followed; lines are dropped\n";
        EXPECT_TRUE(wait_until([&] { return d.stderr_text().find(said) != std::string::npos; }))
            << d.stderr_text();
        log_something(d.port());
        EXPECT_EQ(read_file(victim), "secret\n") << "LOGAPPEND " << append;
        ASSERT_EQ(unlink(path.c_str()), 0);
        kill(d.pid(), SIGUSR1);
        EXPECT_TRUE(wait_until(
            [&] { return read_file(path).find("Log file reopened ") != std::string::npos; }));
        EXPECT_NE(d.stderr_text().find("vorlen: the log vorlen.log is written again; "),
                  std::string::npos)
            << d.stderr_text();
        EXPECT_EQ(read_file(victim), "secret\n");
    }
}

TEST(Daemon, TwoDaemonsOnOneLogFileAreWarnedAboutAndBothRun) {
    std::string dir = make_tempdir();
    Daemon first({}, {"LOGDIR=" + dir});
    const std::string path = dir + "/vorlen.log";
    ASSERT_TRUE(wait_until([&] { return count(read_file(path), "\n") == 2; }));
    Daemon second({}, {"LOGDIR=" + dir});
    const std::string warning = path + " is locked by another running vorlen; give each daemon "
                                       "its own LOGDIR";
    EXPECT_TRUE(wait_until([&] {
        return second.stderr_text() == "vorlen: warning: " + warning + "\n";
    })) << second.stderr_text();
    EXPECT_TRUE(wait_until([&] {
        return read_file(path).find(": Warning: " + warning + "\n") != std::string::npos;
    })) << read_file(path);
    EXPECT_EQ(first.stderr_text(), "");
    log_something(second.port());
    EXPECT_TRUE(first.alive());
    EXPECT_TRUE(second.alive());
}

TEST(Daemon, LogStderrMarksEveryLineWithItsSyslogLevelAndMakesNoFile) {
    Daemon d({"--log-stderr", "-d", "-v", "8"});
    {
        RawClient c(d.port());
        c.send_bytes(names_listing(0)); /* refused: an Err: line */
        expect_status(c, ESRCH);
    }
    log_something(d.port());
    d.kill_and_wait(SIGTERM);
    std::string err = d.stderr_text();
    std::istringstream in(err);
    std::string line;
    std::map<int, int> levels;
    while (std::getline(in, line)) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(line, m, std::regex("<([3467])>(.*)"))) << line;
        int level = std::stoi(m[1]);
        levels[level]++;
        std::string text = m[2];
        if (text.rfind("Starting vorlen ", 0) == 0) continue;
        EXPECT_TRUE(std::regex_match(text, std::regex(" {0,5}\\d{1,6}: .+"))) << line;
        std::string what = text.substr(8);
        int want = 0;
        if (what.rfind("Err:", 0) == 0)
            want = 3;
        else if (what.rfind("read(", 0) == 0 || what.rfind("write(", 0) == 0 ||
                 what.rfind("process_message ", 0) == 0)
            want = 7;
        else if (what.rfind("Removing pid", 0) == 0 || what.rfind("Vorlen shutdown", 0) == 0)
            want = 6;
        if (want) {
            EXPECT_EQ(level, want) << line;
        }
    }
    EXPECT_EQ(err.rfind("<6>Starting vorlen ", 0), 0u) << err;
    EXPECT_NE(err.find("<6>     0: vorlen "), std::string::npos) << err;
    EXPECT_NE(err.find(": Err: connection fd "), std::string::npos) << err;
    EXPECT_NE(err.find(": Vorlen shutdown with signal 15"), std::string::npos) << err;
    EXPECT_GT(levels[3], 0);
    EXPECT_GT(levels[7], 0);
    EXPECT_FALSE(exists(d.workdir() + "/vorlen.log"));
    EXPECT_EQ(d.stdout_text().find("Removing pid"), std::string::npos);
}

/* Started by systemd as Type=notify, the daemon says READY=1 on the socket
 * NOTIFY_SOCKET names (a path, or a name in the abstract namespace after '@')
 * once its port takes connections, its numbers in a STATUS= line when they
 * change (at most once a second), and STOPPING=1 when it ends. */
TEST(Daemon, UnderSystemdItReportsReadyOnceItListensAndStoppingAsItEnds) {
    const std::string dir = make_tempdir();
    for (const std::string &where :
         {dir + "/notify", "@vorlen-test-notify-" + std::to_string(getpid())}) {
        int s = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un a{};
        a.sun_family = AF_UNIX;
        memcpy(a.sun_path, where.data(), where.size());
        if (where[0] == '@') a.sun_path[0] = '\0';
        ASSERT_EQ(bind(s, reinterpret_cast<sockaddr *>(&a),
                       socklen_t(offsetof(sockaddr_un, sun_path) + where.size())),
                  0)
            << where << ": " << strerror(errno);
        char buf[256];
        ssize_t n = -1;
        int port = 0;
        pid_t pid = -1;
        int st = 0;
        /* Another program may take the free port first: that daemon ends
         * with status 1 without a word, and the next port is tried. */
        for (int attempt = 0; attempt < 10 && n < 0; attempt++) {
            port = free_port();
            pid = fork();
            if (pid == 0) {
                int null = open("/dev/null", O_WRONLY);
                if (chdir(dir.c_str()) != 0 || null < 0) _exit(127);
                dup2(null, 1);
                dup2(null, 2);
                setenv("NOTIFY_SOCKET", where.c_str(), 1);
                std::string p = std::to_string(port);
                execl(bin_path("vorlen").c_str(), "vorlen", "-p", p.c_str(), "--log-stderr",
                      static_cast<char *>(nullptr));
                _exit(127);
            }
            bool ended = false;
            wait_until(
                [&] {
                    pollfd p{s, POLLIN, 0};
                    if (poll(&p, 1, 0) == 1) return true;
                    return ended = waitpid(pid, &st, WNOHANG) == pid;
                },
                10000);
            if (ended) continue;
            n = recv(s, buf, sizeof buf, MSG_DONTWAIT);
            /* The port must take connections by the time the word comes. */
            if (n > 0) {
                EXPECT_EQ(connect_errno("127.0.0.1", port), 0) << where;
            }
            break;
        }
        if (n <= 0 && pid > 0 && waitpid(pid, &st, WNOHANG) == 0) {
            kill(pid, SIGKILL);
            waitpid(pid, &st, 0);
        }
        ASSERT_GT(n, 0) << where << ": no notification";
        EXPECT_EQ(std::string(buf, size_t(n)), "READY=1") << where;
        std::vector<std::string> said;
        auto take = [&] {
            while ((n = recv(s, buf, sizeof buf, MSG_DONTWAIT)) > 0) said.emplace_back(buf, n);
        };
        /* Many changes in a short time: one line a second at most, and the
         * last numbers are told once they settle. */
        time_t from = time(nullptr);
        for (int i = 0; i < 20; i++) log_something(port);
        time_t to = time(nullptr);
        RawClient stays(port);
        stays.send_bytes(names_listing(stays.pid()));
        expect_names_listing(stays);
        const std::string settled = "STATUS=1 connections, 1 processes, ";
        EXPECT_TRUE(wait_until([&] {
            take();
            return !said.empty() && said.back().rfind(settled, 0) == 0;
        })) << where
            << ": " << (said.empty() ? "nothing" : said.back());
        if (said.empty()) {
            ADD_FAILURE() << where << ": no STATUS= line";
            said.push_back("");
        }
        size_t statuses = 0;
        for (const std::string &w : said) statuses += w.rfind("STATUS=", 0) == 0;
        EXPECT_LE(statuses, size_t(to - from) + 4) << where;
        EXPECT_TRUE(std::regex_match(said.back(),
                                     std::regex("STATUS=1 connections, 1 processes, \\d+ bytes of "
                                                "messages, 0 queued, 0 refused")))
            << said.back();
        stays.close();
        kill(pid, SIGTERM);
        ASSERT_EQ(waitpid(pid, &st, 0), pid);
        EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0) << st;
        said.clear();
        take();
        EXPECT_EQ(said.empty() ? "" : said.back(), "STOPPING=1") << where;
        close(s);
    }
    std::string rm = "rm -rf '" + dir + "'";
    if (system(rm.c_str()) != 0) { /* leaving a temporary directory is harmless */
    }
}

/* A NOTIFY_SOCKET that nobody reads (any user may bind an abstract name
 * first) never holds the daemon: the datagram is dropped and said in the log,
 * and the daemon serves and ends on SIGTERM as ever. */
TEST(Daemon, ANotifySocketNobodyReadsDoesNotHoldTheDaemon) {
    const std::string where = "@vorlen-test-full-" + std::to_string(getpid());
    int s = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    memcpy(a.sun_path, where.data(), where.size());
    a.sun_path[0] = '\0';
    const socklen_t alen = socklen_t(offsetof(sockaddr_un, sun_path) + where.size());
    ASSERT_EQ(bind(s, reinterpret_cast<sockaddr *>(&a), alen), 0) << strerror(errno);
    int filler = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    int sent = 0;
    while (sendto(filler, "x", 1, MSG_DONTWAIT, reinterpret_cast<sockaddr *>(&a), alen) == 1)
        sent++;
    ASSERT_EQ(errno, EAGAIN);
    ASSERT_GT(sent, 0);
    {
        Daemon d({"-v", "0"}, {"NOTIFY_SOCKET=" + where});
        {
            RawClient c(d.port());
            c.send_bytes(names_listing(c.pid()));
            expect_names_listing(c);
        }
        EXPECT_TRUE(wait_until([&] {
            return read_file(d.workdir() + "/vorlen.log")
                       .find("Warning: READY=1 not sent to " + where) != std::string::npos;
        })) << read_file(d.workdir() + "/vorlen.log");
        /* A daemon stuck in the send would never read the signal: a bound
         * keeps the test from waiting for it for good. */
        ::kill(d.pid(), SIGTERM);
        EXPECT_TRUE(wait_until([&] { return !d.alive(); })) << "SIGTERM did not end it";
    }
    close(filler);
    close(s);
}

/* A process whose connection outlives it (a forked child keeps the socket)
 * loses its record, names and all, as soon as it exits: its pid may be
 * reused, and the new process must not inherit the record. Its partners are
 * released with ESRCH, and the connection is closed. */
TEST(Daemon, ARecordGoesWhenItsProcessExitsThoughItsConnectionStaysOpen) {
    Daemon d({"-v", "3"});
    RawClient dying(d.port());
    QNX_MSG_NAME_ATTACH na{};
    memcpy(na.name, "outlived", 8);
    dying.send_bytes(req(MT_NAME_ATTACH, dying.pid(), na));
    QNX_MSG_HDR h = dying.recv_hdr();
    ASSERT_EQ(h.ev.retcode, 0);
    dying.recv_exact(h.msg_len);
    const pid_t dp = dying.pid();
    RawClient sender(d.port());
    sender.send_bytes(send_req(MT_SEND, sender.pid(), dp, {"x"}));
    ASSERT_TRUE(wait_state(d.port(), sender.pid(), STATE_SEND_BLOCKED));

    dying.end_process(); /* the test process still holds the socket */
    EXPECT_TRUE(wait_until([&] { return list_names(d.port()).empty(); }));
    EXPECT_EQ(process_record(d.port(), dp).pid, 0);
    h = sender.recv_hdr();
    EXPECT_EQ(h.ev.retcode, ESRCH);
    EXPECT_EQ(h.from_pid, dp);
    EXPECT_TRUE(dying.closed_by_peer());
    EXPECT_NE(removal_reason_line(read_file(d.workdir() + "/vorlen.log"), dp).find("process exit"),
              std::string::npos);
}

namespace {

/* log_size is the size of the daemon's log file. */
size_t log_size(const Daemon &d) {
    return read_file(d.workdir() + "/vorlen.log").size();
}

} // namespace

/* A console nobody reads never holds the daemon up: lines it cannot take are
 * dropped, and every request is still answered. */
TEST(Daemon, AConsoleNobodyReadsDoesNotStopTheDaemon) {
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    Daemon d({"-v", "8"}, {}, "", -1, p[1]);
    ::close(p[1]);
    RawClient c(d.port());
    std::vector<uint8_t> many;
    for (int i = 0; i < 3000; i++) {
        auto h = hdr(65535, c.pid(), 0);
        many.insert(many.end(), h.begin(), h.end());
    }
    c.send_bytes(many);
    for (int i = 0; i < 3000; i++) ASSERT_EQ(c.recv_hdr().ev.retcode, ESRCH);
    EXPECT_TRUE(listing_answered(c));
    ::close(p[0]);
}

/* A console whose reader is gone is given up without a word per line: the
 * log does not grow by itself, and no client is swept for it. */
TEST(Daemon, AConsoleWhoseReaderIsGoneIsGivenUp) {
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    ::close(p[0]);
    Daemon d({"-v", "2"}, {}, "", -1, p[1]);
    ::close(p[1]);
    RawClient c(d.port());
    for (int i = 0; i < 5; i++) {
        c.send_bytes(hdr(65535, c.pid(), 0));
        expect_status(c, ESRCH);
    }
    EXPECT_TRUE(listing_answered(c));
    const size_t settled = log_size(d);
    /* A further request is still answered, and the log stays as it was. */
    EXPECT_TRUE(listing_answered(c));
    EXPECT_TRUE(listing_answered(c));
    EXPECT_LT(log_size(d), settled + 200);
    EXPECT_EQ(read_file(d.workdir() + "/vorlen.log").find("got signal 13"), std::string::npos);
}

/* One peer's error lines are limited per second; the rest are counted in
 * one line. */
TEST(Daemon, OnePeersErrorLinesAreRateLimited) {
    Daemon d({"-v", "2"});
    RawClient c(d.port());
    std::vector<uint8_t> many;
    for (int i = 0; i < 500; i++) {
        auto h = hdr(65535, c.pid(), 0);
        many.insert(many.end(), h.begin(), h.end());
    }
    c.send_bytes(many);
    for (int i = 0; i < 500; i++) ASSERT_EQ(c.recv_hdr().ev.retcode, ESRCH);
    auto count = [&] {
        std::string log = read_file(d.workdir() + "/vorlen.log");
        size_t n = 0;
        for (size_t at = 0; (at = log.find("undefined message", at)) != std::string::npos; at++)
            n++;
        return n;
    };
    EXPECT_LE(count(), 100u);
    /* The health view counts what was left out. */
    EXPECT_GE(daemon_status(d.port()).log_rate_limited, 500u - count());
    /* The count follows with the peer's next error line in a later second. */
    EXPECT_TRUE(wait_until([&] {
        c.send_bytes(hdr(65535, c.pid(), 0));
        expect_status(c, ESRCH);
        return read_file(d.workdir() + "/vorlen.log").find("lines of one peer suppressed") !=
               std::string::npos;
    }));
}
