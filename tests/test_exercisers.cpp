/* test_exercisers.cpp - the exerciser programs run against a private daemon */
#include <algorithm>
#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <regex>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "vorlen_test.h"

namespace {

/* Exerciser is one exerciser program started in a process group of its own.
 * Its whole process tree writes standard output to one file and console lines
 * to another. The test is a child subreaper, so the tree's orphans become its
 * children: it reaps them and can tell when every process of the tree is gone. */
class Exerciser {
  public:
    Exerciser(const std::string &program, const std::vector<std::string> &args)
        : dir_(vt::make_tempdir()) {
        prctl(PR_SET_CHILD_SUBREAPER, 1);
        std::vector<std::string> argv = {vt::bin_path(program)};
        argv.insert(argv.end(), args.begin(), args.end());
        if (access(argv[0].c_str(), X_OK) != 0) ADD_FAILURE() << argv[0] << " is not built";
        fflush(nullptr);
        pid_ = fork();
        if (pid_ == 0) {
            setpgid(0, 0);
            int out = open(out_path().c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
            int err = open((dir_ + "/stderr.txt").c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
            if (out < 0 || err < 0) _exit(127);
            dup2(out, 1);
            dup2(err, 2);
            setenv("VORLEN_CONSOLE", console_path().c_str(), 1);
            std::vector<char *> av;
            for (auto &a : argv) av.push_back(a.data());
            av.push_back(nullptr);
            execv(av[0], av.data());
            _exit(127);
        }
        if (pid_ < 0) {
            ADD_FAILURE() << "fork failed";
            return;
        }
        setpgid(pid_, pid_); /* whichever side runs first makes the group */
    }
    ~Exerciser() {
        kill_all();
        if (pid_ > 0 && !vt::wait_until([&] { return gone(); }, 10000))
            ADD_FAILURE() << "processes of " << pid_ << " survived SIGKILL";
        std::string cmd = "rm -rf '" + dir_ + "'";
        if (system(cmd.c_str()) != 0) { /* a leftover temporary directory is harmless */
        }
    }
    Exerciser(const Exerciser &) = delete;
    Exerciser &operator=(const Exerciser &) = delete;

    pid_t pid() const { return pid_; }
    std::string out() const { return vt::read_file(out_path()); }
    std::string console() const { return vt::read_file(console_path()); }
    /* Waits for the first process to end; its waitpid status, or -1. */
    int first_status(int timeout_ms) {
        if (!vt::wait_until([&] { return reap(), status_.count(pid_) > 0; }, timeout_ms)) return -1;
        return status_[pid_];
    }
    /* True when no process of the tree is left (ended ones are reaped first). */
    bool gone() {
        reap();
        return pid_ <= 0 || (kill(-pid_, 0) == -1 && errno == ESRCH);
    }
    void kill_all() {
        if (pid_ > 0) kill(-pid_, SIGKILL); /* never -1 or 0: that would reach other processes */
    }
    /* waitpid statuses of the processes of the tree that the test reaped. */
    const std::map<pid_t, int> &statuses() const { return status_; }

  private:
    std::string out_path() const { return dir_ + "/stdout.txt"; }
    std::string console_path() const { return dir_ + "/console.txt"; }
    void reap() {
        int st;
        pid_t p;
        while (pid_ > 0 && (p = waitpid(-pid_, &st, WNOHANG)) > 0) status_[p] = st;
    }

    std::string dir_;
    pid_t pid_ = -1;
    std::map<pid_t, int> status_;
};

/* Occurrences of needle in text; one that starts with a digit counts only
 * where no digit precedes it, so "12: x" is not found inside "312: x". */
int count(const std::string &text, const std::string &needle) {
    int n = 0;
    bool digit = !needle.empty() && isdigit(static_cast<unsigned char>(needle[0]));
    for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1))
        if (!digit || at == 0 || !isdigit(static_cast<unsigned char>(text[at - 1]))) n++;
    return n;
}
bool has(const std::string &text, const std::string &needle) {
    return count(text, needle) > 0;
}

/* Waits until the daemon lists nothing: no process, name, proxy or timer. */
void expect_daemon_empty(const vt::Daemon &d) {
    size_t procs = 0, names = 0, proxies = 0, timers = 0;
    bool empty = vt::wait_until(
        [&] {
            procs = vt::list_processes(d.port()).size();
            names = vt::list_names(d.port()).size();
            proxies = vt::list_proxies(d.port()).size();
            timers = vt::list_timers(d.port()).size();
            return procs + names + proxies + timers == 0;
        },
        10000);
    EXPECT_TRUE(empty) << procs << " processes, " << names << " names, " << proxies << " proxies, "
                       << timers << " timers left";
}

/* What one generation exerciser is expected to show. */
struct Generations {
    const char *program;
    int proxies;                /* proxies each server attaches */
    bool timer;                 /* each server runs a timer on its second proxy */
    bool proxy_line_on_console; /* "received proxy" goes to the console */
    const char *exit_line;      /* the first server's closing line, after "<pid>: " */
    int received; /* messages the first server prints: all steps not triggers, and "End" */
};

/* run_generations runs the exerciser until its second generation has started
 * and a server holds what it attaches, checks the first generation's lines,
 * kills the whole tree and checks that the daemon forgets it. */
void run_generations(const Generations &g) {
    vt::Daemon d;
    Exerciser r(g.program, {});
    ASSERT_TRUE(vt::wait_until(
        [&] {
            auto c = r.console();
            return has(c, ": Starting server 1\n") && has(c, ": exiting, name id");
        },
        20000))
        << r.console();

    /* The first generation: one server, one client, all steps done. */
    std::string con = r.console(), out = r.out();
    std::smatch m;
    ASSERT_TRUE(std::regex_search(con, m, std::regex(R"((?:^|\n)(\d+): Starting server 0\n)")));
    const std::string srv = m[1];
    ASSERT_TRUE(std::regex_search(
        con, m, std::regex(R"((?:^|\n)(\d+): found name: qnxtest0, pid: )" + srv + "\n")))
        << con;
    const std::string cli = m[1];
    EXPECT_TRUE(has(con, srv + ": Attached name: qnxtest0, id: 1\n")) << con;
    EXPECT_EQ(has(con, srv + ": Attached Proxy id: -2\n"), g.proxies > 0) << con;
    EXPECT_EQ(has(con, srv + ": Attached Timer-Proxy id: -3\n"), g.timer) << con;
    EXPECT_EQ(has(con, srv + ": Attached Timer id: 1\n"), g.timer) << con;
    EXPECT_TRUE(has(con, srv + ": " + g.exit_line + "\n")) << con;
    const std::string rcv = "\r(" + srv + ")Received from " + cli + ": \"";
    EXPECT_EQ(count(out, rcv), g.received);
    EXPECT_TRUE(has(out, rcv + "cnt: 199\"") && has(out, rcv + "End\""));
    /* Step 20 is a trigger once the proxy is known. */
    EXPECT_EQ(has(out, rcv + "cnt: 20\""), g.proxies == 0);
    EXPECT_EQ(count(g.proxy_line_on_console ? con : out, srv + ": received proxy\n"),
              g.proxies > 0 ? 9 : 0);
    EXPECT_FALSE(has(con + out, "unable to") || has(out, "Error during receive")) << con << out;

    /* A later server of the first spawner takes the first generation's
     * number and that spawner's pid into its name. */
    const std::string first = std::to_string(r.pid());
    EXPECT_TRUE(vt::wait_until(
        [&] { return has(r.console(), ": Attached name: qnxtest0." + first + "_0, id: "); }, 10000))
        << r.console();

    /* Catch a server while it holds its name and everything else it attaches. */
    ASSERT_TRUE(vt::wait_until(
        [&] {
            auto proxies = vt::list_proxies(d.port());
            auto timers = vt::list_timers(d.port());
            for (auto &n : vt::list_names(d.port())) {
                auto own = [&](auto &rec) { return rec.pid == n.pid; };
                if (std::count_if(proxies.begin(), proxies.end(), own) != g.proxies) continue;
                auto t = std::find_if(timers.begin(), timers.end(), own);
                if ((t != timers.end()) != g.timer) continue;
                if (t != timers.end() &&
                    (t->notify_type != NOTIFY_PROXY || t->repeat.tv_sec != 2 ||
                     t->repeat.tv_nsec != 500000000 ||
                     std::none_of(proxies.begin(), proxies.end(),
                                  [&](auto &p) { return p.pid == n.pid && p.nr == t->evt_value; })))
                    continue;
                return true;
            }
            return false;
        },
        15000));

    /* Killed with all its children, the tree leaves nothing in the daemon. */
    r.kill_all();
    ASSERT_TRUE(vt::wait_until([&] { return r.gone(); }, 10000));
    EXPECT_TRUE(d.alive());
    expect_daemon_empty(d);
}

TEST(DrillGenerations, Drillfull) {
    run_generations(
        {"drillfull", 2, true, false, "exiting, name id 1 , proxys -2, -3, timer 1 detached", 192});
}

TEST(DrillGenerations, Drillproxy) {
    run_generations(
        {"drillproxy", 1, false, true, "exiting, name id 1 , proxy id -2 detached", 192});
}

TEST(DrillGenerations, Drillmsg) {
    run_generations({"drillmsg", 0, false, false, "exiting, name id 1 detached", 201});
}

/* What a drillpair run printed when it is over. */
struct PairResult {
    std::string out;
    std::string server;
    int messages = -1, proxies = -1, tproxies = -1, sec = -1;
    struct Client {
        int messages, proxies;
    };
    std::vector<Client> clients;
};

/* run_pair runs drillpair with args to its end and checks the lines that do
 * not depend on the counts. */
PairResult run_pair(const vt::Daemon &d, const std::vector<std::string> &args) {
    PairResult res;
    Exerciser r("drillpair", args);
    EXPECT_EQ(r.first_status(10000), 0); /* it forks and ends at once */
    EXPECT_TRUE(vt::wait_until([&] { return has(r.out(), "): name id "); }, 30000)) << r.out();
    EXPECT_TRUE(vt::wait_until([&] { return r.gone(); }, 10000)) << r.out();
    for (auto &[pid, st] : r.statuses())
        EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0) << pid << ": status " << st;

    res.out = r.out();
    std::smatch m;
    if (!std::regex_search(res.out, m,
                           std::regex(R"(server\((\d+)\): exiting (\d+) messages, (\d+) proxies, )"
                                      R"((\d+) timer-proxies, (\d+) sec\n)"))) {
        ADD_FAILURE() << res.out;
        return res;
    }
    res.server = m[1];
    res.messages = std::stoi(m[2]);
    res.proxies = std::stoi(m[3]);
    res.tproxies = std::stoi(m[4]);
    res.sec = std::stoi(m[5]);
    /* The timer proxy comes every 2.5 s. */
    EXPECT_LE(res.tproxies * 5, 2 * (res.sec + 1));

    const std::string name = "qnxtest" + std::to_string(r.pid());
    EXPECT_TRUE(has(res.out, res.server + ": Starting server 0\n"));
    EXPECT_TRUE(has(res.out, res.server + ": Attached name: " + name + ", id: 1\n"));
    EXPECT_TRUE(
        has(res.out, "server(" + res.server + "): name id 1 , proxys -2, -3, timer 1 detached\n"));
    std::regex client(R"(client\((\d+)\): exiting send (\d+) messages, (\d+) proxies, \d+ sec\n)");
    for (std::sregex_iterator it(res.out.begin(), res.out.end(), client), end; it != end; ++it) {
        const std::string pid = (*it)[1];
        EXPECT_TRUE(has(res.out, pid + ": found name: " + name + ", pid: " + res.server + "\n"));
        res.clients.push_back({std::stoi((*it)[2]), std::stoi((*it)[3])});
    }
    expect_daemon_empty(d);
    return res;
}

TEST(Drillpair, DefaultRun) {
    vt::Daemon d;
    PairResult res = run_pair(d, {});
    EXPECT_EQ(res.messages, 477); /* "End" included */
    EXPECT_EQ(res.proxies, 24);
    ASSERT_EQ(res.clients.size(), 1u) << res.out;
    EXPECT_EQ(res.clients[0].messages, 476);
    EXPECT_EQ(res.clients[0].proxies, 24);
}

TEST(Drillpair, ThreeClientsTenSteps) {
    vt::Daemon d;
    PairResult res = run_pair(d, {"-c", "3", "-l", "10"});
    EXPECT_EQ(res.messages, 33);
    EXPECT_EQ(res.proxies, 0);
    ASSERT_EQ(res.clients.size(), 3u) << res.out;
    for (auto &c : res.clients) {
        EXPECT_EQ(c.messages, 10);
        EXPECT_EQ(c.proxies, 0);
    }
}

TEST(Drillpair, UnknownOptionForksNothing) {
    vt::Daemon d;
    Exerciser r("drillpair", {"-x"});
    EXPECT_EQ(r.first_status(10000), 0);
    EXPECT_EQ(r.out(), "unknown option");
    EXPECT_TRUE(r.gone());
    EXPECT_EQ(r.statuses().size(), 1u);
    EXPECT_TRUE(vt::list_processes(d.port()).empty());
}

/* -h explains the program and starts no load: it ends at once with 0, forks
 * nothing and never reaches the daemon. So does a generation exerciser given
 * anything else, with status 2. */
class DrillHelp : public testing::TestWithParam<const char *> {};

TEST_P(DrillHelp, PrintsWhatItDoesAndStartsNothing) {
    const std::string prog = GetParam();
    vt::Daemon d;
    {
        Exerciser r(prog, {"-h"});
        EXPECT_EQ(r.first_status(10000), 0);
        EXPECT_TRUE(r.gone());
        EXPECT_EQ(r.statuses().size(), 1u) << "it forked";
        const std::string out = r.out();
        EXPECT_EQ(out.rfind(prog + " - loads a running vorlen daemon", 0), 0u) << out;
        EXPECT_TRUE(has(out, "\nusage: " + prog + " ") && has(out, "  -h ") &&
                    has(out, "VORLEN_PORT"))
            << out;
    }
    if (prog != "drillpair") { /* drillpair's own answer is tested above */
        Exerciser r(prog, {"load"});
        EXPECT_EQ(r.first_status(10000), 2 << 8);
        EXPECT_TRUE(r.gone());
        EXPECT_EQ(r.statuses().size(), 1u) << "it forked";
        EXPECT_EQ(r.out(), "");
    }
    EXPECT_TRUE(vt::list_processes(d.port()).empty());
    EXPECT_TRUE(vt::list_names(d.port()).empty());
}

INSTANTIATE_TEST_SUITE_P(Programs, DrillHelp,
                         testing::Values("drillfull", "drillproxy", "drillmsg", "drillpair"));

} // namespace
