/* vorlen_test.h - test support: a private daemon per test and a raw wire-protocol client */
#ifndef VORLEN_TEST_H
#define VORLEN_TEST_H

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include <sys/types.h>

#include <gtest/gtest.h>

#include "vorlen.h"

/* REQUIRE checks a condition in a forked child, which reports a failure
 * through its exit status: on failure it prints where and returns 1. */
#define REQUIRE(c)                                                                                 \
    do {                                                                                           \
        if (!(c)) {                                                                                \
            fprintf(stderr, "%s:%d: %s (errno %d)\n", __FILE__, __LINE__, #c, errno);              \
            return 1;                                                                              \
        }                                                                                          \
    } while (0)

namespace vt {

/* The transports a client of this host may use: TCP on loopback, or the
 * daemon's Unix-domain socket (the abstract @vorlen.<port>). */
enum class Transport { tcp, unix_socket };

/* use_transport makes t the transport of the raw clients made from now on and,
 * through VORLEN_TRANSPORT, of the library in this process and its children. */
void use_transport(Transport t);
Transport transport();

/* TransportTest runs a suite once per transport: derive the suite's fixture
 * from it, write TEST_P, and name the suite in VT_ON_BOTH_TRANSPORTS. */
class TransportTest : public ::testing::TestWithParam<Transport> {
  protected:
    void SetUp() override { use_transport(GetParam()); }
    void TearDown() override { use_transport(Transport::tcp); }
};
std::string transport_name(const ::testing::TestParamInfo<Transport> &info);
/* How gtest and ctest show the parameter: its name, not its bytes. */
void PrintTo(Transport t, std::ostream *os);
#define VT_ON_BOTH_TRANSPORTS(suite)                                                               \
    INSTANTIATE_TEST_SUITE_P(Transports, suite,                                                    \
                             ::testing::Values(vt::Transport::tcp, vt::Transport::unix_socket),    \
                             vt::transport_name)

/* A connected socket to the daemon's abstract Unix-domain socket for port,
 * made by this process; -1 with errno when it cannot be had. */
int connect_unix(int port);

/* send_fd hands descriptor fd over Unix socket s; recv_fd takes one (close
 * on exec), -1 when none came. */
bool send_fd(int s, int fd);
int recv_fd(int s);

/* Paths of the built programs, passed in by the build. */
std::string bin_path(const std::string &program);

/* Daemon is a vorlen process of the test's own on a free loopback port. The
 * constructor starts it and waits until it accepts connections; the destructor
 * stops it. It also points VORLEN_PORT and HOSTNAME of this process at it, so
 * library calls made here or in forked children reach this daemon. With
 * as_uid (root only) it runs as that user and group, from a copy of the
 * program in its working directory, which that user owns. */
class Daemon {
  public:
    explicit Daemon(std::vector<std::string> args = {}, std::vector<std::string> env = {},
                    std::string workdir = "", int as_uid = -1, int stdout_fd = -1);
    ~Daemon();
    Daemon(const Daemon &) = delete;
    Daemon &operator=(const Daemon &) = delete;

    int port() const { return port_; }
    pid_t pid() const { return pid_; }
    const std::string &workdir() const { return workdir_; }
    /* Path of the daemon's standard output (captured to a file, unless the
     * constructor was given a descriptor for it). */
    std::string stdout_path() const { return workdir_ + "/stdout.txt"; }
    std::string stdout_text() const;
    /* Its standard error, captured too; the destructor passes it on to the
     * test's own, so that nothing the daemon reports there is lost. */
    std::string stderr_text() const;
    /* Sends sig and waits for the daemon to end; returns the waitpid status. */
    int kill_and_wait(int sig);
    bool alive();
    /* restart starts the daemon again, once it has ended, on the same port and
     * socket, from the same directory and with the same options and
     * environment (args, when given, in place of the options), and waits for
     * its READY=1; false when it did not come up. */
    bool restart(std::vector<std::string> args = {});

  private:
    /* start runs the daemon on port (0: a free one, tried again when taken). */
    bool start(int port);
    pid_t pid_ = -1;
    int port_ = 0;
    std::vector<std::string> args_, env_;
    std::string program_;
    int as_uid_ = -1, stdout_fd_ = -1;
    int notify_fd_ = -1; /* the notify socket it was started with, kept open while it runs */
    std::string workdir_;
    bool own_workdir_ = false;
};

/* plant_certs makes a plant's CA in dir and, for each name, the key and
 * certificate of that node in dir/<name>/ (node.key, node.crt, ca.crt), with
 * the shipped vorlen-certs; false (the test failed) when it cannot. */
bool plant_certs(const std::string &dir, const std::vector<std::string> &names);
/* node_options are the daemon's options for node name of the plant made in
 * dir with plant_certs, its net map at netmap. */
std::vector<std::string> node_options(const std::string &dir, const std::string &name,
                                      const std::string &netmap);

/* A free TCP port on 127.0.0.1 (bound and released; never 7779). */
int free_port();

/* A fresh temporary directory. */
std::string make_tempdir();
std::string read_file(const std::string &path);

/* RawClient speaks the wire protocol byte for byte, without vorlenlib. */
class RawClient {
  public:
    /* A connection by the transport of use_transport. Over the Unix socket
     * the holding process (see pid) makes the connection itself, as the
     * kernel names the process that connected. */
    explicit RawClient(int port);
    RawClient(int port, Transport t);
    /* A TCP connection to address to, from source address from (network order). */
    RawClient(int port, uint32_t to, uint32_t from);
    /* A reconnectable client: the holding process is forked at once and
     * makes the connection itself, by transport t, and again at each
     * reconnect: a process whose daemon restarted, the same pid on a new
     * connection. */
    struct Reconnectable {};
    RawClient(int port, Transport t, Reconnectable);
    /* reconnect has the holder close its connection and make a new one to
     * port; false (the test failed) when it cannot. Only a reconnectable client. */
    bool reconnect(int port);
    ~RawClient();
    RawClient(const RawClient &) = delete;
    RawClient &operator=(const RawClient &) = delete;

    int fd() const { return fd_; }
    /* pid is the process that holds this connection as the daemon sees it: a
     * child forked on first use that keeps only this socket and waits, so
     * that the daemon's check of who is on the other end finds the socket
     * among its descriptors. close() ends it with the connection. */
    pid_t pid() const;
    /* end_process ends the holding process but keeps the connection open, as
     * when a process dies and its socket outlives it for a moment. */
    void end_process();
    void send_bytes(const void *p, size_t n);
    void send_bytes(const std::vector<uint8_t> &b) { send_bytes(b.data(), b.size()); }
    /* Reads exactly n bytes; fails the test (and returns what came) on EOF or
     * after timeout_ms. */
    std::vector<uint8_t> recv_exact(size_t n, int timeout_ms = 5000);
    QNX_MSG_HDR recv_hdr(int timeout_ms = 5000);
    /* True when no byte is readable within ms milliseconds. */
    bool silent(int ms = 50);
    /* True when the daemon closed the connection within timeout_ms. */
    bool closed_by_peer(int timeout_ms = 5000);
    void close();

  private:
    void open_tcp(int port, uint32_t to, uint32_t from);
    int fd_ = -1;
    int ctl_ = -1; /* a reconnectable client's line to its holder */
    mutable pid_t holder_ = -1;
    bool holder_ended_ = false;
};

/* hold_all forks a process that keeps exactly the given sockets and waits;
 * several connections then belong to one process. Returns its pid; kill and
 * reap it with the Sleeper-like release below. */
pid_t hold_all(const std::vector<int> &fds);
void release_holder(pid_t holder);

/* Request building. */
std::vector<uint8_t> hdr(uint16_t typ, int32_t from_pid, uint32_t msg_len);
template <typename T> std::vector<uint8_t> req(uint16_t typ, int32_t from_pid, const T &body) {
    std::vector<uint8_t> b = hdr(typ, from_pid, sizeof(T));
    const uint8_t *p = reinterpret_cast<const uint8_t *>(&body);
    b.insert(b.end(), p, p + sizeof(T));
    return b;
}
/* An MT_SEND or MT_REPLY request with the given blocks. */
std::vector<uint8_t> send_req(uint16_t typ, int32_t from_pid, int32_t to_pid,
                              const std::vector<std::string> &blocks);
void append_u32(std::vector<uint8_t> &b, uint32_t v);

/* A names listing: a cheap request with a known answer on an empty table
 * (the header and the closing record), handy to bind a connection or to see
 * that it is still in step. */
std::vector<uint8_t> names_listing(pid_t pid);
void expect_names_listing(RawClient &c);
/* Reads a status-only answer and checks its retcode. */
void expect_status(RawClient &c, int retcode);
/* listing_answered sends a names listing through c and tells whether its
 * answer came whole with retcode 0: the connection is bound and in step. */
bool listing_answered(RawClient &c);
/* receive sends a Receive of pid through c: from from (0: anyone), room for
 * nbytes from offset on; typ MT_NB_RECEIVE makes it Creceive. The answer is
 * the test's to read. */
void receive(RawClient &c, pid_t pid, pid_t from, uint32_t nbytes = 100, uint32_t offset = 0,
             uint16_t typ = MT_RECEIVE);
/* mktimer makes a timer of pid through c, of notify kind notify with event
 * evt (a proxy id or a signal), of clock type type; it returns the timer's
 * number, or minus the retcode. A success's answer must be the request with
 * only the number filled in. */
int mktimer(RawClient &c, pid_t pid, int32_t notify, int32_t evt, int32_t type = 0);

/* Peer is a raw client with the requests a test sends through it, each
 * named for what it does; the answers are read with data and status. */
struct Peer {
    RawClient c;
    explicit Peer(int port) : c(port) {}
    /* A peer that can reconnect (see RawClient), by the transport in use. */
    Peer(int port, RawClient::Reconnectable r) : c(port, transport(), r) {}
    /* bind binds the connection to pid() with a names listing, before the
     * test's own requests. */
    void bind() {
        c.send_bytes(names_listing(c.pid()));
        expect_names_listing(c);
    }
    pid_t pid() const { return c.pid(); }
    void send(pid_t to, const std::vector<std::string> &blocks, uint16_t flags = 0) {
        auto b = send_req(MT_SEND, pid(), to, blocks);
        reinterpret_cast<QNX_MSG_HDR *>(b.data())->flags.all = flags;
        c.send_bytes(b);
    }
    void reply(pid_t to, const std::vector<std::string> &blocks) {
        c.send_bytes(send_req(MT_REPLY, pid(), to, blocks));
    }
    void receive(pid_t from, uint32_t nbytes = 100, uint32_t offset = 0,
                 uint16_t typ = MT_RECEIVE) {
        vt::receive(c, pid(), from, nbytes, offset, typ);
    }
    /* Readmsg: the message of pid, which must be REPLY-blocked on this peer. */
    void reread(pid_t from, uint32_t nbytes, uint32_t offset) {
        QNX_MSG_RCV r{};
        r.from_pid = from;
        r.nbytes = nbytes;
        r.offset = offset;
        auto b = req(MT_RECEIVE, pid(), r);
        reinterpret_cast<QNX_MSG_HDR *>(b.data())->flags.all = VORLEN_FLAG_REREAD;
        c.send_bytes(b);
    }
    /* An MT_REPLY marked for Writemsg or Relay, with the given blocks. */
    void marked_reply(pid_t to, uint16_t flags, const std::vector<std::string> &blocks) {
        auto b = send_req(MT_REPLY, pid(), to, blocks);
        reinterpret_cast<QNX_MSG_HDR *>(b.data())->flags.all = flags;
        c.send_bytes(b);
    }
    /* Writemsg: bytes into the reply of pid, which must be REPLY-blocked on
     * this peer; the offset is the first block. */
    void writemsg(pid_t to, uint32_t offset, std::vector<std::string> blocks) {
        blocks.insert(blocks.begin(), u32(offset));
        marked_reply(to, VORLEN_FLAG_WRITEMSG, blocks);
    }
    /* Relay: the message of source, REPLY-blocked on this peer, on to target. */
    void relay(pid_t source, pid_t target) {
        marked_reply(source, VORLEN_FLAG_RELAY, {u32(uint32_t(target))});
    }
    static std::string u32(uint32_t v) { return std::string(reinterpret_cast<char *>(&v), 4); }
    /* The mark a signal handler leaves; it has no answer. */
    void interrupt() {
        auto b = hdr(0, pid(), 0);
        reinterpret_cast<QNX_MSG_HDR *>(b.data())->flags.all = VORLEN_FLAG_INTERRUPT;
        c.send_bytes(b);
    }
    void pflags(int32_t flags) {
        c.send_bytes(req(MT_PFLAGS, pid(), QNX_MSG_PFLAGS{flags}));
        expect_status(c, 0);
    }
    /* Reads one data answer: checks its header and returns its bytes. */
    std::string data(pid_t from_pid) {
        QNX_MSG_HDR h = c.recv_hdr();
        EXPECT_EQ(h.ev.retcode, 0);
        EXPECT_EQ(h.from_pid, from_pid);
        EXPECT_EQ(h.from_nid, 0);
        EXPECT_EQ(h.flags.all, 0);
        auto b = c.recv_exact(h.msg_len);
        return std::string(b.begin(), b.end());
    }
    void status(int retcode) { expect_status(c, retcode); }
};

/* Reads a whole listing of kind typ through a raw client in a forked child
 * (which is itself left out of the process listing); the closing record is
 * not included. */
std::vector<QNX_MSG_SIN_RPID> list_processes(int port);
std::vector<QNX_MSG_SIN_RPROXYS> list_proxies(int port);
std::vector<QNX_MSG_SIN_RTIMERS> list_timers(int port);
std::vector<QNX_MSG_SIN_RNAMES> list_names(int port);
/* The daemon's own record of the health listing (SIN_STATUS). */
QNX_MSG_SIN_RSTATUS daemon_status(int port);
/* The listing record of pid, or a record with pid 0 when it is not listed. */
QNX_MSG_SIN_RPID process_record(int port, pid_t pid);

/* Sleeper is a child process that only waits to be killed: a living pid that
 * raw clients can claim as their own. */
class Sleeper {
  public:
    Sleeper();
    ~Sleeper();
    Sleeper(const Sleeper &) = delete;
    Sleeper &operator=(const Sleeper &) = delete;
    pid_t pid() const { return pid_; }
    /* Kills and reaps it; afterwards its pid no longer exists. */
    void kill();

  private:
    pid_t pid_ = -1;
};

/* Polls cond every millisecond until it holds or timeout_ms passes. */
bool wait_until(const std::function<bool()> &cond, int timeout_ms = 5000);
/* Waits until the daemon lists pid in the given state. */
bool wait_state(int port, pid_t pid, int state, int timeout_ms = 5000);

/* Runs fn in a forked child that exits with fn's result (a child that fails a
 * check returns non-zero); returns the child's pid. */
pid_t spawn(const std::function<int()> &fn);
/* Waits for a child and returns its exit status, or -1 (and fails the test)
 * if it did not exit normally within timeout_ms. */
int wait_exit(pid_t pid, int timeout_ms = 10000);

} // namespace vt

#endif
