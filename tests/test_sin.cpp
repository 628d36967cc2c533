/* test_sin.cpp - the sin tool against a daemon holding known processes, names, proxies and timers
 */
#include "vorlen_test.h"

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <sys/resource.h>
#include <unistd.h>

#include <gtest/gtest.h>

namespace {

struct SinRun {
    int status = -1;
    pid_t pid = -1;
    std::string out, err;
};

/* run_sin runs the built sin with args; env entries "NAME=value" are set and
 * "NAME" alone is removed in sin's environment only. */
SinRun run_sin(const std::vector<std::string> &args, const std::vector<std::string> &env = {}) {
    std::string dir = vt::make_tempdir();
    SinRun r;
    fflush(nullptr);
    r.pid = fork();
    if (r.pid == 0) {
        int out = open((dir + "/out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int err = open((dir + "/err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(out, 1);
        dup2(err, 2);
        for (const auto &e : env) {
            auto eq = e.find('=');
            if (eq == std::string::npos)
                unsetenv(e.c_str());
            else
                setenv(e.substr(0, eq).c_str(), e.substr(eq + 1).c_str(), 1);
        }
        std::string bin = vt::bin_path("sin");
        std::vector<char *> av{const_cast<char *>(bin.c_str())};
        for (const auto &a : args) av.push_back(const_cast<char *>(a.c_str()));
        av.push_back(nullptr);
        execv(av[0], av.data());
        _exit(127);
    }
    r.status = vt::wait_exit(r.pid);
    r.out = vt::read_file(dir + "/out");
    r.err = vt::read_file(dir + "/err");
    std::string cmd = "rm -rf '" + dir + "'";
    EXPECT_EQ(system(cmd.c_str()), 0);
    return r;
}

std::vector<std::string> lines(const std::string &text) {
    std::vector<std::string> v;
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);) v.push_back(l);
    return v;
}

std::vector<std::string> words(const std::string &line) {
    std::vector<std::string> v;
    std::istringstream in(line);
    for (std::string w; in >> w;) v.push_back(w);
    return v;
}

/* The table row whose column col is key, as words; empty when absent. */
std::vector<std::string> row(const std::string &table, const std::string &key, size_t col = 0) {
    for (const auto &l : lines(table)) {
        auto w = words(l);
        if (w.size() > col && w[col] == key) return w;
    }
    return {};
}

/* Columns are aligned: every line is as long as the header (the last column
 * is right-aligned), and a left-aligned column starts at its title. */
void expect_aligned(const std::string &table, const std::string &left_title, size_t left_index) {
    auto ls = lines(table);
    ASSERT_FALSE(ls.empty());
    size_t at = ls[0].find(left_title);
    ASSERT_NE(at, std::string::npos) << ls[0];
    for (size_t i = 1; i < ls.size(); i++) {
        EXPECT_EQ(ls[i].size(), ls[0].size()) << ls[i];
        auto w = words(ls[i]);
        ASSERT_GT(w.size(), left_index);
        EXPECT_EQ(ls[i].find(" " + w[left_index] + " ") + 1, at) << ls[i];
    }
}

/* A JSON value, parsed just far enough to check what sin prints. */
struct Json {
    enum Type { Null, Number, String, Array, Object } type = Null;
    double num = 0;
    std::string str;
    std::vector<Json> arr;
    std::map<std::string, Json> obj;
    const Json &operator[](const std::string &k) const {
        static const Json none;
        auto it = obj.find(k);
        return it == obj.end() ? none : it->second;
    }
};

/* JsonParser reads sin's compact JSON: no blanks, no true or false. */
class JsonParser {
  public:
    explicit JsonParser(const std::string &s) : s_(s) {}
    /* parse returns false unless the whole text is one JSON value. */
    bool parse(Json &v) { return value(v) && (lit("\n"), i_ == s_.size()); }

  private:
    const std::string &s_;
    size_t i_ = 0;
    bool lit(const char *w) {
        if (s_.compare(i_, strlen(w), w) != 0) return false;
        i_ += strlen(w);
        return true;
    }
    bool string(std::string &out) {
        if (!lit("\"")) return false;
        while (i_ < s_.size() && s_[i_] != '"') {
            char c = s_[i_++];
            if (static_cast<unsigned char>(c) < 0x20) return false;
            if (c != '\\') {
                out += c;
            } else if (lit("u") && i_ + 4 <= s_.size()) {
                unsigned cp = std::stoul(s_.substr(i_, 4), nullptr, 16);
                i_ += 4;
                if (cp >= 0x80 && cp != 0xfffd) return false; /* sin escapes no other */
                out += cp < 0x80 ? std::string(1, char(cp)) : "\xef\xbf\xbd";
            } else if (i_ < s_.size() && s_[i_] && strchr("\"\\", s_[i_])) {
                out += s_[i_++];
            } else {
                return false;
            }
        }
        return lit("\"");
    }
    template <typename F> bool list(char close, F item) {
        if (lit(std::string(1, close).c_str())) return true;
        do
            if (!item()) return false;
        while (lit(","));
        return lit(std::string(1, close).c_str());
    }
    bool value(Json &v) {
        if (lit("{")) {
            v.type = Json::Object;
            return list('}', [&] {
                std::string k;
                return string(k) && lit(":") && value(v.obj[k]);
            });
        }
        if (lit("[")) {
            v.type = Json::Array;
            return list(']', [&] { return value(v.arr.emplace_back()); });
        }
        if (i_ < s_.size() && s_[i_] == '"') {
            v.type = Json::String;
            return string(v.str);
        }
        if (lit("null")) return true;
        size_t used = 0;
        if (i_ >= s_.size() || !strchr("-0123456789", s_[i_])) return false;
        v.num = std::stod(s_.substr(i_), &used);
        v.type = Json::Number;
        i_ += used;
        return true;
    }
};

Json parse_json(const std::string &text) {
    Json v;
    EXPECT_TRUE(JsonParser(text).parse(v)) << text;
    return v;
}

/* The element of array a whose field key has the number n. */
const Json &find(const Json &a, const char *key, double n) {
    static const Json none;
    for (const auto &e : a.arr)
        if (e[key].type == Json::Number && e[key].num == n) return e;
    return none;
}

/* A forked helper process that is killed when the test ends, and also when
 * the test process dies first, so that none is left blocked for good. */
struct Child {
    pid_t pid;
    explicit Child(const std::function<int()> &fn)
        : pid(vt::spawn([fn, parent = getpid()] {
              prctl(PR_SET_PDEATHSIG, SIGKILL);
              return getppid() == parent ? fn() : 1;
          })) {}
    ~Child() {
        if (pid <= 0) return; /* kill(-1) would reach every process we may signal */
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
};

/* The program name the daemon records for this test binary and its children. */
std::string own_pname() {
    std::string cmd = vt::read_file("/proc/self/cmdline");
    return cmd.substr(0, std::min(cmd.find('\0'), size_t(80)));
}

const char SERVER_NAME[] = "sin\"srv\\1"; /* a quote and a backslash for the JSON */

} // namespace

TEST(Sin, ProcessesAndNames) {
    vt::Daemon d;
    Child server([] {
        if (qnx_name_attach(0, SERVER_NAME) < 0) return 1;
        char buf[32];
        pid_t from = Receive(0, buf, sizeof buf);
        if (from <= 0 || Reply(from, "ok!", 3) != 0) return 2;
        Receive(0, buf, sizeof buf); /* the second message stays unreplied */
        Receive(0, buf, sizeof buf); /* and here it waits for good */
        return 3;
    });
    pid_t srv = server.pid;
    Child client([srv] {
        char r[16];
        if (Send(srv, "hello", r, 5, sizeof r) != 0) return 1;
        Send(srv, "second!", r, 7, sizeof r);
        return 2;
    });
    Child sink([] {
        if (qnx_name_attach(0, "sin_sink") < 0) return 1;
        for (;;) pause();
    });
    ASSERT_TRUE(vt::wait_state(d.port(), client.pid, STATE_REPLY_BLOCKED));
    ASSERT_TRUE(vt::wait_state(d.port(), srv, STATE_RECEIVE_BLOCKED));
    ASSERT_TRUE(vt::wait_until([&] { return vt::list_names(d.port()).size() == 2; }));
    pid_t snk = sink.pid;
    Child sender([snk] {
        char r[4];
        Send(snk, "abc", r, 3, sizeof r);
        return 1;
    });
    ASSERT_TRUE(vt::wait_state(d.port(), sender.pid, STATE_SEND_BLOCKED));

    SinRun s = run_sin({});
    ASSERT_EQ(s.status, 0) << s.err;
    EXPECT_EQ(words(lines(s.out)[0]), (std::vector<std::string>{"PID", "NAME", "STATE", "BLOCKED",
                                                                "PRIO", "SENT", "RCVD", "RPLY"}));
    /* Counted from the end, since a program name may hold blanks. */
    auto tail = [](std::vector<std::string> w) {
        return w.size() < 7 ? w : std::vector<std::string>(w.end() - 6, w.end());
    };
    using W = std::vector<std::string>;
    /* The children send at the suite's own priority. */
    const std::string prio = std::to_string(VORLEN_PRIO_OF_NICE(getpriority(PRIO_PROCESS, 0)));
    EXPECT_EQ(tail(row(s.out, std::to_string(srv))),
              (W{"RECEIVE", "-", "-", "0/0", "2/12", "1/3"}));
    EXPECT_EQ(tail(row(s.out, std::to_string(client.pid))),
              (W{"REPLY", std::to_string(srv), prio, "2/12", "1/3", "0/0"}));
    EXPECT_EQ(tail(row(s.out, std::to_string(snk))), (W{"READY", "-", "-", "0/0", "0/0", "0/0"}));
    EXPECT_EQ(tail(row(s.out, std::to_string(sender.pid))),
              (W{"SEND", std::to_string(snk), prio, "1/3", "0/0", "0/0"}));
    EXPECT_TRUE(row(s.out, std::to_string(s.pid)).empty()) << "sin lists itself:\n" << s.out;
    expect_aligned(s.out, "STATE", 2);

    s = run_sin({"--json"});
    ASSERT_EQ(s.status, 0) << s.err;
    Json j = parse_json(s.out);
    const Json &procs = j["processes"];
    ASSERT_EQ(procs.type, Json::Array) << s.out;
    const Json &c = find(procs, "pid", client.pid);
    EXPECT_EQ(c["state"].str, "REPLY");
    EXPECT_EQ(c["block_state"].num, STATE_REPLY_BLOCKED);
    EXPECT_EQ(c["blocked_on"].num, srv);
    EXPECT_EQ(c["sent_msgs"].num, 2);
    EXPECT_EQ(c["sent_bytes"].num, 12);
    EXPECT_EQ(c["rcvd_msgs"].num, 1);
    EXPECT_EQ(c["rcvd_bytes"].num, 3);
    EXPECT_EQ(c["program"].str, own_pname());
    const Json &sv = find(procs, "pid", srv);
    EXPECT_EQ(sv["state"].str, "RECEIVE");
    EXPECT_EQ(sv["blocked_on"].num, 0);
    EXPECT_EQ(sv["rply_msgs"].num, 1);
    EXPECT_EQ(sv["rply_bytes"].num, 3);
    EXPECT_EQ(find(procs, "pid", s.pid).type, Json::Null) << "sin lists itself";

    s = run_sin({"names"});
    ASSERT_EQ(s.status, 0) << s.err;
    EXPECT_EQ(words(lines(s.out)[0]), (std::vector<std::string>{"ID", "OWNER", "NAME", "PROGRAM"}));
    /* The two names were attached concurrently, so either may have id 1. */
    auto n1 = row(s.out, SERVER_NAME, 2), n2 = row(s.out, "sin_sink", 2);
    ASSERT_EQ(n1.size(), 4u) << s.out;
    ASSERT_EQ(n2.size(), 4u) << s.out;
    EXPECT_EQ((std::set<std::string>{n1[0], n2[0]}), (std::set<std::string>{"1", "2"}));
    EXPECT_EQ(W(n1.begin() + 1, n1.end()), (W{std::to_string(srv), SERVER_NAME, own_pname()}));
    EXPECT_EQ(W(n2.begin() + 1, n2.end()), (W{std::to_string(snk), "sin_sink", own_pname()}));

    s = run_sin({"names", "--json"});
    ASSERT_EQ(s.status, 0) << s.err;
    const Json names = parse_json(s.out)["names"];
    ASSERT_EQ(names.arr.size(), 2u) << s.out;
    const Json &j1 = find(names, "id", std::stoi(n1[0]));
    EXPECT_EQ(j1["name"].str, SERVER_NAME);
    EXPECT_EQ(j1["owner"].num, srv);
    EXPECT_EQ(find(names, "id", std::stoi(n2[0]))["name"].str, "sin_sink");
}

TEST(Sin, ProxiesAndTimers) {
    vt::Daemon d;
    /* The owner triggers its own proxy but never receives: the triggers pile up. */
    Child owner([] {
        pid_t p = qnx_proxy_attach(0, "tick", 4, -1);
        if (p == -1) return 1;
        for (int i = 0; i < 3; i++)
            if (Trigger(p) == -1) return 2;
        struct itimercb cb {};
        cb.itcb_event.evt_value = p;
        qnx_timer_t t = mktimer(0, NOTIFY_PROXY, &cb);
        struct itimerspec v {};
        v.it_value.tv_sec = 30;
        v.it_interval.tv_sec = 5;
        if (t == -1 || reltimer(t, &v, nullptr) == -1) return 3;
        cb.itcb_event.evt_value = SIGUSR1;
        if (mktimer(7, NOTIFY_SIGNAL, &cb) == -1) return 4; /* never armed */
        for (;;) pause();
    });
    ASSERT_TRUE(vt::wait_until([&] { return vt::list_timers(d.port()).size() == 2; }));

    SinRun s = run_sin({"proxies"});
    ASSERT_EQ(s.status, 0) << s.err;
    using W = std::vector<std::string>;
    EXPECT_EQ(words(lines(s.out)[0]), (W{"ID", "QNX4-ID", "OWNER", "NAME", "PENDING", "FIRED"}));
    EXPECT_EQ(row(s.out, "-2"),
              (W{"-2", "1073741826", std::to_string(owner.pid), own_pname(), "3", "3"}));
    expect_aligned(s.out, "NAME", 3);

    s = run_sin({"timers"});
    ASSERT_EQ(s.status, 0) << s.err;
    EXPECT_EQ(words(lines(s.out)[0]),
              (W{"ID", "OWNER", "NAME", "NOTIFY", "EVENT", "LEFT", "INTERVAL", "FIRED"}));
    auto t1 = row(s.out, "1");
    ASSERT_EQ(t1.size(), 8u) << s.out;
    EXPECT_EQ(t1[1], std::to_string(owner.pid));
    EXPECT_EQ(t1[3], "PROXY");
    EXPECT_EQ(t1[4], "-2");
    double left = std::stod(t1[5]);
    EXPECT_GT(left, 25.0);
    EXPECT_LE(left, 30.0);
    EXPECT_EQ(t1[5].size() - t1[5].find('.'), 4u) << "milliseconds: " << t1[5];
    EXPECT_EQ(t1[6], "5.000");
    EXPECT_EQ(t1[7], "0");
    auto t2 = row(s.out, "2");
    ASSERT_EQ(t2.size(), 8u) << s.out;
    EXPECT_EQ(t2[3], "SIGNAL");
    EXPECT_EQ(t2[4], std::to_string(SIGUSR1));
    EXPECT_EQ(t2[5], "-"); /* not armed */
    EXPECT_EQ(t2[6], "-"); /* no repeat */
    expect_aligned(s.out, "NOTIFY", 3);

    s = run_sin({"--json", "proxies"});
    ASSERT_EQ(s.status, 0) << s.err;
    const Json px = find(parse_json(s.out)["proxies"], "id", -2);
    EXPECT_EQ(px["owner"].num, owner.pid);
    EXPECT_EQ(px["qnx4_id"].num, 0x40000002);
    EXPECT_EQ(px["pending"].num, 3);
    EXPECT_EQ(px["fired"].num, 3);

    s = run_sin({"timers", "--json"});
    ASSERT_EQ(s.status, 0) << s.err;
    const Json timers = parse_json(s.out)["timers"];
    const Json &j1 = find(timers, "id", 1);
    EXPECT_EQ(j1["notify"].str, "PROXY");
    EXPECT_EQ(j1["event"].num, -2);
    EXPECT_GT(j1["left"].num, 25.0);
    EXPECT_LE(j1["left"].num, 30.0);
    EXPECT_EQ(j1["interval"].num, 5.0);
    const Json &j2 = find(timers, "id", 2);
    EXPECT_EQ(j2["notify"].str, "SIGNAL");
    EXPECT_EQ(j2["timer_type"].num, 7);
    EXPECT_EQ(j2["left"].type, Json::Null);
    EXPECT_EQ(j2["interval"].num, 0.0);
}

TEST(Sin, UsageAndNoDaemon) {
    /* Nothing listens on a port just found free. */
    std::string port = std::to_string(vt::free_port());
    SinRun s = run_sin({}, {"HOSTNAME=", "VORLEN_PORT=" + port});
    EXPECT_EQ(s.status, 1);
    EXPECT_NE(s.err.find("sin: no vorlen daemon answers on 127.0.0.1:" + port), std::string::npos)
        << s.err;
    EXPECT_EQ(s.err.find("client (connect)"), std::string::npos) << s.err;
    EXPECT_EQ(s.out, "");

    /* HOSTNAME unset means this host too. */
    s = run_sin({"timers"}, {"HOSTNAME", "VORLEN_PORT=" + port});
    EXPECT_EQ(s.status, 1);
    EXPECT_NE(s.err.find("sin: no vorlen daemon answers on 127.0.0.1:" + port), std::string::npos)
        << s.err;

    s = run_sin({"--bogus"}, {"HOSTNAME=", "VORLEN_PORT=" + port});
    EXPECT_EQ(s.status, 2);
    EXPECT_NE(s.err.find("usage: sin"), std::string::npos) << s.err;
    EXPECT_EQ(s.out, "");

    for (std::vector<std::string> bad : std::vector<std::vector<std::string>>{
             {"-w"}, {"-w", "0"}, {"-w", "x"}, {"-w", "-1"}, {"status", "-w", "2s"}}) {
        s = run_sin(bad, {"HOSTNAME=", "VORLEN_PORT=" + port});
        EXPECT_EQ(s.status, 2) << bad.back();
        EXPECT_NE(s.err.find("sin: -w '"), std::string::npos) << s.err;
        EXPECT_EQ(s.out, "");
    }

    s = run_sin({"--version"}, {"HOSTNAME=", "VORLEN_PORT=" + port});
    EXPECT_EQ(s.status, 0);
    EXPECT_TRUE(std::regex_match(s.out, std::regex("sin \\d+\\.\\d+(\\.\\d+)*\n"))) << s.out;

    s = run_sin({"--help"}, {"HOSTNAME", "VORLEN_PORT=" + port});
    EXPECT_EQ(s.status, 0);
    EXPECT_NE(s.out.find("usage: sin"), std::string::npos);
    /* Every variable the library reads, as sin's own connection does. */
    for (const char *var : {"HOSTNAME", "VORLEN_PORT", "VORLEN_TRANSPORT", "VORLEN_UNIX",
                            "VORLEN_DAEMON_USER", "VORLEN_ON_DISCONNECT", "VORLEN_RESTORE_WAIT"})
        EXPECT_NE(s.out.find(std::string("  ") + var + " "), std::string::npos) << var;
}

/* sin status: the daemon's version, pid, start, listeners, connections,
 * memory and tables against their bounds, per user, and the refusals by
 * cause; the same as JSON. */
TEST(Sin, StatusShowsTheDaemonsHealth) {
    vt::Daemon d({"--max-names", "5", "--max-memory-per-user", "100000"});
    Child server([] {
        if (qnx_name_attach(0, "sin_status") < 0) return 1;
        for (;;) pause();
    });
    ASSERT_TRUE(vt::wait_until([&] { return vt::list_names(d.port()).size() == 1; }));
    /* A Send past the user's share of memory is refused. */
    vt::RawClient big(d.port());
    big.send_bytes(vt::names_listing(big.pid())); /* binds it: one name and the closing record */
    ASSERT_EQ(big.recv_hdr().ev.retcode, 0);
    big.recv_exact(2 * sizeof(QNX_MSG_SIN_RNAMES));
    big.send_bytes(vt::send_req(MT_SEND, big.pid(), server.pid, {std::string(200000, 'x')}));
    int rc = big.recv_hdr().ev.retcode;
    EXPECT_TRUE(rc == EAGAIN || rc == EFAULT) << rc;

    SinRun s = run_sin({"status"});
    ASSERT_EQ(s.status, 0) << s.err;
    const std::string port = std::to_string(d.port());
    for (const std::string &line : std::vector<std::string>{
             "version      1.2\n", "pid          " + std::to_string(d.pid()) + "\n",
             "listening    127.0.0.1:" + port + " @vorlen." + port + "\n", "names        1/5\n",
             "proxies      0/50\n", "timers       0/50\n", "queue        0/512\n",
             "log dropped  0 lines\n"})
        EXPECT_NE(s.out.find(line), std::string::npos) << line << s.out;
    EXPECT_TRUE(std::regex_search(s.out, std::regex("\nuptime       0d 00:00:\\d\\d\n"))) << s.out;
    EXPECT_TRUE(
        std::regex_search(s.out, std::regex("\nconnections  \\d+/16384, each user at most 4096\n")))
        << s.out;
    EXPECT_TRUE(std::regex_search(
        s.out, std::regex("\nmemory       \\d+/1073741824 bytes, each user at most 100000\n")))
        << s.out;
    EXPECT_TRUE(
        std::regex_search(s.out, std::regex("\nrefused      memory [1-9]\\d*, table full 0, "
                                            "connections 0, verification 0, unread "
                                            "answers 0, rate limited log lines 0\n")))
        << s.out;
    auto me = row(s.out, std::to_string(getuid()));
    ASSERT_EQ(me.size(), 4u) << s.out;
    EXPECT_TRUE(std::regex_match(me[2], std::regex("[2-9]/4096"))) << me[2];
    EXPECT_TRUE(std::regex_match(me[3], std::regex("\\d+/100000"))) << me[3];

    s = run_sin({"status", "--json"});
    ASSERT_EQ(s.status, 0) << s.err;
    Json j = parse_json(s.out)["status"];
    EXPECT_EQ(j["version"].str, "1.2");
    EXPECT_EQ(j["pid"].num, d.pid());
    EXPECT_GT(j["start_time"].num, 0);
    ASSERT_EQ(j["listeners"].arr.size(), 2u);
    EXPECT_EQ(j["listeners"].arr[0].str, "127.0.0.1:" + port);
    EXPECT_EQ(j["names"].num, 1);
    EXPECT_EQ(j["max_names"].num, 5);
    EXPECT_EQ(j["max_queue"].num, 512);
    EXPECT_EQ(j["max_memory_per_user"].num, 100000);
    EXPECT_GE(j["refused"]["memory"].num, 1);
    EXPECT_EQ(j["refused"]["table_full"].num, 0);
    EXPECT_EQ(j["log_lines_dropped"].num, 0);
    const Json &u = find(j["users"], "uid", getuid());
    EXPECT_GE(u["connections"].num, 2);
    EXPECT_EQ(u["memory"].num, j["memory"].num); /* the only user */
}

/* sin -w redraws a listing until it is interrupted; written to a file, a
 * separator line with the time comes between the listings. */
TEST(Sin, WatchRedrawsUntilInterrupted) {
    vt::Daemon d;
    std::string dir = vt::make_tempdir();
    const std::string out = dir + "/out";
    fflush(nullptr);
    pid_t sin = fork();
    if (sin == 0) {
        int fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(fd, 1);
        std::string bin = vt::bin_path("sin");
        execl(bin.c_str(), bin.c_str(), "names", "-w", "0.05", static_cast<char *>(nullptr));
        _exit(127);
    }
    auto separators = [&] {
        return std::regex_search(vt::read_file(out),
                                 std::regex("ID  OWNER  NAME  PROGRAM\n--- \\d\\d:\\d\\d:\\d\\d\n"
                                            "ID  OWNER  NAME  PROGRAM\n"));
    };
    EXPECT_TRUE(vt::wait_until(separators)) << vt::read_file(out);
    Child named([] {
        if (qnx_name_attach(0, "sin_watched") < 0) return 1;
        for (;;) pause();
    });
    EXPECT_TRUE(vt::wait_until([&] {
        return vt::read_file(out).find(" sin_watched ") != std::string::npos;
    })) << vt::read_file(out);
    kill(sin, SIGINT);
    int st = 0;
    ASSERT_EQ(waitpid(sin, &st, 0), sin);
    EXPECT_TRUE(WIFSIGNALED(st) && WTERMSIG(st) == SIGINT) << st;
    std::string cmd = "rm -rf '" + dir + "'";
    EXPECT_EQ(system(cmd.c_str()), 0);
}

/* sin nodes: each node of the daemon's net map with its address, state and
 * incarnation; without a net map node 1 alone, this host; the same as JSON. */
TEST(Sin, NodesListsThePlant) {
    char host[VORLEN_NODE_NAME_LEN] = "";
    ASSERT_EQ(gethostname(host, sizeof host - 1), 0);
    {
        vt::Daemon d;
        SinRun s = run_sin({"nodes"});
        ASSERT_EQ(s.status, 0) << s.err;
        auto ls = lines(s.out);
        ASSERT_EQ(ls.size(), 2u) << s.out;
        EXPECT_EQ(words(ls[0]),
                  (std::vector<std::string>{"NID", "NAME", "ADDRESS", "STATE", "INCARNATION", "RTT",
                                            "IN", "OUT", "WHY"}));
        auto w = words(ls[1]);
        ASSERT_EQ(w.size(), 9u) << ls[1];
        EXPECT_EQ(w[0], "1");
        EXPECT_EQ(w[1], host);
        EXPECT_EQ(w[2], "-");
        EXPECT_EQ(w[3], "self");
        EXPECT_TRUE(std::regex_match(w[4], std::regex("[0-9a-f]{16}"))) << w[4];
        EXPECT_EQ(std::vector<std::string>(w.begin() + 5, w.end()),
                  (std::vector<std::string>{"-", "0", "0", "-"}));
    }
    const std::string dir = vt::make_tempdir();
    ASSERT_TRUE(vt::plant_certs(dir, {"node-a"}));
    const int link_port = vt::free_port();
    const std::string map = dir + "/netmap";
    FILE *f = fopen(map.c_str(), "w");
    ASSERT_NE(f, nullptr);
    fprintf(f, "1 127.0.0.1:%d node-a\n", link_port);
    fclose(f);
    vt::Daemon d(vt::node_options(dir, "node-a", map));
    const std::string log = vt::read_file(d.workdir() + "/vorlen.log");
    std::smatch m;
    ASSERT_TRUE(std::regex_search(log, m, std::regex("incarnation ([0-9a-f]{16})"))) << log;
    const std::string inc = m[1];
    SinRun s = run_sin({"nodes"});
    ASSERT_EQ(s.status, 0) << s.err;
    EXPECT_EQ(row(s.out, "1"),
              (std::vector<std::string>{"1", "node-a", "127.0.0.1:" + std::to_string(link_port),
                                        "self", inc, "-", "0", "0", "-"}))
        << s.out;
    /* Left-aligned columns start at their titles. */
    auto ls = lines(s.out);
    ASSERT_EQ(ls.size(), 2u) << s.out;
    EXPECT_EQ(ls[1].find(" 127.0.0.1:") + 1, ls[0].find("ADDRESS")) << s.out;
    EXPECT_EQ(ls[1].find(" self ") + 1, ls[0].find("STATE")) << s.out;

    s = run_sin({"nodes", "--json"});
    ASSERT_EQ(s.status, 0) << s.err;
    Json j = parse_json(s.out)["nodes"];
    ASSERT_EQ(j.arr.size(), 1u) << s.out;
    const Json &n = find(j, "nid", 1);
    EXPECT_EQ(n["name"].str, "node-a");
    EXPECT_EQ(n["address"].str, "127.0.0.1");
    EXPECT_EQ(n["port"].num, link_port);
    EXPECT_EQ(n["state"].str, "self");
    EXPECT_EQ(n["incarnation"].str, inc);
    EXPECT_EQ(n["rtt_us"].type, Json::Null);
    EXPECT_EQ(n["bytes_in"].num, 0);
    EXPECT_EQ(n["bytes_out"].num, 0);
    EXPECT_EQ(n["why"].str, "");
    std::string rm = "rm -rf '" + dir + "'";
    EXPECT_EQ(system(rm.c_str()), 0);
}
