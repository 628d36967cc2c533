/* test_restart.cpp - a plant of QNX 4 processes through vorlenlib carries on across a daemon
 * restart */
/* Every call here is the QNX 4 face's, as in a ported program: its processes
 * restore themselves by default. */
#define VORLEN_QNX4_FACE 1
#include <csignal>
#include <cstring>
#include <ctime>
#include <string>

#include <sys/wait.h>
#include <unistd.h>

#include "vorlen_test.h"
#include "qnx/vorlen_qnx4_timers.h"

namespace {

/* A pipe a parent and its forked children pass one byte over at a time. */
struct Line {
    int fd[2] = {-1, -1};
    Line() { EXPECT_EQ(pipe(fd), 0); }
    ~Line() {
        close(fd[0]);
        close(fd[1]);
    }
    bool put(char c) const { return write(fd[1], &c, 1) == 1; }
    char get() const {
        char c = 0;
        return read(fd[0], &c, 1) == 1 ? c : 0;
    }
};

double mono_now() {
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return double(t.tv_sec) + double(t.tv_nsec) / 1e9;
}

/* receive_text takes one message or trigger for the caller and returns who
 * sent it, its bytes in text. */
pid_t receive_text(std::string &text) {
    char b[64] = {};
    pid_t from = Receive(0, b, sizeof b - 1);
    text = b;
    return from;
}

class Restart : public ::testing::TestWithParam<std::tuple<vt::Transport, int>> {
  protected:
    void SetUp() override { vt::use_transport(std::get<0>(GetParam())); }
    void TearDown() override { vt::use_transport(vt::Transport::tcp); }
};

/* Before the restart: server holds a's message (a REPLY-blocked), b waits
 * SEND-blocked on it, its counting proxy has three triggers pending and its
 * timer runs; r waits in Receive; x is REPLY-blocked on a server that ends
 * while the daemon is away, with a name of its own. After it: every name
 * locates as before, the server Replies to a, receives b's message once and
 * each trigger once, its timer has kept its phase; r's Receive takes the
 * controller's message; x gets ESRCH and the ended server's name is gone. */
TEST_P(Restart, ThePlantCarriesOn) {
    const int sig = std::get<1>(GetParam());
    vt::Daemon d({"--restore-grace", "20"});
    const int port = d.port();
    Line to_server, from_server, to_gone;

    pid_t server = vt::spawn([&] {
        REQUIRE(qnx_name_attach(0, "plant/server") > 0);
        pid_t proxy = qnx_proxy_attach(0, "tick", 4, -1);
        REQUIRE(proxy != -1);
        struct sigevent ev = {};
        ev.sigev_signo = SIGUSR1;
        signal(SIGUSR1, SIG_IGN);
        qnx_timer_t t = timer_create(CLOCK_REALTIME, &ev);
        REQUIRE(t != -1);
        struct itimerspec arm = {};
        arm.it_value.tv_sec = 30;
        arm.it_interval.tv_sec = 30;
        REQUIRE(timer_settime(t, 0, &arm, nullptr) == 0);
        const double armed = mono_now();
        REQUIRE(write(from_server.fd[1], &proxy, sizeof proxy) == sizeof proxy);
        std::string text;
        pid_t a = receive_text(text);
        REQUIRE(a > 0 && text == "from a");
        REQUIRE(from_server.put('h'));
        /* Busy elsewhere while b queues, the proxy is triggered and the
         * daemon restarts. */
        REQUIRE(to_server.get() == 'g');
        REQUIRE(Reply(a, "to a", 5) == 0);
        int triggers = 0, from_b = 0;
        pid_t b = 0;
        for (int i = 0; i < 4; i++) {
            pid_t from = receive_text(text);
            if (from == proxy && text == "tick") triggers++;
            if (from > 0 && text == "from b") from_b++, b = from;
        }
        REQUIRE(triggers == 3 && from_b == 1);
        char none[8];
        REQUIRE(Creceive(0, none, sizeof none) == -1);
        REQUIRE(Reply(b, "to b", 5) == 0);
        /* The timer's next expiry is where it was before: 30 s after it was
         * armed, not 30 s after the restart. */
        struct itimerspec left = {};
        REQUIRE(timer_gettime(t, &left) == 0);
        double remaining = double(left.it_value.tv_sec) + double(left.it_value.tv_nsec) / 1e9;
        double elapsed = mono_now() - armed;
        REQUIRE(remaining > 0 && remaining <= 30 - elapsed + 0.05);
        return 0;
    });
    pid_t proxy = 0;
    ASSERT_EQ(read(from_server.fd[0], &proxy, sizeof proxy), ssize_t(sizeof proxy));
    const double armed_by = mono_now();

    pid_t a = vt::spawn([server] {
        char r[16] = {};
        REQUIRE(Send(server, "from a", r, 7, sizeof r) == 0);
        REQUIRE(std::string(r) == "to a");
        return 0;
    });
    ASSERT_EQ(from_server.get(), 'h');
    ASSERT_TRUE(vt::wait_state(port, a, STATE_REPLY_BLOCKED));
    pid_t b = vt::spawn([server] {
        char r[16] = {};
        REQUIRE(Send(server, "from b", r, 7, sizeof r) == 0);
        REQUIRE(std::string(r) == "to b");
        return 0;
    });
    ASSERT_TRUE(vt::wait_state(port, b, STATE_SEND_BLOCKED));
    pid_t t = vt::spawn([proxy] {
        for (int i = 0; i < 3; i++) REQUIRE(Trigger(proxy) == 0);
        return 0;
    });
    ASSERT_EQ(vt::wait_exit(t), 0);

    pid_t r = vt::spawn([] {
        REQUIRE(qnx_name_attach(0, "plant/receiver") > 0);
        std::string text;
        pid_t from = receive_text(text);
        REQUIRE(from > 0 && text == "hello");
        REQUIRE(Reply(from, "hi", 3) == 0);
        return 0;
    });
    ASSERT_TRUE(vt::wait_state(port, r, STATE_RECEIVE_BLOCKED));

    pid_t gone = vt::spawn([&] {
        REQUIRE(qnx_name_attach(0, "plant/gone") > 0);
        std::string text;
        REQUIRE(receive_text(text) > 0);
        /* Ends while the daemon is away, holding x's message. */
        to_gone.get();
        return 0;
    });
    ASSERT_TRUE(vt::wait_state(port, gone, STATE_RECEIVE_BLOCKED));
    pid_t x = vt::spawn([gone] {
        char rb[8];
        REQUIRE(Send(gone, "from x", rb, 7, sizeof rb) == -1 && errno == ESRCH);
        return 0;
    });
    ASSERT_TRUE(vt::wait_state(port, x, STATE_REPLY_BLOCKED));

    /* The timer has run long enough for a timer armed again at the restart
     * to show: its next expiry would be later by this much. */
    ASSERT_TRUE(vt::wait_until([&] { return mono_now() - armed_by >= 0.4; }));
    ASSERT_TRUE(WIFSIGNALED(d.kill_and_wait(sig)) || sig == SIGTERM);
    ASSERT_TRUE(to_gone.put('q'));
    ASSERT_EQ(vt::wait_exit(gone), 0);
    ASSERT_TRUE(d.restart());

    pid_t control = vt::spawn([server, r] {
        unsigned copies = 0;
        REQUIRE(qnx_name_locate(0, "plant/server", 0, &copies) == server);
        REQUIRE(qnx_name_locate(0, "plant/receiver", 0, &copies) == r);
        REQUIRE(qnx_name_locate(0, "plant/gone", 0, &copies) == -1);
        char rb[8] = {};
        REQUIRE(Send(r, "hello", rb, 6, sizeof rb) == 0 && std::string(rb) == "hi");
        return 0;
    });
    EXPECT_EQ(vt::wait_exit(control, 20000), 0);
    ASSERT_TRUE(to_server.put('g'));
    for (pid_t p : {server, a, b, r, x}) EXPECT_EQ(vt::wait_exit(p, 20000), 0) << p;
}

INSTANTIATE_TEST_SUITE_P(
    Restarts, Restart,
    ::testing::Combine(::testing::Values(vt::Transport::tcp, vt::Transport::unix_socket),
                       ::testing::Values(SIGKILL, SIGTERM)),
    [](const auto &info) {
        return std::string(std::get<0>(info.param) == vt::Transport::tcp ? "tcp" : "unix") +
               (std::get<1>(info.param) == SIGKILL ? "_kill" : "_term");
    });

} // namespace
