/* unit_peer.cpp - a Unix peer's credentials, with the kernel's SO_PEERPIDFD and without it */
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <string>

#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "vorleni.h"

namespace {

int no_peer_pidfd(int) {
    errno = ENOPROTOOPT; /* a kernel before 6.5 */
    return -1;
}

/* The pid a pidfd refers to, from its fdinfo; -1 when it names none. */
pid_t pid_of(int pidfd) {
    std::ifstream in("/proc/self/fdinfo/" + std::to_string(pidfd));
    for (std::string line; std::getline(in, line);)
        if (line.rfind("Pid:", 0) == 0) return pid_t(std::stol(line.substr(4)));
    return -1;
}

/* A listening abstract socket of this test, and a child connected to it
 * that waits to be killed, or ends at once when told to. */
struct Connector {
    int listener = -1, conn = -1;
    pid_t pid = -1;
    explicit Connector(bool ends) {
        listener = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un a{};
        a.sun_family = AF_UNIX;
        int n = snprintf(a.sun_path + 1, sizeof a.sun_path - 1, "vorlen-unit-peer.%d", getpid());
        socklen_t len = socklen_t(offsetof(sockaddr_un, sun_path) + 1 + size_t(n));
        EXPECT_EQ(bind(listener, reinterpret_cast<sockaddr *>(&a), len), 0);
        EXPECT_EQ(listen(listener, 1), 0);
        pid = fork();
        if (pid == 0) {
            int s = socket(AF_UNIX, SOCK_STREAM, 0);
            if (connect(s, reinterpret_cast<sockaddr *>(&a), len) != 0) _exit(1);
            if (ends) _exit(0);
            for (;;) pause();
        }
        if (ends) waitpid(pid, nullptr, 0); /* gone, pid free for reuse */
        conn = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    }
    ~Connector() {
        if (conn >= 0) close(conn);
        close(listener);
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
};

} // namespace

/* The kernel names the connecting process and a pidfd of exactly it, also
 * where it has no SO_PEERPIDFD; there a connector that has gone is refused,
 * since its pid may already be another process's. */
TEST(PeerCredentials, NameTheConnectingProcessWithOrWithoutTheKernelsPidfd) {
    for (bool kernel_pidfd : {true, false}) {
        SCOPED_TRACE(kernel_pidfd ? "SO_PEERPIDFD" : "pidfd_open");
        int (*real)(int) = peer_pidfd;
        if (!kernel_pidfd) peer_pidfd = no_peer_pidfd;
        {
            Connector c(false);
            pid_t pid = 0;
            uid_t uid = 12345;
            int pidfd = -1;
            ASSERT_EQ(peer_credentials(c.conn, &pid, &uid, &pidfd), 0);
            EXPECT_EQ(pid, c.pid);
            EXPECT_EQ(uid, getuid());
            EXPECT_EQ(pid_of(pidfd), c.pid);
            close(pidfd);
        }
        if (!kernel_pidfd) {
            Connector gone(true);
            pid_t pid = 0;
            uid_t uid = 0;
            int pidfd = -1;
            EXPECT_EQ(peer_credentials(gone.conn, &pid, &uid, &pidfd), -1);
            EXPECT_EQ(pidfd, -1);
        }
        peer_pidfd = real;
    }
}
